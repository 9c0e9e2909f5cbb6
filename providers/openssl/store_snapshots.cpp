// The stores of a session: cached snapshots, found files, the user's key
// (see store_snapshots.h).
#include "store_snapshots.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/native_services.h"
#include "platform/platform.h"

namespace cpki1 {
namespace {

// A store path of the session resolved as Resolve does, remembered while its
// file is there: a file that goes away is looked for afresh on the next call.
std::string ResolveStore(Session &s, const std::string &path, std::string Session::*found) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string &known = s.*found;
    if (!known.empty() && crtelv::platform::PathExists(known)) return known;
  }
  std::string resolved = Resolve(path);
  if (crtelv::platform::PathExists(resolved)) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.*found = resolved;
  }
  return resolved;
}

// What tells the two stores of a session apart.
template <class Data>
struct StoreKind;

template <>
struct StoreKind<KeyStoreData> {
  static constexpr std::string Session::*path = &Session::pse;
  static constexpr std::string Session::*found = &Session::pseFound;
  static constexpr Cached<KeyStoreData> Session::*cache = &Session::keys;
  static constexpr int32_t unreadable = kKeyStoreUnreadable;
  // A key store of keys and their certificates changes rarely and holds no
  // trust decision: a snapshot found unchanged is used without looking again
  // for this long, unless this process has written a store since. Another
  // process's new key store is thus seen within 50 ms. Its CA certificates
  // are trust decisions (a self-signed one is an anchor, any is a CRL issuer
  // candidate): a key store that holds any is looked at on every call, so
  // that an anchor removed from outside counts at once.
  static constexpr std::chrono::milliseconds recheck{50};
  static bool Reusable(const KeyStoreData &data) { return !data.holdsCaCerts; }
  static IoResult Load(const Session &s, const std::string &file, KeyStoreData &out) {
    IoResult r = LoadKeyStore(file, s.password, out);
    out.holdsCaCerts =
        std::any_of(out.extraCerts.begin(), out.extraCerts.end(), [](const Cert &c) { return IsCa(c.get()); });
    return r;
  }
};

template <>
struct StoreKind<CertStoreData> {
  static constexpr std::string Session::*path = &Session::store;
  static constexpr std::string Session::*found = &Session::storeFound;
  static constexpr Cached<CertStoreData> Session::*cache = &Session::certs;
  static constexpr int32_t unreadable = kCertStoreUnreadable;
  // Certificates and CRLs decide trust: looked at on every call, so that a
  // CRL written from outside counts at once.
  static constexpr std::chrono::milliseconds recheck{0};
  static bool Reusable(const CertStoreData &) { return false; }
  static IoResult Load(const Session &, const std::string &file, CertStoreData &out) {
    return LoadCertStore(file, out);
  }
};

}  // namespace

std::string Resolve(const std::string &path) { return crtelv::platform::ResolvePath(path); }

std::string KeyStorePath(Session &s) { return ResolveStore(s, s.pse, &Session::pseFound); }
std::string CertStorePath(Session &s) { return ResolveStore(s, s.store, &Session::storeFound); }

template <class Data>
int32_t StoreOf(Session &s, std::shared_ptr<const Data> &out) {
  using Kind = StoreKind<Data>;
  if ((s.*Kind::path).empty()) {
    out = std::make_shared<Data>();
    return kOk;
  }
  Cached<Data> &cache = s.*Kind::cache;
  // The usual call: the file found before is still there, unchanged. One
  // look at it tells both.
  std::string path;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t writes = StoreWritesSoFar();  // before the look: a later write makes the next call look again
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    path = s.*Kind::found;
    if (Kind::recheck.count() > 0 && cache.data && Kind::Reusable(*cache.data) && cache.stamp && !path.empty() &&
        cache.writes == writes && now - cache.checked < Kind::recheck) {
      out = cache.data;
      return kOk;
    }
  }
  std::optional<FileStamp> stamp;
  if (!path.empty()) stamp = StampOf(path);
  if (!stamp) {
    path = ResolveStore(s, s.*Kind::path, Kind::found);
    stamp = StampOf(path);
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (cache.data && cache.stamp == stamp) {
      cache.checked = now;
      cache.writes = writes;
      out = cache.data;
      return kOk;
    }
  }
  auto data = std::make_shared<Data>();
  if (stamp) {
    IoResult r = Kind::Load(s, path, *data);
    if (r == IoResult::kNeedsGost) return kGostUnavailable;
    if (r != IoResult::kOk && r != IoResult::kMissing) return Kind::unreadable;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  cache = {stamp, data, now, writes};
  out = data;
  return kOk;
}

template int32_t StoreOf<KeyStoreData>(Session &, std::shared_ptr<const KeyStoreData> &);
template int32_t StoreOf<CertStoreData>(Session &, std::shared_ptr<const CertStoreData> &);

bool SameRef(const std::string &a, const char *b) {
  return b != nullptr && a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

int32_t SelectPair(const KeyStoreData &keys, const AuthRecord *selector, const KeyPair *&out) {
  out = nullptr;
  if (selector != nullptr && selector->KeyRef != nullptr && selector->KeyRef[0] != '\0') {
    for (const auto &p : keys.pairs) {
      if (SameRef(p.ref, selector->KeyRef)) out = &p;
    }
  } else if (!keys.pairs.empty()) {
    out = &keys.pairs.front();
  }
  return out != nullptr ? kOk : kNoKey;
}

}  // namespace cpki1
