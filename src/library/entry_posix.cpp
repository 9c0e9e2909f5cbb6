// Load and unload of the shared object.
//
// The units start in the shared object's constructor and stop in its
// destructor, which runs at dlclose, and at process exit only after every
// exit handler and static destructor of the process has run. By then a
// provider loaded after this library has shut itself down (its exit handlers
// were registered later, so they ran earlier): stopping the units would call
// into it. So an exit handler of ours, tied to this object's lifetime, marks
// the units stopped when the process ends, without calling anything, as the
// Windows entry does; the system reclaims the rest. At dlclose the destructor
// runs before that handler and stops the units in order; the handler then
// finds nothing to do.
//
// Neither hook lets a failure out: an exception escaping a constructor or
// destructor of a shared object would end the host process.
#include "library/load_units.h"

extern "C" {
// The handle of this shared object, as the C++ run-time knows it.
extern void *__dso_handle;  // NOLINT(bugprone-reserved-identifier)
int __cxa_atexit(void (*func)(void *), void *arg, void *dso);  // NOLINT
}

namespace {

// Plain flags, never destroyed: the hooks may run after the units' own state
// is gone and must not touch it.
bool g_started = false;
bool g_stopped = false;

void ProcessExit(void *) {
  // Exit handlers run in reverse order of registration. This one belongs to
  // this object (dso handle), so a dlclose runs it too: after the destructor,
  // when g_stopped is already set.
  g_stopped = true;
}

__attribute__((constructor)) void CrTelvLoad() {
  // A unit that cannot start leaves the library detached: the exports then
  // answer with their error results.
  g_started = crtelv::LibraryAttachNoThrow();
  __cxa_atexit(ProcessExit, nullptr, &__dso_handle);
}

__attribute__((destructor)) void CrTelvUnload() {
  if (!g_started || g_stopped) return;
  g_stopped = true;
  crtelv::LibraryDetachNoThrow();
}

}  // namespace
