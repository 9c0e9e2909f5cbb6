// libcpki1.so: CMS encryption for recipient certificates, and decryption
// with the keys of the key store.
#include <openssl/core_names.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#include "der.h"
#include "envelope.h"
#include "gost.h"
#include "provider.h"

namespace cpki1 {
namespace {

// The curve of an EC key on a curve of prime order (cofactor 1) the
// provider's keys use; NID_undef for any other key.
int PrimeCurveOf(const EVP_PKEY *own) {
  char group[80] = {0};
  std::size_t len = 0;
  if (own == nullptr || !EVP_PKEY_is_a(own, "EC") || !EVP_PKEY_get_group_name(own, group, sizeof group, &len))
    return NID_undef;
  const int curve = OBJ_sn2nid(group);
  return curve == NID_X9_62_prime256v1 || curve == NID_secp384r1 || curve == NID_secp521r1 ? curve : NID_undef;
}

// The originator's public key of a key agreement as a key on the curve of
// own. Only for the curves of prime order (cofactor 1) the provider's keys
// use: there the check made while the point is decoded (its coordinates in
// range and on the curve, in every form OpenSSL decodes: compressed,
// uncompressed or hybrid; only the one-byte encoding is the point at
// infinity) is the whole validation, and the multiplication by the order
// that OpenSSL's full check adds could find nothing. Null for anything else;
// the caller then leaves the message to OpenSSL's own path.
// curve: the nid the key's parameters name, NID_undef when they name none
// (absent or NULL: the recipient's curve).
KeyUPtr PeerPoint(EVP_PKEY *own, int curve, const uint8_t *point, std::size_t size) {
  const int ownCurve = PrimeCurveOf(own);
  if (ownCurve == NID_undef || (curve != NID_undef && curve != ownCurve)) return nullptr;
  // Not the point at infinity.
  if (size <= 1) return nullptr;
  // The curve copied from own key: making it anew from its name costs three
  // times as much.
  KeyUPtr key(EVP_PKEY_new());
  if (!key || EVP_PKEY_copy_parameters(key.get(), own) != 1 ||
      EVP_PKEY_set1_encoded_public_key(key.get(), point, size) != 1)
    return nullptr;
  return key;
}

// PeerPoint for the directly read messages, without a key object made per
// message (copying the curve into a new one costs a tenth of the ECDH): one
// object per thread and curve, given each message's point. Borrowed: valid
// on this thread until its next call.
EVP_PKEY *ReusedPeerPoint(EVP_PKEY *own, int curve, const uint8_t *point, std::size_t size) {
  const int ownCurve = PrimeCurveOf(own);
  if (ownCurve == NID_undef || (curve != NID_undef && curve != ownCurve) || size <= 1) return nullptr;
  thread_local std::map<int, KeyUPtr> peers;  // at most one per curve of PrimeCurveOf
  KeyUPtr &peer = peers[ownCurve];
  if (!peer) {
    peer = PeerPoint(own, curve, point, size);
  } else if (EVP_PKEY_set1_encoded_public_key(peer.get(), point, size) != 1) {
    peer.reset();  // never left with the point of an earlier message
  }
  return peer.get();
}

KeyUPtr OriginatorKey(EVP_PKEY *own, X509_ALGOR *alg, ASN1_BIT_STRING *pub) {
  if (alg == nullptr || pub == nullptr) return nullptr;
  const ASN1_OBJECT *oid = nullptr;
  int ptype = 0;
  const void *pval = nullptr;
  X509_ALGOR_get0(&oid, &ptype, &pval, alg);
  if (OBJ_obj2nid(oid) != NID_X9_62_id_ecPublicKey) return nullptr;
  // The parameters: none (the recipient's curve), or a named curve.
  int curve = NID_undef;
  if (ptype == V_ASN1_OBJECT) {
    curve = OBJ_obj2nid(static_cast<const ASN1_OBJECT *>(pval));
    if (curve == NID_undef) return nullptr;
  } else if (ptype != V_ASN1_UNDEF && ptype != V_ASN1_NULL) {
    return nullptr;
  }
  // Whole bytes.
  if ((pub->flags & 0x07) != 0 || pub->length < 0) return nullptr;
  return PeerPoint(own, curve, pub->data, static_cast<std::size_t>(pub->length));
}

// Opens the content key of an enveloped message with an EC key of the user
// by key agreement, the originator's key checked as PeerPoint says: 1
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

// ---- AuthEnvelopedData and EnvelopedData for EC recipients, written directly -------------
// The message CMS_encrypt makes with AES-256-GCM (AuthEnvelopedData) or
// AES-256-CBC (EnvelopedData) for recipients of EC keys (CMS_KEY_PARAM, the
// KDF set to SHA-256): per recipient a key agreement
// with its own ephemeral key, dhSinglePass-stdDH-sha256kdf-scheme,
// id-aes256-wrap, the recipient named by issuer and serial number. OpenSSL's
// own path validates the recipient's key in full at every message and builds
// the message through its CMS objects; here the recipient's key is what its
// certificate, which passed the chain check, decoded: on a prime-order curve
// that decoding checked all there is (see PeerPoint).

using envelope::kAlgAes256Wrap;
using envelope::kAlgEcPublicKey;
using envelope::kAlgKeyAgreement;
using envelope::kKeyBytes;
using envelope::kNonceBytes;
using envelope::kOidAes256Cbc;
using envelope::kOidAes256Gcm;
using envelope::kOidAuthEnvelopedData;
using der::kOidData;
using envelope::kOidEnvelopedData;
using envelope::kTagBytes;

// Whether the key is one DirectRecipient handles: EC on a prime-order curve.
bool DirectKey(EVP_PKEY *key) { return PrimeCurveOf(key) != NID_undef; }

const EVP_CIPHER *AesWrap() {
  static EVP_CIPHER *const wrap = EVP_CIPHER_fetch(nullptr, "AES-256-WRAP", nullptr);  // never released
  return wrap;
}

// A derivation context for own key, ready for a peer.
PkeyCtxPtr DeriveContext(EVP_PKEY *own) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
  if (ctx && EVP_PKEY_derive_init(ctx.get()) <= 0) ctx.reset();
  return ctx;
}

// DeriveContext for a key of the user's, kept per thread for the last key it
// served (which it holds): setting one up costs a twentieth of the ECDH.
EVP_PKEY_CTX *KeptDeriveContext(EVP_PKEY *own) {
  thread_local struct {
    KeyUPtr key;
    PkeyCtxPtr ctx;
  } kept;
  if (kept.key.get() != own || !kept.ctx) {
    kept.ctx.reset();
    kept.key.reset();
    if (EVP_PKEY_up_ref(own) != 1) return nullptr;
    kept.key.reset(own);
    kept.ctx = DeriveContext(own);
  }
  return kept.ctx.get();
}

// The key-wrapping key both sides of a key agreement derive: ECDH of the
// private key of agree with peer, then ANSI X9.63 KDF with SHA-256 over
// ECC-CMS-SharedInfo, one block for the 256-bit key.
bool AgreedKek(EVP_PKEY_CTX *agree, EVP_PKEY *peer, uint8_t (&kek)[kKeyBytes]) {
  uint8_t z[80];
  std::size_t zLen = sizeof z;
  if (agree == nullptr || Algs().sha256 == nullptr || EVP_PKEY_derive_set_peer_ex(agree, peer, 0) <= 0 ||
      EVP_PKEY_derive(agree, z, &zLen) <= 0)
    return false;
  static const Bytes sharedInfo = [] {
    const Bytes bits{der::kOctetString, 4, 0x00, 0x00, 0x01, 0x00};
    const Bytes suppPubInfo = der::Tlv(static_cast<uint8_t>(0xA2), bits);
    return der::Tlv(der::kSequence, der::Cat({&kAlgAes256Wrap, &suppPubInfo}));
  }();
  uint8_t out[EVP_MAX_MD_SIZE];
  unsigned int outLen = 0;
  const uint8_t counter[4] = {0, 0, 0, 1};
  std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>> md(EVP_MD_CTX_new());
  const bool derived = md && EVP_DigestInit_ex2(md.get(), Algs().sha256, nullptr) &&
                       EVP_DigestUpdate(md.get(), z, zLen) && EVP_DigestUpdate(md.get(), counter, sizeof counter) &&
                       EVP_DigestUpdate(md.get(), sharedInfo.data(), sharedInfo.size()) &&
                       EVP_DigestFinal_ex(md.get(), out, &outLen) && outLen == kKeyBytes;
  if (derived) std::memcpy(kek, out, kKeyBytes);
  OPENSSL_cleanse(z, sizeof z);
  OPENSSL_cleanse(out, sizeof out);
  return derived;
}

// The KeyAgreeRecipientInfo ([1]) that gives the recipient the content key;
// empty on failure.
Bytes DirectRecipient(X509 *cert, EVP_PKEY *peer, const uint8_t *cek) {
  const EVP_CIPHER *wrap = AesWrap();
  if (wrap == nullptr) return {};
  // The ephemeral key on the recipient's curve, taken from its key (making
  // the curve anew from its name costs more than the key); the generation
  // context is kept per thread and curve.
  const int curve = PrimeCurveOf(peer);
  thread_local std::map<int, PkeyCtxPtr> generators;  // at most one per curve of PrimeCurveOf
  PkeyCtxPtr &gen = generators[curve];
  if (!gen) {
    gen.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, peer, nullptr));
    if (gen && EVP_PKEY_keygen_init(gen.get()) <= 0) gen.reset();
  }
  EVP_PKEY *made = nullptr;
  if (curve == NID_undef || !gen || EVP_PKEY_keygen(gen.get(), &made) <= 0) return {};
  KeyUPtr eph(made);
  uint8_t kek[kKeyBytes];
  const bool derived = AgreedKek(DeriveContext(eph.get()).get(), peer, kek);
  uint8_t wrapped[kKeyBytes + 16];
  int n = 0, m = 0;
  std::unique_ptr<EVP_CIPHER_CTX, Freer<EVP_CIPHER_CTX_free>> c(EVP_CIPHER_CTX_new());
  bool ok = derived && c;
  if (ok) {
    EVP_CIPHER_CTX_set_flags(c.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    ok = EVP_EncryptInit_ex2(c.get(), wrap, kek, nullptr, nullptr) &&
         EVP_EncryptUpdate(c.get(), wrapped, &n, cek, static_cast<int>(kKeyBytes)) &&
         EVP_EncryptFinal_ex(c.get(), wrapped + n, &m) && n + m == kKeyBytes + 8;
  }
  OPENSSL_cleanse(kek, sizeof kek);
  uint8_t point[140];
  std::size_t pointLen = 0;
  if (!ok || !EVP_PKEY_get_octet_string_param(eph.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                              &pointLen))
    return {};
  Bytes issuer = der::Encode<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert));
  Bytes serial = der::Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert));
  if (issuer.empty() || serial.empty()) return {};

  Bytes bitString = der::Header(0x03, pointLen + 1);
  bitString.push_back(0x00);  // no unused bits
  bitString.insert(bitString.end(), point, point + pointLen);
  const Bytes originatorKey = der::Tlv(der::Context(1), der::Cat({&kAlgEcPublicKey, &bitString}));
  const Bytes originator = der::Tlv(der::Context(0), originatorKey);
  const Bytes rid = der::Tlv(der::kSequence, der::Cat({&issuer, &serial}));
  const Bytes encryptedKey = der::Tlv(der::kOctetString, wrapped, static_cast<std::size_t>(n + m));
  const Bytes rek = der::Tlv(der::kSequence, der::Cat({&rid, &encryptedKey}));
  const Bytes reks = der::Tlv(der::kSequence, rek);
  const Bytes three = der::SmallInteger(3);
  return der::Tlv(der::Context(1), der::Cat({&three, &originator, &kAlgKeyAgreement, &reks}));
}

