// cpki1-tool: sets up a working set of parties for the open provider: a CA,
// parties' keys and certificates in key stores, certificate stores, CRLs and
// answers to PKCS#10 requests. Run "cpki1-tool help" for the commands.
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core.h"
#include "gost.h"
#include "tsa_server.h"

using namespace cpki1;

namespace {

struct Failure {
  std::string message;
};
[[noreturn]] void Fail(const std::string &message) { throw Failure{message}; }

// ---- Commands and their options ---------------------------------------------

struct Command {
  const char *name;
  const char *summary;
  const char *usage;
  std::set<std::string> flags;   // options without a value
  std::set<std::string> values;  // options with a value
};

#define KEY_OPTIONS_HELP                                                                      \
  "  --algorithm ALG   the key: ec (P-256, default), rsa (2048 bits), gost2012_256 or\n"      \
  "                    gost2012_512 (GOST R 34.10-2012; needs libengine-gost-openssl)\n"     \
  "  --paramset SET    GOST parameter set: A (default), B, C; for 256 bits also XA, XB,\n"  \
  "                    TCA, TCB, TCC, TCD\n"                                                  \
  "  --rsa             the same as --algorithm rsa\n"

const Command kCommands[] = {
    {"ca",
     "create a certification authority in a folder",
     "cpki1-tool ca --ca DIR --subject DN [--days N] [--algorithm ALG [--paramset SET]]\n"
     "  Makes DIR (if needed) with ca.key.pem (private key, mode 0600), ca.cert.pem and an\n"
     "  empty revocation list. DN is written most specific first: \"CN=Test CA,O=Example,C=RU\".\n"
     "  --days N          validity in days (default 3650)\n"
     KEY_OPTIONS_HELP,
     {"rsa"},
     {"ca", "subject", "days", "algorithm", "paramset"}},
    {"issue",
     "issue a party's key and certificate",
     "cpki1-tool issue --ca DIR --subject DN --usage sign|encrypt|both|tsa [options]\n"
     "  Makes a key pair and a certificate signed by the CA of DIR, and writes them.\n"
     "  --usage tsa makes a time-stamping certificate: key usage digitalSignature and\n"
     "  nonRepudiation, extended key usage timeStamping only (both critical).\n"
     "  --pse FILE        key store (PKCS#12 with the key, the certificate and the CA\n"
     "                    certificate; password from CPKI1_PSE_PASSWORD, default empty)\n"
     "  --cert FILE       the certificate (PEM when FILE ends in .pem, else DER)\n"
     "  --key-out FILE    the private key as PEM (mode 0600)\n"
     "  --store FILE      add the certificate (and the CA certificate) to a certificate store\n"
     "  --key FILE        use this PEM private key instead of making a new one\n"
     KEY_OPTIONS_HELP
     "  --days N          validity in days (default 365)\n"
     "  --start-days N    start of validity N days from now (may be negative; default 0)\n"
     "  --eku OID[,OID]   extended key usages (dotted OIDs)\n"
     "  --pkup-days N     private key usage period from now for N days\n",
     {"rsa"},
     {"ca", "subject", "usage", "pse", "cert", "key-out", "store", "key", "days", "start-days", "eku", "pkup-days",
      "algorithm", "paramset"}},
    {"answer",
     "answer a PKCS#10 request with a certificate",
     "cpki1-tool answer --ca DIR --request FILE --out FILE [--usage sign|encrypt|both|tsa] [--days N]\n"
     "  Checks the request's signature and issues a certificate for its subject and key\n"
     "  (PEM when the output name ends in .pem, else DER). Usage defaults to both.\n",
     {},
     {"ca", "request", "out", "usage", "days"}},
    {"revoke",
     "revoke a certificate and write the new CRL",
     "cpki1-tool revoke --ca DIR (--cert FILE | --serial HEX) [--crl FILE] [--store FILE]\n"
     "  Records the certificate as revoked by the CA of DIR and writes the CRL as the crl\n"
     "  command does.\n",
     {},
     {"ca", "cert", "serial", "crl", "store"}},
    {"crl",
     "write the CA's current CRL",
     "cpki1-tool crl --ca DIR [--crl FILE] [--store FILE] [--days N] [--start-days N]\n"
     "  --crl FILE        the CRL (PEM when FILE ends in .pem, else DER; default DIR/ca.crl.pem)\n"
     "  --store FILE      also put the CRL into a certificate store\n"
     "  --days N          next update N days after this one (default 30)\n"
     "  --start-days N    this update N days from now (may be negative; default 0)\n",
     {},
     {"ca", "crl", "store", "days", "start-days"}},
    {"store",
     "add certificates and CRLs to a certificate store",
     "cpki1-tool store --store FILE INPUT...\n"
     "  Adds every certificate and CRL of the inputs (DER or PEM) to the store, a PEM\n"
     "  bundle that is created when missing.\n",
     {},
     {"store"}},
    {"tsa",
     "serve RFC 3161 time stamps over HTTP on 127.0.0.1",
     "cpki1-tool tsa (--pse FILE | --cert FILE --key FILE) --port N --count K [options]\n"
     "  Answers K connections on 127.0.0.1 (the loopback address only, never another)\n"
     "  and ends. A POST of application/timestamp-query gets 200 and an\n"
     "  application/timestamp-reply (SHA-256, SHA-384 or SHA-512 imprints; the nonce is\n"
     "  echoed and the certificates are included when the query asks; accuracy 1 s);\n"
     "  anything else gets an HTTP error, which counts as one of K.\n"
     "  --pse FILE        key store with the time-stamping key and certificate (issue\n"
     "                    --usage tsa) and the CA certificates\n"
     "  --cert FILE       the time-stamping certificate (DER, or PEM: the first one, the\n"
     "                    rest are the CA certificates); --key FILE its PEM private key\n"
     "  --chain           tokens that ask for certificates carry the CA certificates\n"
     "                    too; by default only the time-stamping certificate, so that a\n"
     "                    time-stamped signature fits a 2048-byte signature buffer\n"
     "  --port N          the port; 0 takes a free one (see --port-file)\n"
     "  --port-file FILE  write the port in use to FILE before the first client is taken\n"
     "  --policy OID      the default policy (default a test OID, " CPKI1_TSA_TEST_POLICY ")\n"
     "  --timeout S       end (status 1) when no client comes for S seconds (default 120)\n"
     "  --time-offset S   for tests only: the tokens' time is S seconds from now\n"
     "  A client has 5 s to send its request (at most 8 KiB of head, 64 KiB of query).\n",
     {"chain"},
     {"pse", "cert", "key", "port", "count", "port-file", "policy", "timeout", "time-offset"}},
};

const Command *FindCommand(const std::string &name) {
  for (const auto &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void PrintOverview(FILE *to) {
  std::fprintf(to, "usage: cpki1-tool COMMAND [options]   (cpki1-tool COMMAND --help for details)\n\n");
  for (const auto &c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
}

struct Args {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> positional;
  bool Has(const std::string &k) const { return values.count(k) != 0 || flags.count(k) != 0; }
  std::string Get(const std::string &k) const {
    auto it = values.find(k);
    if (it == values.end()) Fail("missing option --" + k);
    return it->second;
  }
  std::string Get(const std::string &k, const std::string &def) const {
    auto it = values.find(k);
    return it == values.end() ? def : it->second;
  }
  long Number(const std::string &k, long def) const {
    auto it = values.find(k);
    if (it == values.end()) return def;
    char *end = nullptr;
    long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0') Fail("--" + k + " wants a whole number, not '" + it->second + "'");
    return v;
  }
};

Args Parse(const Command &cmd, int argc, char **argv) {
  Args a;
  for (int i = 0; i < argc; ++i) {
    std::string s = argv[i];
    if (s.rfind("--", 0) != 0) {
      a.positional.push_back(s);
      continue;
    }
    std::string name = s.substr(2);
    if (cmd.flags.count(name)) {
      a.flags.insert(name);
    } else if (cmd.values.count(name)) {
      if (i + 1 >= argc) Fail("option --" + name + " needs a value");
      // Names are UTF-8 for OpenSSL; a Windows command line is in the ANSI code page.
      a.values[name] = name == "subject" ? crtelv::platform::CommandLineTextToUtf8(argv[i + 1]) : std::string(argv[i + 1]);
      ++i;
    } else {
      Fail("unknown option " + s + " for '" + cmd.name + "'");
    }
  }
  return a;
}

// ---- Helpers -------------------------------------------------------------------

Bytes ReadInput(const std::string &path) {
  auto data = ReadWholeFile(path);
  if (!data) Fail("cannot read '" + path + "'");
  return *data;
}

void WriteOutput(const std::string &path, const Bytes &data, unsigned mode) {
  if (!ReplaceFile(path, data, mode)) Fail("cannot write '" + path + "'");
}

bool EndsWith(const std::string &s, const char *tail) {
  std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

Bytes MemBytes(BIO *bio) {
  char *p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return n > 0 ? Bytes(p, p + n) : Bytes();
}

Bytes CertOut(X509 *cert, const std::string &path) {
  if (!EndsWith(path, ".pem")) return CertDer(cert);
  std::string pem = CertPem(cert);
  return Bytes(pem.begin(), pem.end());
}

// "CN=Alice,O=Example,C=RU" (most specific first) as an X509_NAME.
NamePtr ParseDn(const std::string &text) {
  std::vector<std::string> parts;
  std::string cur;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      cur += text[++i];
    } else if (text[i] == ',') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += text[i];
    }
  }
  parts.push_back(cur);
  NamePtr name(X509_NAME_new());
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    std::size_t b = it->find_first_not_of(' ');
    std::string part = b == std::string::npos ? std::string() : it->substr(b);
    std::size_t eq = part.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == part.size())
      Fail("bad name part '" + part + "' in '" + text + "'");
    std::string key = part.substr(0, eq), value = part.substr(eq + 1);
    if (!X509_NAME_add_entry_by_txt(name.get(), key.c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char *>(value.c_str()), -1, -1, 0))
      Fail("unknown name attribute '" + key + "'");
  }
  return name;
}

