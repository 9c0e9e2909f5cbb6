// GOST parties beside the EC and RSA ones, through the provider's entry points
// and against "openssl ... -engine gost". Made once per run in the run's folder:
//   gca/         GOST R 34.10-2012 256-bit CA "CN=GOST CA,O=Example,C=RU"
//   gal          256-bit key (parameter set A), under gca
//   gbo          512-bit key (parameter set B), under gca
//   gmix         256-bit key (parameter set TCB), under the EC CA
//   grev         256-bit key under gca, revoked
//   gstore.pem   both CAs, every GOST party, the EC party bob and the RSA
//                party rita, the GOST CA's CRL: a store that mixes them
#include <openssl/cms.h>
#include <openssl/objects.h>

#include <cstring>

#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int32_t kGostUnavailable = S(0xE0720130u), kGostBareHash512 = S(0xE0720131u),
                  kGostMixedRecipients = S(0xE0720132u);

std::string F(const std::string &name) { return Quote(W().Path(name)); }
std::string GStore() { return W().Path("gstore.pem"); }
std::string Tool() { return Quote(W().tool); }

// The GOST parties, made once.
const World &G() {
  static bool made = false;
  const World &w = W();
  if (made) return w;
  made = true;
  std::string store = " --store " + F("gstore.pem");
  auto issue = [&](const std::string &ca, const std::string &name, const std::string &options) {
    Shell(Tool() + " issue --ca " + F(ca) + " --subject " + Quote("CN=" + name + ",O=Example,C=RU") + " --pse " +
          F(name + ".pse") + " --cert " + F(name + ".der") + " --key-out " + F(name + ".key") +
          " --usage both " + options + store);
  };
  Shell(Tool() + " ca --ca " + F("gca") + " --subject 'CN=GOST CA,O=Example,C=RU' --algorithm gost2012_256");
  issue("gca", "gal", "--algorithm gost2012_256");
  issue("gca", "gbo", "--algorithm gost2012_512 --paramset B");
  issue("ca", "gmix", "--algorithm gost2012_256 --paramset TCB");
  issue("gca", "grev", "--algorithm gost2012_256");
  Shell(Tool() + " revoke --ca " + F("gca") + " --cert " + F("grev.der") + store);
  Shell(Tool() + " store" + store + " " + F("ca/ca.cert.pem") + " " + F("bob.der") + " " + F("rita.der"));
  for (const char *party : {"gal", "gbo"})
    Shell("openssl x509 -engine gost -inform DER -in " + F(std::string(party) + ".der") + " -out " +
          F(std::string(party) + ".crt"));
  return w;
}

const Bytes &Payload() {
  static const Bytes data = [] {
    std::string s = "GOST payload\r\n\x00\xff end";
    return Bytes(s.begin(), s.end());
  }();
  return data;
}

// The payload encrypted for the parties' certificates.
int32_t Encrypt(TelvoraSession s, const std::vector<std::string> &parties, Bytes &message) {
  std::vector<Bytes> certs;
  for (const auto &p : parties) certs.push_back(ReadBytes(W().Path(p + ".der")));
  return EncryptFor(s, certs, Payload(), &message);
}

Bytes Hash(TelvoraSession s, const Bytes &data) {
  TelvoraBlob in = Blob(data), out{};
  EXPECT_EQ(P().VCERT_HashMem(s, &in, &out), 0);
  return out.Data ? Take(s, out) : Bytes();
}

// The digest algorithm of a SignedData's first signer.
int SignerDigest(const Bytes &der) {
  const uint8_t *p = der.data();
  CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
  if (cms == nullptr) return NID_undef;
  X509_ALGOR *digest = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0), nullptr, nullptr, &digest, nullptr);
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
  int nid = OBJ_obj2nid(oid);
  CMS_ContentInfo_free(cms);
  return nid;
}

