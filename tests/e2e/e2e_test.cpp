// End to end: a host loads the built library by file name, resolves its
// exports at run time, and works with parties made by cpki1-tool (and the
// openssl command); the library finds the open provider in the root's EXE
// folder. One process, one set of parties (openssl_support.h).

#include <cstring>
#include <thread>

#include "cr_telv.h"
#include "openssl_support.h"
#include "test_latch.h"

namespace cpki1test {
namespace {

#define E2E_EXPORTS(X)                                                                                            \
  X(GetCryptObj) X(DoneEngine) X(SetRootPath) X(SetCryptoParamValue) X(GetCryptoErrorString) X(GetCurrentUserUID) \
  X(GetPublicKeyProperties) X(GetReport) X(GetPublicKeyTransfer) X(GetPublicKeyPropertiesByTransfer)               \
  X(GetPublicKeyPropertiesByFile) X(SavePublicKeyFromTransfer) X(IncludePublicKeyTransfer) X(IncludePublicKey)     \
  X(GetPublicKeyTransferByFile) X(SignData) X(VerifyData) X(AddSign) X(RemoveSign) X(EncodeData) X(DecodeData)    \
  X(HashData) X(IncludeCRL) X(ClearCash) X(RemoteGenerateStart) X(RemoteGenerateFinish) X(GetUIDByCertIdent)

struct Library {
  Library() {
    const World &w = W();
    // The provider where the library's search looks: the root's EXE folder.
    std::filesystem::path exe = w.dir + "root/EXE";
    std::filesystem::create_directories(exe);
    PlaceProvider(std::filesystem::canonical(CPKI1_LIBRARY), exe);
    handle = OpenModule(CRTELV_LIBRARY_FILE);
    if (handle == nullptr) return;
#define E2E_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(Symbol(handle, #name));
    E2E_EXPORTS(E2E_RESOLVE)
#undef E2E_RESOLVE
  }
  void *handle = nullptr;
#define E2E_FIELD(name) decltype(&::name) name = nullptr;
  E2E_EXPORTS(E2E_FIELD)
#undef E2E_FIELD
};

const Library &L() {
  static const Library *lib = new Library;
  if (lib->handle == nullptr || lib->RemoteGenerateFinish == nullptr) {
    ADD_FAILURE() << "cannot load " << CRTELV_LIBRARY_FILE;
    std::abort();
  }
  return *lib;
}

// An engine over <party>.pse and a certificate store of the run's folder,
// named through %ZPKRoot% (so upper-cased by the engine); extra parameters
// are (number, value) pairs.
class Engine {
 public:
  explicit Engine(const std::string &party, const std::string &store = "store.pem",
                  std::vector<std::pair<int32_t, std::string>> params = {})
      : e_(L().GetCryptObj(0)) {
    L().SetRootPath(e_, (W().dir + "root/").c_str());
    params.insert(params.begin(), {{2, "%ZPKRoot%..\\" + party + ".pse"}, {3, "%ZPKRoot%..\\" + store}});
    for (const auto &[index, value] : params) EXPECT_EQ(L().SetCryptoParamValue(e_, index, value.c_str()), 0);
  }
  ~Engine() { L().DoneEngine(e_); }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;
  operator CrTelvEngine() const { return e_; }
  // The library's text for a code, for failure messages.
  std::string Text(int32_t code) const {
    char text[300] = {0};
    L().GetCryptoErrorString(e_, code, text);
    return std::to_string(code) + " " + text;
  }

