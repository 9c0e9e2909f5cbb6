// Writers killed at random moments: a child process writes, over and over,
// through the open provider's stores (certificates into the certificate
// store, newer CRLs into it, key stores imported into the key store) and
// through the library's
// SavePublicKeyFromTransfer, and is killed with SIGKILL (TerminateProcess)
// after a random delay, a few hundred times (a dozen under Wine, where a
// process takes long to start). After each kill every file is the old or the
// new one, never a torn one, and the provider opens it.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <random>

#include "library.h"
#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int kParties = 4;     // certificates the child adds to the store, in order
#ifdef _WIN32
constexpr int kKills = 12;
#else
constexpr int kKills = 200;
#endif

std::string Party(int i) { return "crash" + std::to_string(i); }

// The DER form of a PEM block's base64 text (other characters skipped).
Bytes FromPem(const std::string &block) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t head = block.find('\n');
  const std::size_t tail = block.rfind("-----END");
  Bytes out;
  uint32_t bits = 0;
  int count = 0;
  for (std::size_t i = head; i < tail; ++i) {
    const std::size_t v = alphabet.find(block[i]);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

// The CRLs of a PEM store, each in DER.
std::vector<Bytes> Crls(const Bytes &store) {
  const std::string text(store.begin(), store.end()), begin = "-----BEGIN X509 CRL-----",
                                                     end = "-----END X509 CRL-----";
  std::vector<Bytes> blocks;
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const std::size_t stop = text.find(end, at);
    blocks.push_back(FromPem(text.substr(at, stop == std::string::npos ? std::string::npos : stop + end.size() - at)));
  }
  return blocks;
}

