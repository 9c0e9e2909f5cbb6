#include "support/root_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/failure.h"
#include "support/paths.h"
#include "test_util.h"

namespace crtelv {
namespace {

// Each test starts with the unit as at library load and the process search
// path as it was; the root can be set only once per unit lifetime.
class RootPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hadPath_ = platform::GetEnv("Path", savedPath_);
    RootPathUnitDone();
    RootPathUnitInit();
  }
  void TearDown() override {
    RootPathUnitDone();
    RootPathUnitInit();
#ifdef _WIN32
    platform::SetEnv("Path", savedPath_);
#else
    if (hadPath_)
      platform::SetEnv("Path", savedPath_);
    else
      ::unsetenv("PATH");
#endif
  }
  static std::string SearchPath() {
    std::string value;
    return platform::GetEnv("Path", value) ? value : std::string("<unset>");
  }
  // The temporary folder without its trailing separator, as a host passes it.
  static std::string RootOf(const test::TempDir &dir) {
    return dir.Path().substr(0, dir.Path().size() - 1);
  }

 private:
  bool hadPath_ = false;
  std::string savedPath_;
};

// The file on disk behind a module name "X.dll" (on POSIX "libX.so").
std::string ModuleFile(const std::string &name) {
#ifdef _WIN32
  return name;
#else
  return "lib" + name.substr(0, name.size() - 4) + ".so";
#endif
}

// A module file beside the test executable for the lifetime of the object.
class ModuleBesideHost {
 public:
  explicit ModuleBesideHost(const std::string &name)
      : name_(platform::HostExecutableFolder() + name),
        file_(platform::HostExecutableFolder() + ModuleFile(name)) {
    std::ofstream(file_) << "x";
  }
  ~ModuleBesideHost() { std::remove(file_.c_str()); }
  ModuleBesideHost(const ModuleBesideHost &) = delete;
  ModuleBesideHost &operator=(const ModuleBesideHost &) = delete;
  // The name under which the search reports it.
  const std::string &Name() const { return name_; }

 private:
  std::string name_;
  std::string file_;
};

TEST_F(RootPathTest, RootGetsTrailingBackslashAndThreeFolders) {
  EXPECT_EQ(ProcessRoot(), "");
  EXPECT_TRUE(LibraryFolders().empty());
  SetProcessRoot("C:\\X");
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
  EXPECT_EQ(LibraryFolders(), (std::vector<std::string>{"C:\\X\\EXE\\", "C:\\X\\SYSTEM\\", "C:\\X\\USER\\"}));
}

TEST_F(RootPathTest, SameFolderAgainChangesNothing) {
  SetProcessRoot("C:\\X");
  const std::string path = SearchPath();
  EXPECT_NO_THROW(SetProcessRoot("C:\\X\\"));
  EXPECT_NO_THROW(SetProcessRoot("C:\\X"));
  EXPECT_EQ(SearchPath(), path);
  EXPECT_EQ(LibraryFolders().size(), 3u);
}

#ifndef _WIN32
// A POSIX folder may end in "/": it is the same folder with or without it.
TEST_F(RootPathTest, SlashEndsAFolderOnPosix) {
  SetProcessRoot("/opt/x/");
  EXPECT_EQ(ProcessRoot(), "/opt/x/");
  EXPECT_EQ(LibraryFolders().front(), "/opt/x/EXE\\");
  EXPECT_NO_THROW(SetProcessRoot("/opt/x"));
  EXPECT_NO_THROW(SetProcessRoot("/opt/x\\"));
  EXPECT_THROW(SetProcessRoot("/opt/y/"), Exception);
  EXPECT_EQ(AddPathDelimiter("/opt/x/"), "/opt/x/");
}
#endif

TEST_F(RootPathTest, DifferentFolderFailsWithMessageAndChangesNothing) {
  SetProcessRoot("C:\\X");
  const std::string path = SearchPath();
  try {
    SetProcessRoot("c:\\x");
    FAIL() << "no failure raised";
  } catch (const Exception &failure) {
    EXPECT_EQ(failure.Message(), "Could not set ZPKRoot to 'c:\\x'. Already set to 'C:\\X\\'.");
  }
  EXPECT_THROW(SetProcessRoot("C:\\Y\\"), Exception);
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
  EXPECT_EQ(SearchPath(), path);
  EXPECT_EQ(LibraryFolders().size(), 3u);
}

TEST_F(RootPathTest, EmptyRootIsIgnored) {
  platform::SetEnv("Path", "keep");
  SetProcessRoot("");
  EXPECT_EQ(ProcessRoot(), "");
  EXPECT_TRUE(LibraryFolders().empty());
  EXPECT_EQ(SearchPath(), "keep");
  SetProcessRoot("C:\\X");
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
}

