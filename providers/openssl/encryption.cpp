// libcpki1.so: CMS encryption for recipient certificates, and decryption
// with the keys of the key store.
#include <openssl/rsa.h>

#include <cstring>

#include "gost.h"
#include "provider.h"

namespace cpki1 {
namespace {

// Whether a recipient info of the message names the certificate.
bool NamesRecipient(CMS_ContentInfo *cms, X509 *cert) {
  STACK_OF(CMS_RecipientInfo) *infos = CMS_get0_RecipientInfos(cms);
  for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo *ri = sk_CMS_RecipientInfo_value(infos, i);
    switch (CMS_RecipientInfo_type(ri)) {
      case CMS_RECIPINFO_TRANS:
        if (CMS_RecipientInfo_ktri_cert_cmp(ri, cert) == 0) return true;
        break;
      case CMS_RECIPINFO_AGREE: {
        STACK_OF(CMS_RecipientEncryptedKey) *keys = CMS_RecipientInfo_kari_get0_reks(ri);
        for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k) {
          if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k), cert) == 0) return true;
        }
        break;
      }
      default: break;
    }
  }
  return false;
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

int32_t VCERT_EncryptMem(TelvoraSession s, const TelvoraCryptParams *p, const TelvoraBlob *data, TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr || p->RecipientCount < 0) return kBadArgument;
    if (p->RecipientCount == 0) return kNoRecipients;
    if (p->Recipients == nullptr) return kBadArgument;
    // AuthEnvelopedData with AES-256-GCM, unless the profile asks for
    // EnvelopedData (AES-256-CBC) for peers that cannot read it.
    const EVP_CIPHER *ownCipher = session->envelopedCbc ? Algs().aes256cbc : Algs().aes256gcm;
    if (Algs().sha256 == nullptr || ownCipher == nullptr) return kInternal;
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    // A record names its certificate by its encoding or, as the library's
    // searches with Fields 3 leave it, by issuer and serial number.
    std::vector<X509UPtr> recipients;
    for (int32_t i = 0; i < p->RecipientCount; ++i) {
      const TelvoraCertInfo &rec = p->Recipients[i];
      X509UPtr x;
      if (rec.Encoded.Length > 0) {
        if (!BlobOk(&rec.Encoded)) return kBadArgument;
        x.reset(CertFromDer(rec.Encoded.Data, static_cast<std::size_t>(rec.Encoded.Length)).release());
        if (!x) return kBadEncoding;
      } else {
        if (rec.Issuer == nullptr || rec.SerialNumber == nullptr) return kBadArgument;
        X509 *known = FindByIssuerSerial(*certs, *keys, rec.Issuer, rec.SerialNumber);
        if (known == nullptr) return kUnknownRecipient;
        X509_up_ref(known);
        x.reset(known);
      }
      if (int32_t st = gost::CertUsable(x.get()); st != kOk) return st;
      if (int32_t st = CheckChain(x.get(), *certs, *keys, nullptr, ChainRules{session->flags, std::nullopt}); st != kOk)
        return st;
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      uint32_t usage = gost::IsGostKey(key) ? gost::RecipientUsage() : ec ? KU_KEY_AGREEMENT : KU_KEY_ENCIPHERMENT;
      if (!UsageAllows(x.get(), usage)) return kKeyUsage;
      recipients.push_back(std::move(x));
    }
    // GOST recipients get the profile's GOST cipher (the engine's key export)
    // in EnvelopedData; the others the cipher above.
    const EVP_CIPHER *cipher = nullptr;
    if (int32_t st = gost::CipherFor(recipients, session->gost, ownCipher, cipher); st != kOk) return st;
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL));
    if (!cms) return kEncryptFailed;
    for (auto &x : recipients) {
      if (gost::CertKeyBits(x.get()) != 0) {
        if (int32_t st = gost::AddRecipient(cms.get(), x.get(), cipher); st != kOk) return st;
        continue;
      }
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      CMS_RecipientInfo *ri = CMS_add1_recipient_cert(cms.get(), x.get(), CMS_KEY_PARAM);
      if (ri == nullptr) return kEncryptFailed;
      EVP_PKEY_CTX *pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
      if (pctx == nullptr) return kEncryptFailed;
      if (ec) {
        // OpenSSL 3.0 would derive the key-wrapping key with SHA-1.
        if (EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, Algs().sha256) <= 0) return kEncryptFailed;
      } else if (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_OAEP_PADDING) <= 0 ||
                 EVP_PKEY_CTX_set_rsa_oaep_md(pctx, Algs().sha256) <= 0 ||
                 EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, Algs().sha256) <= 0) {
        return kEncryptFailed;  // RSA recipients: RSAES-OAEP with SHA-256
      }
    }
    BioPtr in = BlobBio(data);
    if (!in || !CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY)) return kEncryptFailed;
    Bytes der = CmsDer(cms.get());
    if (der.empty()) return kEncryptFailed;
    return HandOut(s, std::move(der), out);
  });
}

int32_t VCERT_DecryptMem(TelvoraSession s, const TelvoraDecryptParams *p, const TelvoraBlob *data, TelvoraBlob *out,
                         TelvoraCertInfo *sender) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr) return kBadArgument;
    CmsPtr cms = ReadCms(data);
    int type = cms ? OBJ_obj2nid(CMS_get0_type(cms.get())) : NID_undef;
    if (type != NID_pkcs7_enveloped && type != NID_id_smime_ct_authEnvelopedData) return kBadEncoding;
    if (int32_t st = gost::MessageUsable(cms.get()); st != kOk) return st;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *only = nullptr;
    if (p->Selector != nullptr) {
      if (int32_t st = SelectPair(*keys, p->Selector, only); st != kOk) return st;
    }
    if (keys->pairs.empty()) return kNoKey;
    for (const auto &pair : keys->pairs) {
      if (only != nullptr && &pair != only) continue;
      if (!NamesRecipient(cms.get(), pair.cert.get())) continue;
      // The key is found: from here on every failure, of the key transport,
      // the key agreement, the tag or the padding, gives the one status.
      // Naming the certificate makes a wrong key an error instead of noise.
      BioPtr plain(BIO_new(BIO_s_mem()));
      if (!plain || !CMS_decrypt_set1_pkey_and_peer(cms.get(), pair.key.get(), pair.cert.get(), nullptr) ||
          !CMS_decrypt(cms.get(), nullptr, nullptr, nullptr, plain.get(), CMS_BINARY))
        return kDecryptFailed;
      // An enveloped message names no sender: the record stays empty.
      if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
      return HandOut(s, BioBytes(plain.get()), out);
    }
    return kNotRecipient;
  });
}

