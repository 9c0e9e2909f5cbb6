// The open provider's trust decisions against hostile input made with the
// openssl command: forged CA certificates and CRLs, key stores without a MAC,
// weak algorithms, tampered encrypted messages, CA keys as signers, and a
// signer under an intermediate CA.
#include <openssl/cms.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>

#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int32_t kKeyStoreUnreadable = S(0xE0720106u),
                  kViewerFailed = S(0xE072011Au), kWeakAlgorithm = S(0xE0720125u), kCrlFromFuture = S(0xE0720126u),
                  kCaNotAnchored = S(0xE0720127u), kNoUsableCrl = S(0xE0720128u), kCaSigner = S(0xE0720129u),
                  kCrlScoped = S(0xE0720140u), kCrlIssuerUsage = S(0xE0720141u),
                  kCrlCriticalExtension = S(0xE0720142u);

std::string Store() { return W().Path("store.pem"); }
std::string Root() { return "ca/ca.cert.pem"; }
std::string RootKey() { return "ca/ca.key.pem"; }

const char kCaExt[] =
    "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";
const char kLeafExt[] =
    "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n"
    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";

// A certificate made by openssl req and openssl x509: <name>.key, <name>.pem,
// <name>.der. newKey: the -newkey argument ("ec -pkeyopt ..." or "rsa:1024").
void OpensslIssue(const std::string &name, const std::string &subject, const std::string &newKey,
                  const std::string &caCert, const std::string &caKey, const char *ext, const std::string &md = "sha256") {
  static int serial = 0x5000;
  WriteBytes(W().Path(name + ".ext"), Bytes(ext, ext + std::strlen(ext)));
  ASSERT_EQ(Shell("openssl req -new -newkey " + newKey + " -nodes -keyout " + F(name + ".key") + " -subj " +
                  Quote(subject) + " -out " + F(name + ".csr") + " && openssl x509 -req -in " + F(name + ".csr") +
                  " -CA " + F(caCert) + " -CAkey " + F(caKey) + " -set_serial " + std::to_string(++serial) +
                  " -days 30 -" + md + " -extfile " + F(name + ".ext") + " -out " + F(name + ".pem") +
                  " && openssl x509 -in " + F(name + ".pem") + " -outform DER -out " + F(name + ".der")),
            0);
}

const std::string kP256 = "ec -pkeyopt ec_paramgen_curve:P-256";

// A CRL made by openssl ca -gencrl in its own folder, listing the given
// certificates (PEM), with the given CRL number and, when given, lastUpdate
// (YYMMDDHHMMSSZ), CRL extensions (lines of a configuration section, further
// sections after them) and digest. DER.
Bytes OpensslCrl(const std::string &name, const std::string &caCert, const std::string &caKey,
                 const std::vector<std::string> &revoked, const std::string &number,
                 const std::string &lastUpdate = "", const std::string &extensions = "",
                 const std::string &md = "sha256") {
  const std::string dir = name + ".ca/";
  std::filesystem::create_directories(W().Path(dir));
  std::string cnf = "[ca]\ndefault_ca=x\n[x]\ndatabase=index.txt\ncrlnumber=crlnumber\ndefault_md=" + md +
                    "\ndefault_crl_days=30\n";
  if (!extensions.empty()) cnf += "crl_extensions=exts\n[exts]\n" + extensions;
  WriteBytes(W().Path(dir + "x.cnf"), Bytes(cnf.begin(), cnf.end()));
  WriteBytes(W().Path(dir + "index.txt"), Bytes());
  WriteBytes(W().Path(dir + "crlnumber"), Bytes(number.begin(), number.end()));
  std::string ca = "openssl ca -config x.cnf -keyfile " + F(caKey) + " -cert " + F(caCert);
  std::string line = "cd " + F(dir);
  for (const auto &cert : revoked) line += " && " + ca + " -revoke " + F(cert);
  line += " && " + ca + " -gencrl" + (lastUpdate.empty() ? "" : " -crl_lastupdate " + lastUpdate) +
          " -out crl.pem && openssl crl -in crl.pem -outform DER -out " + F(name + ".crl");
  EXPECT_EQ(Shell(line), 0);
  return ReadBytes(W().Path(name + ".crl"));
}

