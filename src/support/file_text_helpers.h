// Small stateless file, list and conversion helpers shared by the engine,
// the provider binding and the provider engine. None expands "%ZPKRoot%":
// callers expand paths first. None throws.
#ifndef CRTELV_SUPPORT_FILE_TEXT_HELPERS_H
#define CRTELV_SUPPORT_FILE_TEXT_HELPERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace crtelv {

// True when the attributes of path can be read and include the directory bit.
bool IsDirectory(const std::string &path);

// Whether c separates folders: "\" on every port, and "/" on POSIX.
constexpr bool IsPathSeparator(char c) {
#ifdef _WIN32
  return c == '\\';
#else
  return c == '\\' || c == '/';
#endif
}

// Whether path ends in a folder separator.
bool EndsWithPathSeparator(const std::string &path);

// path with "\" appended unless it is empty or already ends in a separator.
std::string WithTrailingSeparator(const std::string &path);

// path without one trailing separator (when it has one).
std::string WithoutTrailingSeparator(const std::string &path);

// WithTrailingSeparator, but a lone letter A-Z (either case) becomes a drive
// ("c" gives "c:\").
std::string AddPathDelimiter(const std::string &path);

// Reads the whole file into buffer when its length is at most size; then
// size := the length and true. A longer file, or any failure to open or read,
// gives false and leaves size and buffer unchanged.
bool ReadWholeFile(const char *fileName, void *buffer, int32_t &size);

// Writes length bytes as the whole file, replacing an existing one (of any
// letter case on POSIX) in one step; every whole-file write of the library
// goes through here. The data goes to a new file beside the target, of a
// short unpredictable name ("~<16 hex digits>.tmp", whatever the target's
// length), created exclusively, readable by its owner alone and never through
// a link, and flushed to the disk; then that file takes the target's rights
// and is renamed over the target, so a link at the target is replaced, never
// written through. On failure, or a crash at any moment, the old file stays
// whole and no temporary file is left by a failure. True on success.
bool ReplaceWholeFile(const char *fileName, const void *buffer, int32_t length);

// Length of the file plus one; 0 when the file cannot be opened.
int32_t FileSizePlusOne(const char *fileName);

// Appends the ";"-separated pieces of text to list (empty pieces count;
// the count is the number of ";" plus one) and returns their number. A null
// or empty text adds nothing and returns 0. The list is not cleared first.
int32_t SplitSemicolonList(const char *text, std::vector<std::string> &list);

// Every byte as two upper-case hex digits, a space after every group-th
// byte, CR LF after every line-th byte.
std::string HexDump(const void *data, int32_t length, int32_t group, int32_t line);

// Seconds since 1970-01-01 UTC as 100-nanosecond ticks since 1601-01-01.
uint64_t UnixTimeToFileTime(uint32_t seconds);

// ASCII-only upper-casing (a-z to A-Z), as the system's path rules use it.
std::string UpperAscii(std::string text);

// Compares two texts without regard to ASCII letter case.
bool SameTextAscii(const std::string &a, const std::string &b);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_FILE_TEXT_HELPERS_H
