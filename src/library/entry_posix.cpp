// Load and unload of the shared object: the units start when the library is
// loaded and stop when it is unloaded.
//
// The destructor runs at dlclose before the library's static objects are
// destroyed. At process exit, however, the run-time destroys static objects
// before it runs the destructors of loaded libraries, so the units are also
// stopped by an exit handler registered once they have started: exit
// handlers run in reverse order of registration, so it runs before every
// static object made up to then is destroyed (the units' own state
// included). The handler belongs to this library and goes with it at
// dlclose. Whichever path comes first stops the units; the other does
// nothing.
#include <cstdlib>

#include "library/load_units.h"

namespace {

// Plain flags, never destroyed: the second of the two stop paths may come
// after the units' own state is gone and must not touch it.
bool gStarted = false;
bool gStopped = false;

void Stop() {
  if (!gStarted || gStopped) return;
  gStopped = true;
  crtelv::LibraryDetach();
}

__attribute__((constructor)) void CrTelvLoad() {
  crtelv::LibraryAttach();
  gStarted = true;
  std::atexit(Stop);
}

__attribute__((destructor)) void CrTelvUnload() { Stop(); }

}  // namespace
