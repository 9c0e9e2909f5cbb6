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
// Three process-wide locks serialise the bindings, always taken in this
// order: ProviderLock, SessionLock, the SessionGuard reader/writer lock. A
// fourth, the load lock, guards only the provider module handle; nothing is
// taken while it is held.
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

class ProviderCall;
enum class ServerKey;

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

  // ---- The provider call frame (see CallProvider below) -------------------
  template <typename Call>
  int32_t CallProvider(const TelvoraInitParam &p, ServerKey key, Call &&call);

  // ---- Sessions and locks (binding_session.cpp) --------------------------
  // Opens or keeps the session; on 0 the caller holds the read side of the
  // session guard and must call ReleaseSession exactly once. A thread that
  // already holds a session (of any binding) gets -10 and nothing changes:
  // re-opening would close the session its outer call uses, and waiting
  // for the write side could deadlock against another thread re-opening.
  int32_t AcquireSession(const TelvoraInitParam &p, TelvoraSession &session);
  void ReleaseSession();
  // Ends the session if there is one; takes no lock.
  void UninitializeSession();
  // Ends the session under the provider lock (when the provider needs one)
  // and SessionLock, at once when none of this binding's calls holds it,
  // else when the last of them releases it. Calls of other bindings go on.
  void CloseSession();
  void LockProvider(bool serverMode);
  void UnlockProvider(bool serverMode);
  // The provider's text for a status, into buffer (bufSize bytes, zero-filled
  // first). Needs no session.
  void GetErrorText(int32_t code, int32_t bufSize, char *buffer, bool serverMode);

  // The binding methods of the operations, by family. A method that serves
  // one operation of the engine carries its name.

  // ---- Identities (operation_ident.cpp) --------------------------------------
  int32_t GetUserCertUID(const TelvoraInitParam &p, std::string &uid);
  int32_t GetUserCertIssuer(const TelvoraInitParam &p, std::string &issuer);
  int32_t FindServerCertKeyRef(const TelvoraInitParam &p, TelvoraSession session, std::string &keyRef);
  // The UID of the certificate a certificate identifier names: the one of
  // that serial number under the user's issuer, which must bear the
  // identifier's issuer (SameDnText); -5 when there is none.
  int32_t GetUIDByCertIdent(const TelvoraInitParam &p, const std::string &issuer, const std::string &serial,
                            std::string &uid);

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
  // Fills search for the UID (issuer may come in filled); -5, before any
  // provider call, for a UID that names no certificate (an empty one).
  int32_t BuildFindCriteria(const TelvoraInitParam &p, const std::string &uid, int32_t fields, UidSearch &search);

  // ---- Signing and verification (operation_sign.cpp) ----------------------
  // Every output is refused with -7 (nothing written) when the provider's
  // result exceeds capacity or is malformed; the result is still released.
  // The separate signature of the data, and the bare signature of its hash.
  int32_t SignData(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out, int64_t capacity,
                   int32_t &outLen);
  int32_t SignDataByHash(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out, int64_t capacity,
                         int32_t &outLen);
  // mode 0 UID, 1 UID after showing the certificate, 2 properties text,
  // 3 the certificate as PEM (-7 when longer than 4096 characters).
  int32_t VerifyData(const TelvoraInitParam &p, const void *data, int32_t dataLen, const void *sign,
                     int32_t signLen, int32_t mode, std::string &text);
  // A bare hash signature: uid names the signer by serial number on entry;
  // on 0 (and -19) it holds the signer's UID, or in mode 2 its properties
  // text.
  int32_t VerifyDataByHash(const TelvoraInitParam &p, const void *data, int32_t dataLen, const void *signature,
                           int32_t signatureLen, int32_t mode, std::string &uid);
  // In place: data (len bytes, room for capacity) becomes the signed message.
  int32_t AddSign(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity);
  // In place: the signed message becomes its content; uid names the signer
  // (also with -19, when the content is delivered too).
  int32_t RemoveSignature(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity, std::string &uid);

  // ---- Encryption (operation_crypt.cpp) --------------------------------------
  // In place, for the ";"-separated recipient UIDs; -4 for an empty list,
  // -5 (before any provider call) when an item is empty.
  int32_t EncodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                     const std::string &recipients);
  int32_t DecodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity);

  // ---- Hashing (operation_hash.cpp) ------------------------------------------
  // format 1 base64, 2 hex, else raw. out null: outLen := the size, 0;
  // outLen too small: outLen := the size, -7.
  int32_t HashData(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t format, void *out,
                   int32_t &outLen);

  // ---- Stores (operation_store.cpp) ------------------------------------------
  // Kinds of VCERT_ExportMem / VCERT_ImportMem / VCERT_ImportFile.
  static constexpr int32_t kExportKeyRequest = 20;
  static constexpr int32_t kImportKeyRequestAnswer = 8;
  static constexpr int32_t kImportPSE = 16;
  // Offers data as it is; when refused, decodes the PEM armour in place
  // (data and len change) and offers the result once more.
  int32_t AddCertificate(const TelvoraInitParam &p, void *data, int32_t &len);
  // The CRL file, binary or PEM; -16 when it cannot be opened or read.
  int32_t IncludeCRL(const TelvoraInitParam &p, const char *fileName);
  int32_t ImportFromFile(const TelvoraInitParam &p, const char *fileName, int32_t kind);
  int32_t ImportPSEFile(const TelvoraInitParam &p, const char *fileName);

  // ---- Key requests (operation_keyrequest.cpp) -------------------------------
  // A new key pair and its request; and the installation of the certificate
  // issued for it. Both hold the provider lock and SessionLock for their whole
  // run, so that no session is opened or closed in between.
  int32_t RemoteGenerateStart(const TelvoraInitParam &p, void *out, int32_t &outLen);
  int32_t RemoteGenerateFinish(const TelvoraInitParam &p, const void *data, int32_t dataLen);
  // outLen is the capacity of out on entry and the length written on 0; -7
  // (outLen unchanged, nothing written) when the export is longer.
  int32_t ExportToBuffer(const TelvoraInitParam &p, void *out, int32_t &outLen, int32_t kind);
  // -11 (no session taken) for no data or a length of 0 or less.
  int32_t ImportToStore(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t kind);
  // SessionLock, for the guard below (re-entrant on the same thread).
  void EnterSessionLock();
  void LeaveSessionLock();

  // ---- Transfers (operation_transfer.cpp) ------------------------------------
  // The certificate of a UID: out null asks for the size; -7 with the size
  // when outLen is smaller.
  int32_t GetCertificateByUID(const TelvoraInitParam &p, const char *uid, void *out, int32_t &outLen);
  int32_t GetUIDFromCertificate(const TelvoraInitParam &p, const void *data, int32_t dataLen, std::string &uid);

  // ---- Reports (operation_report.cpp): the properties text, "UID=" line
  // first, at most 4096 characters and a zero into out, which must hold 4097
  // bytes ------------------------------------------------------------------------
  int32_t GetReport(const TelvoraInitParam &p, const char *uid, char *out);
  // -5 when the own store does not hold exactly one (server: server) certificate.
  int32_t GetOwnReport(const TelvoraInitParam &p, char *out);
  // Of a certificate given as data (a transfer's or a file's).
  int32_t GetReportByData(const TelvoraInitParam &p, const void *data, int32_t dataLen, char *out);

  // ---- Display (operation_display.cpp) ---------------------------------------
  // The provider's viewer for the certificate of the UID: searched among the
  // others' certificates, then (when not found exactly once) more widely; -5
  // when neither search finds exactly one.
  int32_t ShowCertificate(const TelvoraInitParam &p, const char *uid);

 private:
  TelvoraSession FSession = 0;
  double FLastUseTime = 0;
  double FInitTime = 0;
  int32_t FLastOpTimeout = 0;
  int32_t FKeyRequestTimeout = 0;
  // The InitFlags the open session was opened with.
  int32_t FSessionFlags = 0;
  // Calls of this binding holding its session, and whether the last of them
  // closes it (CloseSession while they ran); both under SessionLock.
  int32_t FSessionUsers = 0;
  bool FCloseWhenIdle = false;
  bool FThreadSafe = false;
  ProviderEntryPoints FEntry;

  int32_t OpenSession(const TelvoraInitParam &p, double now);
  bool SessionStillValid(const TelvoraInitParam &p, double now) const;
  int32_t FindOwnCert(const TelvoraInitParam &p, int32_t fields, std::string &text, bool uidRule);
  // The issuer lookup, the criteria of a search for uid, then use(search),
  // all under one hold of the provider lock.
  template <typename Use>
  int32_t WithUidSearch(const TelvoraInitParam &p, const std::string &uid, int32_t fields, Use &&use);
  // In the call frame: searches, and hands the one certificate found to use;
  // a count other than 1 gives notOne. Everything is released after.
  template <typename Use>
  int32_t WithSingleCert(const TelvoraInitParam &p, const TelvoraFindCriteria &criteria, int32_t notOne, Use &&use);
};

