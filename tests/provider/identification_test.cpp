// The user's own certificate and the UID searches, as the provider sees them.
#include "binding_fixture.h"
#include "provider/cert_text.h"

namespace crtelv::test {
namespace {

class Identification : public ProviderTest {
 protected:
  // The engine's UID of the user's own certificate.
  int32_t CurrentUID(Engine &engine, std::string &uid) {
    char buffer[256] = {};
    int32_t status = engine->GetCurrentUID(buffer);
    uid = buffer;
    return status;
  }
};

TEST_F(Identification, TextRules) {
  EXPECT_EQ(ExtractCN("CN=User1,O=Example"), "User1");
  EXPECT_EQ(ExtractCN("O=Example,CN=User1"), "User1");
  EXPECT_EQ(ExtractCN("O=Example"), "");
  EXPECT_EQ(ExtractCN("cn=User1,O=Example"), "User1");
  // A control byte, escaped or not, leaves no name: "alice\0evil" is not "alice".
  EXPECT_EQ(ExtractCN("CN=alice\\00evil,O=Example"), "");
  EXPECT_EQ(ExtractCN("CN=mallory\\0D\\0ASN=1,O=Example"), "");
  EXPECT_EQ(ExtractCN(std::string("CN=a\tb,O=Example")), "");
  EXPECT_EQ(HexWithColons("0A1B2C"), "0A:1B:2C");
  EXPECT_EQ(HexWithColons("ABC"), "ABC");
  EXPECT_EQ(HexWithColons(""), "");
  EXPECT_EQ(MakeCNFilter("User1"), "CN=User1");
}

TEST_F(Identification, OwnUidIsTheSubjectsCommonName) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "0A:1B:2C", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "01:02"});
  Engine engine;
  std::string uid;
  ASSERT_EQ(CurrentUID(engine, uid), 0);
  EXPECT_EQ(uid, "User1");
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 1u);
  EXPECT_EQ(finds[0].Pick("stores matchBy fields"), "stores=1 matchBy=0 fields=0x4");
}

TEST_F(Identification, OwnUidIsTheSerialNumberOutsideCnMode) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "0A:1B:2C", .store = TELVORA_STORE_OWN});
  Engine engine;
  engine.Set(kParamUIDLocation, "sn");
  std::string uid;
  ASSERT_EQ(CurrentUID(engine, uid), 0);
  EXPECT_EQ(uid, "0A1B2C");
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 1u);
  EXPECT_EQ(finds[0]["fields"], "0x1");
}

TEST_F(Identification, NoneOrSeveralOwnCertificatesMeanNoCurrentUser) {
  Engine engine;
  std::string uid = "kept";
  char buffer[256] = "kept";
  EXPECT_EQ(engine->GetCurrentUID(buffer), kNoCurrentUser);
  EXPECT_STREQ(buffer, "kept");
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=User2,O=Example", .serial = "02", .store = TELVORA_STORE_OWN});
  EXPECT_EQ(CurrentUID(engine, uid), kNoCurrentUser);
  EXPECT_EQ(engine->GetCurrentUID(nullptr), kBadArgument);
}

// The UID is the value of the most specific CN attribute, read at attribute
// boundaries: "=" inside a value is data, escapes belong to the value. A
// certificate without a CN has no UID, and the report's fields follow the
// same boundaries.
TEST_F(Identification, TheUidIsTheMostSpecificCommonNameReadAtAttributeBoundaries) {
  const struct {
    const char *subject;
    int32_t status;
    const char *uid;
  } cases[] = {
      {"CN=User1,O=Example", 0, "User1"},
      {"OU=CN=alice,CN=mallory,O=Example,C=RU", 0, "mallory"},
      {"CN=dave", 0, "dave"},
      {"O=Example,cn=User1", 0, "User1"},
      {"CN=Smith\\, John,O=Example", 0, "Smith, John"},
      {"O=Example,OU=CN\\=eve", kCertSelection, ""},
      {"O=Example", kCertSelection, ""},
  };
  for (const auto &c : cases) {
    sim.SimReset();
    sim.Add({.subject = c.subject, .serial = "01", .store = TELVORA_STORE_OWN});
    Engine engine;
    std::string uid;
    EXPECT_EQ(CurrentUID(engine, uid), c.status) << c.subject;
    EXPECT_EQ(uid, c.uid) << c.subject;
    // A signature is reported with the same signer, or refused unnamed.
    std::vector<uint8_t> sign(2048);
    int32_t size = -1;
    ASSERT_EQ(engine->SignData("data", 4, sign.data(), &size, nullptr), 0) << c.subject;
    char signer[256] = "";
    EXPECT_EQ(engine->VerifyData("data", 4, sign.data(), size, signer), c.status) << c.subject;
    if (c.status == 0) {
      EXPECT_STREQ(signer, c.uid) << c.subject;
    }
    engine->ClearCash();
  }
  TelvoraCertInfo info{};
  info.Issuer = "CN=Test CA\\, Root,O=Example";
  info.Subject = "OU=CN=alice+CN=mallory,O=Example";
  const std::string report = FormatCertProperties(info);
  EXPECT_EQ(report.substr(0, report.find("NotBefore=")),
            "ICN=Test CA\\, Root\r\nIO=Example\r\nOU=CN=alice\r\nCN=mallory\r\nO=Example\r\n");
}

