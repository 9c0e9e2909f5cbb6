// TTelvoraEngine: construction, the virtual constructor and the engine name.
// The provider operations live in the operation_*.cpp files, one per family,
// each beside the binding methods it uses.
#include "provider/provider_engine.h"

#include <cstring>
#include <new>

namespace crtelv {

namespace {

// The name the engine reports for itself, with its terminating zero.
constexpr char kEngineName[] = "Telvora Crypto Engine";
static_assert(sizeof kEngineName == 22, "the engine name is written as 22 bytes");

}  // namespace

TTelvoraEngine::TTelvoraEngine() {
  for (const TelvoraParamRow &row : kTelvoraParams) AddParam(row.name, row.defaultValue);
}

TCryptoEngine *TTelvoraEngine::Create() const { return new TTelvoraEngine(); }

int32_t TTelvoraEngine::AllocateBuffer(std::vector<uint8_t> &buffer, int32_t size) {
  try {
    buffer.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  return kOk;
}

void TTelvoraEngine::GetEngineName(char *name) {
  if (name == nullptr) return;
  std::memcpy(name, kEngineName, sizeof kEngineName);
}

}  // namespace crtelv