// The parties of these tests, made once: an intermediate CA under the test
// CA, a signer under it (key store ivan.pse), a PEM copy of rev's
// certificate, and a forger's own root with a CA named like the test CA.
void Parties() {
  static bool made = false;
  if (made) return;
  made = true;
  OpensslIssue("inter", "/C=RU/O=Example/CN=Intermediate CA", kP256, Root(), RootKey(), kCaExt);
  OpensslIssue("ivan", "/C=RU/O=Example/CN=ivan", kP256, "inter.pem", "inter.key", kLeafExt);
  ASSERT_EQ(Shell("openssl pkcs12 -export -inkey " + F("ivan.key") + " -in " + F("ivan.pem") + " -certfile " +
                  F("inter.pem") + " -passout pass: -out " + F("ivan.p12")),
            0);
  Session s(W().Path("ivan.pse"), "");
  TelvoraExportParams ip{16, nullptr};
  ASSERT_EQ(P().VCERT_ImportFile(s, &ip, W().Path("ivan.p12").c_str()), 0);
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("rev.der") + " -out " + F("rev.pem")), 0);
  ASSERT_EQ(Shell("openssl req -x509 -new -newkey " + kP256 + " -nodes -keyout " + F("evil.key") +
                  " -subj '/CN=Evil Root' -days 30 -addext basicConstraints=critical,CA:TRUE"
                  " -addext keyUsage=critical,keyCertSign,cRLSign -out " +
                  F("evil.pem")),
            0);
  OpensslIssue("fake", "/C=RU/O=Example/CN=Test CA", kP256, "evil.pem", "evil.key", kCaExt);
}

Bytes File(const std::string &name) { return ReadBytes(W().Path(name)); }

// A fresh copy of the run's certificate store.
std::string StoreCopy(const std::string &name) {
  std::filesystem::copy_file(Store(), W().Path(name), std::filesystem::copy_options::overwrite_existing);
  return W().Path(name);
}

int32_t Add(TelvoraSession s, const Bytes &der, bool crl) {
  TelvoraAddParams ap{};
  TelvoraBlob blob = Blob(der);
  return crl ? P().VCERT_AddCRL(s, &ap, &blob) : P().VCERT_AddCertificate(s, &ap, &blob);
}

// An openssl-made signature of the payload by a party (PEM certificate and key).
Bytes OpensslSign(const std::string &cert, const std::string &key, const std::string &md = "sha256") {
  WriteBytes(W().Path("trust-payload.bin"), Text("pay 100"));
  EXPECT_EQ(Shell("openssl cms -sign -binary -md " + md + " -outform DER -in " + F("trust-payload.bin") +
                  " -signer " + F(cert) + " -inkey " + F(key) + " -out " + F("trust.p7s")),
            0);
  return File("trust.p7s");
}

// A detached signature of "pay 100".
int32_t Verify(TelvoraSession s, const Bytes &signature) { return VerifyDetached(s, Text("pay 100"), signature); }

TEST_F(ProviderTest, APeerCannotSwitchOffRevocation) {
  Parties();
  Bytes revSig = OpensslSign("rev.pem", "rev.key"), aliceSig;
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("alice.der") + " -out " + F("alice.pem")), 0);
  aliceSig = OpensslSign("alice.pem", "alice.key");

  // A CA certificate named like the test CA that chains to no anchor is not
  // taken; one under the anchor is.
  Session s(W().Path("bob.pse"), StoreCopy("forged-store.pem"));
  EXPECT_EQ(Add(s, File("fake.der"), false), kCaNotAnchored);
  EXPECT_EQ(Add(s, File("inter.der"), false), 0);
  // Its CRL, also when the fake CA sits in the store, is not.
  Bytes forged = OpensslCrl("forged", "fake.pem", "fake.key", {}, "7FFFFFFF");
  ASSERT_EQ(Shell(Quote(W().tool) + " store --store " + F("forged-store.pem") + " " + F("fake.pem")), 0);
  EXPECT_EQ(Add(s, forged, true), S(0xE072011Bu));
  EXPECT_EQ(Verify(s, revSig), kRevoked);

  // Planted beside the genuine CRL, the forged one changes nothing; alone it
  // fails every check of that name instead of passing it.
  ASSERT_EQ(Shell(Quote(W().tool) + " store --store " + F("forged-store.pem") + " " + F("forged.crl")), 0);
  EXPECT_EQ(Verify(s, revSig), kRevoked);
  EXPECT_EQ(Verify(s, aliceSig), 0);
  std::string only = W().Path("forged-only.pem");
  ASSERT_EQ(Shell(Quote(W().tool) + " store --store " + Quote(only) + " " + F(Root()) + " " + F("forged.crl")), 0);
  Session lone(W().Path("bob.pse"), only);
  EXPECT_EQ(Verify(lone, aliceSig), kNoUsableCrl);
}

