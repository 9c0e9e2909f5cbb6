// Certificate reports, hashing, the certificate viewer and the UID of a
// certificate identifier, through the provider engine.
#include <cstring>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "provider/cert_text.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

class Reports : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    sim.AddCert(kUser1);
    sim.AddCert(Cert{.subject = "CN=Peer,O=Example", .serial = "0C"});
  }
  Engine engine;
  TempDir dir;
};

TEST_F(Reports, TextsForAUidATransferAndAFile) {
  const std::vector<uint8_t> peer = sim.Encode(Cert{.subject = "CN=Peer,O=Example", .serial = "0C"});
  const std::string file = dir.Write("peer.cer", std::string(peer.begin(), peer.end()));
  const std::string over = dir.Write("over.cer", std::string(4097, 'x'));
  std::vector<char> transfer(12288);
  ASSERT_EQ(engine->GetPublicKeyTransfer("Peer", transfer.data()), 0);

  std::vector<char> byUid(4097), byTransfer(4097), byFile(4097);
  ASSERT_EQ(engine->GetReport("Peer", byUid.data()), 0);
  ASSERT_EQ(engine->GetReportByTransfer(transfer.data(), byTransfer.data()), 0);
  ASSERT_EQ(engine->GetReportByFile(file.c_str(), byFile.data()), 0);
  const std::string text = byUid.data();
  EXPECT_EQ(text.rfind("UID=Peer\r\n", 0), 0u) << text;
  EXPECT_EQ(std::string(byTransfer.data()), text);
  EXPECT_EQ(std::string(byFile.data()), text);
  // A PEM file, as IncludePublicKey takes it, with text before the marker.
  const std::string pem = dir.Write("peer.pem", "Bag Attributes\n-----BEGIN CERTIFICATE-----\n" +
                                                    EncodeBase64Lines(peer.data(), static_cast<int32_t>(peer.size())) +
                                                    "\n-----END CERTIFICATE-----\n");
  std::vector<char> byPem(4097);
  ASSERT_EQ(engine->GetReportByFile(pem.c_str(), byPem.data()), 0);
  EXPECT_EQ(std::string(byPem.data()), text);
  EXPECT_EQ(engine->GetReport("Nobody", byUid.data()), kCertSelection);

  // Refused before any provider work.
  const int32_t calls = sim.SimCallCount();
  const char data[] = "hash me";
  int32_t size = 64;
  struct Case {
    const char *what;
    int32_t result;
    int32_t expected;
  } cases[] = {
      {"report without UID", engine->GetReport(nullptr, byUid.data()), kBadArgument},
      {"report without buffer", engine->GetReport("Peer", nullptr), kBadArgument},
      {"transfer report without buffer", engine->GetReportByTransfer(transfer.data(), nullptr), kBadArgument},
      {"file report without buffer", engine->GetReportByFile(file.c_str(), nullptr), kBadArgument},
      {"file report without file", engine->GetReportByFile("", byFile.data()), kNoCertFile},
      {"file report of 4097 bytes", engine->GetReportByFile(over.c_str(), byFile.data()), kCertLoad},
      {"transfer report of no transfer", engine->GetReportByTransfer("", byFile.data()), kBadArgument},
      {"hash of no data", engine->HashData(nullptr, 7, 0, nullptr, &size), kBadArgument},
      {"hash of 0 bytes", engine->HashData(data, 0, 0, nullptr, &size), kBadArgument},
      {"hash of -5 bytes", engine->HashData(data, -5, 0, nullptr, &size), kBadArgument},
      {"hash without size", engine->HashData(data, 7, 0, nullptr, nullptr), kBadArgument},
  };
  for (const Case &c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
  EXPECT_EQ(sim.SimCallCount(), calls);

  ASSERT_EQ(engine->HashData(data, 7, 2, nullptr, &size), 0);
  ASSERT_EQ(size, 64);
  std::string hex(64, '#');
  EXPECT_EQ(engine->HashData(data, 7, 2, hex.data(), &size), 0);
  EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

TEST_F(Reports, ShowCertificateSearchesThenWidens) {
  sim.AddCert(Cert{.subject = "CN=Wide,O=Example", .serial = "0D", .store = TELVORA_STORE_WIDE});
  sim.AddCert(Cert{.subject = "CN=Twin,O=Example", .serial = "0E"});
  sim.AddCert(Cert{.subject = "CN=Twin,O=Example", .serial = "0F"});
  struct Case {
    const char *uid;
    int32_t result;
    std::vector<std::string> calls;  // the searches and what follows them
  } cases[] = {
      {"", kNoUID, {}},
      {"Peer", 0, {"VCERT_FindCert stores=2", "VCERT_ShowCertificate", "VCERT_FreeFindResult"}},
      {"Wide", 0,
       {"VCERT_FindCert stores=2", "VCERT_FreeFindResult", "VCERT_FindCert stores=10", "VCERT_ShowCertificate",
        "VCERT_FreeFindResult"}},
      {"Nobody", kCertSelection,
       {"VCERT_FindCert stores=2", "VCERT_FreeFindResult", "VCERT_FindCert stores=10", "VCERT_FreeFindResult"}},
      {"Twin", kCertSelection,
       {"VCERT_FindCert stores=2", "VCERT_FreeFindResult", "VCERT_FindCert stores=10", "VCERT_FreeFindResult"}},
  };
  for (const Case &c : cases) {
    const int32_t first = sim.SimCallCount();
    EXPECT_EQ(engine->ShowCertificate(c.uid), c.result) << c.uid;
    std::vector<std::string> calls;
    for (int32_t i = first; i < sim.SimCallCount(); ++i) {
      const std::string line = sim.Call(i);
      const std::string name = line.substr(0, line.find(' '));
      if (name == "VCERT_FindCert") {
        calls.push_back(name + " " + line.substr(line.find("stores="), line.find(' ', line.find("stores=")) -
                                                                             line.find("stores=")));
      } else if (name == "VCERT_ShowCertificate" || name == "VCERT_FreeFindResult") {
        calls.push_back(name);
      }
    }
    EXPECT_EQ(calls, c.calls) << c.uid;
  }
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ShowCertificate").back(), "subject=\"CN=Wide,O=Example\""));

  // The viewer's code for a closed window is no failure; others are.
  sim.Fail("VCERT_ShowCertificate", static_cast<int32_t>(0xE072008Au));
  EXPECT_EQ(engine->ShowCertificate("Peer"), 0);
  sim.Fail("VCERT_ShowCertificate", SIM_E_INTERNAL);
  EXPECT_EQ(engine->ShowCertificate("Peer"), SIM_E_INTERNAL);
}

