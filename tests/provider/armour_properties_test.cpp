// PEM armour, certificate and CRL import, and the certificate properties text.
#include <cstring>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "provider/cert_text.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

bool StartsWith(const std::string &text, const std::string &head) { return text.rfind(head, 0) == 0; }

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// A peer certificate valid from 2003 to the last second the record holds.
const Cert kPeer{.subject = "CN=Peer,O=Example", .serial = "0A:1B:2C", .notBefore = 1072361109,
                 .notAfter = 4294967295u};

// ---- Armour -------------------------------------------------------------------------

using Armour = ProviderTest;

TEST_F(Armour, Base64LinesAndPemText) {
  const std::vector<uint8_t> bytes(58, 0xA5);
  const std::string line57 = EncodeBase64Lines(bytes.data(), 57);
  EXPECT_EQ(line57.size(), 76u);
  EXPECT_EQ(line57.find('\r'), std::string::npos);
  const std::string lines58 = EncodeBase64Lines(bytes.data(), 58);
  EXPECT_EQ(lines58, line57 + "\r\npQ==");

  const std::uint8_t *data = bytes.data();
  EXPECT_EQ(CertToPEM(TelvoraBlob{57, const_cast<uint8_t *>(data)}),
            "-----BEGIN CERTIFICATE-----\r\n" + line57 + "\r\n-----END CERTIFICATE-----");
  EXPECT_EQ(CertToPEM(TelvoraBlob{1, const_cast<uint8_t *>(data)}),
            "-----BEGIN CERTIFICATE-----\r\npQ==\r\n-----END CERTIFICATE-----");
  const std::string empty = "-----BEGIN CERTIFICATE-----\r\n\r\n-----END CERTIFICATE-----";
  EXPECT_EQ(CertToPEM(TelvoraBlob{0, const_cast<uint8_t *>(data)}), empty);
  EXPECT_EQ(CertToPEM(TelvoraBlob{-5, const_cast<uint8_t *>(data)}), empty);
  EXPECT_EQ(CertToPEM(TelvoraBlob{10, nullptr}), empty);

  struct Case {
    const char *text;
    const char *decoded;
  } cases[] = {{"YW\r\nJj", "abc"}, {"YW\nJj", "abc"}, {"YW\n\r\nJj", "abc"}, {"YW\rJj", ""}, {"YW Jj", ""}};
  for (const Case &c : cases) {
    std::vector<uint8_t> out = DecodeBase64Text(c.text, static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_EQ(std::string(out.begin(), out.end()), c.decoded) << c.text;
  }
}

TEST_F(Armour, PemBodiesAreTakenFromAfterTheMarkerFound) {
  struct Case {
    std::string text;
    int32_t len;  // -1: the whole text
    int32_t result;
    std::string decoded;
  } cases[] = {
      {"-----BEGIN CERTIFICATE-----\r\nYWJj\r\n-----END CERTIFICATE-----", -1, 0, "abc"},
      {"Bag Attributes\nsubject=/CN=x\n-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n", -1, 0,
       "abc"},
      {"-----END CERTIFICATE-----\n-----BEGIN CERTIFICATE-----\nYWJj\n", -1, 0, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----", 40, kBadCertFormat, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n", -1, kBadCertFormat, ""},
      {"-----BEGIN X509 CRL-----\nYWJj\n-----END X509 CRL-----", -1, kBadCertFormat, ""},
  };
  for (const Case &c : cases) {
    std::string buffer = c.text;
    int32_t len = c.len < 0 ? static_cast<int32_t>(buffer.size()) : c.len;
    const int32_t before = len;
    EXPECT_EQ(CertFromPEM(buffer.data(), len), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(len)), c.decoded) << c.text;
    } else {
      EXPECT_EQ(len, before);
      EXPECT_EQ(buffer, c.text);
    }
  }
  std::string crl = "x-----BEGIN X509 CRL-----\nYWJj\n-----END X509 CRL-----";
  int32_t len = static_cast<int32_t>(crl.size());
  EXPECT_EQ(CRLFromPEM(crl.data(), len), 0);
  EXPECT_EQ(crl.substr(0, 3), "abc");
  std::string cert = "-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----";
  len = static_cast<int32_t>(cert.size());
  EXPECT_EQ(CRLFromPEM(cert.data(), len), kBadCrlFormat);
}