// A new key as --algorithm (or --rsa) and --paramset ask.
KeyUPtr NewKey(const Args &a) {
  std::string alg = a.Get("algorithm", a.Has("rsa") ? "rsa" : "ec");
  if (a.Has("rsa") && alg != "rsa") Fail("--rsa and --algorithm " + alg + " contradict each other");
  if (a.Has("paramset") && alg.rfind("gost", 0) != 0) Fail("--paramset is for GOST keys only");
  if (alg == "gost2012_256" || alg == "gost2012_512") {
    std::string error;
    KeyUPtr k = gost::NewKey(alg == "gost2012_512" ? 512 : 256, a.Get("paramset", "A"), &error);
    if (!k) Fail(error);
    return k;
  }
  EVP_PKEY *k = nullptr;
  if (alg == "rsa") {
    k = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(2048));
  } else if (alg == "ec") {
    k = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  } else {
    Fail("--algorithm must be ec, rsa, gost2012_256 or gost2012_512, not '" + alg + "'");
  }
  if (k == nullptr) Fail("key generation failed: " + LastOpensslError());
  return KeyUPtr(k);
}

// The digest a key signs certificates and CRLs with: GOST R 34.11-2012 of the
// size of a GOST key, else SHA-256.
const EVP_MD *SigningDigest(EVP_PKEY *key) {
  if (gost::IsGostKey(key)) {
    const EVP_MD *md = gost::DigestFor(key);
    if (md == nullptr) Fail("a GOST key needs the GOST engine (libengine-gost-openssl)");
    return md;
  }
  if (Algs().sha256 == nullptr) Fail("SHA-256 is not available");
  return Algs().sha256;
}