TEST_F(ProviderTest, CrlsAreKeptPerIssuerKeyNewestFirstAndNeverFromTheFuture) {
  Parties();
  Bytes revSig = OpensslSign("rev.pem", "rev.key");
  Session s(W().Path("bob.pse"), StoreCopy("crl-store.pem"));
  // A genuine CRL dated in the future is refused; an older genuine one (CRL
  // number 1, not listing rev) is answered 0 and leaves the newer in place.
  EXPECT_EQ(Add(s, OpensslCrl("future", Root(), RootKey(), {}, "7FFFFFFFFF", "391231000000Z"), true), kCrlFromFuture);
  EXPECT_EQ(Add(s, OpensslCrl("older", Root(), RootKey(), {}, "01"), true), 0);
  EXPECT_EQ(Verify(s, revSig), kRevoked);
  // A newer one replaces it (it lists rev too), and is the one kept.
  Bytes newer = OpensslCrl("newer", Root(), RootKey(), {"rev.pem"}, "7FFFFFFFFF");
  EXPECT_EQ(Add(s, newer, true), 0);
  Bytes text = File("crl-store.pem");
  std::string all(text.begin(), text.end());
  EXPECT_EQ(all.find("-----BEGIN X509 CRL-----"), all.rfind("-----BEGIN X509 CRL-----"));
  EXPECT_EQ(Verify(s, revSig), kRevoked);

  // The intermediate's CRL is taken once the intermediate is in the store,
  // and kept beside the root's: they are of different keys.
  Bytes ivanSig = OpensslSign("ivan.pem", "ivan.key");
  Bytes interCrl = OpensslCrl("inter", "inter.pem", "inter.key", {"ivan.pem"}, "02");
  EXPECT_EQ(Add(s, interCrl, true), S(0xE072011Bu));
  ASSERT_EQ(Add(s, File("inter.der"), false), 0);
  EXPECT_EQ(Add(s, interCrl, true), 0);
  EXPECT_EQ(Verify(s, ivanSig), kRevoked);
  EXPECT_EQ(Verify(s, revSig), kRevoked);
}

TEST_F(ProviderTest, DeltaAndScopedCrlsNeverStandInForTheCompleteOne) {
  Parties();
  Bytes revSig = OpensslSign("rev.pem", "rev.key");
  const std::string store = StoreCopy("scoped-store.pem");
  Session s(W().Path("bob.pse"), store);
  ASSERT_EQ(Verify(s, revSig), kRevoked);
  // Genuine CRLs of the root listing nobody, numbered above the complete one:
  // a delta, and CRLs whose issuing distribution point limits their scope.
  const std::vector<std::pair<std::string, std::string>> scoped = {
      {"delta", "deltaCRL=critical,DER:02:01:01\n"},
      {"ca-only", "issuingDistributionPoint=critical,@idp\n[idp]\nonlyCA=TRUE\n"},
      {"users-only", "issuingDistributionPoint=critical,@idp\n[idp]\nonlyuser=TRUE\n"},
      {"some-reasons", "issuingDistributionPoint=critical,@idp\n[idp]\nonlysomereasons=keyCompromise\n"},
      {"point", "issuingDistributionPoint=critical,@idp\n[idp]\nfullname=URI:http://crl.example/part1.crl\n"},
  };
  for (const auto &[name, extensions] : scoped) {
    Bytes crl = OpensslCrl(name, Root(), RootKey(), {}, "7FFFFFFFFFF0", "", extensions);
    EXPECT_EQ(Add(s, crl, true), kCrlScoped) << name;
    EXPECT_EQ(Verify(s, revSig), kRevoked) << name;
    // Planted in the store file beside the complete CRL, it counts for nothing.
    ASSERT_EQ(Shell("openssl crl -inform DER -in " + F(name + ".crl") + " >> " + Quote(store)), 0);
    EXPECT_EQ(Verify(s, revSig), kRevoked) << name;
  }
  // The tool does not store one either; the complete CRL stays.
  ASSERT_EQ(Shell(Quote(W().tool) + " store --store " + Quote(store) + " " + F("delta.crl")), 0);
  EXPECT_EQ(Verify(s, revSig), kRevoked);
}

