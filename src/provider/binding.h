// TTelvora: the binding of the provider library cpki1.
//
// The library is loaded once per process (by the first binding) and stays
// loaded until the library itself is unloaded. Each binding resolves the 47
// entry points, keeps one provider session that it re-opens after the
// configured time-outs, and runs every provider operation inside the call
// frame: provider lock (unless server mode or a thread-safe provider), the
// session's read side, the provider call, release of what the provider
// returned. The frame is made of the guards below, so every path releases.
//
// Four process-wide objects serialise the bindings, always taken in this
// order: ProviderLock, SessionLock, the SessionGuard reader/writer lock.
#ifndef CRTELV_PROVIDER_BINDING_H
#define CRTELV_PROVIDER_BINDING_H

#include <cstdint>
#include <string>
#include <vector>

#include "provider/cpki1_api.h"

namespace crtelv {

// The session record: filled by the engine from its parameters for every
// operation, read-only to the binding.
struct TelvoraInitParam {
  std::string Profile;
  std::string PSE;
  std::string LocalStore;
  std::string LDAP;
  std::string ServerCertEKUOID;
  int32_t KeyRequestTimeout = 60;
  int32_t LastOpTimeout = 5;
  bool ServerMode = false;
  std::string UIDLocation;
  std::string SignEKURestrictions;
  std::string CashID;
  int32_t InitFlags = 0;
};

// Initialisation flag bits of TelvoraInitParam::InitFlags.
constexpr int32_t kInitNoCrlUpdate = 1;
constexpr int32_t kInitCheckExpired = 2;
constexpr int32_t kInitNoLdap = 4;
constexpr int32_t kInitNoKeyUnload = 8;

// The provider's entry points, resolved by name; null when missing.
struct ProviderEntryPoints {
#define CRTELV_ENTRY_FIELD(name, type, required) type name = nullptr;
  CPKI1_ENTRY_POINTS(CRTELV_ENTRY_FIELD)
#undef CRTELV_ENTRY_FIELD
};

// The clock of the session time-outs: the local time of day as a fraction of
// a day (0.5 is noon). Tests may replace it; nullptr restores the system's.
using TimeOfDayFunc = double (*)();
void SetSessionClock(TimeOfDayFunc clock);
double SessionTimeOfDay();

// The factor that turns seconds of a time-out into days.
constexpr double kSecondsToDays = 1.1574E-5;

// TCrypto_DLL: what every provider binding knows about its library.
class TCrypto_DLL {
 public:
  TCrypto_DLL() = default;
  virtual ~TCrypto_DLL() = default;
  TCrypto_DLL(const TCrypto_DLL &) = delete;
  TCrypto_DLL &operator=(const TCrypto_DLL &) = delete;

  // The provider library is loaded in the process.
  bool Loaded() const { return FLoaded; }
  // Every required entry point was resolved.
  bool Complete() const { return FComplete; }

 protected:
  bool FLoaded = false;
  bool FComplete = false;
};

class TTelvora : public TCrypto_DLL {
 public:
  // Loads the provider (once per process), reads its version, resolves the
  // entry points. The caller checks Loaded() and Complete().
  TTelvora();
  // Closes the session.
  ~TTelvora() override;

  // The engine's password request callback; not read by the binding.
  void *FPasswordRequestFunc = nullptr;

  const ProviderEntryPoints &Entry() const { return FEntry; }
  bool ThreadSafe() const { return FThreadSafe; }
  TelvoraSession Session() const { return FSession; }

  // ---- Sessions and locks ------------------------------------------------
  // Opens or keeps the session; on 0 the caller holds the read side of the
  // session guard and must call ReleaseSession exactly once.
  int32_t AcquireSession(const TelvoraInitParam &p, TelvoraSession &session);
  void ReleaseSession();
  // Ends the session if there is one; takes no lock.
  void UninitializeSession();
  // Ends the session under SessionLock and the write side.
  void CloseSession();
  void LockProvider(bool serverMode);
  void UnlockProvider(bool serverMode);
  // The provider's text for a status, into buffer (bufSize bytes, zero-filled
  // first). Needs no session.
  void GetErrorText(int32_t code, int32_t bufSize, char *buffer, bool serverMode);

  // ---- Own certificate ---------------------------------------------------
  int32_t GetUserCertUID(const TelvoraInitParam &p, std::string &uid);
  int32_t GetUserCertIssuer(const TelvoraInitParam &p, std::string &issuer);

  // ---- Certificate identification ---------------------------------------
  int32_t FindServerCertKeyRef(const TelvoraInitParam &p, TelvoraSession session, std::string &keyRef);
  int32_t GetUIDFromCertificate(const TelvoraInitParam &p, const void *data, int32_t dataLen, std::string &uid);
  int32_t GetCertificateByUID(const TelvoraInitParam &p, const char *uid, void *out, int32_t &outLen);
  int32_t GetUIDByIdent(const TelvoraInitParam &p, const std::string &ident, std::string &uid);

  // A UID search: the criteria and everything they point to, kept together
  // so that the pointers stay valid while the search is used.
  struct UidSearch {
    TelvoraFindCriteria criteria{};
    std::string issuer;
    std::string holder;
    std::string keyRef;
    AuthRecord auth{};
    UidSearch() = default;
    UidSearch(const UidSearch &) = delete;
    UidSearch &operator=(const UidSearch &) = delete;
  };
  // Fills search for the UID (issuer may come in filled).
  int32_t BuildFindCriteria(const TelvoraInitParam &p, const std::string &uid, int32_t fields, UidSearch &search);

