#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "test_util.h"

namespace fs = std::filesystem;
using namespace crtelv;
using crtelv::test::TempDir;

#ifndef _WIN32

TEST(PlatformPaths, BackslashesAndLetterCaseResolveToTheExistingFile) {
  TempDir dir;
  std::string file = dir.Write("Keys/Local.PSE", "x");
  std::string windowsStyle = dir.Path() + "KEYS\\local.pse";
  EXPECT_EQ(platform::ResolvePath(windowsStyle), file);
  EXPECT_TRUE(platform::FileExists(windowsStyle));
  // A missing tail keeps its spelling after the matched folders.
  EXPECT_EQ(platform::ResolvePath(dir.Path() + "keys\\Missing\\X"), dir.Path() + "Keys/Missing/X");
  EXPECT_FALSE(platform::FileExists("A:\\local.pse"));
}

TEST(PlatformFiles, WriteReadLengthDelete) {
  TempDir dir;
  std::string path = dir.Path() + "data.bin";
  ASSERT_TRUE(platform::CreateNewFile(path, "hello", 5));
  int64_t length = 0;
  ASSERT_TRUE(platform::FileLength(path, length));
  EXPECT_EQ(length, 5);
  char buffer[8] = {};
  std::size_t read = 0;
  ASSERT_TRUE(platform::ReadFileStart(path, buffer, 3, read));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(std::string(buffer, 3), "hel");
  uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetFileAttributes(path, attributes));
  EXPECT_EQ(attributes & platform::kAttributeDirectory, 0u);
  EXPECT_TRUE(platform::DeleteFile(path));
  EXPECT_FALSE(platform::DeleteFile(path));
  EXPECT_FALSE(platform::FileLength(path, length));
}

// One file however it is named: another letter case, a hard link; a file
// with the same content is another one.
TEST(PlatformFiles, SameFileComparesIdentitiesNotNames) {
  TempDir dir;
  const std::string store = dir.Write("Store.cer", "x");
  const std::string copy = dir.Write("copy.cer", "x");
  fs::create_hard_link(store, dir.Path() + "alias.cer");
  EXPECT_TRUE(platform::SameFile(store, dir.Path() + "STORE.CER"));
  EXPECT_TRUE(platform::SameFile(dir.Path() + "alias.cer", store));
  EXPECT_FALSE(platform::SameFile(store, copy));
  EXPECT_FALSE(platform::SameFile(store, dir.Path() + "missing.cer"));
}

TEST(PlatformFiles, FoldersAreNotFiles) {
  TempDir dir;
  uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetFileAttributes(dir.Path(), attributes));
  EXPECT_NE(attributes & platform::kAttributeDirectory, 0u);
  int64_t length = 0;
  EXPECT_FALSE(platform::FileLength(dir.Path(), length));
  EXPECT_FALSE(platform::DeleteFile(dir.Path()));
  EXPECT_FALSE(platform::CreateNewFile(dir.Path() + "no/such/folder/x", "x", 1));
  EXPECT_FALSE(platform::GetFileAttributes("", attributes));
}

TEST(PlatformModules, FileVersionComesFromTheRealFileName) {
  TempDir dir;
  std::string real = dir.Write("libcpki1.so.3.1.150.0", "");
  fs::create_symlink(real, dir.Path() + "libcpki1.so");
  uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(platform::FileVersion(dir.Path() + "libcpki1.so", ms, ls));
  EXPECT_EQ(ms, 0x00030001u);
  EXPECT_EQ(ls, 0x00960000u);
  dir.Write("libplain.so", "");
  dir.Write("libthree.so.1.2.3", "");
  dir.Write("libbig.so.70000.0.0.0", "");
  EXPECT_FALSE(platform::FileVersion(dir.Path() + "libplain.so", ms, ls));
  EXPECT_FALSE(platform::FileVersion(dir.Path() + "libthree.so.1.2.3", ms, ls));
  EXPECT_FALSE(platform::FileVersion(dir.Path() + "libbig.so.70000.0.0.0", ms, ls));
  EXPECT_FALSE(platform::FileVersion(dir.Path() + "missing.so.1.2.3.4", ms, ls));
}