 private:
  CrTelvEngine e_;
};

#define EXPECT_OK(engine, call)        \
  do {                                 \
    const int32_t rc_ = (call);        \
    EXPECT_EQ(rc_, 0) << (engine).Text(rc_); \
  } while (0)
#define ASSERT_OK(engine, call)        \
  do {                                 \
    const int32_t rc_ = (call);        \
    ASSERT_EQ(rc_, 0) << (engine).Text(rc_); \
  } while (0)

const std::string kText = "Payment order 17\r\npay 100.00\n";
int32_t Len(const std::string &s) { return static_cast<int32_t>(s.size()); }

struct Signature {
  char data[2048];
  int32_t size = 0;
};

Signature Sign(const Engine &e, const std::string &text, const char *mode = nullptr) {
  Signature s;
  EXPECT_OK(e, L().SignData(e, text.data(), Len(text), s.data, &s.size, mode));
  return s;
}

// VerifyData with a request word in; the answer (or the word left) out.
int32_t Verify(const Engine &e, const std::string &text, const Signature &s, std::string &signer) {
  std::vector<char> buffer(4097, '\0');
  std::memcpy(buffer.data(), signer.c_str(), signer.size());
  int32_t rc = L().VerifyData(e, text.data(), Len(text), s.data, s.size, buffer.data());
  signer = buffer.data();
  return rc;
}

std::string Line(const std::string &report, const std::string &prefix) {
  std::size_t at = report.find("\r\n" + prefix);
  if (at == std::string::npos) return report.rfind(prefix, 0) == 0 ? report.substr(0, report.find("\r\n")) : "";
  at += 2;
  return report.substr(at, report.find("\r\n", at) - at);
}

std::string Quoted(const std::string &name) { return Quote(W().Path(name)); }

// Transfers between a party and a counterpart whose store does not yet hold
// its certificate; reports of the transfer, of the file saved from it, and of
// the store after it is included agree.
TEST(EndToEnd, PublicKeyTransfersCarryACertificateBetweenStores) {
  const World &w = W();
  Shell(Quote(w.tool) + " store --store " + Quoted("bob-own.pem") + " " + Quoted("ca/ca.cert.pem"));
  Engine alice("alice"), bob("bob", "bob-own.pem");
  char uid[256] = {0};
  ASSERT_OK(alice, L().GetCurrentUserUID(alice, uid));
  EXPECT_STREQ(uid, "alice");
  std::vector<char> transfer(12288), report(4097), stored(4097);
  ASSERT_OK(alice, L().GetPublicKeyTransfer(alice, "alice", transfer.data()));
  EXPECT_EQ(L().GetReport(bob, "alice", report.data()), CRTELV_E_CERT_SELECTION);

  ASSERT_OK(bob, L().GetPublicKeyPropertiesByTransfer(bob, transfer.data(), report.data()));
  std::string byTransfer = report.data();
  EXPECT_EQ(Line(byTransfer, "UID="), "UID=alice");
  EXPECT_EQ(Line(byTransfer, "CN="), "CN=alice");
  std::filesystem::create_directories(w.Path("inbox"));
  ASSERT_OK(bob, L().SavePublicKeyFromTransfer(bob, w.Path("inbox").c_str(), transfer.data()));
  EXPECT_EQ(ReadBytes(w.Path("inbox/alice.cer")), ReadBytes(w.Path("alice.der")));
  ASSERT_OK(bob, L().GetPublicKeyPropertiesByFile(bob, w.Path("inbox/alice.cer").c_str(), report.data()));
  EXPECT_EQ(std::string(report.data()), byTransfer);

  ASSERT_OK(bob, L().IncludePublicKeyTransfer(bob, transfer.data()));
  ASSERT_OK(bob, L().GetReport(bob, "alice", stored.data()));
  EXPECT_EQ(std::string(stored.data()), byTransfer);
  ASSERT_OK(alice, L().GetPublicKeyProperties(alice, "alice", stored.data()));
  EXPECT_EQ(std::string(stored.data()), byTransfer);

  // A damaged transfer is refused and changes nothing.
  transfer[100] = transfer[100] == 'A' ? 'B' : 'A';
  EXPECT_NE(L().IncludePublicKeyTransfer(bob, transfer.data()), 0);
}

// Signatures in both forms with each request word, signed envelopes,
// encryption for the counterpart and the three hash formats, checked against
// each other.
TEST(EndToEnd, SignsVerifiesWrapsEncryptsAndHashes) {
  Engine alice("alice"), bob("bob");
  Signature s = Sign(alice, kText);
  std::string signer;
  ASSERT_OK(bob, Verify(bob, kText, s, signer));
  EXPECT_EQ(signer, "alice");
  signer = "GetCertificateProperties_OnSuccess";
  ASSERT_OK(bob, Verify(bob, kText, s, signer));
  EXPECT_EQ(Line(signer, "CN="), "CN=alice");
  EXPECT_EQ(signer.find("UID="), std::string::npos);
  signer = "GetCertificate_OnSuccess";
  ASSERT_OK(bob, Verify(bob, kText, s, signer));
  EXPECT_EQ(signer.rfind("-----BEGIN CERTIFICATE-----", 0), 0u) << signer;
  signer = "ShowCertificate_OnSuccess";
#ifdef _WIN32
  SetVar("CPKI1_VIEWER", "findstr /b /c:-----BEGIN");
#else
  SetVar("CPKI1_VIEWER", "test -s");
#endif
  ASSERT_OK(bob, Verify(bob, kText, s, signer));
  EXPECT_EQ(signer, "alice");
  std::string changed = kText;
  changed[0] = 'p';
  signer = "GetCertificate_OnSuccess";
  EXPECT_EQ(Verify(bob, changed, s, signer), kBadSignature);
  EXPECT_EQ(signer, "GetCertificate_OnSuccess");

  // The bare signature for XML: 64 bytes, the signer named by serial number.
  std::vector<char> props(4097);
  ASSERT_OK(alice, L().GetPublicKeyProperties(alice, "alice", props.data()));
  std::string serial = Line(props.data(), "SN=").substr(3);
  Signature xml = Sign(alice, kText, "For sign XML data!");
  EXPECT_EQ(xml.size, 64);
  signer = serial;
  ASSERT_OK(bob, Verify(bob, kText, xml, signer));
  EXPECT_EQ(signer, "alice");
  signer = serial;
  EXPECT_NE(Verify(bob, changed, xml, signer), 0);

  // AddSign / RemoveSign.
  std::vector<char> buffer(kText.size() + 4096 + 2048);
  std::memcpy(buffer.data(), kText.data(), kText.size());
  int32_t size = Len(kText);
  ASSERT_OK(alice, L().AddSign(alice, buffer.data(), &size, 0));
  char from[256] = {0};
  ASSERT_OK(bob, L().RemoveSign(bob, buffer.data(), &size, from));
  EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(size)), kText);
  EXPECT_STREQ(from, "alice");

