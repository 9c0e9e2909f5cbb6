// The platform layer on POSIX, with the Windows semantics the library expects.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_native.h"

namespace crtelv::platform {
namespace {

bool EndsWithNoCase(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         strcasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

std::string Slashes(std::string path) {
  for (char &c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::size_t LastSeparator(const std::string &path) { return path.find_last_of("/\\"); }

// "dir\cpki1.dll" -> "dir/libcpki1.so"; other names only get '/' separators.
std::string ModuleFileForName(const std::string &name) {
  std::string path = Slashes(name);
  if (!EndsWithNoCase(path, ".dll")) return path;
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "lib" + base.substr(0, base.size() - 4) + ".so";
}

bool Exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The entry of folder whose name equals name without regard to ASCII case.
bool FindEntryNoCase(const std::string &folder, const std::string &name, std::string &found) {
  DIR *dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent *entry = ::readdir(dir)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

std::string ReadLink(const char *path) {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = ::readlink(path, buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string ExecutablePath() { return ReadLink("/proc/self/exe"); }

namespace {
// The canonical form of path; false when there is none. The block realpath
// hands out is freed also when copying it fails.
bool RealPath(const std::string &path, std::string &real) {
  std::unique_ptr<char, void (*)(void *)> block(::realpath(path.c_str(), nullptr), std::free);
  if (block == nullptr) return false;
  real = block.get();
  return true;
}
}  // namespace

std::string AbsolutePath(const std::string &path) {
  if (path.empty() || path[0] == '/') return path;
  std::string result;
  return RealPath(path, result) ? result : path;
}

struct LoadedSearch {
  std::string wanted;  // file name of the module, e.g. "libKorvex.so"
  std::string path;    // full path of the first match
};

int MatchLoadedObject(dl_phdr_info *info, std::size_t, void *data) {
  auto *search = static_cast<LoadedSearch *>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  std::string path(info->dlpi_name);
  std::size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  bool same = strcasecmp(base.c_str(), search->wanted.c_str()) == 0 ||
              (base.size() > search->wanted.size() && base[search->wanted.size()] == '.' &&
               strncasecmp(base.c_str(), search->wanted.c_str(), search->wanted.size()) == 0);
  if (!same) return 0;
  search->path = path;
  return 1;
}

// Windows-1251 upper half as UTF-16 code units; 0x98 has no character and
// maps to itself, as the system's conversion does.
constexpr std::array<char16_t, 128> kCp1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

// Windows rejects file times at or above 2^63.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

bool ParseVersionNumber(const std::string &text, uint32_t &value) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 0xFFFF) return false;
  value = v;
  return true;
}

}  // namespace

// ---- Modules ----------------------------------------------------------------

ModuleHandle NativeLoadModule(const std::string &name) {
  if (name.empty()) return nullptr;
  std::string file = ModuleFileForName(name);
  if (file.find('/') != std::string::npos) file = ResolvePath(file);
  return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

bool ModuleExists(const std::string &path) { return FileExists(ModuleFileForName(path)); }

void NativeFreeModule(ModuleHandle module) {
  if (module != nullptr) ::dlclose(module);
}

void *NativeFindEntryPoint(ModuleHandle module, const char *name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return ::dlsym(module, name);
}

ModuleHandle FindLoadedModule(const std::string &name) {
  std::string file = ModuleFileForName(name);
  std::size_t slash = file.rfind('/');
  LoadedSearch search{slash == std::string::npos ? file : file.substr(slash + 1), {}};
  if (search.wanted.empty()) return nullptr;
  if (::dl_iterate_phdr(MatchLoadedObject, &search) == 0) return nullptr;
  // RTLD_NOLOAD hands out the module without loading it; drop the extra
  // reference at once, as GetModuleHandleA takes none.
  ModuleHandle module = ::dlopen(search.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module != nullptr) ::dlclose(module);
  return module;
}

std::string ModuleFileName(ModuleHandle module, std::size_t capacity) {
  std::string path;
  if (module == nullptr) {
    path = ExecutablePath();
  } else {
    link_map *map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
    path = map->l_name != nullptr && map->l_name[0] != '\0' ? AbsolutePath(map->l_name) : ExecutablePath();
  }
  if (capacity == 0) return {};
  if (path.size() > capacity - 1) path.resize(capacity - 1);
  return path;
}

bool FileVersion(const std::string &path, uint32_t &ms, uint32_t &ls) {
  std::string file;
  if (!RealPath(ResolvePath(path), file)) return false;
  std::size_t slash = file.rfind('/');
  if (slash != std::string::npos) file.erase(0, slash + 1);
  std::size_t so = file.rfind(".so.");
  if (so == std::string::npos) return false;
  std::string rest = file.substr(so + 4);
  uint32_t parts[4];
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = rest.find('.');
    if ((dot == std::string::npos) != (i == 3)) return false;
    if (!ParseVersionNumber(rest.substr(0, dot), parts[i])) return false;
    rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
  }
  ms = (parts[0] << 16) | parts[1];
  ls = (parts[2] << 16) | parts[3];
  return true;
}

// ---- Environment --------------------------------------------------------------

namespace {
// Environment names are case-insensitive on Windows; "Path" is PATH here.
std::string EnvName(const std::string &name) { return strcasecmp(name.c_str(), "Path") == 0 ? "PATH" : name; }
}  // namespace

bool GetEnv(const std::string &name, std::string &value) {
  const char *text = std::getenv(EnvName(name).c_str());
  if (text == nullptr) return false;
  value = text;
  return true;
}

bool SetEnv(const std::string &name, const std::string &value) {
  return ::setenv(EnvName(name).c_str(), value.c_str(), 1) == 0;
}

char PathListSeparator() { return ':'; }

std::string NativeFolder(const std::string &folder) { return Slashes(folder); }

// ---- Files ----------------------------------------------------------------

std::string ResolvePath(const std::string &path) {
  std::string native = Slashes(path);
  if (native.empty() || Exists(native)) return native;
  bool absolute = native[0] == '/';
  std::string resolved = absolute ? "/" : "";
  std::size_t pos = absolute ? 1 : 0;
  bool matching = true;
  while (pos <= native.size()) {
    std::size_t next = native.find('/', pos);
    if (next == std::string::npos) next = native.size();
    std::string part = native.substr(pos, next - pos);
    bool last = next == native.size();
    if (!part.empty()) {
      std::string candidate = resolved + part;
      std::string found;
      if (matching && !Exists(candidate) && FindEntryNoCase(resolved, part, found)) {
        candidate = resolved + found;
      } else if (!Exists(candidate)) {
        matching = false;
      }
      resolved = candidate;
    }
    if (!last) resolved += '/';
    pos = next + 1;
  }
  return resolved;
}

bool NativeGetFileAttributes(const std::string &path, uint32_t &attributes) {
  struct stat st;
  if (path.empty() || ::stat(ResolvePath(path).c_str(), &st) != 0) return false;
  constexpr uint32_t kReadOnly = 0x1, kArchive = 0x20;
  if (S_ISDIR(st.st_mode)) {
    attributes = kAttributeDirectory;
  } else {
    attributes = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) ? kArchive : kReadOnly;
  }
  return true;
}

bool FileExists(const std::string &path) { return !path.empty() && Exists(ResolvePath(path)); }

namespace {
// Opens a regular file read-only (a folder cannot be opened as a file).
int OpenForReading(const std::string &path) {
  if (path.empty()) return -1;
  int fd = ::open(ResolvePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

bool NativeFileLength(const std::string &path, int64_t &length) {
  int fd = OpenForReading(path);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok) length = static_cast<int64_t>(st.st_size);
  ::close(fd);
  return ok;
}

bool NativeReadFileStart(const std::string &path, void *buffer, std::size_t size, std::size_t &read) {
  int fd = OpenForReading(path);
  if (fd < 0) return false;
  std::size_t total = 0;
  bool ok = true;
  while (total < size) {
    ssize_t n = ::read(fd, static_cast<char *>(buffer) + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (ok) read = total;
  return ok;
}

namespace {

// Writes all of data to fd, retrying short and interrupted writes.
bool WriteAll(int fd, const void *data, std::size_t length) {
  std::size_t total = 0;
  while (total < length) {
    ssize_t n = ::write(fd, static_cast<const char *>(data) + total, length - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    total += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool NativeCreateNewFile(const std::string &path, const void *data, std::size_t length) {
  if (path.empty() || (data == nullptr && length > 0)) return false;
  const std::string file = Slashes(path);
  // Readable by the owner alone until ReplaceFile gives it its rights.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data, length);
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(file.c_str());  // created by this call, so ours to remove
  return ok;
}

bool NativeDeleteFile(const std::string &path) {
  if (path.empty()) return false;
  std::string file = ResolvePath(path);
  struct stat st;
  if (::lstat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(file.c_str()) == 0;
}

namespace {

// Gives the new file source the rights of the file it replaces: its owner
// and group where the process may set them, and its permission bits. A
// target that is no regular file (none, or a link, which is replaced and not
// followed) leaves source with the rights it was created with: its writer
// chose them (a new key store is its owner's alone, a new document gets
// 0666 less the umask).
bool TakeTargetRights(const std::string &source, const std::string &target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  const int fd = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  // Owner and group when allowed, else the group alone when allowed.
  if (::fchown(fd, st.st_uid, st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
    // Neither: the file stays the process's own.
  }
  const bool ok = ::fchmod(fd, static_cast<mode_t>(st.st_mode & 0777)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool NativeReplaceFile(const std::string &from, const std::string &to) {
  if (from.empty() || to.empty()) return false;
  // The target may not exist yet: resolve its folder, keep its name.
  const std::string target = ResolvePath(to);
  const std::string source = ResolvePath(from);
  if (!TakeTargetRights(source, target)) return false;
  if (::rename(source.c_str(), target.c_str()) != 0) return false;
  // The new name reaches the disk with the folder.
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  return flushed;
}

bool SameFile(const std::string &a, const std::string &b) {
  struct stat first;
  struct stat second;
  if (a.empty() || b.empty()) return false;
  if (::stat(ResolvePath(a).c_str(), &first) != 0 || ::stat(ResolvePath(b).c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string HostExecutableFolder() {
  std::string exe = ExecutablePath();
  std::size_t slash = LastSeparator(exe);
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

// ---- Time -----------------------------------------------------------------

namespace {
SystemTime FromCalendar(const tm &fields, uint16_t milliseconds) {
  SystemTime out;
  out.year = static_cast<uint16_t>(fields.tm_year + 1900);
  out.month = static_cast<uint16_t>(fields.tm_mon + 1);
  out.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  out.day = static_cast<uint16_t>(fields.tm_mday);
  out.hour = static_cast<uint16_t>(fields.tm_hour);
  out.minute = static_cast<uint16_t>(fields.tm_min);
  out.second = static_cast<uint16_t>(fields.tm_sec);
  out.milliseconds = milliseconds;
  return out;
}
}  // namespace

SystemTime LocalTime() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  // Converting a second to local time takes the C library's time-zone lock:
  // each thread keeps its last conversion and reuses it within that second.
  thread_local time_t cachedSecond = -1;
  thread_local tm cachedLocal{};
  if (now.tv_sec != cachedSecond) {
    ::localtime_r(&now.tv_sec, &cachedLocal);
    cachedSecond = now.tv_sec;
  }
  return FromCalendar(cachedLocal, static_cast<uint16_t>(now.tv_nsec / 1000000));
}

bool FileTimeToSystemTime(uint64_t fileTime, SystemTime &out) {
  if (fileTime > kMaxFileTime) return false;
  int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
  time_t t = static_cast<time_t>(seconds);
  tm utc{};
  if (::gmtime_r(&t, &utc) == nullptr) return false;
  out = FromCalendar(utc, static_cast<uint16_t>((fileTime % kTicksPerSecond) / 10000));
  return true;
}

// ---- Text -----------------------------------------------------------------

std::u16string AnsiToWide(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    wide.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : kCp1251[byte - 0x80]);
  }
  return wide;
}

// ---- Threads ----------------------------------------------------------------

namespace {
// The id is asked of the kernel once per thread: the locks ask for it on
// every acquisition. A forked child's only thread asks again.
thread_local uint32_t t_threadId = 0;
void ForgetThreadId() { t_threadId = 0; }
}  // namespace

uint32_t CurrentThreadId() {
  if (t_threadId == 0) {
    static const int registered = ::pthread_atfork(nullptr, nullptr, ForgetThreadId);
    (void)registered;
    t_threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
  }
  return t_threadId;
}

void YieldThread() { ::sched_yield(); }

struct CriticalSection::Impl {
  std::recursive_mutex mutex;
};

CriticalSection::CriticalSection() : impl_(new Impl) {}
CriticalSection::~CriticalSection() { delete impl_; }
void CriticalSection::Enter() { impl_->mutex.lock(); }
void CriticalSection::Leave() { impl_->mutex.unlock(); }

struct ManualResetEvent::Impl {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

ManualResetEvent::ManualResetEvent(bool signalled) : impl_(new Impl) { impl_->signalled = signalled; }
ManualResetEvent::~ManualResetEvent() { delete impl_; }

void ManualResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->signalled = true;
  }
  impl_->changed.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->signalled = false;
}

void ManualResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return impl_->signalled; });
}

bool ManualResetEvent::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return impl_->signalled; });
}

}  // namespace crtelv::platform
