// Which environment variables the viewer does not get (os_posix.cpp,
// os_win32.cpp): any whose name speaks of a password, a secret or a token
// (CPKI1_PSE_PASSWORD above all). The provider's other settings, such as
// CPKI1_VIEWER itself, hold no secret and stay.
#ifndef CPKI1_OPENSSL_OS_ENV_H
#define CPKI1_OPENSSL_OS_ENV_H

#include <cctype>
#include <string>

namespace cpki1::os {

// entry: "NAME=value".
inline bool SecretVariable(const char *entry) {
  std::string name;
  for (const char *p = entry; *p != '\0' && (*p != '=' || p == entry); ++p) {
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  for (const char *word : {"PASSWORD", "PASSWD", "PASSPHRASE", "SECRET", "TOKEN"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace cpki1::os

#endif  // CPKI1_OPENSSL_OS_ENV_H
