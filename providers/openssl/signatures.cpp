// libcpki1.so: hashes, raw signatures of hashes, and CMS SignedData.
#include <openssl/bn.h>
#include <openssl/ec.h>

#include <ctime>

#include "provider.h"

namespace cpki1 {
namespace {

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

bool IsP256(EVP_PKEY *key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "EC")) return false;
  char group[80] = {0};
  std::size_t len = 0;
  return EVP_PKEY_get_group_name(key, group, sizeof group, &len) && OBJ_sn2nid(group) == NID_X9_62_prime256v1;
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

// ---- Hashes -------------------------------------------------------------------------

int32_t VCERT_HashMem(TelvoraSession s, const TelvoraBlob *data, TelvoraBlob *hash) {
  return Guard([&]() -> int32_t {
    if (!FindSession(s)) return kBadSession;
    if (!BlobOk(data) || hash == nullptr) return kBadArgument;
    if (Algs().sha256 == nullptr) return kInternal;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    static const uint8_t empty = 0;
    if (!EVP_Digest(data->Length > 0 ? data->Data : &empty, static_cast<std::size_t>(data->Length), md, &len,
                    Algs().sha256, nullptr))
      return kInternal;
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
    EVP_PKEY *key = X509_get0_pubkey(x.get());
    if (!IsP256(key)) return kBadKeyType;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(signature->Data, 32, nullptr);
    BIGNUM *sv = BN_bin2bn(signature->Data + 32, 32, nullptr);
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
                 ? EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLen), hash->Data, 32)
                 : -1;
    OPENSSL_free(der);
    if (ok != 1) return kBadSignature;
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;
    if (int32_t st = CheckChain(x.get(), *certs, *keys, nullptr, ChainRules{session->flags, std::nullopt}); st != kOk)
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
    if (!TimeValid(pair->cert.get(), time(nullptr))) return kExpired;
    if (!UsageAllows(pair->cert.get(), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) return kKeyUsage;
    if (Algs().sha256 == nullptr) return kInternal;
    unsigned int detached = (p->Flags & 2) ? CMS_DETACHED : 0;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY | detached));
    if (!cms || CMS_add1_signer(cms.get(), pair->cert.get(), pair->key.get(), Algs().sha256, CMS_BINARY) == nullptr)
      return kSignFailed;
    BioPtr in = BlobBio(data);
    if (!in || !CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY | detached)) return kSignFailed;
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
    CmsPtr cms = ReadCms(signature);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return kBadEncoding;
    bool detached = CMS_is_detached(cms.get()) == 1;
    // A detached signature needs the data blob (possibly empty); for an
    // enclosed one, data given as well must equal the content.
    bool haveData = data != nullptr && (data->Length > 0 || data->Data != nullptr);
    if (detached && data == nullptr) return kBadArgument;

    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    // The signatures themselves; signer certificates come from the message
    // or the certificate store.
    CertViewPtr known(sk_X509_new_null());
    if (!known) return kInternal;
    for (const auto &c : certs->certs) sk_X509_push(known.get(), c.get());
    BioPtr dcont = detached ? BlobBio(data) : nullptr;
    BioPtr outBio(BIO_new(BIO_s_mem()));
    int ok = outBio ? CMS_verify(cms.get(), known.get(), nullptr, dcont.get(), outBio.get(),
                                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
                    : 0;
    known.reset();
    if (ok != 1) {
      unsigned long err = ERR_peek_last_error();
      if (ERR_GET_LIB(err) == ERR_LIB_CMS && ERR_GET_REASON(err) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND)
        return kUntrusted;
      return kBadSignature;
    }
    Bytes carried = detached ? BlobBytes(data) : BioBytes(outBio.get());
    if (!detached && haveData && carried != BlobBytes(data)) return kBadSignature;

    // Each signer's certificate chain, checked now; without CHECKEXPIRED an
    // expired certificate passes when it was valid at the claimed signing time.
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
    CertListPtr msgCerts(CMS_get1_certs(cms.get()));
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
      ChainRules rules{session->flags, SigningTime(si)};
      if (rules.signedAt && *rules.signedAt > now)
        rules.signedAt.reset();  // a claim from the future counts for nothing
      status = CheckChain(signer, *certs, *keys, msgCerts.get(), rules);
      if (status == kOk && !UsageAllows(signer, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) status = kKeyUsage;
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
      if (int32_t st = HandOut(s, carried, content); st != kOk) return st;
    }
    result->Count = static_cast<int32_t>(block->signers.size());
    result->Signers = block->signers.data();
    const void *key = block->signers.data();
    HandOutArray(key, std::move(block));
    return kOk;
  });
}

