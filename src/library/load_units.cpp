#include "library/load_units.h"

#include <mutex>

#include "engine/crypto_engine.h"
#include "provider/provider_engine.h"
#include "provider/binding.h"
#include "support/root_path.h"

namespace crtelv {

namespace {

// The state of the start-up and shut-down, and the unit list: made on first
// use, because the entry of a port may call LibraryAttach before the
// library's other static objects are initialised. Made during the start-up,
// their destruction is registered before the exit handler of the entry, so
// LibraryDetach always runs while they exist (see entry_posix.cpp).
struct UnitState {
  std::mutex lock;
  bool attached = false;
  std::vector<std::string> trace;
};

UnitState &State() {
  static UnitState state;
  return state;
}

}  // namespace

const std::vector<Unit> &LibraryUnits() {
  // Start-up order: each unit only uses the units above it. Units with
  // nothing to prepare (base64, the lock, the helpers, the engine
  // framework) are not listed.
  static const std::vector<Unit> units = {
      {"rootpath", RootPathUnitInit, RootPathUnitDone},
      {"telv_h", TelvoraUnitInit, TelvoraUnitDone},
      {"ce_telv", BindingCacheUnitInit, BindingCacheUnitDone},
  };
  return units;
}

void LibraryAttach() {
  UnitState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.attached) return;
  for (const Unit &unit : LibraryUnits()) {
    if (unit.init != nullptr) unit.init();
    state.trace.push_back(std::string("init:") + unit.name);
  }
  state.attached = true;
}

void LibraryDetach() {
  UnitState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.attached) return;
  const std::vector<Unit> &units = LibraryUnits();
  for (auto unit = units.rbegin(); unit != units.rend(); ++unit) {
    if (unit->done != nullptr) unit->done();
    state.trace.push_back(std::string("done:") + unit->name);
  }
  state.attached = false;
}

std::vector<std::string> UnitTrace() {
  UnitState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.trace;
}

}  // namespace crtelv