TEST_F(ProviderTest, CrlsMeetTheAlgorithmAndKeyUsagePolicy) {
  Parties();
  Session s(W().Path("bob.pse"), StoreCopy("crl-policy-store.pem"));
  ASSERT_EQ(Add(s, File("inter.der"), false), 0);
  // The intermediate may sign CRLs: its SHA-256 CRL is taken; signed with
  // SHA-1, or with a critical extension nobody here handles, it is not.
  EXPECT_EQ(Add(s, OpensslCrl("inter-sha1", "inter.pem", "inter.key", {}, "10", "", "", "sha1"), true),
            kWeakAlgorithm);
  EXPECT_EQ(Add(s, OpensslCrl("inter-crit", "inter.pem", "inter.key", {}, "11", "", "1.2.3.4=critical,DER:05:00\n"),
                true),
            kCrlCriticalExtension);
  EXPECT_EQ(Add(s, OpensslCrl("inter-ok", "inter.pem", "inter.key", {}, "12"), true), 0);
  // A CA under the anchor whose key usage leaves out cRLSign signs no CRL.
  OpensslIssue("nocrlsign", "/C=RU/O=Example/CN=No CRL Sign CA", kP256, Root(), RootKey(),
               "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
               "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n");
  ASSERT_EQ(Add(s, File("nocrlsign.der"), false), 0);
  EXPECT_EQ(Add(s, OpensslCrl("nocrlsign", "nocrlsign.pem", "nocrlsign.key", {}, "01"), true), kCrlIssuerUsage);
}

TEST_F(ProviderTest, AnAnchorRemovedFromTheKeyStoreCountsAtOnce) {
  Parties();
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("alice.der") + " -out " + F("alice.pem")), 0);
  Bytes aliceSig = OpensslSign("alice.pem", "alice.key");
  // Two key stores of ivan: one also holds the root (an anchor), one not.
  for (const std::string &with : {std::string(), "-certfile " + F(Root())}) {
    const std::string name = with.empty() ? "no-anchor" : "anchor";
    ASSERT_EQ(Shell("openssl pkcs12 -export -inkey " + F("ivan.key") + " -in " + F("ivan.pem") + " " + with +
                    " -passout pass: -out " + F(name + ".p12")),
              0);
    Session importer(W().Path(name + ".pse"), "");
    TelvoraExportParams ip{16, nullptr};
    ASSERT_EQ(P().VCERT_ImportFile(importer, &ip, W().Path(name + ".p12").c_str()), 0);
  }
  Session s(W().Path("anchor.pse"), "");
  ASSERT_EQ(Verify(s, aliceSig), 0);
  // Another process puts the key store without the anchor in its place.
  std::filesystem::rename(W().Path("no-anchor.pse"), W().Path("anchor.pse"));
  EXPECT_EQ(Verify(s, aliceSig), kUntrusted);
}

