#include "binding_fixture.h"

#include <atomic>

namespace crtelv::test {
namespace {
std::atomic<double> g_now{0.5};
double TestClock() { return g_now.load(); }
}  // namespace

void SetTestClock(double dayFraction) { g_now.store(dayFraction); }

void ProviderTest::SetUp() {
  ClearCache();
  SetSessionClock(TestClock);
  SetTestClock(0.5);
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
