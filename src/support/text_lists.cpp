#include "support/text_lists.h"

#include <cstring>
#include <exception>

namespace crtelv {
namespace {

char UpperAsciiChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

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
