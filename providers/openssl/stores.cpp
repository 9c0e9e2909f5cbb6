// libcpki1.so: the entry points that add certificates and CRLs to the
// certificate store of a session.
#include <algorithm>
#include <ctime>

#include "provider.h"

using namespace cpki1;

// ---- Adding to the certificate store ---------------------------------------------------

int32_t VCERT_AddCertificate(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *cert) {
  return Guard([&]() -> int32_t {
    (void)p;
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(cert)) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    // The store's self-signed CA certificates are its trust anchors: they are
    // installed with cpki1-tool, never by a host passing on what a peer sent.
    // Another CA certificate is taken only when it chains to an anchor: its
    // key then signs CRLs that count.
    bool anchor = IsAnchor(x.get()), ca = IsCa(x.get());
    return ChangeCertStore(*session, [&](CertStoreData &data, bool &changed) -> int32_t {
      bool present =
          std::any_of(data.certs.begin(), data.certs.end(), [&](const Cert &c) { return SameCert(c.get(), x.get()); });
      if (present) return kOk;
      if (anchor) return kAnchorRefused;
      if (ca) {
        int32_t st = CheckChain(x.get(), data, *keys, nullptr, ChainRules{session->flags, std::nullopt});
        if (st == kUntrusted) return kCaNotAnchored;
        if (st != kOk) return st;
      }
      changed = AddCertTo(data, x.get());
      return kOk;
    });
  });
}

int32_t VCERT_AddCRL(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *crl) {
  return Guard([&]() -> int32_t {
    (void)p;
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(crl)) return kBadArgument;
    CrlUPtr list(CrlFromDer(crl->Data, static_cast<std::size_t>(crl->Length)));
    if (!list) return kBadEncoding;
    // A CRL from the future would stay the newest one until that time.
    time_t latest = time(nullptr) + kClockSkew;
    if (X509_cmp_time(X509_CRL_get0_lastUpdate(list.get()), &latest) > 0) return kCrlFromFuture;
    // Only a complete CRL may stand in for its issuer's earlier ones: a delta
    // or scoped CRL, with the newest number, would un-revoke what it omits.
    if (int32_t st = CrlTakenAsComplete(list.get()); st != kOk) return st;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    AkidPtr akid(static_cast<AUTHORITY_KEYID *>(
        X509_CRL_get_ext_d2i(list.get(), NID_authority_key_identifier, nullptr, nullptr)));
    return ChangeCertStore(*session, [&](CertStoreData &data, bool &changed) -> int32_t {
      // Only a CRL that the key of a CA certificate chaining to an anchor
      // signed is taken; it replaces the older CRLs of that key only.
      // A CA whose key usage leaves out cRLSign signs no CRL that counts.
      EVP_PKEY *issuerKey = nullptr;
      bool withoutCrlSign = false;
      auto check = [&](X509 *ca) {
        EVP_PKEY *key = X509_get0_pubkey(ca);
        if (issuerKey != nullptr || key == nullptr || !IsCa(ca) ||
            X509_NAME_cmp(X509_get_subject_name(ca), X509_CRL_get_issuer(list.get())) != 0 ||
            (akid && X509_check_akid(ca, akid.get()) != X509_V_OK) || X509_CRL_verify(list.get(), key) != 1)
          return;
        if (CheckChain(ca, data, *keys, nullptr, ChainRules{session->flags, std::nullopt}) != kOk) return;
        if (UsageAllows(ca, KU_CRL_SIGN)) {
          issuerKey = key;
        } else {
          withoutCrlSign = true;
        }
      };
      for (const auto &c : data.certs) check(c.get());
      for (const auto &c : keys->extraCerts) check(c.get());
      if (issuerKey == nullptr) return withoutCrlSign ? kCrlIssuerUsage : kCrlUntrusted;
      changed = AddCrlTo(data, list.get(), issuerKey);
      return kOk;
    });
  });
}