TEST_F(ProviderTest, GostPartiesSignAndVerifyBesideEcParties) {
  G();
  Session bob(W().Path("bob.pse"), GStore());
  struct Case {
    const char *signer;
    int digest;
  } cases[] = {{"gal", NID_id_GostR3411_2012_256},
               {"gbo", NID_id_GostR3411_2012_512},
               {"gmix", NID_id_GostR3411_2012_256}};
  for (const auto &c : cases) {
    Session signer(W().Path(std::string(c.signer) + ".pse"), GStore());
    for (int32_t flags : {1, 3}) {
      Bytes sig = Sign(signer, flags, Payload());
      EXPECT_EQ(SignerDigest(sig), c.digest) << c.signer;
      EXPECT_EQ(VerifyDetached(bob, Payload(), sig), 0) << c.signer << " flags " << flags;
      Bytes changed = Payload();
      changed[0] ^= 1;
      EXPECT_EQ(VerifyDetached(bob, changed, sig), kBadSignature) << c.signer;
    }
  }
  // An EC signer checked by a GOST party, a revoked GOST signer refused.
  Session gal(W().Path("gal.pse"), GStore());
  Session alice(W().Path("alice.pse"), GStore());
  EXPECT_EQ(VerifyDetached(gal, Payload(), Sign(alice, 3, Payload())), 0);
  Session grev(W().Path("grev.pse"), GStore());
  EXPECT_EQ(VerifyDetached(gal, Payload(), Sign(grev, 3, Payload())), kRevoked);
  // The GOST CA's CRL is taken only with its signature checked.
  ASSERT_EQ(Shell("openssl crl -in " + F("gca/ca.crl.pem") + " -outform DER -out " + F("gca.crl")), 0);
  Bytes crl = ReadBytes(W().Path("gca.crl"));
  TelvoraBlob crlBlob = Blob(crl);
  EXPECT_EQ(P().VCERT_AddCRL(gal, nullptr, &crlBlob), 0);
  crl[crl.size() - 3] ^= 1;
  crlBlob = Blob(crl);
  EXPECT_EQ(P().VCERT_AddCRL(gal, nullptr, &crlBlob), kCrlUntrusted);

  Bytes cert = ReadBytes(W().Path("gbo.der"));
  TelvoraBlob blob = Blob(cert);
  TelvoraCertInfo info{};
  ASSERT_EQ(P().VCERT_ParseCert(gal, &blob, TELVORA_FIELD_ALL, &info), 0);
  EXPECT_STREQ(info.PublicKeyAlgorithm, "GOST R 34.10-2012 512");
  EXPECT_STREQ(info.Issuer, "CN=GOST CA,O=Example,C=RU");
  EXPECT_EQ(P().VCERT_FreeCert(gal, &info), 0);
  char text[300];
  for (int32_t code : {kGostUnavailable, kGostBareHash512, kGostMixedRecipients}) {
    ASSERT_EQ(P().VCERT_GetErrorText(code, text, sizeof text), 0);
    EXPECT_NE(std::strstr(text, "GOST"), nullptr) << text;
  }
}

