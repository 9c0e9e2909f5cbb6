// The provider call frame: the guards that hold the provider lock, the
// session and the provider's results, CallProvider that runs an operation
// inside them, and the lookup of the server's key that a frame in server mode
// makes. The frame knows the binding and the provider interface, never an
// operation.
#ifndef CRTELV_PROVIDER_CALL_FRAME_H
#define CRTELV_PROVIDER_CALL_FRAME_H

#include <cstdint>
#include <string>

#include "provider/binding.h"
#include "provider/cpki1_api.h"

namespace crtelv {

// ---- Guards --------------------------------------------------------------------
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

// What the call frame hands an operation: the session record, the session,
// the UID rule (decided once, when the frame opens) and, once looked up, the
// server's key.
class ProviderCall {
 public:
  ProviderCall(TTelvora &binding, const TelvoraInitParam &param, SessionHold &session)
      : binding_(binding), param_(param), session_(session), rule_(UidRuleOf(param)) {}
  ProviderCall(const ProviderCall &) = delete;
  ProviderCall &operator=(const ProviderCall &) = delete;
  TTelvora &Binding() const { return binding_; }
  const TelvoraInitParam &Param() const { return param_; }
  const ProviderEntryPoints &Entry() const { return binding_.Entry(); }
  TelvoraSession Session() const { return session_.Session(); }
  UidRule Rule() const { return rule_; }
  // In server mode: looks up the server's key (the one certificate of the
  // own store with the server's extended key usage) the first time it is
  // asked for; 0, or the lookup's status (-2 when there is not exactly one).
  // Nothing to do otherwise.
  int32_t LookUpServerKey();
  // The server's key as the selector of a provider call; null outside server
  // mode or before LookUpServerKey.
  const AuthRecord *Auth() const { return auth_; }
  // Gives the session back before the operation ends (the provider lock
  // stays held until the frame ends). Holds made from this call release
  // with the session handle they were made with.
  void ReleaseSession() noexcept { session_.Release(); }

 private:
  TTelvora &binding_;
  const TelvoraInitParam &param_;
  SessionHold &session_;
  UidRule rule_;
  std::string keyRef_;
  AuthRecord authRecord_{};
  const AuthRecord *auth_ = nullptr;
};

// Whether the frame looks up the server's key in server mode before the
// operation runs (an operation may also ask for it later).
enum class ServerKey { Needed, NotNeeded };

// The provider call frame: provider lock (unless server mode or a thread-safe
// provider), the session, in server mode the server's key as an AuthRecord
// (when asked for), then call(ProviderCall&), then release in reverse order.
// A failing step ends the frame with its status; a failure raised by call
// passes on after everything is released.
template <typename Call>
int32_t TTelvora::CallProvider(const TelvoraInitParam &p, ServerKey key, Call &&call) {
  ProviderLockGuard lock(*this, p.ServerMode);
  return RunFrame(p, key, call);
}

// The frame's session and what follows, for a caller holding the provider
// lock.
template <typename Call>
int32_t TTelvora::RunFrame(const TelvoraInitParam &p, ServerKey key, Call &&call) {
  SessionHold session(*this);
  int32_t status = session.Acquire(p);
  if (status != 0) return status;
  ProviderCall frame(*this, p, session);
  if (key == ServerKey::Needed) {
    status = frame.LookUpServerKey();
    if (status != 0) return status;
  }
  return call(frame);
}

// The call frame with SessionLock held around it too (taken after the
// provider lock, as everywhere): no session is opened or closed meanwhile.
template <typename Call>
int32_t TTelvora::CallHoldingSessions(const TelvoraInitParam &p, Call &&call) {
  ProviderLockGuard provider(*this, p.ServerMode);
  SessionLockGuard sessions(*this);
  return RunFrame(p, ServerKey::NotNeeded, call);
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

// Criteria that select certificates of the user's own store; in server mode
// only those carrying the server's extended key usage (ekuList).
TelvoraFindCriteria OwnStoreCriteria(const TelvoraInitParam &p, int32_t fields, const char *const *ekuList);

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_CALL_FRAME_H
