// TTelvoraEngine: parameters into the session record, the process-wide
// binding cache, and the failure descriptions of the operation frame.
#include <atomic>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "provider/provider_engine.h"
#include "support/failure.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// One binding per configuration key, shared by every engine of the process.
// The cache holds one reference per binding; operations hold their own, so a
// binding dropped from the cache lives until its last operation ends.
struct BindingCache {
  platform::CriticalSection lock;
  std::vector<std::pair<std::string, BindingRef>> entries;
};

BindingCache *g_cache = nullptr;

// Raised whenever bindings leave the cache or the cache is made or ended, so
// that an engine's prepared call never outlives the binding it found. Never
// goes back, across unloads within one process too.
std::atomic<uint64_t> g_cacheGeneration{0};

BindingCache &Cache() {
  if (g_cache == nullptr) throw Exception("The binding cache is not initialised");
  return *g_cache;
}

// A decimal integer (optional sign, digits only) that fits in 32 bits.
bool ParseDecimal(const std::string &text, int32_t &value) {
  if (text.empty()) return false;
  std::size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (text[0] == '-') v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

// Strips leading and trailing characters with codes below 33.
std::string TrimControls(const std::string &text) {
  std::size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) < 33) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) < 33) --last;
  return text.substr(first, last - first);
}

int32_t ParseInitFlags(const std::string &value) {
  static const std::pair<const char *, int32_t> kWords[] = {
      {"NOCRLUPDATE", kInitNoCrlUpdate},
      {"CHECKEXPIRED", kInitCheckExpired},
      {"NOLDAP", kInitNoLdap},
      {"NOKEYUNLOAD", kInitNoKeyUnload},
  };
  std::vector<std::string> items;
  SplitSemicolonList(TrimControls(value).c_str(), items);
  int32_t flags = 0;
  for (const std::string &item : items) {
    const std::string word = UpperAscii(item);
    for (const auto &[text, bit] : kWords) {
      if (word == text) flags |= bit;
    }
  }
  return flags;
}

}  // namespace

// ---- Session record -------------------------------------------------------------

uint64_t TTelvoraEngine::FillInitParam(TelvoraInitParam &param) const {
  uint64_t generation = 0;
  // One consistent reading of the values: another thread may set them
  // meanwhile (it waits for the read side to end).
  ReadParamValues([&](const std::vector<std::string> &values) {
    generation = ParamGeneration();
    auto value = [&values](int32_t number) -> const std::string & {
      static const std::string kEmpty;
      return number >= 1 && static_cast<std::size_t>(number) <= values.size()
                 ? values[static_cast<std::size_t>(number) - 1]
                 : kEmpty;
    };
    param.UIDLocation = UpperAscii(value(kParamUIDLocation));
    param.ServerMode = UpperAscii(ExpandRootPath(value(kParamClientServerMode))) == "SERVER";
    param.Profile = UpperAscii(value(kParamProfile));
    param.PSE = UpperAscii(ExpandRootPath(value(kParamPSE)));
    param.LocalStore = UpperAscii(ExpandRootPath(value(kParamLocalStore)));
    param.LDAP = UpperAscii(ExpandRootPath(value(kParamLDAP)));
    param.ServerCertEKUOID = value(kParamServerCertEKUOID);
    param.KeyRequestTimeout = 60;
    param.LastOpTimeout = 5;
    param.SignEKURestrictions = value(kParamSignEKURestrictions);
    param.CashID = value(kParamCashID);
    ParseDecimal(value(kParamKeyRequestTimeout), param.KeyRequestTimeout);
    ParseDecimal(value(kParamLastOpTimeout), param.LastOpTimeout);
    param.InitFlags = ParseInitFlags(value(kParamInitFlags));
  });
  return generation;
}

// ---- Binding cache --------------------------------------------------------------

