// Writers killed at random moments: a child process writes, over and over,
// through the open provider's stores (certificates into the certificate
// store, key stores imported into the key store) and through the library's
// SavePublicKeyFromTransfer, and is killed with SIGKILL after a random
// delay, a few hundred times. After each kill every file is the old or the
// new one, never a torn one, and the provider opens it.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>

#include "cr_telv.h"
#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int kParties = 4;     // certificates the child adds to the store, in order
constexpr int kKills = 200;

struct Library {
  Library() {
    handle = dlopen(CRTELV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#define CPKI1TEST_EXPORT(name) name = reinterpret_cast<decltype(&::name)>(handle ? dlsym(handle, #name) : nullptr);
    CPKI1TEST_EXPORT(GetCryptObj)
    CPKI1TEST_EXPORT(DoneEngine)
    CPKI1TEST_EXPORT(SetRootPath)
    CPKI1TEST_EXPORT(SetCryptoParamValue)
    CPKI1TEST_EXPORT(GetPublicKeyTransferByFile)
    CPKI1TEST_EXPORT(SavePublicKeyFromTransfer)
#undef CPKI1TEST_EXPORT
  }
  void *handle = nullptr;
  decltype(&::GetCryptObj) GetCryptObj;
  decltype(&::DoneEngine) DoneEngine;
  decltype(&::SetRootPath) SetRootPath;
  decltype(&::SetCryptoParamValue) SetCryptoParamValue;
  decltype(&::GetPublicKeyTransferByFile) GetPublicKeyTransferByFile;
  decltype(&::SavePublicKeyFromTransfer) SavePublicKeyFromTransfer;
};

std::string Party(int i) { return "crash" + std::to_string(i); }

// The child: writes until it is killed. Never returns.
// After each finished write it sends one byte down progress.
[[noreturn]] void Writer(int progress, const std::string &dir, const std::vector<Bytes> &parties, const std::vector<Bytes> &keyStores,
                         const Library &lib, CrTelvEngine engine, const std::vector<std::string> &transfers) {
  const Provider &p = P();
  std::string pseUrl = "pse://signed/" + dir + "keys.pse", storeUrl = "file://" + dir + "store.pem";
  TelvoraOpenParams rec{};
  rec.Size = static_cast<int32_t>(sizeof rec);
  rec.PSEUrl = pseUrl.c_str();
  rec.StoreUrl = storeUrl.c_str();
  TelvoraSession s = 0;
  if (p.VCERT_InitializeEx(1, &rec, &s) != 0) _exit(3);
  const char tick = 1;
  auto done = [&] {
    if (write(progress, &tick, 1) != 1) _exit(7);
  };
  // Each round starts from Alice's key store and the first carl.cer: the
  // first import and the first save already change them.
  for (std::size_t i = 0;; ++i) {
    if (i < parties.size()) {
      TelvoraAddParams ap{};
      TelvoraBlob blob = Blob(parties[i]);
      if (p.VCERT_AddCertificate(s, &ap, &blob) != 0) _exit(4);
      done();
    }
    TelvoraExportParams ip{16, nullptr};
    TelvoraBlob keys = Blob(keyStores[(i + 1) % 2]);
    if (p.VCERT_ImportMem(s, &ip, &keys) != 0) _exit(5);
    done();
    if (lib.SavePublicKeyFromTransfer(engine, dir.c_str(), transfers[(i + 1) % 2].c_str()) != 0) _exit(6);
    done();
  }
}

TEST(CrashConsistency, KilledWritersLeaveOldOrNewFiles) {
  const World &w = W();
  for (int i = 0; i < kParties; ++i) w.Issue(Party(i), "--usage both");
  // Two certificates of one name: the transfers of both are saved as carl.cer.
  w.Issue("carl", "--usage both");
  std::filesystem::copy_file(w.Path("carl.der"), w.Path("carl1.der"));
  w.Issue("carl", "--usage both");
  const std::vector<Bytes> carl = {ReadBytes(w.Path("carl1.der")), ReadBytes(w.Path("carl.der"))};
  std::vector<Bytes> parties;
  for (int i = 0; i < kParties; ++i) parties.push_back(ReadBytes(w.Path(Party(i) + ".der")));
  const std::vector<Bytes> keyStores = {ReadBytes(w.Path("alice.pse")), ReadBytes(w.Path("bob.pse"))};
  const std::vector<Bytes> owners = {ReadBytes(w.Path("alice.der")), ReadBytes(w.Path("bob.der"))};

  // The library finds the provider in the root's EXE folder: links to the
  // very file this process loads, so that both use one provider.
  const std::string dir = w.Path("crash/");
  std::filesystem::create_directories(w.Path("croot/EXE"));
  std::filesystem::path real = std::filesystem::canonical(CPKI1_LIBRARY);
  std::filesystem::create_symlink(real, w.Path("croot/EXE/") + real.filename().string());
  std::filesystem::create_symlink(real.filename(), w.Path("croot/EXE/libcpki1.so"));
  ASSERT_NE(P().handle, nullptr);
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  CrTelvEngine engine = lib.GetCryptObj(0);
  lib.SetRootPath(engine, w.Path("croot/").c_str());
  ASSERT_EQ(lib.SetCryptoParamValue(engine, 2, w.Path("alice.pse").c_str()), 0);
  ASSERT_EQ(lib.SetCryptoParamValue(engine, 3, w.Path("store.pem").c_str()), 0);
  std::vector<std::string> transfers;
  for (const char *file : {"carl1.der", "carl.der"}) {
    std::vector<char> transfer(12288);
    ASSERT_EQ(lib.GetPublicKeyTransferByFile(engine, transfer.data(), w.Path(file).c_str()), 0);
    transfers.emplace_back(transfer.data());
  }

  std::filesystem::create_directories(dir);
  std::mt19937 random(20261208);
  // The kill comes after a random number of finished writes and a random
  // stretch of work into the next one.
  std::uniform_int_distribution<int> writes(0, 4);
  std::uniform_int_distribution<long> spin(0, 4000000);
  int added = 0, imported = 0, saved = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    // Each round starts from the full store, Alice's key store and the first carl.cer.
    std::filesystem::copy_file(w.Path("store.pem"), dir + "store.pem", std::filesystem::copy_options::overwrite_existing);
    WriteBytes(dir + "keys.pse", keyStores[0]);
    WriteBytes(dir + "carl.cer", carl[0]);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeFds[0]);
      Writer(pipeFds[1], dir, parties, keyStores, lib, engine, transfers);
    }
    close(pipeFds[1]);
    char tick = 0;
    for (int n = writes(random); n > 0; --n) ASSERT_EQ(read(pipeFds[0], &tick, 1), 1) << "the writer failed";
    std::atomic<long> work{0};
    for (long n = spin(random); n > 0; --n) work.fetch_add(1, std::memory_order_relaxed);
    ::kill(child, SIGKILL);
    close(pipeFds[0]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "the writer stopped by itself: " << WEXITSTATUS(wstatus);

    Session s(dir + "keys.pse", dir + "store.pem");
    ASSERT_NE(s.id(), 0u) << "round " << kill;
    // The certificates arrive in order: each one present means all before it.
    int present = 0;
    while (present < kParties && FindOne(s, 2, Party(present)) == parties[static_cast<std::size_t>(present)]) ++present;
    for (int i = present; i < kParties; ++i) EXPECT_TRUE(FindOne(s, 2, Party(i)).empty()) << "round " << kill;
    added = std::max(added, present);
    const Bytes owner = FindOne(s, 1, "");
    EXPECT_TRUE(owner == owners[0] || owner == owners[1]) << "round " << kill;
    imported += owner == owners[1] ? 1 : 0;
    const Bytes saved1 = ReadBytes(dir + "carl.cer");
    EXPECT_TRUE(saved1 == carl[0] || saved1 == carl[1]) << "round " << kill;
    saved += saved1 == carl[1] ? 1 : 0;
    TelvoraBlob blob = Blob(saved1);
    TelvoraCertInfo info{};
    EXPECT_EQ(P().VCERT_ParseCert(s, &blob, TELVORA_FIELD_SUBJECT, &info), 0);
    EXPECT_EQ(P().VCERT_FreeCert(s, &info), 0);
    if (HasFailure()) break;
  }
  lib.DoneEngine(engine);
  // The kills fell in every kind of write.
  EXPECT_GT(added, 0);
  EXPECT_GT(imported, 0);
  EXPECT_GT(saved, 0);
  // What killed writers leave behind: their unfinished new files (the
  // provider's "<store>.new.*", the library's "<file>.~*.tmp").
  int providerLeftovers = 0, libraryLeftovers = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    providerLeftovers += name.find(".new.") != std::string::npos;
    libraryLeftovers += name.find(".tmp") != std::string::npos;
  }
  std::printf("kills %d, certificates added up to %d, rounds ending with the new key store %d, with the new "
              "saved file %d; unfinished files left by killed writers: provider %d, library %d\n",
              kKills, added, imported, saved, providerLeftovers, libraryLeftovers);
}

}  // namespace
}  // namespace cpki1test
