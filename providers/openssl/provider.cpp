// libcpki1.so: the 47 VCERT_ entry points of the cpki1 provider interface on
// OpenSSL 3 libcrypto. See README.md for the behaviour of each call.
//
// Every entry point clears the thread's OpenSSL error queue, catches every
// exception and answers with one of the statuses of status.h. Sessions and
// handed-out blocks live in a process-wide registry that is never destroyed,
// so a host that ends its process with sessions open meets no released state.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <type_traits>

#include "certinfo.h"
#include "core.h"
#include "platform/platform.h"
#include "provider/cpki1_api.h"
#include "status.h"

extern char **environ;

#define CPKI1_EXPORT __attribute__((visibility("default")))

#define CPKI1_DECLARE_ENTRY(name, type, required) extern "C" CPKI1_EXPORT std::remove_pointer_t<type> name;
CPKI1_ENTRY_POINTS(CPKI1_DECLARE_ENTRY)
#undef CPKI1_DECLARE_ENTRY

// Diagnostics for tests: blocks and records handed out and not yet released.
extern "C" CPKI1_EXPORT int32_t CPKI1_OutstandingBlocks(void);

namespace cpki1 {
namespace {

// InitFlags bits.
constexpr int32_t kNoCrlUpdate = 1;
constexpr int32_t kCheckExpired = 2;

constexpr char kPsePrefix[] = "pse://signed/";
constexpr char kFilePrefix[] = "file://";
constexpr char kLdapPrefix[] = "ldap://";

// ---- Sessions ---------------------------------------------------------------

template <class T>
struct Cached {
  std::optional<FileStamp> stamp;
  std::shared_ptr<const T> data;
};

struct Session {
  std::string pse;    // key store path as given (empty: none)
  std::string store;  // certificate store path as given (empty: none)
  int32_t flags = 0;
  std::string password;
  std::mutex mutex;  // guards the caches
  Cached<KeyStoreData> keys;
  Cached<CertStoreData> certs;
  // pse and store in the letter case of the files found for them; empty
  // until found. A host hands the paths in upper case, and finding the file
  // means reading each folder on the way.
  std::string pseFound;
  std::string storeFound;
};
using SessionPtr = std::shared_ptr<Session>;

enum class BlockKind { kMem, kFind, kParse, kVerify, kDecrypt };

struct Block {
  TelvoraSession session = 0;
  BlockKind kind = BlockKind::kMem;
  Bytes mem;
  std::vector<std::unique_ptr<CertText>> texts;
  std::vector<TelvoraCertInfo> records;
  std::vector<TelvoraSignerInfo> signers;
};

// Records filled into caller memory carry this tag and an id at offset 48.
constexpr char kTag[8] = {'c', 'p', 'k', 'i', '1', 'r', 'e', 'c'};

struct Registry {
  std::mutex mutex;
  uint32_t nextSession = 1;
  uint64_t nextRecord = 1;
  std::map<TelvoraSession, SessionPtr> sessions;
  std::map<const void *, std::unique_ptr<Block>> byPointer;  // blobs, find and verify results
  std::map<uint64_t, std::unique_ptr<Block>> byRecord;       // parsed and decrypt records
};

Registry &Reg() {
  static Registry *registry = new Registry;  // never destroyed (see above)
  return *registry;
}

SessionPtr FindSession(TelvoraSession s) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sessions.find(s);
  return it == r.sessions.end() ? nullptr : it->second;
}

// Runs an entry point's body: clean error queue, no exception escapes.
template <class F>
int32_t Guard(F &&body) noexcept {
  ERR_clear_error();
  int32_t status;
  try {
    status = body();
  } catch (...) {
    status = kInternal;
  }
  ERR_clear_error();
  return status;
}

bool BlobOk(const TelvoraBlob *b) { return b != nullptr && b->Length >= 0 && (b->Length == 0 || b->Data != nullptr); }
Bytes BlobBytes(const TelvoraBlob *b) { return b->Length > 0 ? Bytes(b->Data, b->Data + b->Length) : Bytes(); }

int32_t HandOut(TelvoraSession s, Bytes data, TelvoraBlob *out) {
  if (data.size() > 0x7FFFFFFF) return kBadArgument;
  auto block = std::make_unique<Block>();
  block->session = s;
  block->kind = BlockKind::kMem;
  std::size_t length = data.size();
  block->mem = std::move(data);
  if (block->mem.empty()) block->mem.push_back(0);  // never hand out a null pointer
  uint8_t *p = block->mem.data();
  {
    Registry &r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPointer[p] = std::move(block);
  }
  out->Length = static_cast<int32_t>(length);
  out->Data = p;
  return kOk;
}

void TagRecord(TelvoraCertInfo &rec, uint64_t id) {
  auto *bytes = rec.Unused48;
  std::memcpy(bytes, kTag, sizeof kTag);
  std::memcpy(bytes + sizeof kTag, &id, sizeof id);
}

bool RecordId(const TelvoraCertInfo &rec, uint64_t &id) {
  if (std::memcmp(rec.Unused48, kTag, sizeof kTag) != 0) return false;
  std::memcpy(&id, rec.Unused48 + sizeof kTag, sizeof id);
  return true;
}

// Hands out one record into caller memory.
void HandOutRecord(TelvoraSession s, BlockKind kind, std::unique_ptr<CertText> text, TelvoraCertInfo &rec) {
  auto block = std::make_unique<Block>();
  block->session = s;
  block->kind = kind;
  std::memset(&rec, 0, sizeof rec);
  text->Fill(rec);
  block->texts.push_back(std::move(text));
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  uint64_t id = r.nextRecord++;
  TagRecord(rec, id);
  r.byRecord[id] = std::move(block);
}

int32_t ReleaseByPointer(TelvoraSession s, const void *p, BlockKind kind) {
  Registry &r = Reg();
  std::unique_ptr<Block> gone;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.sessions.find(s) == r.sessions.end()) return kBadSession;
    auto it = r.byPointer.find(p);
    if (it == r.byPointer.end() || it->second->session != s || it->second->kind != kind) return kUnknownBlock;
    gone = std::move(it->second);
    r.byPointer.erase(it);
  }
  return kOk;  // freed outside the lock
}