  // EncodeData for bob (and rita, an RSA party); only they open it.
  std::memcpy(buffer.data(), kText.data(), kText.size());
  size = Len(kText);
  ASSERT_OK(alice, L().EncodeData(alice, buffer.data(), &size, "bob;rita"));
  std::vector<char> sealed(buffer.begin(), buffer.begin() + size);
  int third = 0;
  for (const char *party : {"bob", "rita"}) {
    Engine reader(party);
    std::vector<char> copy = sealed;
    int32_t n = size;
    ASSERT_OK(reader, L().DecodeData(reader, copy.data(), &n, &third));
    EXPECT_EQ(std::string(copy.data(), static_cast<std::size_t>(n)), kText) << party;
  }
  int32_t n = size;
  EXPECT_EQ(L().DecodeData(alice, sealed.data(), &n, &third), kNotRecipient);

  // The three hash formats are one SHA-256.
  std::string hashes[3];
  for (int32_t format : {0, 1, 2}) {
    int32_t need = 0;
    ASSERT_OK(alice, L().HashData(alice, kText.data(), Len(kText), format, nullptr, &need));
    std::string out(static_cast<std::size_t>(need), '\0');
    ASSERT_OK(alice, L().HashData(alice, kText.data(), Len(kText), format, out.data(), &need));
    out.resize(static_cast<std::size_t>(need));
    hashes[format] = out;
  }
  ASSERT_EQ(hashes[0].size(), 32u);
  std::string hex;
  for (unsigned char c : hashes[0]) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  EXPECT_EQ(hashes[2].substr(0, 64), hex);
  EXPECT_EQ(hashes[1].substr(0, 44).size(), 44u);
  EXPECT_EQ(hashes[1][43], '=');
}

