// Certificate chains to the stores' anchors, revocation, the session's
// memory of clean results (see chain_checks.h).
#include "chain_checks.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "certinfo.h"
#include "gost.h"
#include "status.h"

namespace cpki1 {
namespace {

int ChainCallback(int ok, X509_STORE_CTX *ctx) {
  if (ok) return ok;
  const auto *rules = static_cast<const ChainRules *>(X509_STORE_CTX_get_app_data(ctx));
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_CERT_HAS_EXPIRED: {
      // Without CHECKEXPIRED a signature made while the certificate was
      // valid stays valid after the certificate expired. A time-stamp's
      // time proves when it was made: then with CHECKEXPIRED as well.
      if (rules == nullptr) return 0;
      if (!rules->stampedAt && ((rules->flags & kCheckExpired) || !rules->signedAt)) return 0;
      X509 *cert = X509_STORE_CTX_get_current_cert(ctx);
      time_t at = rules->stampedAt ? *rules->stampedAt : *rules->signedAt;
      if (cert == nullptr || X509_cmp_time(X509_get0_notBefore(cert), &at) > 0 ||
          X509_cmp_time(X509_get0_notAfter(cert), &at) < 0)
        return 0;
      rules->forgave = true;  // a result that depends on the claim as well
      return 1;
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
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
    case X509_V_ERR_CA_MD_TOO_WEAK: return kWeakAlgorithm;
    default: return kUntrusted;
  }
}

// Each certificate of a built chain (leaf first, anchor last) against the
// CRLs of the store. A CRL counts for a certificate only when its issuer's
// key signed it, the issuer may sign CRLs (cRLSign, when it has a key usage)
// and the CRL is a complete one by CrlTakenAsComplete, so a CRL that merely
// bears the CA's name, or covers part of its certificates, changes nothing;
// but when CRLs bear the name and none counts, the check fails rather than
// pass without revocation. A CA without any CRL revokes nothing.
// With a time-stamp's time, an entry dated after that time leaves the
// certificate as it was then; an entry whose date cannot be read revokes.
int32_t CheckRevocation(STACK_OF(X509) * chain, const CertStoreData &certs, const ChainRules &rules) {
  const int32_t flags = rules.flags;
  time_t now = time(nullptr), latest = now + kClockSkew;
  int n = sk_X509_num(chain);
  for (int i = 0; i + 1 < n; ++i) {
    X509 *cert = sk_X509_value(chain, i);
    X509 *issuer = sk_X509_value(chain, i + 1);
    EVP_PKEY *key = UsageAllows(issuer, KU_CRL_SIGN) ? X509_get0_pubkey(issuer) : nullptr;
    bool named = false;
    X509_CRL *newest = nullptr;
    for (const auto &c : certs.crls) {
      if (X509_NAME_cmp(X509_CRL_get_issuer(c.get()), X509_get_issuer_name(cert)) != 0) continue;
      named = true;
      if (key == nullptr || CrlTakenAsComplete(c.get()) != kOk || X509_CRL_verify(c.get(), key) != 1) continue;
      if (X509_cmp_time(X509_CRL_get0_lastUpdate(c.get()), &latest) > 0) continue;  // not valid yet
      if (newest == nullptr || CompareCrls(c.get(), newest) > 0) newest = c.get();
    }
    if (!named) continue;
    if (newest == nullptr) return kNoUsableCrl;
    const ASN1_TIME *next = X509_CRL_get0_nextUpdate(newest);
    if (!(flags & kNoCrlUpdate) && next != nullptr && X509_cmp_time(next, &now) < 0) return kCrlStale;
    X509_REVOKED *entry = nullptr;
    if (X509_CRL_get0_by_cert(newest, &entry, cert) == 1) {
      if (!rules.stampedAt) return kRevoked;
      auto date = TimeOf(X509_REVOKED_get0_revocationDate(entry));
      if (!date || *date <= static_cast<int64_t>(*rules.stampedAt)) return kRevoked;
    }
  }
  return kOk;
}

}  // namespace

bool UsageAllows(X509 *cert, uint32_t bits) {
  if (!(X509_get_extension_flags(cert) & EXFLAG_KUSAGE)) return true;
  return (X509_get_key_usage(cert) & bits) != 0;
}

bool DigestWeak(int digestNid) {
  // Streebog is known also where the engine, and so its EVP_MD, is missing;
  // whether it can be computed is asked elsewhere (kGostUnavailable).
  if (digestNid == NID_id_GostR3411_2012_256 || digestNid == NID_id_GostR3411_2012_512) return false;
  const EVP_MD *md = EVP_get_digestbynid(digestNid);
  return md == nullptr || EVP_MD_get_size(md) < 28;
}

bool SignatureWeak(int signatureNid) {
  int digest = NID_undef, key = NID_undef;
  if (!OBJ_find_sigid_algs(signatureNid, &digest, &key)) return true;
  return digest != NID_undef && DigestWeak(digest);  // undef: the key's own (Ed25519)
}

int32_t CrlTakenAsComplete(X509_CRL *crl) {
  if (CrlScoped(crl)) return kCrlScoped;
  auto handled = [](const X509_EXTENSION *ext, std::initializer_list<int> nids) {
    if (!X509_EXTENSION_get_critical(ext)) return true;
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(const_cast<X509_EXTENSION *>(ext)));
    return std::find(nids.begin(), nids.end(), nid) != nids.end();
  };
  for (int i = 0; i < X509_CRL_get_ext_count(crl); ++i) {
    if (!handled(X509_CRL_get_ext(crl, i), {NID_authority_key_identifier, NID_crl_number}))
      return kCrlCriticalExtension;
  }
  // An entry's reason and invalidity date change nothing (a listed
  // certificate is revoked); a certificate issuer (an indirect CRL) is not
  // handled.
  STACK_OF(X509_REVOKED) *entries = X509_CRL_get_REVOKED(crl);
  for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
    const STACK_OF(X509_EXTENSION) *exts = X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(entries, i));
    for (int k = 0; k < sk_X509_EXTENSION_num(exts); ++k) {
      if (!handled(sk_X509_EXTENSION_value(exts, k), {NID_crl_reason, NID_invalidity_date}))
        return kCrlCriticalExtension;
    }
  }
  if (SignatureWeak(X509_CRL_get_signature_nid(crl))) return kWeakAlgorithm;
  return kOk;
}

