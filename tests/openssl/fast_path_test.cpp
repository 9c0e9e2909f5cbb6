// The provider's faster paths keep what the slower ones checked: remembered
// chain checks end when a store changes, carried certificates count by their
// bytes, an originator key off the curve opens nothing, and the directly
// written SignedData, AuthEnvelopedData and EnvelopedData are what OpenSSL
// writes and reads.
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "openssl_support.h"

namespace cpki1test {
namespace {

// A message alice sealed for bob, that opens for him; empty when not.
Bytes SealedForBob(TelvoraSession alice, TelvoraSession bob, const Bytes &data) {
  Bytes message, plain;
  EXPECT_EQ(EncryptFor(alice, {ReadBytes(W().Path("bob.der"))}, data, &message), 0);
  EXPECT_EQ(Decrypt(bob, message, &plain), 0);
  EXPECT_EQ(plain, data);
  return plain == data ? message : Bytes();
}

// The layout of a DER message: every element's tag and length, and the
// content of every primitive element but the random ones (BIT STRING and
// OCTET STRING: keys, nonces, tags; a context-specific primitive: the
// encrypted content).
void Layout(const unsigned char *p, long len, std::ostringstream &out, int depth) {
  const unsigned char *end = p + len;
  while (p < end) {
    long n = 0;
    int tag = 0, cls = 0;
    const int r = ASN1_get_object(&p, &n, &tag, &cls, end - p);
    if ((r & 0x80) != 0 || n > end - p) {
      out << "bad@" << depth;
      return;
    }
    out << depth << ':' << cls << '/' << tag << '/' << n;
    if (r & V_ASN1_CONSTRUCTED) {
      out << "{";
      Layout(p, n, out, depth + 1);
      out << "}";
    } else if (cls == V_ASN1_UNIVERSAL && tag != V_ASN1_OCTET_STRING && tag != V_ASN1_BIT_STRING) {
      out << '=' << std::string(p, p + n);
    }
    p += n;
  }
}

std::string Layout(const Bytes &der) {
  std::ostringstream out;
  Layout(der.data(), static_cast<long>(der.size()), out, 0);
  return out.str();
}

// A chain check that succeeded is remembered, but a CRL written into the
// store from outside (by cpki1-tool, another process) ends it at once, for
// recipients and for signers alike.
TEST_F(ProviderTest, RememberedChainsEndWhenTheStoreChanges) {
  const World &w = W();
  const std::string store = w.Path("memo-store.pem");
  std::filesystem::copy_file(w.Path("store.pem"), store, std::filesystem::copy_options::overwrite_existing);
  w.Issue("memo", "--usage both");
  const Bytes memoCert = ReadBytes(w.Path("memo.der")), data = Text("order 7");
  Session alice(w.Path("alice.pse"), store);
  Session memo(w.Path("memo.pse"), store);
  const Bytes signature = Sign(memo, 3, data);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(EncryptFor(alice, {memoCert}, data), 0);
    EXPECT_EQ(VerifyDetached(alice, data, signature), 0);
  }
  ASSERT_EQ(Shell(Quote(w.tool) + " revoke --ca " + Quote(w.Path("ca")) + " --cert " + Quote(w.Path("memo.der")) +
                  " --store " + Quote(store)),
            0);
  EXPECT_EQ(EncryptFor(alice, {memoCert}, data), kRevoked);
  EXPECT_EQ(VerifyDetached(alice, data, signature), kRevoked);
}

// The certificates a signature carries are taken from those parsed before
// by their very bytes: a carried certificate changed in one byte of its CA's
// signature is parsed anew and fails its chain, and the whole one still
// verifies after it.
TEST_F(ProviderTest, ACarriedCertificateCountsByItsVeryBytes) {
  const World &w = W();
  w.Issue("carrier", "--usage both");  // in no store: only the message carries it
  Session carrier(w.Path("carrier.pse"), w.Path("store.pem"));
  Session bob(w.Path("bob.pse"), w.Path("store.pem"));
  const Bytes data = Text("carried"), cert = ReadBytes(w.Path("carrier.der"));
  const Bytes signature = Sign(carrier, 3, data);
  const auto at = std::search(signature.begin(), signature.end(), cert.begin(), cert.end());
  ASSERT_NE(at, signature.end());
  Bytes changed = signature;
  changed[static_cast<std::size_t>(at - signature.begin()) + cert.size() - 5] ^= 0x01;
  EXPECT_EQ(VerifyDetached(bob, data, signature), 0);
  EXPECT_EQ(VerifyDetached(bob, data, changed), kUntrusted);
  EXPECT_EQ(VerifyDetached(bob, data, signature), 0);
}

// A session looks at its key store's file only now and then; a key store
// that another session of this process writes counts for it at once.
TEST_F(ProviderTest, AKeyStoreWrittenInThisProcessCountsAtOnce) {
  const World &w = W();
  const std::string pse = w.Path("shared-keys.pse");
  std::filesystem::copy_file(w.Path("alice.pse"), pse, std::filesystem::copy_options::overwrite_existing);
  Session writer(pse, w.Path("store.pem")), reader(pse, w.Path("store.pem"));
  EXPECT_EQ(FindOne(reader, 1, ""), ReadBytes(w.Path("alice.der")));
  TelvoraExportParams ip{16, nullptr};
  const Bytes bob = ReadBytes(w.Path("bob.pse"));
  TelvoraBlob blob = Blob(bob);
  ASSERT_EQ(P().VCERT_ImportMem(writer, &ip, &blob), 0);
  EXPECT_EQ(FindOne(reader, 1, ""), ReadBytes(w.Path("bob.der")));
}

// The originator's public key of a message for bob, changed in place: a
// point off the curve opens nothing, whichever coordinate is changed.
TEST_F(ProviderTest, AnOriginatorKeyOffTheCurveOpensNothing) {
  const World &w = W();
  Session alice(w.Path("alice.pse"), w.Path("store.pem"));
  Session bob(w.Path("bob.pse"), w.Path("store.pem"));
  const Bytes data = Text("for bob only");
  const Bytes message = SealedForBob(alice, bob, data);
  ASSERT_FALSE(message.empty());
  // BIT STRING of 66 bytes: no unused bits, an uncompressed point.
  const Bytes head{0x03, 0x42, 0x00, 0x04};
  const auto at = std::search(message.begin(), message.end(), head.begin(), head.end());
  ASSERT_NE(at, message.end());
  const std::size_t point = static_cast<std::size_t>(at - message.begin()) + head.size();
  for (std::size_t offset : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
    Bytes changed = message;
    changed[point + offset] ^= 0x01;
    EXPECT_NE(Decrypt(bob, changed), 0) << "byte " << offset << " of the point";
    // What the provider relies on: OpenSSL refuses such a point while
    // decoding it, before any key agreement.
    EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    ASSERT_NE(pkey, nullptr);
    EXPECT_NE(EVP_PKEY_set1_encoded_public_key(pkey, &changed[point - 1], 65), 1) << "byte " << offset;
    EVP_PKEY_free(pkey);
  }
}

// The provider reads its own AuthEnvelopedData for EC keys without OpenSSL's
// CMS code, and leaves everything else to it. Whichever byte of such a
// message is changed, and whichever path then reads it, nothing opens but
// the very content sent.
TEST_F(ProviderTest, NoChangedByteOfADirectMessageOpensOtherContent) {
  const World &w = W();
  Session alice(w.Path("alice.pse"), w.Path("store.pem"));
  Session bob(w.Path("bob.pse"), w.Path("store.pem"));
  const Bytes data = Text("PAY 100 TO BOB");
  const Bytes message = SealedForBob(alice, bob, data);
  ASSERT_FALSE(message.empty());
  Bytes plain;
  std::map<int32_t, int> statuses;
  for (std::size_t i = 0; i < message.size(); ++i) {
    for (int mask : {0x01, 0x80}) {
      Bytes damaged = message;
      damaged[i] = static_cast<uint8_t>(damaged[i] ^ mask);
      plain.clear();
      const int32_t st = Decrypt(bob, damaged, &plain);
      ++statuses[st];
      if (st == 0) {
        EXPECT_EQ(plain, data) << "byte " << i;
      }
      EXPECT_TRUE(st == 0 || st == kDecryptFailed || st == kNotRecipient || st == kBadEncoding)
          << "byte " << i << ": " << std::hex << st;
    }
  }
  // The key agreement, the wrapped key, the content and the tag are checked.
  EXPECT_GT(statuses[kDecryptFailed], 2 * 100);
}

// SignedData of an EC key is DER that OpenSSL encodes again to the same
// bytes, with exactly the signed attributes contentType, signingTime,
// messageDigest and signingCertificateV2, and it verifies with OpenSSL against
// the CA.
TEST_F(ProviderTest, DirectSignedDataIsWhatOpenSslWrites) {
  const World &w = W();
  Session alice(w.Path("alice.pse"), w.Path("store.pem"));
  const Bytes data = Text("enclosed and detached\r\n\x00\xff");
  X509_STORE *anchors = X509_STORE_new();
  ASSERT_EQ(X509_STORE_load_file(anchors, w.Path("ca/ca.cert.pem").c_str()), 1);
  for (int32_t flags : {1, 3}) {
    const Bytes der = Sign(alice, flags, data);
    const unsigned char *p = der.data();
    CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(cms, nullptr);
    unsigned char *again = nullptr;
    const int n = i2d_CMS_ContentInfo(cms, &again);
    EXPECT_EQ(Bytes(again, again + std::max(n, 0)), der) << "flags " << flags;
    OPENSSL_free(again);
    CMS_SignerInfo *si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(CMS_signed_get_attr_count(si), 4);
    for (int nid : {NID_pkcs9_contentType, NID_pkcs9_signingTime, NID_pkcs9_messageDigest,
                    NID_id_smime_aa_signingCertificateV2}) {
      EXPECT_GE(CMS_signed_get_attr_by_NID(si, nid, -1), 0) << OBJ_nid2sn(nid);
    }
    BIO *content = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(CMS_verify(cms, nullptr, anchors, flags == 3 ? content : nullptr, nullptr, CMS_BINARY), 1);
    BIO_free(content);
    CMS_ContentInfo_free(cms);
  }
  X509_STORE_free(anchors);
}

// EnvelopedData for EC recipients is DER that OpenSSL encodes again to the
// same bytes, and OpenSSL's own CMS_decrypt (which validates the originator's
// key in full) opens it with each recipient's key.
TEST_F(ProviderTest, DirectEnvelopedDataIsWhatOpenSslReads) {
  const World &w = W();
  Session alice(w.Path("alice.pse"), w.Path("store.pem"));
  const Bytes data = Text("to both\r\n\x00\xff"), aliceCert = ReadBytes(w.Path("alice.der")),
              bobCert = ReadBytes(w.Path("bob.der"));
  TelvoraCertInfo recs[2]{};
  recs[0].Encoded = Blob(aliceCert);
  recs[1].Encoded = Blob(bobCert);
  TelvoraCryptParams cp{1, nullptr, 2, recs};
  TelvoraBlob in = Blob(data), out{};
  ASSERT_EQ(P().VCERT_EncryptMem(alice, &cp, &in, &out), 0);
  const Bytes der = Take(alice, out);
  const unsigned char *p = der.data();
  CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(cms, nullptr);
  unsigned char *again = nullptr;
  const int n = i2d_CMS_ContentInfo(cms, &again);
  EXPECT_EQ(Bytes(again, again + std::max(n, 0)), der);
  OPENSSL_free(again);
  EXPECT_EQ(sk_CMS_RecipientInfo_num(CMS_get0_RecipientInfos(cms)), 2);
  for (const std::string name : {"alice", "bob"}) {
    FILE *f = std::fopen(w.Path(name + ".key").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    const Bytes certDer = ReadBytes(w.Path(name + ".der"));
    const unsigned char *c = certDer.data();
    X509 *cert = d2i_X509(nullptr, &c, static_cast<long>(certDer.size()));
    BIO *plain = BIO_new(BIO_s_mem());
    EXPECT_EQ(CMS_decrypt(cms, key, cert, nullptr, plain, CMS_BINARY), 1) << name;
    char *bytes = nullptr;
    const long len = BIO_get_mem_data(plain, &bytes);
    EXPECT_EQ(Bytes(bytes, bytes + std::max(len, 0L)), data) << name;
    BIO_free(plain);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  CMS_ContentInfo_free(cms);
}

// The directly written AuthEnvelopedData (AES-256-GCM) for an EC recipient
// has the very layout of what openssl cms -encrypt -aes-256-gcm writes for
// that recipient, and openssl cms -decrypt opens it; a changed tag opens
// nothing.
TEST_F(ProviderTest, DirectAuthEnvelopedDataIsWhatOpenSslWrites) {
  const World &w = W();
  Session alice(w.Path("alice.pse"), w.Path("store.pem"));
  Session bob(w.Path("bob.pse"), w.Path("store.pem"));
  for (const std::size_t size : {std::size_t{0}, std::size_t{1000}}) {
    const Bytes data(size, 0x5A);
    WriteBytes(w.Path("gcm-plain.bin"), data);
    ASSERT_EQ(Shell("openssl cms -encrypt -binary -aes-256-gcm -outform DER -in " + Quote(w.Path("gcm-plain.bin")) +
                    " -out " + Quote(w.Path("gcm-openssl.p7e")) + " -recip " + Quote(w.Path("bob.der")) +
                    " -keyopt ecdh_kdf_md:sha256"),
              0);
    Bytes message;
    ASSERT_EQ(EncryptFor(alice, {ReadBytes(w.Path("bob.der"))}, data, &message), 0);
    EXPECT_EQ(Layout(message), Layout(ReadBytes(w.Path("gcm-openssl.p7e")))) << size;
    WriteBytes(w.Path("gcm-direct.p7e"), message);
    EXPECT_EQ(Shell("openssl cms -decrypt -binary -inform DER -in " + Quote(w.Path("gcm-direct.p7e")) + " -recip " +
                    Quote(w.Path("bob.der")) + " -inkey " + Quote(w.Path("bob.key")) + " -out " +
                    Quote(w.Path("gcm-direct.out"))),
              0);
    EXPECT_EQ(ReadBytes(w.Path("gcm-direct.out")), data) << size;
    Bytes plain;
    EXPECT_EQ(Decrypt(bob, message, &plain), 0);
    EXPECT_EQ(plain, data);
    message.back() ^= 0x01;  // the last byte of the tag
    EXPECT_NE(Decrypt(bob, message), 0) << size;
  }
}

}  // namespace
}  // namespace cpki1test
