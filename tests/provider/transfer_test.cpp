// Public key transfers: making them, reading them, and saving what they
// carry; what a counterpart sends is checked before anything is written.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "platform/platform.h"
#include "provider/transfer_block.h"
#include "support/base64.h"
#include "test_util.h"

namespace crtelv::test {
namespace {

std::vector<std::string> Files(const TempDir &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}


class Transfers : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    sim.AddCert(kUser1);
    sim.AddCert(peer);
    peerBytes = sim.Encode(peer);
  }
  // A transfer of data made by the engine.
  std::string Make(const std::string &name, const std::string &fileName, const std::vector<uint8_t> &data) {
    std::vector<char> transfer(12288);
    int32_t size = -1;
    EXPECT_EQ(engine->GetPublicKeyTransferByBuffer(name, fileName, data.data(), static_cast<int32_t>(data.size()),
                                                   transfer.data(), &size),
              0);
    EXPECT_EQ(size, static_cast<int32_t>(std::strlen(transfer.data())));
    return transfer.data();
  }
  // Any content, signed by the user and in base64, as a counterpart could send.
  std::string Signed(std::vector<uint8_t> content) {
    int32_t size = static_cast<int32_t>(content.size());
    content.resize(content.size() + 2048);
    EXPECT_EQ(engine->AddSign(content.data(), &size, 0), 0);
    return EncodeBase64(content.data(), size);
  }
  TransferBlock Read(const std::string &transfer) {
    TransferBlock block;
    EXPECT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.c_str(), block), 0);
    return block;
  }
  // The long layout carrying request at its text field.
  static std::vector<uint8_t> LongLayout(const std::vector<uint8_t> &request) {
    std::vector<uint8_t> content(static_cast<std::size_t>(kLongTransferSize), 'x');
    const std::string text = EncodeBase64(request.data(), static_cast<int32_t>(request.size()));
    std::memcpy(content.data() + kLongTransferTextOffset, text.c_str(), text.size() + 1);
    return content;
  }

  SimCert peer = Cert{.subject = "CN=Peer,O=Example", .serial = "0C"};
  std::vector<uint8_t> peerBytes;
  Engine engine;
  TempDir dir;
};

TEST_F(Transfers, ACertificateTravelsUnderItsUid) {
  std::vector<char> transfer(12288, '#');
  ASSERT_EQ(engine->GetPublicKeyTransfer("Peer", transfer.data()), 0);
  const std::string text = transfer.data();
  const TransferBlock block = Read(text);
  EXPECT_EQ(block.Name, "Peer");
  EXPECT_EQ(block.FileName, "Peer.cer");
  EXPECT_EQ(block.Data, peerBytes);

  ASSERT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), text.c_str()), 0);
  EXPECT_EQ(Files(dir), std::vector<std::string>{"Peer.cer"});
  EXPECT_EQ(ReadFileText(dir.Path() + "Peer.cer"), Text(peerBytes));

  ASSERT_EQ(engine->IncludePublicKeyTransfer(text.c_str()), 0);
  EXPECT_NE(sim.CallsOf("VCERT_AddCertificate").back().find("length=" + std::to_string(peerBytes.size())),
            std::string::npos);
  ASSERT_EQ(engine->ExcludeSelfPublicKeyTransfer(transfer.data()), 0);
  EXPECT_EQ(Read(transfer.data()).Name, "User1");

  // A folder that does not exist is refused before the transfer is read.
  const int32_t calls = sim.SimCallCount();
  EXPECT_EQ(engine->SavePublicKeyFromTransfer((dir.Path() + "missing").c_str(), text.c_str()), kCertFileIO);
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(nullptr, text.c_str()), kCertFileIO);
  EXPECT_EQ(sim.SimCallCount(), calls);
  EXPECT_EQ(engine->GetPublicKeyTransfer("Nobody", transfer.data()), kCertSelection);
  EXPECT_EQ(engine->GetPublicKeyTransfer("", transfer.data()), kBadArgument);
  EXPECT_EQ(engine->GetPublicKeyTransfer("Peer", nullptr), kBadArgument);
  EXPECT_EQ(engine->ExcludeSelfPublicKeyTransfer(nullptr), kBadArgument);
}

