// The platform layer on Win32: the services keep the Windows calls' own
// semantics (case-insensitive names, ';' lists, version resources).
#ifdef _WIN32

#include <gtest/gtest.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Names of the platform interface that <windows.h> makes macros of.
#undef GetFileAttributes
#undef DeleteFile
#undef FreeModule
#undef ReplaceFile

#include <string>

#include "platform/platform.h"
#include "test_util.h"

using namespace crtelv;
using crtelv::test::TempDir;

namespace {

// The probe modules are built beside the test program.
std::string ProbePath(const std::string &name) { return platform::HostExecutableFolder() + name; }

}  // namespace

TEST(Win32Modules, LoadFindNameAndFree) {
  const std::string path = ProbePath("vprobe.dll");
  platform::ModuleHandle module = platform::LoadModule(path);
  ASSERT_NE(module, nullptr);
  auto answer = reinterpret_cast<int (*)()>(platform::FindEntryPoint(module, "probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(platform::FindEntryPoint(module, "no_such_entry"), nullptr);
  EXPECT_EQ(platform::FindEntryPoint(nullptr, "probe_answer"), nullptr);
  // Module names are matched without regard to letter case.
  EXPECT_EQ(platform::FindLoadedModule("VPROBE.DLL"), module);
  EXPECT_EQ(platform::ModuleFileName(module), path);
  // Cut to the buffer as GetModuleFileNameA cuts it.
  EXPECT_EQ(platform::ModuleFileName(module, 5), path.substr(0, 4));
  EXPECT_EQ(platform::ModuleFileName(module, 0), "");
  platform::FreeModule(module);
  EXPECT_EQ(platform::FindLoadedModule("vprobe.dll"), nullptr);
  platform::FreeModule(nullptr);
  EXPECT_EQ(platform::LoadModule(ProbePath("absent.dll")), nullptr);
}

TEST(Win32Modules, HostFolderEndsWithASeparatorAndHoldsTheProgram) {
  const std::string host = platform::ModuleFileName(nullptr);
  const std::string folder = platform::HostExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '\\');
  EXPECT_EQ(host.substr(0, folder.size()), folder);
  EXPECT_EQ(host.find('\\', folder.size()), std::string::npos);
}

TEST(Win32Modules, FileVersionComesFromTheVersionResource) {
  uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(platform::FileVersion(ProbePath("vprobe.dll"), ms, ls));
  EXPECT_EQ(ms, 0x00030001u);
  EXPECT_EQ(ls, 0x00960002u);
  // The test program has no version resource.
  EXPECT_FALSE(platform::FileVersion(platform::ModuleFileName(nullptr), ms, ls));
  EXPECT_FALSE(platform::FileVersion(ProbePath("absent.dll"), ms, ls));
}

TEST(Win32Environment, NamesIgnoreCaseAndListsUseSemicolons) {
  std::string saved;
  const bool had = platform::GetEnv("Path", saved);
  ASSERT_TRUE(had);
  ASSERT_TRUE(platform::SetEnv("Path", "C:\\A\\;C:\\B\\"));
  std::string value;
  ASSERT_TRUE(platform::GetEnv("PATH", value));
  EXPECT_EQ(value, "C:\\A\\;C:\\B\\");
  ASSERT_TRUE(platform::SetEnv("Path", saved));
  EXPECT_EQ(platform::PathListSeparator(), ';');
  EXPECT_EQ(platform::NativeFolder("C:\\R\\USER\\"), "C:\\R\\USER\\");

  ASSERT_TRUE(platform::SetEnv("CRTELV_EMPTY_VALUE", ""));
  value = "x";
  ASSERT_TRUE(platform::GetEnv("crtelv_empty_value", value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(platform::GetEnv("CRTELV_SURELY_UNSET_VARIABLE", value));
  // A long value is read whole.
  const std::string long_value(5000, 'v');
  ASSERT_TRUE(platform::SetEnv("CRTELV_LONG_VALUE", long_value));
  ASSERT_TRUE(platform::GetEnv("CRTELV_LONG_VALUE", value));
  EXPECT_EQ(value, long_value);
}

TEST(Win32Files, PathsAreUsedAsWritten) {
  EXPECT_EQ(platform::ResolvePath("C:\\X\\y.PSE"), "C:\\X\\y.PSE");
  TempDir dir;
  const std::string path = dir.Path() + "Data.bin";
  ASSERT_TRUE(platform::CreateNewFile(path, "hello", 5));
  // Windows file names ignore letter case.
  EXPECT_TRUE(platform::FileExists(dir.Path() + "DATA.BIN"));
  // A new file of that name exists already; replacing it in one step works.
  EXPECT_FALSE(platform::CreateNewFile(path, "hi", 2));
  ASSERT_TRUE(platform::CreateNewFile(path + ".new", "hi", 2));
  ASSERT_TRUE(platform::ReplaceFile(path + ".new", path));
  int64_t length = 0;
  ASSERT_TRUE(platform::FileLength(path, length));
  EXPECT_EQ(length, 2);
  char buffer[8] = {};
  std::size_t read = 0;
  ASSERT_TRUE(platform::ReadFileStart(path, buffer, sizeof(buffer), read));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer, read), "hi");
  uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetFileAttributes(dir.Path(), attributes));
  EXPECT_NE(attributes & platform::kAttributeDirectory, 0u);
  EXPECT_FALSE(platform::FileLength(dir.Path(), length));
  EXPECT_FALSE(platform::DeleteFile(dir.Path()));
  EXPECT_TRUE(platform::DeleteFile(path));
  EXPECT_FALSE(platform::DeleteFile(path));
  EXPECT_FALSE(platform::ReadFileStart(path, buffer, sizeof(buffer), read));
  EXPECT_FALSE(platform::CreateNewFile(dir.Path() + "no\\such\\folder\\x", "x", 1));
}

// The 8.3 short name of a file is the same file.
TEST(Win32Files, SameFileKnowsShortNames) {
  TempDir dir;
  const std::string store = dir.Write("Store of keys.cer", "x");
  const std::string other = dir.Write("Store of certs.cer", "x");
  char shortName[MAX_PATH] = {0};
  if (GetShortPathNameA(store.c_str(), shortName, MAX_PATH) == 0 || store == shortName) {
    GTEST_SKIP() << "the volume keeps no short names";
  }
  EXPECT_TRUE(platform::SameFile(shortName, store));
  EXPECT_FALSE(platform::SameFile(shortName, other));
}

#endif  // _WIN32