// The child: writes until it is killed. Never returns.
// After each finished write it sends one byte down progress.
[[noreturn]] void Writer(int progress, const std::string &dir, const std::vector<Bytes> &parties,
                         const std::vector<Bytes> &crls, const std::vector<Bytes> &keyStores,
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
    if (i < crls.size()) {
      TelvoraAddParams ap{};
      TelvoraBlob blob = Blob(crls[i]);
      if (p.VCERT_AddCRL(s, &ap, &blob) != 0) _exit(8);
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

// The library with the provider placed in the root's EXE folder, and an
// engine on Alice's stores; the transfers of both carl certificates.
struct LibrarySide {
  explicit LibrarySide(const std::string &worldDir) {
    if (lib.handle == nullptr) return;
    engine = lib.GetCryptObj(0);
    lib.SetRootPath(engine, (worldDir + "croot/").c_str());
    ok = engine != nullptr && lib.SetCryptoParamValue(engine, 2, (worldDir + "alice.pse").c_str()) == 0 &&
         lib.SetCryptoParamValue(engine, 3, (worldDir + "store.pem").c_str()) == 0;
    for (const char *file : {"carl1.der", "carl.der"}) {
      std::vector<char> transfer(12288);
      ok = ok && lib.GetPublicKeyTransferByFile(engine, transfer.data(), (worldDir + file).c_str()) == 0;
      transfers.emplace_back(transfer.data());
    }
  }
  Library lib;
  CrTelvEngine engine = nullptr;
  std::vector<std::string> transfers;
  bool ok = false;
};

#ifdef _WIN32
// Windows has no fork: the writer is this program again, running only the
// test below, which reads what it writes from the files the parent made.
constexpr char kChildWorld[] = "CPKI1_CRASH_WORLD", kChildPipe[] = "CPKI1_CRASH_PIPE";

TEST(CrashConsistency, WriterChild) {
  const char *world = std::getenv(kChildWorld), *pipeHandle = std::getenv(kChildPipe);
  if (world == nullptr || world[0] == '\0' || pipeHandle == nullptr) GTEST_SKIP() << "only as the writer of the test below";
  const std::string w = world;
  std::vector<Bytes> parties, crls;
  for (int i = 0; i < kParties; ++i) parties.push_back(ReadBytes(w + Party(i) + ".der"));
  for (int day = 1; day <= 2; ++day) crls.push_back(ReadBytes(w + "crl" + std::to_string(day) + ".der"));
  const std::vector<Bytes> keyStores = {ReadBytes(w + "alice.pse"), ReadBytes(w + "bob.pse")};
  LibrarySide side(w);
  if (!side.ok) _exit(9);
  const int progress = _open_osfhandle(static_cast<intptr_t>(std::strtoull(pipeHandle, nullptr, 10)), _O_WRONLY);
  Writer(progress, w + "crash/", parties, crls, keyStores, side.lib, side.engine, side.transfers);
}

// A writer process and the pipe it reports on.
class Child {
 public:
  explicit Child(const std::string &worldDir) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&read_, &write, &sa, 0)) return;
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    SetVar(kChildWorld, worldDir);
    SetVar(kChildPipe, std::to_string(reinterpret_cast<uintptr_t>(write)));
    char self[MAX_PATH + 1];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = "\"" + std::string(self) + "\" --gtest_filter=CrashConsistency.WriterChild";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      process_ = pi.hProcess;
    }
    UnsetVar(kChildWorld);
    UnsetVar(kChildPipe);
    CloseHandle(write);
  }
  ~Child() {
    if (process_ != nullptr) CloseHandle(process_);
    if (read_ != nullptr) CloseHandle(read_);
  }
  bool Started() const { return process_ != nullptr; }
  bool Tick() {
    char tick = 0;
    DWORD n = 0;
    return ReadFile(read_, &tick, 1, &n, nullptr) && n == 1;
  }
  // Kills the writer; true when it was still writing (not ended by itself).
  bool Kill() {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code == 99;
  }

 private:
  HANDLE process_ = nullptr, read_ = nullptr;
};
#else
class Child {
 public:
  Child(const std::string &dir, const std::vector<Bytes> &parties, const std::vector<Bytes> &crls,
        const std::vector<Bytes> &keyStores, LibrarySide &side) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(pipeFds[0]);
      Writer(pipeFds[1], dir, parties, crls, keyStores, side.lib, side.engine, side.transfers);
    }
    close(pipeFds[1]);
    read_ = pipeFds[0];
  }
  ~Child() {
    if (read_ >= 0) close(read_);
  }
  bool Started() const { return pid_ > 0; }
  bool Tick() {
    char tick = 0;
    return read(read_, &tick, 1) == 1;
  }
  bool Kill() {
    ::kill(pid_, SIGKILL);
    int wstatus = 0;
    return waitpid(pid_, &wstatus, 0) == pid_ && WIFSIGNALED(wstatus);
  }

 private:
  pid_t pid_ = -1;
  int read_ = -1;
};
#endif

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
  // The store's CRL and two later ones (dated now: the provider refuses CRLs
  // from the future), which the child adds in order.
  std::vector<Bytes> crls = Crls(ReadBytes(w.Path("store.pem")));
  ASSERT_EQ(crls.size(), 1u);
  for (int day = 1; day <= 2; ++day) {
    const std::string name = w.Path("crl" + std::to_string(day) + ".der");
    ASSERT_EQ(Shell(Quote(w.tool) + " crl --ca " + Quote(w.Path("ca")) + " --crl " + Quote(name)), 0);
    crls.push_back(ReadBytes(name));
  }
  const std::vector<Bytes> newCrls(crls.begin() + 1, crls.end());

  // The library finds the provider in the root's EXE folder: links to the
  // very file this process loads, so that both use one provider.
  const std::string dir = w.Path("crash/");
  // (On Windows a copy: the provider is then loaded twice, from two files.)
  std::filesystem::create_directories(w.Path("croot/EXE"));
#ifdef _WIN32
  PlaceProvider(std::filesystem::canonical(CPKI1_DIAGNOSTICS), w.Path("croot/EXE"));
#else
  std::filesystem::path real = std::filesystem::canonical(CPKI1_DIAGNOSTICS);
  std::filesystem::create_symlink(real, w.Path("croot/EXE/") + real.filename().string());
  std::filesystem::create_symlink(real.filename(), w.Path("croot/EXE/libcpki1.so"));