KeyUPtr ReadKey(const std::string &path) {
  Bytes pem = ReadInput(path);
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY *k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (k == nullptr) Fail("'" + path + "' holds no PEM private key");
  return KeyUPtr(k);
}

Bytes KeyPem(EVP_PKEY *key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) Fail("cannot encode key");
  return MemBytes(bio.get());
}

void AddExt(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr || !X509_add_ext(cert, ext, -1)) {
    X509_EXTENSION_free(ext);
    Fail(std::string("cannot add extension ") + OBJ_nid2sn(nid) + " = " + value + ": " + LastOpensslError());
  }
  X509_EXTENSION_free(ext);
}

void RandomSerial(X509 *cert) {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) Fail("no random numbers");
  bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7F) | 0x10);
  BIGNUM *bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  ASN1_INTEGER *serial = BN_to_ASN1_INTEGER(bn, nullptr);
  X509_set_serialNumber(cert, serial);
  ASN1_INTEGER_free(serial);
  BN_free(bn);
}

struct Ca {
  std::string dir;
  KeyUPtr key;
  X509UPtr cert;
};

Ca LoadCa(const std::string &dir) {
  Ca ca;
  ca.dir = dir;
  ca.key = ReadKey(dir + "/ca.key.pem");
  ca.cert = CertFromAny(ReadInput(dir + "/ca.cert.pem"));
  if (!ca.cert) Fail("'" + dir + "/ca.cert.pem' holds no certificate");
  return ca;
}

