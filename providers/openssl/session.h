// A session of the open provider: its stores as given, the snapshots read
// from them and what it remembers of earlier calls. Data only: the registry
// of sessions (session_registry.h) and the stores (store_snapshots.h) work
// on it.
#ifndef CPKI1_OPENSSL_SESSION_H
#define CPKI1_OPENSSL_SESSION_H

#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core.h"
#include "gost.h"

namespace cpki1 {

// InitFlags bits.
constexpr int32_t kNoCrlUpdate = 1;
constexpr int32_t kCheckExpired = 2;

// ---- Sessions ---------------------------------------------------------------

// The time-stamp authority a session's CMS signatures are stamped by: an
// http:// address (empty: none) and how long one exchange may take.
struct TsaSettings {
  std::string url;
  int timeoutSeconds = 10;
};

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
  TsaSettings tsa;
  std::vector<ChainMemo> chains;  // guarded by mutex
  std::vector<SignerMemo> signers;  // guarded by mutex
};
using SessionPtr = std::shared_ptr<Session>;

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_SESSION_H
