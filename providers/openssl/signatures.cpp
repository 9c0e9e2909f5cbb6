// libcpki1.so: hashes, raw signatures of hashes, and CMS SignedData.
#include <openssl/bn.h>
#include <openssl/ec.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>

#include "cades.h"
#include "der.h"
#include "gost.h"
#include "provider.h"

namespace cpki1 {
namespace {

// ---- SignedData of an EC key, written directly ---------------------------------------
// The message CMS_sign makes with CMS_BINARY, CMS_NOSMIMECAP and CMS_CADES,
// byte for byte: SHA-256, ecdsa-with-SHA256, the signer's certificate and its
// chain without the anchor (CMS_add1_cert), the signed attributes
// contentType, signingTime, messageDigest and signingCertificateV2 (cades.h).
// Building it through OpenSSL's CMS objects (fetching the digest each time,
// copying names and attributes, encoding twice) costs more than the signature
// itself.

const Bytes kOidSignedData{der::kOid, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes kOidContentType{der::kOid, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
const Bytes kOidMessageDigest{der::kOid, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
const Bytes kOidSigningTime{der::kOid, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
// AlgorithmIdentifiers without parameters, as OpenSSL writes them.
const Bytes kAlgSha256{der::kSequence, 11, der::kOid, 9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const Bytes kAlgEcdsaSha256{der::kSequence, 10, der::kOid, 8, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};

Bytes Attribute(const Bytes &oid, const Bytes &value) {
  Bytes values = der::Tlv(der::kSet, value);
  return der::Tlv(der::kSequence, der::Cat({&oid, &values}));
}

// A signing context for the pair, a copy of the one the session prepared.
PkeyCtxPtr SignContext(Session &s, const std::shared_ptr<const KeyStoreData> &keys, const KeyPair &pair) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::erase_if(s.signers, [&](const SignerMemo &m) { return m.keys != keys; });
    for (const SignerMemo &m : s.signers) {
      if (m.pair == &pair) return PkeyCtxPtr(EVP_PKEY_CTX_dup(m.ctx.get()));
    }
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pair.key.get(), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) return nullptr;
  std::shared_ptr<EVP_PKEY_CTX> shared(EVP_PKEY_CTX_dup(ctx.get()), Freer<EVP_PKEY_CTX_free>());
  if (shared) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.signers.push_back(SignerMemo{keys, &pair, std::move(shared)});
  }
  return ctx;
}

// The signer's unsigned attributes for its signature value, as the [1] of a
// SignerInfo (empty: none), or a status.
using UnsignedAttrsOf = std::function<int32_t(const Bytes &signature, Bytes &unsignedAttrs)>;

// Empty when the message cannot be made (the caller reports the failure;
// failure holds the status of unsignedOf when that failed).
// carried: the certificates the message carries (the signer's first).
Bytes SignedData(PkeyCtxPtr ctx, const KeyPair &pair, const std::vector<X509 *> &carried, const TelvoraBlob *data,
                 bool detached, time_t now, const UnsignedAttrsOf &unsignedOf, int32_t &failure) {
  const Algorithms &algs = Algs();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  static const uint8_t empty = 0;
  if (!EVP_Digest(data->Length > 0 ? data->Data : &empty, static_cast<std::size_t>(data->Length), digest, &digestLen,
                  algs.sha256, nullptr))
    return {};
  std::unique_ptr<ASN1_TIME, Freer<ASN1_TIME_free>> when(ASN1_TIME_set(nullptr, now));
  Bytes time = when ? der::Encode<ASN1_TIME, i2d_ASN1_TIME>(when.get()) : Bytes();
  std::vector<Bytes> certs;
  for (X509 *c : carried) {
    certs.push_back(CertDer(c));
    if (certs.back().empty()) return {};
  }
  Bytes issuer = der::Encode<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(pair.cert.get()));
  Bytes serial = der::Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(pair.cert.get()));
  if (time.empty() || certs.empty() || issuer.empty() || serial.empty()) return {};

  Bytes signingCert = cades::SigningCertificateV2(certs.front(), issuer, serial);
  if (signingCert.empty()) return {};

  Bytes digestValue = der::Tlv(der::kOctetString, digest, digestLen);
  Bytes attrs = der::SetOf({Attribute(kOidContentType, der::kOidData), Attribute(kOidSigningTime, time),
                            Attribute(kOidMessageDigest, digestValue),
                            Attribute(cades::kOidSigningCertificateV2, signingCert)});
  // The signature covers the attributes as a SET; the message carries them as [0].
  unsigned char attrsDigest[EVP_MAX_MD_SIZE];
  unsigned int attrsDigestLen = 0;
  if (!EVP_Digest(attrs.data(), attrs.size(), attrsDigest, &attrsDigestLen, algs.sha256, nullptr)) return {};
  std::size_t sigLen = 0;
  if (!ctx || EVP_PKEY_sign(ctx.get(), nullptr, &sigLen, attrsDigest, attrsDigestLen) <= 0) return {};
  Bytes sig(sigLen);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &sigLen, attrsDigest, attrsDigestLen) <= 0) return {};
  sig.resize(sigLen);
  attrs[0] = der::Context(0);

