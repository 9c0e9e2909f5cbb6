// Time-stamps of CMS signatures (see timestamp.h).
#include "timestamp.h"

#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/http.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "blobs.h"
#include "chain_checks.h"
#include "der.h"
#include "platform/platform.h"
#include "status.h"

namespace cpki1 {

const Bytes kOidSignatureTimeStamp{der::kOid, 11, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E};

namespace {

using TsReqPtr = std::unique_ptr<TS_REQ, Freer<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Freer<TS_RESP_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Freer<TS_TST_INFO_free>>;
using ImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, Freer<TS_MSG_IMPRINT_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, Freer<X509_ALGOR_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, Freer<ASN1_INTEGER_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Freer<BN_free>>;

constexpr std::size_t kMaxAnswer = 256 * 1024;  // a token with a chain is a few KiB
constexpr long kMaxTimeout = 600;

struct Url {
  std::string host, port, path;
};

// An http:// address; nullopt for another scheme, user info, a fragment or
// characters that have no place in a request line.
std::optional<Url> ParseUrl(const std::string &text) {
  if (text.size() <= 7 || strncasecmp(text.c_str(), "http://", 7) != 0) return std::nullopt;
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }))
    return std::nullopt;
  char *user = nullptr, *host = nullptr, *port = nullptr, *path = nullptr, *query = nullptr, *frag = nullptr;
  int ssl = 0, portNumber = 0;
  std::optional<Url> url;
  if (OSSL_HTTP_parse_url(text.c_str(), &ssl, &user, &host, &port, &portNumber, &path, &query, &frag) == 1 &&
      ssl == 0 && (user == nullptr || *user == '\0') && host != nullptr && *host != '\0' &&
      (frag == nullptr || *frag == '\0') && portNumber > 0) {
    url = Url{host, port != nullptr ? port : "80", path != nullptr && *path != '\0' ? path : "/"};
    if (query != nullptr && *query != '\0') url->path += std::string("?") + query;
  }
  for (char *p : {user, host, port, path, query, frag}) OPENSSL_free(p);
  ERR_clear_error();
  return url;
}

std::optional<int> ParseTimeout(const std::string &text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 1 || v > kMaxTimeout) return std::nullopt;
  return static_cast<int>(v);
}

bool DigestOf(const EVP_MD *md, const uint8_t *data, std::size_t length, Bytes &out) {
  static const uint8_t empty = 0;
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (md == nullptr || !EVP_Digest(length > 0 ? data : &empty, length, value, &n, md, nullptr)) return false;
  out.assign(value, value + n);
  return true;
}

bool AlgorithmsStrong(CMS_SignerInfo *si) {
  X509_ALGOR *digest = nullptr, *sig = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, &sig);
  const ASN1_OBJECT *digestOid = nullptr, *sigOid = nullptr;
  if (digest != nullptr) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digest);
  if (sig != nullptr) X509_ALGOR_get0(&sigOid, nullptr, nullptr, sig);
  if (digestOid == nullptr || DigestWeak(OBJ_obj2nid(digestOid))) return false;
  int sigDigest = NID_undef, sigKey = NID_undef;
  return !(sigOid != nullptr && OBJ_find_sigid_algs(OBJ_obj2nid(sigOid), &sigDigest, &sigKey) &&
           sigDigest != NID_undef && DigestWeak(sigDigest));
}

// A certificate for time-stamping and nothing else: a critical extended key
// usage of timeStamping alone, no CA, a key usage (if any) for signatures.
bool TimeStampingOnly(X509 *cert) {
  int critical = -1;
  EkuPtr eku(static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr)));
  return eku && critical == 1 && sk_ASN1_OBJECT_num(eku.get()) == 1 &&
         OBJ_obj2nid(sk_ASN1_OBJECT_value(eku.get(), 0)) == NID_time_stamp && !IsCa(cert) &&
         UsageAllows(cert, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
}

