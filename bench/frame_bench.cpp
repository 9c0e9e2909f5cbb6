// The cost of the operation frame on the provider double: the parameters
// into the session record, the binding looked up in the cache, the provider
// lock and the session taken and given back. The provider's own work is
// left out (an empty call), so the figure is the library's alone; compare
// the full GetCurrentUID beside it.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "library/load_units.h"
#include "provider/call_frame.h"
#include "provider/provider_engine.h"
#include "sim_client.h"
#include "support/root_path.h"

namespace {

struct Setup {
  Setup() {
    crtelv::LibraryAttach();
    const std::string root = std::string(CRTELV_SIMROOT_DIR) + "/v150/";
    crtelv::SetProcessRoot(root);
    sim.Load(root + "EXE/cpki1.dll");
    SimCert own{};
    own.Issuer = "CN=Test CA,O=Example";
    own.Serial = "01";
    own.Subject = "CN=User1,O=Example";
    own.Store = TELVORA_STORE_OWN;
    sim.SimAddCert(&own);
  }
  SimApi sim;
};

Setup &Once() {
  static Setup setup;
  return setup;
}

void BM_OperationFrame(benchmark::State &state) {
  Once();
  crtelv::TTelvoraEngine engine;
  engine.SetCryptoParamValue(crtelv::kParamClientServerMode, state.range(0) != 0 ? "server" : "");
  for (auto _ : state) {
    crtelv::TTelvoraEngine::CallSetup setup;
    if (engine.SetUpCall(setup) != 0) state.SkipWithError("no binding");
    int32_t status = setup.binding->CallProvider(setup.Param(), crtelv::ServerKey::NotNeeded,
                                                 [](crtelv::ProviderCall &call) { return call.Session() != 0 ? 0 : 1; });
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_OperationFrame)->Arg(0)->Arg(1)->ThreadRange(1, 2)->UseRealTime();

void BM_GetCurrentUID(benchmark::State &state) {
  Setup &setup = Once();
  crtelv::TTelvoraEngine engine;
  char uid[256];
  for (auto _ : state) benchmark::DoNotOptimize(engine.GetCurrentUID(uid));
  if (state.thread_index() == 0) setup.sim.SimReset();  // the double records every call
}
BENCHMARK(BM_GetCurrentUID);

}  // namespace