// The whole message for the recipients: AuthEnvelopedData with AES-256-GCM
// (gcm; a 12-byte nonce, a 16-byte tag, no authenticated attributes) or
// EnvelopedData with AES-256-CBC; empty on failure. The data is encrypted
// straight into its place in the message: a message of 64 KiB copied once
// more costs more than its encryption.
Bytes DirectEnvelope(const std::vector<X509UPtr> &recipients, const TelvoraBlob *data, bool gcm) {
  const EVP_CIPHER *algorithm = gcm ? Algs().aes256gcm : Algs().aes256cbc;
  if (algorithm == nullptr) return {};
  uint8_t cek[kKeyBytes], iv[16];
  const std::size_t ivLen = gcm ? kNonceBytes : sizeof iv;
  // Key and IV in one draw from the private generator.
  uint8_t drawn[sizeof cek + sizeof iv];
  if (RAND_priv_bytes(drawn, static_cast<int>(sizeof cek + ivLen)) != 1) return {};
  std::memcpy(cek, drawn, sizeof cek);
  std::memcpy(iv, drawn + sizeof cek, ivLen);
  OPENSSL_cleanse(drawn, sizeof drawn);
  std::vector<Bytes> infos;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    Bytes info = DirectRecipient(recipients[i].get(), X509_get0_pubkey(recipients[i].get()), cek);
    if (info.empty()) {
      OPENSSL_cleanse(cek, sizeof cek);
      return {};
    }
    infos.push_back(std::move(info));
  }
  // Every element before the encrypted content, whose length the mode fixes
  // in advance: GCM none added, CBC padding to whole blocks.
  const std::size_t length = static_cast<std::size_t>(data->Length);
  const std::size_t sealedLen = gcm ? length : (length / 16 + 1) * 16;
  const Bytes ivValue = der::Tlv(der::kOctetString, iv, ivLen);
  Bytes cipher;
  if (gcm) {
    const Bytes tagLen = der::SmallInteger(static_cast<uint8_t>(kTagBytes));
    const Bytes params = der::Tlv(der::kSequence, der::Cat({&ivValue, &tagLen}));
    cipher = der::Tlv(der::kSequence, der::Cat({&kOidAes256Gcm, &params}));
  } else {
    cipher = der::Tlv(der::kSequence, der::Cat({&kOidAes256Cbc, &ivValue}));
  }
  const Bytes contentHead = der::Header(0x80, sealedLen);  // [0] IMPLICIT OCTET STRING
  const std::size_t encryptedLen = kOidData.size() + cipher.size() + contentHead.size() + sealedLen;
  const Bytes encryptedHead = der::Header(der::kSequence, encryptedLen);
  const Bytes recipientInfos = der::SetOf(std::move(infos));
  // The versions: 0 for AuthEnvelopedData, 2 for EnvelopedData with key
  // agreement.
  const Bytes version = der::SmallInteger(gcm ? 0 : 2);
  const Bytes macHead = gcm ? der::Header(der::kOctetString, kTagBytes) : Bytes();
  const std::size_t macLen = gcm ? macHead.size() + kTagBytes : 0;
  const std::size_t envelopedLen =
      version.size() + recipientInfos.size() + encryptedHead.size() + encryptedLen + macLen;
  const Bytes envelopedHead = der::Header(der::kSequence, envelopedLen);
  const Bytes explicitHead = der::Header(der::Context(0), envelopedHead.size() + envelopedLen);
  const Bytes &type = gcm ? kOidAuthEnvelopedData : kOidEnvelopedData;
  const std::size_t allLen = type.size() + explicitHead.size() + envelopedHead.size() + envelopedLen;
  Bytes out = der::Header(der::kSequence, allLen);
  out.reserve(out.size() + allLen);
  const std::initializer_list<const Bytes *> head{&type,           &explicitHead,  &envelopedHead,
                                                  &version,        &recipientInfos, &encryptedHead,
                                                  &kOidData,       &cipher,        &contentHead};
  for (const Bytes *part : head) out.insert(out.end(), part->begin(), part->end());
  const std::size_t at = out.size();
  out.resize(at + sealedLen);
  int n = 0, m = 0;
  std::unique_ptr<EVP_CIPHER_CTX, Freer<EVP_CIPHER_CTX_free>> c(EVP_CIPHER_CTX_new());
  static const uint8_t empty = 0;
  // GCM takes its 12-byte nonce as the IV it is set up with by default.
  bool ok = c && EVP_EncryptInit_ex2(c.get(), algorithm, cek, iv, nullptr) &&
            EVP_EncryptUpdate(c.get(), out.data() + at, &n, data->Length > 0 ? data->Data : &empty, data->Length) &&
            EVP_EncryptFinal_ex(c.get(), out.data() + at + n, &m) &&
            static_cast<std::size_t>(n) + static_cast<std::size_t>(m) == sealedLen;  // n + m may pass INT_MAX
  OPENSSL_cleanse(cek, sizeof cek);
  if (ok && gcm) {
    out.insert(out.end(), macHead.begin(), macHead.end());
    out.resize(out.size() + kTagBytes);
    ok = EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes),
                             out.data() + out.size() - kTagBytes) == 1;
  }
  if (!ok) return {};
  return out;  // moved, where a conditional expression would copy it
}

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