namespace {

// The time span in which a clean result stays what it is: no validity bound
// of a certificate or CRL the check could have used is crossed in it. A bound
// already passed moves its start, one still ahead its end (a second narrower
// at each end).
struct Bounds {
  int64_t from = INT64_MIN, until = INT64_MAX;
  void Edge(int64_t t, int64_t now) {
    if (t < now) {
      from = std::max(from, t + 1);
    } else {
      until = std::min(until, t);
    }
  }
  bool Edge(const ASN1_TIME *t, int64_t now, int64_t shift = 0) {
    if (t == nullptr) return true;
    auto v = TimeOf(t);
    if (!v) return false;
    Edge(*v + shift, now);
    return true;
  }
  bool Cert(X509 *c, int64_t now) { return Edge(X509_get0_notBefore(c), now) && Edge(X509_get0_notAfter(c), now); }
};

// The bounds of a result made at now: every certificate the chain could be
// built from (OpenSSL prefers issuers valid at the time) and every CRL of
// the store (usable from kClockSkew before its thisUpdate, stale after its
// nextUpdate). Empty when a time cannot be read.
std::optional<Bounds> BoundsOf(X509 *leaf, const CertStoreData &certs, const KeyStoreData &keys,
                               STACK_OF(X509) * more, int64_t now) {
  Bounds b;
  bool ok = b.Cert(leaf, now);
  for (const auto &c : certs.certs) ok = ok && b.Cert(c.get(), now);
  for (const auto &c : keys.extraCerts) ok = ok && b.Cert(c.get(), now);
  for (int i = 0; ok && i < sk_X509_num(more); ++i) ok = b.Cert(sk_X509_value(more, i), now);
  for (const auto &crl : certs.crls) {
    ok = ok && b.Edge(X509_CRL_get0_lastUpdate(crl.get()), now, -static_cast<int64_t>(kClockSkew)) &&
         b.Edge(X509_CRL_get0_nextUpdate(crl.get()), now);
  }
  if (!ok) return std::nullopt;
  return b;
}

}  // namespace

