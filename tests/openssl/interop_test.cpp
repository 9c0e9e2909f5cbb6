// The provider's messages against the openssl command, and the other way round.
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>

#include <cstring>
#include <ctime>

#include "openssl_support.h"

namespace cpki1test {
namespace {

std::string Store() { return W().Path("store.pem"); }

const Bytes &Payload() {
  static const Bytes data = [] {
    std::string s = "first line\r\nsecond line\n\x00\xff tail";
    s.push_back('\0');
    return Bytes(s.begin(), s.end());
  }();
  return data;
}

TEST_F(ProviderTest, OpensslVerifiesDetachedAndEnclosedSignatures) {
  Session alice(W().Path("alice.pse"), Store());
  WriteBytes(W().Path("payload.bin"), Payload());
  WriteBytes(W().Path("detached.p7s"), Sign(alice, 3, Payload()));
  WriteBytes(W().Path("enclosed.p7m"), Sign(alice, 1, Payload()));
  std::string ca = " -CAfile " + F("ca/ca.cert.pem");
  EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + F("detached.p7s") + " -content " + F("payload.bin") +
                  ca + " -out /dev/null"),
            0);
  EXPECT_EQ(Shell("openssl cms -verify -binary -inform DER -in " + F("enclosed.p7m") + ca + " -out " + F("out.bin")),
            0);
  EXPECT_EQ(ReadBytes(W().Path("out.bin")), Payload());
  // SHA-256 signer digests.
  EXPECT_EQ(Shell("openssl cms -cmsout -print -inform DER -in " + F("detached.p7s") + " | grep -q 'algorithm: sha256'"),
            0);
}

TEST_F(ProviderTest, DecryptsWhatOpensslEncryptedForEcAndRsaParties) {
  WriteBytes(W().Path("payload.bin"), Payload());
  for (const char *party : {"bob", "rita"}) {
    std::string name = party;
    ASSERT_EQ(Shell("openssl cms -encrypt -binary -aes256 -outform DER -in " + F("payload.bin") + " -out " +
                    F(name + ".p7e") + " " + F(name + ".der")),
              0);
    Session s(W().Path(name + ".pse"), Store());
    Bytes plain;
    EXPECT_EQ(Decrypt(s, ReadBytes(W().Path(name + ".p7e")), &plain), 0) << name;
    EXPECT_EQ(plain, Payload());
    Session other(W().Path("alice.pse"), Store());
    EXPECT_EQ(Decrypt(other, ReadBytes(W().Path(name + ".p7e")), &plain), kNotRecipient);
  }
}

TEST_F(ProviderTest, OpensslDecryptsWhatTheProviderEncrypted) {
  Session alice(W().Path("alice.pse"), Store());
  for (const char *party : {"bob", "rita"}) {
    std::string name = party;
    Bytes cert = ReadBytes(W().Path(name + ".der"));
    TelvoraCertInfo recipient{};
    recipient.Encoded = Blob(cert);
    TelvoraCryptParams cp{1, nullptr, 1, &recipient};
    TelvoraBlob in = Blob(Payload()), out{};
    ASSERT_EQ(P().VCERT_EncryptMem(alice, &cp, &in, &out), 0);
    WriteBytes(W().Path(name + "-from-provider.p7e"), Take(alice, out));
    EXPECT_EQ(Shell("openssl cms -decrypt -binary -inform DER -in " + F(name + "-from-provider.p7e") + " -recip " +
                    F(name + ".der") + " -inkey " + F(name + ".key") + " -out " + F(name + ".plain")),
              0);
    EXPECT_EQ(ReadBytes(W().Path(name + ".plain")), Payload()) << name;
  }
  // The EC key agreement derives its key with SHA-256, not OpenSSL 3.0's SHA-1.
  EXPECT_EQ(Shell("openssl cms -cmsout -print -inform DER -in " + F("bob-from-provider.p7e") +
                  " | grep -q dhSinglePass-stdDH-sha256kdf-scheme"),
            0);
}

