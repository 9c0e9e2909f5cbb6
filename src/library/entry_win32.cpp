// Load and unload of cr_telv.dll: the process-attach notification starts the
// library's units, the process-detach notification stops them in reverse
// order. Thread notifications need no work.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "library/load_units.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // On failure the loader fails LoadLibrary and unloads us.
      if (!crtelv::LibraryAttachNoThrow()) return FALSE;
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer means the whole process is ending: the
      // other threads are already gone (possibly inside our locks) and
      // modules loaded after this one, the provider among them, have already
      // been shut down. Stopping the units would call into them, so the
      // system is left to reclaim everything. An explicit FreeLibrary stops
      // the units in order.
      if (reserved == nullptr) crtelv::LibraryDetachNoThrow();
      break;
    default:
      break;
  }
  return TRUE;
}