int32_t ReleaseRecord(TelvoraSession s, TelvoraCertInfo *rec, BlockKind kind) {
  Registry &r = Reg();
  uint64_t id = 0;
  if (!RecordId(*rec, id)) {
    // A record the provider never filled (all zero) holds nothing.
    static const TelvoraCertInfo zero{};
    if (std::memcmp(rec, &zero, sizeof zero) == 0) return FindSession(s) ? kOk : kBadSession;
    return kUnknownBlock;
  }
  std::unique_ptr<Block> gone;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.sessions.find(s) == r.sessions.end()) return kBadSession;
    auto it = r.byRecord.find(id);
    if (it == r.byRecord.end() || it->second->session != s || it->second->kind != kind) return kUnknownBlock;
    gone = std::move(it->second);
    r.byRecord.erase(it);
  }
  std::memset(rec, 0, sizeof *rec);
  return kOk;
}

// ---- Stores of a session ------------------------------------------------------

std::string Resolve(const std::string &path) { return crtelv::platform::ResolvePath(path); }

// A store path of the session resolved as Resolve does, remembered while its
// file is there: a file that goes away is looked for afresh on the next call.
std::string ResolveStore(Session &s, const std::string &path, std::string Session::*found) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string &known = s.*found;
    struct stat st;
    if (!known.empty() && ::stat(known.c_str(), &st) == 0) return known;
  }
  std::string resolved = Resolve(path);
  struct stat st;
  if (::stat(resolved.c_str(), &st) == 0) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.*found = resolved;
  }
  return resolved;
}

int32_t KeyStoreOf(Session &s, std::shared_ptr<const KeyStoreData> &out) {
  if (s.pse.empty()) {
    out = std::make_shared<KeyStoreData>();
    return kOk;
  }
  std::string path = ResolveStore(s, s.pse, &Session::pseFound);
  auto stamp = StampOf(path);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.keys.data && s.keys.stamp == stamp) {
      out = s.keys.data;
      return kOk;
    }
  }
  auto data = std::make_shared<KeyStoreData>();
  if (stamp) {
    IoResult r = LoadKeyStore(path, s.password, *data);
    if (r != IoResult::kOk && r != IoResult::kMissing) return kKeyStoreUnreadable;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.keys = {stamp, data};
  out = data;
  return kOk;
}

int32_t CertStoreOf(Session &s, std::shared_ptr<const CertStoreData> &out) {
  if (s.store.empty()) {
    out = std::make_shared<CertStoreData>();
    return kOk;
  }
  std::string path = ResolveStore(s, s.store, &Session::storeFound);
  auto stamp = StampOf(path);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.certs.data && s.certs.stamp == stamp) {
      out = s.certs.data;
      return kOk;
    }
  }
  auto data = std::make_shared<CertStoreData>();
  if (stamp) {
    IoResult r = LoadCertStore(path, *data);
    if (r != IoResult::kOk && r != IoResult::kMissing) return kCertStoreUnreadable;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.certs = {stamp, data};
  out = data;
  return kOk;
}

// Changes the key store under its file lock, from its current content.
template <class F>
int32_t ChangeKeyStore(Session &s, F &&change) {
  if (s.pse.empty()) return kNoKeyStore;
  std::string path = ResolveStore(s, s.pse, &Session::pseFound);
  FileLock lock(path);
  if (!lock.Held()) return kStoreWrite;
  KeyStoreData data;
  IoResult r = LoadKeyStore(path, s.password, data);
  if (r != IoResult::kOk && r != IoResult::kMissing) return kKeyStoreUnreadable;
  int32_t status = change(data);
  if (status != kOk) return status;
  return SaveKeyStore(path, data, s.password) ? kOk : kStoreWrite;
}

