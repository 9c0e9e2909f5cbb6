#include "support/file_io.h"
#include "support/paths.h"
#include "support/text_lists.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace crtelv {
namespace {

using test::ReadFileText;
using test::TempDir;

TEST(AddPathDelimiterTest, AppendsBackslashOrDriveSuffix) {
  EXPECT_EQ(AddPathDelimiter("c"), "c:\\");
  EXPECT_EQ(AddPathDelimiter("Z"), "Z:\\");
  EXPECT_EQ(AddPathDelimiter("c:"), "c:\\");
  EXPECT_EQ(AddPathDelimiter("C:\\"), "C:\\");
  EXPECT_EQ(AddPathDelimiter(""), "");
  EXPECT_EQ(AddPathDelimiter("ab"), "ab\\");
  EXPECT_EQ(AddPathDelimiter("1"), "1\\");
  EXPECT_EQ(AddPathDelimiter("/tmp/x"), "/tmp/x\\");
}

TEST(IsDirectoryTest, TellsFoldersFromFilesAndMissingPaths) {
  TempDir dir;
  const std::string file = dir.Write("sub/file.txt", "x");
  EXPECT_TRUE(IsDirectory(dir.Path()));
  EXPECT_TRUE(IsDirectory(dir.Path() + "sub"));
  EXPECT_FALSE(IsDirectory(file));
  EXPECT_FALSE(IsDirectory(dir.Path() + "missing"));
  EXPECT_FALSE(IsDirectory(""));
}

class WholeFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(WholeFileTest, ReadsFileThatFitsExactly) {
  const std::string content(4096, 'q');
  const std::string path = dir_.Write("full.bin", content);
  std::vector<char> buffer(4096, 0);
  int32_t size = 4096;
  ASSERT_TRUE(ReadWholeFile(path.c_str(), buffer.data(), size));
  EXPECT_EQ(size, 4096);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content);
}

TEST_F(WholeFileTest, LongerFileLeavesSizeAndBufferAlone) {
  const std::string path = dir_.Write("full.bin", std::string(4096, 'q'));
  std::vector<char> buffer(4096, 'z');
  int32_t size = 4095;
  EXPECT_FALSE(ReadWholeFile(path.c_str(), buffer.data(), size));
  EXPECT_EQ(size, 4095);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(4096, 'z'));
}

TEST_F(WholeFileTest, ReadSetsSizeToShorterLength) {
  const std::string path = dir_.Write("short.txt", "hello");
  char buffer[16] = {};
  int32_t size = sizeof buffer;
  ASSERT_TRUE(ReadWholeFile(path.c_str(), buffer, size));
  EXPECT_EQ(size, 5);
  EXPECT_STREQ(buffer, "hello");
}

TEST_F(WholeFileTest, ReadRefusesUnusableArguments) {
  const std::string path = dir_.Write("short.txt", "hello");
  const std::string empty = dir_.Write("empty.txt", "");
  char buffer[8] = {};
  int32_t size = 8;
  EXPECT_FALSE(ReadWholeFile((dir_.Path() + "missing").c_str(), buffer, size));
  EXPECT_FALSE(ReadWholeFile(nullptr, buffer, size));
  EXPECT_FALSE(ReadWholeFile(path.c_str(), nullptr, size));
  EXPECT_EQ(size, 8);
  size = -1;
  EXPECT_FALSE(ReadWholeFile(empty.c_str(), buffer, size));
  EXPECT_EQ(size, -1);
  size = 0;
  EXPECT_TRUE(ReadWholeFile(empty.c_str(), nullptr, size));
  EXPECT_EQ(size, 0);
}

TEST_F(WholeFileTest, WriteReplacesExistingContent) {
  const std::string path = dir_.Write("out.bin", "old content that is longer");
  ASSERT_TRUE(ReplaceWholeFile(path.c_str(), "new", 3));
  EXPECT_EQ(ReadFileText(path), "new");
  ASSERT_TRUE(ReplaceWholeFile(path.c_str(), nullptr, 0));
  EXPECT_EQ(ReadFileText(path), "");
}

TEST_F(WholeFileTest, WriteRefusesUnusableArguments) {
  const std::string path = dir_.Path() + "never.bin";
  EXPECT_FALSE(ReplaceWholeFile(nullptr, "x", 1));
  EXPECT_FALSE(ReplaceWholeFile(path.c_str(), "x", -1));
  EXPECT_FALSE(ReplaceWholeFile(path.c_str(), nullptr, 1));
  EXPECT_FALSE(ReplaceWholeFile((dir_.Path() + "no/such/folder/x.bin").c_str(), "x", 1));
  EXPECT_EQ(FileSizePlusOne(path.c_str()), 0);
}

