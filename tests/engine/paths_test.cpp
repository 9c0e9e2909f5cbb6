// Root-path expansion, folders, signed-data files and the addition sizes.
#include <algorithm>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace crtelv {
namespace {

using test::ReadFileText;
using test::TempDir;

TEST(ExpandRootPath, ReplacesALeadingPlaceholderAndUpperCases) {
  TCryptoEngine engine;
  engine.AssignRootPath("c:\\r\\");
  EXPECT_EQ(engine.ExpandRootPath("%ZPKROOT%x.txt"), "C:\\R\\X.TXT");
  EXPECT_EQ(engine.ExpandRootPath("%zpkroot%\\Keys\\a.pse"), "C:\\R\\KEYS\\A.PSE");
  EXPECT_EQ(engine.ExpandRootPath("%ZPKRoot%"), "C:\\R\\");
  // Only one backslash after the placeholder goes.
  EXPECT_EQ(engine.ExpandRootPath("%ZPKRoot%\\\\x"), "C:\\R\\\\X");
}

TEST(ExpandRootPath, LeavesOtherPathsAlone) {
  TCryptoEngine engine;
  engine.AssignRootPath("c:\\r\\");
  EXPECT_EQ(engine.ExpandRootPath("d:\\%ZPKRoot%\\x"), "d:\\%ZPKRoot%\\x");
  EXPECT_EQ(engine.ExpandRootPath("%ZPKRoo"), "%ZPKRoo");
  EXPECT_EQ(engine.ExpandRootPath("c:\\Data\\file.txt"), "c:\\Data\\file.txt");
  EXPECT_EQ(engine.ExpandRootPath(""), "");
  // Letters beyond ASCII keep their bytes.
  EXPECT_EQ(engine.ExpandRootPath("%ZPKRoot%\xe0\xe1z"), "C:\\R\\\xe0\xe1Z");
}

TEST(ExpandRootPath, WithoutARootThePlaceholderIsDropped) {
  TCryptoEngine engine;
  EXPECT_EQ(engine.ExpandRootPath("%ZPKRoot%\\Keys"), "KEYS");
}

TEST(ExpandFolderPath, AddsTheSeparator) {
  TCryptoEngine engine;
  EXPECT_EQ(engine.ExpandFolderPath("C"), "C:\\");
  EXPECT_EQ(engine.ExpandFolderPath("c"), "c:\\");
  EXPECT_EQ(engine.ExpandFolderPath("c:\\data"), "c:\\data\\");
  EXPECT_EQ(engine.ExpandFolderPath("c:\\data\\"), "c:\\data\\");
  EXPECT_EQ(engine.ExpandFolderPath(""), "");
  engine.AssignRootPath("c:\\r");
  EXPECT_EQ(engine.ExpandFolderPath("%ZPKRoot%out"), "C:\\R\\OUT\\");
}

TEST(EngineFolders, RootAndRemoteGenerationPathsEndInABackslash) {
  TCryptoEngine engine;
  engine.AssignRootPath("C:\\X");
  EXPECT_EQ(engine.RootPath(), "C:\\X\\");
  engine.AssignRootPath("C:\\X\\");
  EXPECT_EQ(engine.RootPath(), "C:\\X\\");
  engine.SetRemoteGeneratePath("%ZPKRoot%gen");
  EXPECT_EQ(engine.RemoteGeneratePath(), "C:\\X\\GEN\\");
  // A single letter is not a drive here: only a backslash is added.
  engine.SetRemoteGeneratePath("d");
  EXPECT_EQ(engine.RemoteGeneratePath(), "d\\");
  engine.SetRemoteGeneratePath("");
  EXPECT_EQ(engine.RemoteGeneratePath(), "");
  engine.AssignRootPath("");
  EXPECT_EQ(engine.RootPath(), "");
}

class SignedDataFile : public ::testing::Test {
 protected:
  TempDir dir;
  TCryptoEngine engine;
  std::string File(const char *name) const { return dir.Path() + name; }
};

TEST_F(SignedDataFile, DataFollowedBySignature) {
  const std::string path = File("signed.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("data", 4, "SIG", 3, path.c_str()), kOk);
  EXPECT_EQ(ReadFileText(path), "dataSIG");
}

TEST_F(SignedDataFile, DataAloneWhenThereIsNoSignature) {
  const std::string path = File("data.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, nullptr, 0, path.c_str()), kOk);
  EXPECT_EQ(ReadFileText(path), "abc");
}

TEST_F(SignedDataFile, ReplacesALongerFile) {
  const std::string path = dir.Write("old.bin", std::string(100, 'o'));
  EXPECT_EQ(engine.SaveSignedDataToFile("new", 3, "!", 1, path.c_str()), kOk);
  EXPECT_EQ(ReadFileText(path), "new!");
}

TEST_F(SignedDataFile, MissingSignatureBytesAreZero) {
  const std::string path = File("zero.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, nullptr, 2, path.c_str()), kOk);
  EXPECT_EQ(ReadFileText(path), std::string("abc\0\0", 5));
}

TEST_F(SignedDataFile, NothingToWriteIsNoError) {
  const std::string path = File("none.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 0, "s", 1, path.c_str()), kOk);
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", -4, "s", 1, path.c_str()), kOk);
  EXPECT_EQ(engine.SaveSignedDataToFile(nullptr, 3, "s", 1, path.c_str()), kOk);
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "s", -1, path.c_str()), kOk);
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "s", 1, nullptr), kOk);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(SignedDataFile, UnwritablePathIsAWriteFailure) {
  const std::string path = File("missing/folder/out.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "s", 1, path.c_str()), kSaveWrite);
  // A folder cannot be replaced by the file.
  fs::create_directory(File("taken"));
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "s", 1, File("taken").c_str()), kSaveWrite);
}

#ifndef _WIN32
// A write cut short keeps the old file whole and answers the write failure;
// links planted at the target and at any name a writer might pick beside it
// are replaced or left alone, never written through.
TEST_F(SignedDataFile, ACutWriteKeepsTheOldFileAndLinksAreNeverFollowed) {
  const std::string path = dir.Write("signed.bin", "old content");
  {
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*savedSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t result = engine.SaveSignedDataToFile("new data", 8, "SIG", 3, path.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    EXPECT_EQ(result, kSaveWrite);
  }
  EXPECT_EQ(ReadFileText(path), "old content");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

  TempDir outside;
  const std::string victim = outside.Write("victim", "outside");
  fs::remove(path);
  fs::create_symlink(victim, path);
  for (int n = 0; n < 64; ++n)
    fs::create_symlink(outside.Path() + "planted" + std::to_string(n),
                       path + ".~" + std::to_string(platform::CurrentThreadId()) + "-" + std::to_string(n) + ".tmp");
  EXPECT_EQ(engine.SaveSignedDataToFile("data", 4, "SIG", 3, path.c_str()), kOk);
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(ReadFileText(path), "dataSIG");
  EXPECT_EQ(ReadFileText(victim), "outside");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.Path()), fs::directory_iterator()), 1);
}
#endif