#ifdef CRTELV_PROBE_DIR
TEST(PlatformModules, DllNamesLoadTheirSharedObject) {
  std::string folder = CRTELV_PROBE_DIR;
  platform::ModuleHandle module = platform::LoadModule(folder + "PROBE.dll");
  ASSERT_NE(module, nullptr);
  auto answer = reinterpret_cast<int (*)()>(platform::FindEntryPoint(module, "probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(platform::FindEntryPoint(module, "no_such_entry"), nullptr);
  EXPECT_EQ(platform::FindLoadedModule("probe.dll"), module);
  EXPECT_EQ(platform::ModuleFileName(module), folder + "libprobe.so");
  EXPECT_EQ(platform::ModuleFileName(module, 5), folder.substr(0, 4));
  platform::FreeModule(module);
  EXPECT_EQ(platform::LoadModule(folder + "absent.dll"), nullptr);
  EXPECT_TRUE(platform::ModuleExists(folder + "Probe.DLL"));
  EXPECT_FALSE(platform::ModuleExists(folder + "absent.dll"));
}
#endif

TEST(PlatformModules, UnloadedModulesAreNotFoundAndTheHostHasAName) {
  EXPECT_EQ(platform::FindLoadedModule("Korvex.dll"), nullptr);
  std::string host = platform::ModuleFileName(nullptr);
  ASSERT_FALSE(host.empty());
  EXPECT_EQ(platform::HostExecutableFolder(), host.substr(0, host.rfind('/') + 1));
}

TEST(PlatformEnvironment, PathIsTheSearchPath) {
  std::string saved;
  bool had = platform::GetEnv("PATH", saved);
  ASSERT_TRUE(platform::SetEnv("Path", "/a:/b"));
  std::string value;
  ASSERT_TRUE(platform::GetEnv("PATH", value));
  EXPECT_EQ(value, "/a:/b");
  if (had) platform::SetEnv("PATH", saved);
  EXPECT_EQ(platform::PathListSeparator(), ':');
  EXPECT_EQ(platform::NativeFolder("C:\\R\\USER\\"), "C:/R/USER/");
  EXPECT_FALSE(platform::GetEnv("CRTELV_SURELY_UNSET_VARIABLE", value));
}

#endif  // !_WIN32

TEST(PlatformTime, FileTimesConvertToUtcCalendar) {
  platform::SystemTime t;
  ASSERT_TRUE(platform::FileTimeToSystemTime(116444736000000000ull, t));
  EXPECT_EQ(t.year, 1970);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.dayOfWeek, 4);
  // 2024-02-29 12:34:56.789 UTC
  ASSERT_TRUE(platform::FileTimeToSystemTime((1709210096ull * 10000000ull) + 7890000ull + 116444736000000000ull, t));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 12);
  EXPECT_EQ(t.minute, 34);
  EXPECT_EQ(t.second, 56);
  EXPECT_EQ(t.milliseconds, 789);
  EXPECT_FALSE(platform::FileTimeToSystemTime(0x8000000000000000ull, t));
  platform::SystemTime local = platform::LocalTime();
  EXPECT_GE(local.year, 2000);
  EXPECT_LT(local.hour, 24);
}

TEST(PlatformText, AnsiIsWindows1251) {
  std::u16string wide = platform::AnsiToWide("A\xC0\xFF\xA8\xB8\xB9");
  EXPECT_EQ(wide, std::u16string(u"A\u0410\u044F\u0401\u0451\u2116"));
  EXPECT_TRUE(platform::AnsiToWide("").empty());
}

TEST(PlatformThreads, CriticalSectionIsRecursiveAndExclusive) {
  platform::CriticalSection cs;
  cs.Enter();
  cs.Enter();  // re-entrant on the owning thread
  std::atomic<bool> entered{false};
  platform::ManualResetEvent started(false);
  std::thread other([&] {
    started.Set();
    platform::CriticalSectionGuard guard(cs);
    entered = true;
  });
  started.Wait();
  cs.Leave();
  EXPECT_FALSE(entered.load());  // still held once
  cs.Leave();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(PlatformThreads, ManualResetEventStaysSignalledUntilReset) {
  platform::ManualResetEvent event(true);
  event.Wait();
  event.Wait();
  event.Reset();
  uint32_t mainId = platform::CurrentThreadId();
  uint32_t otherId = 0;
  std::thread waiter([&] {
    event.Wait();
    otherId = platform::CurrentThreadId();
  });
  event.Set();
  waiter.join();
  EXPECT_NE(mainId, 0u);
  EXPECT_NE(otherId, 0u);
  EXPECT_NE(mainId, otherId);
}
