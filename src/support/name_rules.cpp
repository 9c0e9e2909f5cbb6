#include "support/name_rules.h"

#include "support/text_lists.h"

namespace crtelv {
namespace {

// Whether text (upper-cased) is COM or LPT followed by one digit 1-9 or a
// superscript 1-3, in Windows-1252 (B9 B2 B3) or UTF-8 (C2 B9, C2 B2, C2 B3).
bool IsNumberedPort(const std::string &text) {
  if (text.size() < 4 || (text.compare(0, 3, "COM") != 0 && text.compare(0, 3, "LPT") != 0)) return false;
  const std::string digit = text.substr(3);
  if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
  for (const char *superscript : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
    if (digit == superscript) return true;
  }
  return false;
}

}  // namespace

bool NamesNoCertificate(const std::string &uid) { return uid.empty(); }

bool AnyNamesNoCertificate(const std::vector<std::string> &uids) {
  for (const std::string &uid : uids) {
    if (NamesNoCertificate(uid)) return true;
  }
  return false;
}

bool IsReservedWindowsName(const std::string &name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
    for (char refused : {'<', '>', ':', '"', '|', '?', '*', '\\', '/'}) {
      if (c == refused) return true;
    }
  }
  // Windows reads the device in the part before the first dot, without the
  // blanks in front of that dot.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  stem = UpperAscii(stem);
  for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return true;
  }
  return IsNumberedPort(stem);
}

}  // namespace crtelv
