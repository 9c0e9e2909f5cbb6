// What the files of libcpki1.so share: sessions and their stores, the blocks
// handed out to the host, the entry-point guard, chain checks and the CMS
// helpers. Each file holds the entry points of one topic:
//   sessions.cpp      sessions, error texts, releases, blocks handed out
//   stores.cpp        the stores of a session; adding certificates and CRLs
//   certificates.cpp  chain checks, records, parsing, searching, display
//   signatures.cpp    hashes, raw and CMS signatures
//   encryption.cpp    CMS encryption
//   keys.cpp          key requests, answers and key store imports
#ifndef CPKI1_OPENSSL_PROVIDER_H
#define CPKI1_OPENSSL_PROVIDER_H

#include <openssl/err.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "certinfo.h"
#include "core.h"
#include "gost.h"
#include "provider/cpki1_api.h"
#include "status.h"

#if defined(_WIN32)
#define CPKI1_EXPORT  // cpki1.def names the exports
#else
#define CPKI1_EXPORT __attribute__((visibility("default")))
#endif

#define CPKI1_DECLARE_ENTRY(name, type, required) extern "C" CPKI1_EXPORT std::remove_pointer_t<type> name;
CPKI1_ENTRY_POINTS(CPKI1_DECLARE_ENTRY)
#undef CPKI1_DECLARE_ENTRY

// Diagnostics for tests: blocks and records handed out and not yet released.
// Exported by the tests' build of the provider (cpki1_diagnostics) only.
extern "C" CPKI1_EXPORT int32_t CPKI1_OutstandingBlocks(void);