TEST_F(Identification, ServerModeCountsOnlyCertificatesWithTheServerUsage) {
  sim.Add({.subject = "CN=Server,O=Example", .serial = "01", .store = TELVORA_STORE_OWN, .ekus = "1.3.6.1.5.5.7.3.1",
           .keyRef = "srv-key"});
  sim.Add({.subject = "CN=Other,O=Example", .serial = "02", .store = TELVORA_STORE_OWN, .ekus = "1.3.6.1.5.5.7.3.4",
           .keyRef = "other-key"});
  Engine engine;
  engine.Set(kParamClientServerMode, "server").Set(kParamServerCertEKUOID, "1.3.6.1.5.5.7.3.1");
  std::string uid;
  ASSERT_EQ(CurrentUID(engine, uid), 0);
  EXPECT_EQ(uid, "Server");
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 1u);
  EXPECT_EQ(finds[0].Pick("stores matchBy ekus"), R"(stores=1 matchBy=1024 ekus="1.3.6.1.5.5.7.3.1")");
}

TEST_F(Identification, ProviderStatusesPassThroughAndNothingLeaks) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  Engine engine;
  std::string uid;
  sim.SimSetFailure("VCERT_FindCert", 1234);
  EXPECT_EQ(CurrentUID(engine, uid), 1234);
  sim.SimSetFailure("VCERT_FindCert", 0);
  sim.SimSetFailure("VCERT_InitializeEx", 99);
  engine->ClearCash();
  EXPECT_EQ(CurrentUID(engine, uid), 99);
}

TEST_F(Identification, CertificateByUidInCnMode) {
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "0A:0B"});
  Engine engine;
  BindingRef binding = Binding(engine);
  const TelvoraInitParam p = engine.Params();
  int32_t length = 0;
  ASSERT_EQ(binding->GetCertificateByUID(p, "Peer", nullptr, length), 0);
  const std::vector<uint8_t> expected = sim.Encode(Cert{.subject = "CN=Peer,O=Example", .serial = "0A:0B"});
  EXPECT_EQ(length, static_cast<int32_t>(expected.size()));
  std::vector<uint8_t> buffer(static_cast<size_t>(length));
  ASSERT_EQ(binding->GetCertificateByUID(p, "Peer", buffer.data(), length), 0);
  EXPECT_EQ(buffer, expected);
  int32_t small = length - 1;
  EXPECT_EQ(binding->GetCertificateByUID(p, "Peer", buffer.data(), small), kNoMemory);
  EXPECT_EQ(small, length);
  EXPECT_EQ(binding->GetCertificateByUID(p, "Nobody", buffer.data(), small), kCertSelection);
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_FALSE(finds.empty());
  EXPECT_EQ(finds[0].Pick("stores matchBy subject fields"), R"(stores=2 matchBy=4 subject="CN=Peer" fields=0x10000)");
}

