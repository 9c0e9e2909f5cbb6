// Time-stamps of CMS signatures: tokens of cpki1-tool's authority (its time
// moved with --time-offset) and of `openssl ts -reply`, the token's time in
// the signer's validity and revocation, and authorities that do not answer.
#include <openssl/cms.h>
#include <openssl/http.h>
#include <openssl/rand.h>
#include <openssl/ts.h>

#include <chrono>
#include <memory>

#include "loopback_http.h"
#include "openssl_support.h"
#include "tsa_support.h"

namespace cpki1test {
namespace {

constexpr int32_t kTsaUnreachable = S(0xE0720151u), kTsaUntrusted = S(0xE0720153u), kTsaTokenBad = S(0xE0720154u),
                  kTsaSetting = S(0xE0720155u);
constexpr int32_t kCheckExpired = 2;
constexpr long kDay = 86400;

// An environment variable for the scope.
struct Env {
  Env(const char *n, const std::string &value) : name(n) { SetVar(n, value); }
  ~Env() { UnsetVar(name); }
  const char *name;
};

using CmsPtr = std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)>;

CmsPtr ReadMessage(const Bytes &m) {
  const unsigned char *p = m.data();
  return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(m.size())), CMS_ContentInfo_free);
}

CMS_SignerInfo *FirstSigner(CMS_ContentInfo *cms) {
  return cms != nullptr ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0) : nullptr;
}

Bytes SignatureValue(const Bytes &message) {
  CmsPtr cms = ReadMessage(message);
  CMS_SignerInfo *si = FirstSigner(cms.get());
  ASN1_OCTET_STRING *v = si != nullptr ? CMS_SignerInfo_get0_signature(si) : nullptr;
  return v != nullptr ? Bytes(v->data, v->data + v->length) : Bytes();
}

// The signer's signatureTimeStampToken (empty when it has none).
Bytes TokenOf(const Bytes &message) {
  CmsPtr cms = ReadMessage(message);
  CMS_SignerInfo *si = FirstSigner(cms.get());
  int idx = si != nullptr ? CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1) : -1;
  ASN1_TYPE *t = idx >= 0 ? X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, idx), 0) : nullptr;
  if (t == nullptr || t->type != V_ASN1_SEQUENCE) return {};
  return Bytes(t->value.sequence->data, t->value.sequence->data + t->value.sequence->length);
}

Bytes WithToken(const Bytes &message, const Bytes &token) {
  CmsPtr cms = ReadMessage(message);
  CMS_SignerInfo *si = FirstSigner(cms.get());
  EXPECT_FALSE(token.empty());
  if (si == nullptr || token.empty() ||
      !CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token.data(),
                                     static_cast<int>(token.size())))
    return {};
  unsigned char *der = nullptr;
  int n = i2d_CMS_ContentInfo(cms.get(), &der);
  Bytes out = n > 0 ? Bytes(der, der + n) : Bytes();
  OPENSSL_free(der);
  return out;
}