  Bytes one = der::SmallInteger(1);
  Bytes sid = der::Tlv(der::kSequence, der::Cat({&issuer, &serial}));
  Bytes signature = der::Tlv(der::kOctetString, sig);
  Bytes unsignedAttrs;
  if (int32_t st = unsignedOf(sig, unsignedAttrs); st != kOk) {
    failure = st;
    return {};
  }
  Bytes signerInfo = der::Tlv(
      der::kSequence, der::Cat({&one, &sid, &kAlgSha256, &attrs, &kAlgEcdsaSha256, &signature, &unsignedAttrs}));
  Bytes signerInfos = der::Tlv(der::kSet, signerInfo);
  Bytes digestAlgs = der::Tlv(der::kSet, kAlgSha256);
  Bytes encap;
  if (detached) {
    encap = der::Tlv(der::kSequence, der::kOidData);
  } else {
    Bytes content = der::Tlv(der::kOctetString, data->Length > 0 ? data->Data : &empty,
                             static_cast<std::size_t>(data->Length));
    Bytes explicitContent = der::Tlv(der::Context(0), content);
    encap = der::Tlv(der::kSequence, der::Cat({&der::kOidData, &explicitContent}));
  }
  Bytes certSet = der::SetOf(std::move(certs), der::Context(0));
  Bytes signedData = der::Tlv(der::kSequence, der::Cat({&one, &digestAlgs, &encap, &certSet, &signerInfos}));
  Bytes explicitSigned = der::Tlv(der::Context(0), signedData);
  return der::Tlv(der::kSequence, der::Cat({&kOidSignedData, &explicitSigned}));
}

// The signing time a signer claims, when it has one.
std::optional<time_t> SigningTime(CMS_SignerInfo *si) {
  int idx = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (idx < 0) return std::nullopt;
  X509_ATTRIBUTE *attr = CMS_signed_get_attr(si, idx);
  ASN1_TYPE *t = attr != nullptr ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
  if (t == nullptr || (t->type != V_ASN1_UTCTIME && t->type != V_ASN1_GENERALIZEDTIME)) return std::nullopt;
  auto s = TimeOf(reinterpret_cast<const ASN1_TIME *>(t->value.asn1_string));
  if (!s) return std::nullopt;
  return static_cast<time_t>(*s);
}