void SignCert(X509 *cert, EVP_PKEY *key) {
  if (X509_sign(cert, key, SigningDigest(key)) <= 0) Fail("signing failed: " + LastOpensslError());
}

std::string KeyUsageFor(const std::string &usage, EVP_PKEY *key) {
  bool ec = EVP_PKEY_is_a(key, "EC");
  // GOST keys receive by key export from an agreed key (KExp15, VKO).
  std::string enc = gost::IsGostKey(key) ? "keyEncipherment,keyAgreement"
                    : ec                 ? "keyAgreement"
                                         : "keyEncipherment,dataEncipherment";
  if (usage == "sign" || usage == "tsa") return "critical,digitalSignature,nonRepudiation";
  if (usage == "encrypt") return "critical," + enc;
  if (usage == "both") return "critical,digitalSignature,nonRepudiation," + enc;
  Fail("--usage must be sign, encrypt or both (or tsa for a time-stamping key), not '" + usage + "'");
}

// An end-entity certificate of the CA for a subject and key.
X509UPtr Issue(const Ca &ca, const X509_NAME *subject, EVP_PKEY *key, const std::string &usage, long days,
               long startDays, const std::string &ekus, long pkupDays) {
  X509UPtr cert(X509_new());
  time_t now = time(nullptr);
  time_t start = now + startDays * 86400;
  X509_set_version(cert.get(), X509_VERSION_3);
  RandomSerial(cert.get());
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.cert.get()));
  X509_set_subject_name(cert.get(), subject);
  X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &start);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, &start);
  X509_set_pubkey(cert.get(), key);
  AddExt(cert.get(), ca.cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExt(cert.get(), ca.cert.get(), NID_key_usage, KeyUsageFor(usage, key).c_str());
  AddExt(cert.get(), ca.cert.get(), NID_subject_key_identifier, "hash");
  AddExt(cert.get(), ca.cert.get(), NID_authority_key_identifier, "keyid:always");
  if (usage == "tsa") {
    // A time-stamping key serves nothing else (RFC 3161, 2.3).
    if (!ekus.empty()) Fail("--usage tsa takes no --eku: its only extended key usage is timeStamping");
    AddExt(cert.get(), ca.cert.get(), NID_ext_key_usage, "critical,timeStamping");
  } else if (!ekus.empty()) {
    AddExt(cert.get(), ca.cert.get(), NID_ext_key_usage, ekus.c_str());
  }
  if (pkupDays > 0) {
    PKEY_USAGE_PERIOD *period = PKEY_USAGE_PERIOD_new();
    period->notBefore = ASN1_GENERALIZEDTIME_set(nullptr, now);
    period->notAfter = ASN1_GENERALIZEDTIME_set(nullptr, now + pkupDays * 86400);
    X509_add1_ext_i2d(cert.get(), NID_private_key_usage_period, period, 0, X509V3_ADD_DEFAULT);
    PKEY_USAGE_PERIOD_free(period);
  }
  SignCert(cert.get(), ca.key.get());
  return cert;
}