template <class F>
int32_t ChangeCertStore(Session &s, F &&change) {
  if (s.store.empty()) return kNoCertStore;
  std::string path = ResolveStore(s, s.store, &Session::storeFound);
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

bool SameRef(const std::string &a, const char *b) {
  return b != nullptr && a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// The user's key for a call: the one the selector names, else the first.
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

// ---- Certificate checks -----------------------------------------------------------

bool TimeValid(X509 *cert, time_t at) {
  time_t t = at;
  return X509_cmp_time(X509_get0_notBefore(cert), &t) <= 0 && X509_cmp_time(X509_get0_notAfter(cert), &t) >= 0;
}

// Key usage: true when the certificate has no key-usage extension or one of
// the given bits is set.
bool UsageAllows(X509 *cert, uint32_t bits) {
  if (!(X509_get_extension_flags(cert) & EXFLAG_KUSAGE)) return true;
  return (X509_get_key_usage(cert) & bits) != 0;
}

// What a chain check forgives; the verification callback finds it as the
// context's application data.
struct ChainRules {
  int32_t flags = 0;
  std::optional<time_t> signedAt;  // the signing time a signature claims
};

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

// Builds the certificate's chain to a self-signed CA certificate of the
// stores, now, checking the CRLs of the store.
int32_t CheckChain(X509 *leaf, const CertStoreData &certs, const KeyStoreData &keys, STACK_OF(X509) * more,
                   const ChainRules &rules) {
  StorePtr store(X509_STORE_new());
  STACK_OF(X509) *untrusted = sk_X509_new_null();
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  int32_t status = kInternal;
  if (store && untrusted != nullptr && ctx) {
    auto add = [&](X509 *c) {
      if (X509_check_issued(c, c) == X509_V_OK && IsCa(c)) {
        X509_STORE_add_cert(store.get(), c);
      } else {
        X509_up_ref(c);
        if (!sk_X509_push(untrusted, c)) X509_free(c);
      }
    };
    for (const auto &c : certs.certs) add(c.get());
    for (const auto &c : keys.extraCerts) add(c.get());
    for (int i = 0; i < sk_X509_num(more); ++i) {
      X509 *c = sk_X509_value(more, i);
      X509_up_ref(c);
      if (!sk_X509_push(untrusted, c)) X509_free(c);
    }
    for (const auto &crl : certs.crls) X509_STORE_add_crl(store.get(), crl.get());
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted)) {
      X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
      X509_STORE_CTX_set_app_data(ctx.get(), const_cast<ChainRules *>(&rules));
      X509_STORE_CTX_set_verify_cb(ctx.get(), ChainCallback);
      status = X509_verify_cert(ctx.get()) == 1 ? kOk : MapVerifyError(X509_STORE_CTX_get_error(ctx.get()));
    }
  }
  sk_X509_pop_free(untrusted, X509_free);
  return status;
}

// ---- Certificate records ------------------------------------------------------------

std::string KeyRefOf(const KeyStoreData &keys, X509 *cert) {
  for (const auto &p : keys.pairs) {
    if (SameCert(p.cert.get(), cert)) return p.ref;
  }
  return {};
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

// ---- Profiles -----------------------------------------------------------------------

std::string Trim(const std::string &s) {
  std::size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

struct Profile {
  std::string pse, store;
};

int32_t ReadProfile(const std::string &name, Profile &out) {
  if (name.empty() || name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") return kNoProfile;
  std::string dir;
  if (!crtelv::platform::GetEnv("CPKI1_PROFILES", dir) || dir.empty()) {
    std::string home;
    if (!crtelv::platform::GetEnv("HOME", home) || home.empty()) return kNoProfile;
    dir = home + "/.cpki1";
  }
  std::string file = Resolve(dir + "/" + name + ".profile");
  auto text = ReadWholeFile(file);
  if (!text) return kNoProfile;
  std::string folder = file.substr(0, file.rfind('/') + 1);
  std::string all(text->begin(), text->end());
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos) end = all.size();
    std::string line = Trim(all.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) return kNoProfile;
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (!value.empty() && value[0] != '/') value = folder + value;
    if (strcasecmp(key.c_str(), "pse") == 0) {
      out.pse = value;
    } else if (strcasecmp(key.c_str(), "store") == 0) {
      out.store = value;
    } else if (strcasecmp(key.c_str(), "ldap") != 0) {
      return kNoProfile;
    }
  }
  return kOk;
}

int32_t OpenSession(const std::string &pse, const std::string &store, int32_t flags, TelvoraSession *out) {
  auto s = std::make_shared<Session>();
  s->pse = pse;
  s->store = store;
  s->flags = flags;
  s->password = KeyStorePassword();
  // Read both stores now, so that a damaged store is reported at once.
  std::shared_ptr<const KeyStoreData> keys;
  std::shared_ptr<const CertStoreData> certs;
  if (int32_t st = KeyStoreOf(*s, keys); st != kOk) return st;
  if (int32_t st = CertStoreOf(*s, certs); st != kOk) return st;
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  TelvoraSession id = r.nextSession++;
  if (id == 0) id = r.nextSession++;
  r.sessions[id] = s;
  *out = id;
  return kOk;
}

bool StripPrefix(const char *url, const char *prefix, std::string &rest) {
  std::size_t n = std::strlen(prefix);
  if (strncasecmp(url, prefix, n) != 0) return false;
  rest = url + n;
  return !rest.empty();
}

// ---- Signing and verification -----------------------------------------------------

BioPtr BlobBio(const TelvoraBlob *b) {
  static const uint8_t empty = 0;
  return BioPtr(BIO_new_mem_buf(b->Length > 0 ? b->Data : &empty, b->Length));
}

Bytes BioBytes(BIO *bio) {
  char *p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return n > 0 ? Bytes(p, p + n) : Bytes();
}

CmsPtr ReadCms(const TelvoraBlob *b) {
  if (b->Length <= 0) return nullptr;
  const uint8_t *p = b->Data;
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, b->Length));
  if (cms && p != b->Data + b->Length) cms.reset();
  return cms;
}

Bytes CmsDer(CMS_ContentInfo *cms) {
  int n = i2d_CMS_ContentInfo(cms, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<std::size_t>(n));
  uint8_t *p = out.data();
  i2d_CMS_ContentInfo(cms, &p);
  return out;
}