TEST_F(ProviderTest, KeyStoresWithoutAMacAreNotImported) {
  Parties();
  OpensslIssue("mallory", "/CN=mallory", kP256, "evil.pem", "evil.key", kLeafExt);
  ASSERT_EQ(Shell("openssl pkcs12 -export -nomac -keypbe NONE -certpbe NONE -inkey " + F("mallory.key") + " -in " +
                  F("mallory.pem") + " -certfile " + F("evil.pem") + " -passout pass: -out " + F("nomac.p12")),
            0);
  Session s(W().Path("nomac.pse"), Store());
  TelvoraExportParams ip{16, nullptr};
  EXPECT_EQ(P().VCERT_ImportFile(s, &ip, W().Path("nomac.p12").c_str()), kKeyStoreUnreadable);
  EXPECT_EQ(Verify(s, OpensslSign("mallory.pem", "mallory.key")), kUntrusted);
}

TEST_F(ProviderTest, WeakDigestsAndKeysAreRefused) {
  Parties();
  OpensslIssue("rsa1024", "/C=RU/O=Example/CN=rsa1024", "rsa:1024", Root(), RootKey(), kLeafExt);
  OpensslIssue("p224", "/C=RU/O=Example/CN=p224", "ec -pkeyopt ec_paramgen_curve:P-224", Root(), RootKey(), kLeafExt);
  OpensslIssue("sha1cert", "/C=RU/O=Example/CN=sha1cert", kP256, Root(), RootKey(), kLeafExt, "sha1");
  for (const char *party : {"alice", "rita"})
    ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F(std::string(party) + ".der") + " -out " +
                    F(std::string(party) + ".pem")),
              0);
  Session bob(W().Path("bob.pse"), Store());
  struct Case {
    const char *party, *md;
  } cases[] = {{"alice", "sha1"}, {"rita", "md5"}, {"rsa1024", "sha256"}, {"p224", "sha256"}, {"sha1cert", "sha256"}};
  for (const auto &c : cases) {
    std::string name = c.party;
    EXPECT_EQ(Verify(bob, OpensslSign(name + ".pem", name + ".key", c.md)), kWeakAlgorithm) << name << " " << c.md;
  }
  EXPECT_EQ(Verify(bob, OpensslSign("alice.pem", "alice.key", "sha256")), 0);
  Bytes message;
  EXPECT_EQ(EncryptFor(bob, {File("rsa1024.der")}, Text("x"), &message), kWeakAlgorithm);
  char text[256] = {0};
  EXPECT_EQ(P().VCERT_GetErrorText(kWeakAlgorithm, text, sizeof text), 0);
  EXPECT_EQ(std::string(text).rfind("Weak algorithm", 0), 0u) << text;
}