// An ECDSA P-256 signature r || s of a 32-byte hash.
int32_t VerifyEcdsaHash(EVP_PKEY *key, const uint8_t *hash, const uint8_t *signature) {
  ECDSA_SIG *sig = ECDSA_SIG_new();
  BIGNUM *r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM *sv = BN_bin2bn(signature + 32, 32, nullptr);
  if (sig == nullptr || r == nullptr || sv == nullptr || !ECDSA_SIG_set0(sig, r, sv)) {
    BN_free(r);
    BN_free(sv);
    ECDSA_SIG_free(sig);
    return kInternal;
  }
  unsigned char *der = nullptr;
  int derLen = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  if (derLen <= 0) return kInternal;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  int ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0
               ? EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLen), hash, 32)
               : -1;
  OPENSSL_free(der);
  return ok == 1 ? kOk : kBadSignature;
}

bool IsP256(EVP_PKEY *key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "EC")) return false;
  char group[80] = {0};
  std::size_t len = 0;
  return EVP_PKEY_get_group_name(key, group, sizeof group, &len) && OBJ_sn2nid(group) == NID_X9_62_prime256v1;
}

// ---- The certificates a SignedData carries, parsed once --------------------------------
// Parsing a certificate in OpenSSL 3.0 (its key decoder) costs more than two
// ECDSA verifies, and a signer's certificate comes with each of its
// messages: the certificates a message carries come from the certificates
// parsed before, by their exact encoding, and OpenSSL reads the rest of the
// message without them. The signature covers no certificate.

// The DER of a SignedData without its certificates, and the encodings of
// those; false when the message is not DER of that kind, carries no
// certificates or other kinds of them (then it is read as it is).
bool SplitCertificates(const TelvoraBlob *b, Bytes &rest, std::vector<der::Span> &certs) {
  using der::Cursor;
  using der::Element;
  Cursor top(der::Span{b->Data, static_cast<std::size_t>(b->Length)});
  Element whole, type, wrapper, body, version, digests, encap, carried;
  if (!top.Take(0x30, whole) || !top.AtEnd()) return false;
  Cursor ci(whole.content);
  if (!ci.Take(0x06, type) || !(type.whole == der::Span{kOidSignedData.data(), kOidSignedData.size()}) ||
      !ci.Take(0xA0, wrapper) || !ci.AtEnd())
    return false;
  Cursor w(wrapper.content);
  if (!w.Take(0x30, body) || !w.AtEnd()) return false;
  Cursor sd(body.content);
  if (!sd.Take(0x02, version) || !sd.Take(0x31, digests) || !sd.Take(0x30, encap) || !sd.Take(0xA0, carried))
    return false;
  Cursor c(carried.content);
  certs.clear();
  while (!c.AtEnd()) {
    Element cert;
    if (!c.Take(0x30, cert)) return false;
    certs.push_back(cert.whole);
  }
  if (certs.empty()) return false;
  const uint8_t *begin = body.content.data, *cut = carried.whole.data, *after = cut + carried.whole.size,
                *end = body.content.data + body.content.size;
  const std::size_t bodyLen = static_cast<std::size_t>(cut - begin) + static_cast<std::size_t>(end - after);
  const Bytes bodyHead = der::Header(der::kSequence, bodyLen);
  const Bytes wrapperHead = der::Header(der::Context(0), bodyHead.size() + bodyLen);
  const std::size_t allLen = type.whole.size + wrapperHead.size() + bodyHead.size() + bodyLen;
  rest = der::Header(der::kSequence, allLen);
  rest.reserve(rest.size() + allLen);
  rest.insert(rest.end(), type.whole.data, type.whole.data + type.whole.size);
  rest.insert(rest.end(), wrapperHead.begin(), wrapperHead.end());
  rest.insert(rest.end(), bodyHead.begin(), bodyHead.end());
  rest.insert(rest.end(), begin, cut);
  rest.insert(rest.end(), after, end);
  return true;
}

// Encodings by length, then by their bytes. Compared by hand: GCC 12 at -O3
// misreads the bound of the memcmp inside vector's own ordering.
struct EncodingOrder {
  bool operator()(const Bytes &a, const Bytes &b) const {
    if (a.size() != b.size()) return a.size() < b.size();
    return !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
  }
};

