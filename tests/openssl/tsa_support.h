// A time-stamp authority for the suites: "cpki1-tool tsa" in the background
// on a free port of 127.0.0.1, and a small HTTP client for raw requests.
#ifndef CRTELV_TESTS_OPENSSL_TSA_SUPPORT_H
#define CRTELV_TESTS_OPENSSL_TSA_SUPPORT_H

#include <string>

namespace cpki1test {

class TsaServer {
 public:
  // Starts "cpki1-tool tsa <signer> --count <count>" with a port of its own
  // choosing; signer names the key, e.g. "--pse " + F("tsa.pse"), and may
  // carry more options (--time-offset, --policy). name keeps the files of
  // two servers of a run apart. Waits (bounded) until the server listens;
  // Started() says whether it does (Log() says why not).
  TsaServer(const std::string &name, const std::string &signer, int count);
  // Stops the server if it still runs.
  ~TsaServer();
  TsaServer(const TsaServer &) = delete;
  TsaServer &operator=(const TsaServer &) = delete;

  bool Started() const { return port_ != 0; }
  int Port() const { return port_; }
  // http://127.0.0.1:<port><path>
  std::string Url(const std::string &path = "/tsa") const;
  // Waits at most `seconds` for the server to end and gives its exit status;
  // -1 when it had not ended (it is stopped then).
  int Wait(int seconds = 30);
  // What the server printed.
  std::string Log() const;

 private:
  std::string base_;  // the run folder's path of the server's files, without extension
  int port_ = 0;
  int status_ = -2;   // -2 while not seen to end
};

// Sends request as it is to 127.0.0.1:port and gives what comes back: the
// reply's head and Content-Length bytes of body, or all until the server
// closes (empty when it cannot connect; at most `seconds`).
std::string HttpExchange(int port, const std::string &request, int seconds = 10);

}  // namespace cpki1test

#endif  // CRTELV_TESTS_OPENSSL_TSA_SUPPORT_H
