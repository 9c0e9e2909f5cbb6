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

#include <strings.h>

#include <cstring>

#ifdef CPKI1_GOST_BUILT_IN
extern "C" {  // a C library whose header does not say so
#include <gost-engine.h>
}
#endif

#include "platform/platform.h"
#include "status.h"

namespace cpki1::gost {
namespace {

// CPKI1_NO_GOST set to anything but "" or "0": the process behaves as if the
// engine were missing (what a system without it gets, on any build).
bool TurnedOff() {
  std::string value;
  return crtelv::platform::GetEnv("CPKI1_NO_GOST", value) && !value.empty() && value != "0";
}

// The engine with a functional reference that is never given back: the
// provider is never unmapped, and what the engine registered stays valid until
// the process ends. Linked into the provider (CPKI1_GOST_BUILT_IN, the
// Windows build) it is added to OpenSSL's list here; otherwise it is the
// module that OpenSSL's engines folder holds.
ENGINE *Engine() {
  static ENGINE *const engine = []() -> ENGINE * {
    if (TurnedOff()) return nullptr;
#ifdef CPKI1_GOST_BUILT_IN
    ENGINE_load_gost();
#else
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
#endif
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
    case NID_pkcs7_enveloped:
    case NID_id_smime_ct_authEnvelopedData: {
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
  if (e == nullptr) return fail("the GOST engine (libengine-gost-openssl) is not installed, or CPKI1_NO_GOST is set");
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

const EVP_MD *DigestOr(const EVP_PKEY *key, const EVP_MD *other) { return IsGostKey(key) ? DigestFor(key) : other; }

int32_t AddRecipient(CMS_ContentInfo *cms, X509 *cert, const EVP_CIPHER *cipher) {
  // The engine derives the key export from the content cipher, which it
  // learns through the recipient's key context (as "openssl cms" tells it).
  CMS_RecipientInfo *ri = CMS_add1_recipient_cert(cms, cert, CMS_KEY_PARAM);
  EVP_PKEY_CTX *pctx = ri != nullptr ? CMS_RecipientInfo_get0_pkey_ctx(ri) : nullptr;
  if (pctx == nullptr ||
      EVP_PKEY_CTX_ctrl(pctx, -1, -1, EVP_PKEY_CTRL_CIPHER, EVP_CIPHER_get_nid(cipher), nullptr) <= 0) {
    ERR_clear_error();
    return kEncryptFailed;
  }
  return kOk;
}

int TakeProfileSetting(const std::string &key, const std::string &value, Choices &choices) {
  auto is = [](const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; };
  if (is(key, "hash")) {
    if (is(value, "sha256")) {
      choices.hash = Choices::Hash::kSha256;
    } else if (is(value, "streebog256")) {
      choices.hash = Choices::Hash::kStreebog256;
    } else {
      return -1;
    }
    return 1;
  }
  if (is(key, "gost_cipher")) {
    if (is(value, "kuznyechik")) {
      choices.cipher = Cipher::kKuznyechik;
    } else if (is(value, "magma")) {
      choices.cipher = Cipher::kMagma;
    } else {
      return -1;
    }
    return 1;
  }
  return 0;
}

int32_t HashFor(const Choices &choices, bool gostUser, const EVP_MD *&md) {
  bool streebog =
      choices.hash == Choices::Hash::kStreebog256 || (choices.hash == Choices::Hash::kByKey && gostUser);
  md = streebog ? Streebog(256) : Algs().sha256;
  if (md != nullptr) return kOk;
  return streebog ? kGostUnavailable : kInternal;
}

int32_t CipherFor(const std::vector<X509UPtr> &recipients, const Choices &choices, const EVP_CIPHER *other,
                  const EVP_CIPHER *&cipher) {
  std::size_t gost = 0;
  for (const auto &x : recipients) gost += CertKeyBits(x.get()) != 0 ? 1 : 0;
  if (gost == 0) {
    cipher = other;
    return kOk;
  }
  // The engine exports keys only under its own ciphers and EC key agreement
  // wraps only AES keys. A set with GOST and other keys is refused as a
  // whole (also with RSA keys, which could carry either), so that the answer
  // does not depend on which other keys are in the set.
  if (gost != recipients.size()) return kGostMixedRecipients;
  cipher = ContentCipher(choices.cipher);
  return cipher != nullptr ? kOk : kGostUnavailable;
}

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
