#include "loopback_http.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <openssl/bio.h>
#include <openssl/err.h>

#include <cctype>
#include <chrono>
#include <cstdlib>

namespace cpki1test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kClientTime = std::chrono::seconds(10);  // for one request and its answer
constexpr std::size_t kMaxHead = 16 * 1024, kMaxBody = 256 * 1024;

// A listening socket on 127.0.0.1 and a port chosen by the system; -1 when
// none could be made.
int Listen(int &port) {
  port = 0;
  BIO_ADDRINFO *found = nullptr;
  if (!BIO_lookup_ex("127.0.0.1", "0", BIO_LOOKUP_SERVER, AF_INET, SOCK_STREAM, 0, &found)) return -1;
  int fd = BIO_socket(BIO_ADDRINFO_family(found), BIO_ADDRINFO_socktype(found), BIO_ADDRINFO_protocol(found), 0);
  if (fd != -1 && !BIO_listen(fd, BIO_ADDRINFO_address(found), BIO_SOCK_NONBLOCK)) {
    BIO_closesocket(fd);
    fd = -1;
  }
  BIO_ADDRINFO_free(found);
  if (fd == -1) return -1;
  union BIO_sock_info_u info;
  info.addr = BIO_ADDR_new();
  char *service = nullptr;
  if (info.addr != nullptr && BIO_sock_info(fd, BIO_SOCK_INFO_ADDRESS, &info))
    service = BIO_ADDR_service_string(info.addr, 1);
  port = service != nullptr ? std::atoi(service) : 0;
  OPENSSL_free(service);
  BIO_ADDR_free(info.addr);
  if (port == 0) {
    BIO_closesocket(fd);
    return -1;
  }
  return fd;
}

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

}  // namespace

LoopbackHttp::LoopbackHttp(Answer answer, std::string contentType)
    : answer_(std::move(answer)), contentType_(std::move(contentType)) {
  listener_ = Listen(port_);
  if (listener_ != -1 && answer_) thread_ = std::thread([this] { Serve(); });
}

LoopbackHttp::~LoopbackHttp() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != -1) BIO_closesocket(listener_);
}

void LoopbackHttp::Serve() {
  while (!stop_) {
    int connection = BIO_accept_ex(listener_, nullptr, BIO_SOCK_NONBLOCK);
    if (connection == -1) {
      ERR_clear_error();
      Pause();
      continue;
    }
    Reply(connection);
  }
}

// One request: its head up to the blank line, a body of Content-Length bytes.
void LoopbackHttp::Reply(int connection) {
  BIO *bio = BIO_new_socket(connection, BIO_CLOSE);
  if (bio == nullptr) {
    BIO_closesocket(connection);
    return;
  }
  const auto deadline = Clock::now() + kClientTime;
  std::string in;
  std::size_t bodyAt = std::string::npos, length = 0;
  bool complete = false;
  while (!complete && !stop_ && Clock::now() < deadline) {
    char buffer[4096];
    int n = BIO_read(bio, buffer, sizeof buffer);
    if (n <= 0) {
      if (!BIO_should_retry(bio)) break;
      Pause();
      continue;
    }
    in.append(buffer, static_cast<std::size_t>(n));
    if (bodyAt == std::string::npos) {
      std::size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (in.size() > kMaxHead) break;
        continue;
      }
      bodyAt = end + 4;
      std::string head = in.substr(0, end);
      for (char &c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::size_t at = head.find("\r\ncontent-length:");
      if (at == std::string::npos) break;
      length = static_cast<std::size_t>(std::strtoul(head.c_str() + at + 17, nullptr, 10));
      if (length > kMaxBody) break;
    }
    complete = in.size() >= bodyAt + length;
  }
  std::vector<uint8_t> reply;
  if (complete) {
    const auto *body = reinterpret_cast<const uint8_t *>(in.data()) + bodyAt;
    reply = answer_(std::vector<uint8_t>(body, body + length));
  }
  std::string out = reply.empty() ? std::string("HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n")
                                  : "HTTP/1.0 200 OK\r\nContent-Type: " + contentType_ +
                                        "\r\nContent-Length: " + std::to_string(reply.size()) + "\r\n\r\n";
  out.append(reply.begin(), reply.end());
  std::size_t sent = 0;
  while (sent < out.size() && !stop_ && Clock::now() < deadline) {
    int n = BIO_write(bio, out.data() + sent, static_cast<int>(out.size() - sent));
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (BIO_should_retry(bio)) {
      Pause();
    } else {
      break;
    }
  }
  BIO_free(bio);
  ERR_clear_error();
}

int ClosedPort() {
  int port = 0;
  int fd = Listen(port);
  if (fd != -1) BIO_closesocket(fd);
  return port;
}

}  // namespace cpki1test
