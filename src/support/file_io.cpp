#include "support/file_io.h"

#include <limits>
#include <random>

#include "platform/platform.h"

namespace crtelv {
namespace {

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
    // A file that replaces another is made for its owner alone and takes the
    // other's rights just before the rename; a file new to its folder gets
    // what any new file gets: 0666 less the umask on POSIX, the folder's
    // inherited rights on Windows (where files have no mode to choose).
#ifdef _WIN32
    const bool replaces = true;
#else
    const bool replaces = platform::FileExists(path);
#endif
    for (int attempt = 0; attempt < 4; ++attempt) {
      const std::string temporary = TemporaryNameBeside(path);
      const auto size = static_cast<std::size_t>(length);
      if (!(replaces ? platform::CreateNewFile(temporary, buffer, size)
                     : platform::CreateNewFileWithMode(temporary, buffer, size, 0666))) {
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

uint64_t UnixTimeToFileTime(uint32_t seconds) {
  return static_cast<uint64_t>(seconds) * 10000000ull + 116444736000000000ull;
}

}  // namespace crtelv
