// Files, folders, locks and process facts with the system's own rules, on
// POSIX (see native_services.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/native_services.h"
#include "platform/platform.h"
#include "platform/platform_native.h"

namespace crtelv::platform {

const char *FolderSeparators() { return "/"; }

bool IsAbsolutePath(const std::string &path) { return !path.empty() && path[0] == '/'; }

bool PathExists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool MakeFolder(const std::string &path) {
  struct stat st {};
  return ::mkdir(path.c_str(), 0700) == 0 || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

std::vector<std::string> FolderNames(const std::string &folder) {
  std::vector<std::string> names;
  DIR *dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

std::string LinkTarget(const std::string &path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::string to(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(at.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= to.size()) return at;
    to.resize(static_cast<std::size_t>(n));
    if (to[0] != '/') {
      std::size_t slash = at.rfind('/');
      to = (slash == std::string::npos ? std::string() : at.substr(0, slash + 1)) + to;
    }
    at = to;
  }
  return at;
}

std::string PrivateDataFolder(const std::string &name) {
  std::string home;
  if (!GetEnv("HOME", home) || home.empty()) return std::string();
  return home + "/." + name;
}

bool ReadWholeRegularFile(const std::string &path, std::vector<uint8_t> &out, bool *missing) {
  if (missing) *missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT || errno == ENOTDIR;
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out.clear();
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return true;
}

bool StampOf(const std::string &path, FileStamp &s) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  s.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return true;
}

bool NativeCreateNewFileWithMode(const std::string &path, const void *data, std::size_t length, unsigned mode) {
  if (path.empty() || (data == nullptr && length > 0)) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < length) {
    ssize_t n = ::write(fd, static_cast<const char *>(data) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());  // created by this call, so ours to remove
  return ok;
}

bool ReplaceHeldFile(const std::string &from, const std::string &to) { return ReplaceFile(from, to); }

ExclusiveFileLock::ExclusiveFileLock(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  handle_ = fd;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));  // closing releases the lock
}

uint32_t ProcessId() { return static_cast<uint32_t>(::getpid()); }

std::string CommandLineTextToUtf8(const std::string &text) { return text; }

int64_t UtcSeconds(std::tm &tm) { return static_cast<int64_t>(::timegm(&tm)); }

}  // namespace crtelv::platform