TEST_F(ProviderTest, GostBareHashIsStreebogAndTheStandardsSignature) {
  G();
  Session gal(W().Path("gal.pse"), GStore()), gbo(W().Path("gbo.pse"), GStore());
  WriteBytes(W().Path("gpayload.bin"), Payload());
  ASSERT_EQ(Shell("openssl dgst -engine gost -md_gost12_256 -binary -out " + F("gpayload.hash") + " " +
                  F("gpayload.bin")),
            0);
  Bytes digest = Hash(gal, Payload());
  EXPECT_EQ(digest, ReadBytes(W().Path("gpayload.hash")));
  EXPECT_EQ(Hash(gbo, Payload()), digest);  // 32 bytes for either key size

  // The provider's 64 bytes are what the engine verifies, and the other way round.
  TelvoraBlob h = Blob(digest), sig{};
  ASSERT_EQ(P().VCERT_SignHashMem(gal, 0, &h, &sig), 0);
  Bytes raw = Take(gal, sig);
  ASSERT_EQ(raw.size(), 64u);
  WriteBytes(W().Path("gal-hash.sig"), raw);
  EXPECT_EQ(Shell("openssl pkeyutl -engine gost -verify -certin -inkey " + F("gal.crt") + " -in " +
                  F("gpayload.hash") + " -sigfile " + F("gal-hash.sig")),
            0);
  ASSERT_EQ(Shell("openssl pkeyutl -engine gost -sign -inkey " + F("gal.key") + " -in " + F("gpayload.hash") +
                  " -out " + F("gal-openssl.sig")),
            0);
  Bytes theirs = ReadBytes(W().Path("gal-openssl.sig"));
  Bytes cert = ReadBytes(W().Path("gal.der"));
  TelvoraBlob c = Blob(cert), s = Blob(theirs);
  EXPECT_EQ(P().VCERT_VerifyHashMem(gbo, 0, &c, &h, &s), 0);
  theirs[5] ^= 1;
  s = Blob(theirs);
  EXPECT_EQ(P().VCERT_VerifyHashMem(gbo, 0, &c, &h, &s), kBadSignature);

  // A 512-bit key's signature has 128 bytes: no bare-hash form.
  EXPECT_EQ(P().VCERT_SignHashMem(gbo, 0, &h, &sig), kGostBareHash512);
  Bytes cert512 = ReadBytes(W().Path("gbo.der"));
  TelvoraBlob c512 = Blob(cert512), r = Blob(raw);
  EXPECT_EQ(P().VCERT_VerifyHashMem(gal, 0, &c512, &h, &r), kGostBareHash512);

  // A profile fixes the hash.
  std::string profiles = W().Path("gprofiles");
  std::filesystem::create_directories(profiles);
  std::string text = "pse = " + W().Path("gal.pse") + "\nhash = sha256\n";
  WriteBytes(profiles + "/gal.profile", Bytes(text.begin(), text.end()));
  text = "pse = " + W().Path("gal.pse") + "\nhash = md5\n";
  WriteBytes(profiles + "/galbad.profile", Bytes(text.begin(), text.end()));
  SetVar("CPKI1_PROFILES", profiles);
  TelvoraSession fixed = 0;
  ASSERT_EQ(P().VCERT_Initialize("GAL", 0, &fixed), 0);
  ASSERT_EQ(Shell("openssl dgst -sha256 -binary -out " + F("gpayload.sha") + " " + F("gpayload.bin")), 0);
  EXPECT_EQ(Hash(fixed, Payload()), ReadBytes(W().Path("gpayload.sha")));
  EXPECT_EQ(Hash(gal, Payload()), digest);  // SHA-256 and Streebog in turn on one thread
  EXPECT_EQ(P().VCERT_Uninitialize(fixed), 0);
  EXPECT_EQ(P().VCERT_Initialize("GALBAD", 0, &fixed), kNoProfile);
}

TEST_F(ProviderTest, GostRecipientsGetKuznyechikOrMagmaAndMixedSetsAreRefused) {
  G();
  Session bob(W().Path("bob.pse"), GStore());
  Bytes message;
  ASSERT_EQ(Encrypt(bob, {"gal", "gbo"}, message), 0);
  WriteBytes(W().Path("to-gost.p7e"), message);
  EXPECT_EQ(Shell("openssl cms -cmsout -print -engine gost -inform DER -in " + F("to-gost.p7e") +
                  " | grep -q 'algorithm: kuznyechik-ctr-acpkm'"),
            0);
  for (const char *party : {"gal", "gbo"}) {
    std::string name = party;
    Session s(W().Path(name + ".pse"), GStore());
    Bytes plain;
    EXPECT_EQ(Decrypt(s, message, &plain), 0) << name;
    EXPECT_EQ(plain, Payload());
    EXPECT_EQ(Shell("openssl cms -decrypt -engine gost -binary -inform DER -in " + F("to-gost.p7e") + " -recip " +
                    F(name + ".crt") + " -inkey " + F(name + ".key") + " -out " + F(name + ".plain")),
              0);
    EXPECT_EQ(ReadBytes(W().Path(name + ".plain")), Payload()) << name;
  }
  Session gmix(W().Path("gmix.pse"), GStore());
  Bytes plain;
  EXPECT_EQ(Decrypt(gmix, message, &plain), kNotRecipient);

  // Magma by the profile.
  std::string profiles = W().Path("gprofiles2");
  std::filesystem::create_directories(profiles);
  std::string text = "pse = " + W().Path("bob.pse") + "\nstore = " + GStore() + "\ngost_cipher = magma\n";
  WriteBytes(profiles + "/bobm.profile", Bytes(text.begin(), text.end()));
  SetVar("CPKI1_PROFILES", profiles);
  TelvoraSession magma = 0;
  ASSERT_EQ(P().VCERT_Initialize("BOBM", 0, &magma), 0);
  ASSERT_EQ(Encrypt(magma, {"gbo"}, message), 0);
  EXPECT_EQ(P().VCERT_Uninitialize(magma), 0);
  WriteBytes(W().Path("to-gbo-magma.p7e"), message);
  EXPECT_EQ(Shell("openssl cms -cmsout -print -engine gost -inform DER -in " + F("to-gbo-magma.p7e") +
                  " | grep -q 'algorithm: magma-ctr-acpkm'"),
            0);
  EXPECT_EQ(Shell("openssl cms -decrypt -engine gost -binary -inform DER -in " + F("to-gbo-magma.p7e") + " -recip " +
                  F("gbo.crt") + " -inkey " + F("gbo.key") + " -out " + F("gbo-magma.plain")),
            0);
  EXPECT_EQ(ReadBytes(W().Path("gbo-magma.plain")), Payload());

  // No cipher serves GOST and other keys at once.
  EXPECT_EQ(Encrypt(bob, {"gal", "bob"}, message), kGostMixedRecipients);
  EXPECT_EQ(Encrypt(bob, {"rita", "gbo"}, message), kGostMixedRecipients);
}

