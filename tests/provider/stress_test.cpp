// Many engines on several threads: mixed operations in client and server
// mode, with the binding cache cleared and parameters changed in between,
// against each provider version (serialised below 3.1.150, concurrent from
// it). Every operation must succeed and give back what went in; afterwards
// no provider memory is outstanding and no session is open. Bounded by an
// iteration count, built for ThreadSanitizer.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "binding_fixture.h"
#include "test_latch.h"

namespace crtelv::test {
namespace {

constexpr char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
constexpr int kThreads = 4;
constexpr int kIterations = 40;

// One step of a thread; failures are counted, not asserted (gtest's
// assertions are not for other threads' use here).
int32_t Step(TTelvoraEngine &engine, int thread, int i) {
  const std::string data = "data " + std::to_string(thread) + "/" + std::to_string(i);
  const int32_t size = static_cast<int32_t>(data.size());
  switch ((thread + i) % 6) {
    case 0: {
      std::vector<char> sign(2048);
      int32_t signSize = 0;
      if (int32_t r = engine.SignData(data.data(), size, sign.data(), &signSize, nullptr)) return r;
      std::vector<char> signer(4200, '\0');
      return engine.VerifyData(data.data(), size, sign.data(), signSize, signer.data());
    }
    case 1: {
      std::vector<char> buffer(data.size() + 8192, '#');
      std::memcpy(buffer.data(), data.data(), data.size());
      int32_t n = size;
      if (int32_t r = engine.EncodeData(buffer.data(), &n, "User1")) return r;
      int third = 0;
      if (int32_t r = engine.DecodeData(buffer.data(), &n, &third)) return r;
      return std::string(buffer.data(), static_cast<std::size_t>(n)) == data ? 0 : -1000;
    }
    case 2: {
      std::vector<char> buffer(data.size() + 2048, '#');
      std::memcpy(buffer.data(), data.data(), data.size());
      int32_t n = size;
      if (int32_t r = engine.AddSign(buffer.data(), &n, 0)) return r;
      char signer[4200] = "";
      if (int32_t r = engine.RemoveSignature(buffer.data(), &n, signer)) return r;
      return std::string(buffer.data(), static_cast<std::size_t>(n)) == data ? 0 : -1001;
    }
    case 3: {
      char hash[64];
      int32_t n = 64;
      return engine.HashData(data.data(), size, 1, hash, &n);
    }
    case 4: {
      char uid[256];
      return engine.GetCurrentUID(uid);
    }
    default: {
      std::vector<char> transfer(12288);
      return engine.GetPublicKeyTransfer("Peer", transfer.data());
    }
  }
}

void RunStress(Sim &sim) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "0A:1B", .store = TELVORA_STORE_OWN | TELVORA_STORE_OTHERS,
           .ekus = "1.3.6.1.5.5.7.3.1;1.3.6.1.5.5.7.3.2", .keyRef = "key1"});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "0C"});
  std::atomic<int> failures{0};
  std::atomic<int32_t> firstFailure{0};
  Latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TTelvoraEngine client;
      TTelvoraEngine server;
      server.SetCryptoParamValue(kParamClientServerMode, "server");
      server.SetCryptoParamValue(kParamServerCertEKUOID, kServerAuth);
      start.arrive_and_wait();
      for (int i = 0; i < kIterations; ++i) {
        TTelvoraEngine &engine = (t + i) % 2 == 0 ? client : server;
        const int32_t r = Step(engine, t, i);
        if (r != 0) {
          ++failures;
          int32_t none = 0;
          firstFailure.compare_exchange_strong(none, r);
        }
        if (i % 7 == t) engine.ClearCash();
        // A parameter change moves the engine to another cached binding.
        if (i % 5 == t % 5) engine.SetCryptoParamValue(kParamCashID, (i / 5) % 2 == 0 ? "first" : "second");
        if (i % 11 == 3) engine.SetCryptoParamValue(kParamSignEKURestrictions, i % 2 == 0 ? "" : "1.2.3.4");
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0) << "first failure " << firstFailure.load();
  EXPECT_EQ(sim.SimBadReleases(), 0);
  EXPECT_EQ(sim.SimOutstanding(), 0);
}

using Stress = ProviderTest;
TEST_F(Stress, MixedOperationsOnManyEngines) { RunStress(sim); }

class Version149Stress : public ProviderTest {
 protected:
  Version149Stress() : ProviderTest("v149") {}
};
CRTELV_PROVIDER_VARIANT(Version149Stress, "v149");
TEST_F(Version149Stress, MixedOperationsOnManyEngines) { RunStress(sim); }

class Version150Stress : public ProviderTest {
 protected:
  Version150Stress() : ProviderTest("v150") {}
};
CRTELV_PROVIDER_VARIANT(Version150Stress, "v150");
TEST_F(Version150Stress, MixedOperationsOnManyEngines) { RunStress(sim); }

}  // namespace
}  // namespace crtelv::test
