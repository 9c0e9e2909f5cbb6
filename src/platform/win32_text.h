// Text between the ANSI code page and the wide calls of Win32, for the
// platform's Windows files (include after <windows.h>).
#ifndef CRTELV_PLATFORM_WIN32_TEXT_H
#define CRTELV_PLATFORM_WIN32_TEXT_H

#include <string>

#include "platform/platform.h"

namespace crtelv::platform {

inline std::wstring Wide(const std::string &ansi) {
  std::u16string w = AnsiToWide(ansi);
  return std::wstring(w.begin(), w.end());
}

inline std::string Ansi(const wchar_t *wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

}  // namespace crtelv::platform

#endif  // CRTELV_PLATFORM_WIN32_TEXT_H
