// File writes under failure, through the platform layer's replaceable calls:
// whatever fails, the old file stays whole and no temporary is left.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/file_io.h"
#include "test_util.h"

namespace crtelv {
namespace {

std::size_t Files(const test::TempDir &dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(dir.Path())) ++count;
  return count;
}

TEST(FileFailures, AFailedWriteOrRenameKeepsTheOldFile) {
  test::TempDir dir;
  const std::string file = dir.Write("cert.cer", "old content");
  struct Case {
    const char *what;
    void (*breakIt)(platform::SystemCalls &);
  } cases[] = {
      {"write", [](platform::SystemCalls &c) {
         c.createNewFile = [](const std::string &, const void *, std::size_t) { return false; };
       }},
      {"rename", [](platform::SystemCalls &c) {
         c.replaceFile = [](const std::string &, const std::string &) { return false; };
       }},
  };
  for (const Case &broken : cases) {
    platform::ScopedSystemCalls restore;
    broken.breakIt(platform::Calls());
    EXPECT_FALSE(ReplaceWholeFile(file.c_str(), "new", 3)) << broken.what;
    EXPECT_EQ(test::ReadFileText(file), "old content") << broken.what;
    EXPECT_EQ(Files(dir), 1u) << broken.what;
  }
  EXPECT_TRUE(ReplaceWholeFile(file.c_str(), "new", 3));
  EXPECT_EQ(test::ReadFileText(file), "new");
  EXPECT_EQ(Files(dir), 1u);
#ifndef _WIN32
  // An existing file whose name differs in letter case is the same file.
  EXPECT_TRUE(ReplaceWholeFile((dir.Path() + "CERT.CER").c_str(), "newer", 5));
  EXPECT_EQ(test::ReadFileText(file), "newer");
  EXPECT_EQ(Files(dir), 1u);
#endif
}

}  // namespace
}  // namespace crtelv
