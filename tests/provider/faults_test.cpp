// Provider failures, one entry point at a time: for every engine operation
// that reaches the provider, each entry point that a successful run calls is
// made to fail in turn. The operation answers with the provider's status
// (or its own documented code where it maps the status), every provider
// result is released, no session or lock stays held (the next operation
// succeeds) and the host's buffers keep what they held.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

constexpr char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
constexpr char kMarker = '#';
constexpr std::size_t kHostSize = 16384;

// A host buffer: input at its start, the marker behind it.
std::vector<char> Host(const std::string &input = std::string()) {
  std::vector<char> host(kHostSize, kMarker);
  std::memcpy(host.data(), input.data(), input.size());
  return host;
}

bool IsRelease(const std::string &entryPoint) {
  return entryPoint.rfind("VCERT_Free", 0) == 0 || entryPoint == "VCERT_Uninitialize";
}

class Faults : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    Restart();
    peerFile = dir.Write("peer.cer", Text(sim.Encode(peer)));
    crlFile = dir.Write("list.crl", SIM_CRL_MAGIC "1234");
    keysFile = dir.Write("keys.pse", "key store");
  }
  void Restart() {
    ClearCache();
    sim.SimReset();
    sim.AddCert(Cert{.subject = "CN=User1,O=Example", .serial = "0A:1B",
                     .store = TELVORA_STORE_OWN | TELVORA_STORE_OTHERS, .ekus = "1.3.6.1.5.5.7.3.1;1.3.6.1.5.5.7.3.2",
                     .keyRef = "key1"});
    sim.AddCert(peer);
  }

  SimCert peer = Cert{.subject = "CN=Peer,O=Example", .serial = "0C"};
  TempDir dir;
  std::string peerFile, crlFile, keysFile;
};

// The engine's modes.
constexpr int kClient = 0, kServer = 1, kBySerial = 2;

// One operation: its name, the engine's mode, the host buffer it starts
// with and the call (which may use the buffer as in- and output).
struct Operation {
  std::string name;
  int mode;
  std::vector<char> host;
  std::function<int32_t(TTelvoraEngine &, std::vector<char> &)> run;
};

// Where an operation answers a failed entry point with its own code.
struct Mapped {
  const char *operation;
  const char *entryPoint;
  int32_t result;
};

