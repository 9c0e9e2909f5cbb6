// The GOST engine through OpenSSL's ENGINE interface. OpenSSL 3.0 marks that
// interface deprecated, but the engine is the only open implementation of the
// national algorithms it can load, and the fetch API does not see what an
// engine registers. This file is the one user of the interface, so the
// deprecation warnings are silenced here and nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "gost.h"

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstring>

#include "status.h"

namespace cpki1::gost {
namespace {

// The engine with a functional reference that is never given back: the
// provider is never unmapped, and what the engine registered stays valid until
// the process ends.
ENGINE *Engine() {
  static ENGINE *const engine = []() -> ENGINE * {
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    ENGINE *e = ENGINE_by_id("gost");
    if (e == nullptr) {
      ERR_clear_error();
      return nullptr;
    }
    if (!ENGINE_init(e)) {
      ENGINE_free(e);
      ERR_clear_error();
      return nullptr;
    }
    ENGINE_free(e);  // the structural reference; the functional one stays
    // As "openssl -engine gost" does: the engine's keys, digests and ciphers
    // become the implementations of their algorithm identifiers, so that
    // certificates, PKCS#12 bags and CMS messages naming them decode and work.
    // It implements nothing else, so EC and RSA are not touched.
    if (!ENGINE_set_default(e, ENGINE_METHOD_ALL)) {
      ENGINE_finish(e);
      ERR_clear_error();
      return nullptr;
    }
    return e;
  }();
  return engine;
}

int BitsOfNid(int nid) {
  switch (nid) {
    case NID_id_GostR3410_2012_256: return 256;
    case NID_id_GostR3410_2012_512: return 512;
    default: return 0;
  }
}

bool AlgorIsGost(const X509_ALGOR *alg) {
  if (alg == nullptr) return false;
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  return IsGostAlgorithm(oid);
}

}  // namespace

bool Available() { return Engine() != nullptr; }

int KeyBits(const EVP_PKEY *key) { return key == nullptr ? 0 : BitsOfNid(EVP_PKEY_get_base_id(key)); }

int CertKeyBits(X509 *cert) {
  X509_PUBKEY *pub = cert != nullptr ? X509_get_X509_PUBKEY(cert) : nullptr;
  ASN1_OBJECT *alg = nullptr;
  if (pub == nullptr || !X509_PUBKEY_get0_param(&alg, nullptr, nullptr, nullptr, pub)) return 0;
  return BitsOfNid(OBJ_obj2nid(alg));
}

bool IsGostAlgorithm(const ASN1_OBJECT *oid) {
  static constexpr char kArc[] = "1.2.643.";
  char text[128];
  if (oid == nullptr) return false;
  int n = OBJ_obj2txt(text, sizeof text, oid, 1);
  return n > 0 && static_cast<std::size_t>(n) < sizeof text && std::strncmp(text, kArc, sizeof kArc - 1) == 0;
}

int32_t CertUsable(X509 *cert) { return CertKeyBits(cert) != 0 && !Available() ? kGostUnavailable : kOk; }

int32_t MessageUsable(CMS_ContentInfo *cms) {
  if (cms == nullptr || Available()) return kOk;
  bool gost = false;
  switch (OBJ_obj2nid(CMS_get0_type(cms))) {
    case NID_pkcs7_signed: {
      STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms);
      for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        X509_ALGOR *digest = nullptr, *signature = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, i), nullptr, nullptr, &digest, &signature);
        gost = gost || AlgorIsGost(digest) || AlgorIsGost(signature);
      }
      break;
    }
    case NID_pkcs7_enveloped: {
      STACK_OF(CMS_RecipientInfo) *infos = CMS_get0_RecipientInfos(cms);
      for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo *ri = sk_CMS_RecipientInfo_value(infos, i);
        X509_ALGOR *alg = nullptr;
        if (CMS_RecipientInfo_type(ri) == CMS_RECIPINFO_TRANS) {
          CMS_RecipientInfo_ktri_get0_algs(ri, nullptr, nullptr, &alg);
        } else if (CMS_RecipientInfo_type(ri) == CMS_RECIPINFO_AGREE) {
          CMS_RecipientInfo_kari_get0_alg(ri, &alg, nullptr);
        }
        gost = gost || AlgorIsGost(alg);
      }
      break;
    }
    default: break;
  }
  ERR_clear_error();
  return gost ? kGostUnavailable : kOk;
}

