// ";"-separated lists, hex dumps and ASCII letter case. None throws.
#ifndef CRTELV_SUPPORT_TEXT_LISTS_H
#define CRTELV_SUPPORT_TEXT_LISTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace crtelv {

// Appends the ";"-separated pieces of text to list (empty pieces count;
// the count is the number of ";" plus one) and returns their number. A null
// or empty text adds nothing and returns 0. The list is not cleared first.
int32_t SplitSemicolonList(const char *text, std::vector<std::string> &list);

// Every byte as two upper-case hex digits, a space after every group-th
// byte, CR LF after every line-th byte.
std::string HexDump(const void *data, int32_t length, int32_t group, int32_t line);

// ASCII-only upper-casing (a-z to A-Z), as the system's path rules use it.
std::string UpperAscii(std::string text);

// Compares two texts without regard to ASCII letter case.
bool SameTextAscii(const std::string &a, const std::string &b);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_TEXT_LISTS_H
