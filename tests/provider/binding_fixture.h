// Shared set-up of the provider suites: the provider double's control
// functions, a clock the tests move, and engines on the provider.
#ifndef CRTELV_TESTS_PROVIDER_BINDING_FIXTURE_H
#define CRTELV_TESTS_PROVIDER_BINDING_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "provider/provider_engine.h"
#include "sim_cert.h"
#include "sim_client.h"

namespace crtelv::test {

// The provider variant a test suite runs with. The provider is loaded once
// per process, so provider_tests runs once per variant (tests/provider/
// suite.cmake) and each run takes the suites of its variant: "complete"
// unless the suite says otherwise with CRTELV_PROVIDER_VARIANT next to it.
bool RegisterVariant(const char *suite, const char *variant);
std::string VariantOf(const std::string &suite);
#define CRTELV_PROVIDER_VARIANT(suite, variant) \
  [[maybe_unused]] const bool suite##_variant_registered = ::crtelv::test::RegisterVariant(#suite, variant)

// Folder of a provider variant: its EXE\ sub-folder holds the provider.
inline std::string SimRoot(const std::string &variant) {
  return std::string(CRTELV_SIMROOT_DIR) + "/" + variant + "/";
}

// The control functions of the provider double loaded in this process.
struct Sim : SimApi {
  // Loads (or finds) the provider of the variant; the same module the library
  // loads from that folder.
  bool Load(const std::string &variant) { return SimApi::Load(SimRoot(variant) + "EXE/cpki1.dll"); }

  int32_t Add(const Cert &cert) const { return AddCert(cert); }
};

// A clock of the session time-outs that the tests set (fraction of a day).
void SetTestClock(double dayFraction);
// Seconds as a fraction of a day, as the clock counts.
inline double At(int hours, int minutes, double seconds) {
  return (hours * 3600 + minutes * 60 + seconds) / 86400.0;
}

// A provider engine with parameters set by number.
class Engine {
 public:
  Engine() : engine_(std::make_unique<TTelvoraEngine>()) {}
  TTelvoraEngine *operator->() { return engine_.get(); }
  TTelvoraEngine &operator*() { return *engine_; }
  Engine &Set(int32_t param, const std::string &value) {
    EXPECT_EQ(engine_->SetCryptoParamValue(param, value.c_str()), 0);
    return *this;
  }
  TelvoraInitParam Params() const {
    TelvoraInitParam p;
    engine_->FillInitParam(p);
    return p;
  }

 private:
  std::unique_ptr<TTelvoraEngine> engine_;
};

// A binding of the engine's parameters, which must be acquired.
inline BindingRef Binding(Engine &engine) {
  BindingRef binding;
  EXPECT_EQ(engine->AcquireBinding(engine.Params(), binding), 0);
  return binding;
}

inline std::string Text(const std::vector<uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

// Each test starts with an empty binding cache, the test clock at noon and
// a provider double that has forgotten everything; each test ends with no
// provider memory outstanding and no session left open.
class ProviderTest : public ::testing::Test {
 protected:
  explicit ProviderTest(const char *variant = "complete") : variant_(variant) {}
  void SetUp() override;
  void TearDown() override;

  // Closes every cached binding's session and empties the cache.
  void ClearCache() {
    Engine engine;
    engine->ClearCash();
  }

  Sim sim;
  std::string variant_;
};

}  // namespace crtelv::test

#endif  // CRTELV_TESTS_PROVIDER_BINDING_FIXTURE_H
