// Files, folders, locks and process facts with the system's own rules, on
// Win32 (see native_services.h). Paths arrive in the ANSI code page and go to
// the wide (W) calls converted from it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> defines these names as macros (A/W forms); the platform layer
// uses them as plain names of its own.
#undef GetFileAttributes
#undef DeleteFile
#undef FreeModule
#undef ReplaceFile

#include <algorithm>
#include <cctype>
#include <cwchar>

#include "platform/native_services.h"
#include "platform/platform.h"
#include "platform/win32_text.h"
#include "platform/platform_native.h"

namespace crtelv::platform {
namespace {

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

DWORD Chunk(std::size_t remaining) { return static_cast<DWORD>(std::min<std::size_t>(remaining, 1u << 20)); }

}  // namespace

const char *FolderSeparators() { return "\\/"; }

bool IsAbsolutePath(const std::string &path) {
  if (path.empty()) return false;
  if (path[0] == '\\' || path[0] == '/') return true;
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

bool PathExists(const std::string &path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

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

// Symbolic links to store files are not followed here: a store is replaced
// at the path it was named by.
std::string LinkTarget(const std::string &path) { return path; }

std::string PrivateDataFolder(const std::string &name) {
  std::string appData;
  if (!GetEnv("APPDATA", appData) || appData.empty()) return std::string();
  return appData + "\\" + name;
}

bool ReadWholeRegularFile(const std::string &path, std::vector<uint8_t> &out, bool *missing) {
  if (missing) *missing = false;
  Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!h.valid()) {
    DWORD e = GetLastError();
    if (missing) *missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      GetFileType(h.get()) != FILE_TYPE_DISK) {
    return false;
  }
  out.clear();
  uint8_t buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return true;
}

bool StampOf(const std::string &path, FileStamp &s) {
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

bool NativeCreateNewFileWithMode(const std::string &path, const void *data, std::size_t length, unsigned) {
  if (path.empty() || (data == nullptr && length > 0)) return false;
  const std::wstring name = Wide(path);
  bool ok = true;
  {
    // CREATE_NEW: never an existing file, nor one a link points at.
    Handle h(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    const auto *bytes = static_cast<const uint8_t *>(data);
    std::size_t done = 0;
    while (ok && done < length) {
      DWORD n = 0;
      if (!::WriteFile(h.get(), bytes + done, Chunk(length - done), &n, nullptr) || n == 0) {
        ok = false;
      } else {
        done += n;
      }
    }
    if (ok && !FlushFileBuffers(h.get())) ok = false;
  }
  if (!ok) DeleteFileW(name.c_str());  // created by this call, so ours to remove
  return ok;
}

bool ReplaceHeldFile(const std::string &from, const std::string &to) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    if (ReplaceFile(from, to)) return true;
    DWORD e = GetLastError();
    if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) return false;
    Sleep(20);
  }
  return false;
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

}  // namespace crtelv::platform
