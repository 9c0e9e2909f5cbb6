// libcpki1.so: the 47 VCERT_ entry points of the cpki1 provider interface on
// OpenSSL 3 libcrypto. See README.md for the behaviour of each call. This
// file: opening sessions (profiles), error texts and releases.
//
// Every entry point clears the thread's OpenSSL error queue, catches every
// exception and answers with one of the statuses of status.h. Sessions and
// handed-out blocks live in the registry (session_registry.cpp).
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

// ---- Profiles -----------------------------------------------------------------------

std::string Trim(const std::string &s) {
  std::size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

struct Profile {
  std::string pse, store;
  bool envelopedCbc = false;
  gost::Choices gost;
  TsaSettings tsa;
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
    if (int taken = TakeTsaSetting(key, value, out.tsa); taken != 0) {
      if (taken < 0) return kTsaSetting;
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

int32_t OpenSession(const std::string &pse, const std::string &store, int32_t flags, bool envelopedCbc,
                    const gost::Choices &choices, const TsaSettings &tsa, TelvoraSession *out) {
  gost::Available();  // loaded before any store is read: GOST keys decode only with the engine
  auto s = std::make_shared<Session>();
  s->gost = choices;
  s->tsa = tsa;
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
  *out = RegisterSession(std::move(s));
  return kOk;
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
    return OpenSession(p.pse, p.store, flags, p.envelopedCbc, p.gost, p.tsa, out);
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
    TsaSettings tsa;
    if (int32_t st = TsaSettingsFromEnvironment(tsa); st != kOk) return st;
    return OpenSession(pse, store, rec->Flags, false, gost::Choices{}, tsa, out);
  });
}
int32_t VCERT_Uninitialize(TelvoraSession s) {
  return Guard([&]() -> int32_t { return CloseSession(s); });
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

int32_t CPKI1_OutstandingBlocks(void) { return OutstandingBlocks(); }

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
