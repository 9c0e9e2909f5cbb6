#include "support/dn_text.h"

#include <algorithm>

#include "support/text_lists.h"

namespace crtelv {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' '; }

// text with each byte below 0x20 written as a backslash and its hex pair.
std::string EscapedControls(const std::string &text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      result.push_back('\\');
      result.push_back(kDigits[byte >> 4]);
      result.push_back(kDigits[byte & 0x0F]);
    } else {
      result.push_back(c);
    }
  }
  return result;
}

bool SameAttribute(const DnAttribute &a, const DnAttribute &b) {
  return SameTextAscii(a.type, b.type) && a.value == b.value;
}

}  // namespace

bool ReadDnText(const std::string &dn, std::vector<DnAttribute> &attributes) {
  attributes.clear();
  std::size_t i = 0;
  const std::size_t n = dn.size();
  while (i < n && IsBlank(dn[i])) ++i;
  if (i == n) return true;
  for (;;) {
    DnAttribute attribute;
    const std::size_t start = i;
    // The type: up to the first "=", which no type holds.
    while (i < n && dn[i] != '=' && dn[i] != ',' && dn[i] != '+' && dn[i] != '\\' && dn[i] != '"') ++i;
    if (i == n || dn[i] != '=') return false;
    std::size_t typeEnd = i;
    while (typeEnd > start && IsBlank(dn[typeEnd - 1])) --typeEnd;
    if (typeEnd == start) return false;
    attribute.type = dn.substr(start, typeEnd - start);
    ++i;
    while (i < n && IsBlank(dn[i])) ++i;
    // The value: to the next unescaped separator. Blanks at its end that no
    // backslash keeps are not part of it.
    std::size_t kept = 0;  // length of value up to its last byte that is not a plain blank
    std::size_t textEnd = i;
    bool quoted = false;
    if (i < n && dn[i] == '"') {
      quoted = true;
      ++i;
    }
    while (i < n) {
      const char c = dn[i];
      if (quoted && c == '"') {
        ++i;
        quoted = false;
        kept = attribute.value.size();
        textEnd = i;
        while (i < n && IsBlank(dn[i])) ++i;
        if (i < n && dn[i] != ',' && dn[i] != '+') return false;
        break;
      }
      if (!quoted && (c == ',' || c == '+')) break;
      if (c == '\\') {
        if (i + 1 >= n) return false;
        const int high = HexDigit(dn[i + 1]);
        if (high >= 0) {
          const int low = i + 2 < n ? HexDigit(dn[i + 2]) : -1;
          if (low < 0) return false;
          attribute.value.push_back(static_cast<char>(high * 16 + low));
          i += 3;
        } else {
          attribute.value.push_back(dn[i + 1]);
          i += 2;
        }
        kept = attribute.value.size();
        textEnd = i;
        continue;
      }
      attribute.value.push_back(c);
      ++i;
      if (quoted || !IsBlank(c)) {
        kept = attribute.value.size();
        textEnd = i;
      }
    }
    if (quoted) return false;
    attribute.value.resize(kept);
    attribute.text = dn.substr(start, textEnd - start);
    attributes.push_back(std::move(attribute));
    if (i == n) return true;
    ++i;  // the separator
    while (i < n && IsBlank(dn[i])) ++i;
  }
}

bool DnAttributeValue(const std::string &dn, const std::string &type, std::string &value) {
  std::vector<DnAttribute> attributes;
  if (!ReadDnText(dn, attributes)) return false;
  for (const DnAttribute &attribute : attributes) {
    if (SameTextAscii(attribute.type, type)) {
      value = attribute.value;
      return true;
    }
  }
  return false;
}

std::string DnAttributeLines(const std::string &dn, const std::string &prefix) {
  if (dn.empty()) return {};
  std::vector<DnAttribute> attributes;
  std::string lines;
  // Each piece appended in place (see AppendLine in the report).
  const auto line = [&](const std::string &text) {
    lines.append(prefix);
    lines.append(text);
    lines.append("\r\n");
  };
  if (!ReadDnText(dn, attributes)) {
    line(EscapedControls(dn));
    return lines;
  }
  for (const DnAttribute &attribute : attributes) line(EscapedControls(attribute.text));
  return lines;
}

bool HoldsControlByte(const std::string &value) {
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

bool SameDnText(const std::string &a, const std::string &b) {
  std::vector<DnAttribute> first;
  std::vector<DnAttribute> second;
  if (!ReadDnText(a, first) || !ReadDnText(b, second)) return false;
  if (first.empty() || first.size() != second.size()) return false;
  if (std::equal(first.begin(), first.end(), second.begin(), SameAttribute)) return true;
  return std::equal(first.begin(), first.end(), second.rbegin(), SameAttribute);
}

}  // namespace crtelv