// The signing time a signer claims, when it has one.
std::optional<time_t> SigningTime(CMS_SignerInfo *si) {
  int idx = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (idx < 0) return std::nullopt;
  X509_ATTRIBUTE *attr = CMS_signed_get_attr(si, idx);
  ASN1_TYPE *t = attr != nullptr ? X509_ATTRIBUTE_get0_type(attr, 0) : nullptr;
  if (t == nullptr || (t->type != V_ASN1_UTCTIME && t->type != V_ASN1_GENERALIZEDTIME)) return std::nullopt;
  auto s = TimeOf(reinterpret_cast<const ASN1_TIME *>(t->value.asn1_string));
  if (!s) return std::nullopt;
  return static_cast<time_t>(*s);
}

bool IsP256(EVP_PKEY *key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "EC")) return false;
  char group[80] = {0};
  std::size_t len = 0;
  return EVP_PKEY_get_group_name(key, group, sizeof group, &len) && OBJ_sn2nid(group) == NID_X9_62_prime256v1;
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

// ---- Sessions ---------------------------------------------------------------------

int32_t VCERT_Initialize(const char *profile, int32_t flags, TelvoraSession *out) {
  return Guard([&]() -> int32_t {
    if (profile == nullptr || out == nullptr) return kBadArgument;
    Profile p;
    if (int32_t st = ReadProfile(profile, p); st != kOk) return st;
    return OpenSession(p.pse, p.store, flags, out);
  });
}

int32_t VCERT_InitializeEx(int32_t version, const TelvoraOpenParams *rec, TelvoraSession *out) {
  return Guard([&]() -> int32_t {
    if (rec == nullptr || out == nullptr) return kBadArgument;
    if (version != 1 || rec->Size < static_cast<int32_t>(sizeof(TelvoraOpenParams))) return kBadVersion;
    std::string pse, store, ldap;
    if (rec->PSEUrl != nullptr && !StripPrefix(rec->PSEUrl, kPsePrefix, pse)) return kBadUrl;
    if (rec->StoreUrl != nullptr && !StripPrefix(rec->StoreUrl, kFilePrefix, store)) return kBadUrl;
    if (rec->LdapUrl != nullptr && !StripPrefix(rec->LdapUrl, kLdapPrefix, ldap)) return kBadUrl;
    return OpenSession(pse, store, rec->Flags, out);
  });
}

int32_t VCERT_Uninitialize(TelvoraSession s) {
  return Guard([&]() -> int32_t {
    Registry &r = Reg();
    std::vector<std::unique_ptr<Block>> gone;
    SessionPtr session;
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      auto it = r.sessions.find(s);
      if (it == r.sessions.end()) return kBadSession;
      session = it->second;
      r.sessions.erase(it);
      // What the host did not release goes with the session.
      for (auto b = r.byPointer.begin(); b != r.byPointer.end();) {
        if (b->second->session == s) {
          gone.push_back(std::move(b->second));
          b = r.byPointer.erase(b);
        } else {
          ++b;
        }
      }
      for (auto b = r.byRecord.begin(); b != r.byRecord.end();) {
        if (b->second->session == s) {
          gone.push_back(std::move(b->second));
          b = r.byRecord.erase(b);
        } else {
          ++b;
        }
      }
    }
    return kOk;
  });
}

int32_t VCERT_GetErrorText(int32_t code, char *buffer, int32_t size) {
  return Guard([&]() -> int32_t {
    if (buffer == nullptr || size <= 0) return kBadArgument;
    const char *text = StatusText(code);
    char unknown[64];
    if (text == nullptr) {
      std::snprintf(unknown, sizeof unknown, "Unknown status 0x%08X.", static_cast<unsigned>(code));
      text = unknown;
    }
    std::size_t n = std::min(std::strlen(text), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return StatusText(code) != nullptr ? kOk : kBadArgument;
  });
}

// ---- Releases -----------------------------------------------------------------------

int32_t VCERT_FreeMem(TelvoraSession s, void *data) {
  return Guard([&]() -> int32_t {
    if (data == nullptr) return FindSession(s) ? kOk : kBadSession;
    return ReleaseByPointer(s, data, BlockKind::kMem);
  });
}

int32_t VCERT_FreeCert(TelvoraSession s, TelvoraCertInfo *info) {
  return Guard([&]() -> int32_t {
    if (info == nullptr) return kBadArgument;
    return ReleaseRecord(s, info, BlockKind::kParse);
  });
}

int32_t VCERT_FreeDecryptResult(TelvoraSession s, TelvoraCertInfo *sender) {
  return Guard([&]() -> int32_t {
    if (sender == nullptr) return kBadArgument;
    return ReleaseRecord(s, sender, BlockKind::kDecrypt);
  });
}

int32_t VCERT_FreeFindResult(TelvoraSession s, TelvoraFindResult *result) {
  return Guard([&]() -> int32_t {
    if (result == nullptr) return kBadArgument;
    if (result->Certs == nullptr) return FindSession(s) ? kOk : kBadSession;
    int32_t st = ReleaseByPointer(s, result->Certs, BlockKind::kFind);
    if (st == kOk) *result = TelvoraFindResult{};
    return st;
  });
}

int32_t VCERT_FreeVerifyResult(TelvoraSession s, TelvoraVerifyResult *result) {
  return Guard([&]() -> int32_t {
    if (result == nullptr) return kBadArgument;
    if (result->Signers == nullptr) return FindSession(s) ? kOk : kBadSession;
    int32_t st = ReleaseByPointer(s, result->Signers, BlockKind::kVerify);
    if (st == kOk) *result = TelvoraVerifyResult{};
    return st;
  });
}

int32_t CPKI1_OutstandingBlocks(void) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return static_cast<int32_t>(r.byPointer.size() + r.byRecord.size());
}

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
    Registry &r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPointer[array] = std::move(block);
    return kOk;
  });
}