TEST_F(Identification, SerialSearchesUseTheUsersIssuer) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN,
           .issuer = "CN=Own CA,O=Example"});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "0A:1B:2C", .issuer = "CN=Own CA,O=Example"});
  Engine engine;
  engine.Set(kParamUIDLocation, "SN");
  BindingRef binding = Binding(engine);
  int32_t length = 0;
  ASSERT_EQ(binding->GetCertificateByUID(engine.Params(), "0A1B2C", nullptr, length), 0);
  EXPECT_GT(length, 0);
  EXPECT_EQ(binding->GetCertificateByUID(engine.Params(), "ABC", nullptr, length), kCertSelection);
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 4u);  // own issuer, search, own issuer, search
  EXPECT_EQ(finds[0].Pick("stores fields"), "stores=1 fields=0x2");
  EXPECT_EQ(finds[1].Pick("matchBy serial issuer"), R"(matchBy=3 serial="0A:1B:2C" issuer="CN=Own CA,O=Example")");
  // An odd-length UID goes to the provider as it is.
  EXPECT_EQ(finds[3]["serial"], R"("ABC")");
}

TEST_F(Identification, ServerModeSearchesOnBehalfOfTheServerKey) {
  sim.Add({.subject = "CN=Server,O=Example", .serial = "01", .store = TELVORA_STORE_OWN, .ekus = "1.3.6.1.5.5.7.3.1",
           .keyRef = "srv-key"});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "02"});
  Engine engine;
  engine.Set(kParamClientServerMode, "SERVER").Set(kParamServerCertEKUOID, "1.3.6.1.5.5.7.3.1");
  BindingRef binding = Binding(engine);
  int32_t length = 0;
  ASSERT_EQ(binding->GetCertificateByUID(engine.Params(), "Peer", nullptr, length), 0);
  auto finds = sim.RecordsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 2u);
  EXPECT_EQ(finds[0]["fields"], "0x8000");
  EXPECT_EQ(finds[1]["selector"], R"("srv-key")");

  Engine noServerCert;
  noServerCert.Set(kParamClientServerMode, "SERVER").Set(kParamServerCertEKUOID, "1.2.3.4");
  BindingRef other = Binding(noServerCert);
  EXPECT_EQ(other->GetCertificateByUID(noServerCert.Params(), "Peer", nullptr, length), kNoCurrentUser);
}

TEST_F(Identification, UidOfAnEncodedCertificate) {
  Engine engine;
  BindingRef binding = Binding(engine);
  const std::vector<uint8_t> bytes = sim.Encode(Cert{.subject = "CN=Peer,O=Example", .serial = "0A:0B"});
  std::string uid;
  ASSERT_EQ(binding->GetUIDFromCertificate(engine.Params(), bytes.data(), static_cast<int32_t>(bytes.size()), uid),
            0);
  EXPECT_EQ(uid, "Peer");
  TelvoraInitParam bySerial = engine.Params();
  bySerial.UIDLocation = "SN";
  ASSERT_EQ(binding->GetUIDFromCertificate(bySerial, bytes.data(), static_cast<int32_t>(bytes.size()), uid), 0);
  EXPECT_EQ(uid, "0A0B");
  const char garbage[] = "not a certificate";
  EXPECT_NE(binding->GetUIDFromCertificate(engine.Params(), garbage, sizeof garbage, uid), 0);
  EXPECT_EQ(uid, "");
}

// The certificate an identifier names must have its serial number and bear
// its issuer (written either way round), in both UID modes.
TEST_F(Identification, UidByIdentifier) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "0A:1B"});
  Engine engine;
  BindingRef binding = Binding(engine);
  TelvoraInitParam bySerial = engine.Params();
  bySerial.UIDLocation = "SN";
  const std::string issuer = "CN=Test CA,O=Example";
  std::string uid;
  ASSERT_EQ(binding->GetUIDByCertIdent(engine.Params(), issuer, "0A1B", uid), 0);
  EXPECT_EQ(uid, "Peer");
  ASSERT_EQ(binding->GetUIDByCertIdent(bySerial, "O=Example, CN=Test CA", "0A1B", uid), 0);
  EXPECT_EQ(uid, "0A1B");
  for (const TelvoraInitParam &p : {engine.Params(), bySerial}) {
    EXPECT_EQ(binding->GetUIDByCertIdent(p, issuer, "FFFF", uid), kCertSelection) << p.UIDLocation;
    EXPECT_EQ(binding->GetUIDByCertIdent(p, "CN=Other CA,O=Example", "0A1B", uid), kCertSelection) << p.UIDLocation;
  }
}

}  // namespace
}  // namespace crtelv::test
