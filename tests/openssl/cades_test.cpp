// The signed attribute signingCertificateV2 that binds a signature to its
// signer's certificate: what the provider writes against the openssl command,
// and what the provider refuses when a message names another certificate.
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>

#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int32_t kWeakAlgorithm = S(0xE0720125u), kSigningCertMismatch = S(0xE0720150u);

std::string Store() { return W().Path("store.pem"); }
const Bytes &Payload() {
  static const Bytes data = Text("signed with the signer's certificate named\r\n");
  return data;
}

template <auto F>
struct Free {
  template <class T>
  void operator()(T *p) const {
    F(p);
  }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Free<CMS_ContentInfo_free>>;
using CertPtr = std::unique_ptr<X509, Free<X509_free>>;

CmsPtr ReadCms(const Bytes &der) {
  const uint8_t *p = der.data();
  return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}
CertPtr ReadCert(const std::string &name) {
  Bytes der = ReadBytes(W().Path(name + ".der"));
  const uint8_t *p = der.data();
  return CertPtr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}
Bytes Der(CMS_ContentInfo *cms) {
  unsigned char *der = nullptr;
  const int n = i2d_CMS_ContentInfo(cms, &der);
  Bytes out(der, der + std::max(n, 0));
  OPENSSL_free(der);
  return out;
}

// The value of the first signer's signingCertificateV2 as encoded; empty
// without one.
Bytes SigningCertValue(const Bytes &message) {
  CmsPtr cms = ReadCms(message);
  if (!cms) return {};
  CMS_SignerInfo *si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  const int at = CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, -1);
  if (at < 0 || X509_ATTRIBUTE_count(CMS_signed_get_attr(si, at)) != 1) return {};
  const ASN1_TYPE *t = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, at), 0);
  if (t->type != V_ASN1_SEQUENCE) return {};
  const uint8_t *p = ASN1_STRING_get0_data(t->value.sequence);
  return Bytes(p, p + ASN1_STRING_length(t->value.sequence));
}

// The party's certificate as PEM for the openssl command: its file, quoted.
std::string Pem(const std::string &name) {
  Shell("openssl x509 -inform DER -in " + F(name + ".der") + " -out " + F(name + ".crt"));
  return F(name + ".crt");
}

TEST_F(ProviderTest, SignaturesNameTheSignersCertificateAsOpensslCadesDoes) {
  WriteBytes(W().Path("cades.bin"), Payload());
  Session bob(W().Path("bob.pse"), Store());
  for (const char *party : {"alice", "rita"}) {  // the direct writer and CMS_sign
    const std::string name = party;
    Session s(W().Path(name + ".pse"), Store());
    const Bytes ours = Sign(s, 3, Payload());
    WriteBytes(W().Path(name + "-cades.p7s"), ours);
    // -cades requires the attribute and checks it against the signer.
    EXPECT_EQ(Shell("openssl cms -verify -cades -binary -inform DER -in " + F(name + "-cades.p7s") + " -content " +
                    F("cades.bin") + " -CAfile " + F("ca/ca.cert.pem") + " -out /dev/null"),
              0)
        << name;
    ASSERT_EQ(Shell("openssl cms -sign -cades -binary -md sha256 -outform DER -in " + F("cades.bin") + " -signer " +
                    Pem(name) + " -inkey " + F(name + ".key") + " -out " + F(name + "-openssl-cades.p7s")),
              0);
    const Bytes theirs = ReadBytes(W().Path(name + "-openssl-cades.p7s"));
    EXPECT_FALSE(SigningCertValue(ours).empty()) << name;
    EXPECT_EQ(SigningCertValue(ours), SigningCertValue(theirs)) << name;
    EXPECT_EQ(VerifyDetached(bob, Payload(), theirs), 0) << name;
  }
}

// A message whose signer identifier and certificates are changed to name a
// second certificate the CA issued for the same key: the signature still
// verifies with that certificate's key, and its chain is sound.
Bytes Substituted(const Bytes &message, X509 *other) {
  CmsPtr cms = ReadCms(message);
  if (!cms) return {};
  CMS_SignerInfo *si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  ASN1_OCTET_STRING *keyId = nullptr;
  X509_NAME *issuer = nullptr;
  ASN1_INTEGER *serial = nullptr;
  if (CMS_SignerInfo_get0_signer_id(si, &keyId, &issuer, &serial) != 1 || serial == nullptr ||
      ASN1_STRING_copy(serial, X509_get0_serialNumber(other)) != 1 || CMS_add1_cert(cms.get(), other) != 1)
    return {};
  return Der(cms.get());
}