int32_t VCERT_AddCertificate(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *cert) {
  return Guard([&]() -> int32_t {
    (void)p;
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(cert)) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    // The store's self-signed CA certificates are its trust anchors: they are
    // installed with cpki1-tool, never by a host passing on what a peer sent.
    bool anchor = X509_check_issued(x.get(), x.get()) == X509_V_OK && IsCa(x.get());
    return ChangeCertStore(*session, [&](CertStoreData &data, bool &changed) -> int32_t {
      if (anchor &&
          std::none_of(data.certs.begin(), data.certs.end(), [&](const Cert &c) { return SameCert(c.get(), x.get()); }))
        return kAnchorRefused;
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
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    return ChangeCertStore(*session, [&](CertStoreData &data, bool &changed) -> int32_t {
      // Only a CRL signed by a CA certificate the stores know is taken.
      bool trusted = false;
      auto check = [&](X509 *ca) {
        if (!trusted && IsCa(ca) && X509_NAME_cmp(X509_get_subject_name(ca), X509_CRL_get_issuer(list.get())) == 0 &&
            X509_CRL_verify(list.get(), X509_get0_pubkey(ca)) == 1) {
          trusted = true;
        }
      };
      for (const auto &c : data.certs) check(c.get());
      for (const auto &c : keys->extraCerts) check(c.get());
      if (!trusted) return kCrlUntrusted;
      changed = AddCrlTo(data, list.get());
      return kOk;
    });
  });
}

// ---- Hashes -------------------------------------------------------------------------

int32_t VCERT_HashMem(TelvoraSession s, const TelvoraBlob *data, TelvoraBlob *hash) {
  return Guard([&]() -> int32_t {
    if (!FindSession(s)) return kBadSession;
    if (!BlobOk(data) || hash == nullptr) return kBadArgument;
    if (Algs().sha256 == nullptr) return kInternal;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    static const uint8_t empty = 0;
    if (!EVP_Digest(data->Length > 0 ? data->Data : &empty, static_cast<std::size_t>(data->Length), md, &len,
                    Algs().sha256, nullptr))
      return kInternal;
    return HandOut(s, Bytes(md, md + len), hash);
  });
}

int32_t VCERT_SignHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *hash, TelvoraBlob *signature) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (flags != 0 || !BlobOk(hash) || hash->Length != 32 || signature == nullptr) return kBadArgument;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *pair = nullptr;
    if (int32_t st = SelectPair(*keys, nullptr, pair); st != kOk) return st;
    if (!IsP256(pair->key.get())) return kBadKeyType;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pair->key.get(), nullptr));
    std::size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_sign(ctx.get(), nullptr, &len, hash->Data, 32) <= 0)
      return kSignFailed;
    Bytes der(len);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &len, hash->Data, 32) <= 0) return kSignFailed;
    const uint8_t *p = der.data();
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
    if (sig == nullptr) return kSignFailed;
    Bytes raw(64);
    bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32) == 32;
    ECDSA_SIG_free(sig);
    if (!ok) return kSignFailed;
    return HandOut(s, std::move(raw), signature);
  });
}

int32_t VCERT_VerifyHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *cert, const TelvoraBlob *hash,
                            const TelvoraBlob *signature) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (flags != 0 || !BlobOk(cert) || !BlobOk(hash) || !BlobOk(signature)) return kBadArgument;
    if (hash->Length != 32 || signature->Length != 64) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    EVP_PKEY *key = X509_get0_pubkey(x.get());
    if (!IsP256(key)) return kBadKeyType;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(signature->Data, 32, nullptr);
    BIGNUM *sv = BN_bin2bn(signature->Data + 32, 32, nullptr);
    if (sig == nullptr || r == nullptr || sv == nullptr || !ECDSA_SIG_set0(sig, r, sv)) {
      BN_free(r);
      BN_free(sv);
      ECDSA_SIG_free(sig);
      return kInternal;
    }
    unsigned char *der = nullptr;
    int derLen = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (derLen <= 0) return kInternal;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    int ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0
                 ? EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLen), hash->Data, 32)
                 : -1;
    OPENSSL_free(der);
    if (ok != 1) return kBadSignature;
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;
    if (int32_t st = CheckChain(x.get(), *certs, *keys, nullptr, ChainRules{session->flags, std::nullopt}); st != kOk)
      return st;
    return UsageAllows(x.get(), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION) ? kOk : kKeyUsage;
  });
}

// ---- CMS signatures -------------------------------------------------------------------