// The certificate of an encoding, parsed once in the process (the last 64
// kept; a certificate is what its encoding says, whoever sent it).
X509UPtr CarriedCert(der::Span encoding) {
  static std::mutex lock;
  static auto *parsed = new std::map<Bytes, X509UPtr, EncodingOrder>;  // never destroyed, as the registry
  Bytes key(encoding.data, encoding.data + encoding.size);
  {
    std::lock_guard<std::mutex> hold(lock);
    auto it = parsed->find(key);
    if (it != parsed->end() && X509_up_ref(it->second.get()) == 1) return X509UPtr(it->second.get());
  }
  X509UPtr cert = CertFromDer(encoding.data, encoding.size);
  if (!cert) return nullptr;
  X509_check_purpose(cert.get(), -1, 0);  // its extensions read before it is shared
  std::lock_guard<std::mutex> hold(lock);
  if (parsed->size() >= 64) parsed->clear();
  X509UPtr &kept = (*parsed)[std::move(key)];
  if (!kept && X509_up_ref(cert.get()) == 1) kept.reset(cert.get());
  return cert;
}

// The message read by OpenSSL, with the certificates it carries in carried
// when they were taken from the parsed ones (else OpenSSL holds them).
CmsPtr ReadSignedData(const TelvoraBlob *signature, std::vector<X509UPtr> &carried) {
  carried.clear();
  Bytes rest;
  std::vector<der::Span> encodings;
  if (SplitCertificates(signature, rest, encodings)) {
    for (const der::Span &e : encodings) {
      X509UPtr x = CarriedCert(e);
      if (!x) break;
      carried.push_back(std::move(x));
    }
    if (carried.size() == encodings.size()) {
      const uint8_t *p = rest.data();
      CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(rest.size())));
      if (cms && p == rest.data() + rest.size()) return cms;
    }
    carried.clear();
    ERR_clear_error();
  }
  return ReadCms(signature);
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

// ---- Hashes -------------------------------------------------------------------------

int32_t VCERT_HashMem(TelvoraSession s, const TelvoraBlob *data, TelvoraBlob *hash) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(data) || hash == nullptr) return kBadArgument;
    // The hash that belongs to the user's (first) key, or the profile's.
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    // Whether that key is a GOST key is asked once per snapshot: OpenSSL
    // answers it by looking up names.
    int gostUser = keys->firstKeyIsGost.value.load(std::memory_order_relaxed);
    if (gostUser < 0) {
      gostUser = !keys->pairs.empty() && gost::IsGostKey(keys->pairs.front().key.get()) ? 1 : 0;
      keys->firstKeyIsGost.value.store(gostUser, std::memory_order_relaxed);
    }
    const EVP_MD *digest = nullptr;
    if (int32_t st = gost::HashFor(session->gost, gostUser == 1, digest); st != kOk) return st;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (digest == Algs().sha256) {
      // One digest context per thread, set up anew for each hash: making and
      // releasing one costs a fifth of a hash of 1 KiB. Only for SHA-256; the
      // engine's digests get a context of their own.
      static thread_local const std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
      if (!ctx || !EVP_DigestInit_ex2(ctx.get(), digest, nullptr) ||
          (data->Length > 0 && !EVP_DigestUpdate(ctx.get(), data->Data, static_cast<std::size_t>(data->Length))) ||
          !EVP_DigestFinal_ex(ctx.get(), md, &len))
        return kInternal;
    } else {
      static const uint8_t empty = 0;
      if (!EVP_Digest(data->Length > 0 ? data->Data : &empty, static_cast<std::size_t>(data->Length), md, &len,
                      digest, nullptr))
        return kInternal;
    }
    return HandOut(s, Bytes(md, md + len), hash);
  });
}

