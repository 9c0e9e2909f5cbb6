// Folder separators and trailing delimiters of paths, as the system's path
// rules use them. None expands "%ZPKRoot%": callers expand paths first.
#ifndef CRTELV_SUPPORT_PATHS_H
#define CRTELV_SUPPORT_PATHS_H

#include <string>

namespace crtelv {

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

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_PATHS_H