int32_t VCERT_SignMem(TelvoraSession s, const TelvoraSignParams *p, const TelvoraBlob *data, const void *reserved,
                      TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    (void)reserved;
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr) return kBadArgument;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *pair = nullptr;
    if (int32_t st = SelectPair(*keys, p->Selector, pair); st != kOk) return st;
    if (!TimeValid(pair->cert.get(), time(nullptr))) return kExpired;
    if (!UsageAllows(pair->cert.get(), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) return kKeyUsage;
    if (Algs().sha256 == nullptr) return kInternal;
    unsigned int detached = (p->Flags & 2) ? CMS_DETACHED : 0;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY | detached));
    if (!cms || CMS_add1_signer(cms.get(), pair->cert.get(), pair->key.get(), Algs().sha256, CMS_BINARY) == nullptr)
      return kSignFailed;
    BioPtr in = BlobBio(data);
    if (!in || !CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY | detached)) return kSignFailed;
    Bytes der = CmsDer(cms.get());
    if (der.empty()) return kSignFailed;
    return HandOut(s, std::move(der), out);
  });
}

int32_t VCERT_VerifyMem(TelvoraSession s, const TelvoraVerifyParams *p, const TelvoraBlob *data,
                        const TelvoraBlob *signature, TelvoraBlob *content, TelvoraVerifyResult *result) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(signature) || result == nullptr || (data != nullptr && !BlobOk(data)))
      return kBadArgument;
    *result = TelvoraVerifyResult{};
    CmsPtr cms = ReadCms(signature);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return kBadEncoding;
    bool detached = CMS_is_detached(cms.get()) == 1;
    // A detached signature needs the data blob (possibly empty); for an
    // enclosed one, data given as well must equal the content.
    bool haveData = data != nullptr && (data->Length > 0 || data->Data != nullptr);
    if (detached && data == nullptr) return kBadArgument;

    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    // The signatures themselves; signer certificates come from the message
    // or the certificate store.
    STACK_OF(X509) *known = sk_X509_new_null();
    if (known == nullptr) return kInternal;
    for (const auto &c : certs->certs) sk_X509_push(known, c.get());
    BioPtr dcont = detached ? BlobBio(data) : nullptr;
    BioPtr outBio(BIO_new(BIO_s_mem()));
    int ok = outBio ? CMS_verify(cms.get(), known, nullptr, dcont.get(), outBio.get(),
                                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY)
                    : 0;
    sk_X509_free(known);
    if (ok != 1) {
      unsigned long err = ERR_peek_last_error();
      if (ERR_GET_LIB(err) == ERR_LIB_CMS && ERR_GET_REASON(err) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND)
        return kUntrusted;
      return kBadSignature;
    }
    Bytes carried = detached ? BlobBytes(data) : BioBytes(outBio.get());
    if (!detached && haveData && carried != BlobBytes(data)) return kBadSignature;

    // Each signer's certificate chain, checked now; without CHECKEXPIRED an
    // expired certificate passes when it was valid at the claimed signing time.
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
    STACK_OF(X509) *msgCerts = CMS_get1_certs(cms.get());
    int n = sk_CMS_SignerInfo_num(infos);
    if (n <= 0) {
      sk_X509_pop_free(msgCerts, X509_free);
      return kBadSignature;
    }
    time_t now = time(nullptr);
    auto block = std::make_unique<Block>();
    block->session = s;
    block->kind = BlockKind::kVerify;
    int32_t status = kOk;
    for (int i = 0; i < n && status == kOk; ++i) {
      CMS_SignerInfo *si = sk_CMS_SignerInfo_value(infos, i);
      X509 *signer = nullptr;
      CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
      if (signer == nullptr) {
        status = kUntrusted;
        break;
      }
      ChainRules rules{session->flags, SigningTime(si)};
      if (rules.signedAt && *rules.signedAt > now)
        rules.signedAt.reset();  // a claim from the future counts for nothing
      status = CheckChain(signer, *certs, *keys, msgCerts, rules);
      if (status == kOk && !UsageAllows(signer, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) status = kKeyUsage;
      if (status == kOk) block->texts.push_back(std::make_unique<CertText>(signer, p->Fields, KeyRefOf(*keys, signer)));
    }
    sk_X509_pop_free(msgCerts, X509_free);
    if (status != kOk) return status;

    block->records.resize(block->texts.size());
    block->signers.resize(block->texts.size());
    for (std::size_t i = 0; i < block->texts.size(); ++i) {
      block->texts[i]->Fill(block->records[i]);
      block->signers[i].Status = kOk;
      block->signers[i].Cert = &block->records[i];
    }
    if (content != nullptr) {
      if (int32_t st = HandOut(s, carried, content); st != kOk) return st;
    }
    result->Count = static_cast<int32_t>(block->signers.size());
    result->Signers = block->signers.data();
    Registry &r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPointer[block->signers.data()] = std::move(block);
    return kOk;
  });
}

// ---- CMS encryption --------------------------------------------------------------------