TEST_F(Transfers, FilesGoOutAsCertificatesOrRequests) {
  const std::string certFile = dir.Write("in/peer.cer", Text(peerBytes));
  const std::string requestFile = dir.Write("in/request.p10", "request bytes");
  const std::string overFile = dir.Write("in/over.cer", std::string(4097, 'x'));
  std::vector<char> transfer(12288);
  ASSERT_EQ(engine->GetPublicKeyTransferByFile(transfer.data(), certFile.c_str()), 0);
  TransferBlock block = Read(transfer.data());
  EXPECT_EQ(block.Name, "Peer");
  EXPECT_EQ(block.FileName, "Peer.cer");

  ASSERT_EQ(engine->GetPublicKeyTransferByFile(transfer.data(), requestFile.c_str()), 0);
  block = Read(transfer.data());
  EXPECT_EQ(block.Name, "");
  EXPECT_EQ(block.FileName, "new.req");
  ASSERT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), transfer.data()), 0);
  EXPECT_EQ(ReadFileText(dir.Path() + "new.req"), "request bytes");

  // Files that cannot be sent are refused before the provider is asked.
  const int32_t calls = sim.SimCallCount();
  EXPECT_EQ(engine->GetPublicKeyTransferByFile(transfer.data(), ""), kNoCertFile);
  EXPECT_EQ(engine->GetPublicKeyTransferByFile(transfer.data(), (dir.Path() + "none").c_str()), kCertLoad);
  EXPECT_EQ(engine->GetPublicKeyTransferByFile(transfer.data(), overFile.c_str()), kCertLoad);
  EXPECT_EQ(engine->GetPublicKeyTransferByFile(nullptr, certFile.c_str()), kBadArgument);
  EXPECT_EQ(sim.SimCallCount(), calls);
}

TEST_F(Transfers, TheLongRequestLayout) {
  std::vector<uint8_t> request(7677);  // 10236 characters of base64
  for (std::size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 7);
  const std::string transfer = Signed(LongLayout(request));

  int32_t size = -1;
  ASSERT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.c_str(), nullptr, &size), 0);
  EXPECT_EQ(size, 7677);
  std::vector<uint8_t> out(7677, 0xEE);
  size = 7676;
  EXPECT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.c_str(), out.data(), &size), kNoMemory);
  EXPECT_EQ(size, 7677);
  EXPECT_EQ(out[0], 0xEE);
  ASSERT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.c_str(), out.data(), &size), 0);
  EXPECT_EQ(out, request);
  TransferBlock block;
  EXPECT_EQ(engine->GetPublicKeyBlockByTransfer(transfer.c_str(), block), kBadArgument);

  ASSERT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), transfer.c_str()), 0);
  EXPECT_EQ(ReadFileText(dir.Path() + "new.req"), Text(request));

  // A text that does not end within the layout is not read past it.
  std::vector<uint8_t> unterminated = LongLayout(request);
  std::memset(unterminated.data() + kLongTransferTextOffset, 'A', static_cast<std::size_t>(kLongTransferTextField));
  const std::string bad = Signed(unterminated);
  EXPECT_EQ(engine->GetPublicKeyBlockByTransfer(bad.c_str(), nullptr, &size), kBadArgument);
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), bad.c_str()), kBadArgument);
}

TEST_F(Transfers, SavingChecksTheSignatureOnce) {
  // Whichever layout the content has, and also when it has neither.
  std::vector<uint8_t> request(100, 0x5A);
  const std::string transfers[] = {Make("Peer", "peer.cer", peerBytes), Signed(LongLayout(request)),
                                   Signed(std::vector<uint8_t>(10, 1))};
  const int32_t expected[] = {0, 0, kBadArgument};
  for (int i = 0; i < 3; ++i) {
    const std::size_t before = sim.CallsOf("VCERT_VerifyMem").size();
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), transfers[i].c_str()), expected[i]) << i;
    EXPECT_EQ(sim.CallsOf("VCERT_VerifyMem").size(), before + 1) << i;
  }
}

