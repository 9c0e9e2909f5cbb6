// cpki1-tool's time-stamp authority, asked as clients ask, its tokens checked
// with the openssl command.
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <ctime>
#include <memory>
#include <string>

#include "openssl_support.h"
#include "tsa_support.h"

namespace cpki1test {
namespace {

struct HttpReply {
  int status = 0;
  std::string head, body;
};

HttpReply Split(const std::string &raw) {
  HttpReply r;
  std::size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || raw.size() < 12 || end == std::string::npos) return r;
  r.status = std::atoi(raw.substr(9, 3).c_str());
  r.head = raw.substr(0, end);
  r.body = raw.substr(end + 4);
  return r;
}

std::string Post(const std::string &type, const std::string &body, std::size_t length) {
  return "POST /tsa HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + body;
}
std::string Post(const std::string &type, const std::string &body) { return Post(type, body, body.size()); }

using RespPtr = std::unique_ptr<TS_RESP, void (*)(TS_RESP *)>;
RespPtr Decode(const std::string &der) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
  return RespPtr(d2i_TS_RESP(nullptr, &p, static_cast<long>(der.size())), TS_RESP_free);
}

const char kNotHttp[] = "\x16\x03\x01\x00\xff garbage\r\n\r\n";

TEST(TsaTool, AnswersOpensslQueriesAndTurnsAwayTheRest) {
  W().Issue("tsa", "--usage tsa");
  // The certificate serves time-stamping alone, and says so in critical extensions.
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("tsa.der") + " -noout -ext keyUsage,extendedKeyUsage >" +
                  F("tsa-ext.txt")),
            0);
  Bytes ext = ReadBytes(W().Path("tsa-ext.txt"));
  EXPECT_EQ(std::string(ext.begin(), ext.end()),
            "X509v3 Key Usage: critical\n    Digital Signature, Non Repudiation\n"
            "X509v3 Extended Key Usage: critical\n    Time Stamping\n");

  WriteBytes(W().Path("tsa-data.bin"), Text("the data a token vouches for"));
  ASSERT_EQ(Shell("openssl ts -query -sha256 -cert -data " + F("tsa-data.bin") + " -out " + F("tsa-query.tsq")), 0);
  const Bytes queryDer = ReadBytes(W().Path("tsa-query.tsq"));
  const std::string query(queryDer.begin(), queryDer.end());
  const std::string queryType = "application/timestamp-query";

  // Tokens an hour ahead: --time-offset, as a test of a signer's validity uses it.
  TsaServer tsa("main", "--pse " + F("tsa.pse") + " --time-offset 3600", 6);
  ASSERT_TRUE(tsa.Started()) << tsa.Log();

  // What is not a query gets an error, and the server goes on to the next
  // client; a malformed query gets a reply that rejects it.
  const struct {
    const char *what;
    std::string request;
    int status;
  } turnedAway[] = {
      {"not HTTP", std::string(kNotHttp, sizeof kNotHttp - 1), 400},
      {"GET", "GET /tsa HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405},
      {"another type", Post("text/plain", query), 415},
      {"too large", Post(queryType, "", 1 << 20), 413},
      {"not DER", Post(queryType, "\x30\x82\xff\xff garbage"), 200},
  };
  for (const auto &c : turnedAway) {
    HttpReply r = Split(HttpExchange(tsa.Port(), c.request));
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << tsa.Log();
    if (c.status == 200) {
      RespPtr resp = Decode(r.body);
      ASSERT_NE(resp, nullptr) << c.what;
      EXPECT_EQ(ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(resp.get()))), TS_STATUS_REJECTION);
    }
  }

  HttpReply r = Split(HttpExchange(tsa.Port(), Post(queryType, query)));
  ASSERT_EQ(r.status, 200) << tsa.Log();
  EXPECT_NE(r.head.find("\r\nContent-Type: application/timestamp-reply\r\n"), std::string::npos) << r.head;
  WriteBytes(W().Path("tsa-reply.tsr"), Text(r.body));
  EXPECT_EQ(Shell("openssl ts -verify -in " + F("tsa-reply.tsr") + " -queryfile " + F("tsa-query.tsq") + " -CAfile " +
                  F("ca/ca.cert.pem")),
            0);
  RespPtr resp = Decode(r.body);
  ASSERT_NE(resp, nullptr);
  // certReq brings the time-stamping certificate alone, not its CA: a signature
  // with the token must still fit a host's 2048-byte signature buffer.
  PKCS7 *token = TS_RESP_get_token(resp.get());
  ASSERT_TRUE(token != nullptr && PKCS7_type_is_signed(token));
  EXPECT_EQ(sk_X509_num(token->d.sign->cert), 1);
  TS_TST_INFO *info = TS_RESP_get_tst_info(resp.get());
  ASSERT_NE(info, nullptr);
  char policy[128] = "";
  OBJ_obj2txt(policy, sizeof policy, TS_TST_INFO_get_policy_id(info), 1);
  EXPECT_STREQ(policy, "2.25.186379076111173987422784047119685946009");
  std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME *)> now(ASN1_TIME_set(nullptr, std::time(nullptr)), ASN1_TIME_free);
  int days = -1, secs = -1;
  ASSERT_EQ(ASN1_TIME_diff(&days, &secs, now.get(), TS_TST_INFO_get_time(info)), 1);
  EXPECT_EQ(days, 0);
  EXPECT_NEAR(secs, 3600, 300);

  // Six clients, six answers: then it ends by itself.
  EXPECT_EQ(tsa.Wait(), 0) << tsa.Log();
}

}  // namespace
}  // namespace cpki1test