// A token of the authority at url for the SHA-256 digest of value.
Bytes AskToken(const std::string &url, const Bytes &value) {
  unsigned char digest[32];
  unsigned int n = 0;
  std::unique_ptr<TS_REQ, decltype(&TS_REQ_free)> req(TS_REQ_new(), TS_REQ_free);
  std::unique_ptr<TS_MSG_IMPRINT, decltype(&TS_MSG_IMPRINT_free)> imprint(TS_MSG_IMPRINT_new(), TS_MSG_IMPRINT_free);
  std::unique_ptr<X509_ALGOR, decltype(&X509_ALGOR_free)> alg(X509_ALGOR_new(), X509_ALGOR_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> body(BIO_new(BIO_s_mem()), BIO_free);
  if (!EVP_Digest(value.data(), value.size(), digest, &n, EVP_sha256(), nullptr) ||
      !X509_ALGOR_set0(alg.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) ||
      !TS_MSG_IMPRINT_set_algo(imprint.get(), alg.get()) || !TS_MSG_IMPRINT_set_msg(imprint.get(), digest, 32) ||
      !TS_REQ_set_version(req.get(), 1) || !TS_REQ_set_msg_imprint(req.get(), imprint.get()) ||
      !TS_REQ_set_cert_req(req.get(), 1) || i2d_TS_REQ_bio(body.get(), req.get()) != 1) {
    ADD_FAILURE() << "cannot make a time-stamp query";
    return {};
  }
  char *host = nullptr, *port = nullptr, *path = nullptr;
  OSSL_HTTP_parse_url(url.c_str(), nullptr, nullptr, &host, &port, nullptr, &path, nullptr, nullptr);
  std::unique_ptr<BIO, decltype(&BIO_free)> answer(
      OSSL_HTTP_transfer(nullptr, host, port, path, 0, "", nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                         "application/timestamp-query", body.get(), "application/timestamp-reply", 1, 256 * 1024,
                         20, 0),
      BIO_free);
  OPENSSL_free(host);
  OPENSSL_free(port);
  OPENSSL_free(path);
  std::unique_ptr<TS_RESP, decltype(&TS_RESP_free)> resp(answer ? d2i_TS_RESP_bio(answer.get(), nullptr) : nullptr,
                                                         TS_RESP_free);
  PKCS7 *token = resp ? TS_RESP_get_token(resp.get()) : nullptr;
  unsigned char *der = nullptr;
  int len = token != nullptr ? i2d_PKCS7(token, &der) : 0;
  Bytes out = len > 0 ? Bytes(der, der + len) : Bytes();
  OPENSSL_free(der);
  EXPECT_FALSE(out.empty()) << "no token from " << url;
  return out;
}

// cpki1-tool's authority (stamper.pse, valid since 60 days ago) for count
// connections, its tokens' time offset seconds from now.
std::unique_ptr<TsaServer> ToolTsa(const std::string &name, long offset, int count) {
  static bool issued = false;
  if (!issued) {
    W().Issue("stamper", "--usage tsa --start-days -60 --days 400");
    issued = true;
  }
  auto server = std::make_unique<TsaServer>(
      "stamp-" + name, "--pse " + F("stamper.pse") + " --time-offset " + std::to_string(offset), count);
  EXPECT_TRUE(server->Started()) << server->Log();
  return server;
}

// An authority of `openssl ts -reply` with a CA of its own (ots/ca.pem),
// made once; each query is answered by the command.
const std::string &OpensslTsaDir() {
  static const std::string dir = [] {
    const std::string d = W().Path("ots/");
    std::filesystem::create_directories(d);
    const std::string cnf =
        "[ req ]\ndistinguished_name = dn\n[ dn ]\n"
        "[ ca_ext ]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier = hash\n"
        "[ tsa_ext ]\nbasicConstraints = critical,CA:FALSE\nkeyUsage = critical,digitalSignature,nonRepudiation\n"
        "extendedKeyUsage = critical,timeStamping\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
        "[ tsa ]\ndefault_tsa = tsa1\n[ tsa1 ]\nserial = " + d + "serial\nsigner_digest = sha256\n"
        "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\naccuracy = secs:1\n"
        "ess_cert_id_alg = sha256\n";
    WriteBytes(d + "ts.cnf", Text(cnf));
    const std::string q = Quote(d);
    Shell("cd " + q + " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca.key && "
          "openssl req -config ts.cnf -new -x509 -key ca.key -subj '/CN=Other TSA CA' -days 30 "
          "-extensions ca_ext -out ca.pem && "
          "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out tsa.key && "
          "openssl req -config ts.cnf -new -key tsa.key -subj '/CN=Other TSA' -out tsa.csr && "
          "openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 "
          "-extfile ts.cnf -extensions tsa_ext -out tsa.pem");
    return d;
  }();
  return dir;
}

Bytes OpensslReply(const Bytes &query) {
  static std::atomic<int> counter{0};
  const std::string d = OpensslTsaDir(), n = std::to_string(counter++);
  WriteBytes(d + "q" + n + ".tsq", query);
  if (Shell("cd " + Quote(d) + " && openssl ts -reply -config ts.cnf -queryfile q" + n +
            ".tsq -signer tsa.pem -inkey tsa.key -out r" + n + ".tsr") != 0)
    return {};
  return ReadBytes(d + "r" + n + ".tsr");
}

int32_t SignStatus(TelvoraSession s, const Bytes &data, Bytes *message = nullptr) {
  TelvoraSignParams sp{2, nullptr};
  TelvoraBlob in = Blob(data), out{};
  int32_t st = P().VCERT_SignMem(s, &sp, &in, nullptr, &out);
  if (st == 0) {
    Bytes m = Take(s, out);
    if (message != nullptr) *message = std::move(m);
  }
  return st;
}

using TimeStampTest = ProviderTest;

// A signer whose certificate expired ten days ago (a message made by openssl
// cms) verifies with CHECKEXPIRED by a token from inside its validity, and
// by nothing else.
TEST_F(TimeStampTest, TokenTimeDecidesForAnExpiredSigner) {
  const Bytes data = Text("signed while the certificate was valid");
  WriteBytes(W().Path("old_data.txt"), data);
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + F("old.der") + " -out " + F("old.pem") +
                  " && openssl cms -sign -binary -nosmimecap -md sha256 -signer " + F("old.pem") + " -inkey " +
                  F("old.key") + " -in " + F("old_data.txt") + " -outform DER -out " + F("old_msg.der")),
            0);
  const Bytes message = ReadBytes(W().Path("old_msg.der")), value = SignatureValue(message);
  ASSERT_FALSE(value.empty());
  const auto past = ToolTsa("past", -20 * kDay, 2), now = ToolTsa("now", 0, 1);
  LoopbackHttp other([](const Bytes &q) { return OpensslReply(q); }, "application/timestamp-reply");
  ASSERT_NE(other.port(), 0);

  struct Case {
    const char *what;
    Bytes message;
    int32_t status;
  } cases[] = {
      {"no token: expired now", message, kExpired},
      {"token inside the validity", WithToken(message, AskToken(past->Url(), value)), 0},
      {"token of now, after the validity", WithToken(message, AskToken(now->Url(), value)), kExpired},
      {"token for other bytes", WithToken(message, AskToken(past->Url(), Text("something else"))), kTsaTokenBad},
      {"token of an authority without an anchor", WithToken(message, AskToken(other.Url(), value)), kTsaUntrusted},
  };
  Session s(W().Path("bob.pse"), W().Path("store.pem"), kCheckExpired);
  for (const Case &c : cases) {
    ASSERT_FALSE(c.message.empty()) << c.what;
    EXPECT_EQ(VerifyDetached(s, data, c.message), c.status) << c.what;
  }
}