#endif
  ASSERT_NE(P().handle, nullptr);
  LibrarySide side(w.dir);
  ASSERT_NE(side.lib.handle, nullptr) << ModuleError();
  ASSERT_TRUE(side.ok);
  CrTelvEngine engine = side.engine;

  std::filesystem::create_directories(dir);
  std::mt19937 random(20261208);
  // The kill comes after a random number of finished writes and a random
  // stretch of work into the next one.
  std::uniform_int_distribution<int> writes(0, 4);
  std::uniform_int_distribution<long> spin(0, 4000000);
  int added = 0, newestCrl = 0, imported = 0, saved = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    // Each round starts from the full store, Alice's key store and the first carl.cer.
    WriteBytes(dir + "store.pem", ReadBytes(w.Path("store.pem")));
    WriteBytes(dir + "keys.pse", keyStores[0]);
    WriteBytes(dir + "carl.cer", carl[0]);
#ifdef _WIN32
    Child child(w.dir);
#else
    Child child(dir, parties, newCrls, keyStores, side);
#endif
    ASSERT_TRUE(child.Started());
    bool ticked = true;
    for (int n = writes(random); n > 0 && ticked; --n) ticked = child.Tick();
    std::atomic<long> work{0};
    for (long n = spin(random); n > 0; --n) work.fetch_add(1, std::memory_order_relaxed);
    ASSERT_TRUE(child.Kill()) << "the writer stopped by itself";
    ASSERT_TRUE(ticked) << "the writer failed";

    Session s(dir + "keys.pse", dir + "store.pem");
    ASSERT_NE(s.id(), 0u) << "round " << kill;
    // The certificates arrive in order: each one present means all before it.
    int present = 0;
    while (present < kParties && FindOne(s, 2, Party(present)) == parties[static_cast<std::size_t>(present)]) ++present;
    for (int i = present; i < kParties; ++i) EXPECT_TRUE(FindOne(s, 2, Party(i)).empty()) << "round " << kill;
    added = std::max(added, present);
    const std::vector<Bytes> storeCrls = Crls(ReadBytes(dir + "store.pem"));
    ASSERT_EQ(storeCrls.size(), 1u) << "round " << kill;
    const auto crl = std::find(crls.begin(), crls.end(), storeCrls[0]);
    ASSERT_NE(crl, crls.end()) << "round " << kill;
    newestCrl = std::max(newestCrl, static_cast<int>(crl - crls.begin()));
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
  side.lib.DoneEngine(engine);
  // What killed writers leave behind: their unfinished new files (the
  // provider's "<store>.new.*", the library's "<file>.~*.tmp").
  auto leftovers = [&dir](const char *mark) {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
      count += entry.path().filename().string().find(mark) != std::string::npos;
    return count;
  };
  const int providerLeftovers = leftovers(".new."), libraryLeftovers = leftovers(".tmp");
  // The next write of each store takes away what killed writers left of it
  // (and only that).
  WriteBytes(dir + "store.pem", ReadBytes(w.Path("store.pem")));
  WriteBytes(dir + "store.pem.new.4242.7", Bytes{1});
  WriteBytes(dir + "keys.pse.new.4242.8", Bytes{2});
  WriteBytes(dir + "store.pem.new.notes", Bytes{3});
  {
    Session s(dir + "keys.pse", dir + "store.pem");
    TelvoraExportParams ip{16, nullptr};
    TelvoraBlob keys = Blob(keyStores[0]);
    EXPECT_EQ(P().VCERT_ImportMem(s, &ip, &keys), 0);
    TelvoraAddParams ap{};
    TelvoraBlob blob = Blob(crls.back());
    EXPECT_EQ(P().VCERT_AddCRL(s, &ap, &blob), 0);
  }
  EXPECT_EQ(leftovers(".new."), 1);
  EXPECT_TRUE(std::filesystem::exists(dir + "store.pem.new.notes"));
  // The kills fell in every kind of write.
  EXPECT_GT(added, 0);
  EXPECT_GT(newestCrl, 0);
  EXPECT_GT(imported, 0);
  EXPECT_GT(saved, 0);
  std::printf("kills %d, certificates added up to %d, CRLs up to %d, rounds ending with the new key store %d, with the new "
              "saved file %d; unfinished files left by killed writers: provider %d, library %d\n",
              kKills, added, newestCrl, imported, saved, providerLeftovers, libraryLeftovers);
}

}  // namespace
}  // namespace cpki1test
