// libcpki1.so: certificate chains and records, and the entry points that
// parse, search and show certificates.
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "os.h"
#include "provider.h"

namespace cpki1 {
namespace {

int ChainCallback(int ok, X509_STORE_CTX *ctx) {
  if (ok) return ok;
  const auto *rules = static_cast<const ChainRules *>(X509_STORE_CTX_get_app_data(ctx));
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_UNABLE_TO_GET_CRL: return 1;  // a CA without a CRL in the store revokes nothing
    case X509_V_ERR_CRL_HAS_EXPIRED: return rules != nullptr && (rules->flags & kNoCrlUpdate) ? 1 : 0;
    case X509_V_ERR_CERT_HAS_EXPIRED: {
      // Without CHECKEXPIRED a signature made while the certificate was
      // valid stays valid after the certificate expired.
      if (rules == nullptr || (rules->flags & kCheckExpired) || !rules->signedAt) return 0;
      X509 *cert = X509_STORE_CTX_get_current_cert(ctx);
      time_t at = *rules->signedAt;
      return cert != nullptr && X509_cmp_time(X509_get0_notBefore(cert), &at) <= 0 &&
                     X509_cmp_time(X509_get0_notAfter(cert), &at) >= 0
                 ? 1
                 : 0;
    }
    default: return 0;
  }
}

int32_t MapVerifyError(int err) {
  switch (err) {
    case X509_V_ERR_CERT_REVOKED: return kRevoked;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return kExpired;
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID: return kCrlStale;
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE: return kCrlUntrusted;
    default: return kUntrusted;
  }
}

bool EqualNoCase(const std::string &a, const char *b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

bool Matches(X509 *cert, const TelvoraFindCriteria &c) {
  if ((c.MatchBy & 1) && (c.Issuer == nullptr || DnText(X509_get_issuer_name(cert)) != c.Issuer)) return false;
  if ((c.MatchBy & 2) && (c.Serial == nullptr || !EqualNoCase(SerialText(X509_get0_serialNumber(cert)), c.Serial)))
    return false;
  if (c.MatchBy & TELVORA_MATCH_SUBJECT) {
    if (c.Subject == nullptr) return false;
    if (strncasecmp(c.Subject, "CN=", 3) == 0) {
      if (!EqualNoCase(CommonName(X509_get_subject_name(cert)), c.Subject + 3)) return false;
    } else if (!EqualNoCase(DnText(X509_get_subject_name(cert)), c.Subject)) {
      return false;
    }
  }
  if (c.MatchBy & TELVORA_MATCH_EKU) {
    auto ekus = ExtKeyUsages(cert);
    for (int32_t i = 0; i < c.EKUCount; ++i) {
      const char *want = c.EKUList[i];
      if (want == nullptr || std::find(ekus.begin(), ekus.end(), want) == ekus.end()) return false;
    }
  }
  return true;
}

}  // namespace

bool TimeValid(X509 *cert, time_t at) {
  time_t t = at;
  return X509_cmp_time(X509_get0_notBefore(cert), &t) <= 0 && X509_cmp_time(X509_get0_notAfter(cert), &t) >= 0;
}

bool UsageAllows(X509 *cert, uint32_t bits) {
  if (!(X509_get_extension_flags(cert) & EXFLAG_KUSAGE)) return true;
  return (X509_get_key_usage(cert) & bits) != 0;
}

int32_t CheckChain(X509 *leaf, const CertStoreData &certs, const KeyStoreData &keys, STACK_OF(X509) * more,
                   const ChainRules &rules) {
  StorePtr store(X509_STORE_new());
  CertListPtr untrusted(sk_X509_new_null());
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !untrusted || !ctx) return kInternal;
  auto push = [&](X509 *c) {
    X509_up_ref(c);
    if (!sk_X509_push(untrusted.get(), c)) X509_free(c);
  };
  auto add = [&](X509 *c) {
    if (X509_check_issued(c, c) == X509_V_OK && IsCa(c)) {
      X509_STORE_add_cert(store.get(), c);
    } else {
      push(c);
    }
  };
  for (const auto &c : certs.certs) add(c.get());
  for (const auto &c : keys.extraCerts) add(c.get());
  for (int i = 0; i < sk_X509_num(more); ++i) push(sk_X509_value(more, i));
  for (const auto &crl : certs.crls) X509_STORE_add_crl(store.get(), crl.get());
  if (!X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get())) return kInternal;
  X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  X509_STORE_CTX_set_app_data(ctx.get(), const_cast<ChainRules *>(&rules));
  X509_STORE_CTX_set_verify_cb(ctx.get(), ChainCallback);
  return X509_verify_cert(ctx.get()) == 1 ? kOk : MapVerifyError(X509_STORE_CTX_get_error(ctx.get()));
}