// The provider's own stamped signatures: a revocation after the token's time
// leaves the signature valid, one before it refuses it; the token passes
// `openssl ts -verify`.
TEST_F(TimeStampTest, RevocationCountsFromTheTokenTime) {
  W().Issue("late", "--usage sign --start-days -30");
  W().Issue("gone", "--usage sign --start-days -30");
  const std::string store = W().Path("ts_store.pem");
  std::filesystem::copy_file(W().Path("store.pem"), store, std::filesystem::copy_options::overwrite_existing);
  const std::string revoke = Quote(W().tool) + " revoke --ca " + F("ca") + " --store " + Quote(store) + " --cert ";
  ASSERT_EQ(Shell(revoke + F("gone.der")), 0);

  const Bytes data = Text("stamped");
  Bytes late, latePlain, gone;
  {
    Session plain(W().Path("late.pse"), store);
    ASSERT_EQ(SignStatus(plain, data, &latePlain), 0);
    const auto day = ToolTsa("day", -kDay, 1);
    Env tsa("CPKI1_TSA", day->Url());
    Session signer(W().Path("late.pse"), store);
    ASSERT_EQ(SignStatus(signer, data, &late), 0);
  }
  {
    const auto now = ToolTsa("gone", 0, 1);
    Env tsa("CPKI1_TSA", now->Url());
    Session signer(W().Path("gone.pse"), store);
    ASSERT_EQ(SignStatus(signer, data, &gone), 0);
  }
  ASSERT_EQ(Shell(revoke + F("late.der")), 0);

  Session s(W().Path("bob.pse"), store, kCheckExpired);
  EXPECT_EQ(VerifyDetached(s, data, latePlain), kRevoked);
  EXPECT_EQ(VerifyDetached(s, data, late), 0);
  EXPECT_EQ(VerifyDetached(s, data, gone), kRevoked);

  const Bytes token = TokenOf(late), value = SignatureValue(late);
  ASSERT_FALSE(token.empty());
  EXPECT_TRUE(TokenOf(latePlain).empty());
  WriteBytes(W().Path("late.tst"), token);
  WriteBytes(W().Path("late.sig"), value);
  EXPECT_EQ(Shell("openssl ts -verify -token_in -in " + F("late.tst") + " -data " + F("late.sig") + " -CAfile " +
                  F("ca/ca.cert.pem")),
            0);
}