// ---- Guards of the provider call frame --------------------------------------
//
// Every lock, session and provider result is held by one of these, so each
// path releases what it took. Release() gives a hold back early (the
// destructor then does nothing), for operations that must release in a
// particular order. No destructor throws.

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

// Holds SessionLock for the guard's lifetime. Taken after the provider lock
// (ProviderLockGuard first), never the other way round: every provider call
// takes SessionLock inside the provider lock when it acquires its session.
class SessionLockGuard {
 public:
  explicit SessionLockGuard(TTelvora &binding) : binding_(binding) { binding_.EnterSessionLock(); }
  ~SessionLockGuard() { binding_.LeaveSessionLock(); }
  SessionLockGuard(const SessionLockGuard &) = delete;
  SessionLockGuard &operator=(const SessionLockGuard &) = delete;

 private:
  TTelvora &binding_;
};

// A session acquired for the guard's lifetime; released only if acquired.
class SessionHold {
 public:
  explicit SessionHold(TTelvora &binding) : binding_(binding) {}
  ~SessionHold() { Release(); }
  SessionHold(const SessionHold &) = delete;
  SessionHold &operator=(const SessionHold &) = delete;
  int32_t Acquire(const TelvoraInitParam &p) {
    int32_t status = binding_.AcquireSession(p, session_);
    held_ = status == 0;
    return status;
  }
  TelvoraSession Session() const { return session_; }
  void Release() noexcept {
    if (!held_) return;
    held_ = false;
    try {
      binding_.ReleaseSession();
    } catch (...) {
      // The read side was not held after all: nothing to give back.
    }
  }