int32_t CheckChain(X509 *leaf, const CertStoreData &certs, const KeyStoreData &keys, STACK_OF(X509) * more,
                   const ChainRules &rules, CertListPtr *chainOut) {
  StorePtr store(X509_STORE_new());
  CertListPtr untrusted(sk_X509_new_null());
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !untrusted || !ctx) return kInternal;
  auto push = [&](X509 *c) {
    X509_up_ref(c);
    if (!sk_X509_push(untrusted.get(), c)) X509_free(c);
  };
  auto add = [&](X509 *c) {
    if (IsAnchor(c)) {
      X509_STORE_add_cert(store.get(), c);
    } else {
      push(c);
    }
  };
  for (const auto &c : certs.certs) add(c.get());
  for (const auto &c : keys.extraCerts) add(c.get());
  for (int i = 0; i < sk_X509_num(more); ++i) push(sk_X509_value(more, i));
  if (!X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get())) return kInternal;
  X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(ctx.get()), 2);
  X509_STORE_CTX_set_app_data(ctx.get(), const_cast<ChainRules *>(&rules));
  X509_STORE_CTX_set_verify_cb(ctx.get(), ChainCallback);
  if (X509_verify_cert(ctx.get()) != 1) return MapVerifyError(X509_STORE_CTX_get_error(ctx.get()));
  // The chain holds now; with a time-stamp, the certificate itself must
  // have been valid at the time-stamp's time too.
  if (rules.stampedAt) {
    time_t at = *rules.stampedAt;
    if (X509_cmp_time(X509_get0_notBefore(leaf), &at) > 0 || X509_cmp_time(X509_get0_notAfter(leaf), &at) < 0)
      return kExpired;
  }
  CertListPtr chain(X509_STORE_CTX_get1_chain(ctx.get()));
  if (!chain) return kInternal;
  int n = sk_X509_num(chain.get());
  for (int i = 0; i < n; ++i) {
    X509 *c = sk_X509_value(chain.get(), i);
    if (!KeyStrong(X509_get0_pubkey(c))) return kWeakAlgorithm;
    // The anchor's signature on itself vouches for nothing.
    if (i + 1 < n && SignatureWeak(X509_get_signature_nid(c))) return kWeakAlgorithm;
  }
  int32_t status = CheckRevocation(chain.get(), certs, rules);
  if (chainOut != nullptr) *chainOut = std::move(chain);
  return status;
}

int32_t CheckChainOnce(Session &s, X509 *leaf, const std::shared_ptr<const CertStoreData> &certs,
                       const std::shared_ptr<const KeyStoreData> &keys, STACK_OF(X509) * more,
                       const ChainRules &rules, CertListPtr *chainOut) {
  constexpr std::size_t kRemembered = 32;
  std::string id;
  auto append = [&](X509 *c) {
    Bytes der = CertDer(c);
    if (der.empty()) return false;
    // Each encoding with its length, so that no two lists read the same.
    id += std::to_string(der.size()) + ':';
    id.append(der.begin(), der.end());
    return true;
  };
  // A check at a time-stamp's time is never remembered nor answered from
  // memory: a clean result now says nothing of that time.
  bool named = !rules.stampedAt && append(leaf);
  for (int i = 0; named && i < sk_X509_num(more); ++i) named = append(sk_X509_value(more, i));
  const int64_t before = static_cast<int64_t>(time(nullptr));
  if (named) {
    std::lock_guard<std::mutex> lock(s.mutex);
    // What was made with other snapshots of the stores is of no more use.
    std::erase_if(s.chains, [&](const ChainMemo &m) { return m.store != certs || m.keys != keys; });
    for (const ChainMemo &m : s.chains) {
      if (m.flags == rules.flags && m.from <= before && before < m.until && m.certs == id) {
        if (chainOut != nullptr) {
          chainOut->reset(X509_chain_up_ref(m.chain.get()));
          if (!*chainOut) return kInternal;
        }
        return kOk;
      }
    }
  }
  CertListPtr chain;
  int32_t status = CheckChain(leaf, *certs, *keys, more, rules, &chain);
  // The check ran somewhere between before and after: both must lie in the
  // span for the result to hold in all of it.
  const int64_t after = static_cast<int64_t>(time(nullptr));
  if (status == kOk && named && !rules.forgave && chain) {
    std::optional<Bounds> bounds = BoundsOf(leaf, *certs, *keys, more, before);
    std::shared_ptr<STACK_OF(X509)> kept(X509_chain_up_ref(chain.get()), FreeCertList);
    if (bounds && kept && bounds->from <= before && after < bounds->until) {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.chains.size() >= kRemembered) s.chains.erase(s.chains.begin());
      s.chains.push_back(
          ChainMemo{std::move(id), certs, keys, rules.flags, bounds->from, bounds->until, std::move(kept)});
    }
  }
  if (chainOut != nullptr) *chainOut = std::move(chain);
  return status;
}

std::string KeyRefOf(const KeyStoreData &keys, X509 *cert) {
  for (const auto &p : keys.pairs) {
    if (SameCert(p.cert.get(), cert)) return p.ref;
  }
  return {};
}

}  // namespace cpki1
