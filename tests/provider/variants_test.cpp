// Provider variants: missing, incomplete, without the optional entry points,
// and the two versions around the one from which concurrent calls are allowed.
// Each group runs in a process of its own (see suite.cmake).
#include <chrono>
#include <filesystem>
#include "test_latch.h"
#include <thread>

#include "binding_fixture.h"
#include "support/root_path.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

// Two threads ask for the current UID at once; the provider double lets
// FindCert calls wait for each other. Returns how many calls were inside the
// provider at the same moment.
template <typename Operation>
int32_t OverlapOfTwoCalls(Sim &sim, Operation operation, int32_t waitMs) {
  sim.SimSetRendezvous("VCERT_FindCert", 2, waitMs);
  test::Latch ready(2);
  int32_t results[2] = {-100, -100};
  auto call = [&](int i) {
    ready.arrive_and_wait();
    results[i] = operation();
  };
  std::thread a(call, 0), b(call, 1);
  a.join();
  b.join();
  sim.SimSetRendezvous("VCERT_FindCert", 0, 0);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  return sim.SimMaxInside();
}

int32_t OverlapOfTwoCalls(Sim &sim, Engine &engine, int32_t waitMs) {
  return OverlapOfTwoCalls(
      sim,
      [&engine] {
        char uid[256];
        return engine->GetCurrentUID(uid);
      },
      waitMs);
}

class Version149 : public ProviderTest {
 protected:
  Version149() : ProviderTest("v149") {}
};
CRTELV_PROVIDER_VARIANT(Version149, "v149");

TEST_F(Version149, OlderProvidersGetOneCallAtATimeInClientMode) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN, .ekus = "1.3.6.1.5.5.7.3.1",
           .keyRef = "srv"});
  TTelvora binding;
  EXPECT_FALSE(binding.ThreadSafe());
  Engine engine;
  // The calls cannot meet: each waits out its short rendezvous alone.
  EXPECT_EQ(OverlapOfTwoCalls(sim, engine, 200), 1);
}

// UID searches by serial number look up the user's issuer first: both
// searches run under the provider lock.
TEST_F(Version149, SearchesByUidAreSerialisedToo) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "02"});
  Engine engine;
  engine.Set(kParamUIDLocation, "SN");
  const TelvoraInitParam bySerial = engine.Params();
  engine.Set(kParamUIDLocation, "CN");
  const TelvoraInitParam byName = engine.Params();
  TTelvora binding;
  EXPECT_EQ(OverlapOfTwoCalls(
                sim,
                [&] {
                  int32_t length = 0;
                  return binding.GetCertificateByUID(bySerial, "02", nullptr, length);
                },
                200),
            1);
  EXPECT_EQ(OverlapOfTwoCalls(
                sim,
                [&] {
                  std::string uid;
                  return binding.GetUIDByCertIdent(byName, "CN=Test CA,O=Example", "02", uid);
                },
                200),
            1);
}

TEST_F(Version149, ServerModeCallsRunConcurrentlyAnyway) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN, .ekus = "1.3.6.1.5.5.7.3.1",
           .keyRef = "srv"});
  Engine engine;
  engine.Set(kParamClientServerMode, "server").Set(kParamServerCertEKUOID, "1.3.6.1.5.5.7.3.1");
  EXPECT_EQ(OverlapOfTwoCalls(sim, engine, 20000), 2);
}

class Version150 : public ProviderTest {
 protected:
  Version150() : ProviderTest("v150") {}
};
CRTELV_PROVIDER_VARIANT(Version150, "v150");

TEST_F(Version150, NewerProvidersTakeConcurrentCalls) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  TTelvora binding;
  EXPECT_TRUE(binding.ThreadSafe());
  Engine engine;
  EXPECT_EQ(OverlapOfTwoCalls(sim, engine, 20000), 2);
}

