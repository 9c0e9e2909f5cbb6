// Sessions, certificate search, parsing, store additions and what the
// provider double records of them.
#include <cstdio>
#include <unistd.h>

#include <cstdlib>

#include "sim_support.h"

namespace simtest {
namespace {

TEST(SimSessions, OpenCloseAndRecord) {
  Provider sim("complete");
  ASSERT_NE(sim.handle, nullptr);
  sim.SimReset();
  TelvoraSession a = 0, b = 0;
  ASSERT_EQ(sim.VCERT_Initialize("PROFILE", 5, &a), 0);
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  rec.Flags = 3;
  rec.PSEUrl = "pse://signed/A.PSE";
  rec.LdapUrl = "ldap://host";
  ASSERT_EQ(sim.VCERT_InitializeEx(1, &rec, &b), 0);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(sim.SimOpenSessions(), 2);

  TelvoraBlob hash{};
  const TelvoraBlob data = Blob("x");
  EXPECT_EQ(sim.VCERT_Uninitialize(a), 0);
  EXPECT_EQ(sim.VCERT_Uninitialize(a), SIM_E_BAD_SESSION);
  EXPECT_EQ(sim.VCERT_HashMem(a, &data, &hash), SIM_E_BAD_SESSION);
  EXPECT_EQ(sim.VCERT_HashMem(0, &data, &hash), SIM_E_BAD_SESSION);
  EXPECT_EQ(hash.Data, nullptr);
  EXPECT_EQ(sim.SimOpenSessions(), 1);

  // The record must carry its own size.
  TelvoraSession c = 0;
  rec.Size = 20 + static_cast<int32_t>(sizeof rec);
  EXPECT_EQ(sim.VCERT_InitializeEx(1, &rec, &c), SIM_E_BAD_ARGUMENT);
  EXPECT_EQ(c, 0u);

  auto calls = sim.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "VCERT_Initialize profile=\"PROFILE\" flags=5");
  EXPECT_EQ(calls[1], "VCERT_InitializeEx version=1 size=" + std::to_string(sizeof rec) +
                          " flags=3 pse=\"pse://signed/A.PSE\" store=none ldap=\"ldap://host\"");
  EXPECT_EQ(calls[2], "VCERT_Uninitialize session=" + std::to_string(a));

  // Session numbers are not handed out twice, also not after a reset.
  sim.SimReset();
  EXPECT_EQ(sim.SimOpenSessions(), 0);
  TelvoraSession d = 0;
  ASSERT_EQ(sim.VCERT_Initialize("P", 0, &d), 0);
  EXPECT_GT(d, b);
  sim.VCERT_Uninitialize(d);
}

TEST(SimSessions, ErrorTextIsBoundedByTheBuffer) {
  Provider sim("complete");
  ASSERT_NE(sim.handle, nullptr);
  sim.SimReset();
  char buffer[64];
  ASSERT_EQ(sim.VCERT_GetErrorText(-7, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "sim status -7");
  char tiny[5] = {'x', 'x', 'x', 'x', 'x'};
  ASSERT_EQ(sim.VCERT_GetErrorText(1234, tiny, 4), 0);
  EXPECT_STREQ(tiny, "sim");
  EXPECT_EQ(tiny[4], 'x');
  EXPECT_NE(sim.VCERT_GetErrorText(1, nullptr, 10), 0);
  EXPECT_EQ(sim.Calls()[1], "VCERT_GetErrorText code=1234 size=4");
}

class SimFind : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    SimCert own = Cert{.subject = "CN=User1,O=Example", .serial = "0A:1B:2C", .store = TELVORA_STORE_OWN,
                       .ekus = "1.3.6.1.5.5.7.3.4", .keyRef = "k-user1", .keyUsage = 0x0C,
                       .privateNotBefore = 1700000100};
    ASSERT_EQ(sim.SimAddCert(&own), 0);
    SimCert server = Cert{.subject = "O=Example, CN=Server", .serial = "01", .store = TELVORA_STORE_OWN,
                          .ekus = "1.3.6.1.5.5.7.3.1;1.3.6.1.5.5.7.3.2", .keyRef = "k-srv"};
    ASSERT_EQ(sim.SimAddCert(&server), 1);
    SimCert peer = Cert{.subject = "CN=Peer,O=Example", .serial = "0A:1B"};
    ASSERT_EQ(sim.SimAddCert(&peer), 2);
    SimCert far = Cert{.subject = "CN=Far,O=Elsewhere", .serial = "FF", .store = TELVORA_STORE_WIDE,
                       .issuer = "CN=Other CA"};
    ASSERT_EQ(sim.SimAddCert(&far), 3);
  }
};

