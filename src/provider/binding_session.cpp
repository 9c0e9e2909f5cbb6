// TTelvora: loading the provider, sessions, locks and error texts.
#include "provider/binding.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "provider/call_frame.h"
#include "support/failure.h"
#include "support/rw_lock.h"

namespace crtelv {
namespace {

// The process-wide objects shared by every binding, created at library load.
struct TelvoraUnit {
  platform::ModuleHandle providerModule = nullptr;
  platform::CriticalSection loadLock;
  platform::CriticalSection sessionLock;
  TRWCriticalSection sessionGuard;
  platform::CriticalSection providerLock;
};

TelvoraUnit *g_unit = nullptr;

// Sessions (of any binding) that the calling thread holds: a thread holding
// one must not acquire another.
thread_local int t_heldSessions = 0;
std::atomic<TimeOfDayFunc> g_clock{nullptr};

TelvoraUnit &Unit() {
  if (g_unit == nullptr) throw Exception("The provider binding is not initialised");
  return *g_unit;
}

// The provider allows concurrent calls from version 3.1.150.0 on.
bool IsThreadSafeVersion(uint32_t ms, uint32_t ls) {
  return ms > 0x00030001u || (ms == 0x00030001u && ls >= 0x00960000u);
}

double SystemTimeOfDay() {
  platform::SystemTime t = platform::LocalTime();
  double seconds = t.hour * 3600.0 + t.minute * 60.0 + t.second + t.milliseconds / 1000.0;
  return seconds / 86400.0;
}

// The write side of the session guard, taken at most once and released when
// the holder goes.
class OptionalWrite {
 public:
  explicit OptionalWrite(TRWCriticalSection &lock) : lock_(lock) {}
  ~OptionalWrite() { Release(); }
  OptionalWrite(const OptionalWrite &) = delete;
  OptionalWrite &operator=(const OptionalWrite &) = delete;
  void Take() {
    if (held_) return;
    lock_.AcquireWrite();
    held_ = true;
  }
  void Release() {
    if (!held_) return;
    held_ = false;
    lock_.ReleaseWrite();
  }

