// Load and unload of the shared object: the units start when the library is
// loaded and stop when it is unloaded.
//
// The destructor runs at dlclose before the library's static objects are
// destroyed. At process exit, however, the run-time destroys static objects
// before it runs the destructors of loaded libraries, so the units are also
// stopped by an exit handler registered after they started: exit handlers run
// in reverse order of registration, so it runs before the statics made while
// the library was loading go. LibraryDetach runs only once.
#include <cstdlib>

#include "library/units.h"

namespace {

void DetachAtExit() { crtelv::LibraryDetach(); }

__attribute__((constructor)) void CrTelvLoad() {
  crtelv::LibraryAttach();
  std::atexit(DetachAtExit);
}

__attribute__((destructor)) void CrTelvUnload() { crtelv::LibraryDetach(); }

}  // namespace