template <class F>
void ChangeStore(const std::string &path, F &&change) {
  FileLock lock(path);
  if (!lock.Held()) Fail("cannot lock '" + path + "'");
  CertStoreData data;
  IoResult r = LoadCertStore(path, data);
  if (r != IoResult::kOk && r != IoResult::kMissing) Fail("'" + path + "' is not a certificate store");
  change(data);
  if (!SaveCertStore(path, data)) Fail("cannot write '" + path + "'");
}

// ---- Commands --------------------------------------------------------------------

void CmdCa(const Args &a) {
  std::string dir = a.Get("ca");
  crtelv::platform::MakeFolder(dir);
  if (ReadWholeFile(dir + "/ca.key.pem")) Fail("'" + dir + "' already holds a CA");
  NamePtr name = ParseDn(a.Get("subject"));
  KeyUPtr key = NewKey(a);
  X509UPtr cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  RandomSerial(cert.get());
  X509_set_issuer_name(cert.get(), name.get());
  X509_set_subject_name(cert.get(), name.get());
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(a.Number("days", 3650)), 0, nullptr);
  X509_set_pubkey(cert.get(), key.get());
  AddExt(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExt(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  AddExt(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  SignCert(cert.get(), key.get());
  WriteOutput(dir + "/ca.key.pem", KeyPem(key.get()), 0600);
  WriteOutput(dir + "/ca.cert.pem", CertOut(cert.get(), "x.pem"), 0644);
  WriteOutput(dir + "/revoked.txt", Bytes(), 0644);
  std::printf("CA '%s' made in %s\n", a.Get("subject").c_str(), dir.c_str());
}

void CmdIssue(const Args &a) {
  Ca ca = LoadCa(a.Get("ca"));
  NamePtr name = ParseDn(a.Get("subject"));
  std::string usage = a.Get("usage");
  if (!a.Has("pse") && !a.Has("cert") && !a.Has("store")) Fail("nothing to write: give --pse, --cert or --store");
  if (a.Has("key") && (a.Has("algorithm") || a.Has("rsa") || a.Has("paramset")))
    Fail("--key takes the key as it is: no --algorithm, --rsa or --paramset");
  KeyUPtr key = a.Has("key") ? ReadKey(a.Get("key")) : NewKey(a);
  X509UPtr cert = Issue(ca, name.get(), key.get(), usage, a.Number("days", 365), a.Number("start-days", 0),
                        a.Get("eku", ""), a.Number("pkup-days", 0));
  if (a.Has("pse")) {
    KeyStoreData data;
    EVP_PKEY_up_ref(key.get());
    X509_up_ref(cert.get());
    X509_up_ref(ca.cert.get());
    data.pairs.push_back(MakeKeyPair(ShareKey(key.get()), ShareCert(cert.get())));
    data.extraCerts.push_back(ShareCert(ca.cert.get()));
    std::string path = a.Get("pse");
    FileLock lock(path);
    if (!lock.Held() || !SaveKeyStore(path, data, KeyStorePassword())) Fail("cannot write '" + path + "'");
  }
  if (a.Has("cert")) WriteOutput(a.Get("cert"), CertOut(cert.get(), a.Get("cert")), 0644);
  if (a.Has("key-out")) WriteOutput(a.Get("key-out"), KeyPem(key.get()), 0600);
  if (a.Has("store")) {
    ChangeStore(a.Get("store"), [&](CertStoreData &d) {
      AddCertTo(d, ca.cert.get());
      AddCertTo(d, cert.get());
    });
  }
  std::string serial;
  {
    BIGNUM *bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr);
    char *hex = BN_bn2hex(bn);
    serial = hex;
    OPENSSL_free(hex);
    BN_free(bn);
  }
  std::printf("issued '%s', serial %s\n", a.Get("subject").c_str(), serial.c_str());
}

void CmdAnswer(const Args &a) {
  Ca ca = LoadCa(a.Get("ca"));
  ReqPtr req(RequestFromAny(ReadInput(a.Get("request"))));
  if (!req) Fail("'" + a.Get("request") + "' holds no PKCS#10 request");
  EVP_PKEY *key = X509_REQ_get0_pubkey(req.get());
  if (key == nullptr || X509_REQ_verify(req.get(), key) != 1) Fail("the request's signature does not verify");
  X509UPtr cert =
      Issue(ca, X509_REQ_get_subject_name(req.get()), key, a.Get("usage", "both"), a.Number("days", 365), 0, "", 0);
  WriteOutput(a.Get("out"), CertOut(cert.get(), a.Get("out")), 0644);
  std::printf("certificate written to %s\n", a.Get("out").c_str());
}

void WriteCrl(const Ca &ca, const Args &a) {
  auto list = ReadWholeFile(ca.dir + "/revoked.txt");
  std::string text = list ? std::string(list->begin(), list->end()) : std::string();
  // Options first: a wrong one fails before anything is allocated.
  const long startDays = a.Number("start-days", 0), days = a.Number("days", 30);
  const std::string out = a.Get("crl", ca.dir + "/ca.crl.pem");
  std::unique_ptr<X509_CRL, Freer<X509_CRL_free>> crl(X509_CRL_new());
  time_t now = time(nullptr) + startDays * 86400;
  X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get()));
  ASN1_TIME *last = ASN1_TIME_set(nullptr, now);
  ASN1_TIME *next = ASN1_TIME_adj(nullptr, now, static_cast<int>(days), 0);
  X509_CRL_set1_lastUpdate(crl.get(), last);
  X509_CRL_set1_nextUpdate(crl.get(), next);
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  std::istringstream lines(text);
  std::string serialHex;
  long long when = 0;
  while (lines >> serialHex >> when) {
    X509_REVOKED *rev = X509_REVOKED_new();
    BIGNUM *bn = nullptr;
    BN_hex2bn(&bn, serialHex.c_str());
    ASN1_INTEGER *serial = BN_to_ASN1_INTEGER(bn, nullptr);
    ASN1_TIME *date = ASN1_TIME_set(nullptr, static_cast<time_t>(when));
    X509_REVOKED_set_serialNumber(rev, serial);
    X509_REVOKED_set_revocationDate(rev, date);
    X509_CRL_add0_revoked(crl.get(), rev);
    ASN1_TIME_free(date);
    ASN1_INTEGER_free(serial);
    BN_free(bn);
  }
  ASN1_INTEGER *number = ASN1_INTEGER_new();
  ASN1_INTEGER_set_int64(number, static_cast<int64_t>(time(nullptr)));
  X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, number, 0, X509V3_ADD_DEFAULT);
  ASN1_INTEGER_free(number);
  X509_CRL_sort(crl.get());
  if (X509_CRL_sign(crl.get(), ca.key.get(), SigningDigest(ca.key.get())) <= 0)
    Fail("CRL signing failed: " + LastOpensslError());
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (EndsWith(out, ".pem")) {
    PEM_write_bio_X509_CRL(bio.get(), crl.get());
  } else {
    i2d_X509_CRL_bio(bio.get(), crl.get());
  }
  WriteOutput(out, MemBytes(bio.get()), 0644);
  if (a.Has("store")) {
    ChangeStore(a.Get("store"), [&](CertStoreData &d) {
      AddCertTo(d, ca.cert.get());
      AddCrlTo(d, crl.get(), X509_get0_pubkey(ca.cert.get()));
    });
  }
  std::printf("CRL written to %s\n", out.c_str());
}

