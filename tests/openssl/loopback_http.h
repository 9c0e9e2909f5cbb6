// An HTTP responder on 127.0.0.1 for the provider's tests, on OpenSSL's BIO
// sockets (the same code on POSIX and under Wine). Each POST's body goes to
// the answer function, whose result goes back with the given content type;
// with no answer function it listens and never accepts (a peer that takes
// the connection and says nothing). It serves on its own thread until it is
// destroyed, and every wait in it is bounded.
#ifndef CRTELV_TESTS_OPENSSL_LOOPBACK_HTTP_H
#define CRTELV_TESTS_OPENSSL_LOOPBACK_HTTP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace cpki1test {

class LoopbackHttp {
 public:
  using Answer = std::function<std::vector<uint8_t>(const std::vector<uint8_t> &body)>;
  LoopbackHttp(Answer answer, std::string contentType);
  ~LoopbackHttp();
  LoopbackHttp(const LoopbackHttp &) = delete;
  LoopbackHttp &operator=(const LoopbackHttp &) = delete;
  int port() const { return port_; }  // 0 when it could not listen
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/tsa"; }

 private:
  void Serve();
  void Reply(int connection);
  Answer answer_;
  std::string contentType_;
  int listener_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port of 127.0.0.1 on which nothing listens (taken and given back).
int ClosedPort();

}  // namespace cpki1test

#endif  // CRTELV_TESTS_OPENSSL_LOOPBACK_HTTP_H
