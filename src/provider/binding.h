// TTelvora: the binding of the provider library cpki1.
//
// The library is loaded once per process (by the first binding) and stays
// loaded until the library itself is unloaded. Each binding resolves the 47
// entry points, keeps one provider session that it re-opens after the
// configured time-outs, and runs every provider operation inside the call
// frame (call_frame.h): provider lock (unless server mode or a thread-safe
// provider), the session's read side, the provider call, release of what the
// provider returned. The binding's own work (loading, sessions, locks) is in
// binding_session.cpp; the operations live in the operation_<family>.cpp
// files.
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

// The UID rule of a session record: "CN" names certificates by their
// subject's CN, anything else by serial number. The one place the rule is
// read; a call frame decides it once, when it opens.
enum class UidRule { CommonName, SerialNumber };
inline UidRule UidRuleOf(const TelvoraInitParam &p) {
  return p.UIDLocation == "CN" ? UidRule::CommonName : UidRule::SerialNumber;
}

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
class FindResultHold;
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

  // ---- The provider call frame (defined in call_frame.h) ------------------
  template <typename Call>
  int32_t CallProvider(const TelvoraInitParam &p, ServerKey key, Call &&call);
  // The same inside the provider lock and SessionLock, so that no session is
  // opened or closed meanwhile (the key request operations).
  template <typename Call>
  int32_t CallHoldingSessions(const TelvoraInitParam &p, Call &&call);

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
  // one operation of the engine carries its name. Each comes twice: taking
  // the session record, it opens a call frame of its own and runs there;
  // taking a ProviderCall, it runs inside the caller's frame, so that an
  // operation made of several steps opens one frame and takes each lock once.
  // A step that acts with the server's key looks it up in the frame (once).

  // ---- Identities (operation_ident.cpp) --------------------------------------
  int32_t GetUserCertUID(const TelvoraInitParam &p, std::string &uid);
  int32_t GetUserCertUID(ProviderCall &call, std::string &uid);
  int32_t GetUserCertIssuer(ProviderCall &call, std::string &issuer);
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
    UidSearch() = default;
    UidSearch(const UidSearch &) = delete;
    UidSearch &operator=(const UidSearch &) = delete;
  };
  // Fills search for the UID: the user's issuer when the UID is a serial
  // number (rule), the server's key in server mode; -5, before any provider
  // call, for a UID that names no certificate (an empty one).
  int32_t BuildFindCriteria(ProviderCall &call, const std::string &uid, int32_t fields, UidRule rule,
                            UidSearch &search);
  // Searches the certificates of a UID into found.
  int32_t FindByUid(ProviderCall &call, const std::string &uid, int32_t fields, UidRule rule, FindResultHold &found);

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
  int32_t AddSign(ProviderCall &call, void *data, int32_t &len, int64_t capacity);
  // In place: the signed message becomes its content; uid names the signer
  // (also with -19, when the content is delivered too).
  int32_t RemoveSignature(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity, std::string &uid);
  int32_t RemoveSignature(ProviderCall &call, void *data, int32_t &len, int64_t capacity, std::string &uid);

  // ---- Encryption (operation_crypt.cpp) --------------------------------------
  // In place, for the ";"-separated recipient UIDs; -4 for an empty list,
  // -5 (before any provider call) when an item is empty.
  int32_t EncodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                     const std::string &recipients);
  // The same for a list already split.
  int32_t EncodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                     const std::vector<std::string> &recipients);
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
  int32_t AddCertificate(ProviderCall &call, void *data, int32_t &len);
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
  int32_t ExportToBuffer(ProviderCall &call, void *out, int32_t &outLen, int32_t kind);
  // -11 (no session taken) for no data or a length of 0 or less.
  int32_t ImportToStore(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t kind);
  int32_t ImportToStore(ProviderCall &call, const void *data, int32_t dataLen, int32_t kind);
  // SessionLock, for the guard below (re-entrant on the same thread).
  void EnterSessionLock();
  void LeaveSessionLock();

  // ---- Transfers (operation_transfer.cpp) ------------------------------------
  // The certificate of a UID: out null asks for the size; -7 with the size
  // when outLen is smaller.
  int32_t GetCertificateByUID(const TelvoraInitParam &p, const char *uid, void *out, int32_t &outLen);
  int32_t GetCertificateByUID(ProviderCall &call, const char *uid, void *out, int32_t &outLen);
  int32_t GetUIDFromCertificate(const TelvoraInitParam &p, const void *data, int32_t dataLen, std::string &uid);
  int32_t GetUIDFromCertificate(ProviderCall &call, const void *data, int32_t dataLen, std::string &uid);

  // ---- Reports (operation_report.cpp): the properties text, "UID=" line
  // first, at most 4096 characters and a zero into out, which must hold 4097
  // bytes ------------------------------------------------------------------------
  int32_t GetReport(const TelvoraInitParam &p, const char *uid, char *out);
  // -5 when the own store does not hold exactly one (server: server) certificate.
  int32_t GetOwnReport(const TelvoraInitParam &p, char *out);
  int32_t GetOwnReport(ProviderCall &call, char *out);
  // Of a certificate given as data (a transfer's or a file's).
  int32_t GetReportByData(const TelvoraInitParam &p, const void *data, int32_t dataLen, char *out);
  int32_t GetReportByData(ProviderCall &call, const void *data, int32_t dataLen, char *out);

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
  // The one certificate of the own store (server: the server's): its UID, or
  // (uidRule false) its issuer; -2 when there is not exactly one.
  int32_t FindOwnCert(ProviderCall &call, int32_t fields, std::string &text, bool uidRule);
  // CallProvider without taking the provider lock (call_frame.h).
  template <typename Call>
  int32_t RunFrame(const TelvoraInitParam &p, ServerKey key, Call &&call);
};


// Unit start-up and shut-down: the provider module handle and the four
// process-wide locks.
void TelvoraUnitInit();
void TelvoraUnitDone();

// Whether the provider module has been loaded in this process (for tests).
bool ProviderModuleLoaded();


}  // namespace crtelv

#endif  // CRTELV_PROVIDER_BINDING_H