namespace cpki1 {

// InitFlags bits.
constexpr int32_t kNoCrlUpdate = 1;
constexpr int32_t kCheckExpired = 2;

// ---- Sessions ---------------------------------------------------------------

template <class T>
struct Cached {
  std::optional<FileStamp> stamp;
  std::shared_ptr<const T> data;
  // When the file was last found unchanged (steady clock) and the count of
  // this process's store writes then; see StoreOf.
  std::chrono::steady_clock::time_point checked{};
  uint64_t writes = 0;
};

// A clean success of a chain check, remembered by its session (see
// CheckChainOnce).
struct ChainMemo {
  std::string certs;  // DER of the leaf and of the further certificates given
  std::shared_ptr<const CertStoreData> store;  // the snapshots it was made with
  std::shared_ptr<const KeyStoreData> keys;
  int32_t flags = 0;
  int64_t from = 0, until = 0;  // it holds while from <= now < until
  std::shared_ptr<STACK_OF(X509)> chain;  // the chain built, leaf first
};

// A signing context of one of the user's keys, prepared once: a copy of it
// costs a sixth of a signature less than a new one.
struct SignerMemo {
  std::shared_ptr<const KeyStoreData> keys;  // the snapshot the key belongs to
  const KeyPair *pair = nullptr;
  std::shared_ptr<EVP_PKEY_CTX> ctx;
};

struct Session {
  std::string pse;    // key store path as given (empty: none)
  std::string store;  // certificate store path as given (empty: none)
  int32_t flags = 0;
  bool envelopedCbc = false;  // profile "cipher = aes-256-cbc": EnvelopedData, not AuthEnvelopedData
  std::string password;
  std::mutex mutex;  // guards the caches
  Cached<KeyStoreData> keys;
  Cached<CertStoreData> certs;
  // pse and store in the letter case of the files found for them; empty
  // until found. A host hands the paths in upper case, and finding the file
  // means reading each folder on the way.
  std::string pseFound;
  std::string storeFound;
  gost::Choices gost;  // the profile's hash and GOST cipher
  std::vector<ChainMemo> chains;  // guarded by mutex
  std::vector<SignerMemo> signers;  // guarded by mutex
};
using SessionPtr = std::shared_ptr<Session>;

SessionPtr FindSession(TelvoraSession s);
int32_t OpenSession(const std::string &pse, const std::string &store, int32_t flags, bool envelopedCbc,
                    const gost::Choices &choices, TelvoraSession *out);

// Empties the thread's OpenSSL error queue. Clearing costs a good part of a
// hash of 1 KiB even when there is nothing to clear; a look first is cheap.
inline void ClearErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

// Runs an entry point's body: clean error queue, no exception escapes.
template <class F>
int32_t Guard(F &&body) noexcept {
  ClearErrors();
  int32_t status;
  try {
    status = body();
  } catch (...) {
    status = kInternal;
  }
  ClearErrors();
  return status;
}

// ---- Blocks handed out --------------------------------------------------------

enum class BlockKind { kMem, kFind, kParse, kVerify, kDecrypt };

struct Block {
  TelvoraSession session = 0;
  BlockKind kind = BlockKind::kMem;
  Bytes mem;
  std::vector<std::unique_ptr<CertText>> texts;
  std::vector<TelvoraCertInfo> records;
  std::vector<TelvoraSignerInfo> signers;
};

bool BlobOk(const TelvoraBlob *b);
Bytes BlobBytes(const TelvoraBlob *b);

// Hands out a copy of data as a block the host releases with VCERT_FreeMem.
int32_t HandOut(TelvoraSession s, Bytes data, TelvoraBlob *out);
// Hands out one record into caller memory.
void HandOutRecord(TelvoraSession s, BlockKind kind, std::unique_ptr<CertText> text, TelvoraCertInfo &rec);
// Hands out a block whose first record or signer array the host releases.
void HandOutArray(const void *key, std::unique_ptr<Block> block);

// ---- Stores of a session ------------------------------------------------------

std::string Resolve(const std::string &path);

// The current content of the session's key store or certificate store, read
// again only when its file changed.
template <class Data>
int32_t StoreOf(Session &s, std::shared_ptr<const Data> &out);
extern template int32_t StoreOf<KeyStoreData>(Session &, std::shared_ptr<const KeyStoreData> &);
extern template int32_t StoreOf<CertStoreData>(Session &, std::shared_ptr<const CertStoreData> &);
inline int32_t KeyStoreOf(Session &s, std::shared_ptr<const KeyStoreData> &out) { return StoreOf(s, out); }
inline int32_t CertStoreOf(Session &s, std::shared_ptr<const CertStoreData> &out) { return StoreOf(s, out); }

// The resolved file of the key store, and of the certificate store.
std::string KeyStorePath(Session &s);
std::string CertStorePath(Session &s);

// Changes the key store under its file lock, from its current content.
template <class F>
int32_t ChangeKeyStore(Session &s, F &&change) {
  if (s.pse.empty()) return kNoKeyStore;
  std::string path = KeyStorePath(s);
  FileLock lock(path);
  if (!lock.Held()) return kStoreWrite;
  KeyStoreData data;
  IoResult r = LoadKeyStore(path, s.password, data);
  if (r == IoResult::kNeedsGost) return kGostUnavailable;
  if (r != IoResult::kOk && r != IoResult::kMissing) return kKeyStoreUnreadable;
  int32_t status = change(data);
  if (status != kOk) return status;
  return SaveKeyStore(path, data, s.password) ? kOk : kStoreWrite;
}

template <class F>
int32_t ChangeCertStore(Session &s, F &&change) {
  if (s.store.empty()) return kNoCertStore;
  std::string path = CertStorePath(s);
  FileLock lock(path);
  if (!lock.Held()) return kStoreWrite;
  CertStoreData data;
  IoResult r = LoadCertStore(path, data);
  if (r != IoResult::kOk && r != IoResult::kMissing) return kCertStoreUnreadable;
  bool changed = false;
  int32_t status = change(data, changed);
  if (status != kOk || !changed) return status;
  return SaveCertStore(path, data) ? kOk : kStoreWrite;
}

bool SameRef(const std::string &a, const char *b);

// The user's key for a call: the one the selector names, else the first.
int32_t SelectPair(const KeyStoreData &keys, const AuthRecord *selector, const KeyPair *&out);

// ---- Certificate checks and records --------------------------------------------

// Key usage: true when the certificate has no key-usage extension or one of
// the given bits is set.
bool UsageAllows(X509 *cert, uint32_t bits);

// What a chain check forgives; the verification callback finds it as the
// context's application data.
struct ChainRules {
  int32_t flags = 0;
  std::optional<time_t> signedAt;  // the signing time a signature claims
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
X509 *FindByIssuerSerial(const CertStoreData &certs, const KeyStoreData &keys, const char *issuer, const char *serial);

// ---- CMS --------------------------------------------------------------------------

BioPtr BlobBio(const TelvoraBlob *b);
// A BIO that appends what is written to it to out, which must outlive it.
// Content written there is handed out as it is: a memory BIO grows by a
// third at a time (copying and wiping each time) and is copied once more.
BioPtr SinkBio(Bytes &out);
Bytes BioBytes(BIO *bio);
// A whole DER ContentInfo, nothing after it; null otherwise.
CmsPtr ReadCms(const TelvoraBlob *b);
Bytes CmsDer(CMS_ContentInfo *cms);

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_PROVIDER_H
