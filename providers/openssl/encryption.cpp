// libcpki1.so: CMS encryption for recipient certificates, and decryption
// with the keys of the key store.
#include <openssl/core_names.h>

#include <cstring>

#include "provider.h"

namespace cpki1 {
namespace {

// The originator's public key of a key agreement as a key on the curve of
// own. Only for the curves of prime order (cofactor 1) the provider's keys
// use: there the quick check (a point of the curve, not at infinity, its
// coordinates in range) is the whole validation, and the multiplication by
// the order that a full check adds could find nothing. Null for anything
// else; the caller then leaves the message to OpenSSL's own path.
KeyUPtr OriginatorKey(EVP_PKEY *own, X509_ALGOR *alg, ASN1_BIT_STRING *pub) {
  char group[80] = {0};
  std::size_t len = 0;
  if (alg == nullptr || pub == nullptr || !EVP_PKEY_is_a(own, "EC") ||
      !EVP_PKEY_get_group_name(own, group, sizeof group, &len))
    return nullptr;
  const int curve = OBJ_sn2nid(group);
  if (curve != NID_X9_62_prime256v1 && curve != NID_secp384r1 && curve != NID_secp521r1) return nullptr;
  const ASN1_OBJECT *oid = nullptr;
  int ptype = 0;
  const void *pval = nullptr;
  X509_ALGOR_get0(&oid, &ptype, &pval, alg);
  if (OBJ_obj2nid(oid) != NID_X9_62_id_ecPublicKey) return nullptr;
  // The parameters: none (the recipient's curve), or that very curve.
  if (ptype == V_ASN1_OBJECT) {
    if (OBJ_obj2nid(static_cast<const ASN1_OBJECT *>(pval)) != curve) return nullptr;
  } else if (ptype != V_ASN1_UNDEF && ptype != V_ASN1_NULL) {
    return nullptr;
  }
  if (pub->length <= 0 || (pub->flags & 0x07) != 0) return nullptr;  // whole bytes only
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub->data,
                                                           static_cast<std::size_t>(pub->length)),
                         OSSL_PARAM_construct_end()};
  PkeyCtxPtr make(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY *peer = nullptr;
  if (!make || EVP_PKEY_fromdata_init(make.get()) <= 0 ||
      EVP_PKEY_fromdata(make.get(), &peer, EVP_PKEY_PUBLIC_KEY, params) <= 0)
    return nullptr;
  KeyUPtr key(peer);
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) return nullptr;
  return key;
}

// Opens the content key of an enveloped message with an EC key of the user
// by key agreement, the originator's key checked as OriginatorKey says: 1
// when the key is in place for CMS_decrypt, 0 when no agreement names the
// certificate (or OpenSSL's own path is to try), -1 when one names it and
// the key cannot be opened with it.
int OpenAgreedKey(CMS_ContentInfo *cms, const KeyPair &pair) {
  STACK_OF(CMS_RecipientInfo) *infos = CMS_get0_RecipientInfos(cms);
  for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo *ri = sk_CMS_RecipientInfo_value(infos, i);
    if (CMS_RecipientInfo_type(ri) != CMS_RECIPINFO_AGREE) continue;
    STACK_OF(CMS_RecipientEncryptedKey) *reks = CMS_RecipientInfo_kari_get0_reks(ri);
    for (int j = 0; j < sk_CMS_RecipientEncryptedKey_num(reks); ++j) {
      CMS_RecipientEncryptedKey *rek = sk_CMS_RecipientEncryptedKey_value(reks, j);
      if (CMS_RecipientEncryptedKey_cert_cmp(rek, pair.cert.get()) != 0) continue;
      X509_ALGOR *alg = nullptr;
      ASN1_BIT_STRING *pub = nullptr;
      if (!CMS_RecipientInfo_kari_get0_orig_id(ri, &alg, &pub, nullptr, nullptr, nullptr)) return -1;
      KeyUPtr peer = OriginatorKey(pair.key.get(), alg, pub);
      if (!peer) return 0;
      if (!CMS_RecipientInfo_kari_set0_pkey(ri, pair.key.get())) return -1;
      // With the peer key set, OpenSSL derives with it as it is.
      EVP_PKEY_CTX *pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
      const bool opened = pctx != nullptr && EVP_PKEY_derive_set_peer_ex(pctx, peer.get(), 0) > 0 &&
                          CMS_RecipientInfo_kari_decrypt(cms, ri, rek) > 0;
      CMS_RecipientInfo_kari_set0_pkey(ri, nullptr);
      return opened ? 1 : -1;
    }
  }
  return 0;
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
      const ChainRules rules{session->flags, std::nullopt};
      if (int32_t st = CheckChainOnce(*session, x.get(), certs, keys, nullptr, rules); st != kOk) return st;
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
      const int agreed = OpenAgreedKey(cms.get(), pair);
      if (agreed < 0) continue;
      if (agreed == 0 && !CMS_decrypt_set1_pkey_and_peer(cms.get(), pair.key.get(), pair.cert.get(), nullptr))
        continue;
      BioPtr plain(BIO_new(BIO_s_mem()));
      if (!plain || !CMS_decrypt(cms.get(), nullptr, nullptr, nullptr, plain.get(), CMS_BINARY)) return kDecryptFailed;
      // An enveloped message names no sender: the record stays empty.
      if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
      return HandOut(s, BioBytes(plain.get()), out);
    }
    return kNotRecipient;
  });
}

