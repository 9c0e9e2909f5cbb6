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
// library's other static objects are initialised. The entries stop the units
// before static objects are destroyed (see entry_posix.cpp).
struct UnitState {
  std::mutex lock;
  bool attached = false;
  std::vector<std::string> trace;
  const std::vector<Unit> *replaced = nullptr;
};

UnitState &State() {
  static UnitState state;
  return state;
}

}  // namespace

const std::vector<Unit> &DefaultUnits() {
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

const std::vector<Unit> &LibraryUnits() {
  const std::vector<Unit> *replaced = State().replaced;
  return replaced != nullptr ? *replaced : DefaultUnits();
}

void ReplaceLibraryUnits(const std::vector<Unit> *units) { State().replaced = units; }

void LibraryAttach() {
  UnitState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.attached) return;
  const std::vector<Unit> &units = LibraryUnits();
  std::size_t started = 0;
  try {
    for (; started < units.size(); ++started) {
      if (units[started].init != nullptr) units[started].init();
      state.trace.push_back(std::string("init:") + units[started].name);
    }
  } catch (...) {
    // Stop what started, in reverse order, and report the first failure.
    while (started-- > 0) {
      try {
        if (units[started].done != nullptr) units[started].done();
      } catch (...) {
      }
      state.trace.push_back(std::string("done:") + units[started].name);
    }
    throw;
  }
  state.attached = true;
}

bool LibraryAttachNoThrow() noexcept {
  try {
    LibraryAttach();
    return true;
  } catch (...) {
    return false;
  }
}

void LibraryDetachNoThrow() noexcept {
  try {
    LibraryDetach();
  } catch (...) {
  }
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
