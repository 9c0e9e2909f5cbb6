#include "tsa_support.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "openssl_support.h"

namespace cpki1test {

namespace {

std::string FileText(const std::string &path) {
  Bytes b = ReadBytes(path);
  return std::string(b.begin(), b.end());
}

// Polls (every 10 ms, at most `seconds`) until one of the files exists.
bool AwaitFile(const std::string &a, const std::string &b, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!std::filesystem::exists(a) && !std::filesystem::exists(b)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A reply whose head and Content-Length bytes of body have come: a client
// then closes (the server waits for that before it closes).
bool Complete(const std::string &reply) {
  const std::size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = reply.substr(0, end + 2);
  for (char &c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = head.find("\r\ncontent-length:");
  return at != std::string::npos &&
         reply.size() - end - 4 >= static_cast<std::size_t>(std::atol(head.c_str() + at + 17));
}

}  // namespace

// The server runs as W().tool: the native tool when CPKI1_TEST_TOOL names one
// (a Windows suite under an emulator then serves its queries at native
// speed), else this build's tool, which on Windows is the script that starts
// cpki1-tool.exe under Wine. Either way the line runs in a POSIX shell (the
// host's, under Wine), which keeps the tool's process id and, once it ends,
// its exit status in files renamed into place: the test process waits for
// files, never for a process, so a tool that dies or hangs cannot hold it.
// The tool's own --timeout ends a server that is never stopped.
TsaServer::TsaServer(const std::string &name, const std::string &signer, int count) : base_(W().Path("tsa-" + name)) {
  const std::string portFile = base_ + ".port", status = base_ + ".status", pid = base_ + ".pid";
  for (const char *ext : {".port", ".status", ".pid", ".log"}) std::filesystem::remove(base_ + ext);
  const std::string line = "( " + Quote(W().tool) + " tsa " + signer + " --count " + std::to_string(count) +
                           " --port 0 --port-file " + Quote(portFile) + " --timeout 90 >" + Quote(base_ + ".log") +
                           " 2>&1 </dev/null & echo $! >" + Quote(pid + ".part") + " && mv " + Quote(pid + ".part") +
                           " " + Quote(pid) + "; wait $!; echo $? >" + Quote(status + ".part") + " && mv " +
                           Quote(status + ".part") + " " + Quote(status) + " ) >/dev/null 2>&1 </dev/null &";
  if (ShellStatus(line) != 0) return;
  if (!AwaitFile(portFile, status, 60) || !std::filesystem::exists(portFile)) return;
  port_ = std::atoi(FileText(portFile).c_str());
  if (port_ <= 0 || port_ > 65535) port_ = 0;
}

TsaServer::~TsaServer() {
  if (status_ == -2) Wait(0);
}

std::string TsaServer::Url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int TsaServer::Wait(int seconds) {
  if (status_ != -2) return status_;
  const std::string status = base_ + ".status", pid = base_ + ".pid";
  if (!AwaitFile(status, status, seconds)) {
    // Still running (or never started): stop it, and see it end.
    const int id = AwaitFile(pid, pid, 5) ? std::atoi(FileText(pid).c_str()) : 0;
    if (id > 0) ShellStatus("kill " + std::to_string(id) + " 2>/dev/null");
    AwaitFile(status, status, 10);
    status_ = -1;
    return status_;
  }
  status_ = std::atoi(FileText(status).c_str());
  return status_;
}

std::string TsaServer::Log() const { return FileText(base_ + ".log"); }

std::string HttpExchange(int port, const std::string &request, int seconds) {
  const time_t deadline = std::time(nullptr) + seconds;
  const std::string address = "127.0.0.1:" + std::to_string(port);
  BIO *bio = BIO_new_connect(address.c_str());
  std::string reply;
  if (bio == nullptr) return reply;
  BIO_set_nbio(bio, 1);
  bool ok = BIO_do_connect_retry(bio, seconds, 100) == 1;
  for (std::size_t done = 0; ok && done < request.size();) {
    int n = BIO_write(bio, request.data() + done, static_cast<int>(request.size() - done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      ok = BIO_should_retry(bio) && BIO_wait(bio, deadline, 10) == 1;
    }
  }
  char buf[4096];
  while (ok && !Complete(reply)) {
    int n = BIO_read(bio, buf, sizeof buf);
    if (n > 0) {
      reply.append(buf, static_cast<std::size_t>(n));
    } else {
      ok = n < 0 && BIO_should_retry(bio) && BIO_wait(bio, deadline, 10) == 1;
    }
  }
  BIO_free_all(bio);
  ERR_clear_error();
  return reply;
}

}  // namespace cpki1test