// A CRL that revokes a signer makes its verification fail; a renewed key,
// requested with RemoteGenerateStart and answered by the CA, signs at once.
TEST(EndToEnd, RevocationAndKeyRenewal) {
  const World &w = W();
  std::string store = " --store " + Quoted("store.pem");
  w.Issue("carol", "--usage both" + store);
  w.Issue("ren", "--usage both" + store);
  w.Issue("desk", "--usage both" + store);
  Engine bob("bob"), carol("carol"), ren("ren"), desk("desk");

  Signature s = Sign(carol, kText);
  std::string signer;
  ASSERT_OK(bob, Verify(bob, kText, s, signer));
  Shell(Quote(w.tool) + " revoke --ca " + Quoted("ca") + " --cert " + Quoted("carol.der") + " --crl " +
        Quoted("carol.crl"));
  ASSERT_OK(bob, L().IncludeCRL(bob, w.Path("carol.crl").c_str()));
  signer.clear();
  EXPECT_EQ(Verify(bob, kText, s, signer), kRevoked);
  EXPECT_EQ(L().IncludeCRL(bob, w.Path("missing.crl").c_str()), CRTELV_E_CRL_READ);

  std::vector<char> request(12288), answer(12288), report(4097);
  ASSERT_OK(ren, L().GetPublicKeyProperties(ren, "ren", report.data()));
  std::string oldSerial = Line(report.data(), "SN=");
  ASSERT_OK(ren, L().RemoteGenerateStart(ren, request.data()));
  std::filesystem::create_directories(w.Path("desk"));
  ASSERT_OK(desk, L().SavePublicKeyFromTransfer(desk, w.Path("desk").c_str(), request.data()));
  ASSERT_EQ(Shell(Quote(w.tool) + " answer --ca " + Quoted("ca") + " --request " + Quoted("desk/new.req") + " --out " +
                  Quoted("desk/ren-new.der")),
            0);
  ASSERT_OK(desk, L().GetPublicKeyTransferByFile(desk, answer.data(), w.Path("desk/ren-new.der").c_str()));
  // Only the answer signed by a trusted party is taken: a changed one is not.
  std::vector<char> damaged = answer;
  damaged[200] = damaged[200] == 'A' ? 'B' : 'A';
  EXPECT_NE(L().RemoteGenerateFinish(ren, damaged.data()), 0);
  ASSERT_OK(ren, L().RemoteGenerateFinish(ren, answer.data()));
  ASSERT_OK(ren, L().GetPublicKeyProperties(ren, "ren", report.data()));
  EXPECT_NE(Line(report.data(), "SN="), oldSerial);

  Signature renewed = Sign(ren, kText);
  signer = "GetCertificateProperties_OnSuccess";
  ASSERT_OK(bob, Verify(bob, kText, renewed, signer));
  EXPECT_EQ(Line(signer, "SN="), Line(report.data(), "SN="));
  std::vector<char> fromFile(4097);
  ASSERT_OK(bob, L().GetPublicKeyPropertiesByFile(bob, w.Path("desk/ren-new.der").c_str(), fromFile.data()));
  EXPECT_EQ(Line(fromFile.data(), "SN="), Line(report.data(), "SN="));
}

// Two engines of different configurations in one process, interleaved, with
// ClearCash between operations: each keeps its own.
TEST(EndToEnd, TwoConfigurationsInOneProcessWithClearCash) {
  Engine alice("alice");
  Engine strict("bob", "store.pem", {{11, "1.3.6.1.5.5.7.3.4"}, {13, "NOCRLUPDATE;CHECKEXPIRED"}});
  Engine plain("bob", "store.pem", {{12, "second"}});
  Signature s = Sign(alice, kText);
  for (int round = 0; round < 2; ++round) {
    std::string signer;
    EXPECT_EQ(Verify(strict, kText, s, signer), CRTELV_E_SIGNER_EKU) << round;
    L().ClearCash(strict);
    signer.clear();
    EXPECT_OK(plain, Verify(plain, kText, s, signer));
    EXPECT_EQ(signer, "alice");
    L().ClearCash(plain);
  }
  // A signer without extended key usages passes the strict one.
  Signature fromRita = Sign(Engine("rita"), kText);
  std::string signer;
  EXPECT_OK(strict, Verify(strict, kText, fromRita, signer));
  EXPECT_EQ(signer, "rita");
}

// Server mode: the server's key is the one whose certificate has the
// configured EKU; several threads sign and verify at once on one engine.
TEST(EndToEnd, ServerModeFindsItsCertificateByEkuAndServesThreads) {
  const World &w = W();
  Engine wrong("alice", "store.pem", {{8, "server"}, {9, "1.3.6.1.5.5.7.3.1"}});
  Signature none;
  EXPECT_NE(L().SignData(wrong, kText.data(), Len(kText), none.data, &none.size, nullptr), 0);

  Engine server("alice", "store.pem", {{8, "SERVER"}, {9, "1.3.6.1.5.5.7.3.2"}});
  Engine bob("bob");
  constexpr int kThreads = 4, kRounds = 5;
  crtelv::test::Latch start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r) {
        std::string text = kText + std::to_string(t) + "/" + std::to_string(r);
        Signature s;
        if (L().SignData(server, text.data(), Len(text), s.data, &s.size, nullptr) != 0) {
          ++failures[static_cast<std::size_t>(t)];
          continue;
        }
        std::string signer;
        if (Verify(server, text, s, signer) != 0 || signer != "alice") ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  Signature s;
  ASSERT_OK(server, L().SignData(server, kText.data(), Len(kText), s.data, &s.size, nullptr));
  std::string signer;
  EXPECT_OK(bob, Verify(bob, kText, s, signer));
  (void)w;
}