int32_t VCERT_EncryptMem(TelvoraSession s, const TelvoraCryptParams *p, const TelvoraBlob *data, TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr || p->RecipientCount < 0) return kBadArgument;
    if (p->RecipientCount == 0) return kNoRecipients;
    if (p->Recipients == nullptr) return kBadArgument;
    if (Algs().sha256 == nullptr || Algs().aes256cbc == nullptr) return kInternal;
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    // A record names its certificate by its encoding or, as the library's
    // searches with Fields 3 leave it, by issuer and serial number.
    std::vector<X509UPtr> recipients;
    for (int32_t i = 0; i < p->RecipientCount; ++i) {
      const TelvoraCertInfo &rec = p->Recipients[i];
      X509UPtr x;
      if (rec.Encoded.Length > 0) {
        if (!BlobOk(&rec.Encoded)) return kBadArgument;
        x.reset(CertFromDer(rec.Encoded.Data, static_cast<std::size_t>(rec.Encoded.Length)).release());
        if (!x) return kBadEncoding;
      } else {
        if (rec.Issuer == nullptr || rec.SerialNumber == nullptr) return kBadArgument;
        X509 *known = FindByIssuerSerial(*certs, *keys, rec.Issuer, rec.SerialNumber);
        if (known == nullptr) return kUnknownRecipient;
        X509_up_ref(known);
        x.reset(known);
      }
      if (int32_t st = CheckChain(x.get(), *certs, *keys, nullptr, ChainRules{session->flags, std::nullopt}); st != kOk)
        return st;
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      if (!UsageAllows(x.get(), ec ? KU_KEY_AGREEMENT : KU_KEY_ENCIPHERMENT)) return kKeyUsage;
      recipients.push_back(std::move(x));
    }
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, Algs().aes256cbc, CMS_BINARY | CMS_PARTIAL));
    if (!cms) return kEncryptFailed;
    for (auto &x : recipients) {
      EVP_PKEY *key = X509_get0_pubkey(x.get());
      bool ec = key != nullptr && EVP_PKEY_is_a(key, "EC");
      CMS_RecipientInfo *ri = CMS_add1_recipient_cert(cms.get(), x.get(), ec ? CMS_KEY_PARAM : 0);
      if (ri == nullptr) return kEncryptFailed;
      if (ec) {
        // OpenSSL 3.0 would derive the key-wrapping key with SHA-1.
        EVP_PKEY_CTX *pctx = CMS_RecipientInfo_get0_pkey_ctx(ri);
        if (pctx == nullptr || EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, Algs().sha256) <= 0) return kEncryptFailed;
      }
    }
    BioPtr in = BlobBio(data);
    if (!in || !CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY)) return kEncryptFailed;
    Bytes der = CmsDer(cms.get());
    if (der.empty()) return kEncryptFailed;
    return HandOut(s, std::move(der), out);
  });
}

int32_t VCERT_DecryptMem(TelvoraSession s, const TelvoraDecryptParams *p, const TelvoraBlob *data, TelvoraBlob *out,
                         TelvoraCertInfo *sender) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || out == nullptr) return kBadArgument;
    CmsPtr cms = ReadCms(data);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) return kBadEncoding;
    std::shared_ptr<const KeyStoreData> keys;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    const KeyPair *only = nullptr;
    if (p->Selector != nullptr) {
      if (int32_t st = SelectPair(*keys, p->Selector, only); st != kOk) return st;
    }
    if (keys->pairs.empty()) return kNoKey;
    for (const auto &pair : keys->pairs) {
      if (only != nullptr && &pair != only) continue;
      ERR_clear_error();
      // Naming the certificate makes a wrong key an error instead of noise.
      if (!CMS_decrypt_set1_pkey_and_peer(cms.get(), pair.key.get(), pair.cert.get(), nullptr)) continue;
      BioPtr plain(BIO_new(BIO_s_mem()));
      if (!plain || !CMS_decrypt(cms.get(), nullptr, nullptr, nullptr, plain.get(), CMS_BINARY)) return kDecryptFailed;
      // An enveloped message names no sender: the record stays empty.
      if (sender != nullptr) std::memset(sender, 0, sizeof *sender);
      return HandOut(s, BioBytes(plain.get()), out);
    }
    return kNotRecipient;
  });
}

// ---- Key generation and import ----------------------------------------------------------

namespace {

constexpr int32_t kKindRequestAnswer = 8;
constexpr int32_t kKindKeyStoreFile = 16;
constexpr int32_t kKindKeyRequest = 20;

int32_t InstallAnswer(Session &session, const TelvoraExportParams *p, const Bytes &bytes) {
  X509UPtr cert = CertFromAny(bytes);
  if (!cert) return kBadEncoding;
  return ChangeKeyStore(session, [&](KeyStoreData &data) -> int32_t {
    if (!data.pending) return kNoPendingKey;
    if (!X509_check_private_key(cert.get(), data.pending.get())) return kKeyMismatch;
    X509_up_ref(cert.get());
    KeyPair pair{data.pending, ShareCert(cert.get()), Fingerprint(cert.get())};
    if (p->Auth != nullptr && p->Auth->KeyRef != nullptr && p->Auth->KeyRef[0] != '\0') {
      auto it = std::find_if(data.pairs.begin(), data.pairs.end(),
                             [&](const KeyPair &k) { return SameRef(k.ref, p->Auth->KeyRef); });
      if (it == data.pairs.end()) return kNoKey;
      *it = pair;
    } else {
      data.pairs.assign(1, pair);
    }
    data.pending.reset();
    return kOk;
  });
}

int32_t ImportKeyStore(Session &session, const Bytes &bytes) {
  KeyStoreData incoming;
  IoResult r = ParseKeyStore(bytes, session.password, incoming);
  if (r == IoResult::kBadPassword) return kKeyStoreUnreadable;
  if (r != IoResult::kOk) return kBadEncoding;
  if (incoming.pairs.empty()) return kNoKey;
  return ChangeKeyStore(session, [&](KeyStoreData &data) -> int32_t {
    data.pairs = incoming.pairs;
    for (const auto &c : incoming.extraCerts) {
      bool have = false;
      for (const auto &e : data.extraCerts) have = have || SameCert(e.get(), c.get());
      if (!have) data.extraCerts.push_back(c);
    }
    return kOk;
  });
}

int32_t Import(Session &session, const TelvoraExportParams *p, const Bytes &bytes) {
  switch (p->Kind) {
    case kKindRequestAnswer: return InstallAnswer(session, p, bytes);
    case kKindKeyStoreFile: return ImportKeyStore(session, bytes);
    default: return kUnsupportedKind;
  }
}

}  // namespace