void CmdCrl(const Args &a) { WriteCrl(LoadCa(a.Get("ca")), a); }

void CmdRevoke(const Args &a) {
  Ca ca = LoadCa(a.Get("ca"));
  std::string serialHex;
  if (a.Has("cert")) {
    X509UPtr cert = CertFromAny(ReadInput(a.Get("cert")));
    if (!cert) Fail("'" + a.Get("cert") + "' holds no certificate");
    if (X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_subject_name(ca.cert.get())) != 0)
      Fail("the certificate was not issued by this CA");
    BIGNUM *bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr);
    char *hex = BN_bn2hex(bn);
    serialHex = hex;
    OPENSSL_free(hex);
    BN_free(bn);
  } else {
    serialHex = a.Get("serial");
    BIGNUM *bn = nullptr;
    if (BN_hex2bn(&bn, serialHex.c_str()) != static_cast<int>(serialHex.size())) {
      BN_free(bn);
      Fail("--serial wants hexadecimal digits, not '" + serialHex + "'");
    }
    BN_free(bn);
  }
  std::string path = ca.dir + "/revoked.txt";
  {
    FileLock lock(path);
    auto list = ReadWholeFile(path);
    Bytes data = list ? *list : Bytes();
    std::string line = serialHex + " " + std::to_string(static_cast<long long>(time(nullptr))) + "\n";
    data.insert(data.end(), line.begin(), line.end());
    WriteOutput(path, data, 0644);
  }
  std::printf("revoked serial %s\n", serialHex.c_str());
  WriteCrl(ca, a);
}