TEST_F(Faults, EveryProviderCallFailsInTurn) {
  // Inputs made by successful runs.
  Engine maker;
  const std::string payload = "payload for the provider";
  std::vector<char> sign(2048);
  int32_t signSize = 0;
  ASSERT_EQ(maker->SignData(payload.data(), static_cast<int32_t>(payload.size()), sign.data(), &signSize, nullptr), 0);
  sign.resize(static_cast<std::size_t>(signSize));
  std::vector<char> message = Host(payload);
  int32_t messageSize = static_cast<int32_t>(payload.size());
  ASSERT_EQ(maker->AddSign(message.data(), &messageSize, 0), 0);
  std::vector<char> sealed = Host(payload);
  int32_t sealedSize = static_cast<int32_t>(payload.size());
  ASSERT_EQ(maker->EncodeData(sealed.data(), &sealedSize, "User1"), 0);
  std::vector<char> transferBuffer(12288);
  ASSERT_EQ(maker->GetPublicKeyTransfer("Peer", transferBuffer.data()), 0);
  const std::string transfer = transferBuffer.data();
  const std::vector<uint8_t> issued = sim.Encode(Cert{.subject = "CN=User1,O=Example", .serial = "0A:1C",
                                                      .store = TELVORA_STORE_OWN});
  int32_t answerSize = 0;
  ASSERT_EQ(maker->GetPublicKeyTransferByBuffer("User1", "User1.cer", issued.data(), static_cast<int32_t>(issued.size()),
                                                transferBuffer.data(), &answerSize),
            0);
  const std::string answer = transferBuffer.data();
  const std::string ident = "SSL CERTIFICATE IDENTIFICATOR:\r\nCERT_ISSUER:CN=Test CA,O=Example\r\nCERT_SERIALNUMBER:0c";
  TempDir saveDir;
  const std::string saveFolder = saveDir.Path();
  const int32_t payloadSize = static_cast<int32_t>(payload.size());

  std::vector<Operation> operations = {
      {"GetCurrentUID", kClient, Host(), [](TTelvoraEngine &e, std::vector<char> &h) { return e.GetCurrentUID(h.data()); }},
      {"GetCurrentUID", kServer, Host(), [](TTelvoraEngine &e, std::vector<char> &h) { return e.GetCurrentUID(h.data()); }},
      {"SignData", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = 0;
         return e.SignData(payload.data(), payloadSize, h.data(), &size, nullptr);
       }},
      {"SignData", kServer, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = 0;
         return e.SignData(payload.data(), payloadSize, h.data(), &size, nullptr);
       }},
      {"SignData xml", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = 0;
         return e.SignData(payload.data(), payloadSize, h.data(), &size, "For sign XML data!");
       }},
      {"VerifyData", kClient, Host(std::string("GetCertificate_OnSuccess") + '\0'),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         return e.VerifyData(payload.data(), payloadSize, sign.data(), signSize, h.data());
       }},
      {"AddSign", kClient, Host(payload),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = payloadSize;
         return e.AddSign(h.data(), &size, 0);
       }},
      {"AddSign", kServer, Host(payload),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = payloadSize;
         return e.AddSign(h.data(), &size, 0);
       }},
      {"RemoveSignature", kClient, Host(std::string(message.data(), static_cast<std::size_t>(messageSize))),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = messageSize;
         char signer[4200] = "";
         return e.RemoveSignature(h.data(), &size, signer);
       }},
      {"EncodeData", kClient, Host(payload),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = payloadSize;
         return e.EncodeData(h.data(), &size, "Peer;User1");
       }},
      {"DecodeData", kClient, Host(std::string(sealed.data(), static_cast<std::size_t>(sealedSize))),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = sealedSize;
         int third = 0;
         return e.DecodeData(h.data(), &size, &third);
       }},
      {"DecodeData", kServer, Host(std::string(sealed.data(), static_cast<std::size_t>(sealedSize))),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = sealedSize;
         int third = 0;
         return e.DecodeData(h.data(), &size, &third);
       }},
      {"EncodeData", kBySerial, Host(payload),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = payloadSize;
         return e.EncodeData(h.data(), &size, "0C;0A1B");
       }},
      {"HashData", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) {
         int32_t size = 64;
         return e.HashData(payload.data(), payloadSize, 1, h.data(), &size);
       }},
      {"IncludePublicKey", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &) { return e.IncludePublicKey(peerFile.c_str()); }},
      {"IncludePublicKey keys", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &) { return e.IncludePublicKey(keysFile.c_str()); }},
      {"IncludeCRL", kClient, Host(), [&](TTelvoraEngine &e, std::vector<char> &) { return e.IncludeCRL(crlFile.c_str()); }},
      {"RemoteGenerateStart", kClient, Host(),
       [](TTelvoraEngine &e, std::vector<char> &h) { return e.RemoteGenerateStart(h.data()); }},
      {"RemoteGenerateFinish", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &) { return e.RemoteGenerateFinish(answer.c_str()); }},
      {"ExcludeSelfPublicKeyTransfer", kClient, Host(),
       [](TTelvoraEngine &e, std::vector<char> &h) { return e.ExcludeSelfPublicKeyTransfer(h.data()); }},
      {"IncludePublicKeyTransfer", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &) { return e.IncludePublicKeyTransfer(transfer.c_str()); }},
      {"GetPublicKeyTransfer", kClient, Host(),
       [](TTelvoraEngine &e, std::vector<char> &h) { return e.GetPublicKeyTransfer("Peer", h.data()); }},
      {"GetPublicKeyTransferByFile", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) { return e.GetPublicKeyTransferByFile(h.data(), peerFile.c_str()); }},
      {"SavePublicKeyFromTransfer", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &) {
         return e.SavePublicKeyFromTransfer(saveFolder.c_str(), transfer.c_str());
       }},
      {"GetReport", kClient, Host(), [](TTelvoraEngine &e, std::vector<char> &h) { return e.GetReport("Peer", h.data()); }},
      {"GetReportByTransfer", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) { return e.GetReportByTransfer(transfer.c_str(), h.data()); }},
      {"GetReportByFile", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) { return e.GetReportByFile(peerFile.c_str(), h.data()); }},
      {"ShowCertificate", kClient, Host(), [](TTelvoraEngine &e, std::vector<char> &) { return e.ShowCertificate("Peer"); }},
      {"GetUIDByCertIdent", kClient, Host(),
       [&](TTelvoraEngine &e, std::vector<char> &h) { return e.GetUIDByCertIdent(ident.c_str(), h.data()); }},
  };
  const std::vector<Mapped> mapped = {
      // A file that is no certificate goes out as a request.
      {"GetPublicKeyTransferByFile", "VCERT_ParseCert", 0},
      // A received ".cer" that the provider does not read is refused unsaved.
      {"SavePublicKeyFromTransfer", "VCERT_ParseCert", kBadArgument},
  };

  int32_t status = 0x5F000100;
  int injected = 0, releases = 0;
  for (Operation &op : operations) {
    const std::string what = op.name + (op.mode == kServer ? " (server)" : op.mode == kBySerial ? " (by serial)" : "");
    auto fresh = [&] {
      Engine engine;
      if (op.mode == kServer) engine.Set(kParamClientServerMode, "server").Set(kParamServerCertEKUOID, kServerAuth);
      if (op.mode == kBySerial) engine.Set(kParamUIDLocation, "SN");
      return engine;
    };
    Restart();
    std::vector<std::string> entryPoints;
    {
      Engine engine = fresh();
      std::vector<char> host = op.host;
      ASSERT_EQ(op.run(*engine, host), 0) << what;
      for (const std::string &name : sim.CallNames()) {
        if (std::find(entryPoints.begin(), entryPoints.end(), name) == entryPoints.end()) entryPoints.push_back(name);
      }
    }
    ASSERT_FALSE(entryPoints.empty()) << what;
    for (const std::string &entryPoint : entryPoints) {
      const std::string where = what + " with " + entryPoint + " failing";
      Restart();
      std::filesystem::remove_all(saveFolder);
      std::filesystem::create_directories(saveFolder);
      Engine engine = fresh();
      ++status;
      ++injected;
      releases += IsRelease(entryPoint) ? 1 : 0;
      sim.Fail(entryPoint.c_str(), status);
      std::vector<char> host = op.host;
      const int32_t result = op.run(*engine, host);
      sim.Fail(entryPoint.c_str(), 0);
      if (IsRelease(entryPoint)) {
        // The provider kept what it failed to take back: nothing to check
        // but that the operation's answer stands and nothing else leaks.
        EXPECT_EQ(sim.SimBadReleases(), 0) << where;
      } else {
        auto m = std::find_if(mapped.begin(), mapped.end(), [&](const Mapped &x) {
          return op.name == x.operation && entryPoint == x.entryPoint;
        });
        EXPECT_EQ(result, m == mapped.end() ? status : m->result) << where;
        EXPECT_EQ(sim.SimOutstanding(), 0) << where;
        EXPECT_EQ(sim.SimBadReleases(), 0) << where;
        if (result != 0) {
          EXPECT_TRUE(host == op.host) << where << ": host buffer changed";
        }
        if (result != 0 && op.name == "SavePublicKeyFromTransfer") {
          EXPECT_TRUE(std::filesystem::is_empty(saveFolder)) << where;
        }
      }
      EXPECT_LE(sim.SimOpenSessions(), 1) << where;
      // Nothing held: the same engine's next run succeeds.
      host = op.host;
      EXPECT_EQ(op.run(*engine, host), 0) << where << ": the next run";
      ClearCache();
      EXPECT_EQ(sim.SimOpenSessions(), 0) << where;
      if (IsRelease(entryPoint)) sim.SimReset();  // forget what the failed release kept
    }
  }
  std::printf("%zu operations, %d provider failures injected (%d of them in releases)\n", operations.size(), injected,
              releases);
}

}  // namespace
}  // namespace crtelv::test
