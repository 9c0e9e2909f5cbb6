// Certificates, key stores and CRLs into the provider's stores, key
// generation through export and import, and the lock order of the key
// request pair.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "binding_fixture.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/transfer_block.h"
#include "test_latch.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

class Stores : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    sim.AddCert(kUser1);
  }
  // Starts over with a provider that has forgotten every call and session.
  void Restart() {
    ClearCache();
    sim.SimReset();
    sim.AddCert(kUser1);
  }
  TempDir dir;
};

TEST_F(Stores, IncludeCodesAndWhatReachesTheProvider) {
  const std::vector<uint8_t> peer = sim.Encode(Cert{.subject = "CN=Peer,O=Example", .serial = "0C"});
  const std::string binary(peer.begin(), peer.end());
  const std::string pem = CertToPEM(TelvoraBlob{static_cast<int32_t>(peer.size()), const_cast<uint8_t *>(peer.data())});
  dir.Write("peer.cer", binary);
  dir.Write("peer.pem", "Bag Attributes\n" + pem);
  dir.Write("full.cer", binary + std::string(4096 - binary.size(), '\0'));
  dir.Write("over.cer", std::string(4097, 'x'));
  dir.Write("list.crl", SIM_CRL_MAGIC "1234");
  dir.Write("keys.pse", "key store");
  Engine engine;
  engine->AssignRootPath(dir.Path());
  const std::string at = dir.Path();
  struct Case {
    const char *what;
    bool crl;
    const char *file;  // null: a null pointer
    int32_t result;    // 1: whatever the provider answers (never the library's own codes)
    const char *call;  // the last call expected, or "" for no provider call
  } cases[] = {
      {"no name", false, nullptr, kNoCertFile, ""},
      {"empty name", false, "", kNoCertFile, ""},
      {"no CRL name", true, "", kNoCrlFile, ""},
      {"missing certificate", false, "missing.cer", kCertLoad, ""},
      {"4097 bytes", false, "over.cer", kCertLoad, ""},
      {"binary certificate", false, "peer.cer", 0, "VCERT_AddCertificate"},
      {"PEM certificate", false, "peer.pem", 0, "VCERT_AddCertificate"},
      {"exactly 4096 bytes are read", false, "full.cer", 1, "VCERT_AddCertificate"},
      {"missing CRL", true, "missing.crl", kCrlRead, ""},
      {"CRL", true, "list.crl", 0, "VCERT_AddCRL"},
      {"key store", false, "keys.pse", 0, "VCERT_ImportFile"},
      {"key store named through the root", false, "%ZPKRoot%keys.pse", 1, "VCERT_ImportFile"},
  };
  for (const Case &c : cases) {
    Restart();
    std::string name;
    if (c.file != nullptr) name = c.file[0] == '\0' || c.file[0] == '%' ? c.file : at + c.file;
    const char *arg = c.file != nullptr ? name.c_str() : nullptr;
    const int32_t result = c.crl ? engine->IncludeCRL(arg) : engine->IncludePublicKey(arg);
    if (c.result == 1) {
      EXPECT_GE(result, 0) << c.what;
    } else {
      EXPECT_EQ(result, c.result) << c.what;
    }
    if (!c.crl) {
      EXPECT_EQ(engine->IncludePublicEncodeKey(arg), result) << c.what;
    }
    const std::vector<std::string> names = sim.CallNames();
    const std::vector<std::string> calls = sim.Calls();
    if (c.call[0] == '\0') {
      EXPECT_TRUE(names.empty() || names.back() == "VCERT_InitializeEx") << c.what;
    } else {
      ASSERT_FALSE(calls.empty()) << c.what;
      EXPECT_EQ(names.back(), c.call) << c.what;
    }
    if (std::strcmp(c.call, "VCERT_ImportFile") == 0) {
      // The expansion upper-cases the whole path; it is still a key store.
      EXPECT_TRUE(Has(calls.back(), "kind=16")) << c.what;
    }
  }
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ImportFile").back(), "KEYS.PSE\""));
}

TEST_F(Stores, KeyGenerationRoundTripThroughExportAndImport) {
  Engine engine;
  std::vector<char> transfer(12288, '#');
  ASSERT_EQ(engine->RemoteGenerateStart(transfer.data()), 0);
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ExportMem").at(0), "kind=20 auth=none"));
  TransferBlock request;
  ASSERT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.data(), request), 0);
  EXPECT_EQ(request.Name, "");
  EXPECT_EQ(request.FileName, "new.req");
  EXPECT_EQ(std::string(request.Data.begin(), request.Data.end()), "SIMREQ kind=20 n=1");

  // The issuer answers with the new certificate.
  const std::vector<uint8_t> issued = sim.Encode(Cert{.subject = "CN=User1,O=Example", .serial = "0A:1C",
                                                      .store = TELVORA_STORE_OWN});
  std::vector<char> answer(12288);
  int32_t size = 0;
  ASSERT_EQ(engine->GetPublicKeyTransferByBuffer("User1", "User1.cer", issued.data(),
                                                 static_cast<int32_t>(issued.size()), answer.data(), &size),
            0);
  Restart();
  ASSERT_EQ(engine->RemoteGenerateFinish(answer.data()), 0);
  const std::vector<std::string> imports = sim.CallsOf("VCERT_ImportMem");
  ASSERT_EQ(imports.size(), 1u);
  EXPECT_TRUE(Has(imports[0], "kind=8 auth=none length=" + std::to_string(issued.size())));

  // Refusals: nothing imported.
  std::string tampered(answer.data());
  tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
  Restart();
  EXPECT_EQ(engine->RemoteGenerateFinish(""), kBadArgument);
  EXPECT_EQ(engine->RemoteGenerateFinish(nullptr), kBadArgument);
  EXPECT_EQ(sim.SimCallCount(), 0);
  EXPECT_NE(engine->RemoteGenerateFinish(tampered.c_str()), 0);
  EXPECT_EQ(engine->RemoteGenerateStart(nullptr), kBadArgument);
  EXPECT_TRUE(sim.CallsOf("VCERT_ImportMem").empty());
}

