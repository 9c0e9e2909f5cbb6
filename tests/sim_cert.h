// Certificates of the provider double for the suites that use it. A test
// names the fields it cares about and takes the rest from the defaults: issued
// by the test CA, valid from 2023 to 2030, among the others' certificates.
//
//   sim.Add({.subject = "CN=Peer,O=Example", .serial = "0C"});
//   SimCert own = Cert{.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN};
#ifndef CRTELV_TESTS_SIM_CERT_H
#define CRTELV_TESTS_SIM_CERT_H

#include <cstdint>
#include <string>

#include "sim_control.h"

namespace crtelv::test {

// Fields in the order a designated initializer must name them.
struct Cert {
  const char *subject = nullptr;
  const char *serial = nullptr;
  int32_t store = TELVORA_STORE_OTHERS;
  const char *ekus = nullptr;
  const char *keyRef = nullptr;
  const char *issuer = "CN=Test CA,O=Example";
  uint32_t notBefore = 1700000000;
  uint32_t notAfter = 1900000000;
  int32_t keyUsage = 0;
  uint32_t privateNotBefore = 0;

  // The double's record; its texts point at this builder's.
  operator SimCert() const {
    SimCert cert{};
    cert.Issuer = issuer;
    cert.Serial = serial;
    cert.Subject = subject;
    cert.NotBefore = notBefore;
    cert.NotAfter = notAfter;
    cert.KeyUsage = keyUsage;
    cert.Ekus = ekus;
    cert.KeyReference = keyRef;
    cert.Store = store;
    cert.PrivateKeyNotBefore = privateNotBefore;
    return cert;
  }
};

// The user's own certificate, also among the others so that bare signatures
// find their signer.
inline const Cert kUser1{
    .subject = "CN=User1,O=Example", .serial = "0A:1B", .store = TELVORA_STORE_OWN | TELVORA_STORE_OTHERS};

inline bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace crtelv::test

#endif  // CRTELV_TESTS_SIM_CERT_H