enum class Opened { kNotNamed, kOpened, kFailed };

// The content of a message of the shape envelope::Read knows, with the key
// of pair, when a recipient key of the message names its certificate by the
// very bytes of its issuer and serial number. kNotNamed leaves the message
// to OpenSSL, whose comparison of names is wider; once named, every failure
// is kFailed.
Opened OpenDirect(const envelope::Message &m, const KeyPair &pair, Bytes &content) {
  if (!DirectKey(pair.key.get())) return Opened::kNotNamed;
  const Bytes issuer = der::Encode<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(pair.cert.get()));
  const Bytes serial = der::Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(pair.cert.get()));
  if (issuer.empty() || serial.empty()) return Opened::kNotNamed;
  const envelope::Span ownIssuer{issuer.data(), issuer.size()}, ownSerial{serial.data(), serial.size()};
  const envelope::AgreedKey *named = nullptr;
  for (const envelope::AgreedKey &k : m.keys) {
    if (k.issuer == ownIssuer && k.serial == ownSerial) {
      named = &k;
      break;
    }
  }
  if (named == nullptr) return Opened::kNotNamed;

  int curve = NID_undef;
  if (named->curve.size != 0) {
    const unsigned char *p = named->curve.data;
    std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT_free>> oid(
        d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(named->curve.size)));
    curve = oid ? OBJ_obj2nid(oid.get()) : NID_undef;
    if (curve == NID_undef) return Opened::kFailed;
  }
  EVP_PKEY *peer = ReusedPeerPoint(pair.key.get(), curve, named->point.data, named->point.size);
  uint8_t kek[kKeyBytes];
  if (peer == nullptr || !AgreedKek(KeptDeriveContext(pair.key.get()), peer, kek)) return Opened::kFailed;
  uint8_t cek[kKeyBytes + 16];
  int n = 0, f = 0;
  std::unique_ptr<EVP_CIPHER_CTX, Freer<EVP_CIPHER_CTX_free>> unwrap(EVP_CIPHER_CTX_new());
  bool ok = unwrap && AesWrap() != nullptr && named->encryptedKey.size == kKeyBytes + 8;
  if (ok) {
    EVP_CIPHER_CTX_set_flags(unwrap.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    ok = EVP_DecryptInit_ex2(unwrap.get(), AesWrap(), kek, nullptr, nullptr) &&
         EVP_DecryptUpdate(unwrap.get(), cek, &n, named->encryptedKey.data, static_cast<int>(kKeyBytes + 8)) &&
         EVP_DecryptFinal_ex(unwrap.get(), cek + n, &f) && n + f == static_cast<int>(kKeyBytes);
  }
  OPENSSL_cleanse(kek, sizeof kek);
  // The content, into a buffer of its length and a block: CBC takes its
  // padding off only at the end.
  const EVP_CIPHER *algorithm = m.gcm ? Algs().aes256gcm : Algs().aes256cbc;
  std::unique_ptr<EVP_CIPHER_CTX, Freer<EVP_CIPHER_CTX_free>> c(EVP_CIPHER_CTX_new());
  ok = ok && c && algorithm != nullptr && m.content.size <= static_cast<std::size_t>(INT_MAX) - 16;
  if (ok) {
    content.resize(m.content.size + 16);
    static const uint8_t empty = 0;
    uint8_t tag[kTagBytes];
    if (m.gcm) std::memcpy(tag, m.tag.data, kTagBytes);
    n = f = 0;
    // GCM takes its 12-byte nonce as the IV it is set up with by default.
    ok = EVP_DecryptInit_ex2(c.get(), algorithm, cek, m.iv.data, nullptr) &&
         EVP_DecryptUpdate(c.get(), content.data(), &n, m.content.size > 0 ? m.content.data : &empty,
                           static_cast<int>(m.content.size)) &&
         (!m.gcm || EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagBytes), tag) == 1) &&
         EVP_DecryptFinal_ex(c.get(), content.data() + n, &f) == 1;
  }
  OPENSSL_cleanse(cek, sizeof cek);
  if (!ok) {
    OPENSSL_cleanse(content.data(), content.size());
    content.clear();
    return Opened::kFailed;
  }
  content.resize(static_cast<std::size_t>(n + f));
  return Opened::kOpened;
}