 private:
  TRWCriticalSection &lock_;
  bool held_ = false;
};

}  // namespace

// ---- Clock --------------------------------------------------------------------

void SetSessionClock(TimeOfDayFunc clock) { g_clock.store(clock); }

double SessionTimeOfDay() {
  TimeOfDayFunc clock = g_clock.load();
  return clock != nullptr ? clock() : SystemTimeOfDay();
}

// ---- Unit -----------------------------------------------------------------------

void TelvoraUnitInit() {
  if (g_unit == nullptr) g_unit = new TelvoraUnit;
}

void TelvoraUnitDone() {
  if (g_unit == nullptr) return;
  {
    platform::CriticalSectionGuard guard(g_unit->loadLock);
    platform::FreeModule(g_unit->providerModule);
    g_unit->providerModule = nullptr;
  }
  delete g_unit;
  g_unit = nullptr;
}

bool ProviderModuleLoaded() {
  if (g_unit == nullptr) return false;
  platform::CriticalSectionGuard guard(g_unit->loadLock);
  return g_unit->providerModule != nullptr;
}

// ---- Construction ---------------------------------------------------------------

TTelvora::TTelvora() {
  TelvoraUnit &unit = Unit();
  platform::ModuleHandle module;
  {
    platform::CriticalSectionGuard guard(unit.loadLock);
    if (unit.providerModule == nullptr) unit.providerModule = LoadCryptoLibrary("cpki1.dll");
    module = unit.providerModule;
  }
  if (module == nullptr) return;
  FLoaded = true;

  std::string file = platform::ModuleFileName(module, 2048);
  uint32_t ms = 0, ls = 0;
  if (!file.empty() && platform::FileVersion(file, ms, ls)) FThreadSafe = IsThreadSafeVersion(ms, ls);

  bool complete = true;
#define CRTELV_RESOLVE(name, type, required)                                         \
  FEntry.name = reinterpret_cast<type>(platform::FindEntryPoint(module, #name));     \
  if ((required) && FEntry.name == nullptr) complete = false;
  CPKI1_ENTRY_POINTS(CRTELV_RESOLVE)
#undef CRTELV_RESOLVE
  FComplete = complete;
}

TTelvora::~TTelvora() {
  if (g_unit == nullptr) return;
  try {
    CloseSession();
  } catch (...) {
    // A binding that goes away must not take its owner down with it.
  }
}

// ---- Locks ----------------------------------------------------------------------

void TTelvora::LockProvider(bool serverMode) {
  if (!serverMode && !FThreadSafe) Unit().providerLock.Enter();
}

void TTelvora::UnlockProvider(bool serverMode) {
  if (!serverMode && !FThreadSafe) Unit().providerLock.Leave();
}

void TTelvora::EnterSessionLock() { Unit().sessionLock.Enter(); }

void TTelvora::LeaveSessionLock() { Unit().sessionLock.Leave(); }

// ---- Sessions -------------------------------------------------------------------

bool TTelvora::SessionStillValid(const TelvoraInitParam &p, double now) const {
  auto within = [now](double since, int32_t seconds) {
    return seconds != 0 && std::fabs(now - since) <= seconds * kSecondsToDays;
  };
  // A session serves only operations with the flags it was opened with.
  return p.InitFlags == FSessionFlags && within(FInitTime, p.KeyRequestTimeout) &&
         within(FLastUseTime, p.LastOpTimeout) && within(FInitTime, FKeyRequestTimeout) &&
         within(FLastUseTime, FLastOpTimeout);
}

int32_t TTelvora::OpenSession(const TelvoraInitParam &p, double now) {
  TelvoraSession opened = 0;
  int32_t status;
  if (!p.Profile.empty()) {
    status = FEntry.VCERT_Initialize(p.Profile.c_str(), p.InitFlags, &opened);
  } else {
    const std::string pse = "pse://signed/" + p.PSE;
    const std::string store = "file://" + p.LocalStore;
    const std::string ldap = "ldap://" + p.LDAP;
    TelvoraOpenParams record{};
    record.Size = static_cast<int32_t>(sizeof record);
    record.Flags = p.InitFlags;
    record.PSEUrl = p.PSE.empty() ? nullptr : pse.c_str();
    record.StoreUrl = p.LocalStore.empty() ? nullptr : store.c_str();
    record.LdapUrl = p.LDAP.empty() ? nullptr : ldap.c_str();
    status = FEntry.VCERT_InitializeEx(1, &record, &opened);
  }
  if (status != 0) return status;
  // A provider that reports success without a session has not opened one.
  if (opened == 0) return kNotInitialized;
  FSession = opened;
  FSessionFlags = p.InitFlags;
  FKeyRequestTimeout = p.KeyRequestTimeout;
  FInitTime = now;
  return 0;
}

int32_t TTelvora::AcquireSession(const TelvoraInitParam &p, TelvoraSession &session) {
  if (t_heldSessions > 0) return kFailure;
  TelvoraUnit &unit = Unit();
  platform::CriticalSectionGuard lock(unit.sessionLock);
  const double now = SessionTimeOfDay();
  OptionalWrite write(unit.sessionGuard);
  // Only this binding's calls use its session: the write side, which waits
  // for the calls of every binding, is needed only while some of them run.
  if (FSession != 0 && !SessionStillValid(p, now)) {
    if (FSessionUsers > 0) write.Take();
    UninitializeSession();
  }
  int32_t status = 0;
  if (FSession == 0) {
    if (FSessionUsers > 0) write.Take();
    status = OpenSession(p, now);
  }
  // Reads taken while writing are not counted: leave the write side first.
  write.Release();
  if (status == 0) {
    FLastOpTimeout = p.LastOpTimeout;
    FLastUseTime = now;
    unit.sessionGuard.AcquireRead();
    ++t_heldSessions;
    ++FSessionUsers;
    session = FSession;
  }
  return status;
}

void TTelvora::ReleaseSession() {
  TelvoraUnit &unit = Unit();
  unit.sessionGuard.ReleaseRead();
  --t_heldSessions;
  // The read side is given back first: a thread that waits for the write
  // side while it holds SessionLock must not wait for this one.
  platform::CriticalSectionGuard lock(unit.sessionLock);
  if (FSessionUsers > 0) --FSessionUsers;
  if (FSessionUsers == 0 && FCloseWhenIdle) {
    FCloseWhenIdle = false;
    UninitializeSession();
  }
}

void TTelvora::UninitializeSession() {
  if (FSession == 0) return;
  TelvoraSession closing = FSession;
  FSession = 0;
  FEntry.VCERT_Uninitialize(closing);
}

void TTelvora::CloseSession() {
  TelvoraUnit &unit = Unit();
  // The provider lock keeps the close apart from every other call when the
  // provider takes one call at a time.
  ProviderLockGuard provider(*this, false);
  platform::CriticalSectionGuard lock(unit.sessionLock);
  // Only this binding's calls use its session: while one runs, the last to
  // end closes it. Waiting here for the write side would wait for the calls
  // of every binding, and hold up every binding's next call meanwhile.
  if (FSessionUsers > 0) {
    FCloseWhenIdle = true;
    return;
  }
  UninitializeSession();
}

// ---- Error texts ----------------------------------------------------------------

void TTelvora::GetErrorText(int32_t code, int32_t bufSize, char *buffer, bool serverMode) {
  if (buffer == nullptr || bufSize <= 0) return;
  ProviderLockGuard lock(*this, serverMode);
  std::memset(buffer, 0, static_cast<std::size_t>(bufSize));
  FEntry.VCERT_GetErrorText(code, buffer, bufSize);
  // Whatever the provider wrote, the text ends inside the buffer.
  buffer[bufSize - 1] = '\0';
}

}  // namespace crtelv
