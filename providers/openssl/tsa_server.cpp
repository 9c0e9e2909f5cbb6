#include "tsa_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ts.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "core.h"

namespace cpki1 {

std::string LastOpensslError() {
  unsigned long e = ERR_peek_last_error();
  char buf[256] = "unknown error";
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

namespace {

// What a client may send: the request line and headers, then the query.
constexpr std::size_t kMaxHeader = 8 * 1024;
constexpr std::size_t kMaxBody = 64 * 1024;

using TsCtxPtr = std::unique_ptr<TS_RESP_CTX, Freer<TS_RESP_CTX_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Freer<TS_RESP_free>>;
using AddrPtr = std::unique_ptr<BIO_ADDR, Freer<BIO_ADDR_free>>;
using AddrInfoPtr = std::unique_ptr<BIO_ADDRINFO, Freer<BIO_ADDRINFO_free>>;
using ObjPtr = std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT_free>>;

// ---- The responder ----------------------------------------------------------------

int TimeNow(TS_RESP_CTX *, void *data, long *sec, long *usec) {
  *sec = static_cast<long>(std::time(nullptr) + *static_cast<const long *>(data));
  *usec = 0;
  return 1;
}

// 63 random bits: serial numbers that no two tokens share, also across runs.
ASN1_INTEGER *NextSerial(TS_RESP_CTX *ctx, void *) {
  unsigned char bytes[8];
  ASN1_INTEGER *serial = nullptr;
  if (RAND_bytes(bytes, sizeof bytes) == 1) {
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7F) | 0x01);
    BIGNUM *bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    if (bn != nullptr) serial = BN_to_ASN1_INTEGER(bn, nullptr);
    BN_free(bn);
  }
  if (serial == nullptr) {
    TS_RESP_CTX_set_status_info(ctx, TS_STATUS_REJECTION, "error during serial number generation");
    TS_RESP_CTX_add_failure_info(ctx, TS_INFO_ADD_INFO_NOT_AVAILABLE);
  }
  return serial;
}

TsCtxPtr MakeResponder(const TsaConfig &config) {
  TsCtxPtr ctx(TS_RESP_CTX_new());
  if (!ctx) throw TsaError("no memory");
  if (TS_RESP_CTX_set_signer_cert(ctx.get(), config.signer) != 1)
    throw TsaError("the certificate is not a time-stamping certificate (critical extended key usage timeStamping): " +
                   LastOpensslError());
  if (X509_check_private_key(config.signer, config.key) != 1)
    throw TsaError("the private key does not belong to the certificate");
  if (TS_RESP_CTX_set_signer_key(ctx.get(), config.key) != 1)
    throw TsaError("cannot use the key: " + LastOpensslError());
  if (config.chain != nullptr && TS_RESP_CTX_set_certs(ctx.get(), config.chain) != 1)
    throw TsaError("cannot use the CA certificates: " + LastOpensslError());
  ObjPtr policy(OBJ_txt2obj(config.policy.c_str(), 1));
  if (!policy || TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) != 1)
    throw TsaError("'" + config.policy + "' is not a dotted OID");
  if (config.signerDigest != nullptr && TS_RESP_CTX_set_signer_digest(ctx.get(), config.signerDigest) != 1)
    throw TsaError("cannot sign with the key's digest: " + LastOpensslError());
  // The certificate is named in the token by its SHA-256 hash (signingCertificateV2).
  if (TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha256()) != 1 ||
      TS_RESP_CTX_add_md(ctx.get(), EVP_sha256()) != 1 || TS_RESP_CTX_add_md(ctx.get(), EVP_sha384()) != 1 ||
      TS_RESP_CTX_add_md(ctx.get(), EVP_sha512()) != 1 || TS_RESP_CTX_set_accuracy(ctx.get(), 1, 0, 0) != 1)
    throw TsaError("cannot set up the responder: " + LastOpensslError());
  TS_RESP_CTX_set_serial_cb(ctx.get(), NextSerial, nullptr);
  TS_RESP_CTX_set_time_cb(ctx.get(), TimeNow, const_cast<long *>(&config.timeOffset));
  return ctx;
}

// ---- HTTP -------------------------------------------------------------------------------

struct Reply {
  int status = 500;
  const char *reason = "Internal Server Error";
  std::string extraHeaders;
  std::string type = "text/plain";
  std::string body;
};