TEST_F(Transfers, TextsAreCutAt255Characters) {
  const std::string u255(255, 'u');
  const std::vector<uint8_t> data{1, 2, 3};
  struct Case {
    std::string name, fileName, expectName, expectFile;
  } cases[] = {
      {u255, u255, u255, u255},
      {u255 + "v", "f" + u255, u255, "f" + std::string(254, 'u')},
  };
  for (const Case &c : cases) {
    const TransferBlock block = Read(Make(c.name, c.fileName, data));
    EXPECT_EQ(block.Name, c.expectName);
    EXPECT_EQ(block.FileName, c.expectFile);
  }
  // UID + ".cer" is cut as a whole.
  const std::string uid(253, 'w');
  const std::string subject = "CN=" + uid + ",O=Example";
  sim.AddCert(Cert{.subject = subject.c_str(), .serial = "0D"});
  std::vector<char> transfer(12288);
  ASSERT_EQ(engine->GetPublicKeyTransfer(uid.c_str(), transfer.data()), 0);
  EXPECT_EQ(Read(transfer.data()).FileName, uid + ".c");
}

TEST_F(Transfers, TamperedOrMalformedTransfersAreRefused) {
  const std::string good = Make("Peer", "Peer.cer", peerBytes);
  std::vector<uint8_t> tampered = DecodeBase64(good.data(), static_cast<int32_t>(good.size()));
  tampered[tampered.size() / 2] ^= 0x01;
  // What the signature check answers for the tampered message.
  std::vector<uint8_t> copy = tampered;
  int32_t copySize = static_cast<int32_t>(copy.size());
  char signer[256];
  const int32_t tamperedCode = engine->RemoveSignature(copy.data(), &copySize, signer);
  ASSERT_NE(tamperedCode, 0);

  std::vector<uint8_t> block = PackTransferBlock("Peer", "Peer.cer", peerBytes.data(), 10);
  std::vector<uint8_t> noLength = block, overLength = block, openName = block;
  noLength[kTransferLengthOffset] = 0;
  overLength[kTransferLengthOffset] = 0x01;
  overLength[kTransferLengthOffset + 1] = 0x10;  // 4097
  std::memset(openName.data() + kTransferFileNameOffset, 'n', static_cast<std::size_t>(kTransferTextField));
  struct Case {
    const char *what;
    std::string transfer;
    int32_t read;  // code of reading it
    int32_t save;  // code of saving it
  } cases[] = {
      {"empty", "", kBadArgument, kBadArgument},
      {"no base64", "!!!!", kBadArgument, kBadArgument},
      {"tampered", EncodeBase64(tampered.data(), static_cast<int32_t>(tampered.size())), tamperedCode,
       tamperedCode},
      {"short content", Signed(std::vector<uint8_t>(100, 'c')), kBadArgument, kBadArgument},
      {"DataLength 0", Signed(noLength), kBadArgument, kBadArgument},
      {"DataLength 4097", Signed(overLength), kBadArgument, kBadArgument},
      {"file name without end", Signed(openName), kBadArgument, kCertFileIO},
  };
  for (const Case &c : cases) {
    TransferBlock read;
    EXPECT_EQ(engine->GetPublicKeyBlockByTransfer(c.transfer.c_str(), read), c.read) << c.what;
    EXPECT_EQ(engine->IncludePublicKeyTransfer(c.transfer.c_str()), c.read) << c.what;
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), c.transfer.c_str()), c.save) << c.what;
    EXPECT_TRUE(Files(dir).empty()) << c.what;
  }
  EXPECT_TRUE(sim.CallsOf("VCERT_AddCertificate").empty());
}