#ifdef _WIN32
TEST_F(RootPathTest, SearchPathStartsWithUserSystemExe) {
  platform::SetEnv("Path", "");
  SetProcessRoot("C:\\R");
  EXPECT_EQ(SearchPath(), "C:\\R\\USER\\;C:\\R\\SYSTEM\\;C:\\R\\EXE\\");
}
#else
TEST_F(RootPathTest, SearchPathStartsWithUserSystemExeInNativeForm) {
  ::unsetenv("PATH");
  SetProcessRoot("C:\\R");
  EXPECT_EQ(SearchPath(), "C:/R/USER/:C:/R/SYSTEM/:C:/R/EXE/");
  const char *raw = std::getenv("PATH");
  ASSERT_NE(raw, nullptr);
  EXPECT_STREQ(raw, "C:/R/USER/:C:/R/SYSTEM/:C:/R/EXE/");
}

TEST_F(RootPathTest, SearchPathKeepsFormerValueLast) {
  platform::SetEnv("Path", "/usr/bin:/bin");
  SetProcessRoot("/opt/zpk");
  EXPECT_EQ(SearchPath(), "/opt/zpk/USER/:/opt/zpk/SYSTEM/:/opt/zpk/EXE/:/usr/bin:/bin");
}
#endif

TEST_F(RootPathTest, HostFolderComesBeforeRootFolders) {
  test::TempDir root;
  const std::string name = "crtelv_probe_first.dll";
  root.Write("EXE/" + ModuleFile(name), "x");
  SetProcessRoot(RootOf(root));
  {
    ModuleBesideHost beside(name);
    EXPECT_EQ(FindLibraryFile(name), beside.Name());
  }
  EXPECT_EQ(FindLibraryFile(name), RootOf(root) + "\\EXE\\" + name);
}

TEST_F(RootPathTest, RootFoldersAreSearchedInOrder) {
  test::TempDir root;
  const std::string name = "crtelv_probe_order.dll";
  root.Write("USER/" + ModuleFile(name), "x");
  SetProcessRoot(RootOf(root));
  EXPECT_EQ(FindLibraryFile(name), RootOf(root) + "\\USER\\" + name);
  root.Write("SYSTEM/" + ModuleFile(name), "x");
  EXPECT_EQ(FindLibraryFile(name), RootOf(root) + "\\SYSTEM\\" + name);
  EXPECT_EQ(FindLibraryFile("crtelv_probe_missing.dll"), "crtelv_probe_missing.dll");
}

TEST_F(RootPathTest, BeforeRootIsSetOnlyHostFolderIsSearched) {
  test::TempDir root;
  const std::string name = "crtelv_probe_unset.dll";
  root.Write("EXE/" + ModuleFile(name), "x");
  EXPECT_EQ(FindLibraryFile(name), name);
  ModuleBesideHost beside(name);
  EXPECT_EQ(FindLibraryFile(name), beside.Name());
}

TEST_F(RootPathTest, NameWithFolderPartIsUnchanged) {
  test::TempDir root;
  const std::string name = "crtelv_probe_folder.dll";
  root.Write("EXE/" + ModuleFile(name), "x");
  SetProcessRoot(RootOf(root));
  EXPECT_EQ(FindLibraryFile("sub\\" + name), "sub\\" + name);
  EXPECT_EQ(FindLibraryFile("/nowhere/" + name), "/nowhere/" + name);
  EXPECT_EQ(FindLibraryFile("D:" + name), "D:" + name);
}

TEST_F(RootPathTest, MissingLibraryDoesNotLoad) {
  EXPECT_EQ(LoadLibrarySearched("crtelv_probe_missing.dll"), nullptr);
  EXPECT_EQ(LoadLibrarySearched("/nowhere/crtelv_probe_missing.dll"), nullptr);
}

#ifndef _WIN32
TEST_F(RootPathTest, PosixModuleFileFoundWithoutRegardToCase) {
  test::TempDir root;
  root.Write("exe/libcrtelv_probe_case.so", "x");
  root.Write("exe/crtelv_probe_plain.dll", "x");  // not what the loader would open
  SetProcessRoot(RootOf(root));
  EXPECT_EQ(FindLibraryFile("crtelv_probe_case.dll"), RootOf(root) + "\\EXE\\crtelv_probe_case.dll");
  EXPECT_EQ(FindLibraryFile("CRTELV_PROBE_CASE.DLL"), RootOf(root) + "\\EXE\\CRTELV_PROBE_CASE.DLL");
  EXPECT_EQ(FindLibraryFile("crtelv_probe_plain.dll"), "crtelv_probe_plain.dll");
}
#endif

}  // namespace
}  // namespace crtelv