// The certificate of the stores that a record names by the texts of its
// issuer and serial number. The texts lose what the certificate holds
// (characters outside Windows-1251 become '?', the serial's sign is not
// written): when they fit two certificates, the record names neither surely
// and none is taken (kAmbiguousRecipient). A certificate in both stores is
// one certificate.
int32_t RecipientByTexts(const CertStoreData &certs, const KeyStoreData &keys, const char *issuer, const char *serial,
                         X509 *&found) {
  const std::string serialText(serial), issuerText(issuer);
  auto sameSerial = [&](const std::string &text) {
    return text.size() == serialText.size() &&
           std::equal(text.begin(), text.end(), serialText.begin(), [](char a, char b) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
             return lower(a) == lower(b);
           });
  };
  found = nullptr;
  bool ambiguous = false;
  // The serial first: its text costs a fraction of the issuer's.
  auto consider = [&](X509 *x) {
    if (!sameSerial(SerialText(X509_get0_serialNumber(x))) || DnText(X509_get_issuer_name(x)) != issuerText) return;
    if (found != nullptr && !SameCert(found, x)) ambiguous = true;
    found = x;
  };
  for (const auto &c : certs.certs) consider(c.get());
  for (const auto &p : keys.pairs) consider(p.cert.get());
  if (ambiguous) {
    found = nullptr;
    return kAmbiguousRecipient;
  }
  return found != nullptr ? kOk : kUnknownRecipient;
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
        X509 *known = nullptr;
        if (int32_t st = RecipientByTexts(*certs, *keys, rec.Issuer, rec.SerialNumber, known); st != kOk) return st;
        X509_up_ref(known);
        x.reset(known);
      }
      if (int32_t st = gost::CertUsable(x.get()); st != kOk) return st;
      const ChainRules rules{session->flags, std::nullopt};
      if (int32_t st = CheckChainOnce(*session, x.get(), certs, keys, nullptr, rules); st != kOk) return st;
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      uint32_t usage = gost::IsGostKey(key) ? gost::RecipientUsage() : ec ? KU_KEY_AGREEMENT : KU_KEY_ENCIPHERMENT;
      if (!UsageAllows(x.get(), usage)) return kKeyUsage;
      recipients.push_back(std::move(x));
    }
    // GOST recipients get the profile's GOST cipher (the engine's key export)
    // in EnvelopedData; the others the cipher above. A mixed set is refused.
    const EVP_CIPHER *cipher = nullptr;
    if (int32_t st = gost::CipherFor(recipients, session->gost, ownCipher, cipher); st != kOk) return st;
    // Recipients of EC keys on prime-order curves only (never GOST keys):
    // the message is written directly.
    bool direct = true;
    for (const X509UPtr &x : recipients) direct = direct && DirectKey(X509_get0_pubkey(x.get()));
    if (direct) {
      Bytes der = DirectEnvelope(recipients, data, !session->envelopedCbc);
      if (der.empty()) return kEncryptFailed;
      return HandOut(s, std::move(der), out);
    }
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