// The exports' output and the openssl command understand each other.
TEST(EndToEnd, InteroperatesWithTheOpensslCommand) {
  const World &w = W();
  Engine alice("alice"), bob("bob");
  Signature s = Sign(alice, kText);
  WriteBytes(w.Path("order.txt"), Bytes(kText.begin(), kText.end()));
  WriteBytes(w.Path("order.p7s"), Bytes(s.data, s.data + s.size));
  EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + Quoted("order.p7s") + " -content " +
                  Quoted("order.txt") + " -CAfile " + Quoted("ca/ca.cert.pem") + " -purpose any -out /dev/null"),
            0);

  ASSERT_EQ(Shell("openssl cms -encrypt -binary -aes256 -outform DER -in " + Quoted("order.txt") + " -out " +
                  Quoted("order.p7e") + " " + Quoted("bob.der")),
            0);
  Bytes sealed = ReadBytes(w.Path("order.p7e"));
  int32_t size = static_cast<int32_t>(sealed.size());
  int third = 0;
  ASSERT_OK(bob, L().DecodeData(bob, sealed.data(), &size, &third));
  EXPECT_EQ(std::string(sealed.begin(), sealed.begin() + size), kText);

  // A certificate made by openssl req / openssl x509, included as DER and as
  // PEM, and reported from either file with the fields openssl gave it.
  std::string ext = "keyUsage=critical,digitalSignature,keyEncipherment\n";
  WriteBytes(w.Path("erin.ext"), Bytes(ext.begin(), ext.end()));
  ASSERT_EQ(Shell("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + Quoted("erin.key") +
                  " -subj '/C=RU/O=Interop/CN=erin' -out " + Quoted("erin.csr") +
                  " && openssl x509 -req -in " + Quoted("erin.csr") + " -CA " + Quoted("ca/ca.cert.pem") + " -CAkey " +
                  Quoted("ca/ca.key.pem") + " -set_serial 0x0E1F2A -days 10 -extfile " + Quoted("erin.ext") +
                  " -outform DER -out " + Quoted("erin.der") + " && openssl x509 -inform DER -in " +
                  Quoted("erin.der") + " -out " + Quoted("erin.pem")),
            0);
  std::vector<char> der(4097), stored(4097);
  ASSERT_OK(bob, L().GetPublicKeyPropertiesByFile(bob, w.Path("erin.der").c_str(), der.data()));
  EXPECT_EQ(std::string(der.data()),
            "UID=erin\r\nICN=Test CA\r\nIO=Example\r\nIC=RU\r\nSN=0E1F2A\r\nCN=erin\r\nO=Interop\r\nC=RU\r\n"
            "PKeyAlg=EC P-256\r\n" +
                Line(der.data(), "NotBefore=") + "\r\n" + Line(der.data(), "NotAfter=") +
                "\r\nSecNotBefore=01-01-70 00:00:00\r\nSecNotAfter=01-01-70 00:00:00\r\n"
                "SKU=DigitalSignature;KeyEncipherment(A0)\r\n");
  // Into two stores of their own: one from the PEM file, one from the DER.
  for (const char *form : {"pem", "der"}) {
    std::string store = std::string("erin-") + form + ".pem";
    Shell(Quote(w.tool) + " store --store " + Quoted(store) + " " + Quoted("ca/ca.cert.pem"));
    Engine reader("bob", store);
    EXPECT_EQ(L().GetReport(reader, "erin", stored.data()), CRTELV_E_CERT_SELECTION);
    ASSERT_OK(reader, L().IncludePublicKey(reader, w.Path(std::string("erin.") + form).c_str()));
    ASSERT_OK(reader, L().GetReport(reader, "erin", stored.data()));
    EXPECT_STREQ(stored.data(), der.data()) << form;
  }
}

// A party issued under a subject of the caller's choosing, into store.pem.
void IssueSubject(const std::string &name, const std::string &subject) {
  ASSERT_EQ(Shell(Quote(W().tool) + " issue --ca " + Quoted("ca") + " --subject " + Quote(subject) +
                  " --usage both --pse " + Quoted(name + ".pse") + " --cert " + Quoted(name + ".der") +
                  " --key-out " + Quoted(name + ".key") + " --store " + Quoted("store.pem")),
            0);
}