// The token's signed attribute signingCertificate or signingCertificateV2
// (one of them, with one value) names the certificate that signed it.
bool NamesItsSigner(CMS_SignerInfo *si, X509 *signer) {
  auto value = [&](int nid) {
    return static_cast<ASN1_STRING *>(CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(nid), -3, V_ASN1_SEQUENCE));
  };
  ASN1_STRING *v1 = value(NID_id_smime_aa_signingCertificate), *v2 = value(NID_id_smime_aa_signingCertificateV2);
  const unsigned char *p = nullptr;
  std::unique_ptr<ESS_SIGNING_CERT, Freer<ESS_SIGNING_CERT_free>> ss;
  std::unique_ptr<ESS_SIGNING_CERT_V2, Freer<ESS_SIGNING_CERT_V2_free>> ssv2;
  if (v1 != nullptr) {
    p = ASN1_STRING_get0_data(v1);
    ss.reset(d2i_ESS_SIGNING_CERT(nullptr, &p, ASN1_STRING_length(v1)));
    if (!ss) return false;
  }
  if (v2 != nullptr) {
    p = ASN1_STRING_get0_data(v2);
    ssv2.reset(d2i_ESS_SIGNING_CERT_V2(nullptr, &p, ASN1_STRING_length(v2)));
    if (!ssv2) return false;
  }
  CertViewPtr chain(sk_X509_new_null());
  bool ok = chain && sk_X509_push(chain.get(), signer) > 0 &&
            OSSL_ESS_check_signing_certs(ss.get(), ssv2.get(), chain.get(), 1) > 0;
  ERR_clear_error();
  return ok;
}