namespace {

// The content of an enveloped message whose content key is in place, read
// through OpenSSL's cipher chain in whole pieces straight into content (as
// CMS_decrypt reads it, without its 4 KiB copies into a growing buffer). True
// only when the whole content was read and the final check held: the GCM tag,
// or the CBC padding.
bool ReadContent(CMS_ContentInfo *cms, Bytes &content) {
  ASN1_OCTET_STRING **encrypted = CMS_get0_content(cms);
  if (encrypted == nullptr || *encrypted == nullptr || ((*encrypted)->flags & ASN1_STRING_FLAG_CONT) != 0) return false;
  BioPtr chain(CMS_dataInit(cms, nullptr));
  if (!chain) return false;
  // Never more than the encrypted bytes; the cipher's last block may need room.
  content.resize(static_cast<std::size_t>((*encrypted)->length) + EVP_MAX_BLOCK_LENGTH);
  std::size_t have = 0;
  for (;;) {
    const std::size_t room = content.size() - have;
    if (room < EVP_MAX_BLOCK_LENGTH) return false;  // more plaintext than ciphertext
    const int n = BIO_read(chain.get(), content.data() + have, static_cast<int>(std::min<std::size_t>(room, INT_MAX)));
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 || BIO_get_cipher_status(chain.get()) <= 0) return false;
    break;
  }
  content.resize(have);
  return true;
}

}  // namespace