KeyUPtr NewKey(int bits, const std::string &paramset, std::string *error) {
  auto fail = [&](const std::string &why) {
    if (error != nullptr) *error = why;
    ERR_clear_error();
    return KeyUPtr();
  };
  ENGINE *e = Engine();
  if (e == nullptr) return fail("the GOST engine (libengine-gost-openssl) is not installed");
  if (bits != 256 && bits != 512) return fail("GOST keys have 256 or 512 bits");
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(bits == 512 ? NID_id_GostR3410_2012_512 : NID_id_GostR3410_2012_256, e));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) return fail("the GOST engine cannot make keys");
  if (EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset.c_str()) <= 0)
    return fail("unknown parameter set '" + paramset + "' for a " + std::to_string(bits) + "-bit GOST key");
  EVP_PKEY *key = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &key) <= 0) return fail("GOST key generation failed");
  return KeyUPtr(key);
}

KeyUPtr NewKeyLike(EVP_PKEY *key) {
  int bits = KeyBits(key);
  if (bits == 0) return nullptr;
  // The engine keeps GOST keys as EC keys whose curve is the parameter set.
  const auto *ec = static_cast<const EC_KEY *>(EVP_PKEY_get0(key));
  const EC_GROUP *group = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
  const ASN1_OBJECT *set = group != nullptr ? OBJ_nid2obj(EC_GROUP_get_curve_name(group)) : nullptr;
  char text[128];
  if (set == nullptr || OBJ_obj2txt(text, sizeof text, set, 1) <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  return NewKey(bits, text, nullptr);
}

const EVP_MD *Streebog(int bits) {
  ENGINE *e = Engine();
  if (e == nullptr || (bits != 256 && bits != 512)) return nullptr;
  return ENGINE_get_digest(e, bits == 512 ? NID_id_GostR3411_2012_512 : NID_id_GostR3411_2012_256);
}

const EVP_MD *DigestFor(const EVP_PKEY *key) {
  int bits = KeyBits(key);
  return bits != 0 ? Streebog(bits) : nullptr;
}

const EVP_CIPHER *ContentCipher(Cipher cipher) {
  ENGINE *e = Engine();
  if (e == nullptr) return nullptr;
  return ENGINE_get_cipher(e, cipher == Cipher::kMagma ? NID_magma_ctr_acpkm : NID_kuznyechik_ctr_acpkm);
}

uint32_t RecipientUsage() { return KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT; }

namespace {
int32_t BareHashKey(EVP_PKEY *key, std::size_t hashLength) {
  int bits = KeyBits(key);
  if (bits == 0) return kBadKeyType;
  if (!Available()) return kGostUnavailable;
  if (bits != 256) return kGostBareHash512;
  return hashLength == 32 ? kOk : kBadArgument;
}
}  // namespace

int32_t SignHash(EVP_PKEY *key, const uint8_t *hash, std::size_t hashLength, Bytes &signature) {
  if (int32_t st = BareHashKey(key, hashLength); st != kOk) return st;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  Bytes sig(64);
  std::size_t len = sig.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_sign(ctx.get(), sig.data(), &len, hash, hashLength) <= 0 ||
      len != 64) {
    ERR_clear_error();
    return kSignFailed;
  }
  signature = std::move(sig);
  return kOk;
}

int32_t VerifyHash(EVP_PKEY *key, const uint8_t *hash, std::size_t hashLength, const uint8_t *signature,
                   std::size_t signatureLength) {
  if (int32_t st = BareHashKey(key, hashLength); st != kOk) return st;
  if (signatureLength != 64) return kBadSignature;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  int ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0
               ? EVP_PKEY_verify(ctx.get(), signature, signatureLength, hash, hashLength)
               : -1;
  ERR_clear_error();
  return ok == 1 ? kOk : kBadSignature;
}

}  // namespace cpki1::gost
