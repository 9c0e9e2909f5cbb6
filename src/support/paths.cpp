#include "support/paths.h"

namespace crtelv {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

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

}  // namespace crtelv