Reply Error(int status, const char *reason, const std::string &why) {
  Reply r;
  r.status = status;
  r.reason = reason;
  r.body = why + "\n";
  return r;
}

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string &s) {
  std::size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// A socket of one client with the time it has left; nothing waits past the deadline.
class Connection {
 public:
  Connection(int fd, time_t deadline) : bio_(BIO_new_socket(fd, BIO_CLOSE)), fd_(fd), deadline_(deadline) {
    if (!bio_) BIO_closesocket(fd);
  }
  bool Usable() const { return bio_ != nullptr; }

  // Appends what arrives (at most max bytes); false at the end of the stream,
  // on an error or when the time is up.
  bool ReadSome(std::string &into, std::size_t max) {
    char buf[4096];
    for (;;) {
      int n = BIO_read(bio_.get(), buf, static_cast<int>(std::min(sizeof buf, max)));
      if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
        return true;
      }
      if (n == 0 || !BIO_should_retry(bio_.get()) || !Wait(true)) return false;
    }
  }

  bool WriteAll(const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
      int n =
          BIO_write(bio_.get(), data.data() + done, static_cast<int>(std::min<std::size_t>(data.size() - done, 65536)));
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (!BIO_should_retry(bio_.get()) || !Wait(false)) {
        return false;
      }
    }
    return true;
  }

  // Reads until the client closes, for at most `seconds` (0: only what has
  // arrived): closing with unread input resets the connection, which can
  // take the answer away from a client that has not read it yet.
  void Drain(int seconds) {
    deadline_ = std::min(deadline_, std::time(nullptr) + seconds);
    std::string sink;
    for (std::size_t total = 0; total < 4 * kMaxBody; total += sink.size()) {
      sink.clear();
      if (!ReadSome(sink, 4096)) return;
    }
  }

 private:
  bool Wait(bool forRead) {
    if (std::time(nullptr) >= deadline_) return false;
    return BIO_socket_wait(fd_, forRead ? 1 : 0, deadline_) > 0;
  }

  BioPtr bio_;
  int fd_;
  time_t deadline_;
};

struct Request {
  std::string method, version;
  std::optional<std::size_t> length;
  std::string type;
  bool chunked = false, expectContinue = false;
};

// The request line and headers; an error reply when they are not acceptable.
std::optional<Reply> ParseHead(const std::string &head, Request &req) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  if (lines.empty()) return Error(400, "Bad Request", "no request line");
  const std::string &first = lines.front();
  std::size_t s1 = first.find(' '), s2 = first.rfind(' ');
  if (s1 == std::string::npos || s2 == s1 || first.find_first_of("\t\r", 0) != std::string::npos)
    return Error(400, "Bad Request", "malformed request line");
  req.method = first.substr(0, s1);
  req.version = first.substr(s2 + 1);
  if (req.version != "HTTP/1.0" && req.version != "HTTP/1.1")
    return Error(505, "HTTP Version Not Supported", "HTTP/1.0 or 1.1 only");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    std::size_t colon = lines[i].find(':');
    if (colon == std::string::npos || colon == 0) return Error(400, "Bad Request", "malformed header line");
    std::string name = Lower(lines[i].substr(0, colon)), value = Trim(lines[i].substr(colon + 1));
    if (name == "content-length") {
      if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        return Error(400, "Bad Request", "bad Content-Length");
      std::size_t n = std::stoul(value);
      if (req.length && *req.length != n) return Error(400, "Bad Request", "conflicting Content-Length");
      req.length = n;
    } else if (name == "content-type") {
      req.type = Lower(Trim(value.substr(0, value.find(';'))));
    } else if (name == "transfer-encoding") {
      req.chunked = true;
    } else if (name == "expect") {
      if (Lower(value) != "100-continue") return Error(417, "Expectation Failed", "unknown expectation");
      req.expectContinue = true;
    }
  }
  if (req.method != "POST") {
    Reply r = Error(405, "Method Not Allowed", "time-stamp queries are POSTed");
    r.extraHeaders = "Allow: POST\r\n";
    return r;
  }
  if (req.chunked) return Error(411, "Length Required", "send the query with a Content-Length");
  if (!req.length) return Error(411, "Length Required", "no Content-Length");
  if (*req.length > kMaxBody) return Error(413, "Payload Too Large", "the query is too large");
  if (req.type != "application/timestamp-query")
    return Error(415, "Unsupported Media Type", "the query must be application/timestamp-query");
  return std::nullopt;
}

Reply Answer(TS_RESP_CTX *ctx, const std::string &query) {
  BioPtr in(BIO_new_mem_buf(query.data(), static_cast<int>(query.size())));
  TsRespPtr response(in ? TS_RESP_create_response(ctx, in.get()) : nullptr);
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!response || !out || i2d_TS_RESP_bio(out.get(), response.get()) != 1) {
    ERR_clear_error();
    return Error(500, "Internal Server Error", "no time-stamp response could be made");
  }
  ERR_clear_error();
  char *p = nullptr;
  long n = BIO_get_mem_data(out.get(), &p);
  Reply r;
  r.status = 200;
  r.reason = "OK";
  r.type = "application/timestamp-reply";
  r.body.assign(p, static_cast<std::size_t>(n));
  return r;
}

