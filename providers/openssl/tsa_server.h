// cpki1-tool's time-stamp authority: RFC 3161 over HTTP on the loopback
// address, on OpenSSL's time-stamp responder and its BIO sockets (the same
// code on POSIX and Windows).
#ifndef CPKI1_OPENSSL_TSA_SERVER_H
#define CPKI1_OPENSSL_TSA_SERVER_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <string>

#include "openssl_objects.h"

// The policy a token has when neither the query nor the command names one: a
// test OID under 2.25 (a UUID as an OID, which needs no registration).
#define CPKI1_TSA_TEST_POLICY "2.25.186379076111173987422784047119685946009"

namespace cpki1 {

struct TsaConfig {
  X509 *signer = nullptr;              // certificate with the critical timeStamping usage
  EVP_PKEY *key = nullptr;             // its private key
  STACK_OF(X509) *chain = nullptr;     // CA certificates put into tokens that ask for them
  const EVP_MD *signerDigest = nullptr;
  std::string policy;                  // dotted OID of the default policy
  long timeOffset = 0;                 // genTime is this many seconds from now
  int port = 0;                        // 0: any free port
  std::string portFile;                // the port in use is written here before the first accept
  long count = 1;                      // connections to serve before ending
  long idleSeconds = 120;              // ends when no connection comes for this long
  int clientSeconds = 5;               // a connection gets this long for its request and answer
  void (*log)(const std::string &line) = nullptr;
};

struct TsaError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Serves config.count connections on 127.0.0.1 and returns; throws TsaError
// when it cannot start, or when no connection came for idleSeconds.
void ServeTimeStamps(const TsaConfig &config);

// The text of the thread's last OpenSSL error ("unknown error" when there is
// none); the thread's error queue is cleared.
std::string LastOpensslError();


}  // namespace cpki1

#endif  // CPKI1_OPENSSL_TSA_SERVER_H