TEST_F(ProviderTest, EncryptsAuthenticatedAndGivesOneStatusForEveryDamage) {
  Session alice(W().Path("alice.pse"), Store());
  Session rita(W().Path("rita.pse"), Store());
  Bytes plain = Text("PAY 100");

  // Written: AuthEnvelopedData (AES-256-GCM), RSA-OAEP with SHA-256.
  Bytes message;
  ASSERT_EQ(EncryptFor(alice, {File("rita.der")}, plain, &message), 0);
  WriteBytes(W().Path("auth.p7e"), message);
  ASSERT_EQ(Shell("openssl cms -cmsout -print -inform DER -in " + F("auth.p7e") + " > " + F("auth.txt")), 0);
  Bytes printed = File("auth.txt");
  std::string print(printed.begin(), printed.end());
  EXPECT_NE(print.find("id-smime-ct-authEnvelopedData"), std::string::npos);
  EXPECT_NE(print.find("aes-256-gcm"), std::string::npos);
  EXPECT_NE(print.find("rsaesOaep"), std::string::npos);
  EXPECT_NE(print.find("sha256"), std::string::npos);
  // Any changed byte of the ciphertext or tag: the one status.
  for (std::size_t back : {1u, 20u}) {
    Bytes damaged = message;
    damaged[damaged.size() - back] ^= 0x08;
    EXPECT_EQ(Decrypt(rita, damaged), kDecryptFailed) << back;
  }

  // Read: openssl's AuthEnvelopedData with RSA-OAEP; and in its CBC
  // EnvelopedData a damaged encrypted key is a damaged message, not "not a
  // recipient".
  WriteBytes(W().Path("gcm-in.bin"), plain);
  ASSERT_EQ(Shell("openssl cms -encrypt -binary -aes-256-gcm -outform DER -in " + F("gcm-in.bin") + " -out " +
                  F("gcm.p7e") + " -recip " + F("rita.der") +
                  " -keyopt rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256 && openssl cms -encrypt -binary -aes256 -outform DER -in " +
                  F("gcm-in.bin") + " -out " + F("cbc.p7e") + " " + F("rita.der")),
            0);
  Bytes got;
  EXPECT_EQ(Decrypt(rita, File("gcm.p7e"), &got), 0);
  EXPECT_EQ(got, plain);
  Bytes cbc = File("cbc.p7e");
  EXPECT_EQ(Decrypt(alice, cbc), kNotRecipient);
  const uint8_t rsaKey[] = {0x04, 0x82, 0x01, 0x00};  // the 256-byte encrypted key
  auto at = std::search(cbc.begin(), cbc.end(), std::begin(rsaKey), std::end(rsaKey));
  ASSERT_NE(at, cbc.end());
  at[40] ^= 0x01;
  EXPECT_EQ(Decrypt(rita, cbc), kDecryptFailed);

  // A profile asks for EnvelopedData (AES-256-CBC) for older peers.
  std::string profiles = W().Path("cbc-profiles");
  std::filesystem::create_directories(profiles);
  std::string profile = "pse = " + W().Path("alice.pse") + "\nstore = " + Store() + "\ncipher = aes-256-cbc\n";
  WriteBytes(profiles + "/cbc.profile", Bytes(profile.begin(), profile.end()));
  SetVar("CPKI1_PROFILES", profiles);
  TelvoraSession old = 0;
  ASSERT_EQ(P().VCERT_Initialize("CBC", 0, &old), 0);
  UnsetVar("CPKI1_PROFILES");
  // For an EC recipient the provider writes the EnvelopedData itself.
  Bytes forBob;
  ASSERT_EQ(EncryptFor(old, {File("bob.der")}, plain, &forBob), 0);
  WriteBytes(W().Path("cbc-bob.p7e"), forBob);
  EXPECT_EQ(Shell("openssl cms -cmsout -print -inform DER -in " + F("cbc-bob.p7e") +
                  " | grep -q 'aes-256-cbc' && openssl cms -decrypt -binary -inform DER -in " + F("cbc-bob.p7e") +
                  " -recip " + F("bob.der") + " -inkey " + F("bob.key") + " -out " + F("cbc-bob.out")),
            0);
  EXPECT_EQ(File("cbc-bob.out"), plain);
  ASSERT_EQ(EncryptFor(old, {File("rita.der")}, plain, &message), 0);
  EXPECT_EQ(P().VCERT_Uninitialize(old), 0);
  WriteBytes(W().Path("cbc-out.p7e"), message);
  EXPECT_EQ(Shell("openssl cms -cmsout -print -inform DER -in " + F("cbc-out.p7e") + " | grep -q 'aes-256-cbc'"), 0);
  EXPECT_EQ(Decrypt(rita, message, &got), 0);
  EXPECT_EQ(got, plain);
}

TEST_F(ProviderTest, SignaturesCarryTheChainAndCaKeysDoNotSign) {
  Parties();
  Session ivan(W().Path("ivan.pse"), Store());
  Bytes data = Text("pay 100");
  TelvoraSignParams sp{1, nullptr};
  TelvoraBlob in = Blob(data), out{};
  ASSERT_EQ(P().VCERT_SignMem(ivan, &sp, &in, nullptr, &out), 0);
  const Bytes ivanMessage = Take(ivan, out);
  WriteBytes(W().Path("ivan.p7m"), ivanMessage);
  // The signer's certificate and the intermediate's, not the root's, in the
  // DER OpenSSL writes (it encodes the message again to the same bytes).
  {
    const unsigned char *p = ivanMessage.data();
    CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(ivanMessage.size()));
    ASSERT_NE(cms, nullptr);
    STACK_OF(X509) *carried = CMS_get1_certs(cms);
    EXPECT_EQ(sk_X509_num(carried), 2);
    sk_X509_pop_free(carried, X509_free);
    unsigned char *again = nullptr;
    const int n = i2d_CMS_ContentInfo(cms, &again);
    EXPECT_EQ(Bytes(again, again + std::max(n, 0)), ivanMessage);
    OPENSSL_free(again);
    CMS_ContentInfo_free(cms);
  }
  EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + F("ivan.p7m") + " -CAfile " + F(Root()) +
                  " -out /dev/null"),
            0);
  Session bob(W().Path("bob.pse"), Store());
  EXPECT_EQ(Verify(bob, OpensslSign("ivan.pem", "ivan.key")), kUntrusted);  // openssl adds no chain
  Bytes own = File("ivan.p7m");
  TelvoraVerifyParams vp{};
  vp.Flags = 3;
  TelvoraBlob sig = Blob(own);
  TelvoraVerifyResult r{};
  EXPECT_EQ(P().VCERT_VerifyMem(bob, &vp, &in, &sig, nullptr, &r), 0);
  EXPECT_EQ(P().VCERT_FreeVerifyResult(bob, &r), 0);

  // The root's and the intermediate's keys sign certificates and CRLs only.
  EXPECT_EQ(Verify(bob, OpensslSign(Root(), RootKey())), kCaSigner);
  EXPECT_EQ(Verify(bob, OpensslSign("inter.pem", "inter.key")), kCaSigner);
}