int32_t VCERT_SignHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *hash, TelvoraBlob *signature) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (flags != 0 || !BlobOk(hash) || hash->Length != 32 || signature == nullptr) return kBadArgument;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *pair = nullptr;
    if (int32_t st = SelectPair(*keys, nullptr, pair); st != kOk) return st;
    if (IsCa(pair->cert.get())) return kCaSigner;
    if (gost::IsGostKey(pair->key.get())) {
      Bytes raw;
      if (int32_t st = gost::SignHash(pair->key.get(), hash->Data, 32, raw); st != kOk) return st;
      return HandOut(s, std::move(raw), signature);
    }
    if (!IsP256(pair->key.get())) return kBadKeyType;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pair->key.get(), nullptr));
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_sign(ctx.get(), nullptr, &len, hash->Data, 32) <= 0)
      return kSignFailed;
    Bytes der(len);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &len, hash->Data, 32) <= 0) return kSignFailed;
    const uint8_t *p = der.data();
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
    if (sig == nullptr) return kSignFailed;
    Bytes raw(64);
    bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32) == 32;
    ECDSA_SIG_free(sig);
    if (!ok) return kSignFailed;
    return HandOut(s, std::move(raw), signature);
  });
}

int32_t VCERT_VerifyHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *cert, const TelvoraBlob *hash,
                            const TelvoraBlob *signature) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (flags != 0 || !BlobOk(cert) || !BlobOk(hash) || !BlobOk(signature)) return kBadArgument;
    if (hash->Length != 32 || signature->Length != 64) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    if (int32_t st = gost::CertUsable(x.get()); st != kOk) return st;
    EVP_PKEY *key = X509_get0_pubkey(x.get());
    if (gost::IsGostKey(key)) {
      if (int32_t st = gost::VerifyHash(key, hash->Data, 32, signature->Data, 64); st != kOk) return st;
    } else {
      if (!IsP256(key)) return kBadKeyType;
      if (int32_t st = VerifyEcdsaHash(key, hash->Data, signature->Data); st != kOk) return st;
    }
    if (IsCa(x.get())) return kCaSigner;
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;
    if (int32_t st = CheckChainOnce(*session, x.get(), certs, keys, nullptr, ChainRules{session->flags, std::nullopt});
        st != kOk)
      return st;
    return UsageAllows(x.get(), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION) ? kOk : kKeyUsage;
  });
}

// ---- CMS signatures -------------------------------------------------------------------