TEST_F(ProviderTest, DecryptsWhatOpensslEncryptedForGostPartiesWithEachCipher) {
  G();
  WriteBytes(W().Path("gpayload.bin"), Payload());
  for (const char *cipher : {"kuznyechik-ctr-acpkm", "magma-ctr-acpkm", "gost89"}) {
    for (const char *party : {"gal", "gbo"}) {
      std::string name = party, file = name + "-" + cipher + ".p7e";
      ASSERT_EQ(Shell("openssl cms -encrypt -engine gost -binary -" + std::string(cipher) + " -outform DER -in " +
                      F("gpayload.bin") + " -out " + F(file) + " " + F(name + ".crt")),
                0);
      Session s(W().Path(name + ".pse"), GStore());
      Bytes plain;
      EXPECT_EQ(Decrypt(s, ReadBytes(W().Path(file)), &plain), 0) << file;
      EXPECT_EQ(plain, Payload()) << file;
    }
  }
}

TEST_F(ProviderTest, OpensslAndTheProviderCheckEachOthersGostSignatures) {
  G();
  WriteBytes(W().Path("gpayload.bin"), Payload());
  Session bob(W().Path("bob.pse"), GStore());
  std::string ca = " -CAfile " + F("gca/ca.cert.pem");
  for (const char *party : {"gal", "gbo"}) {
    std::string name = party;
    Session s(W().Path(name + ".pse"), GStore());
    WriteBytes(W().Path(name + "-d.p7s"), Sign(s, 3, Payload()));
    WriteBytes(W().Path(name + "-e.p7m"), Sign(s, 1, Payload()));
    // -cades: each carries signingCertificateV2 naming the signer's certificate.
    EXPECT_EQ(Shell("openssl cms -verify -cades -engine gost -binary -inform DER -in " + F(name + "-d.p7s") +
                    " -content " + F("gpayload.bin") + ca + " -out /dev/null"),
              0);
    EXPECT_EQ(Shell("openssl cms -verify -cades -engine gost -binary -inform DER -in " + F(name + "-e.p7m") + ca +
                    " -out " + F(name + "-e.out")),
              0);
    EXPECT_EQ(ReadBytes(W().Path(name + "-e.out")), Payload());

    for (const char *mode : {"", " -nodetach -cades"}) {
      std::string file = name + "-openssl" + (*mode ? "-e" : "-d") + ".p7s";
      ASSERT_EQ(Shell("openssl cms -sign -engine gost -binary" + std::string(mode) + " -outform DER -in " +
                      F("gpayload.bin") + " -signer " + F(name + ".crt") + " -inkey " + F(name + ".key") + " -out " +
                      F(file)),
                0);
      EXPECT_EQ(VerifyDetached(bob, Payload(), ReadBytes(W().Path(file))), 0) << file;
    }
  }
}