TEST_F(ProviderTest, ImportsAKeyStoreMadeByOpenssl) {
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("bob.der") + " -out " + F("bob.crt") +
                  " && openssl pkcs12 -export -inkey " + F("bob.key") + " -in " + F("bob.crt") + " -certfile " +
                  F("ca/ca.cert.pem") + " -passout pass: -out " + F("bob-openssl.p12")),
            0);
  Session s(W().Path("imported.pse"), Store());
  TelvoraExportParams fp{16, nullptr};
  ASSERT_EQ(P().VCERT_ImportFile(s, &fp, W().Path("bob-openssl.p12").c_str()), 0);
  EXPECT_EQ(FindOne(s, 1, ""), ReadBytes(W().Path("bob.der")));
  Bytes plain;
  Bytes cert = ReadBytes(W().Path("bob.der"));
  TelvoraCertInfo recipient{};
  recipient.Encoded = Blob(cert);
  TelvoraCryptParams cp{1, nullptr, 1, &recipient};
  TelvoraBlob in = Blob(Payload()), out{};
  ASSERT_EQ(P().VCERT_EncryptMem(s, &cp, &in, &out), 0);
  EXPECT_EQ(Decrypt(s, Take(s, out), &plain), 0);
  EXPECT_EQ(plain, Payload());
}

TEST_F(ProviderTest, ParsesACertificateMadeByOpenssl) {
  const World &w = W();
  std::string ext = "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=clientAuth\n";
  WriteBytes(w.Path("dave.ext"), Bytes(ext.begin(), ext.end()));
  ASSERT_EQ(Shell("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + F("dave.key") +
                  " -subj '/C=RU/O=Interop/CN=Dave' -out " + F("dave.csr")),
            0);
  time_t before = time(nullptr);
  ASSERT_EQ(
      Shell("openssl x509 -req -in " + F("dave.csr") + " -CA " + F("ca/ca.cert.pem") + " -CAkey " + F("ca/ca.key.pem") +
            " -set_serial 0x0A1B2C -days 10 -extfile " + F("dave.ext") + " -outform DER -out " + F("dave.der")),
      0);
  Session s("", Store());
  Bytes der = ReadBytes(w.Path("dave.der"));
  TelvoraBlob blob = Blob(der);
  TelvoraCertInfo info{};
  ASSERT_EQ(P().VCERT_ParseCert(s, &blob, TELVORA_FIELD_ALL, &info), 0);
  EXPECT_STREQ(info.Subject, "CN=Dave,O=Interop,C=RU");
  EXPECT_STREQ(info.Issuer, "CN=Test CA,O=Example,C=RU");
  EXPECT_STREQ(info.SerialNumber, "0A:1B:2C");
  EXPECT_STREQ(info.PublicKeyAlgorithm, "EC P-256");
  EXPECT_LE(std::abs(static_cast<long>(info.NotBefore) - static_cast<long>(before)), 120);
  EXPECT_EQ(info.NotAfter - info.NotBefore, 10u * 86400u);
  EXPECT_EQ(info.KeyUsage, 0x0A);  // 0xA0 >> 4
  ASSERT_EQ(info.ExtKeyUsageCount, 1);
  EXPECT_STREQ(info.ExtKeyUsage[0], "1.3.6.1.5.5.7.3.2");
  EXPECT_EQ(info.PrivateKeyNotBefore, 0u);
  EXPECT_EQ(P().VCERT_FreeCert(s, &info), 0);
}

TEST_F(ProviderTest, RefusesRevokedAndExpiredSignersOfOpensslSignatures) {
  WriteBytes(W().Path("payload.bin"), Payload());
  Session bob(W().Path("bob.pse"), Store());
  Session strict(W().Path("bob.pse"), Store(), 2 /* CHECKEXPIRED */);
  struct Case {
    const char *party;
    int32_t status;
  } cases[] = {{"alice", 0}, {"rev", kRevoked}, {"old", kExpired}};
  for (const auto &c : cases) {
    std::string name = c.party;
    ASSERT_EQ(Shell("openssl cms -sign -binary -md sha256 -outform DER -in " + F("payload.bin") + " -signer " +
                    F(name + ".der") + " -inkey " + F(name + ".key") + " -out " + F(name + ".p7s")),
              0);
    Bytes sig = ReadBytes(W().Path(name + ".p7s"));
    EXPECT_EQ(VerifyDetached(bob, Payload(), sig), c.status) << name;
    EXPECT_EQ(VerifyDetached(strict, Payload(), sig), c.status) << name;
  }
}