 private:
  TelvoraSession FSession = 0;
  double FLastUseTime = 0;
  double FInitTime = 0;
  int32_t FLastOpTimeout = 0;
  int32_t FKeyRequestTimeout = 0;
  bool FThreadSafe = false;
  ProviderEntryPoints FEntry;

  int32_t OpenSession(const TelvoraInitParam &p, double now);
  bool SessionStillValid(const TelvoraInitParam &p, double now) const;
  int32_t FindOwnCert(const TelvoraInitParam &p, int32_t fields, std::string &text, bool uidRule);
  // Acquires the session, searches, and hands the one certificate found to
  // use; a count other than 1 gives notOne. Everything is released after.
  template <typename Use>
  int32_t WithSingleCert(const TelvoraInitParam &p, const TelvoraFindCriteria &criteria, int32_t notOne, Use &&use);
};

// ---- Guards of the provider call frame --------------------------------------

// Holds the provider lock (when the mode needs it) for the guard's lifetime.
class ProviderLockGuard {
 public:
  ProviderLockGuard(TTelvora &binding, bool serverMode) : binding_(binding), serverMode_(serverMode) {
    binding_.LockProvider(serverMode_);
  }
  ~ProviderLockGuard() { binding_.UnlockProvider(serverMode_); }
  ProviderLockGuard(const ProviderLockGuard &) = delete;
  ProviderLockGuard &operator=(const ProviderLockGuard &) = delete;

 private:
  TTelvora &binding_;
  bool serverMode_;
};

// A session acquired for the guard's lifetime; released only if acquired.
class SessionHold {
 public:
  explicit SessionHold(TTelvora &binding) : binding_(binding) {}
  ~SessionHold() {
    if (held_) binding_.ReleaseSession();
  }
  SessionHold(const SessionHold &) = delete;
  SessionHold &operator=(const SessionHold &) = delete;
  int32_t Acquire(const TelvoraInitParam &p) {
    int32_t status = binding_.AcquireSession(p, session_);
    held_ = status == 0;
    return status;
  }
  TelvoraSession Session() const { return session_; }

 private:
  TTelvora &binding_;
  TelvoraSession session_ = 0;
  bool held_ = false;
};

// A find result released with VCERT_FreeFindResult when the call succeeded.
class FindResultHold {
 public:
  FindResultHold(TTelvora &binding, TelvoraSession session) : binding_(binding), session_(session) {}
  ~FindResultHold() {
    if (filled_) binding_.Entry().VCERT_FreeFindResult(session_, &result_);
  }
  FindResultHold(const FindResultHold &) = delete;
  FindResultHold &operator=(const FindResultHold &) = delete;
  int32_t Find(const TelvoraFindCriteria &criteria) {
    int32_t status = binding_.Entry().VCERT_FindCert(session_, &criteria, &result_);
    filled_ = status == 0;
    return status;
  }
  const TelvoraFindResult &Result() const { return result_; }
  // The only certificate, or null when the count is not 1.
  const TelvoraCertInfo *Single() const {
    return result_.Count == 1 && result_.Certs != nullptr ? result_.Certs : nullptr;
  }

 private:
  TTelvora &binding_;
  TelvoraSession session_;
  TelvoraFindResult result_{};
  bool filled_ = false;
};

// A parsed certificate released with VCERT_FreeCert when parsing succeeded.
class CertInfoHold {
 public:
  CertInfoHold(TTelvora &binding, TelvoraSession session) : binding_(binding), session_(session) {}
  ~CertInfoHold() {
    if (filled_) binding_.Entry().VCERT_FreeCert(session_, &info_);
  }
  CertInfoHold(const CertInfoHold &) = delete;
  CertInfoHold &operator=(const CertInfoHold &) = delete;
  int32_t Parse(const TelvoraBlob &cert, int32_t fields) {
    int32_t status = binding_.Entry().VCERT_ParseCert(session_, &cert, fields, &info_);
    filled_ = status == 0;
    return status;
  }
  const TelvoraCertInfo &Info() const { return info_; }

 private:
  TTelvora &binding_;
  TelvoraSession session_;
  TelvoraCertInfo info_{};
  bool filled_ = false;
};

// A data block of the provider released with VCERT_FreeMem.
class ProviderBlobHold {
 public:
  ProviderBlobHold(TTelvora &binding, TelvoraSession session) : binding_(binding), session_(session) {}
  ~ProviderBlobHold() {
    if (blob_.Data != nullptr) binding_.Entry().VCERT_FreeMem(session_, blob_.Data);
  }
  ProviderBlobHold(const ProviderBlobHold &) = delete;
  ProviderBlobHold &operator=(const ProviderBlobHold &) = delete;
  TelvoraBlob *Out() { return &blob_; }
  const TelvoraBlob &Blob() const { return blob_; }

 private:
  TTelvora &binding_;
  TelvoraSession session_;
  TelvoraBlob blob_{};
};

// ---- Text rules of certificate identification -------------------------------

// The CN of a distinguished name: the text between the first "CN=" and the
// next ","; empty when there is no "," after it.
std::string ExtractCN(const std::string &dn);
// "CN=" + name.
std::string MakeCNFilter(const std::string &name);
// "0A1B2C" -> "0A:1B:2C"; a text of odd length is returned unchanged.
std::string HexWithColons(const std::string &hex);
// The UID of a certificate by the UID rule ("CN": ExtractCN of the subject;
// otherwise the serial number without ":").
std::string CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert);

// Unit start-up and shut-down: the provider module handle and the four
// process-wide locks.
void TelvoraUnitInit();
void TelvoraUnitDone();

// Whether the provider module has been loaded in this process (for tests).
bool ProviderModuleLoaded();

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_BINDING_H
