// libcpki1.so: CMS encryption for recipient certificates, and decryption
// with the keys of the key store.
#include <cstring>

#include "provider.h"

using namespace cpki1;

int32_t VCERT_EncryptMem(TelvoraSession s, const TelvoraCryptParams *p, const TelvoraBlob *data, TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr || p->RecipientCount < 0) return kBadArgument;
    if (p->RecipientCount == 0) return kNoRecipients;
    if (p->Recipients == nullptr) return kBadArgument;
    if (Algs().sha256 == nullptr || Algs().aes256cbc == nullptr) return kInternal;
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
      if (int32_t st = CheckChain(x.get(), *certs, *keys, nullptr, ChainRules{session->flags, std::nullopt}); st != kOk)
        return st;
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      if (!UsageAllows(x.get(), ec ? KU_KEY_AGREEMENT : KU_KEY_ENCIPHERMENT)) return kKeyUsage;
      recipients.push_back(std::move(x));
    }
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, Algs().aes256cbc, CMS_BINARY | CMS_PARTIAL));
    if (!cms) return kEncryptFailed;
    for (auto &x : recipients) {
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      CMS_RecipientInfo *ri = CMS_add1_recipient_cert(cms.get(), x.get(), ec ? CMS_KEY_PARAM : 0);
      if (ri == nullptr) return kEncryptFailed;
      if (ec) {
        // OpenSSL 3.0 would derive the key-wrapping key with SHA-1.
        EVP_PKEY_CTX *pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
        if (pctx == nullptr || EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, Algs().sha256) <= 0) return kEncryptFailed;
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
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) return kBadEncoding;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *only = nullptr;
    if (p->Selector != nullptr) {
      if (int32_t st = SelectPair(*keys, p->Selector, only); st != kOk) return st;
    }
    if (keys->pairs.empty()) return kNoKey;
    for (const auto &pair : keys->pairs) {
      if (only != nullptr && &pair != only) continue;
      ERR_clear_error();
      // Naming the certificate makes a wrong key an error instead of noise.
      if (!CMS_decrypt_set1_pkey_and_peer(cms.get(), pair.key.get(), pair.cert.get(), nullptr)) continue;
      BioPtr plain(BIO_new(BIO_s_mem()));
      if (!plain || !CMS_decrypt(cms.get(), nullptr, nullptr, nullptr, plain.get(), CMS_BINARY)) return kDecryptFailed;
      // An enveloped message names no sender: the record stays empty.
      if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
      return HandOut(s, BioBytes(plain.get()), out);
    }
    return kNotRecipient;
  });
}