TEST_F(ProviderTest, TheViewerGetsOnlyAllowedVariablesAndNoHostDescriptors) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX viewer and SIGCHLD; the Windows viewer's environment is checked in the provider's tests";
#else
  Session s("", Store());
  Bytes cert = File("bob.der");
  TelvoraBlob blob = Blob(cert);
  std::string seen = W().Path("viewer-env.txt"), fds = W().Path("viewer-fds.txt");
  setenv("CPKI1_PSE_PASSWORD", "s3cret-pse", 1);
  setenv("HOST_SETTING", "of-the-host", 1);
  setenv("LC_TIME", "C", 1);
  // A descriptor of the host that a child would inherit (no close-on-exec).
  const int hostFd = open("/dev/null", O_RDONLY);
  ASSERT_GT(hostFd, 2);
  setenv("CPKI1_VIEWER",
         ("env > " + Quote(seen) + "; for fd in 2 " + std::to_string(hostFd) +
          "; do [ -e /proc/$$/fd/$fd ] && echo $fd; done > " + Quote(fds) + "; true #")
             .c_str(),
         1);
  EXPECT_EQ(P().VCERT_ShowCertificate(s, &blob), 0);
  close(hostFd);
  unsetenv("CPKI1_PSE_PASSWORD");
  unsetenv("HOST_SETTING");
  unsetenv("LC_TIME");
  Bytes env = File("viewer-env.txt");
  std::string text(env.begin(), env.end());
  EXPECT_NE(text.find("CPKI1_VIEWER="), std::string::npos);
  EXPECT_NE(text.find("LC_TIME=C"), std::string::npos);
  EXPECT_EQ(text.find("s3cret-pse"), std::string::npos);
  EXPECT_EQ(text.find("of-the-host"), std::string::npos);
  // Only the standard descriptors reach the viewer.
  Bytes inherited = File("viewer-fds.txt");
  EXPECT_EQ(std::string(inherited.begin(), inherited.end()), "2\n");

  // A host that ignores SIGCHLD: the viewer's status cannot be had.
  setenv("CPKI1_VIEWER", "false", 1);
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);
  int32_t st = P().VCERT_ShowCertificate(s, &blob);
  sigaction(SIGCHLD, &previous, nullptr);
  unsetenv("CPKI1_VIEWER");
  EXPECT_EQ(st, kViewerFailed);
#endif
}

TEST_F(ProviderTest, AStoreBehindALinkStaysALink) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links to stores are followed on POSIX only";
#else
  std::string target = StoreCopy("linked-target.pem"), link = W().Path("linked-store.pem");
  std::filesystem::remove(link);
  std::filesystem::create_symlink("linked-target.pem", link);
  Parties();
  Session s("", link);
  ASSERT_EQ(Add(s, File("inter.der"), false), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  Session direct("", target);
  EXPECT_EQ(FindOne(direct, 8, "Intermediate CA"), File("inter.der"));
#endif
}

}  // namespace
}  // namespace cpki1test