// A rewrite keeps the rights the host gave the file, a new file gets the
// usual ones, and any name the system takes can be written.
TEST_F(SignedDataFile, KeepsTheFilesRightsAndTakesNamesOfAnyLength) {
#ifdef _WIN32
  // Windows takes whole paths of under MAX_PATH (260) characters.
  const std::size_t room = std::min<std::size_t>(250, 259 - dir.Path().size());
#else
  const std::size_t room = 250;
#endif
  const std::string longName = dir.Path() + std::string(room, 'n');
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "d", 1, longName.c_str()), kOk);
  EXPECT_EQ(ReadFileText(longName), "abcd");
#ifndef _WIN32
  const std::string secret = dir.Write("secret.bin", "old");
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  const mode_t saved = ::umask(027);
  const int32_t rewrite = engine.SaveSignedDataToFile("new", 3, nullptr, 0, secret.c_str());
  const int32_t create = engine.SaveSignedDataToFile("new", 3, nullptr, 0, File("fresh.bin").c_str());
  ::umask(saved);
  ASSERT_EQ(rewrite, kOk);
  ASSERT_EQ(create, kOk);
  EXPECT_EQ(ReadFileText(secret), "new");
  EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(File("fresh.bin")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
}

TEST_F(SignedDataFile, SizesBeyondThirtyTwoBitsAreRefused) {
  // The length check comes before any byte is read.
  const std::string path = File("huge.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("a", 0x7fffffff, "s", 0x7fffffff, path.c_str()), kSaveNoMemory);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(SignedDataFile, FileNameGoesThroughTheRoot) {
  engine.AssignRootPath(dir.Path());
  EXPECT_EQ(engine.SaveSignedDataToFile("abc", 3, "d", 1, "%ZPKRoot%out.bin"), kOk);
  // The expanded name is upper-cased; the file system finds the folder
  // whatever its case, and the new file carries the expanded spelling.
  fs::path written;
  for (const auto &entry : fs::directory_iterator(dir.Path())) written = entry.path();
  EXPECT_EQ(written.filename().string(), "OUT.BIN");
  EXPECT_EQ(ReadFileText(written.string()), "abcd");
}

TEST(MaxAdditionEx, OneAdditionPerRecipient) {
  TCryptoEngine engine;
  EXPECT_EQ(engine.GetMaxAdditionEx(nullptr), 255);
  EXPECT_EQ(engine.GetMaxAdditionEx(""), 255);
  EXPECT_EQ(engine.GetMaxAdditionEx("A"), 255);
  EXPECT_EQ(engine.GetMaxAdditionEx("A;B"), 510);
  EXPECT_EQ(engine.GetMaxAdditionEx("A;B;"), 765);
  EXPECT_EQ(engine.GetMaxAdditionEx(";"), 510);
}

}  // namespace
}  // namespace crtelv