TEST_F(Armour, PemCertificatesAreAddedOnTheSecondAttempt) {
  const std::vector<uint8_t> binary = sim.Encode(kPeer);
  const std::string body = EncodeBase64Lines(binary.data(), static_cast<int32_t>(binary.size()));
  const std::string crlf = "-----BEGIN CERTIFICATE-----\r\n" + body + "\r\n-----END CERTIFICATE-----\r\n";
  struct Case {
    std::string input;
    std::size_t attempts;
  } cases[] = {
      {std::string(binary.begin(), binary.end()), 1},
      {crlf, 2},
      {Replace(crlf, "\r\n", "\n"), 2},
      {"Bag Attributes\n    localKeyID: 01\n" + Replace(crlf, "\r\n", "\n"), 2},
  };
  for (Case &c : cases) {
    ClearCache();
    sim.SimReset();
    Engine engine;
    BindingRef binding = Binding(engine);
    std::vector<char> buffer(c.input.begin(), c.input.end());
    int32_t len = static_cast<int32_t>(buffer.size());
    EXPECT_EQ(binding->AddCertificate(engine.Params(), buffer.data(), len), 0);
    auto adds = sim.CallsOf("VCERT_AddCertificate");
    ASSERT_EQ(adds.size(), c.attempts);
    EXPECT_TRUE(Has(adds.back(), "length=" + std::to_string(binary.size()))) << adds.back();
    ASSERT_EQ(len, static_cast<int32_t>(binary.size()));
    EXPECT_EQ(std::memcmp(buffer.data(), binary.data(), binary.size()), 0);
    EXPECT_TRUE(Has(adds[0], "flags=0 selector=none")) << adds[0];
  }
  // Bytes that are neither: offered twice unchanged, the provider's status.
  Engine engine;
  std::string junk = "not a certificate";
  int32_t len = static_cast<int32_t>(junk.size());
  EXPECT_EQ(Binding(engine)->AddCertificate(engine.Params(), junk.data(), len), SIM_E_BAD_ENCODING);
  EXPECT_EQ(len, static_cast<int32_t>(junk.size()));
}

TEST_F(Armour, CrlFiles) {
  TempDir dir;
  const std::string pem = dir.Write("crl.pem", "-----BEGIN X509 CRL-----\n" + EncodeBase64Lines("SIMCRL-1", 8) +
                                                   "\n-----END X509 CRL-----\n");
  Engine engine;
  BindingRef binding = Binding(engine);
  EXPECT_EQ(binding->IncludeCRL(engine.Params(), pem.c_str()), 0);
  auto adds = sim.CallsOf("VCERT_AddCRL");
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_TRUE(Has(adds[1], "length=8")) << adds[1];
  ClearCache();
  sim.SimReset();
  EXPECT_EQ(binding->IncludeCRL(engine.Params(), (dir.Path() + "missing.crl").c_str()), kCrlRead);
  EXPECT_EQ(sim.SimCallCount(), 0);
}

// ---- Properties text ----------------------------------------------------------------

using Properties = ProviderTest;

