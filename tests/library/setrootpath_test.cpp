// SetRootPath: the process root once per process, then the engine's root.
#include <gtest/gtest.h>

#include <string>

#include "cr_telv.h"
#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "support/root_path.h"

namespace crtelv {
namespace {

// Each test starts without a process root and gives back the search path it
// found.
class SetRootPathExport : public ::testing::Test {
 protected:
  void SetUp() override {
    hadPath_ = platform::GetEnv("Path", savedPath_);
    ResetRoot();
    first_ = GetCryptObj(0);
    second_ = GetCryptObj(0);
    ASSERT_NE(first_, nullptr);
    ASSERT_NE(second_, nullptr);
  }
  void TearDown() override {
    DoneEngine(first_);
    DoneEngine(second_);
    ResetRoot();
    if (hadPath_) platform::SetEnv("Path", savedPath_);
  }
  static void ResetRoot() {
    RootPathUnitDone();
    RootPathUnitInit();
  }
  static std::string RootOf(CrTelvEngine handle) { return static_cast<TCryptoEngine *>(handle)->RootPath(); }

  CrTelvEngine first_ = nullptr;
  CrTelvEngine second_ = nullptr;

 private:
  bool hadPath_ = false;
  std::string savedPath_;
};

TEST_F(SetRootPathExport, SameFolderForTwoEngines) {
  SetRootPath(first_, "C:\\X");
  SetRootPath(second_, "C:\\X\\");
  EXPECT_EQ(RootOf(first_), "C:\\X\\");
  EXPECT_EQ(RootOf(second_), "C:\\X\\");
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
  EXPECT_EQ(LibraryFolders().size(), 3u);
}

TEST_F(SetRootPathExport, ConflictingFolderLeavesTheEngineAlone) {
  SetRootPath(first_, "C:\\X");
  SetRootPath(second_, "C:\\Y");
  EXPECT_EQ(RootOf(second_), "");
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
  // Letter case counts in the comparison.
  SetRootPath(second_, "C:\\X");
  SetRootPath(second_, "c:\\x");
  EXPECT_EQ(RootOf(second_), "C:\\X\\");
  EXPECT_EQ(ProcessRoot(), "C:\\X\\");
}

TEST_F(SetRootPathExport, EngineRootCanBeSetAgainWithTheSameProcessRoot) {
  SetRootPath(first_, "C:\\X");
  static_cast<TCryptoEngine *>(first_)->AssignRootPath("D:\\Other");
  SetRootPath(first_, "C:\\X\\");
  EXPECT_EQ(RootOf(first_), "C:\\X\\");
}

TEST_F(SetRootPathExport, NullEngineSetsOnlyTheProcessRoot) {
  SetRootPath(nullptr, "C:\\Z");
  EXPECT_EQ(ProcessRoot(), "C:\\Z\\");
  EXPECT_EQ(RootOf(first_), "");
  SetRootPath(first_, "C:\\Z");
  EXPECT_EQ(RootOf(first_), "C:\\Z\\");
}

TEST_F(SetRootPathExport, PlaceholderExpandsToTheNewRoot) {
  SetRootPath(first_, "c:\\work");
  EXPECT_EQ(static_cast<TCryptoEngine *>(first_)->ExpandRootPath("%ZPKRoot%\\Keys\\a.pse"), "C:\\WORK\\KEYS\\A.PSE");
}

TEST_F(SetRootPathExport, NullOrEmptyPathIsNoRoot) {
  SetRootPath(first_, nullptr);
  SetRootPath(first_, "");
  EXPECT_EQ(RootOf(first_), "");
  EXPECT_EQ(ProcessRoot(), "");
}

}  // namespace
}  // namespace crtelv