TEST_F(SimFind, StoresSelectAndNoMatchTakesAll) {
  EXPECT_EQ(Subjects(TELVORA_STORE_OWN, 0),
            (std::vector<std::string>{"CN=User1,O=Example", "O=Example, CN=Server"}));
  EXPECT_EQ(Subjects(TELVORA_STORE_OTHERS, 0), (std::vector<std::string>{"CN=Peer,O=Example"}));
  EXPECT_EQ(Subjects(TELVORA_STORE_OTHERS | TELVORA_STORE_WIDE, 0),
            (std::vector<std::string>{"CN=Peer,O=Example", "CN=Far,O=Elsewhere"}));
  EXPECT_TRUE(Subjects(0, 0).empty());
}

TEST_F(SimFind, IssuerAndSerialMatchExactlyWithTheExtraZeroByte) {
  const char serial[] = "0A:1B\0";
  EXPECT_EQ(Subjects(TELVORA_STORE_OTHERS, TELVORA_MATCH_ISSUER_SERIAL, nullptr, serial, "CN=Test CA,O=Example"),
            (std::vector<std::string>{"CN=Peer,O=Example"}));
  EXPECT_TRUE(Subjects(TELVORA_STORE_OTHERS, 3, nullptr, "0A:1B", "CN=Other CA").empty());
  EXPECT_TRUE(Subjects(TELVORA_STORE_OTHERS, 3, nullptr, "0a:1b", "CN=Test CA,O=Example").empty());
  EXPECT_TRUE(Subjects(TELVORA_STORE_OTHERS, 3, nullptr, "0A:1B").empty()) << "no issuer given";
}

TEST_F(SimFind, SubjectFilterComparesTheCommonName) {
  const char filter[] = "CN=Server\0";
  EXPECT_EQ(Subjects(TELVORA_STORE_OWN, TELVORA_MATCH_SUBJECT, filter),
            (std::vector<std::string>{"O=Example, CN=Server"}));
  EXPECT_EQ(Subjects(TELVORA_STORE_OWN, 4, "CN=User1"), (std::vector<std::string>{"CN=User1,O=Example"}));
  EXPECT_TRUE(Subjects(TELVORA_STORE_OWN, 4, "CN=User").empty());
  EXPECT_TRUE(Subjects(TELVORA_STORE_OTHERS, 4, "CN=User1").empty());
}

TEST_F(SimFind, EkuListNeedsEveryOid) {
  auto byEkus = [&](std::vector<const char *> oids) {
    TelvoraFindCriteria c{};
    c.Stores = TELVORA_STORE_OWN;
    c.MatchBy = TELVORA_MATCH_EKU;
    c.EKUCount = static_cast<int32_t>(oids.size());
    c.EKUList = oids.data();
    TelvoraFindResult r{};
    EXPECT_EQ(sim.VCERT_FindCert(session, &c, &r), 0);
    std::vector<std::string> keyRefs;
    for (int32_t i = 0; i < r.Count; ++i) keyRefs.emplace_back(r.Certs[i].KeyReference);
    sim.VCERT_FreeFindResult(session, &r);
    return keyRefs;
  };
  EXPECT_EQ(byEkus({"1.3.6.1.5.5.7.3.1"}), (std::vector<std::string>{"k-srv"}));
  EXPECT_EQ(byEkus({"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.1"}), (std::vector<std::string>{"k-srv"}));
  EXPECT_TRUE(byEkus({"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.4"}).empty());
  EXPECT_EQ(byEkus({}).size(), 2u);
  EXPECT_EQ(sim.LastCall().substr(0, 14), "VCERT_FreeFind");
}