TEST_F(Reports, CertificateIdentifiers) {
  const std::string h = "SSL CERTIFICATE IDENTIFICATOR:\r\n";
  const std::string issuer = "CERT_ISSUER:CN=Test CA,O=Example\r\n";
  struct Case {
    std::string ident;
    int32_t result;
    std::string uid;
  } cases[] = {
      {h + issuer + "CERT_SERIALNUMBER:0a-1b\r\n", 0, "0A1B"},
      {h + "CERT_SERIALNUMBER:0-c\r\nCERT_ISSUER:O=Example,CN=Test CA", 0, "0C"},
      // Values as they stand, each label at its first occurrence.
      {h + issuer + "CERT_SERIALNUMBER:0a\n1b\r\nCERT_SERIALNUMBER:0a1b", kCertSelection, ""},
      {h + issuer + "CERT_SERIALNUMBER: 0a1b ", kCertSelection, ""},
      {h + issuer + "CERT_SERIALNUMBER:" + std::string(300, 'a'), kCertSelection, ""},
      {h + "CERT_ISSUER:CN=Test CA\r\nCERT_SERIALNUMBER:0a1b", kCertSelection, ""},
      {" " + h + issuer + "CERT_SERIALNUMBER:0a", kBadArgument, ""},
      {"SSL CERTIFICATE IDENTIFICATOR:\n" + issuer + "CERT_SERIALNUMBER:0a", kBadArgument, ""},
      {h + "CERT_SERIALNUMBER:0a\r\n", kBadArgument, ""},
      {h + "CERT_ISSUER:\r\nCERT_SERIALNUMBER:0a", kBadArgument, ""},
      {h + issuer, kBadArgument, ""},
      {h + issuer + "CERT_SERIALNUMBER:--", kBadArgument, ""},
      {"", kBadArgument, ""},
  };
  engine.Set(kParamUIDLocation, "SN");
  for (const Case &c : cases) {
    std::vector<char> uid(256, '#');
    EXPECT_EQ(engine->GetUIDByCertIdent(c.ident.c_str(), uid.data()), c.result) << c.ident;
    if (c.result == 0) {
      EXPECT_EQ(std::string(uid.data()), c.uid) << c.ident;
    }
  }
  char out[256];
  EXPECT_EQ(engine->GetUIDByCertIdent(nullptr, out), kBadArgument);
  EXPECT_EQ(engine->GetUIDByCertIdent(cases[0].ident.c_str(), nullptr), kBadArgument);

  // By CN: the serial number is looked for under the user's own issuer, and
  // the certificate found must bear the identifier's.
  engine.Set(kParamUIDLocation, "CN");
  EXPECT_EQ(engine->GetUIDByCertIdent((h + "CERT_ISSUER:CN=Other\r\nCERT_SERIALNUMBER:0c").c_str(), out),
            kCertSelection);
  ASSERT_EQ(engine->GetUIDByCertIdent((h + issuer + "CERT_SERIALNUMBER:0c").c_str(), out), 0);
  EXPECT_STREQ(out, "Peer");
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_FindCert").back(), "issuer=\"CN=Test CA,O=Example\" serial=\"0C\""));
}

}  // namespace
}  // namespace crtelv::test
