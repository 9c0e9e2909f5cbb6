// File writes under failure, through the platform layer's replaceable calls:
// whatever fails, the old file stays whole and no temporary is left.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/file_text_helpers.h"
#include "test_util.h"

namespace crtelv {
namespace {

TEST(FileFailures, AFailedWriteOrRenameKeepsTheOldFile) {
  test::TempDir dir;
  const std::string file = dir.Write("cert.cer", "old content");
  struct Case {
    const char *what;
    void (*breakIt)(platform::SystemCalls &);
  } cases[] = {
      {"write", [](platform::SystemCalls &c) {
         c.createAndWriteFile = [](const std::string &, const void *, std::size_t) { return false; };
       }},
      {"rename", [](platform::SystemCalls &c) {
         c.replaceFile = [](const std::string &, const std::string &) { return false; };
       }},
  };
  for (const Case &broken : cases) {
    platform::ScopedSystemCalls restore;
    broken.breakIt(platform::Calls());
    EXPECT_FALSE(WriteWholeFile(file.c_str(), "new", 3)) << broken.what;
    EXPECT_EQ(test::ReadFileText(file), "old content") << broken.what;
    EXPECT_FALSE(platform::FileExists(file + ".new~")) << broken.what;
  }
  EXPECT_TRUE(WriteWholeFile(file.c_str(), "new", 3));
  EXPECT_EQ(test::ReadFileText(file), "new");
  EXPECT_FALSE(platform::FileExists(file + ".new~"));
}

}  // namespace
}  // namespace crtelv
