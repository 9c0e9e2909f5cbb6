// libcpki1.so: the 47 VCERT_ entry points of the cpki1 provider interface on
// OpenSSL 3 libcrypto. See README.md for the behaviour of each call. This
// file: sessions, error texts, releases and the blocks handed out.
//
// Every entry point clears the thread's OpenSSL error queue, catches every
// exception and answers with one of the statuses of status.h. Sessions and
// handed-out blocks live in a process-wide registry that is never destroyed,
// so a host that ends its process with sessions open meets no released state.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "provider.h"

namespace cpki1 {
namespace {

constexpr char kPsePrefix[] = "pse://signed/";
constexpr char kFilePrefix[] = "file://";
constexpr char kLdapPrefix[] = "ldap://";

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

// ---- Profiles -----------------------------------------------------------------------

std::string Trim(const std::string &s) {
  std::size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

struct Profile {
  std::string pse, store;
  bool envelopedCbc = false;
  gost::Choices gost;
};

int32_t ReadProfile(const std::string &name, Profile &out) {
  if (name.empty() || name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") return kNoProfile;
  std::string dir;
  if (!crtelv::platform::GetEnv("CPKI1_PROFILES", dir) || dir.empty()) {
    dir = crtelv::platform::PrivateDataFolder("cpki1");
    if (dir.empty()) return kNoProfile;
  }
  std::string file = Resolve(dir + "/" + name + ".profile");
  auto text = ReadWholeFile(file);
  if (!text) return kNoProfile;
  std::string folder = file.substr(0, file.find_last_of(crtelv::platform::FolderSeparators()) + 1);
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
    if (int taken = gost::TakeProfileSetting(key, value, out.gost); taken != 0) {
      if (taken < 0) return kNoProfile;
      continue;
    }
    if (strcasecmp(key.c_str(), "cipher") == 0) {
      if (strcasecmp(value.c_str(), "aes-256-cbc") == 0) {
        out.envelopedCbc = true;
      } else if (strcasecmp(value.c_str(), "aes-256-gcm") == 0) {
        out.envelopedCbc = false;
      } else {
        return kNoProfile;
      }
      continue;
    }
    if (!value.empty() && !crtelv::platform::IsAbsolutePath(value)) value = folder + value;
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

bool StripPrefix(const char *url, const char *prefix, std::string &rest) {
  std::size_t n = std::strlen(prefix);
  if (strncasecmp(url, prefix, n) != 0) return false;
  rest = url + n;
  return !rest.empty();
}

}  // namespace

SessionPtr FindSession(TelvoraSession s) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sessions.find(s);
  return it == r.sessions.end() ? nullptr : it->second;
}

int32_t OpenSession(const std::string &pse, const std::string &store, int32_t flags, bool envelopedCbc,
                    const gost::Choices &choices, TelvoraSession *out) {
  gost::Available();  // loaded before any store is read: GOST keys decode only with the engine
  auto s = std::make_shared<Session>();
  s->gost = choices;
  s->pse = pse;
  s->store = store;
  s->flags = flags;
  s->envelopedCbc = envelopedCbc;
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

void HandOutArray(const void *key, std::unique_ptr<Block> block) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.byPointer[key] = std::move(block);
}

// ---- CMS helpers ------------------------------------------------------------------

BioPtr BlobBio(const TelvoraBlob *b) {
  static const uint8_t empty = 0;
  return BioPtr(BIO_new_mem_buf(b->Length > 0 ? b->Data : &empty, b->Length));
}

namespace {

int SinkWrite(BIO *bio, const char *data, std::size_t n, std::size_t *written) {
  auto *out = static_cast<Bytes *>(BIO_get_data(bio));
  if (out == nullptr) return 0;
  const auto *bytes = reinterpret_cast<const uint8_t *>(data);  // same types: one memmove
  out->insert(out->end(), bytes, bytes + n);
  *written = n;
  return 1;
}

long SinkCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int SinkCreate(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

BioPtr SinkBio(Bytes &out) {
  // Made once, never released (as the algorithms).
  static BIO_METHOD *const method = [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "cpki1 byte sink");
    if (m != nullptr && (!BIO_meth_set_write_ex(m, SinkWrite) || !BIO_meth_set_ctrl(m, SinkCtrl) ||
                         !BIO_meth_set_create(m, SinkCreate))) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  BioPtr bio(method != nullptr ? BIO_new(method) : nullptr);
  if (bio) BIO_set_data(bio.get(), &out);
  return bio;
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

}  // namespace cpki1

using namespace cpki1;

// ---- Sessions ---------------------------------------------------------------------

int32_t VCERT_Initialize(const char *profile, int32_t flags, TelvoraSession *out) {
  return Guard([&]() -> int32_t {
    if (profile == nullptr || out == nullptr) return kBadArgument;
    Profile p;
    if (int32_t st = ReadProfile(profile, p); st != kOk) return st;
    return OpenSession(p.pse, p.store, flags, p.envelopedCbc, p.gost, out);
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
    return OpenSession(pse, store, rec->Flags, false, gost::Choices{}, out);
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