int32_t VCERT_SignMem(TelvoraSession s, const TelvoraSignParams *p, const TelvoraBlob *data, const void *reserved,
                      TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    (void)reserved;
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr) return kBadArgument;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *pair = nullptr;
    if (int32_t st = SelectPair(*keys, p->Selector, pair); st != kOk) return st;
    // Valid from notBefore up to, not including, notAfter; a time that
    // cannot be read is no validity.
    const PairFacts &facts = pair->facts;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (!facts.notBefore || !facts.notAfter || now < *facts.notBefore || now >= *facts.notAfter) return kExpired;
    if (!UsageAllows(pair->cert.get(), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) return kKeyUsage;
    if (IsCa(pair->cert.get())) return kCaSigner;
    if (!facts.strong) return kWeakAlgorithm;
    // A GOST key signs with the GOST R 34.11-2012 digest of its size.
    const EVP_MD *md = facts.gost ? gost::DigestOr(pair->key.get(), Algs().sha256) : Algs().sha256;
    if (md == nullptr) return kInternal;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;
    // The message carries the signer's chain up to, not including, the
    // anchor, so that a peer with only the anchor can verify it. A chain
    // that cannot be built leaves the signer's certificate alone.
    CertListPtr chain;
    CheckChainOnce(*session, pair->cert.get(), certs, keys, nullptr, ChainRules{session->flags, std::nullopt}, &chain);
    if (facts.ec) {
      std::vector<X509 *> carried{pair->cert.get()};
      for (int i = 1; i + 1 < sk_X509_num(chain.get()); ++i) carried.push_back(sk_X509_value(chain.get(), i));
      // With a time-stamp authority, the signature value's token.
      auto stamp = [&](const Bytes &sig, Bytes &unsignedAttrs) -> int32_t {
        Bytes token;
        if (int32_t st = StampSignature(*session, certs, keys, sig.data(), sig.size(), token); st != kOk) return st;
        if (!token.empty())
          unsignedAttrs = der::Tlv(der::Context(1), Attribute(kOidSignatureTimeStamp, token));
        return kOk;
      };
      int32_t failure = kSignFailed;
      Bytes der = SignedData(SignContext(*session, keys, *pair), *pair, carried, data, (p->Flags & 2) != 0,
                             time(nullptr), stamp, failure);
      if (der.empty()) return failure;
      return HandOut(s, std::move(der), out);
    }
    unsigned int detached = (p->Flags & 2) ? CMS_DETACHED : 0;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY | detached));
    // The signed attributes as above: no SMIMECapabilities, which no one
    // reads; signingCertificateV2 with the SHA-256 hash of the certificate,
    // whatever the signer's digest (a GOST signer's too), as the direct
    // writer gives it.
    CMS_SignerInfo *si = cms ? CMS_add1_signer(cms.get(), pair->cert.get(), pair->key.get(), md,
                                               CMS_BINARY | CMS_NOSMIMECAP)
                             : nullptr;
    if (si == nullptr || !cades::AddSigningCertificateV2(si, pair->cert.get())) return kSignFailed;
    for (int i = 1; i + 1 < sk_X509_num(chain.get()); ++i) {
      if (!CMS_add1_cert(cms.get(), sk_X509_value(chain.get(), i))) return kSignFailed;
    }
    BioPtr in = BlobBio(data);
    if (!in || !CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY | detached)) return kSignFailed;
    CMS_SignerInfo *signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    if (int32_t st = StampSignerInfo(*session, certs, keys, signer); st != kOk) return st;
    Bytes der = CmsDer(cms.get());
    if (der.empty()) return kSignFailed;
    return HandOut(s, std::move(der), out);
  });
}

