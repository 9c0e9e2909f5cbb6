// The certificate identifier text a host passes on from a counterpart
// ("SSL CERTIFICATE IDENTIFICATOR:" with its labelled lines), with UIDs by
// name and by serial number, against the provider double.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "provider/provider_engine.h"
#include "sim_setup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  SimApi &sim = FuzzSim();
  if (size < 1 || size > 8192) return 0;
  static crtelv::TTelvoraEngine engine;
  engine.SetCryptoParamValue(crtelv::kParamUIDLocation, (data[0] & 1) != 0 ? "SN" : "CN");
  const std::string ident(reinterpret_cast<const char *>(data) + 1, size - 1);
  char uid[257];
  std::memset(uid, 0x7F, sizeof uid);
  if (engine.GetUIDByCertIdent(ident.c_str(), uid) == 0 && std::memchr(uid, 0, 256) == nullptr) std::abort();
  if (sim.SimOutstanding() != 0) std::abort();
  ResetSim(sim);
  return 0;
}
