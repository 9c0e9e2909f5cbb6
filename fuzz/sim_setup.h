// The library's units started and the provider double loaded from its test
// root, once per fuzz process, with the user's own certificate in its store.
#ifndef CRTELV_FUZZ_SIM_SETUP_H
#define CRTELV_FUZZ_SIM_SETUP_H

#include <cstdlib>
#include <string>

#include "library/load_units.h"
#include "sim_client.h"
#include "support/root_path.h"

// The user's own certificate, also found among the others' (as a transfer
// of one's own key is).
inline void AddOwnCertificate(SimApi &sim) {
  SimCert own{};
  own.Issuer = "CN=Test CA,O=Example";
  own.Serial = "0A:1B";
  own.Subject = "CN=User1,O=Example";
  own.Store = TELVORA_STORE_OWN | TELVORA_STORE_OTHERS;
  sim.SimAddCert(&own);
}

// Forgets the calls recorded so far (the double keeps them all), keeps the
// certificate.
inline void ResetSim(SimApi &sim) {
  sim.SimReset();
  AddOwnCertificate(sim);
}

inline SimApi &FuzzSim() {
  static SimApi *sim = [] {
    crtelv::LibraryAttach();
    const std::string root = std::string(CRTELV_SIMROOT_DIR) + "/complete/";
    crtelv::SetProcessRoot(root);
    auto *api = new SimApi;
    if (!api->Load(root + "EXE/cpki1.dll")) std::abort();
    AddOwnCertificate(*api);
    return api;
  }();
  return *sim;
}

#endif  // CRTELV_FUZZ_SIM_SETUP_H
