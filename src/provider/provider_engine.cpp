// TTelvoraEngine: construction, the virtual constructor and the engine name.
// The provider operations live in the ce_telv_*.cpp files.
#include "provider/provider_engine.h"

#include <cstring>

namespace crtelv {

namespace {

// The name the engine reports for itself, with its terminating zero.
constexpr char kEngineName[] = "Telvora Crypto Engine";
static_assert(sizeof kEngineName == 22, "the engine name is written as 22 bytes");

}  // namespace

TTelvoraEngine::TTelvoraEngine() {
  AddParam("Profile", "");
  AddParam("PSE", "A:\\local.pse");
  AddParam("LocalStore", "A:\\local.gdbm");
  AddParam("LDAP", "");
  AddParam("Encrypt for UID", "");
  AddParam("Key request time out", "60");
  AddParam("Last operation key time out", "5");
  AddParam("Client\\Server mode", "");
  AddParam("Server Certificate EKU OID", "");
  AddParam("User UID Location", "CN");
  AddParam("Sign EKU restrictions", "");
  AddParam("Cash ID", "");
  AddParam("Initialize flags", "");
}

TCryptoEngine *TTelvoraEngine::Create() const { return new TTelvoraEngine(); }

void TTelvoraEngine::GetEngineName(char *name) {
  if (name == nullptr) return;
  std::memcpy(name, kEngineName, sizeof kEngineName);
}

}  // namespace crtelv
