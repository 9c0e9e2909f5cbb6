// Which environment variables the viewer inherits (see native_services.h):
// an allow-list of what a program needs to run and to show a window, less
// any name that speaks of a password, a secret or a token.
#include <cctype>
#include <string>

#include "platform/native_services.h"

namespace crtelv::platform {
namespace {

#ifdef _WIN32
constexpr bool kNamesIgnoreCase = true;
#else
constexpr bool kNamesIgnoreCase = false;
#endif

std::string Upper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool Same(std::string_view a, std::string_view b) { return kNamesIgnoreCase ? Upper(a) == Upper(b) : a == b; }

bool StartsWith(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() && Same(name.substr(0, prefix.size()), prefix);
}

}  // namespace

bool ViewerInherits(std::string_view entry) {
  // "NAME=value"; Windows keeps per-drive folders as "=C:=C:\...": a name
  // never starts with its own '='.
  const std::size_t equals = entry.find('=', 1);
  const std::string_view name = entry.substr(0, equals);
  if (name.empty()) return false;
  const std::string upper = Upper(name);
  for (const char *word : {"PASSWORD", "PASSWD", "PASSPHRASE", "SECRET", "TOKEN"}) {
    if (upper.find(word) != std::string::npos) return false;
  }
  for (const char *allowed : {"PATH", "HOME", "USER", "LANG", "TMP", "TMPDIR", "TEMP", "DISPLAY", "WAYLAND_DISPLAY",
                              "SystemRoot", "windir", "CPKI1_VIEWER"}) {
    if (Same(name, allowed)) return true;
  }
  for (const char *prefix : {"LC_", "XDG_"}) {
    if (StartsWith(name, prefix)) return true;
  }
  return false;
}

}  // namespace crtelv::platform