TEST_F(Transfers, CarriedFileNamesStayInTheFolder) {
  const char *refused[] = {"", ".", "..", "..\\evil.cer", "../evil.cer", "sub/x.cer", "sub\\x.cer", "c:evil.cer",
                           "x:"};
  for (const char *name : refused) {
    const std::string transfer = Make("Peer", name, peerBytes);
    const std::size_t verifies = sim.CallsOf("VCERT_VerifyMem").size();
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), transfer.c_str()), kCertFileIO) << name;
    // Refused outright: no second reading in the long layout.
    EXPECT_EQ(sim.CallsOf("VCERT_VerifyMem").size(), verifies + 1) << name;
  }
  EXPECT_TRUE(Files(dir).empty());
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "../evil.cer"));
  const std::string dotted = Make("Ivanov", "Ivanov I.I..cer", peerBytes);
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), dotted.c_str()), 0);
  EXPECT_EQ(Files(dir), std::vector<std::string>{"Ivanov I.I..cer"});
}

// A standard block is saved only as a certificate under a ".cer" name, when
// its data is one, or as "new.req"; never under a name that is no plain
// file on either port, nor over the engine's own stores. Refused transfers
// write nothing.
TEST_F(Transfers, OnlyCertificatesAndRequestsAreSavedAndNeverOverTheOwnStores) {
  engine.Set(kParamPSE, dir.Path() + "keys.pse").Set(kParamLocalStore, dir.Path() + "Store.cer");
  const std::vector<uint8_t> text{'-', '-', '-', 'p', 'e', 'm'};
  struct Case {
    const char *name;
    const std::vector<uint8_t> &data;
    int32_t save;
  } cases[] = {
      {"CON", peerBytes, kCertFileIO},      {"con.cer", peerBytes, kCertFileIO},
      {"Lpt9.txt.cer", peerBytes, kCertFileIO}, {"nul.", peerBytes, kCertFileIO},
      {"Peer.cer.", peerBytes, kCertFileIO}, {"Peer.cer ", peerBytes, kCertFileIO},
      {"bob-store.pem", text, kCertFileIO}, {"notes.txt", peerBytes, kCertFileIO},
      {"STORE.CER", peerBytes, kCertFileIO}, {"KEYS.PSE", peerBytes, kCertFileIO},
      {"Peer.cer", text, kBadArgument},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", c.name, c.data).c_str()), c.save)
        << c.name;
    EXPECT_TRUE(Files(dir).empty()) << c.name;
  }
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", "Peer.CER", peerBytes).c_str()), 0);
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("", "new.req", text).c_str()), 0);
  auto files = Files(dir);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Peer.CER", "new.req"}));
}

// Windows takes "nul .cer" for the device NUL (blanks before the dot go),
// knows COM and LPT with superscript digits and the console's names too, and
// refuses < > " | ? * and control bytes: none of them is written anywhere.
TEST_F(Transfers, NamesWindowsReservesOrRefusesAreNeverWritten) {
  const char *refused[] = {"nul .cer",      "COM1 .cer",     "lpt9   .cer", "aux .x.cer", "com\xB9.cer",
                           "LPT\xC2\xB3.cer", "conin$.cer",    "CONOUT$ .cer", "a<b.cer",    "a>b.cer",
                           "a\"b.cer",      "a|b.cer",       "a?b.cer",     "a*b.cer",    "a\tb.cer",
                           "a\x01\x1f.cer"};
  for (const char *name : refused) {
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", name, peerBytes).c_str()),
              kCertFileIO)
        << name;
  }
  EXPECT_TRUE(Files(dir).empty());
  for (const char *name : {"nul-list.cer", "COM10.cer", "console.cer", "lpt.cer"}) {
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", name, peerBytes).c_str()), 0)
        << name;
  }
  EXPECT_EQ(Files(dir).size(), 4u);
}