int32_t VCERT_DecryptMem(TelvoraSession s, const TelvoraDecryptParams *p, const TelvoraBlob *data, TelvoraBlob *out,
                         TelvoraCertInfo *sender) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr) return kBadArgument;
    // The provider's own messages for EC keys are read directly; any other
    // message, and one that names the user's key only in a form OpenSSL
    // compares more widely, goes through OpenSSL's CMS code.
    const std::optional<envelope::Message> direct = envelope::Read(data->Data, static_cast<std::size_t>(data->Length));
    CmsPtr cms;
    if (!direct) {
      cms = ReadCms(data);
      int type = cms ? OBJ_obj2nid(CMS_get0_type(cms.get())) : NID_undef;
      if (type != NID_pkcs7_enveloped && type != NID_id_smime_ct_authEnvelopedData) return kBadEncoding;
      if (int32_t st = gost::MessageUsable(cms.get()); st != kOk) return st;
      // OpenSSL checks as much of the tag as the mac holds: a tag shorter
      // than its parameters say, or than 12 bytes, is refused first.
      if (type == NID_id_smime_ct_authEnvelopedData) {
        const Bytes der = CmsDer(cms.get());
        if (!envelope::AuthTagSound(der.data(), der.size())) return kDecryptFailed;
      }
    }
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *only = nullptr;
    if (p->Selector != nullptr) {
      if (int32_t st = SelectPair(*keys, p->Selector, only); st != kOk) return st;
    }
    if (keys->pairs.empty()) return kNoKey;
    if (direct) {
      // The first key the loop below would try: when the message names it,
      // OpenSSL's path would take it as well.
      Bytes content;
      switch (OpenDirect(*direct, only != nullptr ? *only : keys->pairs.front(), content)) {
        case Opened::kOpened:
          if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
          return HandOut(s, std::move(content), out);
        case Opened::kFailed: return kDecryptFailed;
        case Opened::kNotNamed: break;
      }
      cms = ReadCms(data);
      if (!cms) return kBadEncoding;
    }
    for (const auto &pair : keys->pairs) {
      if (only != nullptr && &pair != only) continue;
      if (!NamesRecipient(cms.get(), pair.cert.get())) continue;
      // The key is found: from here on every failure, of the key transport,
      // the key agreement, the tag or the padding, gives the one status.
      // Naming the certificate makes a wrong key an error instead of noise.
      // GOST keys and messages take OpenSSL's own path (the engine's).
      const int agreed = gost::IsGostKey(pair.key.get()) ? 0 : OpenAgreedKey(cms.get(), pair);
      if (agreed < 0) return kDecryptFailed;
      if (agreed == 0 && !CMS_decrypt_set1_pkey_and_peer(cms.get(), pair.key.get(), pair.cert.get(), nullptr))
        return kDecryptFailed;
      Bytes content;
      if (!ReadContent(cms.get(), content)) return kDecryptFailed;
      // An enveloped message names no sender: the record stays empty.
      if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
      return HandOut(s, std::move(content), out);
    }
    return kNotRecipient;
  });
}

