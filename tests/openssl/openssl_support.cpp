#include "openssl_support.h"

#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace cpki1test {

#ifdef _WIN32
// Wine starts Unix programs: the line runs in /bin/sh from a script file.
// Wine hands over neither the exit status of a Unix program nor its end (its
// process handle is signalled once it runs), so the script leaves the status
// in a file, renamed into place last, and the test waits for that file (at
// most the test case's own limit).
int ShellStatus(const std::string &line) {
  static int counter = 0;
  const std::string base = W().dir + "shell" + std::to_string(counter++);
  const std::string script = base + ".sh", status = base + ".status";
  const std::string text =
      "( " + line + " )\necho $? >" + Quote(status + ".part") + " && mv " + Quote(status + ".part") + " " + Quote(status) + "\n";
  WriteBytes(script, Bytes(text.begin(), text.end()));
  std::string command = "/bin/sh " + script;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  for (int waited = 0; !std::filesystem::exists(status) && waited < 120000; waited += 10) Sleep(10);
  Bytes out = ReadBytes(status);
  std::filesystem::remove(script);
  std::filesystem::remove(status);
  return out.empty() ? -1 : std::atoi(std::string(out.begin(), out.end()).c_str());
}
#else
int ShellStatus(const std::string &line) {
  int rc = std::system(line.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}
#endif

int Shell(const std::string &line) {
  std::string full = "( " + line + " ) >" + Quote(W().dir + "last.log") + " 2>&1";
  int rc = ShellStatus(full);
  if (rc != 0) {
    Bytes log = ReadBytes(W().dir + "last.log");
    ADD_FAILURE() << "command failed (" << rc << "): " << line << "\n" << std::string(log.begin(), log.end());
  }
  return rc;
}

Provider::Provider() {
  handle = OpenModule(CPKI1_DIAGNOSTICS);
  if (handle == nullptr) return;
#define CPKI1TEST_RESOLVE(name, type, required) name = reinterpret_cast<type>(Symbol(handle, #name));
  CPKI1_ENTRY_POINTS(CPKI1TEST_RESOLVE)
#undef CPKI1TEST_RESOLVE
  OutstandingBlocks = reinterpret_cast<int32_t (*)()>(Symbol(handle, "CPKI1_OutstandingBlocks"));
}

const Provider &P() {
  static const Provider *provider = new Provider;
  if (provider->handle == nullptr || provider->OutstandingBlocks == nullptr) {
    ADD_FAILURE() << "cannot load " << CPKI1_DIAGNOSTICS << ": " << ModuleError();
    std::abort();
  }
  return *provider;
}

Bytes Sign(TelvoraSession s, int32_t flags, const Bytes &data) {
  TelvoraSignParams sp{flags, nullptr};
  TelvoraBlob in = Blob(data), out{};
  EXPECT_EQ(P().VCERT_SignMem(s, &sp, &in, nullptr, &out), 0);
  return out.Data != nullptr ? Take(s, out) : Bytes();
}

int32_t VerifyDetached(TelvoraSession s, const Bytes &data, const Bytes &signature) {
  TelvoraVerifyParams vp{};
  vp.Flags = 3;
  vp.Fields = TELVORA_FIELD_ALL;
  TelvoraBlob in = Blob(data), sig = Blob(signature);
  TelvoraVerifyResult r{};
  int32_t st = P().VCERT_VerifyMem(s, &vp, &in, &sig, nullptr, &r);
  if (st == 0) {
    EXPECT_EQ(P().VCERT_FreeVerifyResult(s, &r), 0);
  }
  return st;
}

int32_t EncryptFor(TelvoraSession s, const std::vector<Bytes> &certs, const Bytes &data, Bytes *message) {
  std::vector<TelvoraCertInfo> records(certs.size());
  for (std::size_t i = 0; i < certs.size(); ++i) records[i].Encoded = Blob(certs[i]);
  TelvoraCryptParams cp{1, nullptr, static_cast<int32_t>(records.size()), records.data()};
  TelvoraBlob in = Blob(data), out{};
  int32_t st = P().VCERT_EncryptMem(s, &cp, &in, &out);
  if (st == 0) {
    Bytes m = Take(s, out);
    if (message != nullptr) *message = std::move(m);
  }
  return st;
}

int32_t Decrypt(TelvoraSession s, const Bytes &message, Bytes *plain) {
  TelvoraDecryptParams dp{1, nullptr, 0};
  TelvoraBlob in = Blob(message), out{};
  TelvoraCertInfo sender{};
  int32_t st = P().VCERT_DecryptMem(s, &dp, &in, &out, &sender);
  if (st == 0) {
    Bytes got = Take(s, out);
    if (plain != nullptr) *plain = std::move(got);
    EXPECT_EQ(P().VCERT_FreeDecryptResult(s, &sender), 0);
  }
  return st;
}

void World::Issue(const std::string &name, const std::string &options) const {
  Shell(Quote(tool) + " issue --ca " + Quote(dir + "ca") + " --subject " + Quote("CN=" + name + ",O=Example,C=RU") +
        " --pse " + Quote(dir + name + ".pse") + " --cert " + Quote(dir + name + ".der") + " --key-out " +
        Quote(dir + name + ".key") + " " + options);
}

namespace {
World *MakeWorld() {
  auto *w = new World;
#ifdef _WIN32
  // Under /tmp, which the Windows side reads as Z:\tmp: one path for both.
  std::string base;
  for (int i = 0;; ++i) {
    base = "/tmp/cpki1-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    if (CreateDirectoryA(base.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS || i > 1000) std::abort();
  }
#else
  std::string base = std::filesystem::temp_directory_path().string() + "/cpki1-test-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) std::abort();
#endif
  w->dir = base + "/";
  // A run may make its parties with another build of the tool: the Windows
  // suites through an emulator take the native one, whose files are the same
  // and which starts in a fraction of the time.
  const char *tool = std::getenv("CPKI1_TEST_TOOL");
  w->tool = tool != nullptr && *tool != '\0' ? tool : CPKI1_TOOL;
  return w;
}

struct Cleanup {
  ~Cleanup() {
    if (world == nullptr) return;
#ifdef _WIN32
    // The provider placed under the folder stays loaded (it is pinned) until
    // the process ends, and Windows keeps a loaded module's file: the host's
    // rm takes the folder away, as Unix lets it.
    std::string command = "/bin/rm -rf " + world->dir;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
#else
    std::filesystem::remove_all(world->dir);
#endif
  }
  World *world = nullptr;
};
Cleanup cleanup;
}  // namespace

const World &W() {
  static World *world = nullptr;
  if (world != nullptr) return *world;
  world = MakeWorld();
  cleanup.world = world;
  const World &w = *world;
  std::string store = " --store " + Quote(w.dir + "store.pem");
  Shell(Quote(w.tool) + " ca --ca " + Quote(w.dir + "ca") + " --subject 'CN=Test CA,O=Example,C=RU'");
  w.Issue("alice", "--usage both --eku 1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2 --pkup-days 30" + store);
  w.Issue("bob", "--usage both" + store);
  w.Issue("rita", "--usage both --rsa" + store);
  w.Issue("old", "--usage both --start-days -40 --days 30" + store);
  w.Issue("rev", "--usage both" + store);
  Shell(Quote(w.tool) + " revoke --ca " + Quote(w.dir + "ca") + " --cert " + Quote(w.dir + "rev.der") + store);
  return w;
}

Session::Session(const std::string &pse, const std::string &store, int32_t flags) {
  std::string pseUrl = "pse://signed/" + pse, storeUrl = "file://" + store;
  TelvoraOpenParams rec{};
  rec.Size = static_cast<int32_t>(sizeof rec);
  rec.Flags = flags;
  rec.PSEUrl = pse.empty() ? nullptr : pseUrl.c_str();
  rec.StoreUrl = store.empty() ? nullptr : storeUrl.c_str();
  EXPECT_EQ(P().VCERT_InitializeEx(1, &rec, &id_), 0) << pse << " " << store;
}

Session::~Session() {
  if (id_ != 0) {
    EXPECT_EQ(P().VCERT_Uninitialize(id_), 0);
  }
}

Bytes FindOne(TelvoraSession s, int32_t stores, const std::string &cnFilter) {
  TelvoraFindCriteria c{};
  c.Stores = stores;
  std::string filter = "CN=" + cnFilter;
  c.MatchBy = cnFilter.empty() ? 0 : TELVORA_MATCH_SUBJECT;
  c.Subject = cnFilter.empty() ? nullptr : filter.c_str();
  c.Fields = TELVORA_FIELD_ENCODED;
  TelvoraFindResult r{};
  EXPECT_EQ(P().VCERT_FindCert(s, &c, &r), 0);
  Bytes out;
  if (r.Count == 1) out.assign(r.Certs[0].Encoded.Data, r.Certs[0].Encoded.Data + r.Certs[0].Encoded.Length);
  EXPECT_EQ(P().VCERT_FreeFindResult(s, &r), 0);
  return out;
}

}  // namespace cpki1test
