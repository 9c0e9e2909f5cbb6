#include "binding_fixture.h"

#include <atomic>
#include <cstdlib>
#include <map>

namespace crtelv::test {
namespace {
std::atomic<double> g_now{0.5};
double TestClock() { return g_now.load(); }

// Suite name -> variant, filled while the test programs' objects start.
std::map<std::string, std::string> &Variants() {
  static std::map<std::string, std::string> variants;
  return variants;
}
}  // namespace

bool RegisterVariant(const char *suite, const char *variant) {
  Variants()[suite] = variant;
  return true;
}

std::string VariantOf(const std::string &suite) {
  const auto found = Variants().find(suite);
  return found != Variants().end() ? found->second : "complete";
}

void SetTestClock(double dayFraction) { g_now.store(dayFraction); }

void ProviderTest::SetUp() {
  ClearCache();
  SetSessionClock(TestClock);
  SetTestClock(0.5);
  // The process root was set for the variant the suite registered.
  const char *process = std::getenv("CRTELV_TEST_VARIANT");
  ASSERT_TRUE(process == nullptr || variant_ == process)
      << "the fixture loads variant " << variant_ << " in a run for " << process
      << ": register the suite with CRTELV_PROVIDER_VARIANT";
  ASSERT_TRUE(sim.Load(variant_)) << "provider double of variant " << variant_;
  sim.SimReset();
}

void ProviderTest::TearDown() {
  ClearCache();
  EXPECT_EQ(sim.SimOutstanding(), 0) << "provider memory not released";
  EXPECT_EQ(sim.SimBadReleases(), 0) << "provider memory released wrongly";
  EXPECT_EQ(sim.SimOpenSessions(), 0) << "sessions left open";
  SetSessionClock(nullptr);
}

}  // namespace crtelv::test
