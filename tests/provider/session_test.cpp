// Loading the provider, sessions and their time-outs, the session locks.
#include <cstring>
#include <thread>

#include "binding_fixture.h"
#include "provider/call_frame.h"

namespace crtelv::test {
namespace {

TelvoraInitParam StoreParams(int32_t keyRequestTimeout = 60, int32_t lastOpTimeout = 5) {
  TelvoraInitParam p;
  p.PSE = "C:\\KEYS\\A.PSE";
  p.LocalStore = "C:\\KEYS\\LOCAL.GDBM";
  p.UIDLocation = "CN";
  p.KeyRequestTimeout = keyRequestTimeout;
  p.LastOpTimeout = lastOpTimeout;
  return p;
}

class SessionTimeouts : public ProviderTest {
 protected:
  // Takes and releases the session at the given time of day.
  int32_t UseAt(double time, const TelvoraInitParam &p) {
    SetTestClock(time);
    SessionHold session(*binding);
    return session.Acquire(p);
  }
  size_t Opens() { return sim.CallsOf("VCERT_InitializeEx").size() + sim.CallsOf("VCERT_Initialize").size(); }
  size_t Closes() { return sim.CallsOf("VCERT_Uninitialize").size(); }

  void SetUp() override {
    ProviderTest::SetUp();
    binding = std::make_unique<TTelvora>();
    ASSERT_TRUE(binding->Loaded());
    ASSERT_TRUE(binding->Complete());
  }
  void TearDown() override {
    binding.reset();
    ProviderTest::TearDown();
  }
  std::unique_ptr<TTelvora> binding;
};

TEST_F(SessionTimeouts, KeptWhileUsedWithinBothTimeouts) {
  const TelvoraInitParam p = StoreParams();
  for (int second = 0; second <= 56; second += 4) ASSERT_EQ(UseAt(At(12, 0, second), p), 0);
  EXPECT_EQ(Opens(), 1u);
  EXPECT_EQ(Closes(), 0u);
  // Older than the key request time-out of 60 s: closed and opened again.
  ASSERT_EQ(UseAt(At(12, 0, 60.5), p), 0);
  EXPECT_EQ(Opens(), 2u);
  EXPECT_EQ(Closes(), 1u);
}

TEST_F(SessionTimeouts, IdleTimeUsesTheSystemsDayFactor) {
  const TelvoraInitParam p = StoreParams();
  ASSERT_EQ(UseAt(At(12, 0, 0), p), 0);
  ASSERT_EQ(UseAt(At(12, 0, 4.99), p), 0);
  EXPECT_EQ(Opens(), 1u);
  // 5 s x 1.1574E-5 is a hair under 5 s: an idle time of exactly 5 s is too long.
  ASSERT_EQ(UseAt(At(12, 0, 9.99), p), 0);
  EXPECT_EQ(Opens(), 2u);
}

TEST_F(SessionTimeouts, ZeroTimeoutsReopenEveryTime) {
  for (auto p : {StoreParams(0, 5), StoreParams(60, 0)}) {
    ASSERT_EQ(UseAt(At(12, 0, 0), p), 0);
    ASSERT_EQ(UseAt(At(12, 0, 0), p), 0);
  }
  EXPECT_EQ(Opens(), 4u);
  EXPECT_EQ(Closes(), 3u);
}

TEST_F(SessionTimeouts, TheTimeoutsInForceWhenOpenedCountToo) {
  ASSERT_EQ(UseAt(At(12, 0, 0), StoreParams(10, 5)), 0);
  // A later caller allows 60 s, but the session was opened for 10 s.
  ASSERT_EQ(UseAt(At(12, 0, 4), StoreParams(60, 5)), 0);
  ASSERT_EQ(UseAt(At(12, 0, 8), StoreParams(60, 5)), 0);
  ASSERT_EQ(UseAt(At(12, 0, 12), StoreParams(60, 5)), 0);
  EXPECT_EQ(Opens(), 2u);
}

TEST_F(SessionTimeouts, UseAcrossMidnightReopens) {
  const TelvoraInitParam p = StoreParams();
  ASSERT_EQ(UseAt(At(23, 59, 59), p), 0);
  ASSERT_EQ(UseAt(At(0, 0, 1), p), 0);
  EXPECT_EQ(Opens(), 2u);
}

TEST_F(SessionTimeouts, StoresOpenWithTheirUrls) {
  TelvoraInitParam p = StoreParams();
  p.LDAP = "LDAP.EXAMPLE:389";
  p.InitFlags = 5;
  ASSERT_EQ(UseAt(0.5, p), 0);
  auto calls = sim.CallsOf("VCERT_InitializeEx");
  ASSERT_EQ(calls.size(), 1u);
  const std::string &line = calls[0];
  EXPECT_NE(line.find("version=1"), std::string::npos) << line;
  EXPECT_NE(line.find("size=" + std::to_string(sizeof(TelvoraOpenParams))), std::string::npos) << line;
  EXPECT_NE(line.find("flags=5"), std::string::npos) << line;
  EXPECT_NE(line.find(R"(pse="pse://signed/C:\\KEYS\\A.PSE")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"(store="file://C:\\KEYS\\LOCAL.GDBM")"), std::string::npos) << line;
  EXPECT_NE(line.find("ldap=\"ldap://LDAP.EXAMPLE:389\""), std::string::npos) << line;
}

TEST_F(SessionTimeouts, EmptyStoresAreLeftOutNotSentAsBarePrefixes) {
  TelvoraInitParam p = StoreParams();
  p.PSE.clear();
  ASSERT_EQ(UseAt(0.5, p), 0);
  auto calls = sim.CallsOf("VCERT_InitializeEx");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find("pse=none"), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find("ldap=none"), std::string::npos) << calls[0];
}

TEST_F(SessionTimeouts, AProfileOpensByNameAndIgnoresTheStores) {
  TelvoraInitParam p = StoreParams();
  p.Profile = "MYPROFILE";
  p.InitFlags = 9;
  ASSERT_EQ(UseAt(0.5, p), 0);
  EXPECT_TRUE(sim.CallsOf("VCERT_InitializeEx").empty());
  auto calls = sim.CallsOf("VCERT_Initialize");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find("profile=\"MYPROFILE\""), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find("flags=9"), std::string::npos) << calls[0];
}

TEST_F(SessionTimeouts, AFailedOpenReturnsTheStatusAndHoldsNoLock) {
  sim.SimSetFailure("VCERT_InitializeEx", 4242);
  EXPECT_EQ(UseAt(0.5, StoreParams()), 4242);
  EXPECT_EQ(binding->Session(), 0u);
  // Another thread can close sessions: neither the session lock nor the
  // write side was left held.
  std::thread closer([this] { binding->CloseSession(); });
  closer.join();
  sim.SimSetFailure("VCERT_InitializeEx", 0);
  EXPECT_EQ(UseAt(0.5, StoreParams()), 0);
}

TEST_F(SessionTimeouts, CloseSessionEndsItAndTheNextUseOpensAgain) {
  ASSERT_EQ(UseAt(0.5, StoreParams()), 0);
  EXPECT_EQ(sim.SimOpenSessions(), 1);
  binding->CloseSession();
  EXPECT_EQ(sim.SimOpenSessions(), 0);
  binding->CloseSession();  // nothing left to close
  EXPECT_EQ(Closes(), 1u);
  ASSERT_EQ(UseAt(0.5, StoreParams()), 0);
  EXPECT_EQ(Opens(), 2u);
}

// A thread that holds a session must not acquire another: re-opening an
// expired one would close the session its outer call still uses, and with a
// second binding it could wait for ever for its own read side.
TEST_F(SessionTimeouts, ASecondAcquisitionOnTheSameThreadIsRefused) {
  const TelvoraInitParam p = StoreParams();
  SetTestClock(0.5);
  SessionHold outer(*binding);
  ASSERT_EQ(outer.Acquire(p), 0);
  SetTestClock(0.5 + At(0, 1, 0));  // the outer session has expired meanwhile
  SessionHold inner(*binding);
  EXPECT_EQ(inner.Acquire(p), kFailure);
  TTelvora other;
  SessionHold third(other);
  EXPECT_EQ(third.Acquire(p), kFailure);
  EXPECT_EQ(Closes(), 0u);
  EXPECT_EQ(sim.SimOpenSessions(), 1);
  outer.Release();
  EXPECT_EQ(UseAt(0.5 + At(0, 1, 0), p), 0);  // free again once released
}

// ---- Loading --------------------------------------------------------------------

class BindingLoad : public ProviderTest {};

TEST_F(BindingLoad, TheProviderIsLoadedOnceAndShared) {
  TTelvora first;
  ASSERT_TRUE(first.Loaded());
  EXPECT_TRUE(ProviderModuleLoaded());
  platform::ModuleHandle module = platform::FindLoadedModule("cpki1.dll");
  ASSERT_NE(module, nullptr);
  TTelvora second;
  EXPECT_TRUE(second.Loaded());
  EXPECT_TRUE(second.Complete());
  EXPECT_EQ(platform::FindLoadedModule("cpki1.dll"), module);
  // A provider without version information is not trusted with concurrent calls.
  EXPECT_FALSE(first.ThreadSafe());
}

TEST_F(BindingLoad, ProviderErrorTextsComeFromTheProviderAndStayInTheBuffer) {
  TTelvora binding;
  auto providerText = reinterpret_cast<VCERT_GetErrorText_t>(
      platform::FindEntryPoint(platform::FindLoadedModule("cpki1.dll"), "VCERT_GetErrorText"));
  ASSERT_NE(providerText, nullptr);
  char expected[300] = {};
  providerText(77, expected, sizeof expected);
  sim.SimReset();
  char buffer[300];
  std::memset(buffer, 'x', sizeof buffer);
  binding.GetErrorText(77, sizeof buffer, buffer, false);
  EXPECT_STREQ(buffer, expected);
  char tiny[4];
  binding.GetErrorText(77, sizeof tiny, tiny, false);
  EXPECT_EQ(tiny[3], '\0');
  binding.GetErrorText(77, 0, nullptr, false);
  auto calls = sim.CallsOf("VCERT_GetErrorText");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].find("code=77"), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find("size=300"), std::string::npos) << calls[0];
}

}  // namespace
}  // namespace crtelv::test