// Tokens of `openssl ts -reply` on both ways a signature is written (EC
// directly, RSA through OpenSSL's CMS): accepted where its CA is an anchor,
// refused where it is not.
TEST_F(TimeStampTest, OpensslAuthorityOnBothWriters) {
  LoopbackHttp responder([](const Bytes &q) { return OpensslReply(q); }, "application/timestamp-reply");
  ASSERT_NE(responder.port(), 0);
  const std::string store = W().Path("ots_store.pem");
  WriteBytes(store, [] {
    Bytes all = ReadBytes(W().Path("store.pem")), ca = ReadBytes(OpensslTsaDir() + "ca.pem");
    all.insert(all.end(), ca.begin(), ca.end());
    return all;
  }());
  Env tsa("CPKI1_TSA", responder.Url());
  const Bytes data = Text("stamped by openssl");
  for (const char *party : {"bob", "rita"}) {
    Bytes message;
    {
      Session signer(W().Path(std::string(party) + ".pse"), store);
      ASSERT_EQ(SignStatus(signer, data, &message), 0) << party;
    }
    EXPECT_FALSE(TokenOf(message).empty()) << party;
    Session anchored(W().Path("alice.pse"), store);
    EXPECT_EQ(VerifyDetached(anchored, data, message), 0) << party;
    Session unanchored(W().Path("alice.pse"), W().Path("store.pem"));
    EXPECT_EQ(VerifyDetached(unanchored, data, message), kTsaUntrusted) << party;
  }
}

// No answer is no signature, within the time-out; a setting that is not
// understood refuses the session.
TEST_F(TimeStampTest, AuthorityWithoutAnswer) {
  LoopbackHttp silent(nullptr, "");
  ASSERT_NE(silent.port(), 0);
  const int closed = ClosedPort();
  ASSERT_NE(closed, 0);
  Env timeout("CPKI1_TSA_TIMEOUT", "2");
  for (const std::string &url : {silent.Url(), "http://127.0.0.1:" + std::to_string(closed) + "/tsa"}) {
    Env tsa("CPKI1_TSA", url);
    Session signer(W().Path("bob.pse"), W().Path("store.pem"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SignStatus(signer, Text("data")), kTsaUnreachable) << url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << url;
  }
  // The same through a profile; a scheme other than http:// opens no session.
  std::filesystem::create_directories(W().Path("profiles"));
  Env profiles("CPKI1_PROFILES", W().Path("profiles"));
  WriteBytes(W().Path("profiles/silent.profile"),
             Text("pse = " + W().Path("bob.pse") + "\nstore = " + W().Path("store.pem") + "\ntsa = " + silent.Url() +
                  "\ntsa_timeout = 1\n"));
  WriteBytes(W().Path("profiles/tls.profile"), Text("tsa = https://127.0.0.1:1/tsa\n"));
  TelvoraSession id = 0;
  ASSERT_EQ(P().VCERT_Initialize("silent", 0, &id), 0);
  EXPECT_EQ(SignStatus(id, Text("data")), kTsaUnreachable);
  EXPECT_EQ(P().VCERT_Uninitialize(id), 0);
  EXPECT_EQ(P().VCERT_Initialize("tls", 0, &id), kTsaSetting);
  Env tls("CPKI1_TSA", "https://127.0.0.1:1/tsa");
  std::string pseUrl = "pse://signed/" + W().Path("bob.pse");
  TelvoraOpenParams rec{};
  rec.Size = static_cast<int32_t>(sizeof rec);
  rec.PSEUrl = pseUrl.c_str();
  EXPECT_EQ(P().VCERT_InitializeEx(1, &rec, &id), kTsaSetting);
}

}  // namespace
}  // namespace cpki1test