TEST_F(ProviderTest, TakesGostCertificatesAndKeyStoresMadeByOpenssl) {
  G();
  std::string ext = "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n";
  WriteBytes(W().Path("gdave.ext"), Bytes(ext.begin(), ext.end()));
  ASSERT_EQ(Shell("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:B -out " + F("gdave.key") +
                  " && openssl req -engine gost -new -md_gost12_256 -key " + F("gdave.key") +
                  " -subj '/C=RU/O=Interop/CN=GDave' -out " + F("gdave.csr") +
                  " && openssl x509 -engine gost -req -md_gost12_256 -in " + F("gdave.csr") + " -CA " +
                  F("gca/ca.cert.pem") + " -CAkey " + F("gca/ca.key.pem") + " -set_serial 0x0D0E -days 10 -extfile " +
                  F("gdave.ext") + " -out " + F("gdave.crt") + " && openssl pkcs12 -export -engine gost -inkey " +
                  F("gdave.key") + " -in " + F("gdave.crt") + " -certfile " + F("gca/ca.cert.pem") +
                  " -passout pass: -out " + F("gdave.p12")),
            0);
  Session dave(W().Path("gdave.pse"), GStore());
  TelvoraExportParams fp{16, nullptr};
  ASSERT_EQ(P().VCERT_ImportFile(dave, &fp, W().Path("gdave.p12").c_str()), 0);
  Bytes own = FindOne(dave, 1, "GDave");
  TelvoraBlob blob = Blob(own);
  TelvoraCertInfo info{};
  ASSERT_EQ(P().VCERT_ParseCert(dave, &blob, TELVORA_FIELD_ALL, &info), 0);
  EXPECT_STREQ(info.PublicKeyAlgorithm, "GOST R 34.10-2012 256");
  EXPECT_STREQ(info.SerialNumber, "0D:0E");
  EXPECT_EQ(P().VCERT_FreeCert(dave, &info), 0);
  Session bob(W().Path("bob.pse"), GStore());
  EXPECT_EQ(VerifyDetached(bob, Payload(), Sign(dave, 3, Payload())), 0);
  // Also with the bags under Kuznyechik and a Streebog MAC.
  ASSERT_EQ(Shell("openssl pkcs12 -export -engine gost -keypbe kuznyechik-ctr-acpkm -certpbe kuznyechik-ctr-acpkm "
                  "-macalg md_gost12_512 -inkey " + F("gdave.key") + " -in " + F("gdave.crt") +
                  " -passout pass: -out " + F("gdave-k.p12")),
            0);
  Session dave2(W().Path("gdave2.pse"), GStore());
  ASSERT_EQ(P().VCERT_ImportFile(dave2, &fp, W().Path("gdave-k.p12").c_str()), 0);
  EXPECT_EQ(FindOne(dave2, 1, "GDave"), own);

  // The key store the provider wrote is read by openssl, key and all.
  EXPECT_EQ(Shell("openssl pkcs12 -engine gost -in " + F("gdave.pse") + " -passin pass: -nodes -out " +
                  F("gdave-back.pem") + " && openssl pkey -engine gost -in " + F("gdave-back.pem") + " -pubout -out " +
                  F("gdave-back.pub") + " && openssl pkey -engine gost -in " + F("gdave.key") + " -pubout -out " +
                  F("gdave.pub") + " && cmp " + F("gdave.pub") + " " + F("gdave-back.pub")),
            0);
}

TEST_F(ProviderTest, AGostKeyRequestGetsAKeyLikeTheOldOne) {
  G();
  std::filesystem::copy_file(W().Path("gbo.pse"), W().Path("gbo2.pse"));
  Session s(W().Path("gbo2.pse"), GStore());
  TelvoraExportParams rp{20, nullptr};
  TelvoraBlob req{};
  ASSERT_EQ(P().VCERT_ExportMem(s, &rp, &req), 0);
  WriteBytes(W().Path("gbo2.req"), Take(s, req));
  EXPECT_EQ(Shell("openssl req -engine gost -inform DER -in " + F("gbo2.req") + " -verify -noout -text | grep -q " +
                  "'GOST R 34.10-2012 with 512 bit modulus' && openssl req -engine gost -inform DER -in " +
                  F("gbo2.req") + " -noout -text | grep -q 'ParamSet B'"),
            0);
  ASSERT_EQ(Shell(Tool() + " answer --ca " + F("gca") + " --request " + F("gbo2.req") + " --out " + F("gbo2.der")), 0);
  TelvoraExportParams ap{8, nullptr};
  ASSERT_EQ(P().VCERT_ImportFile(s, &ap, W().Path("gbo2.der").c_str()), 0);
  Session bob(W().Path("bob.pse"), GStore());
  Bytes sig = Sign(s, 3, Payload());
  EXPECT_EQ(SignerDigest(sig), NID_id_GostR3411_2012_512);
  EXPECT_EQ(VerifyDetached(bob, Payload(), sig), 0);  // the new certificate travels with the message
}

