#include "support/file_text_helpers.h"

#include <cstring>
#include <limits>
#include <new>
#include <random>

#include "platform/platform.h"

namespace crtelv {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char UpperAsciiChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// 64 bits from the system's random source as 16 hex digits. Throws when the
// source fails.
std::string UnpredictableToken() {
  static const char kDigits[] = "0123456789abcdef";
  std::random_device source;
  uint64_t value = (static_cast<uint64_t>(source()) << 32) ^ source();
  std::string token(16, '0');
  for (char &digit : token) {
    digit = kDigits[value & 0xF];
    value >>= 4;
  }
  return token;
}

// A new name in the folder of path, "~<16 hex digits>.tmp": short, so that
// any name the system takes for the target leaves room for it.
std::string TemporaryNameBeside(const std::string &path) {
#ifdef _WIN32
  const std::size_t cut = path.find_last_of("\\/:");
#else
  const std::size_t cut = path.find_last_of("\\/");
#endif
  const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  return folder + "~" + UnpredictableToken() + ".tmp";
}

}  // namespace

bool IsDirectory(const std::string &path) {
  uint32_t attributes = 0;
  if (!platform::GetFileAttributes(path, attributes)) return false;
  return (attributes & platform::kAttributeDirectory) != 0;
}

bool EndsWithPathSeparator(const std::string &path) { return !path.empty() && IsPathSeparator(path.back()); }

std::string WithTrailingSeparator(const std::string &path) {
  if (path.empty() || EndsWithPathSeparator(path)) return path;
  return path + "\\";
}

std::string WithoutTrailingSeparator(const std::string &path) {
  return EndsWithPathSeparator(path) ? path.substr(0, path.size() - 1) : path;
}

std::string AddPathDelimiter(const std::string &path) {
  if (path.size() == 1 && IsAsciiLetter(path[0])) return path + ":\\";
  return WithTrailingSeparator(path);
}

bool ReadWholeFile(const char *fileName, void *buffer, int32_t &size) {
  if (fileName == nullptr || size < 0) return false;
  try {
    const std::string path = platform::ResolvePath(fileName);
    int64_t length = 0;
    if (!platform::FileLength(path, length) || length < 0 || length > size) return false;
    if (length > 0 && buffer == nullptr) return false;
    std::size_t read = 0;
    const auto wanted = static_cast<std::size_t>(length);
    if (wanted > 0 && (!platform::ReadFileStart(path, buffer, wanted, read) || read != wanted))
      return false;
    size = static_cast<int32_t>(length);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

bool ReplaceWholeFile(const char *fileName, const void *buffer, int32_t length) {
  if (fileName == nullptr || fileName[0] == '\0' || length < 0 || (length > 0 && buffer == nullptr)) return false;
  try {
    // The target as it exists (any letter case), so that it is replaced,
    // not doubled; the new content goes to a file of an unpredictable name
    // beside it, which nobody can have planted a link or a file at.
    const std::string path = platform::ResolvePath(fileName);
    for (int attempt = 0; attempt < 4; ++attempt) {
      const std::string temporary = TemporaryNameBeside(path);
      if (!platform::CreateNewFile(temporary, buffer, static_cast<std::size_t>(length))) {
        if (platform::FileExists(temporary)) continue;  // the name was taken: draw another
        return false;
      }
      if (platform::ReplaceFile(temporary, path)) return true;
      // The rename may have happened before its flush failed: then the
      // temporary is gone and the new content is in place, but unconfirmed.
      platform::DeleteFile(temporary);
      return false;
    }
    return false;
  } catch (const std::exception &) {
    return false;
  }
}

int32_t FileSizePlusOne(const char *fileName) {
  if (fileName == nullptr) return 0;
  try {
    int64_t length = 0;
    if (!platform::FileLength(platform::ResolvePath(fileName), length) || length < 0) return 0;
    // A length that leaves no room for the terminating zero in 32 bits is
    // reported like a file that cannot be opened.
    if (length >= std::numeric_limits<int32_t>::max()) return 0;
    return static_cast<int32_t>(length) + 1;
  } catch (const std::exception &) {
    return 0;
  }
}

int32_t SplitSemicolonList(const char *text, std::vector<std::string> &list) {
  if (text == nullptr || *text == '\0') return 0;
  int32_t count = 0;
  try {
    const char *start = text;
    for (;;) {
      const char *end = std::strchr(start, ';');
      if (end == nullptr) {
        list.emplace_back(start);
        return count + 1;
      }
      list.emplace_back(start, end);
      ++count;
      start = end + 1;
    }
  } catch (const std::exception &) {
    return count;  // the pieces appended so far
  }
}

std::string HexDump(const void *data, int32_t length, int32_t group, int32_t line) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string result;
  if (data == nullptr || length <= 0) return result;
  const auto *bytes = static_cast<const uint8_t *>(data);
  try {
    result.reserve(static_cast<std::size_t>(length) * 3);
    for (int32_t i = 1; i <= length; ++i) {
      const uint8_t b = bytes[i - 1];
      result.push_back(kDigits[b >> 4]);
      result.push_back(kDigits[b & 0x0F]);
      if (group > 0 && i % group == 0) result.push_back(' ');
      if (line > 0 && i % line == 0) result.append("\r\n");
    }
  } catch (const std::exception &) {
    return std::string();
  }
  return result;
}

uint64_t UnixTimeToFileTime(uint32_t seconds) {
  return static_cast<uint64_t>(seconds) * 10000000ull + 116444736000000000ull;
}

std::string UpperAscii(std::string text) {
  for (char &c : text) c = UpperAsciiChar(c);
  return text;
}

bool SameTextAscii(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAsciiChar(a[i]) != UpperAsciiChar(b[i])) return false;
  return true;
}

}  // namespace crtelv