TEST_F(Properties, TextOfAFullAndAnEmptyRecord) {
  TelvoraCertInfo info{};
  info.Issuer = "CN=Test CA,O=Example,C=RU";
  info.SerialNumber = "0A:1B:2C";
  info.Subject = "CN=User1,O=Example";
  info.PublicKeyAlgorithm = "GOST";
  info.NotBefore = 1072361109;
  info.NotAfter = 4294967295u;
  info.PrivateKeyNotBefore = 2147483648u;
  info.PrivateKeyNotAfter = 0;
  info.KeyUsage = 0x0C;
  EXPECT_EQ(FormatCertProperties(info),
            "ICN=Test CA\r\nIO=Example\r\nIC=RU\r\n"
            "SN=0A1B2C\r\n"
            "CN=User1\r\nO=Example\r\n"
            "PKeyAlg=GOST\r\n"
            "NotBefore=25-12-03 14:05:09\r\n"
            "NotAfter=07-02-06 06:28:15\r\n"
            "SecNotBefore=19-01-38 03:14:08\r\n"
            "SecNotAfter=01-01-70 00:00:00\r\n"
            "SKU=DigitalSignature;NonRepudiation(C0)\r\n");
  TelvoraCertInfo empty{};
  empty.Issuer = "";
  EXPECT_EQ(FormatCertProperties(empty),
            "NotBefore=01-01-70 00:00:00\r\nNotAfter=01-01-70 00:00:00\r\n"
            "SecNotBefore=01-01-70 00:00:00\r\nSecNotAfter=01-01-70 00:00:00\r\n");
  struct Usage {
    int32_t keyUsage;
    const char *line;
  } usages[] = {
      {0x10, "SKU=(100)\r\n"},
      {0x03, "SKU=KeyEncipherment;DataEncipherment(30)\r\n"},
      {-1, "SKU=DigitalSignature;NonRepudiation;KeyEncipherment;DataEncipherment(FFFFFFF0)\r\n"},
  };
  for (const Usage &u : usages) {
    empty.KeyUsage = u.keyUsage;
    const std::string text = FormatCertProperties(empty);
    EXPECT_EQ(text.substr(text.find("SKU=")), u.line);
  }
}

TEST_F(Properties, ByDataByUidAndOwn) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01:02", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "0A:1B:2C"});
  const std::vector<uint8_t> peer = sim.Encode(kPeer);
  Engine engine;
  engine.Set(kParamUIDLocation, "SN");
  BindingRef binding = Binding(engine);
  char out[4097];
  ASSERT_EQ(binding->GetReportByData(engine.Params(), peer.data(), static_cast<int32_t>(peer.size()), out),
            0);
  EXPECT_TRUE(StartsWith(out, "UID=0A1B2C\r\nICN=Test CA\r\nIO=Example\r\nSN=0A1B2C\r\n")) << out;
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ParseCert")[0], "fields=0x3FFFF"));
  // By UID: the UID line is the text the caller gave.
  ASSERT_EQ(binding->GetReport(engine.Params(), "0A1B2C", out), 0);
  EXPECT_TRUE(StartsWith(out, "UID=0A1B2C\r\n")) << out;
  // The own UID goes to the own certificate.
  ASSERT_EQ(binding->GetReport(engine.Params(), "0102", out), 0);
  EXPECT_TRUE(Has(out, "CN=User1\r\n")) << out;
  engine.Set(kParamUIDLocation, "CN");
  ASSERT_EQ(binding->GetReport(engine.Params(), "Peer", out), 0);
  EXPECT_TRUE(StartsWith(out, "UID=Peer\r\n")) << out;
  EXPECT_EQ(binding->GetReport(engine.Params(), "Nobody", out), kCertSelection);
  EXPECT_EQ(binding->GetReport(engine.Params(), "Peer", nullptr), kBadArgument);
  ASSERT_EQ(binding->GetOwnReport(engine.Params(), out), 0);
  EXPECT_TRUE(StartsWith(out, "UID=User1\r\n")) << out;

  // Without an own certificate: -5 for the own one, the UID failure for others.
  binding.reset();
  ClearCache();
  sim.SimReset();
  binding = Binding(engine);
  std::strcpy(out, "untouched");
  EXPECT_EQ(binding->GetOwnReport(engine.Params(), out), kCertSelection);
  EXPECT_EQ(binding->GetReport(engine.Params(), "Peer", out), kNoCurrentUser);
  EXPECT_STREQ(out, "untouched");
}

TEST_F(Properties, LongTextsAreCutAt4096Characters) {
  const std::string subject = "CN=User1,O=" + std::string(5000, 'x');
  sim.Add({.subject = subject.c_str(), .serial = "01", .store = TELVORA_STORE_OWN});
  Engine engine;
  std::vector<char> out(4200, '#');
  ASSERT_EQ(Binding(engine)->GetOwnReport(engine.Params(), out.data()), 0);
  EXPECT_EQ(std::strlen(out.data()), 4096u);
  EXPECT_EQ(out[4097], '#');
}

}  // namespace
}  // namespace crtelv::test