// The trust policy holds for GOST keys: a chain of both key sizes and both
// Streebog digests passes at security level 2, through an intermediate CA
// taken into the store; the intermediate's CRL counts by its key, not by its
// name; GOST CA keys do not sign documents.
TEST_F(ProviderTest, GostChainsCrlsAndCaKeysFollowTheTrustPolicy) {
  G();
  const std::string caExt =
      "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";
  const std::string leafExt =
      "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";
  WriteBytes(W().Path("gt-ca.ext"), Bytes(caExt.begin(), caExt.end()));
  WriteBytes(W().Path("gt-leaf.ext"), Bytes(leafExt.begin(), leafExt.end()));
  // name.pem, name.key, name.der by openssl req and x509 -req under a CA.
  auto issue = [](const std::string &name, const std::string &subject, const std::string &alg,
                  const std::string &ca, const std::string &md, const std::string &ext) {
    static int serial = 0x6000;
    std::string own = alg == "gost2012_512" ? " -md_gost12_512" : " -md_gost12_256";
    return Shell("openssl req -engine gost -new -nodes -newkey " + alg + " -pkeyopt paramset:A" + own + " -keyout " +
                 F(name + ".key") + " -subj " + Quote(subject) + " -out " + F(name + ".csr") +
                 " && openssl x509 -engine gost -req -" + md + " -in " + F(name + ".csr") + " -CA " +
                 F(ca + ".pem") + " -CAkey " + F(ca + ".key") + " -set_serial " + std::to_string(++serial) +
                 " -days 30 -extfile " + F(ext) + " -out " + F(name + ".pem") + " && openssl x509 -in " +
                 F(name + ".pem") + " -outform DER -out " + F(name + ".der"));
  };
  // A DER CRL by openssl ca in its own folder, listing the given certificates.
  auto crl = [](const std::string &name, const std::string &ca, const std::string &md,
                const std::vector<std::string> &revoked) {
    const std::string dir = name + ".ca/", cnf = "[ca]\ndefault_ca=x\n[x]\ndatabase=index.txt\ncrlnumber=crlnumber\n"
                                                 "default_crl_days=30\ndefault_md=" + md + "\n";
    std::filesystem::create_directories(W().Path(dir));
    WriteBytes(W().Path(dir + "x.cnf"), Bytes(cnf.begin(), cnf.end()));
    WriteBytes(W().Path(dir + "index.txt"), Bytes());
    WriteBytes(W().Path(dir + "crlnumber"), Bytes{'0', '1'});
    std::string line = "cd " + F(dir), ca0 = "openssl ca -engine gost -config x.cnf -keyfile " + F(ca + ".key") +
                                              " -cert " + F(ca + ".pem");
    for (const auto &cert : revoked) line += " && " + ca0 + " -revoke " + F(cert + ".pem");
    EXPECT_EQ(Shell(line + " && " + ca0 + " -gencrl -out crl.pem && openssl crl -in crl.pem -outform DER -out " +
                    F(name + ".crl")),
              0);
    return ReadBytes(W().Path(name + ".crl"));
  };
  std::filesystem::copy_file(W().Path("gca/ca.cert.pem"), W().Path("gt-root.pem"),
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(W().Path("gca/ca.key.pem"), W().Path("gt-root.key"),
                             std::filesystem::copy_options::overwrite_existing);
  // A 512-bit intermediate under the 256-bit CA, a 256-bit signer under it;
  // and a forger's CA of the intermediate's name under the forger's own root.
  ASSERT_EQ(issue("gt-inter", "/C=RU/O=Example/CN=GOST Intermediate", "gost2012_512", "gt-root", "md_gost12_256",
                  "gt-ca.ext"),
            0);
  ASSERT_EQ(issue("gt-ivan", "/C=RU/O=Example/CN=gt-ivan", "gost2012_256", "gt-inter", "md_gost12_512",
                  "gt-leaf.ext"),
            0);
  ASSERT_EQ(Shell("openssl req -x509 -engine gost -new -nodes -newkey gost2012_256 -pkeyopt paramset:A -md_gost12_256 "
                  "-keyout " + F("gt-evil.key") + " -subj '/CN=Evil GOST Root' -days 30 -addext "
                  "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out " +
                  F("gt-evil.pem")),
            0);
  ASSERT_EQ(issue("gt-fake", "/C=RU/O=Example/CN=GOST Intermediate", "gost2012_256", "gt-evil", "md_gost12_256",
                  "gt-ca.ext"),
            0);
  WriteBytes(W().Path("gpayload.bin"), Payload());
  auto opensslSign = [](const std::string &name, const std::string &md, const std::string &extra) {
    EXPECT_EQ(Shell("openssl cms -sign -engine gost -binary -md " + md + " -outform DER -in " + F("gpayload.bin") +
                    " -signer " + F(name + ".pem") + " -inkey " + F(name + ".key") + extra + " -out " +
                    F(name + ".p7s")),
              0);
    return ReadBytes(W().Path(name + ".p7s"));
  };
  Bytes ivanSig = opensslSign("gt-ivan", "md_gost12_256", " -certfile " + F("gt-inter.pem"));

  std::string store = W().Path("gt-store.pem");
  std::filesystem::copy_file(GStore(), store, std::filesystem::copy_options::overwrite_existing);
  Session bob(W().Path("bob.pse"), store);
  EXPECT_EQ(VerifyDetached(bob, Payload(), ivanSig), 0);  // the intermediate travels with the message
  auto add = [&](const Bytes &der, bool isCrl) {
    TelvoraAddParams ap{};
    TelvoraBlob blob = Blob(der);
    return isCrl ? P().VCERT_AddCRL(bob, &ap, &blob) : P().VCERT_AddCertificate(bob, &ap, &blob);
  };
  EXPECT_EQ(add(ReadBytes(W().Path("gt-fake.der")), false), S(0xE0720127u));  // chains to no anchor
  EXPECT_EQ(add(ReadBytes(W().Path("gt-inter.der")), false), 0);
  EXPECT_EQ(add(crl("gt-inter", "gt-inter", "md_gost12_512", {"gt-ivan"}), true), 0);
  EXPECT_EQ(VerifyDetached(bob, Payload(), ivanSig), kRevoked);
  // The forger's CRL of that name is not taken, and planted in the store it
  // changes nothing.
  Bytes forged = crl("gt-fake", "gt-fake", "md_gost12_256", {});
  ASSERT_EQ(Shell(Tool() + " store --store " + Quote(store) + " " + F("gt-fake.pem")), 0);
  EXPECT_EQ(add(forged, true), kCrlUntrusted);
  ASSERT_EQ(Shell(Tool() + " store --store " + Quote(store) + " " + F("gt-fake.crl")), 0);
  EXPECT_EQ(VerifyDetached(bob, Payload(), ivanSig), kRevoked);

  // CA keys, root or intermediate, sign no documents.
  constexpr int32_t kCaSigner = S(0xE0720129u);
  EXPECT_EQ(VerifyDetached(bob, Payload(), opensslSign("gt-inter", "md_gost12_512", "")), kCaSigner);
  EXPECT_EQ(VerifyDetached(bob, Payload(), opensslSign("gt-root", "md_gost12_256", "")), kCaSigner);
  ASSERT_EQ(Shell("openssl pkcs12 -export -engine gost -inkey " + F("gt-root.key") + " -in " + F("gt-root.pem") +
                  " -passout pass: -out " + F("gt-root.p12")),
            0);
  Session root(W().Path("gt-root.pse"), store);
  TelvoraExportParams ip{16, nullptr};
  ASSERT_EQ(P().VCERT_ImportFile(root, &ip, W().Path("gt-root.p12").c_str()), 0);
  Bytes hash(32, 7);
  TelvoraBlob h = Blob(hash), out{};
  EXPECT_EQ(P().VCERT_SignHashMem(root, 0, &h, &out), kCaSigner);
  TelvoraSignParams sp{3, nullptr};
  TelvoraBlob in = Blob(Payload());
  EXPECT_EQ(P().VCERT_SignMem(root, &sp, &in, nullptr, &out), kCaSigner);
}

// Without the engine, as CPKI1_NO_GOST makes it on either build (its own
// process, see suite.cmake): the tool makes no GOST keys, the EC and RSA
// parties work, GOST keys and messages get kGostUnavailable.
TEST(GostWithoutEngine, GostKeysAndMessagesGetAClearStatus) {
  if (std::getenv("CPKI1_TEST_WITHOUT_GOST") == nullptr) GTEST_SKIP() << "run by openssl_gost_without_engine";
  G();
  EXPECT_NE(ShellStatus("CPKI1_NO_GOST=1 " + Quote(CPKI1_TOOL) + " ca --ca " + F("ngca") +
                        " --subject 'CN=No GOST CA,C=RU' --algorithm gost2012_256 >" + F("ngca.log") + " 2>&1"),
            0);
  Bytes log = ReadBytes(W().Path("ngca.log"));
  EXPECT_NE(std::string(log.begin(), log.end()).find("GOST engine"), std::string::npos);
  WriteBytes(W().Path("gpayload.bin"), Payload());
  ASSERT_EQ(Shell("openssl cms -sign -engine gost -binary -outform DER -in " + F("gpayload.bin") + " -signer " +
                  F("gal.crt") + " -inkey " + F("gal.key") + " -out " + F("ne.p7s") +
                  " && openssl cms -encrypt -engine gost -binary -kuznyechik-ctr-acpkm -outform DER -in " +
                  F("gpayload.bin") + " -out " + F("ne.p7e") + " " + F("gal.crt")),
            0);
  // From here on this process has no engine: the provider looks for it at
  // its first session.
  SetVar("CPKI1_NO_GOST", "1");
  ASSERT_EQ(P().OutstandingBlocks(), 0);
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  std::string url = "pse://signed/" + W().Path("gal.pse");
  rec.PSEUrl = url.c_str();
  TelvoraSession s = 0;
  EXPECT_EQ(P().VCERT_InitializeEx(1, &rec, &s), kGostUnavailable);
  {
    Session bob(W().Path("bob.pse"), GStore());
    Session alice(W().Path("alice.pse"), GStore());
    EXPECT_EQ(VerifyDetached(bob, Payload(), Sign(alice, 3, Payload())), 0);
    EXPECT_EQ(VerifyDetached(bob, Payload(), ReadBytes(W().Path("ne.p7s"))), kGostUnavailable);
    Bytes message, plain;
    EXPECT_EQ(Encrypt(alice, {"bob"}, message), 0);
    EXPECT_EQ(Decrypt(bob, message, &plain), 0);
    EXPECT_EQ(Encrypt(alice, {"gal"}, message), kGostUnavailable);
    EXPECT_EQ(Decrypt(bob, ReadBytes(W().Path("ne.p7e")), &plain), kGostUnavailable);
    Bytes cert = ReadBytes(W().Path("gal.der")), sig(64, 1), hash(32, 2);
    TelvoraBlob c = Blob(cert), h = Blob(hash), g = Blob(sig);
    EXPECT_EQ(P().VCERT_VerifyHashMem(bob, 0, &c, &h, &g), kGostUnavailable);
    TelvoraCertInfo info{};
    ASSERT_EQ(P().VCERT_ParseCert(bob, &c, TELVORA_FIELD_ALL, &info), 0);
    EXPECT_STREQ(info.PublicKeyAlgorithm, "GOST R 34.10-2012 256");
    EXPECT_EQ(P().VCERT_FreeCert(bob, &info), 0);
  }
  EXPECT_EQ(P().OutstandingBlocks(), 0);
}

}  // namespace
}  // namespace cpki1test
