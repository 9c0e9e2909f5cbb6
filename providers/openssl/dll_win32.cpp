// The entry of cpki1.dll. Once loaded the module is pinned: FreeLibrary never
// unmaps it, so its process-wide state and the OpenSSL objects it holds stay
// valid until the process ends (as -z nodelete does on POSIX). OpenSSL, linked
// in statically, is told not to clean itself up at exit, where the library
// may still call in while the process ends with sessions open; a thread's
// OpenSSL state goes when the thread ends (the work of libcrypto's own entry
// in its DLL form).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <openssl/crypto.h>
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      HMODULE pinned = nullptr;
      if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&DllMain), &pinned)) {
        return FALSE;
      }
      (void)module;
      // No configuration file either: the provider's algorithms are fixed,
      // and a file planted where OpenSSL looks must not change them.
      if (!OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr)) return FALSE;
      break;
    }
    case DLL_THREAD_DETACH:
      OPENSSL_thread_stop();
      break;
    default:
      break;
  }
  return TRUE;
}
