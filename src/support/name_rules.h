// Rules for names that come from hosts and counterparts: the UIDs that name
// certificates, and the file names a transfer carries.
#ifndef CRTELV_SUPPORT_NAME_RULES_H
#define CRTELV_SUPPORT_NAME_RULES_H

#include <string>
#include <vector>

namespace crtelv {

// Whether a UID (one item of a recipient list, as the list's rules leave
// it) names no certificate: an empty UID would become the filter "CN=",
// which every certificate without a CN, or with an empty one, matches.
bool NamesNoCertificate(const std::string &uid);
// Whether any item of a list names no certificate.
bool AnyNamesNoCertificate(const std::vector<std::string> &uids);

// Whether Windows would take a file name for something other than a plain
// file in the folder: a character it refuses (< > : " | ? * \ / or a byte
// below 0x20), or a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// COM1-COM9, LPT1-LPT9, and COM/LPT with a superscript 1, 2 or 3 in
// Windows-1252 or UTF-8) in any letter case, as the part before the first
// dot with the blanks before that dot dropped ("nul .cer", "COM1 .x.cer").
bool IsReservedWindowsName(const std::string &name);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_NAME_RULES_H