void CmdStore(const Args &a) {
  std::string store = a.Get("store");
  if (a.positional.empty()) Fail("no input files");
  CertStoreData incoming;
  for (const auto &in : a.positional) {
    Bytes data = ReadInput(in);
    if (auto cert = CertFromDer(data.data(), data.size())) {
      X509_up_ref(cert.get());
      incoming.certs.push_back(ShareCert(cert.get()));
      continue;
    }
    if (auto crl = CrlFromDer(data.data(), data.size())) {
      X509_CRL_up_ref(crl.get());
      incoming.crls.push_back(ShareCrl(crl.get()));
      continue;
    }
    CertStoreData pem;
    if (ParseCertStore(data, pem) != IoResult::kOk || (pem.certs.empty() && pem.crls.empty()))
      Fail("'" + in + "' holds no certificate or CRL");
    incoming.certs.insert(incoming.certs.end(), pem.certs.begin(), pem.certs.end());
    incoming.crls.insert(incoming.crls.end(), pem.crls.begin(), pem.crls.end());
  }
  ChangeStore(store, [&](CertStoreData &d) {
    for (const auto &c : incoming.certs) AddCertTo(d, c.get());
    for (const auto &c : incoming.crls) {
      // Replaces only the CRLs of the key that signed it, when a CA
      // certificate of the store has that key.
      EVP_PKEY *key = nullptr;
      for (const auto &ca : d.certs) {
        EVP_PKEY *k = X509_get0_pubkey(ca.get());
        if (key == nullptr && IsCa(ca.get()) && k != nullptr && X509_CRL_verify(c.get(), k) == 1) key = k;
      }
      AddCrlTo(d, c.get(), key);
    }
  });
  std::printf("%zu certificate(s), %zu CRL(s) added to %s\n", incoming.certs.size(), incoming.crls.size(),
              store.c_str());
}

// The certificates of a PEM file in their order, or the one certificate of a DER file.
CertListPtr ReadCerts(const std::string &path) {
  Bytes data = ReadInput(path);
  CertListPtr certs(sk_X509_new_null());
  BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  while (X509 *c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    if (!sk_X509_push(certs.get(), c)) {
      X509_free(c);
      Fail("no memory");
    }
  }
  ERR_clear_error();
  if (sk_X509_num(certs.get()) == 0) {
    X509UPtr one = CertFromAny(data);
    if (!one || !sk_X509_push(certs.get(), one.get())) Fail("'" + path + "' holds no certificate");
    one.release();
  }
  return certs;
}

bool TimeStamping(X509 *cert) {
  return (X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) != 0 &&
         (X509_get_extended_key_usage(cert) & XKU_TIMESTAMP) != 0;
}