int32_t VCERT_VerifyMem(TelvoraSession s, const TelvoraVerifyParams *p, const TelvoraBlob *data,
                        const TelvoraBlob *signature, TelvoraBlob *content, TelvoraVerifyResult *result) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(signature) || result == nullptr || (data != nullptr && !BlobOk(data)))
      return kBadArgument;
    *result = TelvoraVerifyResult{};
    std::vector<X509UPtr> carriedCerts;
    CmsPtr cms = ReadSignedData(signature, carriedCerts);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return kBadEncoding;
    if (int32_t st = gost::MessageUsable(cms.get()); st != kOk) return st;
    bool detached = CMS_is_detached(cms.get()) == 1;
    // A detached signature needs the data blob (possibly empty); for an
    // enclosed one, data given as well must equal the content.
    bool haveData = data != nullptr && (data->Length > 0 || data->Data != nullptr);
    if (detached && data == nullptr) return kBadArgument;

    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    // MD5 and SHA-1 signatures are refused, whoever made them.
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
      X509_ALGOR *digest = nullptr, *sig = nullptr;
      CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, i), nullptr, nullptr, &digest, &sig);
      const ASN1_OBJECT *digestOid = nullptr, *sigOid = nullptr;
      if (digest != nullptr) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digest);
      if (sig != nullptr) X509_ALGOR_get0(&sigOid, nullptr, nullptr, sig);
      if (digestOid == nullptr || DigestWeak(OBJ_obj2nid(digestOid))) return kWeakAlgorithm;
      int sigNid = sigOid != nullptr ? OBJ_obj2nid(sigOid) : NID_undef;
      int sigDigest = NID_undef, sigKey = NID_undef;
      if (OBJ_find_sigid_algs(sigNid, &sigDigest, &sigKey) && sigDigest != NID_undef && DigestWeak(sigDigest))
        return kWeakAlgorithm;
    }

    // The signatures themselves; signer certificates come from the message
    // or the certificate store.
    CertViewPtr known(sk_X509_new_null());
    if (!known) return kInternal;
    for (const auto &c : certs->certs) sk_X509_push(known.get(), c.get());
    for (const auto &c : carriedCerts) sk_X509_push(known.get(), c.get());
    BioPtr dcont = detached ? BlobBio(data) : nullptr;
    // The content of an enclosed message comes out; a detached one's is the
    // data, which need not be copied.
    Bytes carried;
    if (!detached) carried.reserve(static_cast<std::size_t>(signature->Length));
    BioPtr outBio = detached ? nullptr : SinkBio(carried);
    int ok = outBio || detached ? CMS_verify(cms.get(), known.get(), nullptr, dcont.get(), outBio.get(),
                                             CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
                                : 0;
    known.reset();
    if (ok != 1) {
      unsigned long err = ERR_peek_last_error();
      if (ERR_GET_LIB(err) == ERR_LIB_CMS && ERR_GET_REASON(err) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND)
        return kUntrusted;
      return kBadSignature;
    }
    outBio.reset();
    if (!detached && haveData &&
        !std::equal(carried.begin(), carried.end(), data->Data, data->Data + std::max(data->Length, 0)))
      return kBadSignature;

    // Each signer's certificate chain, checked now; without CHECKEXPIRED an
    // expired certificate passes when it was valid at the claimed signing time.
    CertListPtr msgCerts(carriedCerts.empty() ? CMS_get1_certs(cms.get()) : sk_X509_new_null());
    for (const auto &c : carriedCerts) {
      if (!msgCerts || !sk_X509_push(msgCerts.get(), c.get())) return kInternal;
      X509_up_ref(c.get());
    }
    int n = sk_CMS_SignerInfo_num(infos);
    if (n <= 0) return kBadSignature;
    time_t now = time(nullptr);
    auto block = std::make_unique<Block>();
    block->session = s;
    block->kind = BlockKind::kVerify;
    int32_t status = kOk;
    for (int i = 0; i < n && status == kOk; ++i) {
      CMS_SignerInfo *si = sk_CMS_SignerInfo_value(infos, i);
      X509 *signer = nullptr;
      CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
      if (signer == nullptr) {
        status = kUntrusted;
        break;
      }
      if (IsCa(signer)) {
        status = kCaSigner;
        break;
      }
      // A time-stamp token's time, once the token holds, takes the place
      // of the claimed signing time in every decision.
      std::optional<time_t> stamped;
      if (status = SignerStampTime(*session, si, certs, keys, stamped); status != kOk) break;
      ChainRules rules{session->flags, stamped ? std::nullopt : SigningTime(si)};
      rules.stampedAt = stamped;
      if (rules.signedAt && *rules.signedAt > now)
        rules.signedAt.reset();  // a claim from the future counts for nothing
      status = CheckChainOnce(*session, signer, certs, keys, msgCerts.get(), rules);
      if (status == kOk && !UsageAllows(signer, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) status = kKeyUsage;
      // The certificate that verified is the one the signer signed for.
      if (status == kOk) status = cades::CheckSigningCertificate(si, signer);
      if (status == kOk) block->texts.push_back(std::make_unique<CertText>(signer, p->Fields, KeyRefOf(*keys, signer)));
    }
    msgCerts.reset();
    if (status != kOk) return status;

    block->records.resize(block->texts.size());
    block->signers.resize(block->texts.size());
    for (std::size_t i = 0; i < block->texts.size(); ++i) {
      block->texts[i]->Fill(block->records[i]);
      block->signers[i].Status = kOk;
      block->signers[i].Cert = &block->records[i];
    }
    if (content != nullptr) {
      if (int32_t st = HandOut(s, detached ? BlobBytes(data) : std::move(carried), content); st != kOk) return st;
    }
    result->Count = static_cast<int32_t>(block->signers.size());
    result->Signers = block->signers.data();
    const void *key = block->signers.data();
    HandOutArray(key, std::move(block));
    return kOk;
  });
}