 private:
  TTelvora &binding_;
  TelvoraSession session_ = 0;
  bool held_ = false;
};

// What the call frame hands an operation: the session, and in server mode
// the server's key (null otherwise, or when the operation did not ask).
class ProviderCall {
 public:
  ProviderCall(TTelvora &binding, SessionHold &session, const AuthRecord *auth)
      : binding_(binding), session_(session), auth_(auth) {}
  TTelvora &Binding() const { return binding_; }
  const ProviderEntryPoints &Entry() const { return binding_.Entry(); }
  TelvoraSession Session() const { return session_.Session(); }
  const AuthRecord *Auth() const { return auth_; }
  // Gives the session back before the operation ends (the provider lock
  // stays held until the frame ends). Holds made from this call release
  // with the session handle they were made with.
  void ReleaseSession() noexcept { session_.Release(); }

 private:
  TTelvora &binding_;
  SessionHold &session_;
  const AuthRecord *auth_;
};

// Whether the frame looks up the server's key in server mode.
enum class ServerKey { Needed, NotNeeded };

// The provider call frame: provider lock (unless server mode or a thread-safe
// provider), the session, in server mode the server's key as an AuthRecord
// (when asked for), then call(ProviderCall&), then release in reverse order.
// A failing step ends the frame with its status; a failure raised by call
// passes on after everything is released.
template <typename Call>
int32_t TTelvora::CallProvider(const TelvoraInitParam &p, ServerKey key, Call &&call) {
  ProviderLockGuard lock(*this, p.ServerMode);
  SessionHold session(*this);
  int32_t status = session.Acquire(p);
  if (status != 0) return status;
  std::string keyRef;
  AuthRecord auth{};
  const AuthRecord *selector = nullptr;
  if (p.ServerMode && key == ServerKey::Needed) {
    status = FindServerCertKeyRef(p, session.Session(), keyRef);
    if (status != 0) return status;
    auth = AuthRecord{1, keyRef.c_str(), 0};
    selector = &auth;
  }
  ProviderCall frame(*this, session, selector);
  return call(frame);
}

// Base of the holds of provider results: the result is released with its
// entry point when the provider call that filled it succeeded.
template <typename Result, typename Derived>
class ProviderResultHold {
 public:
  explicit ProviderResultHold(const ProviderCall &call) : entry_(call.Entry()), session_(call.Session()) {}
  ProviderResultHold(TTelvora &binding, TelvoraSession session) : entry_(binding.Entry()), session_(session) {}
  ~ProviderResultHold() { Release(); }
  ProviderResultHold(const ProviderResultHold &) = delete;
  ProviderResultHold &operator=(const ProviderResultHold &) = delete;
  // Releases now (when filled); later releases do nothing.
  void Release() noexcept {
    if (!filled_) return;
    filled_ = false;
    Derived::Free(entry_, session_, &result_);
  }
  // Takes the provider's status of the call that fills Out(): filled on 0.
  int32_t Filled(int32_t status) {
    filled_ = status == 0;
    return status;
  }
  Result *Out() { return &result_; }
  const Result &Get() const { return result_; }