std::string TTelvoraEngine::BindingKey(const TelvoraInitParam &param) {
  // The parts are joined with a zero character, which no parameter text can
  // hold, so that two different configurations never make the same key.
  const char kJoin = '\0';
  std::string key;
  key.reserve(param.Profile.size() + param.PSE.size() + param.LocalStore.size() + param.LDAP.size() +
              param.ServerCertEKUOID.size() + param.CashID.size() + 17);
  for (const std::string *part : {&param.Profile, &param.PSE, &param.LocalStore, &param.LDAP,
                                  &param.ServerCertEKUOID, &param.CashID}) {
    key += *part;
    key += kJoin;
  }
  // The flags decide how the provider checks (a lenient session must never
  // serve a strict engine): each set of flags has its own binding, and so
  // its own session.
  key += "Flags=";
  key += std::to_string(param.InitFlags);
  key += kJoin;
  if (param.ServerMode) key += "MultiThread";
  return key;
}

int32_t TTelvoraEngine::SetUpCall(CallSetup &setup) {
  {
    platform::CriticalSectionGuard guard(preparedLock_);
    setup.prepared = prepared_;
  }
  // The generations are read before the binding is looked at: a change
  // after this reading is one the operation ran before.
  const uint64_t cacheGeneration = g_cacheGeneration.load(std::memory_order_acquire);
  if (setup.prepared && setup.prepared->paramGeneration == ParamGeneration() &&
      setup.prepared->cacheGeneration == cacheGeneration) {
    setup.binding = setup.prepared->binding.lock();
    if (setup.binding) return kOk;
  }
  auto fresh = std::make_shared<PreparedCall>();
  fresh->cacheGeneration = cacheGeneration;
  fresh->paramGeneration = FillInitParam(fresh->param);
  const int32_t status = AcquireBinding(fresh->param, setup.binding);
  if (status != kOk) return status;
  fresh->binding = setup.binding;
  setup.prepared = fresh;
  platform::CriticalSectionGuard guard(preparedLock_);
  prepared_ = std::move(fresh);
  return kOk;
}

int32_t TTelvoraEngine::AcquireBinding(const TelvoraInitParam &param, BindingRef &binding) {
  const std::string key = BindingKey(param);
  BindingCache &cache = Cache();
  platform::CriticalSectionGuard guard(cache.lock);
  for (const auto &[cachedKey, cached] : cache.entries) {
    if (SameTextAscii(cachedKey, key)) {
      binding = cached;
      return kOk;
    }
  }
  auto created = std::make_shared<TTelvora>();
  if (!created->Loaded()) return kProviderLoad;
  if (!created->Complete()) return kProviderIncomplete;
  created->FPasswordRequestFunc = PasswordRequestFunc();
  cache.entries.emplace_back(key, created);
  binding = std::move(created);
  return kOk;
}

void TTelvoraEngine::ClearCash() {
  BindingCache &cache = Cache();
  std::vector<std::pair<std::string, BindingRef>> dropped;
  {
    // Taken out under the lock, closed outside it: engines that look up
    // their binding meanwhile are not held up by a close.
    platform::CriticalSectionGuard guard(cache.lock);
    g_cacheGeneration.fetch_add(1, std::memory_order_release);
    dropped.swap(cache.entries);
  }
  for (auto &entry : dropped) {
    if (entry.second) entry.second->CloseSession();
  }
}

void BindingCacheUnitInit() {
  if (g_cache == nullptr) g_cache = new BindingCache;
  g_cacheGeneration.fetch_add(1, std::memory_order_release);
}

void BindingCacheUnitDone() {
  if (g_cache == nullptr) return;
  g_cacheGeneration.fetch_add(1, std::memory_order_release);
  {
    platform::CriticalSectionGuard guard(g_cache->lock);
    while (!g_cache->entries.empty()) {
      BindingRef binding = std::move(g_cache->entries.front().second);
      g_cache->entries.erase(g_cache->entries.begin());
      binding.reset();
    }
  }
  delete g_cache;
  g_cache = nullptr;
}

int32_t BindingCacheSize() {
  BindingCache &cache = Cache();
  platform::CriticalSectionGuard guard(cache.lock);
  return static_cast<int32_t>(cache.entries.size());
}

// ---- Failure descriptions -------------------------------------------------------

void TTelvoraEngine::RecordFailure(const char *operation, const std::exception &failure) {
  RecordFailureText(operation, std::string(FailureTypeName(failure)) + ": " + failure.what());
}

void TTelvoraEngine::RecordFailureText(const char *operation, const std::string &text) {
  LastErrorText().SetText(std::string("TTelvoraEngine.") + operation + ": " + text);
}

}  // namespace crtelv