TEST_F(SimFind, RecordsCarryEveryFieldAndParseBack) {
  TelvoraFindResult r = Find(TELVORA_STORE_OWN, 4, "CN=User1");
  ASSERT_EQ(r.Count, 1);
  const TelvoraCertInfo &c = r.Certs[0];
  EXPECT_STREQ(c.Issuer, "CN=Test CA,O=Example");
  EXPECT_STREQ(c.SerialNumber, "0A:1B:2C");
  EXPECT_STREQ(c.Subject, "CN=User1,O=Example");
  EXPECT_STREQ(c.PublicKeyAlgorithm, "SimKey");
  EXPECT_STREQ(c.KeyReference, "k-user1");
  EXPECT_EQ(c.NotBefore, 1700000000u);
  EXPECT_EQ(c.NotAfter, 1900000000u);
  EXPECT_EQ(c.PrivateKeyNotBefore, 1700000100u);
  EXPECT_EQ(c.KeyUsage, 0x0C);
  ASSERT_EQ(c.ExtKeyUsageCount, 1);
  EXPECT_STREQ(c.ExtKeyUsage[0], "1.3.6.1.5.5.7.3.4");
  ASSERT_GT(c.Encoded.Length, 0);

  // The encoding is the sim's own one for that certificate ...
  SimCert same = Cert{.subject = "CN=User1,O=Example", .serial = "0A:1B:2C", .store = TELVORA_STORE_OWN,
                      .ekus = "1.3.6.1.5.5.7.3.4", .keyRef = "k-user1", .keyUsage = 0x0C,
                      .privateNotBefore = 1700000100};
  std::vector<uint8_t> made(static_cast<size_t>(sim.SimEncodeCert(&same, nullptr, 0)));
  sim.SimEncodeCert(&same, made.data(), static_cast<int32_t>(made.size()));
  EXPECT_EQ(made, std::vector<uint8_t>(c.Encoded.Data, c.Encoded.Data + c.Encoded.Length));

  // ... and parses back into the same certificate, also once forgotten.
  std::vector<uint8_t> bytes(c.Encoded.Data, c.Encoded.Data + c.Encoded.Length);
  ASSERT_EQ(sim.VCERT_FreeFindResult(session, &r), 0);
  EXPECT_EQ(r.Certs, nullptr);
  sim.SimReset();
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  ASSERT_EQ(sim.VCERT_InitializeEx(1, &rec, &session), 0);
  TelvoraBlob blob = Blob(bytes.data(), bytes.size());
  TelvoraCertInfo info{};
  ASSERT_EQ(sim.VCERT_ParseCert(session, &blob, 5, &info), 0);
  EXPECT_STREQ(info.Subject, "CN=User1,O=Example");
  EXPECT_STREQ(info.KeyReference, "k-user1");
  EXPECT_EQ(info.PrivateKeyNotBefore, 1700000100u);
  ASSERT_EQ(info.ExtKeyUsageCount, 1);
  EXPECT_EQ(std::vector<uint8_t>(info.Encoded.Data, info.Encoded.Data + info.Encoded.Length), bytes);
  EXPECT_EQ(sim.LastCall(), "VCERT_ParseCert session=" + std::to_string(session) + " length=" +
                                std::to_string(bytes.size()) + " fields=0x5");
  EXPECT_EQ(sim.VCERT_FreeCert(session, &info), 0);
  EXPECT_EQ(info.Subject, nullptr);
}

TEST_F(SimFind, GivenEncodingsIdentifyTheirCertificateAndGarbageIsRefused) {
  const uint8_t custom[] = {0x30, 0x82, 0x01, 0x02, 0x03};
  SimCert c = Cert{.subject = "CN=Given,O=Example", .serial = "77"};
  c.Encoded = custom;
  c.EncodedLength = sizeof custom;
  sim.SimAddCert(&c);
  TelvoraBlob blob = Blob(custom, sizeof custom);
  TelvoraCertInfo info{};
  ASSERT_EQ(sim.VCERT_ParseCert(session, &blob, TELVORA_FIELD_ALL, &info), 0);
  EXPECT_STREQ(info.SerialNumber, "77");
  EXPECT_EQ(info.Encoded.Length, static_cast<int32_t>(sizeof custom));
  sim.VCERT_FreeCert(session, &info);

  const std::string garbage = "not a certificate";
  TelvoraBlob bad = Blob(garbage);
  EXPECT_EQ(sim.VCERT_ParseCert(session, &bad, TELVORA_FIELD_ALL, &info), SIM_E_BAD_ENCODING);
  EXPECT_EQ(info.Subject, nullptr);
  // A made-up encoding cut short is no certificate either.
  TelvoraFindResult r = Find(TELVORA_STORE_OTHERS, 4, "CN=Peer");
  ASSERT_EQ(r.Count, 1);
  TelvoraBlob cut{r.Certs[0].Encoded.Length - 1, r.Certs[0].Encoded.Data};
  EXPECT_EQ(sim.VCERT_ParseCert(session, &cut, TELVORA_FIELD_ALL, &info), SIM_E_BAD_ENCODING);
  sim.VCERT_FreeFindResult(session, &r);
}

TEST_F(SimFind, CallLineNamesTheCriteria) {
  AuthRecord auth{1, "k-srv", 0};
  const char *ekus[] = {"1.2.3", "4.5"};
  TelvoraFindCriteria c{};
  c.Stores = 10;
  c.Selector = &auth;
  c.MatchBy = 3;
  c.Issuer = "CN=Test CA,O=Example";
  c.Serial = "0A:1B";
  c.EKUCount = 2;
  c.EKUList = ekus;
  c.Fields = 0x10000;
  TelvoraFindResult r{};
  ASSERT_EQ(sim.VCERT_FindCert(session, &c, &r), 0);
  EXPECT_EQ(sim.LastCall(), "VCERT_FindCert session=" + std::to_string(session) +
                                " stores=10 matchBy=3 issuer=\"CN=Test CA,O=Example\" serial=\"0A:1B\" subject=none"
                                " ekus=\"1.2.3;4.5\" fields=0x10000 selector=\"k-srv\"");
  sim.VCERT_FreeFindResult(session, &r);
  EXPECT_TRUE(Has(sim.LastCall(), "VCERT_FreeFindResult session=" + std::to_string(session) + " kind=find count=1"));

  c.MatchBy = 8;  // no such condition
  EXPECT_EQ(sim.VCERT_FindCert(session, &c, &r), SIM_E_BAD_ARGUMENT);
  EXPECT_EQ(r.Certs, nullptr);
}