 protected:
  const ProviderEntryPoints &entry_;
  TelvoraSession session_;
  Result result_{};
  bool filled_ = false;
};

// A find result released with VCERT_FreeFindResult.
class FindResultHold : public ProviderResultHold<TelvoraFindResult, FindResultHold> {
 public:
  using ProviderResultHold::ProviderResultHold;
  static void Free(const ProviderEntryPoints &e, TelvoraSession s, TelvoraFindResult *r) {
    e.VCERT_FreeFindResult(s, r);
  }
  int32_t Find(const TelvoraFindCriteria &criteria) {
    return Filled(entry_.VCERT_FindCert(session_, &criteria, Out()));
  }
  const TelvoraFindResult &Result() const { return Get(); }
  // The only certificate, or null when the count is not 1.
  const TelvoraCertInfo *Single() const {
    return result_.Count == 1 && result_.Certs != nullptr ? result_.Certs : nullptr;
  }
};

// A parsed certificate released with VCERT_FreeCert.
class CertInfoHold : public ProviderResultHold<TelvoraCertInfo, CertInfoHold> {
 public:
  using ProviderResultHold::ProviderResultHold;
  static void Free(const ProviderEntryPoints &e, TelvoraSession s, TelvoraCertInfo *r) { e.VCERT_FreeCert(s, r); }
  int32_t Parse(const TelvoraBlob &cert, int32_t fields) {
    return Filled(entry_.VCERT_ParseCert(session_, &cert, fields, Out()));
  }
  const TelvoraCertInfo &Info() const { return Get(); }
};

// A verification result released with VCERT_FreeVerifyResult. The call
// that fills it is the operation's own (VCERT_VerifyMem): pass its status
// to Filled().
class VerifyResultHold : public ProviderResultHold<TelvoraVerifyResult, VerifyResultHold> {
 public:
  using ProviderResultHold::ProviderResultHold;
  static void Free(const ProviderEntryPoints &e, TelvoraSession s, TelvoraVerifyResult *r) {
    e.VCERT_FreeVerifyResult(s, r);
  }
};

// The sender record of a decryption, released with VCERT_FreeDecryptResult.
class DecryptResultHold : public ProviderResultHold<TelvoraCertInfo, DecryptResultHold> {
 public:
  using ProviderResultHold::ProviderResultHold;
  static void Free(const ProviderEntryPoints &e, TelvoraSession s, TelvoraCertInfo *r) {
    e.VCERT_FreeDecryptResult(s, r);
  }
};

// A data block of the provider released with VCERT_FreeMem whenever the
// provider handed one out (whatever the status of the call).
class ProviderBlobHold {
 public:
  explicit ProviderBlobHold(const ProviderCall &call) : entry_(call.Entry()), session_(call.Session()) {}
  ProviderBlobHold(TTelvora &binding, TelvoraSession session) : entry_(binding.Entry()), session_(session) {}
  ~ProviderBlobHold() { Release(); }
  ProviderBlobHold(const ProviderBlobHold &) = delete;
  ProviderBlobHold &operator=(const ProviderBlobHold &) = delete;
  void Release() noexcept {
    if (blob_.Data == nullptr) return;
    uint8_t *data = blob_.Data;
    blob_ = TelvoraBlob{};
    entry_.VCERT_FreeMem(session_, data);
  }
  TelvoraBlob *Out() { return &blob_; }
  const TelvoraBlob &Blob() const { return blob_; }

 private:
  const ProviderEntryPoints &entry_;
  TelvoraSession session_;
  TelvoraBlob blob_{};
};

// In the call frame: searches, and hands the one certificate found to use;
// a count other than 1 gives notOne. Everything is released after.
template <typename Use>
int32_t TTelvora::WithSingleCert(const TelvoraInitParam &p, const TelvoraFindCriteria &criteria, int32_t notOne,
                                 Use &&use) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    FindResultHold found(call);
    int32_t status = found.Find(criteria);
    if (status != 0) return status;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return notOne;
    return static_cast<int32_t>(use(*cert));
  });
}

