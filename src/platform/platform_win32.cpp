// The platform layer on the Win32 API: every service is the Windows call of
// the same name, with the Windows semantics the rest of the library expects.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> defines these names as macros (A/W forms, FreeLibrary); the
// platform interface uses them as plain names of its own.
#undef GetFileAttributes
#undef DeleteFile
#undef FreeModule

#include "platform/platform.h"
#include "platform/platform_native.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace crtelv::platform {

namespace {

// Owns a kernel file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

FileHandle OpenForReading(const std::string &path) {
  return FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The largest count one ReadFile/WriteFile call takes.
constexpr std::size_t kMaxChunk = std::numeric_limits<DWORD>::max();

DWORD ChunkOf(std::size_t remaining) {
  return static_cast<DWORD>(remaining < kMaxChunk ? remaining : kMaxChunk);
}

SystemTime FromWin(const SYSTEMTIME &st) {
  SystemTime out;
  out.year = st.wYear;
  out.month = st.wMonth;
  out.dayOfWeek = st.wDayOfWeek;
  out.day = st.wDay;
  out.hour = st.wHour;
  out.minute = st.wMinute;
  out.second = st.wSecond;
  out.milliseconds = st.wMilliseconds;
  return out;
}

}  // namespace

// ---- Modules -------------------------------------------------------------

ModuleHandle NativeLoadModule(const std::string &name) {
  // The provider search tries folders that may lie on removable or missing
  // drives: the system must answer "not found", never ask the user.
  DWORD previous = 0;
  const bool changed = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous) != FALSE;
  HMODULE module = LoadLibraryA(name.c_str());
  if (changed) {
    const DWORD error = GetLastError();
    SetThreadErrorMode(previous, nullptr);
    SetLastError(error);
  }
  return reinterpret_cast<ModuleHandle>(module);
}

bool ModuleExists(const std::string &path) { return FileExists(path); }

void NativeFreeModule(ModuleHandle module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

void *NativeFindEntryPoint(ModuleHandle module, const char *name) {
  if (module == nullptr || name == nullptr) return nullptr;
  FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
  void *address = nullptr;
  static_assert(sizeof(address) == sizeof(proc), "code and data pointers differ in size");
  std::memcpy(&address, &proc, sizeof(address));
  return address;
}

ModuleHandle FindLoadedModule(const std::string &name) {
  return reinterpret_cast<ModuleHandle>(GetModuleHandleA(name.c_str()));
}

std::string ModuleFileName(ModuleHandle module, std::size_t capacity) {
  if (capacity == 0) return std::string();
  const DWORD size = capacity > kMaxChunk ? static_cast<DWORD>(kMaxChunk) : static_cast<DWORD>(capacity);
  std::vector<char> buffer(size + 1, '\0');
  DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module), buffer.data(), size);
  if (length == 0) return std::string();
  // A name that did not fit is cut to the buffer (older systems leave it
  // without a terminator): keep at most capacity - 1 characters.
  if (length >= size) length = size - 1;
  return std::string(buffer.data(), length);
}

bool FileVersion(const std::string &path, uint32_t &ms, uint32_t &ls) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return false;
  void *value = nullptr;
  UINT valueLength = 0;
  char root[] = "\\";
  if (!VerQueryValueA(data.data(), root, &value, &valueLength) || value == nullptr ||
      valueLength < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof(info));
  if (info.dwSignature != 0xFEEF04BD) return false;
  ms = info.dwFileVersionMS;
  ls = info.dwFileVersionLS;
  return true;
}

// ---- Environment ---------------------------------------------------------

bool GetEnv(const std::string &name, std::string &value) {
  // The value may change between the size query and the read: retry.
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (needed == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value.clear();
      return true;
    }
    std::vector<char> buffer(needed, '\0');
    const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), needed);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (length < needed) {
      value.assign(buffer.data(), length);
      return true;
    }
  }
}

bool SetEnv(const std::string &name, const std::string &value) {
  return SetEnvironmentVariableA(name.c_str(), value.c_str()) != FALSE;
}

char PathListSeparator() { return ';'; }

std::string NativeFolder(const std::string &folder) { return folder; }

// ---- Files ---------------------------------------------------------------

std::string ResolvePath(const std::string &path) { return path; }

bool NativeGetFileAttributes(const std::string &path, uint32_t &attributes) {
  const DWORD value = GetFileAttributesA(path.c_str());
  if (value == INVALID_FILE_ATTRIBUTES) return false;
  attributes = value;
  return true;
}