// The check of a token (the DER of its ContentInfo) for a signature value.
// trustedNow: the authority's chain must hold now as at signing (else the
// chain is checked as a signer's, with the token's time as its signing
// time). The token's time in genTime and its TSTInfo in tstOut.
int32_t CheckToken(Session &s, const std::shared_ptr<const CertStoreData> &certs,
                   const std::shared_ptr<const KeyStoreData> &keys, const uint8_t *token, std::size_t tokenLength,
                   const uint8_t *signature, std::size_t signatureLength, bool trustedNow, time_t &genTime,
                   TstInfoPtr &tstOut) {
  const uint8_t *p = token;
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(tokenLength)));
  if (!cms || p != token + tokenLength || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_id_smime_ct_TSTInfo || CMS_is_detached(cms.get()) == 1)
    return kTsaTokenBad;
  STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(infos) != 1) return kTsaTokenBad;
  CMS_SignerInfo *tsi = sk_CMS_SignerInfo_value(infos, 0);
  if (!AlgorithmsStrong(tsi)) return kTsaTokenBad;

  // The token's signature; the authority's certificate comes from the token
  // or the certificate store.
  CertViewPtr known(sk_X509_new_null());
  if (!known) return kInternal;
  for (const auto &c : certs->certs) sk_X509_push(known.get(), c.get());
  Bytes content;
  BioPtr out = SinkBio(content);
  if (!out) return kInternal;
  if (CMS_verify(cms.get(), known.get(), nullptr, nullptr, out.get(), CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    return ERR_GET_LIB(err) == ERR_LIB_CMS && ERR_GET_REASON(err) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND
               ? kTsaUntrusted
               : kTsaTokenBad;
  }
  out.reset();
  X509 *tsa = nullptr;
  CMS_SignerInfo_get0_algs(tsi, nullptr, &tsa, nullptr, nullptr);
  if (tsa == nullptr) return kTsaUntrusted;
  if (!NamesItsSigner(tsi, tsa)) return kTsaTokenBad;

  // What it vouches for: the digest of this signature value at genTime.
  const uint8_t *q = content.data();
  TstInfoPtr tst(d2i_TS_TST_INFO(nullptr, &q, static_cast<long>(content.size())));
  if (!tst || q != content.data() + content.size() || TS_TST_INFO_get_version(tst.get()) != 1)
    return kTsaTokenBad;
  TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(tst.get());
  const ASN1_OBJECT *algOid = nullptr;
  X509_ALGOR_get0(&algOid, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
  const int algNid = algOid != nullptr ? OBJ_obj2nid(algOid) : NID_undef;
  Bytes expected;
  const ASN1_OCTET_STRING *given = TS_MSG_IMPRINT_get_msg(imprint);
  if (DigestWeak(algNid) || !DigestOf(EVP_get_digestbynid(algNid), signature, signatureLength, expected) ||
      given == nullptr || static_cast<std::size_t>(ASN1_STRING_length(given)) != expected.size() ||
      std::memcmp(ASN1_STRING_get0_data(given), expected.data(), expected.size()) != 0)
    return kTsaTokenBad;
  ERR_clear_error();
  auto when = TimeOf(TS_TST_INFO_get_time(tst.get()));
  const int64_t now = static_cast<int64_t>(time(nullptr));
  if (!when || *when > now + kClockSkew) return kTsaTokenBad;  // no time from the future
  genTime = static_cast<time_t>(*when);

  // Who vouches for it: an authority for time-stamps only, valid at that
  // time, chained to an anchor of the stores.
  if (!TimeStampingOnly(tsa)) return kTsaUntrusted;
  if (X509_cmp_time(X509_get0_notBefore(tsa), &genTime) > 0 || X509_cmp_time(X509_get0_notAfter(tsa), &genTime) < 0)
    return kTsaUntrusted;
  CertListPtr carried(CMS_get1_certs(cms.get()));
  ChainRules rules{s.flags, genTime};
  if (trustedNow) rules = ChainRules{s.flags | kCheckExpired, std::nullopt};
  if (CheckChainOnce(s, tsa, certs, keys, carried.get(), rules) != kOk) return kTsaUntrusted;
  tstOut = std::move(tst);
  return kOk;
}

// A time-stamp request for the SHA-256 digest of a signature value, with a
// fresh nonce and the authority's certificate asked for.
TsReqPtr Request(const uint8_t *signature, std::size_t length, IntegerPtr &nonce) {
  Bytes digest;
  if (!DigestOf(Algs().sha256, signature, length, digest)) return nullptr;
  TsReqPtr req(TS_REQ_new());
  ImprintPtr imprint(TS_MSG_IMPRINT_new());
  AlgorPtr alg(X509_ALGOR_new());
  uint8_t random[8];
  if (!req || !imprint || !alg || RAND_bytes(random, sizeof random) != 1) return nullptr;
  BnPtr bn(BN_bin2bn(random, sizeof random, nullptr));
  nonce.reset(bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr);
  if (!nonce || !X509_ALGOR_set0(alg.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) ||
      !TS_MSG_IMPRINT_set_algo(imprint.get(), alg.get()) ||
      !TS_MSG_IMPRINT_set_msg(imprint.get(), digest.data(), static_cast<int>(digest.size())) ||
      !TS_REQ_set_version(req.get(), 1) || !TS_REQ_set_msg_imprint(req.get(), imprint.get()) ||
      !TS_REQ_set_nonce(req.get(), nonce.get()) || !TS_REQ_set_cert_req(req.get(), 1))
    return nullptr;
  return req;
}

// One exchange with the authority: the answer's bytes, or nullopt when none
// came (no connection, an HTTP error, another content type, more than
// kMaxAnswer, the time-out).
std::optional<Bytes> Exchange(const Url &url, int timeout, TS_REQ *req) {
  BioPtr body(BIO_new(BIO_s_mem()));
  if (!body || i2d_TS_REQ_bio(body.get(), req) != 1) return std::nullopt;
  // No proxy: the address is reached as it is written.
  BioPtr answer(OSSL_HTTP_transfer(nullptr, url.host.c_str(), url.port.c_str(), url.path.c_str(), 0, "", nullptr,
                                   nullptr, nullptr, nullptr, nullptr, 0, nullptr, "application/timestamp-query",
                                   body.get(), "application/timestamp-reply", 1, kMaxAnswer, timeout, 0));
  ERR_clear_error();
  if (!answer) return std::nullopt;
  char *data = nullptr;
  long n = BIO_get_mem_data(answer.get(), &data);
  if (n <= 0 || data == nullptr || static_cast<std::size_t>(n) > kMaxAnswer) return std::nullopt;
  return Bytes(reinterpret_cast<uint8_t *>(data), reinterpret_cast<uint8_t *>(data) + n);
}

}  // namespace

int TakeTsaSetting(const std::string &key, const std::string &value, TsaSettings &settings) {
  if (strcasecmp(key.c_str(), "tsa") == 0) {
    if (!value.empty() && !ParseUrl(value)) return -1;
    settings.url = value;
    return 1;
  }
  if (strcasecmp(key.c_str(), "tsa_timeout") == 0) {
    auto t = ParseTimeout(value);
    if (!t) return -1;
    settings.timeoutSeconds = *t;
    return 1;
  }
  return 0;
}

int32_t TsaSettingsFromEnvironment(TsaSettings &settings) {
  std::string value;
  if (crtelv::platform::GetEnv("CPKI1_TSA", value) && !value.empty() && TakeTsaSetting("tsa", value, settings) < 0)
    return kTsaSetting;
  if (crtelv::platform::GetEnv("CPKI1_TSA_TIMEOUT", value) && !value.empty() &&
      TakeTsaSetting("tsa_timeout", value, settings) < 0)
    return kTsaSetting;
  return kOk;
}

