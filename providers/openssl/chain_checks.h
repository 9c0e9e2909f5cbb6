// Certificate chains to the stores' trust anchors: key usage, weak keys and
// digests, revocation by the CRLs of the issuing key, the session's memory
// of clean results, and finding a certificate by issuer and serial.
#ifndef CPKI1_OPENSSL_CHAIN_CHECKS_H
#define CPKI1_OPENSSL_CHAIN_CHECKS_H

#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "core.h"
#include "session.h"

namespace cpki1 {

// Key usage: true when the certificate has no key-usage extension or one of
// the given bits is set.
bool UsageAllows(X509 *cert, uint32_t bits);

// What a chain check forgives; the verification callback finds it as the
// context's application data.
struct ChainRules {
  int32_t flags = 0;
  std::optional<time_t> signedAt;  // the signing time a signature claims
  // The time a verified time-stamp token vouches for (never a claim): the
  // leaf must have been valid at that time, a certificate of the chain that
  // has expired since counts (also with CHECKEXPIRED) when it was valid
  // then, and a revocation dated after it does not count.
  std::optional<time_t> stampedAt = std::nullopt;
  // Set by the check when it forgave anything (an expired certificate for
  // the signing time): such a result depends on more than the stores and
  // the time.
  mutable bool forgave = false;
};

// How far a CRL's thisUpdate may lie ahead of the clock.
constexpr time_t kClockSkew = 5 * 60;

// Builds the certificate's chain to a trust anchor (a self-signed CA
// certificate of the stores), now, at security level 2, refuses weak keys and
// digests in it, and checks each certificate against the newest CRL of the
// store that its issuer's key signed. more: further certificates (a
// message's), or null. chain, when given, receives the chain once it is
// built, also when a later check fails.
int32_t CheckChain(X509 *leaf, const CertStoreData &certs, const KeyStoreData &keys, STACK_OF(X509) * more,
                   const ChainRules &rules, CertListPtr *chain = nullptr);

// Whether the store takes a CRL as the complete CRL of its issuer: kOk, or
// kCrlScoped for a delta CRL or one with an issuing distribution point (it
// covers part of the issuer's certificates or reasons only), kWeakAlgorithm
// for a signature with a weak digest, kCrlCriticalExtension for a critical
// extension of the CRL or of an entry that is not handled here. The
// issuer's key and its cRLSign usage are checked where the issuer is known.
int32_t CrlTakenAsComplete(X509_CRL *crl);

// MD5, SHA-1 and other digests under 224 bits, or an unknown digest. The
// GOST R 34.11-2012 digests (Streebog-256 and -512) are never weak.
bool DigestWeak(int digestNid);
// A signature algorithm (as X509_get_signature_nid gives it) with a weak digest.
bool SignatureWeak(int signatureNid);

// CheckChain with the session's memory: a success that needed nothing
// forgiven holds, for the same certificates, store snapshots and flags,
// while the time crosses no validity bound of a certificate or CRL of the
// stores (nor of the certificates given). Every check of CheckChain runs
// inside it: anchors, weak keys and digests, CRLs by key. A store that
// changes is a new snapshot, and so a new check. chain as for CheckChain.
int32_t CheckChainOnce(Session &s, X509 *leaf, const std::shared_ptr<const CertStoreData> &certs,
                       const std::shared_ptr<const KeyStoreData> &keys, STACK_OF(X509) * more,
                       const ChainRules &rules, CertListPtr *chain = nullptr);

std::string KeyRefOf(const KeyStoreData &keys, X509 *cert);

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_CHAIN_CHECKS_H