// ClearCash while a call of one binding is held inside the provider (a
// viewer left open): the binding closes its session when that call ends,
// and an engine of another binding works meanwhile, its call inside the
// provider together with the held one.
TEST_F(Version150, ClearCashDoesNotHoldUpOtherBindings) {
  sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  sim.Add({.subject = "CN=Peer,O=Example", .serial = "02"});
  Engine viewer, other;
  other.Set(kParamPSE, "C:\\OTHER.PSE");
  sim.SimSetRendezvous("VCERT_ShowCertificate", 2, 20000);
  int32_t held = -100;
  std::thread first([&] { held = viewer->ShowCertificate("Peer"); });
  // Bounded by the rendezvous' own time: the held call is inside by then.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (sim.CallsOf("VCERT_ShowCertificate").empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(sim.CallsOf("VCERT_ShowCertificate").size(), 1u);

  viewer->ClearCash();
  char uid[256] = {0};
  EXPECT_EQ(other->GetCurrentUID(uid), 0);
  EXPECT_STREQ(uid, "User1");
  EXPECT_EQ(sim.SimMaxInside(), 2) << "the other engine's call waited for the held one";
  EXPECT_TRUE(sim.CallsOf("VCERT_Uninitialize").empty());
  // A second viewer call meets the held one and both go on.
  EXPECT_EQ(viewer->ShowCertificate("Peer"), 0);
  first.join();
  EXPECT_EQ(held, 0);
  EXPECT_EQ(sim.CallsOf("VCERT_Uninitialize").size(), 1u);
}

class NoOptional : public ProviderTest {
 protected:
  NoOptional() : ProviderTest("nooptional") {}
};
CRTELV_PROVIDER_VARIANT(NoOptional, "nooptional");

TEST_F(NoOptional, TheHashEntryPointsAreOptional) {
  TTelvora binding;
  EXPECT_TRUE(binding.Loaded());
  EXPECT_TRUE(binding.Complete());
  EXPECT_EQ(binding.Entry().VCERT_SignHashMem, nullptr);
  EXPECT_EQ(binding.Entry().VCERT_VerifyHashMem, nullptr);
}

// -23 comes after the argument checks and the binding, before any provider call.
TEST_F(NoOptional, BareSignaturesNeedTheOptionalEntryPoints) {
  sim.Add(kUser1);
  Engine engine;
  char data[] = "data";
  std::vector<uint8_t> sign(2048);
  int32_t size = 0;
  char signer[256] = "0A1B";
  EXPECT_EQ(engine->VerifyData(data, 0, sign.data(), 64, signer), kBadArgument);
  EXPECT_EQ(engine->SignData(data, 4, sign.data(), &size, "For sign XML data!"), kProviderVersion);
  EXPECT_EQ(engine->VerifyData(data, 4, sign.data(), 64, signer), kProviderVersion);
  EXPECT_EQ(BindingCacheSize(), 1);
  EXPECT_EQ(sim.SimCallCount(), 0);
  EXPECT_STREQ(signer, "0A1B");
  EXPECT_EQ(engine->SignData(data, 4, sign.data(), &size, nullptr), 0);
}

CRTELV_PROVIDER_VARIANT(NoRequired, "norequired");
TEST(NoRequired, AnIncompleteProviderIsRefusedEveryTimeAndNothingIsCached) {
  Engine engine;
  char uid[256];
  EXPECT_EQ(engine->GetCurrentUID(uid), kProviderIncomplete);
  EXPECT_EQ(BindingCacheSize(), 0);
  EXPECT_TRUE(ProviderModuleLoaded());
  EXPECT_EQ(engine->GetCurrentUID(uid), kProviderIncomplete);
  BindingRef binding;
  EXPECT_EQ(engine->AcquireBinding(engine.Params(), binding), kProviderIncomplete);
  EXPECT_EQ(binding, nullptr);
}

// No provider where the search looks, until the test puts one there.
CRTELV_PROVIDER_VARIANT(NoProvider, "none");
TEST(NoProvider, EveryOperationSaysSoAndALaterOneRetries) {
  TempDir root;
  std::filesystem::create_directories(root.Path() + "EXE");
  SetProcessRoot(root.Path());

  Engine engine;
  char uid[256];
  EXPECT_EQ(engine->GetCurrentUID(uid), kProviderLoad);
  EXPECT_EQ(BindingCacheSize(), 0);
  EXPECT_FALSE(ProviderModuleLoaded());
  char message[300];
  engine->GetCryptoErrorString(1234, message);
  EXPECT_EQ(platform::AnsiToWide(message), std::u16string(u"Вывод сообщения невозможен: ошибка инициализации криптоядра."));

  // The provider arrives: the next operation loads it.
#ifdef _WIN32
  const std::string file = "cpki1.dll";
#else
  const std::string file = "libcpki1.so";
#endif
  std::filesystem::copy_file(SimRoot("complete") + "EXE/" + file, root.Path() + "EXE/" + file);
  EXPECT_EQ(engine->GetCurrentUID(uid), kNoCurrentUser);
  EXPECT_TRUE(ProviderModuleLoaded());
  EXPECT_EQ(BindingCacheSize(), 1);
  engine->ClearCash();
}

}  // namespace
}  // namespace crtelv::test
