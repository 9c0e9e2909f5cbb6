// Running the certificate viewer on POSIX (see native_services.h): /bin/sh
// runs the command with the file as "$1", in a child that keeps only the
// allowed environment and the descriptors 0, 1 and 2.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/native_services.h"
#include "platform/platform.h"

extern char **environ;

namespace crtelv::platform {
namespace {

// Closes every descriptor from 3 up, in the child between fork and exec
// (only calls that are safe there).
void CloseHostDescriptors(long limit) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  for (long fd = 3; fd < limit; ++fd) ::close(static_cast<int>(fd));
}

bool WriteAllOf(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool RunViewer(const std::string &command, const std::string &text) {
  std::string dir;
  if (!GetEnv("TMPDIR", dir) || dir.empty()) dir = "/tmp";
  std::string name = dir + "/cpki1-cert-XXXXXX.pem";
  int fd = ::mkstemps(name.data(), 4);
  if (fd < 0) return false;
  const bool written = WriteAllOf(fd, text);
  ::close(fd);
  bool shown = false;
  if (written) {
    std::vector<char *> env;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
      if (ViewerInherits(*e)) env.push_back(*e);
    }
    env.push_back(nullptr);
    // The viewer command gets the file as its last argument ("$1").
    std::string script = command + " \"$1\"";
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), "cpki1-viewer", name.c_str(), nullptr};
    rlimit files{};
    const long limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
                               files.rlim_cur < 65536
                           ? static_cast<long>(files.rlim_cur)
                           : 65536;
    pid_t pid = ::fork();
    if (pid == 0) {
      CloseHostDescriptors(limit);
      ::execve("/bin/sh", const_cast<char *const *>(argv), env.data());
      ::_exit(127);
    }
    if (pid > 0) {
      int wstatus = 0;
      pid_t waited;
      while ((waited = ::waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
      }
      // A wait that fails (a host that ignores SIGCHLD) tells nothing of how
      // the viewer ended: a failure.
      shown = waited == pid && WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
    }
  }
  ::unlink(name.c_str());
  return shown;
}

}  // namespace crtelv::platform