#ifndef _WIN32
// The own certificate store reached by another name for the same file is
// not overwritten either.
TEST_F(Transfers, TheOwnStoreUnderAnotherNameIsNotOverwritten) {
  const std::string store = dir.Write("Store.cer", "store");
  engine.Set(kParamLocalStore, store);
  std::filesystem::create_hard_link(store, dir.Path() + "alias.cer");
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", "alias.cer", peerBytes).c_str()),
            kCertFileIO);
  EXPECT_EQ(ReadFileText(dir.Path() + "alias.cer"), "store");
  EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), Make("Peer", "Peer.cer", peerBytes).c_str()), 0);
  EXPECT_EQ(ReadFileText(store), "store");
}
#endif

TEST_F(Transfers, AFailedWriteKeepsTheOldFile) {
  const std::vector<uint8_t> request(300, 'r');
  struct Case {
    const char *file;
    std::string transfer;
    std::string content;
  } cases[] = {
      {"Peer.cer", Make("Peer", "Peer.cer", peerBytes), Text(peerBytes)},
      {"new.req", Signed(LongLayout(request)), Text(request)},
  };
  for (const Case &c : cases) {
    const std::string path = dir.Write(c.file, "old content");
    for (int broken = 0; broken < 2; ++broken) {
      platform::ScopedSystemCalls restore;
      if (broken == 0) {
        platform::Calls().replaceFile = [](const std::string &, const std::string &) { return false; };
      } else {
        platform::Calls().createNewFile = [](const std::string &, const void *, std::size_t) { return false; };
      }
      EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), c.transfer.c_str()), kCertFileIO) << c.file;
      EXPECT_EQ(ReadFileText(path), "old content") << c.file;
      EXPECT_EQ(Files(dir).size(), 1u) << c.file;
    }
    EXPECT_EQ(engine->SavePublicKeyFromTransfer(dir.Path().c_str(), c.transfer.c_str()), 0) << c.file;
    EXPECT_EQ(ReadFileText(path), c.content) << c.file;
    std::filesystem::remove(path);
  }
}

// Sessions acquired since the count was reset: each acquisition reads the
// session clock once.
std::atomic<int> g_acquisitions{0};
double CountingClock() {
  ++g_acquisitions;
  return 0.5;
}

// Reading a transfer, searching the store and signing a new transfer all run
// in the operation's one call frame: one session, each lock taken once.
TEST_F(Transfers, EachOperationOpensOneFrame) {
  std::vector<char> made(12288);
  ASSERT_EQ(engine->GetPublicKeyTransfer("Peer", made.data()), 0);
  const std::string transfer = made.data();
  const std::string certFile = dir.Write("in/peer.cer", Text(peerBytes));
  std::vector<char> out(12288);
  std::vector<char> report(4097);
  const struct {
    const char *what;
    std::function<int32_t()> run;
  } cases[] = {
      {"GetPublicKeyTransfer", [&] { return engine->GetPublicKeyTransfer("Peer", out.data()); }},
      {"ExcludeSelfPublicKeyTransfer", [&] { return engine->ExcludeSelfPublicKeyTransfer(out.data()); }},
      {"IncludePublicKeyTransfer", [&] { return engine->IncludePublicKeyTransfer(transfer.c_str()); }},
      {"GetReportByTransfer", [&] { return engine->GetReportByTransfer(transfer.c_str(), report.data()); }},
      {"GetPublicKeyTransferByFile", [&] { return engine->GetPublicKeyTransferByFile(out.data(), certFile.c_str()); }},
      {"SavePublicKeyFromTransfer",
       [&] { return engine->SavePublicKeyFromTransfer(dir.Path().c_str(), transfer.c_str()); }},
  };
  SetSessionClock(CountingClock);
  for (const auto &c : cases) {
    g_acquisitions = 0;
    EXPECT_EQ(c.run(), 0) << c.what;
    EXPECT_EQ(g_acquisitions.load(), 1) << c.what;
  }
  EXPECT_EQ(ReadFileText(dir.Path() + "Peer.cer"), Text(peerBytes));
}

}  // namespace
}  // namespace crtelv::test