// A CN with a control byte in it names nobody: its holder has no UID, its
// signatures name no signer, and its report shows the name escaped, so that
// the first "SN=" line is still the serial number.
TEST(EndToEnd, ACommonNameWithAControlByteNamesNobody) {
  IssueSubject("mallory", "CN=mallory\r\nSN=DEADBEEF,O=Example,C=RU");
  Engine mallory("mallory"), bob("bob");
  char uid[256] = {0};
  EXPECT_EQ(L().GetCurrentUserUID(mallory, uid), CRTELV_E_CERT_SELECTION);
  const Signature forged = Sign(mallory, kText);
  std::string signer;
  EXPECT_EQ(Verify(bob, kText, forged, signer), CRTELV_E_CERT_SELECTION);
  std::vector<char> report(4097);
  ASSERT_OK(bob, L().GetPublicKeyPropertiesByFile(bob, W().Path("mallory.der").c_str(), report.data()));
  const std::string text = report.data();
  EXPECT_EQ(text.rfind("UID=\r\n", 0), 0u) << text;
  EXPECT_NE(Line(text, "SN="), "SN=DEADBEEF") << text;
  EXPECT_EQ(Line(text, "CN="), "CN=mallory\\0D\\0ASN=DEADBEEF") << text;
  // A plain name still names its holder.
  signer.clear();
  ASSERT_OK(bob, Verify(bob, kText, Sign(Engine("alice"), kText), signer));
  EXPECT_EQ(signer, "alice");
}

// An empty UID, alone or as an item of a recipient list, names no
// certificate: not the one without a CN that a filter "CN=" would find.
TEST(EndToEnd, AnEmptyUidNamesNoCertificate) {
  IssueSubject("nocn", "O=Nobody,C=RU");
  Engine alice("alice");
  Engine byParam("alice", "store.pem", {{5, "bob;"}});
  std::vector<char> buffer(kText.size() + 4096);
  int32_t size = 0;
  const auto encode = [&](const Engine &e, const char *recipients) {
    std::memcpy(buffer.data(), kText.data(), kText.size());
    size = Len(kText);
    return L().EncodeData(e, buffer.data(), &size, recipients);
  };
  for (const char *list : {"bob;", ";", ";bob"}) EXPECT_EQ(encode(alice, list), CRTELV_E_CERT_SELECTION) << list;
  EXPECT_EQ(encode(byParam, ""), CRTELV_E_CERT_SELECTION);
  std::vector<char> report(4097);
  EXPECT_EQ(L().GetReport(alice, "", report.data()), CRTELV_E_CERT_SELECTION);
  // The named recipient alone: sealed for bob, whom nocn is not.
  ASSERT_OK(alice, encode(alice, "bob"));
  Engine nocn("nocn");
  int third = 0;
  EXPECT_EQ(L().DecodeData(nocn, buffer.data(), &size, &third), kNotRecipient);
}

// A certificate identifier names the certificate of its serial number only
// when that certificate bears its issuer; in "SN" mode the serial number is
// looked up too.
TEST(EndToEnd, ACertificateIdentifierNeedsTheCertificatesIssuer) {
  Engine alice("alice");
  Engine bySerial("alice", "store.pem", {{10, "SN"}});
  std::vector<char> report(4097);
  ASSERT_OK(alice, L().GetPublicKeyProperties(alice, "bob", report.data()));
  const std::string serial = Line(report.data(), "SN=").substr(3);
  const auto ident = [](const std::string &issuer, const std::string &number) {
    return "SSL CERTIFICATE IDENTIFICATOR:\r\nCERT_ISSUER:" + issuer + "\r\nCERT_SERIALNUMBER:" + number + "\r\n";
  };
  const std::string issuer = "CN=Test CA,O=Example,C=RU";
  char uid[256] = {0};
  ASSERT_OK(alice, L().GetUIDByCertIdent(alice, ident(issuer, serial).c_str(), uid));
  EXPECT_STREQ(uid, "bob");
  ASSERT_OK(bySerial, L().GetUIDByCertIdent(bySerial, ident("C=RU, O=Example, CN=Test CA", serial).c_str(), uid));
  EXPECT_EQ(uid, serial);
  for (const Engine *e : {&alice, &bySerial}) {
    EXPECT_EQ(L().GetUIDByCertIdent(*e, ident("CN=Evil Root", serial).c_str(), uid), CRTELV_E_CERT_SELECTION);
    EXPECT_EQ(L().GetUIDByCertIdent(*e, ident(issuer, "0BADC0DE").c_str(), uid), CRTELV_E_CERT_SELECTION);
  }
}

}  // namespace
}  // namespace cpki1test
