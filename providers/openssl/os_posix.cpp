// The operating-system side of the open provider on POSIX (see os.h).
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "os.h"
#include "os_env.h"
#include "platform/platform.h"

extern char **environ;

namespace cpki1::os {

const char kFolderSeparators[] = "/";

bool IsAbsolute(const std::string &path) { return !path.empty() && path[0] == '/'; }

bool Exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::vector<uint8_t>> ReadAll(const std::string &path, bool *missing) {
  if (missing) *missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT || errno == ENOTDIR;
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

bool WriteNew(const std::string &path, const uint8_t *data, std::size_t length, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < length) {
    ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
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

bool Replace(const std::string &from, const std::string &to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool Remove(const std::string &path) { return ::unlink(path.c_str()) == 0; }

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

uint32_t ProcessId() { return static_cast<uint32_t>(::getpid()); }

std::string CommandLineTextToUtf8(const std::string &text) { return text; }

bool Stamp(const std::string &path, FileStamp &s) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  s.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return true;
}

int64_t UtcSeconds(std::tm &tm) { return static_cast<int64_t>(timegm(&tm)); }

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

std::string DefaultProfilesFolder() {
  std::string home;
  if (!crtelv::platform::GetEnv("HOME", home) || home.empty()) return std::string();
  return home + "/.cpki1";
}

ViewerResult RunViewer(const std::string &command, const std::string &pem) {
  std::string dir;
  if (!crtelv::platform::GetEnv("TMPDIR", dir) || dir.empty()) dir = "/tmp";
  std::string name = dir + "/cpki1-cert-XXXXXX.pem";
  int fd = mkstemps(name.data(), 4);
  if (fd < 0) return ViewerResult::kFailed;
  bool written = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  ::close(fd);
  ViewerResult result = ViewerResult::kFailed;
  if (written) {
    std::vector<std::string> kept;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
      if (!SecretVariable(*e)) kept.emplace_back(*e);
    }
    std::vector<char *> env;
    for (std::string &e : kept) env.push_back(e.data());
    env.push_back(nullptr);
    // The viewer command gets the file as its last argument ("$1").
    std::string script = command + " \"$1\"";
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), "cpki1-viewer", name.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), env.data()) == 0) {
      int wstatus = 0;
      pid_t waited;
      while ((waited = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
      }
      // A wait that fails (a host that ignores SIGCHLD) tells nothing of how
      // the viewer ended: a failure.
      if (waited == pid && WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) result = ViewerResult::kShown;
    }
  }
  ::unlink(name.c_str());
  return result;
}

}  // namespace cpki1::os
