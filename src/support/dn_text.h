// Reading a distinguished name as text (most specific attribute first, as
// the provider writes issuer and subject): "CN=Bob\, Jr.,OU=CN=x,O=Example".
//
// Attributes end at an unescaped "," or "+" only. A backslash escape ("\,",
// "\=", "\\", ...) or a hex pair ("\2C") belongs to the value, a quoted value
// keeps its separators, and "=" inside a value is data: the attribute
// "OU=CN=x" is an OU whose value is "CN=x", never a CN.
#ifndef CRTELV_SUPPORT_DN_TEXT_H
#define CRTELV_SUPPORT_DN_TEXT_H

#include <string>
#include <vector>

namespace crtelv {

struct DnAttribute {
  std::string type;   // as written, without surrounding blanks
  std::string value;  // unescaped
  std::string text;   // "type=value" as written (escapes kept), without surrounding blanks
};

// Splits dn into its attributes in written order. False, with attributes
// holding what was read before, for a text that is not a distinguished name
// (an attribute without "=" or without a type, a lone backslash, a bad hex
// pair, an open quote). An empty text is read as no attributes.
bool ReadDnText(const std::string &dn, std::vector<DnAttribute> &attributes);

// The unescaped value of the first (most specific) attribute of that type,
// compared without letter case. False when the text cannot be read or has no
// such attribute.
bool DnAttributeValue(const std::string &dn, const std::string &type, std::string &value);

// One line per attribute, "<prefix><type>=<value as written>" followed by
// CR LF. A text that cannot be read gives one line holding all of it; an
// empty text gives nothing. A byte below 0x20 that the text holds unescaped
// is written as its hex pair ("\0D"), so that no line carries a line break.
std::string DnAttributeLines(const std::string &dn, const std::string &prefix);

// Whether a value holds a byte below 0x20 (a zero, CR, LF or another
// control byte), which no name that identifies a party may hold.
bool HoldsControlByte(const std::string &value);

// Whether two distinguished names are the same: both readable, with as many
// attributes, pairwise of the same type (letter case ignored) and the same
// unescaped value, in the same order or both read from opposite ends (a
// name written least specific first).
bool SameDnText(const std::string &a, const std::string &b);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_DN_TEXT_H