std::string KeyRefOf(const KeyStoreData &keys, X509 *cert) {
  for (const auto &p : keys.pairs) {
    if (SameCert(p.cert.get(), cert)) return p.ref;
  }
  return {};
}

X509 *FindByIssuerSerial(const CertStoreData &certs, const KeyStoreData &keys, const char *issuer, const char *serial) {
  auto is = [&](X509 *x) {
    return DnText(X509_get_issuer_name(x)) == issuer && EqualNoCase(SerialText(X509_get0_serialNumber(x)), serial);
  };
  for (const auto &c : certs.certs) {
    if (is(c.get())) return c.get();
  }
  for (const auto &p : keys.pairs) {
    if (is(p.cert.get())) return p.cert.get();
  }
  return nullptr;
}

}  // namespace cpki1

using namespace cpki1;

// ---- Certificates -------------------------------------------------------------------

int32_t VCERT_ParseCert(TelvoraSession s, const TelvoraBlob *cert, int32_t fields, TelvoraCertInfo *info) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(cert) || info == nullptr) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    std::string ref;
    if (fields & TELVORA_FIELD_KEYREF) {
      std::shared_ptr<const KeyStoreData> keys;
      if (KeyStoreOf(*session, keys) == kOk) ref = KeyRefOf(*keys, x.get());
    }
    HandOutRecord(s, BlockKind::kParse, std::make_unique<CertText>(x.get(), fields, ref), *info);
    return kOk;
  });
}

int32_t VCERT_FindCert(TelvoraSession s, const TelvoraFindCriteria *c, TelvoraFindResult *result) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    constexpr int32_t kKnown = 1 | 2 | TELVORA_MATCH_SUBJECT | TELVORA_MATCH_EKU;
    if (c == nullptr || result == nullptr || (c->MatchBy & ~kKnown) != 0) return kBadArgument;
    if ((c->MatchBy & TELVORA_MATCH_EKU) && (c->EKUCount < 0 || (c->EKUCount > 0 && c->EKUList == nullptr)))
      return kBadArgument;
    *result = TelvoraFindResult{};
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    std::vector<X509 *> candidates;
    auto add = [&](X509 *x) {
      for (X509 *have : candidates) {
        if (SameCert(have, x)) return;
      }
      candidates.push_back(x);
    };
    if (c->Stores & TELVORA_STORE_OWN) {
      for (const auto &p : keys->pairs) add(p.cert.get());
    }
    if (c->Stores & TELVORA_STORE_OTHERS) {
      for (const auto &x : certs->certs) {
        if (!IsCa(x.get())) add(x.get());
      }
    }
    if (c->Stores & TELVORA_STORE_WIDE) {
      for (const auto &x : certs->certs) add(x.get());
      for (const auto &x : keys->extraCerts) add(x.get());
      for (const auto &p : keys->pairs) add(p.cert.get());
    }
    auto block = std::make_unique<Block>();
    block->session = s;
    block->kind = BlockKind::kFind;
    for (X509 *x : candidates) {
      if (!Matches(x, *c)) continue;
      block->texts.push_back(std::make_unique<CertText>(x, c->Fields, KeyRefOf(*keys, x)));
    }
    if (block->texts.empty()) return kOk;  // Count 0, nothing to release
    block->records.resize(block->texts.size());
    for (std::size_t i = 0; i < block->texts.size(); ++i) block->texts[i]->Fill(block->records[i]);
    TelvoraCertInfo *array = block->records.data();
    result->Count = static_cast<int32_t>(block->records.size());
    result->Certs = array;
    HandOutArray(array, std::move(block));
    return kOk;
  });
}

// ---- Display -------------------------------------------------------------------------

int32_t VCERT_ShowCertificate(TelvoraSession s, const TelvoraBlob *cert) {
  return Guard([&]() -> int32_t {
    if (!FindSession(s)) return kBadSession;
    if (!BlobOk(cert)) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    const char *viewer = std::getenv("CPKI1_VIEWER");
    if (viewer == nullptr || viewer[0] == '\0') return kNoViewer;
    return os::RunViewer(viewer, CertPem(x.get())) == os::ViewerResult::kShown ? kOk : kViewerFailed;
  });
}

