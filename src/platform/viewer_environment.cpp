// Which environment variables the viewer does not get (see
// native_services.h): any whose name speaks of a password, a secret or a
// token (CPKI1_PSE_PASSWORD above all). The provider's other settings, such
// as CPKI1_VIEWER itself, hold no secret and stay.
#include <cctype>
#include <string>

#include "platform/native_services.h"

namespace crtelv::platform {

bool ViewerInherits(std::string_view entry) {
  // "NAME=value"; Windows keeps per-drive folders as "=C:=C:\...": a name
  // never starts with its own '='.
  const std::size_t equals = entry.find('=', 1);
  std::string name;
  for (char c : entry.substr(0, equals)) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char *word : {"PASSWORD", "PASSWD", "PASSPHRASE", "SECRET", "TOKEN"}) {
    if (name.find(word) != std::string::npos) return false;
  }
  return true;
}

}  // namespace crtelv::platform
