// Start-up and shut-down of the library's units.
//
// The units start in a fixed order when the library is loaded (process
// attach) and stop in exactly the reverse order when it is unloaded (process
// detach). Start-up only creates empty lists and locks; nothing is read from
// disk. The entry of each port (DllMain on Win32, the shared object's
// constructor and destructor on POSIX) calls LibraryAttach and LibraryDetach.
#ifndef CRTELV_LIBRARY_LOAD_UNITS_H
#define CRTELV_LIBRARY_LOAD_UNITS_H

#include <string>
#include <vector>

namespace crtelv {

struct Unit {
  const char *name;
  void (*init)();  // may be null: nothing to prepare
  void (*done)();  // may be null: nothing to release
};

// The units in start-up order.
const std::vector<Unit> &LibraryUnits();

// Runs every unit's start-up in order. A second call without LibraryDetach
// in between does nothing. When a unit's start-up throws, the units started
// before it are stopped in reverse order and the failure passes on.
void LibraryAttach();

// Runs every unit's shut-down in reverse order. Does nothing unless attached.
void LibraryDetach();

// The same for the load and unload entries, which must never let a failure
// out: false when a unit failed to start (the units started before it were
// stopped again, and the library stays detached).
bool LibraryAttachNoThrow() noexcept;
void LibraryDetachNoThrow() noexcept;

// Tests: runs the given unit list instead of the library's (null restores it).
void ReplaceLibraryUnits(const std::vector<Unit> *units);

// Names of the unit steps run so far ("init:<unit>", "done:<unit>"), oldest
// first; kept so that the order can be checked.
std::vector<std::string> UnitTrace();

}  // namespace crtelv

#endif  // CRTELV_LIBRARY_LOAD_UNITS_H