// A detached signature by a party's key that claims a signing time, made with
// libcrypto (the openssl command always writes the current time).
Bytes SignedAt(const std::string &party, time_t when, const Bytes &data) {
  Bytes certDer = ReadBytes(W().Path(party + ".der")), keyPem = ReadBytes(W().Path(party + ".key"));
  const uint8_t *p = certDer.data();
  X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  BIO *kb = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
  EVP_PKEY *key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
  BIO *in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  unsigned int flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
  CMS_ContentInfo *cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, flags);
  CMS_SignerInfo *si = CMS_add1_signer(cms, cert, key, EVP_sha256(), flags);
  ASN1_TIME *t = ASN1_UTCTIME_set(nullptr, when);
  CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, t, -1);
  Bytes out;
  if (CMS_final(cms, in, nullptr, flags)) {
    unsigned char *der = nullptr;
    int n = i2d_CMS_ContentInfo(cms, &der);
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
  }
  ASN1_TIME_free(t);
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  BIO_free(kb);
  EVP_PKEY_free(key);
  X509_free(cert);
  return out;
}

TEST_F(ProviderTest, AcceptsAnExpiredSignerOnlyForSignaturesMadeWhileValid) {
  Session bob(W().Path("bob.pse"), Store());
  Session strict(W().Path("bob.pse"), Store(), 2 /* CHECKEXPIRED */);
  time_t now = time(nullptr);
  Bytes whileValid = SignedAt("old", now - 35 * 86400, Payload());
  Bytes afterExpiry = SignedAt("old", now - 5 * 86400, Payload());
  Bytes revoked = SignedAt("rev", now - 86400, Payload());
  ASSERT_FALSE(whileValid.empty());
  EXPECT_EQ(VerifyDetached(bob, Payload(), whileValid), 0);
  EXPECT_EQ(VerifyDetached(strict, Payload(), whileValid), kExpired);
  EXPECT_EQ(VerifyDetached(bob, Payload(), afterExpiry), kExpired);
  EXPECT_EQ(VerifyDetached(bob, Payload(), revoked), kRevoked);  // revocation is checked now
}

TEST_F(ProviderTest, OpensslVerifiesTheBareHashSignature) {
  Session alice(W().Path("alice.pse"), Store());
  TelvoraBlob in = Blob(Payload()), hash{};
  ASSERT_EQ(P().VCERT_HashMem(alice, &in, &hash), 0);
  Bytes digest = Take(alice, hash);
  TelvoraBlob h = Blob(digest), sig{};
  ASSERT_EQ(P().VCERT_SignHashMem(alice, 0, &h, &sig), 0);
  Bytes raw = Take(alice, sig);
  ASSERT_EQ(raw.size(), 64u);
  // r || s -> DER ECDSA-Sig-Value.
  ECDSA_SIG *ecdsa = ECDSA_SIG_new();
  ECDSA_SIG_set0(ecdsa, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
  unsigned char *der = nullptr;
  int len = i2d_ECDSA_SIG(ecdsa, &der);
  ASSERT_GT(len, 0);
  WriteBytes(W().Path("hash.sig"), Bytes(der, der + len));
  OPENSSL_free(der);
  ECDSA_SIG_free(ecdsa);
  WriteBytes(W().Path("hash.bin"), digest);
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("alice.der") + " -pubkey -noout -out " + F("alice.pub")), 0);
  EXPECT_EQ(Shell("openssl pkeyutl -verify -pubin -inkey " + F("alice.pub") + " -in " + F("hash.bin") + " -sigfile " +
                  F("hash.sig")),
            0);
  WriteBytes(W().Path("payload.bin"), Payload());
  EXPECT_EQ(Shell("openssl dgst -sha256 -binary -out " + F("hash2.bin") + " " + F("payload.bin")), 0);
  EXPECT_EQ(ReadBytes(W().Path("hash2.bin")), digest);
}

}  // namespace
}  // namespace cpki1test