void Log(const std::string &line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void CmdTsa(const Args &a) {
  if (a.Has("pse") == (a.Has("cert") || a.Has("key"))) Fail("give either --pse or --cert and --key");
  const long port = a.Number("port", -1), count = a.Number("count", -1), timeout = a.Number("timeout", 120),
             offset = a.Number("time-offset", 0);
  if (port < 0 || port > 65535) Fail("--port wants 0 to 65535");
  if (count < 1 || count > 1000000) Fail("--count wants 1 to 1000000");
  if (timeout < 1 || timeout > 86400) Fail("--timeout wants 1 to 86400 seconds");
  if (offset < -3650L * 86400 || offset > 3650L * 86400) Fail("--time-offset wants at most ten years either way");
  X509UPtr signer;
  KeyUPtr key;
  CertListPtr chain(sk_X509_new_null());
  if (a.Has("pse")) {
    KeyStoreData data;
    const std::string path = a.Get("pse");
    if (LoadKeyStore(path, KeyStorePassword(), data) != IoResult::kOk)
      Fail("cannot read the key store '" + path + "' (password from CPKI1_PSE_PASSWORD)");
    const KeyPair *pick = nullptr;
    for (const auto &pair : data.pairs) {
      if (!TimeStamping(pair.cert.get())) continue;
      if (pick != nullptr) Fail("'" + path + "' holds more than one time-stamping key");
      pick = &pair;
    }
    if (pick == nullptr) Fail("'" + path + "' holds no time-stamping key (cpki1-tool issue --usage tsa)");
    X509_up_ref(pick->cert.get());
    signer.reset(pick->cert.get());
    EVP_PKEY_up_ref(pick->key.get());
    key.reset(pick->key.get());
    for (const auto &c : data.extraCerts) {
      if (!sk_X509_push(chain.get(), c.get())) Fail("no memory");
      X509_up_ref(c.get());
    }
  } else {
    if (!a.Has("cert") || !a.Has("key")) Fail("--cert and --key go together");
    CertListPtr certs = ReadCerts(a.Get("cert"));
    signer.reset(sk_X509_shift(certs.get()));
    while (X509 *c = sk_X509_shift(certs.get())) {
      if (!sk_X509_push(chain.get(), c)) {
        X509_free(c);
        Fail("no memory");
      }
    }
    key = ReadKey(a.Get("key"));
  }
  TsaConfig config;
  config.signer = signer.get();
  config.key = key.get();
  config.chain = a.Has("chain") ? chain.get() : nullptr;
  config.signerDigest = SigningDigest(key.get());
  config.policy = a.Get("policy", CPKI1_TSA_TEST_POLICY);
  config.timeOffset = offset;
  config.port = static_cast<int>(port);
  config.portFile = a.Get("port-file", "");
  config.count = count;
  config.idleSeconds = timeout;
  config.log = Log;
  try {
    ServeTimeStamps(config);
  } catch (const TsaError &e) {
    Fail(e.what());
  }
}

const std::map<std::string, std::function<void(const Args &)>> kHandlers = {
    {"ca", CmdCa},         {"issue", CmdIssue}, {"answer", CmdAnswer},
    {"revoke", CmdRevoke}, {"crl", CmdCrl},     {"store", CmdStore},
    {"tsa", CmdTsa},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
    const Command *c = argc > 2 ? FindCommand(argv[2]) : nullptr;
    if (c != nullptr) {
      std::fputs(c->usage, stdout);
    } else {
      PrintOverview(argc < 2 ? stderr : stdout);
    }
    return argc < 2 ? 2 : 0;
  }
  const Command *cmd = FindCommand(argv[1]);
  if (cmd == nullptr) {
    std::fprintf(stderr, "cpki1-tool: unknown command '%s'\n\n", argv[1]);
    PrintOverview(stderr);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(cmd->usage, stdout);
      return 0;
    }
  }
  // Before any key or certificate is read: GOST ones decode only with the engine.
  gost::Available();
  try {
    Args args = Parse(*cmd, argc - 2, argv + 2);
    if (!args.positional.empty() && std::strcmp(cmd->name, "store") != 0)
      Fail("unexpected argument '" + args.positional.front() + "'");
    kHandlers.at(cmd->name)(args);
  } catch (const Failure &f) {
    std::fprintf(stderr, "cpki1-tool %s: %s\n(see cpki1-tool %s --help)\n", cmd->name, f.message.c_str(), cmd->name);
    return 1;
  }
  return 0;
}