int32_t StampSignature(Session &s, const std::shared_ptr<const CertStoreData> &certs,
                       const std::shared_ptr<const KeyStoreData> &keys, const uint8_t *signature, std::size_t length,
                       Bytes &token) {
  token.clear();
  if (s.tsa.url.empty()) return kOk;
  std::optional<Url> url = ParseUrl(s.tsa.url);
  if (!url) return kTsaSetting;
  IntegerPtr nonce;
  TsReqPtr req = Request(signature, length, nonce);
  if (!req) return kInternal;
  std::optional<Bytes> answer = Exchange(*url, s.tsa.timeoutSeconds, req.get());
  if (!answer) return kTsaUnreachable;

  // TimeStampResp ::= SEQUENCE { status PKIStatusInfo, timeStampToken ContentInfo OPTIONAL }:
  // the token is taken as its bytes came, the rest read by OpenSSL.
  der::Cursor top(der::Span{answer->data(), answer->size()});
  der::Element whole, status, raw;
  if (!top.Take(der::kSequence, whole) || !top.AtEnd()) return kTsaBadAnswer;
  der::Cursor fields(whole.content);
  if (!fields.Take(der::kSequence, status) || !fields.Take(der::kSequence, raw) || !fields.AtEnd())
    return kTsaBadAnswer;
  const uint8_t *p = answer->data();
  TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(answer->size())));
  if (!resp) return kTsaBadAnswer;
  const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(resp.get())));
  if (granted != 0 && granted != 1) return kTsaBadAnswer;  // granted, or granted with modifications

  time_t genTime = 0;
  TstInfoPtr tst;
  int32_t st = CheckToken(s, certs, keys, raw.whole.data, raw.whole.size, signature, length, true, genTime, tst);
  if (st == kTsaTokenBad) return kTsaBadAnswer;
  if (st != kOk) return st;
  const ASN1_INTEGER *echoed = TS_TST_INFO_get_nonce(tst.get());
  if (echoed == nullptr || ASN1_INTEGER_cmp(echoed, nonce.get()) != 0) return kTsaBadAnswer;
  token.assign(raw.whole.data, raw.whole.data + raw.whole.size);
  return kOk;
}

int32_t StampSignerInfo(Session &s, const std::shared_ptr<const CertStoreData> &certs,
                        const std::shared_ptr<const KeyStoreData> &keys, CMS_SignerInfo *si) {
  if (s.tsa.url.empty()) return kOk;
  ASN1_OCTET_STRING *value = si != nullptr ? CMS_SignerInfo_get0_signature(si) : nullptr;
  if (value == nullptr) return kSignFailed;
  Bytes token;
  int32_t st = StampSignature(s, certs, keys, ASN1_STRING_get0_data(value),
                              static_cast<std::size_t>(ASN1_STRING_length(value)), token);
  if (st != kOk) return st;
  if (CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token.data(),
                                    static_cast<int>(token.size())) != 1)
    return kSignFailed;
  return kOk;
}

int32_t SignerStampTime(Session &s, CMS_SignerInfo *si, const std::shared_ptr<const CertStoreData> &certs,
                        const std::shared_ptr<const KeyStoreData> &keys, std::optional<time_t> &stampedAt) {
  stampedAt.reset();
  const int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
  if (idx < 0) return kOk;
  if (CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, idx) >= 0) return kTsaTokenBad;
  X509_ATTRIBUTE *attr = CMS_unsigned_get_attr(si, idx);
  ASN1_TYPE *t = attr != nullptr && X509_ATTRIBUTE_count(attr) == 1 ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
  ASN1_OCTET_STRING *value = CMS_SignerInfo_get0_signature(si);
  if (t == nullptr || t->type != V_ASN1_SEQUENCE || t->value.sequence == nullptr || value == nullptr)
    return kTsaTokenBad;
  time_t genTime = 0;
  TstInfoPtr tst;
  int32_t st = CheckToken(s, certs, keys, ASN1_STRING_get0_data(t->value.sequence),
                          static_cast<std::size_t>(ASN1_STRING_length(t->value.sequence)),
                          ASN1_STRING_get0_data(value), static_cast<std::size_t>(ASN1_STRING_length(value)), false,
                          genTime, tst);
  if (st != kOk) return st;
  stampedAt = genTime;
  return kOk;
}

}  // namespace cpki1