bool FileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool NativeFileLength(const std::string &path, int64_t &length) {
  FileHandle file = OpenForReading(path);
  if (!file.valid()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return false;
  length = size.QuadPart;
  return true;
}

bool NativeReadFileStart(const std::string &path, void *buffer, std::size_t size, std::size_t &read) {
  read = 0;
  FileHandle file = OpenForReading(path);
  if (!file.valid()) return false;
  auto *out = static_cast<unsigned char *>(buffer);
  while (read < size) {
    DWORD got = 0;
    if (!ReadFile(file.get(), out + read, ChunkOf(size - read), &got, nullptr)) return false;
    if (got == 0) break;  // end of file
    read += got;
  }
  return true;
}

bool NativeCreateNewFile(const std::string &path, const void *data, std::size_t length) {
  if (path.empty() || (data == nullptr && length > 0)) return false;
  bool ok = true;
  {
    // CREATE_NEW fails on any existing name, a link included.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    const auto *in = static_cast<const unsigned char *>(data);
    std::size_t written = 0;
    while (ok && written < length) {
      DWORD put = 0;
      if (!WriteFile(file.get(), in + written, ChunkOf(length - written), &put, nullptr) || put == 0) ok = false;
      written += put;
    }
    if (ok && !FlushFileBuffers(file.get())) ok = false;
  }
  if (!ok) DeleteFileA(path.c_str());  // created by this call, so ours to remove
  return ok;
}

bool NativeDeleteFile(const std::string &path) { return DeleteFileA(path.c_str()) != FALSE; }

namespace {

// Gives the new file from the security descriptor of the file it replaces:
// its DACL, and its owner and group where the process may set them. A target
// that does not exist, or is a link (replaced, not followed), leaves from
// with the rights the folder gave it.
bool TakeTargetSecurity(const std::string &from, const std::string &to) {
  const DWORD attributes = GetFileAttributesA(to.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  const SECURITY_INFORMATION all = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  GetFileSecurityA(to.c_str(), all, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityA(to.c_str(), all, descriptor.data(), needed, &needed)) return false;
  if (SetFileSecurityA(from.c_str(), all, descriptor.data())) return true;
  return SetFileSecurityA(from.c_str(), DACL_SECURITY_INFORMATION, descriptor.data()) != FALSE;
}

// The identity of an existing file: its volume and file index.
bool FileIdentity(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
  FileHandle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.valid() && GetFileInformationByHandle(file.get(), &info);
}

}  // namespace

bool NativeReplaceFile(const std::string &from, const std::string &to) {
  if (from.empty() || to.empty()) return false;
  if (!TakeTargetSecurity(from, to)) return false;
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool SameFile(const std::string &a, const std::string &b) {
  if (a.empty() || b.empty()) return false;
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  if (!FileIdentity(a, first) || !FileIdentity(b, second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

std::string HostExecutableFolder() {
  std::string name = ModuleFileName(nullptr, 2048);
  const std::size_t cut = name.find_last_of("\\/");
  if (cut == std::string::npos) return std::string();
  return name.substr(0, cut + 1);
}

// ---- Time ----------------------------------------------------------------

SystemTime LocalTime() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return FromWin(st);
}

bool FileTimeToSystemTime(uint64_t fileTime, SystemTime &out) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  SYSTEMTIME st;
  if (!::FileTimeToSystemTime(&ft, &st)) return false;
  out = FromWin(st);
  return true;
}

// ---- Text ----------------------------------------------------------------

std::u16string AnsiToWide(std::string_view text) {
  if (text.empty()) return std::u16string();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) throw std::length_error("text too long");
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::u16string wide(static_cast<std::size_t>(needed), u'\0');
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");
  const int done = MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t *>(wide.data()), needed);
  wide.resize(done > 0 ? static_cast<std::size_t>(done) : 0);
  return wide;
}

// ---- Threads -------------------------------------------------------------

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void YieldThread() { Sleep(0); }

struct CriticalSection::Impl {
  CRITICAL_SECTION section;
};

CriticalSection::CriticalSection() : impl_(new Impl) { InitializeCriticalSection(&impl_->section); }

CriticalSection::~CriticalSection() {
  DeleteCriticalSection(&impl_->section);
  delete impl_;
}

void CriticalSection::Enter() { EnterCriticalSection(&impl_->section); }

void CriticalSection::Leave() { LeaveCriticalSection(&impl_->section); }

struct ManualResetEvent::Impl {
  HANDLE event;
};

ManualResetEvent::ManualResetEvent(bool signalled) : impl_(new Impl) {
  impl_->event = CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
  if (impl_->event == nullptr) {
    delete impl_;
    throw std::runtime_error("CreateEventA failed");
  }
}

ManualResetEvent::~ManualResetEvent() {
  CloseHandle(impl_->event);
  delete impl_;
}

void ManualResetEvent::Set() { SetEvent(impl_->event); }

void ManualResetEvent::Reset() { ResetEvent(impl_->event); }

void ManualResetEvent::Wait() { WaitForSingleObject(impl_->event, INFINITE); }

bool ManualResetEvent::WaitFor(uint32_t ms) { return WaitForSingleObject(impl_->event, ms) == WAIT_OBJECT_0; }

}  // namespace crtelv::platform
