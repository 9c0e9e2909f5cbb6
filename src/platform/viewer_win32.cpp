// Running the certificate viewer on Win32 (see native_services.h): cmd.exe
// runs the command with the file as its last argument, with the allowed
// environment and no inherited handles.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetFileAttributes
#undef DeleteFile
#undef FreeModule
#undef ReplaceFile

#include <atomic>
#include <cwchar>

#include "platform/native_services.h"
#include "platform/platform.h"
#include "platform/win32_text.h"

namespace crtelv::platform {
namespace {

// The allowed part of the process's environment, as CreateProcessW takes
// it: "NAME=value\0" ... "\0".
std::wstring ViewerEnvironment() {
  std::wstring block;
  wchar_t *all = GetEnvironmentStringsW();
  if (all == nullptr) return block;
  for (const wchar_t *e = all; *e != L'\0'; e += std::wcslen(e) + 1) {
    std::string name;
    for (const wchar_t *p = e; *p != L'\0' && (*p != L'=' || p == e); ++p) {
      name += *p < 0x80 ? static_cast<char>(*p) : '?';
    }
    if (!ViewerInherits(name)) continue;
    block.append(e);
    block.push_back(L'\0');
  }
  FreeEnvironmentStringsW(all);
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

std::string TempFolder() {
  wchar_t buf[MAX_PATH + 2];
  DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) return std::string();
  return Ansi(buf);
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

bool RunViewer(const std::string &command, const std::string &text) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = TempFolder();
  if (folder.empty()) return false;
  std::string name;
  bool created = false, written = false;
  // A name nobody has: CREATE_NEW fails on an existing one, so try the next.
  for (int attempt = 0; attempt < 100 && !created; ++attempt) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    name = folder + "cpki1-cert-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(static_cast<uint64_t>(now.QuadPart) & 0xFFFFFF) + ".pem";
    Handle h(CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY,
                         nullptr));
    if (!h.valid()) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    created = true;
    DWORD n = 0;
    written = ::WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
  }
  if (created && !written) DeleteFileW(Wide(name).c_str());
  if (!written) return false;
  bool shown = false;
  std::wstring comspec = L"C:\\Windows\\System32\\cmd.exe";
  {
    wchar_t buf[MAX_PATH + 1];
    DWORD n = GetSystemDirectoryW(buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) comspec = std::wstring(buf) + L"\\cmd.exe";
  }
  std::wstring line = L"\"" + comspec + L"\" /d /s /c \"" + Wide(command) + L" \"" + Wide(name) + L"\"\"";
  std::wstring env = ViewerEnvironment();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // bInheritHandles FALSE: the viewer gets none of the host's handles.
  if (CreateProcessW(comspec.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                     env.data(), nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    // A wait that fails tells nothing of how the viewer ended: a failure.
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code) &&
        code == 0) {
      shown = true;
    }
    CloseHandle(pi.hProcess);
  }
  DeleteFileW(Wide(name).c_str());
  return shown;
}

}  // namespace crtelv::platform