template <typename Use>
int32_t TTelvora::WithUidSearch(const TelvoraInitParam &p, const std::string &uid, int32_t fields, Use &&use) {
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  int32_t status = BuildFindCriteria(p, uid, fields, search);
  if (status != 0) return status;
  return use(search);
}

// ---- Text rules of certificate identification (binding_text.cpp) ----------

// A text of the provider; empty for null.
std::string ProviderText(const char *text);
// The CN of a distinguished name read at its attribute boundaries (see
// ReadDnText): the unescaped value of the first, most specific, CN attribute
// (the one a "CN=name" search of the provider compares); empty when there is
// none, the text cannot be read, or the value holds a byte below 0x20.
std::string ExtractCN(const std::string &dn);
// "CN=" + name.
std::string MakeCNFilter(const std::string &name);
// "0A1B2C" -> "0A:1B:2C"; a text of odd length is returned unchanged.
std::string HexWithColons(const std::string &hex);
// The UID of a certificate by the UID rule ("CN": ExtractCN of the subject;
// otherwise the serial number without ":"); empty when it has none.
std::string CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert);
// The same for an operation that must name the certificate: kCertSelection
// (-5), with uid empty, when it has no UID (no CN attribute in CN mode).
int32_t CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert, std::string &uid);

// ---- Search criteria (operation_ident.cpp) ------------------------------------

// Criteria that select certificates of the user's own store; in server mode
// only those carrying the server's extended key usage (ekuList).
TelvoraFindCriteria OwnStoreCriteria(const TelvoraInitParam &p, int32_t fields, const char *const *ekuList);
// Criteria that find the certificate of a UID among the others' certificates:
// by the subject's CN in "CN" mode, else by serial number under issuer.
// filter receives the text the criteria point to; Selector and Fields are
// left for the caller.
TelvoraFindCriteria UidCriteria(const TelvoraInitParam &p, const std::string &uid, const std::string &issuer,
                                std::string &filter);

// ---- PEM armour (binding_text.cpp), properties text (operation_report.cpp),
// signer checks (operation_sign.cpp), results into host buffers
// (binding_text.cpp) ----------------------------------------------------------

// The longest properties or PEM text handed to a host (without its zero).
constexpr int32_t kCertTextLimit = 4096;

// Decodes the first count characters of text (fewer at a zero byte) after
// removing every "\r\n" and then every "\n"; empty when nothing decodes.
std::vector<uint8_t> DecodeBase64Text(const char *text, int32_t count);
// Base64 of len bytes in lines of 76 characters joined by "\r\n"; no final
// line break.
std::string EncodeBase64Lines(const void *data, int32_t len);
// Replace the PEM text in the first len bytes of data by the decoded bytes:
// 0, or -8 / -9 when a marker is missing (data and len unchanged).
int32_t CertFromPEM(void *data, int32_t &len);
int32_t CRLFromPEM(void *data, int32_t &len);
// The certificate's encoding as PEM text ("\r\n" between lines, none after
// the END marker); no or empty encoding gives an empty body.
std::string CertToPEM(const TelvoraBlob &cert);
// The properties text of a certificate: CR LF after every line.
std::string FormatCertProperties(const TelvoraCertInfo &info);
// A date as 'dd-mm-yy hh:mm:ss' (UTC).
std::string FormatCertDate(uint32_t seconds);
// False when the certificate carries one of the ";"-separated OIDs (letter
// case ignored, items not trimmed).
bool CheckSignEKURestrictions(const std::string &restrictions, const TelvoraCertInfo &info);
// Copies a provider result into a host buffer of capacity bytes: -7 (and
// nothing written) when it is larger, has a negative length, or no data
// with a positive length; else 0 and len := its length.
int32_t CopyProviderResult(const TelvoraBlob &result, void *out, int64_t capacity, int32_t &len);
// Hands size bytes of data to a caller who may ask for the size first: out
// null gives outLen := size and 0; an outLen below size gives outLen := size
// and -7 (nothing written); else the bytes are copied, outLen := size, 0.
int32_t CopySizedResult(const void *data, int32_t size, void *out, int32_t &outLen);

// Unit start-up and shut-down: the provider module handle and the four
// process-wide locks.
void TelvoraUnitInit();
void TelvoraUnitDone();

// Whether the provider module has been loaded in this process (for tests).
bool ProviderModuleLoaded();

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_BINDING_H