TEST_F(WholeFileTest, FileSizePlusOneLeavesRoomForZero) {
  EXPECT_EQ(FileSizePlusOne(dir_.Write("empty.txt", "").c_str()), 1);
  EXPECT_EQ(FileSizePlusOne(dir_.Write("five.txt", "12345").c_str()), 6);
  EXPECT_EQ(FileSizePlusOne((dir_.Path() + "missing").c_str()), 0);
  EXPECT_EQ(FileSizePlusOne(nullptr), 0);
}

#ifndef _WIN32
TEST_F(WholeFileTest, AcceptsBackslashesAndOtherLetterCase) {
  dir_.Write("Keys/Data.TXT", "abc");
  const std::string windowsStyle = dir_.Path() + "KEYS\\DATA.txt";
  char buffer[4] = {};
  int32_t size = 4;
  ASSERT_TRUE(ReadWholeFile(windowsStyle.c_str(), buffer, size));
  EXPECT_EQ(size, 3);
  EXPECT_EQ(FileSizePlusOne(windowsStyle.c_str()), 4);
  EXPECT_TRUE(IsDirectory(dir_.Path() + "keys"));
  ASSERT_TRUE(ReplaceWholeFile(windowsStyle.c_str(), "xy", 2));
  EXPECT_EQ(ReadFileText(dir_.Path() + "Keys/Data.TXT"), "xy");
}
#endif

std::vector<std::string> Split(const char *text, int32_t &count) {
  std::vector<std::string> list;
  count = SplitSemicolonList(text, list);
  return list;
}

TEST(SplitSemicolonListTest, EmptyPiecesCount) {
  int32_t count = 0;
  EXPECT_EQ(Split(";", count), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Split("a;;b", count), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(Split("a;", count), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Split(" a ", count), (std::vector<std::string>{" a "}));
  EXPECT_EQ(count, 1);
}

TEST(SplitSemicolonListTest, NullOrEmptyAddsNothing) {
  std::vector<std::string> list{"kept"};
  EXPECT_EQ(SplitSemicolonList(nullptr, list), 0);
  EXPECT_EQ(SplitSemicolonList("", list), 0);
  EXPECT_EQ(SplitSemicolonList("x;y", list), 2);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "x", "y"}));
}

TEST(HexDumpTest, GroupsAndLines) {
  const uint8_t bytes[] = {0x00, 0xAB, 0x5F};
  EXPECT_EQ(HexDump(bytes, 2, 1, 2), "00 AB \r\n");
  EXPECT_EQ(HexDump(bytes, 3, 255, 255), "00AB5F");
  EXPECT_EQ(HexDump(bytes, 3, 2, 1), "00\r\nAB \r\n5F\r\n");
}

TEST(HexDumpTest, UnusableArgumentsGiveNoSeparatorsOrNothing) {
  const uint8_t bytes[] = {0x01, 0x02};
  EXPECT_EQ(HexDump(bytes, 2, 0, 0), "0102");
  EXPECT_EQ(HexDump(bytes, 2, -1, -3), "0102");
  EXPECT_EQ(HexDump(bytes, 0, 1, 1), "");
  EXPECT_EQ(HexDump(bytes, -5, 1, 1), "");
  EXPECT_EQ(HexDump(nullptr, 2, 1, 1), "");
}

TEST(UnixTimeToFileTimeTest, CountsFrom1601) {
  EXPECT_EQ(UnixTimeToFileTime(0), 116444736000000000ull);
  EXPECT_EQ(UnixTimeToFileTime(1), 116444736010000000ull);
  EXPECT_EQ(UnixTimeToFileTime(0xFFFFFFFFu), 116444736000000000ull + 0xFFFFFFFFull * 10000000ull);
}

TEST(AsciiCaseTest, OnlyAsciiLettersChange) {
  EXPECT_EQ(UpperAscii("abc-XYZ_09\xE0"), "ABC-XYZ_09\xE0");
  EXPECT_TRUE(SameTextAscii("NoLdap", "NOLDAP"));
  EXPECT_FALSE(SameTextAscii("\xE0", "\xC0"));
  EXPECT_FALSE(SameTextAscii("ab", "abc"));
}

}  // namespace
}  // namespace crtelv