TEST_F(Stores, ExportAndImportLimits) {
  Engine engine;
  BindingRef binding = Binding(engine);
  const TelvoraInitParam p = engine.Params();
  std::vector<uint8_t> out(64, '#');
  int32_t length = 17;  // "SIMREQ kind=20 n=1" has 18
  EXPECT_EQ(binding->RemoteGenerateStart(p, out.data(), length), kNoMemory);
  EXPECT_EQ(length, 17);
  EXPECT_EQ(out[0], '#');
  length = 18;
  EXPECT_EQ(binding->RemoteGenerateStart(p, out.data(), length), 0);
  EXPECT_EQ(length, 18);

  binding.reset();
  Restart();
  binding = Binding(engine);
  EXPECT_EQ(binding->RemoteGenerateFinish(p, out.data(), 0), kBadArgument);
  EXPECT_EQ(binding->ImportToStore(p, nullptr, 5, 8), kBadArgument);
  EXPECT_EQ(sim.SimCallCount(), 0) << "refused before any session";

  // A request that does not fit a block is refused after the key is made;
  // one that does not fit the engine's buffer already by the binding.
  std::vector<char> transfer(12288);
  sim.SimSetOutputShape("VCERT_ExportMem", SIM_OUTPUT_GROW, 4096);
  EXPECT_EQ(engine->RemoteGenerateStart(transfer.data()), kBadArgument);
  sim.SimSetOutputShape("VCERT_ExportMem", SIM_OUTPUT_GROW, 12288);
  EXPECT_EQ(engine->RemoteGenerateStart(transfer.data()), kNoMemory);
  EXPECT_EQ(sim.CallsOf("VCERT_ExportMem").size(), 2u);
  sim.Fail("VCERT_ExportMem", SIM_E_NO_KEY);
  EXPECT_EQ(engine->RemoteGenerateStart(transfer.data()), SIM_E_NO_KEY);
}

TEST_F(Stores, ServerModeNamesTheServersKey) {
  SimCert server = Cert{.subject = "CN=Server,O=Example", .serial = "0F", .store = TELVORA_STORE_OWN,
                        .ekus = "1.3.6.1.5.5.7.3.1", .keyRef = "srv-key"};
  sim.AddCert(server);
  Engine engine;
  engine.Set(kParamClientServerMode, "SERVER").Set(kParamServerCertEKUOID, "1.3.6.1.5.5.7.3.1");
  BindingRef binding = Binding(engine);
  std::vector<uint8_t> out(64);
  int32_t length = 64;
  EXPECT_EQ(binding->RemoteGenerateStart(engine.Params(), out.data(), length), 0);
  EXPECT_EQ(binding->RemoteGenerateFinish(engine.Params(), "x", 1), SIM_E_BAD_ENCODING);
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ExportMem").at(0), "auth=\"srv-key\""));
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_ImportMem").at(0), "kind=8 auth=\"srv-key\""));
}

// Every provider call takes the provider lock and then SessionLock. The key
// request pair holds SessionLock for its whole run: taken before the
// provider lock, it deadlocks against a thread that holds the provider lock
// and then acquires a session. Here that thread is this test's: it holds
// the provider lock while a request starts, lets the request run as far as
// it can, then acquires a session. A deadlock ends the test process.
TEST_F(Stores, KeyRequestsKeepTheLockOrder) {
  Engine engine;
  BindingRef binding = Binding(engine);
  const TelvoraInitParam p = engine.Params();
  std::vector<uint8_t> out(64);
  int32_t length = 64;
  const std::function<int32_t()> requests[] = {
      [&] { return binding->RemoteGenerateStart(p, out.data(), length); },
      [&] { return binding->RemoteGenerateFinish(p, "x", 1); },
  };
  const int32_t expected[] = {0, SIM_E_BAD_ENCODING};
  for (int which = 0; which < 2; ++which) {
    Latch locked(1);
    Latch done(2);
    int32_t result = -1;
    int32_t acquired = -1;
    std::thread session([&] {
      ProviderLockGuard provider(*binding, p.ServerMode);
      locked.count_down();
      // Not a measure of time: only room for the request to take what it
      // takes before it waits for the provider lock.
      for (int i = 0; i < 20000; ++i) std::this_thread::yield();
      SessionHold hold(*binding);
      acquired = hold.Acquire(p);
      hold.Release();
      done.count_down();
    });
    std::thread request([&] {
      locked.wait();
      result = requests[which]();
      done.count_down();
    });
    if (!done.wait_for(crtelv::test::ScaledBound(std::chrono::seconds(60)))) {
      std::fprintf(stderr, "Stores.KeyRequestsKeepTheLockOrder: deadlock in request %d\n", which);
      std::fflush(stderr);
      std::_Exit(EXIT_FAILURE);
    }
    request.join();
    session.join();
    EXPECT_EQ(acquired, 0) << which;
    EXPECT_EQ(result, expected[which]) << which;
  }
}

}  // namespace
}  // namespace crtelv::test
