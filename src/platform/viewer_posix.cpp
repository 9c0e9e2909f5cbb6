// Running the certificate viewer on POSIX (see native_services.h): /bin/sh
// runs the command with the file as "$1".
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/native_services.h"
#include "platform/platform.h"

extern char **environ;

namespace crtelv::platform {

bool RunViewer(const std::string &command, const std::string &text) {
  std::string dir;
  if (!GetEnv("TMPDIR", dir) || dir.empty()) dir = "/tmp";
  std::string name = dir + "/cpki1-cert-XXXXXX.pem";
  int fd = ::mkstemps(name.data(), 4);
  if (fd < 0) return false;
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), env.data()) == 0) {
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
