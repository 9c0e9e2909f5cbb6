// The open provider loaded the way a host loads it, and a set of parties made
// by cpki1-tool once per test run:
//   ca/            EC CA "CN=Test CA,O=Example,C=RU"
//   alice          EC, sign+encrypt, EKU emailProtection, private key usage period
//   bob            EC, sign+encrypt
//   rita           RSA 2048, sign+encrypt (the run's only RSA key)
//   old            EC, expired ten days ago
//   rev            EC, revoked (the CRL in the store lists it)
//   <name>.pse     key store, <name>.der certificate, <name>.key PEM key
//   store.pem      CA certificate, every party's certificate, the CA's CRL
#ifndef CRTELV_TESTS_OPENSSL_OPENSSL_SUPPORT_H
#define CRTELV_TESTS_OPENSSL_OPENSSL_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "provider/cpki1_api.h"
#include "test_os.h"

namespace cpki1test {

using Bytes = std::vector<uint8_t>;

// Statuses of the provider the tests name.
constexpr int32_t S(uint32_t v) { return static_cast<int32_t>(v); }
constexpr int32_t kBadArgument = S(0xE0720101u), kBadSession = S(0xE0720102u), kBadVersion = S(0xE0720103u),
                  kBadUrl = S(0xE0720104u), kNoProfile = S(0xE0720105u), kNoKey = S(0xE0720109u),
                  kBadEncoding = S(0xE072010Au), kBadSignature = S(0xE072010Cu), kUntrusted = S(0xE072010Du),
                  kRevoked = S(0xE072010Eu), kExpired = S(0xE072010Fu), kCrlStale = S(0xE0720110u),
                  kNoRecipients = S(0xE0720112u), kNotRecipient = S(0xE0720114u), kDecryptFailed = S(0xE0720115u),
                  kNoPendingKey = S(0xE0720116u),
                  kKeyMismatch = S(0xE0720117u), kUnsupportedKind = S(0xE0720118u), kNoViewer = S(0xE0720119u),
                  kCrlUntrusted = S(0xE072011Bu), kUnknownBlock = S(0xE072011Eu), kNotImplemented = S(0xE072011Fu),
                  kFileNotFound = S(0xE0720120u);
constexpr uint32_t kFirstStatus = 0xE0720101u, kLastStatus = 0xE0720155u;
// The GOST statuses start at 0xE0720130u; the values between are not used.
// The gaps between the groups of statuses.
constexpr bool StatusUnused(uint32_t code) {
  return (code >= 0xE072012Bu && code <= 0xE072012Fu) || (code >= 0xE0720133u && code <= 0xE072013Fu) ||
         (code >= 0xE0720143u && code <= 0xE072014Fu);
}

inline Bytes ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string &path, const Bytes &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a POSIX shell command line and gives its exit status (0-255, -1 when it
// could not run); under Wine the host's /bin/sh runs it.
int ShellStatus(const std::string &line);

// Runs a shell command line; its output goes to <dir>/last.log. Exit code.
int Shell(const std::string &line);

struct Provider {
  Provider();
  void *handle = nullptr;
#define CPKI1TEST_FIELD(name, type, required) type name = nullptr;
  CPKI1_ENTRY_POINTS(CPKI1TEST_FIELD)
#undef CPKI1TEST_FIELD
  int32_t (*OutstandingBlocks)() = nullptr;
};

// The parties of one test run (made on first use).
struct World {
  std::string dir;   // ends with '/'
  std::string tool;  // cpki1-tool
  std::string Path(const std::string &name) const { return dir + name; }
  // Issues one more party: cpki1-tool issue with extra options.
  void Issue(const std::string &name, const std::string &options) const;
};

const Provider &P();
const World &W();

// An open session over a key store and a certificate store (paths as given).
class Session {
 public:
  Session(const std::string &pse, const std::string &store, int32_t flags = 0);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  TelvoraSession id() const { return id_; }
  operator TelvoraSession() const { return id_; }

 private:
  TelvoraSession id_ = 0;
};

inline TelvoraBlob Blob(const Bytes &b) {
  return TelvoraBlob{static_cast<int32_t>(b.size()), const_cast<uint8_t *>(b.data())};
}
inline Bytes Take(TelvoraSession s, TelvoraBlob &b) {
  Bytes out(b.Data, b.Data + b.Length);
  EXPECT_EQ(P().VCERT_FreeMem(s, b.Data), 0);
  b = TelvoraBlob{};
  return out;
}

// The one certificate a search finds, as its encoding (empty when not one).
Bytes FindOne(TelvoraSession s, int32_t stores, const std::string &cnFilter);

inline Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }
// A file of the test run's folder, quoted for a shell line.
inline std::string F(const std::string &name) { return Quote(W().Path(name)); }

// The provider's operations as the tests call them; what they hand out is
// taken and released. Sign expects success and gives the message (empty on
// failure); the others give the status.
Bytes Sign(TelvoraSession s, int32_t flags, const Bytes &data);
// A detached signature of data, every field of the signers asked for.
int32_t VerifyDetached(TelvoraSession s, const Bytes &data, const Bytes &signature);
// Encryption for the certificates (DER) of the recipients.
int32_t EncryptFor(TelvoraSession s, const std::vector<Bytes> &certs, const Bytes &data, Bytes *message = nullptr);
int32_t Decrypt(TelvoraSession s, const Bytes &message, Bytes *plain = nullptr);

// Every test starts and ends with nothing handed out.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(P().OutstandingBlocks(), 0); }
  void TearDown() override { EXPECT_EQ(P().OutstandingBlocks(), 0) << "blocks left unreleased"; }
};

}  // namespace cpki1test

#endif  // CRTELV_TESTS_OPENSSL_OPENSSL_SUPPORT_H