TEST_F(ProviderTest, ASubstitutedSignerCertificateIsRefused) {
  char text[300];
  ASSERT_EQ(P().VCERT_GetErrorText(kSigningCertMismatch, text, sizeof text), 0);
  EXPECT_NE(std::strstr(text, "substituted"), nullptr) << text;
  Session bob(W().Path("bob.pse"), Store());
  WriteBytes(W().Path("cades.bin"), Payload());
  for (const char *party : {"alice", "rita"}) {
    const std::string name = party, second = name + "-again";
    W().Issue(second, "--usage both --key " + F(name + ".key"));
    CertPtr other = ReadCert(second);
    ASSERT_NE(other, nullptr) << second;
    Session s(W().Path(name + ".pse"), Store());
    const Bytes ours = Sign(s, 3, Payload());
    EXPECT_EQ(VerifyDetached(bob, Payload(), ours), 0) << name;
    EXPECT_EQ(VerifyDetached(bob, Payload(), Substituted(ours, other.get())), kSigningCertMismatch) << name;
    // Without the attribute nothing tells the certificates apart: the same
    // change passes.
    ASSERT_EQ(Shell("openssl cms -sign -binary -md sha256 -outform DER -in " + F("cades.bin") + " -signer " +
                    Pem(name) + " -inkey " + F(name + ".key") + " -out " + F(name + "-plain.p7s")),
              0);
    const Bytes plain = ReadBytes(W().Path(name + "-plain.p7s"));
    EXPECT_EQ(VerifyDetached(bob, Payload(), Substituted(plain, other.get())), 0) << name;
  }
}

// A detached signature by alice with a signed attribute of the type and value
// given, made with libcrypto.
Bytes SignedWith(int nid, const Bytes &value) {
  CertPtr cert = ReadCert("alice");
  Bytes keyPem = ReadBytes(W().Path("alice.key"));
  BIO *kb = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
  EVP_PKEY *key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
  BIO *in = BIO_new_mem_buf(Payload().data(), static_cast<int>(Payload().size()));
  const unsigned int flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL | CMS_NOSMIMECAP;
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  CMS_SignerInfo *si = cms ? CMS_add1_signer(cms.get(), cert.get(), key, EVP_sha256(), flags) : nullptr;
  Bytes out;
  if (si != nullptr &&
      CMS_signed_add1_attr_by_NID(si, nid, V_ASN1_SEQUENCE, value.data(), static_cast<int>(value.size())) == 1 &&
      CMS_final(cms.get(), in, nullptr, flags) == 1)
    out = Der(cms.get());
  BIO_free(in);
  EVP_PKEY_free(key);
  BIO_free(kb);
  return out;
}

Bytes Tlv(uint8_t tag, const Bytes &content) {
  Bytes out{tag, static_cast<uint8_t>(content.size())};  // short lengths only
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes Cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Digest(const EVP_MD *md, const Bytes &data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
  return Bytes(out, out + n);
}
// SigningCertificate(V2) with one ESSCertID(v2) of the fields given.
Bytes SigningCert(const Bytes &essCertId) { return Tlv(0x30, Tlv(0x30, Tlv(0x30, essCertId))); }

TEST_F(ProviderTest, SigningCertificateAttributesMustNameTheSigner) {
  Session bob(W().Path("bob.pse"), Store());
  const Bytes cert = ReadBytes(W().Path("alice.der")), other = ReadBytes(W().Path("bob.der"));
  const Bytes sha512 = Tlv(0x30, Bytes{0x06, 9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03});
  const Bytes sha1 = Tlv(0x30, Bytes{0x06, 5, 0x2B, 0x0E, 0x03, 0x02, 0x1A});
  // What the provider writes for alice, with another serial number.
  Session alice(W().Path("alice.pse"), Store());
  Bytes wrongSerial = SigningCertValue(Sign(alice, 3, Payload()));
  ASSERT_FALSE(wrongSerial.empty());
  wrongSerial.back() ^= 1;
  const int v1 = NID_id_smime_aa_signingCertificate, v2 = NID_id_smime_aa_signingCertificateV2;
  struct Case {
    const char *what;
    int nid;
    Bytes value;
    int32_t status;
  } cases[] = {
      {"v2 SHA-512", v2, SigningCert(Cat(sha512, Tlv(0x04, Digest(EVP_sha512(), cert)))), 0},
      {"v1", v1, SigningCert(Tlv(0x04, Digest(EVP_sha1(), cert))), 0},
      {"v2 of another certificate", v2, SigningCert(Tlv(0x04, Digest(EVP_sha256(), other))), kSigningCertMismatch},
      {"v1 of another certificate", v1, SigningCert(Tlv(0x04, Digest(EVP_sha1(), other))), kSigningCertMismatch},
      {"v2 with another serial", v2, wrongSerial, kSigningCertMismatch},
      {"v2 SHA-1", v2, SigningCert(Cat(sha1, Tlv(0x04, Digest(EVP_sha1(), cert)))), kWeakAlgorithm},
      {"no ESSCertID", v2, Bytes{0x30, 2, 0x30, 0}, kBadEncoding},
      {"not an ESSCertID", v2, Bytes{0x30, 5, 0x30, 3, 0x04, 1, 0}, kBadEncoding},
  };
  for (const Case &c : cases) {
    const Bytes message = SignedWith(c.nid, c.value);
    ASSERT_FALSE(message.empty()) << c.what;
    EXPECT_EQ(VerifyDetached(bob, Payload(), message), c.status) << c.what;
  }
}

}  // namespace
}  // namespace cpki1test