TEST_F(SimFind, AddedCertificatesJoinTheOthersStore) {
  SimCert fresh = Cert{.subject = "CN=New,O=Example", .serial = "99", .store = TELVORA_STORE_OWN};
  std::vector<uint8_t> bytes(static_cast<size_t>(sim.SimEncodeCert(&fresh, nullptr, 0)));
  sim.SimEncodeCert(&fresh, bytes.data(), static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(sim.SimEncodeCert(nullptr, nullptr, 0), -1);
  TelvoraAddParams p{};
  TelvoraBlob blob = Blob(bytes.data(), bytes.size());
  ASSERT_EQ(sim.VCERT_AddCertificate(session, &p, &blob), 0);
  ASSERT_EQ(sim.VCERT_AddCertificate(session, &p, &blob), 0);
  EXPECT_EQ(Subjects(TELVORA_STORE_OTHERS, 4, "CN=New"), (std::vector<std::string>{"CN=New,O=Example"}));

  const std::string pem = "-----BEGIN CERTIFICATE-----\r\nU0lN\r\n-----END CERTIFICATE-----";
  TelvoraBlob text = Blob(pem);
  EXPECT_EQ(sim.VCERT_AddCertificate(session, &p, &text), SIM_E_BAD_ENCODING);

  const std::string crl = std::string(SIM_CRL_MAGIC) + "-revoked-99";
  TelvoraBlob crlBlob = Blob(crl);
  EXPECT_EQ(sim.VCERT_AddCRL(session, &p, &crlBlob), 0);
  EXPECT_EQ(sim.VCERT_AddCRL(session, &p, &text), SIM_E_BAD_ENCODING);
  EXPECT_EQ(sim.LastCall(), "VCERT_AddCRL session=" + std::to_string(session) + " flags=0 selector=none length=" +
                                std::to_string(pem.size()));
}

TEST_F(SimFind, ImportAndExport) {
  TelvoraExportParams p{20, nullptr};
  TelvoraBlob out{};
  ASSERT_EQ(sim.VCERT_ExportMem(session, &p, &out), 0);
  EXPECT_EQ(Text(out), "SIMREQ kind=20 n=1");
  Free(out);

  SimCert issued = Cert{.subject = "CN=Issued,O=Example", .serial = "42", .keyRef = "k-new"};
  std::vector<uint8_t> bytes(static_cast<size_t>(sim.SimEncodeCert(&issued, nullptr, 0)));
  sim.SimEncodeCert(&issued, bytes.data(), static_cast<int32_t>(bytes.size()));
  TelvoraExportParams answer{8, nullptr};
  TelvoraBlob blob = Blob(bytes.data(), bytes.size());
  ASSERT_EQ(sim.VCERT_ImportMem(session, &answer, &blob), 0);
  EXPECT_EQ(Subjects(TELVORA_STORE_OWN, 4, "CN=Issued"), (std::vector<std::string>{"CN=Issued,O=Example"}));
  const std::string junk = "junk";
  TelvoraBlob junkBlob = Blob(junk);
  EXPECT_EQ(sim.VCERT_ImportMem(session, &answer, &junkBlob), SIM_E_BAD_ENCODING);

  TelvoraExportParams pse{16, nullptr};
  EXPECT_EQ(sim.VCERT_ImportFile(session, &pse, "/nonexistent/dir/x.pse"), SIM_E_NO_FILE);
  EXPECT_EQ(sim.LastCall(), "VCERT_ImportFile session=" + std::to_string(session) +
                                " kind=16 auth=none file=\"/nonexistent/dir/x.pse\"");
  char name[] = "/tmp/sim_import_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "opaque key store", 16), 16);
  close(fd);
  EXPECT_EQ(sim.VCERT_ImportFile(session, &pse, name), 0);
  std::remove(name);
}

TEST_F(SimFind, UnusedEntryPointsAreRecordedAndRefused) {
  EXPECT_EQ(sim.VCERT_Match(), SIM_E_NOT_IMPLEMENTED);
  EXPECT_EQ(sim.VCERT_ExportFile(), SIM_E_NOT_IMPLEMENTED);
  EXPECT_EQ(sim.LastCall(), "VCERT_ExportFile");
  TelvoraBlob blob = Blob("x");
  EXPECT_EQ(sim.VCERT_ShowCertificate(session, &blob), 0);
}

}  // namespace
}  // namespace simtest
