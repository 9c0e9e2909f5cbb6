// The operating-system side of the open provider on Win32 (see os.h). Paths
// arrive in the ANSI code page and go to the wide (W) calls converted from it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> defines these names as macros (A/W forms); the platform layer
// and the store code use them as plain names of their own.
#undef GetFileAttributes
#undef DeleteFile
#undef FreeModule
#undef ReplaceFile

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cwchar>
#include <cstring>
#include <limits>

#include "core.h"
#include "os.h"
#include "os_env.h"
#include "platform/platform.h"

namespace cpki1::os {

namespace {

std::wstring Wide(const std::string &ansi) {
  std::u16string w = crtelv::platform::AnsiToWide(ansi);
  return std::wstring(w.begin(), w.end());
}

std::string Ansi(const wchar_t *wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
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
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

// Readers share everything, deletion and renaming included, so that a writer
// can put a new file in place while a reader still has the old one open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD Chunk(std::size_t remaining) {
  return static_cast<DWORD>(std::min<std::size_t>(remaining, 1u << 20));
}

}  // namespace

const char kFolderSeparators[] = "\\/";

bool IsAbsolute(const std::string &path) {
  if (path.empty()) return false;
  if (path[0] == '\\' || path[0] == '/') return true;
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

bool Exists(const std::string &path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::optional<std::vector<uint8_t>> ReadAll(const std::string &path, bool *missing) {
  if (missing) *missing = false;
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!h.valid()) {
    DWORD e = GetLastError();
    if (missing) *missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      GetFileType(h.get()) != FILE_TYPE_DISK) {
    return std::nullopt;
  }
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return std::nullopt;
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

bool WriteNew(const std::string &path, const uint8_t *data, std::size_t length, unsigned) {
  // CREATE_NEW: never an existing file, nor one a link points at.
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return false;
  std::size_t done = 0;
  while (done < length) {
    DWORD n = 0;
    if (!::WriteFile(h.get(), data + done, Chunk(length - done), &n, nullptr) || n == 0) return false;
    done += n;
  }
  return FlushFileBuffers(h.get()) != FALSE;
}

// Symbolic links to store files are not followed here: a store is replaced
// at the path it was named by.
std::string LinkTarget(const std::string &path) { return path; }

bool Replace(const std::string &from, const std::string &to) {
  const std::wstring f = Wide(from), t = Wide(to);
  // A reader that opened the old file without sharing deletion (another
  // program, a virus scanner) holds the replacement up for a moment.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    DWORD e = GetLastError();
    if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) return false;
    Sleep(20);
  }
  return false;
}

bool Remove(const std::string &path) { return DeleteFileW(Wide(path).c_str()) != FALSE; }

bool MakeFolder(const std::string &path) {
  const std::wstring w = Wide(path);
  if (CreateDirectoryW(w.c_str(), nullptr)) return true;
  DWORD attributes = GetFileAttributesW(w.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> FolderNames(const std::string &folder) {
  std::vector<std::string> names;
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW found{};
  HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.push_back(Ansi(found.cFileName));
    }
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}

uint32_t ProcessId() { return GetCurrentProcessId(); }

std::string CommandLineTextToUtf8(const std::string &text) {
  const std::wstring wide = Wide(text);
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool Stamp(const std::string &path, FileStamp &s) {
  Handle h(CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return false;
  s.dev = info.dwVolumeSerialNumber;
  s.ino = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  s.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const uint64_t written =
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  s.mtimeSec = static_cast<int64_t>(written / 10000000u);
  s.mtimeNsec = static_cast<int64_t>(written % 10000000u) * 100;
  return true;
}

int64_t UtcSeconds(std::tm &tm) {
  // Days from the civil date (proleptic Gregorian), without the C run-time's
  // time zone handling.
  int64_t y = static_cast<int64_t>(tm.tm_year) + 1900;
  const int64_t m = tm.tm_mon + 1;
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

ExclusiveFileLock::ExclusiveFileLock(const std::string &path) {
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return;
  OVERLAPPED at{};
  // One byte at offset 0, waited for: the lock of the whole store.
  if (!LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) return;
  handle_ = reinterpret_cast<intptr_t>(h.release());
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (handle_ == kNone) return;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED at{};
  UnlockFileEx(h, 0, 1, 0, &at);
  CloseHandle(h);
}

std::string DefaultProfilesFolder() {
  std::string appData;
  if (!crtelv::platform::GetEnv("APPDATA", appData) || appData.empty()) return std::string();
  return appData + "\\cpki1";
}

namespace {

// The process's environment without the secrets, as CreateProcessW takes it:
// "NAME=value\0" ... "\0".
std::wstring ViewerEnvironment() {
  std::wstring block;
  wchar_t *all = GetEnvironmentStringsW();
  if (all == nullptr) return block;
  for (const wchar_t *e = all; *e != L'\0'; e += std::wcslen(e) + 1) {
    std::string name;
    for (const wchar_t *p = e; *p != L'\0' && (*p != L'=' || p == e); ++p) {
      name += *p < 0x80 ? static_cast<char>(*p) : '?';
    }
    if (SecretVariable(name.c_str())) continue;
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

}  // namespace

ViewerResult RunViewer(const std::string &command, const std::string &pem) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = TempFolder();
  if (folder.empty()) return ViewerResult::kFailed;
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
      return ViewerResult::kFailed;
    }
    created = true;
    DWORD n = 0;
    written = ::WriteFile(h.get(), pem.data(), static_cast<DWORD>(pem.size()), &n, nullptr) && n == pem.size();
  }
  if (created && !written) DeleteFileW(Wide(name).c_str());
  if (!written) return ViewerResult::kFailed;
  ViewerResult result = ViewerResult::kFailed;
  // cmd.exe runs the viewer command with the file as its last argument.
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
  if (CreateProcessW(comspec.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                     env.data(), nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    // A wait that fails tells nothing of how the viewer ended: a failure.
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code) &&
        code == 0) {
      result = ViewerResult::kShown;
    }
    CloseHandle(pi.hProcess);
  }
  DeleteFileW(Wide(name).c_str());
  return result;
}

}  // namespace cpki1::os