int32_t VCERT_ImportMem(TelvoraSession s, const TelvoraExportParams *p, const TelvoraBlob *data) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || data->Length == 0) return kBadArgument;
    return Import(*session, p, BlobBytes(data));
  });
}

int32_t VCERT_ImportFile(TelvoraSession s, const TelvoraExportParams *p, const char *fileName) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || fileName == nullptr || fileName[0] == '\0') return kBadArgument;
    if (p->Kind != kKindRequestAnswer && p->Kind != kKindKeyStoreFile) return kUnsupportedKind;
    auto bytes = ReadWholeFile(Resolve(fileName));
    if (!bytes) return kFileNotFound;
    return Import(*session, p, *bytes);
  });
}

int32_t VCERT_ExportMem(TelvoraSession s, const TelvoraExportParams *p, TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || out == nullptr) return kBadArgument;
    if (p->Kind != kKindKeyRequest) return kUnsupportedKind;
    if (Algs().sha256 == nullptr) return kInternal;
    Bytes der;
    int32_t st = ChangeKeyStore(*session, [&](KeyStoreData &data) -> int32_t {
      const KeyPair *pair = nullptr;
      if (int32_t sel = SelectPair(data, p->Auth, pair); sel != kOk) return sel;
      KeyUPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
      ReqPtr req(X509_REQ_new());
      if (!key || !req || !X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) ||
          !X509_REQ_set_subject_name(req.get(), X509_get_subject_name(pair->cert.get())) ||
          !X509_REQ_set_pubkey(req.get(), key.get()) || X509_REQ_sign(req.get(), key.get(), Algs().sha256) <= 0)
        return kInternal;
      int n = i2d_X509_REQ(req.get(), nullptr);
      if (n <= 0) return kInternal;
      der.resize(static_cast<std::size_t>(n));
      uint8_t *q = der.data();
      i2d_X509_REQ(req.get(), &q);
      data.pending = ShareKey(key.release());
      return kOk;
    });
    if (st != kOk) return st;
    return HandOut(s, std::move(der), out);
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
    std::string dir;
    if (!crtelv::platform::GetEnv("TMPDIR", dir) || dir.empty()) dir = "/tmp";
    std::string name = dir + "/cpki1-cert-XXXXXX.pem";
    int fd = mkstemps(name.data(), 4);
    if (fd < 0) return kViewerFailed;
    std::string pem = CertPem(x.get());
    bool written = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    ::close(fd);
    int32_t status = kViewerFailed;
    if (written) {
      // The viewer command gets the file as its last argument ("$1").
      std::string script = std::string(viewer) + " \"$1\"";
      const char *argv[] = {"/bin/sh", "-c", script.c_str(), "cpki1-viewer", name.c_str(), nullptr};
      pid_t pid = 0;
      if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), environ) == 0) {
        int wstatus = 0;
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) status = kOk;
      }
    }
    ::unlink(name.c_str());
    return status;
  });
}

// ---- Entry points the library resolves but never calls ------------------------------

#define CPKI1_UNUSED_ENTRY(name) \
  int32_t name(void) { return kNotImplemented; }
CPKI1_UNUSED_ENTRY(VCERT_SetAuthData)
CPKI1_UNUSED_ENTRY(VCERT_SignedInfoMem)
CPKI1_UNUSED_ENTRY(VCERT_EncryptedInfoMem)
CPKI1_UNUSED_ENTRY(VCERT_VerifyAndSignMem)
CPKI1_UNUSED_ENTRY(VCERT_SignAndEncryptMem)
CPKI1_UNUSED_ENTRY(VCERT_DecryptAndVerifyMem)
CPKI1_UNUSED_ENTRY(VCERT_GenRandom)
CPKI1_UNUSED_ENTRY(VCERT_HashFile)
CPKI1_UNUSED_ENTRY(VCERT_SignFile)
CPKI1_UNUSED_ENTRY(VCERT_VerifyFile)
CPKI1_UNUSED_ENTRY(VCERT_SignedInfoFile)
CPKI1_UNUSED_ENTRY(VCERT_EncryptedInfoFile)
CPKI1_UNUSED_ENTRY(VCERT_VerifyAndSignFile)
CPKI1_UNUSED_ENTRY(VCERT_EncryptFile)
CPKI1_UNUSED_ENTRY(VCERT_DecryptFile)
CPKI1_UNUSED_ENTRY(VCERT_SignAndEncryptFile)
CPKI1_UNUSED_ENTRY(VCERT_DecryptAndVerifyFile)
CPKI1_UNUSED_ENTRY(VCERT_AllocMem)
CPKI1_UNUSED_ENTRY(VCERT_FreeCertId)
CPKI1_UNUSED_ENTRY(VCERT_FreeSignedInfoResult)
CPKI1_UNUSED_ENTRY(VCERT_FreeEncryptedInfoResult)
CPKI1_UNUSED_ENTRY(VCERT_Match)
CPKI1_UNUSED_ENTRY(VCERT_ExportFile)
#undef CPKI1_UNUSED_ENTRY
