// The open provider through its entry points, with parties made by cpki1-tool.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

#include "openssl_support.h"
#include "test_latch.h"

namespace cpki1test {
namespace {

const std::string &Store() {
  static const std::string s = W().Path("store.pem");
  return s;
}

std::string Upper(std::string s) {
  for (char &c : s) c = c == '/' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Signs with one session and verifies with another; the verification status.
int32_t SignAndVerify(TelvoraSession signer, TelvoraSession verifier, int32_t flags, const Bytes &data,
                      std::string *subject = nullptr) {
  TelvoraSignParams sp{flags, nullptr};
  TelvoraBlob in = Blob(data), sig{};
  int32_t st = P().VCERT_SignMem(signer, &sp, &in, nullptr, &sig);
  if (st != 0) return st;
  Bytes signature = Take(signer, sig);
  TelvoraVerifyParams vp{};
  vp.Flags = flags == 3 ? 3 : 5;
  vp.Fields = 0x404;
  TelvoraBlob sigBlob = Blob(signature), content{};
  TelvoraVerifyResult r{};
  st = P().VCERT_VerifyMem(verifier, &vp, flags == 3 ? &in : nullptr, &sigBlob, &content, &r);
  if (st != 0) return st;
  EXPECT_EQ(r.Count, 1);
  if (subject != nullptr && r.Count == 1) *subject = r.Signers[0].Cert->Subject;
  EXPECT_EQ(Take(verifier, content), data);
  EXPECT_EQ(P().VCERT_FreeVerifyResult(verifier, &r), 0);
  return 0;
}

TEST_F(ProviderTest, ExportsEveryEntryPointAndTextsEveryStatus) {
  const Provider &p = P();
#define CPKI1TEST_CHECK(name, type, required) EXPECT_NE(reinterpret_cast<void *>(p.name), nullptr) << #name;
  CPKI1_ENTRY_POINTS(CPKI1TEST_CHECK)
#undef CPKI1TEST_CHECK
  char text[300];
  for (uint32_t code = kFirstStatus; code <= kLastStatus; ++code) {
    if (StatusUnused(code)) {
      EXPECT_NE(p.VCERT_GetErrorText(static_cast<int32_t>(code), text, sizeof text), 0) << std::hex << code;
      continue;
    }
    ASSERT_EQ(p.VCERT_GetErrorText(static_cast<int32_t>(code), text, sizeof text), 0) << std::hex << code;
    EXPECT_GT(std::strlen(text), 10u);
  }
  EXPECT_NE(p.VCERT_GetErrorText(0x12345, text, sizeof text), 0);
  EXPECT_STREQ(text, "Unknown status 0x00012345.");
  char small[8];
  EXPECT_EQ(p.VCERT_GetErrorText(kBadSession, small, sizeof small), 0);
  EXPECT_STREQ(small, "Unknown");  // cut to the buffer, always terminated
  EXPECT_EQ(reinterpret_cast<int32_t (*)(void)>(p.VCERT_Match)(), kNotImplemented);
}

TEST_F(ProviderTest, SessionsOpenByUrlOrProfileAndRefuseBadInput) {
  const Provider &p = P();
  TelvoraSession s = 0;
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  EXPECT_EQ(p.VCERT_InitializeEx(2, &rec, &s), kBadVersion);
  rec.PSEUrl = "file:///x.pse";
  EXPECT_EQ(p.VCERT_InitializeEx(1, &rec, &s), kBadUrl);
  rec.PSEUrl = nullptr;
  rec.LdapUrl = "ldap://directory.example:389";  // accepted, never contacted
  ASSERT_EQ(p.VCERT_InitializeEx(1, &rec, &s), 0);
  EXPECT_EQ(p.VCERT_Uninitialize(s), 0);
  EXPECT_EQ(p.VCERT_Uninitialize(s), kBadSession);
  TelvoraBlob any{};
  EXPECT_EQ(p.VCERT_HashMem(s, &any, &any), kBadSession);

  // A damaged key store is reported when the session opens.
  WriteBytes(W().Path("broken.pse"), Text("not a key store"));
  std::string broken = "pse://signed/" + W().Path("broken.pse");
  rec.PSEUrl = broken.c_str();
  EXPECT_EQ(p.VCERT_InitializeEx(1, &rec, &s), S(0xE0720106u));

  // Upper-cased paths with '\' separators reach the files.
  {
    Session upper(Upper(W().Path("alice.pse")), Upper(Store()));
    EXPECT_EQ(FindOne(upper, 2, "Bob"), ReadBytes(W().Path("bob.der")));
    // The file the session found goes; one of another letter case is found.
    std::filesystem::rename(Store(), W().Path("Store.PEM"));
    EXPECT_EQ(FindOne(upper, 2, "Bob"), ReadBytes(W().Path("bob.der")));
    std::filesystem::rename(W().Path("Store.PEM"), Store());
  }

  // A profile names the stores; the engine hands its name over upper-cased.
  std::string profiles = W().Path("profiles");
  std::filesystem::create_directories(profiles);
  WriteBytes(profiles + "/alice.profile", Text("# Alice\npse = ../alice.pse\nstore=" + Store() + "\nldap=x\n"));
  WriteBytes(profiles + "/bad.profile", Text("colour=blue\n"));
  SetVar("CPKI1_PROFILES", profiles);
  ASSERT_EQ(p.VCERT_Initialize("ALICE", 0, &s), 0);
  EXPECT_EQ(FindOne(s, 1, ""), ReadBytes(W().Path("alice.der")));
  EXPECT_EQ(p.VCERT_Uninitialize(s), 0);
  EXPECT_EQ(p.VCERT_Initialize("NOBODY", 0, &s), kNoProfile);
  EXPECT_EQ(p.VCERT_Initialize("BAD", 0, &s), kNoProfile);
  EXPECT_EQ(p.VCERT_Initialize("../alice", 0, &s), kNoProfile);

  // Without CPKI1_PROFILES the profiles are the user's: ~/.cpki1,
  // %APPDATA%\cpki1; relative paths in a profile start at its folder.
#ifdef _WIN32
  const char *userVariable = "APPDATA";
  const std::string user = W().Path("appdata"), folder = user + "\\cpki1";
#else
  const char *userVariable = "HOME";
  const std::string user = W().Path("home"), folder = user + "/.cpki1";
#endif
  std::filesystem::create_directories(folder);
  WriteBytes(folder + "/bob.profile", Text("pse=..\\..\\bob.pse\nstore=" + Store() + "\n"));
  const char *before = std::getenv(userVariable);
  const bool had = before != nullptr;
  const std::string saved = had ? before : "";
  UnsetVar("CPKI1_PROFILES");
  SetVar(userVariable, user);
  EXPECT_EQ(p.VCERT_Initialize("BOB", 0, &s), 0);
  EXPECT_EQ(FindOne(s, 1, ""), ReadBytes(W().Path("bob.der")));
  EXPECT_EQ(p.VCERT_Uninitialize(s), 0);
  if (had) {
    SetVar(userVariable, saved);
  } else {
    UnsetVar(userVariable);
  }
}

TEST_F(ProviderTest, FindsAndParsesCertificatesPerFieldsMask) {
  const Provider &p = P();
  Session s(W().Path("alice.pse"), Store());

  // Own store: Alice, with a key reference and every field.
  TelvoraFindCriteria c{};
  c.Stores = 1;
  c.Fields = TELVORA_FIELD_ALL;
  TelvoraFindResult r{};
  ASSERT_EQ(p.VCERT_FindCert(s, &c, &r), 0);
  ASSERT_EQ(r.Count, 1);
  const TelvoraCertInfo &a = r.Certs[0];
  EXPECT_STREQ(a.Subject, "CN=alice,O=Example,C=RU");
  EXPECT_STREQ(a.Issuer, "CN=Test CA,O=Example,C=RU");
  EXPECT_STREQ(a.PublicKeyAlgorithm, "EC P-256");
  EXPECT_EQ(a.KeyUsage, 0x0C);  // digitalSignature, nonRepudiation (keyAgreement is cut by the shift)
  EXPECT_GT(a.NotAfter, a.NotBefore);
  EXPECT_EQ(a.PrivateKeyNotAfter - a.PrivateKeyNotBefore, 30u * 86400u);
  ASSERT_EQ(a.ExtKeyUsageCount, 2);
  EXPECT_STREQ(a.ExtKeyUsage[0], "1.3.6.1.5.5.7.3.4");
  ASSERT_NE(a.KeyReference, nullptr);
  EXPECT_EQ(std::strlen(a.KeyReference), 64u);
  EXPECT_EQ(Bytes(a.Encoded.Data, a.Encoded.Data + a.Encoded.Length), ReadBytes(W().Path("alice.der")));
  std::string serial = a.SerialNumber, issuer = a.Issuer;
  EXPECT_EQ(serial.size() % 3, 2u);
  EXPECT_EQ(serial[2], ':');
  EXPECT_EQ(p.VCERT_FreeFindResult(s, &r), 0);

  // Match kinds: issuer and serial, subject, extended key usage; the Fields
  // mask decides which texts are filled.
  struct Case {
    int32_t stores, matchBy;
    const char *subject;
    int32_t count;
  } cases[] = {
      {2, 4, "CN=bob", 1}, {2, 4, "CN=Test CA", 0}, {10, 4, "CN=Test CA", 1}, {10, 4, "CN=alice", 1},
      {2, 0, nullptr, 5},  {1, 0x400, nullptr, 1},  {2, 0x400, nullptr, 1},   {0, 0, nullptr, 0},
  };
  const char *eku[] = {"1.3.6.1.5.5.7.3.2"};
  for (const auto &k : cases) {
    TelvoraFindCriteria f{};
    f.Stores = k.stores;
    f.MatchBy = k.matchBy;
    f.Subject = k.subject;
    f.EKUCount = 1;
    f.EKUList = eku;
    f.Fields = TELVORA_FIELD_SUBJECT;
    ASSERT_EQ(p.VCERT_FindCert(s, &f, &r), 0);
    EXPECT_EQ(r.Count, k.count) << k.stores << " " << k.matchBy << " " << (k.subject ? k.subject : "");
    for (int i = 0; i < r.Count; ++i) {
      EXPECT_NE(r.Certs[i].Subject, nullptr);
      EXPECT_EQ(r.Certs[i].Issuer, nullptr);
      EXPECT_EQ(r.Certs[i].Encoded.Data, nullptr);
    }
    EXPECT_EQ(p.VCERT_FreeFindResult(s, &r), 0);
  }
  TelvoraFindCriteria byId{};
  byId.Stores = 10;
  byId.MatchBy = 3;
  byId.Issuer = issuer.c_str();
  std::string lower = serial;
  for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  byId.Serial = lower.c_str();
  byId.Fields = TELVORA_FIELD_SERIAL;
  ASSERT_EQ(p.VCERT_FindCert(s, &byId, &r), 0);
  ASSERT_EQ(r.Count, 1);
  EXPECT_EQ(serial, r.Certs[0].SerialNumber);
  EXPECT_EQ(p.VCERT_FreeFindResult(s, &r), 0);
  byId.MatchBy = 0x20;
  EXPECT_EQ(p.VCERT_FindCert(s, &byId, &r), kBadArgument);

  // ParseCert takes DER only; its record is released with FreeCert, once.
  Bytes der = ReadBytes(W().Path("rita.der"));
  TelvoraBlob blob = Blob(der);
  TelvoraCertInfo info{};
  ASSERT_EQ(p.VCERT_ParseCert(s, &blob, TELVORA_FIELD_ALL, &info), 0);
  EXPECT_STREQ(info.PublicKeyAlgorithm, "RSA 2048");
  EXPECT_EQ(info.KeyUsage, 0x0F);  // digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment
  EXPECT_EQ(info.KeyReference, nullptr);
  TelvoraCertInfo copy = info;
  EXPECT_EQ(p.VCERT_FreeCert(s, &info), 0);
  EXPECT_EQ(p.VCERT_FreeCert(s, &copy), kUnknownBlock);
  Bytes pem = ReadBytes(W().Path("ca/ca.cert.pem"));
  blob = Blob(pem);
  EXPECT_EQ(p.VCERT_ParseCert(s, &blob, TELVORA_FIELD_ALL, &info), kBadEncoding);
}

TEST_F(ProviderTest, AddsCertificatesAndCrlsInBinaryFormOnly) {
  const Provider &p = P();
  std::string store = W().Path("add-store.pem");
  Session s("", store);
  TelvoraAddParams ap{};
  Bytes caPem = ReadBytes(W().Path("ca/ca.cert.pem"));
  TelvoraBlob blob = Blob(caPem);
  EXPECT_EQ(p.VCERT_AddCertificate(s, &ap, &blob), kBadEncoding);
  EXPECT_FALSE(std::filesystem::exists(store));
  Bytes bob = ReadBytes(W().Path("bob.der"));
  blob = Blob(bob);
  ASSERT_EQ(p.VCERT_AddCertificate(s, &ap, &blob), 0);
  ASSERT_EQ(p.VCERT_AddCertificate(s, &ap, &blob), 0);  // once only
  EXPECT_EQ(FindOne(s, 2, "bob"), bob);

  // A CRL is taken only from a CA the store knows.
  ASSERT_EQ(Shell(Quote(W().tool) + " crl --ca " + Quote(W().Path("ca")) + " --crl " + Quote(W().Path("ca.crl"))), 0);
  Bytes crl = ReadBytes(W().Path("ca.crl"));
  blob = Blob(crl);
  EXPECT_EQ(p.VCERT_AddCRL(s, &ap, &blob), kCrlUntrusted);
  // A new trust anchor comes from the tool, never through the provider.
  Bytes ca = FindOne(Session("", Store()), 10, "Test CA");
  blob = Blob(ca);
  EXPECT_EQ(p.VCERT_AddCertificate(s, &ap, &blob), S(0xE0720124u));
  ASSERT_EQ(Shell(Quote(W().tool) + " store --store " + Quote(store) + " " + Quote(W().Path("ca/ca.cert.pem"))), 0);
  EXPECT_EQ(p.VCERT_AddCertificate(s, &ap, &blob), 0);  // already there
  blob = Blob(crl);
  EXPECT_EQ(p.VCERT_AddCRL(s, &ap, &blob), 0);
  Bytes text = ReadBytes(store);
  EXPECT_NE(std::string(text.begin(), text.end()).find("-----BEGIN X509 CRL-----"), std::string::npos);
}

TEST_F(ProviderTest, SignsAndVerifiesDetachedAndEnclosedBinaryData) {
  Session alice(W().Path("alice.pse"), Store());
  Session bob(W().Path("bob.pse"), Store());
  Bytes data = Text("line one\r\nline two\nthree\r\n\x01\x00\xff");
  std::string subject;
  EXPECT_EQ(SignAndVerify(alice, bob, 3, data, &subject), 0);
  EXPECT_EQ(subject, "CN=alice,O=Example,C=RU");
  EXPECT_EQ(SignAndVerify(alice, bob, 1, data), 0);
  EXPECT_EQ(SignAndVerify(alice, bob, 1, Bytes()), 0);
  EXPECT_EQ(SignAndVerify(alice, bob, 3, Bytes()), 0);

  // A changed byte fails; so does a signature that is not CMS.
  TelvoraSignParams sp{3, nullptr};
  TelvoraBlob in = Blob(data), sig{};
  ASSERT_EQ(P().VCERT_SignMem(alice, &sp, &in, nullptr, &sig), 0);
  Bytes signature = Take(alice, sig);
  Bytes changed = data;
  changed[3] ^= 1;
  TelvoraBlob changedBlob = Blob(changed), sigBlob = Blob(signature);
  TelvoraVerifyParams vp{};
  vp.Flags = 3;
  TelvoraVerifyResult r{};
  EXPECT_EQ(P().VCERT_VerifyMem(bob, &vp, &changedBlob, &sigBlob, nullptr, &r), kBadSignature);
  EXPECT_EQ(r.Count, 0);
  EXPECT_EQ(P().VCERT_VerifyMem(bob, &vp, nullptr, &sigBlob, nullptr, &r), kBadArgument);  // detached, no data
  EXPECT_EQ(P().VCERT_VerifyMem(bob, &vp, &in, &in, nullptr, &r), kBadEncoding);

  // Without the CA in the store the signer is not trusted.
  Session lonely(W().Path("bob.pse"), W().Path("empty-store.pem"));
  EXPECT_EQ(P().VCERT_VerifyMem(lonely, &vp, &in, &sigBlob, nullptr, &r), 0);  // the key store's CA certificate
  EXPECT_EQ(P().VCERT_FreeVerifyResult(lonely, &r), 0);
  Session stranger("", W().Path("empty-store.pem"));
  EXPECT_EQ(P().VCERT_VerifyMem(stranger, &vp, &in, &sigBlob, nullptr, &r), kUntrusted);
}

TEST_F(ProviderTest, RefusesRevokedExpiredAndStaleSigners) {
  Session bob(W().Path("bob.pse"), Store());
  Session rev(W().Path("rev.pse"), Store());
  Session old(W().Path("old.pse"), Store());
  Bytes data = Text("payment order");
  EXPECT_EQ(SignAndVerify(rev, bob, 3, data), kRevoked);
  EXPECT_EQ(SignAndVerify(old, bob, 3, data), kExpired);  // the own certificate is expired: no signature

  // A CA whose CRL is past its next update: refused unless NOCRLUPDATE.
  const World &w = W();
  std::string ca2 = w.Path("ca2"), store2 = w.Path("store2.pem");
  ASSERT_EQ(Shell(Quote(w.tool) + " ca --ca " + Quote(ca2) + " --subject 'CN=Second CA,C=RU'"), 0);
  ASSERT_EQ(Shell(Quote(w.tool) + " issue --ca " + Quote(ca2) + " --subject CN=dan --usage sign --pse " +
                  Quote(w.Path("dan.pse")) + " --store " + Quote(store2)),
            0);
  Session dan(w.Path("dan.pse"), store2);
  Session check(w.Path("bob.pse"), store2);
  EXPECT_EQ(SignAndVerify(dan, check, 3, data), 0);  // no CRL at all: accepted
  ASSERT_EQ(Shell(Quote(w.tool) + " crl --ca " + Quote(ca2) + " --start-days -10 --days 2 --store " + Quote(store2)),
            0);
  EXPECT_EQ(SignAndVerify(dan, check, 3, data), kCrlStale);
  Session relaxed(w.Path("bob.pse"), store2, 1 /* NOCRLUPDATE */);
  EXPECT_EQ(SignAndVerify(dan, relaxed, 3, data), 0);
}

TEST_F(ProviderTest, EncryptsForEcAndRsaRecipientsOnly) {
  const Provider &p = P();
  Session alice(W().Path("alice.pse"), Store());
  Session bob(W().Path("bob.pse"), Store());
  Session rita(W().Path("rita.pse"), Store());

  TelvoraFindCriteria c{};
  c.Stores = 2;
  c.MatchBy = 4;
  c.Subject = "CN=bob";
  c.Fields = 3;
  TelvoraFindResult found[2]{};
  ASSERT_EQ(p.VCERT_FindCert(alice, &c, &found[0]), 0);
  c.Subject = "CN=rita";
  ASSERT_EQ(p.VCERT_FindCert(alice, &c, &found[1]), 0);
  ASSERT_EQ(found[0].Count + found[1].Count, 2);
  // As the library passes them: records of searches with Fields 3 (issuer and
  // serial number, no encoding).
  TelvoraCertInfo both[2] = {found[0].Certs[0], found[1].Certs[0]};
  ASSERT_EQ(both[0].Encoded.Data, nullptr);
  Bytes data = Text("secret\r\n\x00 binary");
  TelvoraCryptParams cp{1, nullptr, 2, both};
  TelvoraBlob in = Blob(data), out{};
  ASSERT_EQ(p.VCERT_EncryptMem(alice, &cp, &in, &out), 0);
  Bytes message = Take(alice, out);
  for (TelvoraSession who : {bob.id(), rita.id()}) {
    TelvoraDecryptParams dp{1, nullptr, 0};
    TelvoraBlob enc = Blob(message), plain{};
    TelvoraCertInfo sender{};
    ASSERT_EQ(p.VCERT_DecryptMem(who, &dp, &enc, &plain, &sender), 0);
    EXPECT_EQ(Take(who, plain), data);
    EXPECT_EQ(p.VCERT_FreeDecryptResult(who, &sender), 0);
  }
  TelvoraDecryptParams dp{1, nullptr, 0};
  TelvoraBlob enc = Blob(message), plain{};
  TelvoraCertInfo sender{};
  EXPECT_EQ(p.VCERT_DecryptMem(alice, &dp, &enc, &plain, &sender), kNotRecipient);
  Bytes damaged = message;
  damaged[damaged.size() - 17] ^= 0x40;  // the padding byte of the last block
  enc = Blob(damaged);
  EXPECT_NE(p.VCERT_DecryptMem(bob, &dp, &enc, &plain, &sender), 0);

  cp.RecipientCount = 0;
  EXPECT_EQ(p.VCERT_EncryptMem(alice, &cp, &in, &out), kNoRecipients);
  TelvoraCertInfo unknown = both[0];
  unknown.SerialNumber = "01:02";
  cp = TelvoraCryptParams{1, nullptr, 1, &unknown};
  EXPECT_EQ(p.VCERT_EncryptMem(alice, &cp, &in, &out), S(0xE0720123u));
  Bytes revDer = ReadBytes(W().Path("rev.der"));
  TelvoraCertInfo revoked{};
  revoked.Encoded = Blob(revDer);
  cp = TelvoraCryptParams{1, nullptr, 1, &revoked};
  EXPECT_EQ(p.VCERT_EncryptMem(alice, &cp, &in, &out), kRevoked);
  EXPECT_EQ(p.VCERT_FreeFindResult(alice, &found[0]), 0);
  EXPECT_EQ(p.VCERT_FreeFindResult(alice, &found[1]), 0);
}

TEST_F(ProviderTest, HashesAndSignsHashesWithP256) {
  const Provider &p = P();
  Session alice(W().Path("alice.pse"), Store());
  Session rita(W().Path("rita.pse"), Store());
  Bytes abc = Text("abc"), hash;
  TelvoraBlob in = Blob(abc), out{};
  ASSERT_EQ(p.VCERT_HashMem(alice, &in, &out), 0);
  hash = Take(alice, out);
  const uint8_t kAbc[] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                          0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                          0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(hash, Bytes(kAbc, kAbc + 32));

  TelvoraBlob h = Blob(hash), sig{};
  ASSERT_EQ(p.VCERT_SignHashMem(alice, 0, &h, &sig), 0);
  Bytes signature = Take(alice, sig);
  ASSERT_EQ(signature.size(), 64u);
  Bytes cert = ReadBytes(W().Path("alice.der"));
  TelvoraBlob cb = Blob(cert), sb = Blob(signature);
  EXPECT_EQ(p.VCERT_VerifyHashMem(rita, 0, &cb, &h, &sb), 0);
  signature[10] ^= 1;
  sb = Blob(signature);
  EXPECT_EQ(p.VCERT_VerifyHashMem(rita, 0, &cb, &h, &sb), kBadSignature);
  Bytes shortHash(hash.begin(), hash.begin() + 20);
  TelvoraBlob hs = Blob(shortHash);
  EXPECT_EQ(p.VCERT_SignHashMem(alice, 0, &hs, &sig), kBadArgument);
  EXPECT_EQ(p.VCERT_SignHashMem(rita, 0, &h, &sig), S(0xE072011Cu));  // RSA key
}

TEST_F(ProviderTest, GeneratesAKeyRequestAndInstallsItsAnswer) {
  const Provider &p = P();
  const World &w = W();
  std::string pse = w.Path("renew.pse");
  std::filesystem::copy_file(w.Path("bob.pse"), pse, std::filesystem::copy_options::overwrite_existing);
  Session s(pse, Store());
  TelvoraExportParams ep{20, nullptr};
  TelvoraBlob out{};
  ASSERT_EQ(p.VCERT_ExportMem(s, &ep, &out), 0);
  Bytes request = Take(s, out);
  WriteBytes(w.Path("renew.req"), request);
  ASSERT_EQ(Shell("openssl req -inform DER -in " + Quote(w.Path("renew.req")) + " -noout -verify -text | grep -q " +
                  Quote("Version: 1 (0x0)") + " && openssl req -inform DER -in " + Quote(w.Path("renew.req")) +
                  " -noout -subject | grep -q 'CN = bob'"),
            0);

  // The answer must belong to the pending key.
  TelvoraExportParams ip{8, nullptr};
  Bytes foreign = ReadBytes(w.Path("alice.der"));
  TelvoraBlob fb = Blob(foreign);
  EXPECT_EQ(p.VCERT_ImportMem(s, &ip, &fb), kKeyMismatch);
  ASSERT_EQ(Shell(Quote(w.tool) + " answer --ca " + Quote(w.Path("ca")) + " --request " + Quote(w.Path("renew.req")) +
                  " --out " + Quote(w.Path("renew.der"))),
            0);
  Bytes issued = ReadBytes(w.Path("renew.der"));
  TelvoraBlob ib = Blob(issued);
  ASSERT_EQ(p.VCERT_ImportMem(s, &ip, &ib), 0);
  EXPECT_EQ(FindOne(s, 1, ""), issued);
  EXPECT_EQ(p.VCERT_ImportMem(s, &ip, &ib), kNoPendingKey);
  ep.Kind = 21;
  EXPECT_EQ(p.VCERT_ExportMem(s, &ep, &out), kUnsupportedKind);

  // The renewed key signs; a key store file replaces the user's key.
  Session bob(w.Path("bob.pse"), Store());
  EXPECT_EQ(SignAndVerify(s, bob, 1, Text("renewed")), 0);
  TelvoraExportParams fp{16, nullptr};
  ASSERT_EQ(p.VCERT_ImportFile(s, &fp, Upper(w.Path("alice.pse")).c_str()), 0);
  EXPECT_EQ(FindOne(s, 1, ""), ReadBytes(w.Path("alice.der")));
  EXPECT_EQ(p.VCERT_ImportFile(s, &fp, w.Path("nothing.pse").c_str()), kFileNotFound);
  Session fresh("", Store());
  EXPECT_EQ(p.VCERT_ExportMem(fresh, &ep, &out), kUnsupportedKind);
  ep.Kind = 20;
  EXPECT_EQ(p.VCERT_ExportMem(fresh, &ep, &out), S(0xE0720122u));  // no key store
}

TEST_F(ProviderTest, ReleasesAreCheckedAndShowCertificateNeedsAViewer) {
  const Provider &p = P();
  Session a(W().Path("alice.pse"), Store());
  Session b(W().Path("bob.pse"), Store());
  Bytes data = Text("x");
  TelvoraBlob in = Blob(data), out{};
  ASSERT_EQ(p.VCERT_HashMem(a, &in, &out), 0);
  EXPECT_EQ(p.VCERT_FreeMem(b, out.Data), kUnknownBlock);  // another session's block
  EXPECT_EQ(p.VCERT_FreeMem(a, out.Data), 0);
  EXPECT_EQ(p.VCERT_FreeMem(a, out.Data), kUnknownBlock);
  EXPECT_EQ(p.VCERT_FreeMem(a, nullptr), 0);

  // A session ended with blocks outstanding takes them along.
  {
    Session c(W().Path("alice.pse"), Store());
    ASSERT_EQ(p.VCERT_HashMem(c, &in, &out), 0);
    EXPECT_EQ(p.OutstandingBlocks(), 1);
  }

  Bytes cert = ReadBytes(W().Path("bob.der"));
  TelvoraBlob cb = Blob(cert);
  UnsetVar("CPKI1_VIEWER");
  EXPECT_EQ(p.VCERT_ShowCertificate(a, &cb), kNoViewer);
  // The viewer gets the PEM file, and an environment without the secrets.
  std::string shown = W().Path("shown.pem"), env = W().Path("viewer.env");
  SetVar("CPKI1_PSE_PASSWORD", "password-for-the-key-store");
  SetVar("BANK_API_TOKEN", "token-of-the-host");
#ifdef _WIN32
  // A batch file as the viewer (cmd.exe wants the files under their drive:
  // /tmp is Z:\tmp).
  auto drive = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
  };
  WriteBytes(W().Path("viewer.bat"),
             Text("@set >\"" + drive(env) + "\"\r\n@type %1 >\"" + drive(shown) + "\"\r\n"));
  WriteBytes(W().Path("refuse.bat"), Text("@exit /b 3\r\n"));
  SetVar("CPKI1_VIEWER", drive(W().Path("viewer.bat")));
#else
  SetVar("CPKI1_VIEWER", "env >" + Quote(env) + "; cp -- \"$1\" " + Quote(shown) + " #");
#endif
  EXPECT_EQ(p.VCERT_ShowCertificate(a, &cb), 0);
  UnsetVar("CPKI1_PSE_PASSWORD");
  UnsetVar("BANK_API_TOKEN");
  Bytes pem = ReadBytes(shown), seen = ReadBytes(env);
  ASSERT_GE(pem.size(), 27u);
  EXPECT_EQ(std::string(pem.begin(), pem.begin() + 27), "-----BEGIN CERTIFICATE-----");
  const std::string environment(seen.begin(), seen.end());
  EXPECT_NE(environment.find("PATH="), std::string::npos) << environment;
  EXPECT_EQ(environment.find("password-for-the-key-store"), std::string::npos);
  EXPECT_EQ(environment.find("token-of-the-host"), std::string::npos);
#ifdef _WIN32
  SetVar("CPKI1_VIEWER", drive(W().Path("refuse.bat")));
#else
  SetVar("CPKI1_VIEWER", "false");
#endif
  EXPECT_EQ(p.VCERT_ShowCertificate(a, &cb), S(0xE072011Au));
  UnsetVar("CPKI1_VIEWER");
}

TEST_F(ProviderTest, NamesAreInTheSystemCodePage) {
#ifdef _WIN32
  GTEST_SKIP() << "the host's shell hands Wine UTF-8 that it reads in the locale of the test run, not UTF-8";
#endif
  // The tool takes UTF-8; the provider reports Windows-1251.
  ASSERT_EQ(
      Shell(Quote(W().tool) + " issue --ca " + Quote(W().Path("ca")) + " --usage sign --subject '" +
            "CN=\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xE2\x82\xAC,O=Example' --store " + Quote(W().Path("cyr-store.pem"))),
      0);
  Session s("", W().Path("cyr-store.pem"));
  TelvoraFindCriteria c{};
  c.Stores = 2;
  c.MatchBy = 4;
  c.Subject = "CN=\xC8\xE2\xE0\xED \x88";  // Windows-1251 (the euro sign is 0x88)
  c.Fields = TELVORA_FIELD_SUBJECT;
  TelvoraFindResult r{};
  ASSERT_EQ(P().VCERT_FindCert(s, &c, &r), 0);
  ASSERT_EQ(r.Count, 1);
  EXPECT_STREQ(r.Certs[0].Subject, "CN=\xC8\xE2\xE0\xED \x88,O=Example");
  EXPECT_EQ(P().VCERT_FreeFindResult(s, &r), 0);
}

TEST_F(ProviderTest, ToolExplainsWrongArgumentsAndFiles) {
  const std::string tool = Quote(W().tool);
  const std::string log = W().Path("tool.log");
  struct Case {
    std::string args;
    int exit;
    const char *says;
  } cases[] = {
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"issue --ca " + Quote(W().Path("ca")) + " --usage sign --pse x.pse", 1, "missing option --subject"},
      {"issue --ca " + Quote(W().Path("ca")) + " --subject CN=x --usage sideways --pse x.pse", 1,
       "--usage must be sign, encrypt or both"},
      {"issue --ca " + Quote(W().Path("nowhere")) + " --subject CN=x --usage sign --pse x.pse", 1, "cannot read"},
      {"crl --ca " + Quote(W().Path("ca")) + " --days soon", 1, "--days wants a whole number"},
      {"store --store " + Quote(W().Path("s.pem")) + " " + Quote(W().Path("alice.key")), 1,
       "holds no certificate or CRL"},
      {"revoke --ca " + Quote(W().Path("ca")) + " --colour red", 1, "unknown option --colour"},
      {"answer --help", 0, "--request FILE"},
  };
  for (const auto &k : cases) {
    EXPECT_EQ(ShellStatus(tool + " " + k.args + " >" + Quote(log) + " 2>&1"), k.exit) << k.args;
    Bytes out = ReadBytes(log);
    EXPECT_NE(std::string(out.begin(), out.end()).find(k.says), std::string::npos) << k.args;
  }
}

// Sessions used from several threads at once, while another thread keeps
// rewriting the certificate store they read.
TEST_F(ProviderTest, ConcurrentSessionsAndStoreWriters) {
  const Provider &p = P();
  const World &w = W();
  std::string store = w.Path("busy-store.pem");
  std::filesystem::copy_file(Store(), store, std::filesystem::copy_options::overwrite_existing);
  for (int i = 0; i < 4; ++i) w.Issue("w" + std::to_string(i), "--usage sign");
  Session shared(w.Path("bob.pse"), store);
  constexpr int kThreads = 4, kRounds = 8;
  std::atomic<int> failures{0};
  crtelv::test::Latch start(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Session own(w.Path(t % 2 ? "alice.pse" : "rita.pse"), store);
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        Bytes data = Text("thread " + std::to_string(t) + " round " + std::to_string(i));
        if (SignAndVerify(own, shared, i % 2 ? 1 : 3, data) != 0) ++failures;
        if (FindOne(shared, 2, "alice").empty()) ++failures;
      }
    });
  }
  threads.emplace_back([&] {
    Session writer("", store);
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      Bytes der = ReadBytes(w.Path("w" + std::to_string(i % 4) + ".der"));
      TelvoraAddParams ap{};
      TelvoraBlob b = Blob(der);
      if (p.VCERT_AddCertificate(writer, &ap, &b) != 0) ++failures;
    }
  });
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(FindOne(shared, 2, "w" + std::to_string(i)).empty()) << "lost update";
}

}  // namespace
}  // namespace cpki1test