// One connection: one request, one reply. Returns the status sent (0 when
// the client went away or ran out of time before a request was read).
int Serve(TS_RESP_CTX *ctx, Connection &conn) {
  std::string data;
  std::size_t headEnd = std::string::npos;
  std::optional<Reply> reply;
  while (headEnd == std::string::npos) {
    std::size_t from = data.size() > 3 ? data.size() - 3 : 0;
    if (!conn.ReadSome(data, kMaxHeader + 1 - std::min(data.size(), kMaxHeader))) break;
    headEnd = data.find("\r\n\r\n", from);
    if (headEnd != std::string::npos) {
      headEnd += 4;
    } else if (data.size() > kMaxHeader) {
      reply = Error(431, "Request Header Fields Too Large", "the request head is too large");
      break;
    }
  }
  Request req;
  if (!reply && headEnd == std::string::npos) {
    if (data.empty()) return 0;
    reply = Error(408, "Request Timeout", "the request did not arrive in time");
  }
  if (!reply) reply = ParseHead(data.substr(0, headEnd), req);
  if (!reply) {
    std::string body = data.substr(headEnd);
    if (body.size() < *req.length && req.expectContinue && req.version == "HTTP/1.1")
      conn.WriteAll("HTTP/1.1 100 Continue\r\n\r\n");
    while (body.size() < *req.length && conn.ReadSome(body, *req.length - body.size())) {
    }
    if (body.size() < *req.length) {
      reply = Error(408, "Request Timeout", "the query did not arrive in time");
    } else {
      body.resize(*req.length);
      reply = Answer(ctx, body);
    }
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply->status) + " " + reply->reason +
                     "\r\nContent-Type: " + reply->type + "\r\nContent-Length: " + std::to_string(reply->body.size()) +
                     "\r\n" + reply->extraHeaders + "Connection: close\r\n\r\n";
  // After an error the rest of the request may still be on its way.
  if (conn.WriteAll(head + reply->body)) conn.Drain(reply->status == 200 ? 0 : 1);
  return reply->status;
}

// ---- The listening socket -------------------------------------------------------------

class Listener {
 public:
  // Binds 127.0.0.1:port (IPv4 numbers only: no name service is asked) and listens.
  explicit Listener(int port) {
    const std::string address = "127.0.0.1:" + std::to_string(port);
    bio_.reset(BIO_new_accept(address.c_str()));
    if (!bio_ || BIO_set_accept_ip_family(bio_.get(), BIO_FAMILY_IPV4) != 1 ||
        BIO_set_nbio_accept(bio_.get(), 1) != 1 || BIO_set_nbio(bio_.get(), 1) != 1)
      throw TsaError("cannot make a socket: " + LastOpensslError());
    // The first call binds and listens.
    if (BIO_do_accept(bio_.get()) != 1) throw TsaError("cannot listen on " + address + ": " + LastOpensslError());
    const char *bound = BIO_get_accept_port(bio_.get());
    fd_ = static_cast<int>(BIO_get_fd(bio_.get(), nullptr));
    if (bound == nullptr || fd_ == -1) throw TsaError("cannot find the port listened on");
    port_ = bound;
  }

  const std::string &Port() const { return port_; }

  // The next client's socket (non-blocking), or -1 when none came before
  // the deadline.
  int Accept(time_t deadline) {
    int failures = 0;
    for (;;) {
      if (BIO_do_accept(bio_.get()) == 1) {
        BIO *client = BIO_pop(bio_.get());
        int fd = static_cast<int>(BIO_get_fd(client, nullptr));
        // The connection owns the socket from here.
        BIO_set_close(client, BIO_NOCLOSE);
        BIO_free(client);
        return fd;
      }
      if (!BIO_should_retry(bio_.get()) && ++failures > 100)
        throw TsaError("taking clients failed: " + LastOpensslError());
      ERR_clear_error();
      if (std::time(nullptr) >= deadline) return -1;
      if (BIO_socket_wait(fd_, 1, deadline) < 0) throw TsaError("waiting for clients failed");
    }
  }

 private:
  BioPtr bio_;
  int fd_ = -1;
  std::string port_;
};

}  // namespace

void ServeTimeStamps(const TsaConfig &config) {
#ifdef SIGPIPE
  // A client that leaves before its answer is written must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  TsCtxPtr ctx = MakeResponder(config);
  Listener listener(config.port);
  if (!config.portFile.empty()) {
    const std::string line = listener.Port() + "\n";
    if (!ReplaceFile(config.portFile, Bytes(line.begin(), line.end()), 0644))
      throw TsaError("cannot write '" + config.portFile + "'");
  }
  if (config.log) config.log("listening on 127.0.0.1:" + listener.Port());
  for (long served = 0; served < config.count; ++served) {
    int fd = listener.Accept(std::time(nullptr) + config.idleSeconds);
    if (fd == -1)
      throw TsaError("no request came for " + std::to_string(config.idleSeconds) + " s; answered " +
                     std::to_string(served) + " of " + std::to_string(config.count));
    Connection conn(fd, std::time(nullptr) + config.clientSeconds);
    int status = conn.Usable() ? Serve(ctx.get(), conn) : 0;
    if (config.log) config.log(status != 0 ? "answered " + std::to_string(status) : "client left without a request");
  }
}

}  // namespace cpki1
