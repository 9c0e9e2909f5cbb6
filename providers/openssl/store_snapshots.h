// The stores of a session: the files found for them, snapshots read again
// only when a file changed, changes made under the store's file lock, and
// the user's key for a call.
#ifndef CPKI1_OPENSSL_STORE_SNAPSHOTS_H
#define CPKI1_OPENSSL_STORE_SNAPSHOTS_H

#include <memory>
#include <string>

#include "core.h"
#include "provider/cpki1_api.h"
#include "session.h"
#include "status.h"

namespace cpki1 {

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

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_STORE_SNAPSHOTS_H
