// The library's exports on the open provider beside the same provider calls
// made directly: SignData, VerifyData, EncodeData, DecodeData and HashData
// of 1 KiB. The ratio of a pair is the library's overhead. Then server-mode
// throughput (signing 1 KiB) with 1 and 2 threads on the thread-safe
// provider. The parties are made by cpki1-tool in a temporary folder.
//
// With --ratios it measures instead each operation through the exports
// against the primitives it cannot do without, timed here on the same
// libcrypto, interleaved in one run, at 1 KiB and 64 KiB, and prints
// "RATIO <operation> <size> <operation median / primitives median>" lines;
// then the same operations against OpenSSL's own CMS calls for the same work
// (CMS_sign and its encoding, d2i and CMS_verify, CMS_encrypt and its
// encoding, d2i and CMS_decrypt), timed in the same run, as
// "PEER <operation> <size> <operation median / OpenSSL's median>" lines; and
// then "RATIO done".
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cr_telv.h"
#include "library/load_units.h"
#include "provider/cpki1_api.h"

namespace {

constexpr int kDataSize = 1024;

std::string Quote(const std::string &s) { return "'" + s + "'"; }
std::string Upper(std::string s) {
  for (char &c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

struct World {
  World() {
    std::string base = std::filesystem::temp_directory_path().string() + "/crtelv-bench-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) std::abort();
    dir = base + "/";
    const std::string tool = Quote(CPKI1_TOOL);
    const std::string store = " --store " + Quote(dir + "store.pem");
    auto run = [](const std::string &line) {
      if (std::system((line + " >/dev/null 2>&1").c_str()) != 0) std::abort();
    };
    run(tool + " ca --ca " + Quote(dir + "ca") + " --subject 'CN=Test CA,O=Example,C=RU'");
    for (const char *party : {"alice", "bob"}) {
      run(tool + " issue --ca " + Quote(dir + "ca") + " --subject 'CN=" + party + ",O=Example,C=RU' --pse " +
          Quote(dir + party + ".pse") + " --cert " + Quote(dir + party + ".der") + " --key-out " +
          Quote(dir + party + ".key") + " --usage both --eku 1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2" + store);
    }
    // The library finds the provider in the root's EXE folder: links to the
    // file this process loads directly, so that both use one provider.
    std::filesystem::create_directories(dir + "root/EXE");
    const std::filesystem::path real = std::filesystem::canonical(CPKI1_LIBRARY);
    std::filesystem::create_symlink(real, dir + "root/EXE/" + real.filename().string());
    std::filesystem::create_symlink(real.filename(), dir + "root/EXE/libcpki1.so");
    provider = dlopen(CPKI1_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (provider == nullptr) std::abort();
#define BENCH_RESOLVE(name, type, required) name = reinterpret_cast<type>(dlsym(provider, #name));
    CPKI1_ENTRY_POINTS(BENCH_RESOLVE)
#undef BENCH_RESOLVE
    made = time(nullptr);
    crtelv::LibraryAttach();
    data.resize(kDataSize);
    for (int i = 0; i < kDataSize; ++i) data[static_cast<std::size_t>(i)] = static_cast<char>(i * 131 + 7);
  }
  ~World() { std::filesystem::remove_all(dir); }

  // The parties' certificates are valid from the second they were made in;
  // a chain check is remembered only once that second is over (its start is
  // a bound the check could cross). Hosts use certificates made earlier:
  // measure that case.
  void PastTheFirstSecond() const {
    while (time(nullptr) <= made) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  time_t made = 0;

  CrTelvEngine Engine(bool server) const {
    CrTelvEngine e = GetCryptObj(0);
    SetRootPath(e, (dir + "root/").c_str());
    SetCryptoParamValue(e, 2, (dir + "alice.pse").c_str());
    SetCryptoParamValue(e, 3, (dir + "store.pem").c_str());
    if (server) {
      SetCryptoParamValue(e, 8, "server");
      SetCryptoParamValue(e, 9, "1.3.6.1.5.5.7.3.1");
    }
    return e;
  }
  // A session as the library opens one: the engine hands the paths over
  // upper-cased, and the provider finds them without regard to letter case.
  TelvoraSession Session() const {
    const std::string pse = "pse://signed/" + Upper(dir + "alice.pse"), store = "file://" + Upper(dir + "store.pem");
    TelvoraOpenParams rec{};
    rec.Size = static_cast<int32_t>(sizeof rec);
    rec.PSEUrl = pse.c_str();
    rec.StoreUrl = store.c_str();
    TelvoraSession s = 0;
    if (VCERT_InitializeEx(1, &rec, &s) != 0) std::abort();
    return s;
  }

  std::string dir;
  void *provider = nullptr;
  std::vector<char> data;
#define BENCH_FIELD(name, type, required) type name = nullptr;
  CPKI1_ENTRY_POINTS(BENCH_FIELD)
#undef BENCH_FIELD
};

World &W() {
  static World world;
  return world;
}

TelvoraBlob Blob(const void *data, int32_t size) {
  return TelvoraBlob{size, static_cast<uint8_t *>(const_cast<void *>(data))};
}

// ---- Through the exports ------------------------------------------------------------

struct Exported {
  explicit Exported(bool server = false) : w(W()), e(w.Engine(server)) {
    signSize = 0;
    if (::SignData(e, w.data.data(), kDataSize, sign, &signSize, nullptr) != 0) std::abort();
    sealedSize = kDataSize;
    sealed.assign(w.data.begin(), w.data.end());
    sealed.resize(kDataSize + 8192);
    if (::EncodeData(e, sealed.data(), &sealedSize, "alice") != 0) std::abort();
  }
  ~Exported() { DoneEngine(e); }
  World &w;
  CrTelvEngine e;
  char sign[2048];
  int32_t signSize;
  std::vector<char> sealed;
  int32_t sealedSize;
};

void BM_Export_SignData(benchmark::State &state) {
  Exported x;
  char sign[2048];
  for (auto _ : state) {
    int32_t size = 0;
    if (::SignData(x.e, x.w.data.data(), kDataSize, sign, &size, nullptr) != 0) state.SkipWithError("SignData");
  }
}
BENCHMARK(BM_Export_SignData)->Unit(benchmark::kMicrosecond);

void BM_Export_VerifyData(benchmark::State &state) {
  Exported x;
  for (auto _ : state) {
    char signer[4097] = "";
    if (::VerifyData(x.e, x.w.data.data(), kDataSize, x.sign, x.signSize, signer) != 0) state.SkipWithError("VerifyData");
  }
}
BENCHMARK(BM_Export_VerifyData)->Unit(benchmark::kMicrosecond);

void BM_Export_EncodeData(benchmark::State &state) {
  Exported x;
  std::vector<char> buffer(kDataSize + 8192);
  for (auto _ : state) {
    std::memcpy(buffer.data(), x.w.data.data(), kDataSize);
    int32_t size = kDataSize;
    if (::EncodeData(x.e, buffer.data(), &size, "alice") != 0) state.SkipWithError("EncodeData");
  }
}
BENCHMARK(BM_Export_EncodeData)->Unit(benchmark::kMicrosecond);

void BM_Export_DecodeData(benchmark::State &state) {
  Exported x;
  std::vector<char> buffer(x.sealed.size());
  for (auto _ : state) {
    std::memcpy(buffer.data(), x.sealed.data(), static_cast<std::size_t>(x.sealedSize));
    int32_t size = x.sealedSize;
    int third = 0;
    if (::DecodeData(x.e, buffer.data(), &size, &third) != 0) state.SkipWithError("DecodeData");
  }
}
BENCHMARK(BM_Export_DecodeData)->Unit(benchmark::kMicrosecond);

void BM_Export_HashData(benchmark::State &state) {
  Exported x;
  char hash[32];
  for (auto _ : state) {
    int32_t size = 32;
    if (::HashData(x.e, x.w.data.data(), kDataSize, 0, hash, &size) != 0) state.SkipWithError("HashData");
  }
}
BENCHMARK(BM_Export_HashData)->Unit(benchmark::kMicrosecond);

// ---- The same provider calls made directly -------------------------------------------
// As the library makes them (client mode, UIDs by CN): the same parameters,
// the result copied out and released.

void BM_Direct_SignMem(benchmark::State &state) {
  World &w = W();
  const TelvoraSession s = w.Session();
  char sign[2048];
  for (auto _ : state) {
    const TelvoraSignParams p{3, nullptr};
    const TelvoraBlob in = Blob(w.data.data(), kDataSize);
    TelvoraBlob out{};
    if (w.VCERT_SignMem(s, &p, &in, nullptr, &out) != 0) state.SkipWithError("VCERT_SignMem");
    std::memcpy(sign, out.Data, static_cast<std::size_t>(out.Length));
    w.VCERT_FreeMem(s, out.Data);
  }
  w.VCERT_Uninitialize(s);
}
BENCHMARK(BM_Direct_SignMem)->Unit(benchmark::kMicrosecond);

void BM_Direct_VerifyMem(benchmark::State &state) {
  World &w = W();
  Exported x;
  const TelvoraSession s = w.Session();
  for (auto _ : state) {
    TelvoraVerifyParams p{};
    p.Flags = 3;
    p.Fields = 0x10404;
    const TelvoraBlob in = Blob(w.data.data(), kDataSize), sig = Blob(x.sign, x.signSize);
    TelvoraVerifyResult result{};
    if (w.VCERT_VerifyMem(s, &p, &in, &sig, nullptr, &result) != 0) state.SkipWithError("VCERT_VerifyMem");
    benchmark::DoNotOptimize(result.Signers[0].Cert->Subject);
    w.VCERT_FreeVerifyResult(s, &result);
  }
  w.VCERT_Uninitialize(s);
}
BENCHMARK(BM_Direct_VerifyMem)->Unit(benchmark::kMicrosecond);

void BM_Direct_FindCertEncryptMem(benchmark::State &state) {
  World &w = W();
  const TelvoraSession s = w.Session();
  std::vector<char> buffer(kDataSize + 8192);
  for (auto _ : state) {
    std::memcpy(buffer.data(), w.data.data(), kDataSize);
    TelvoraFindCriteria c{};
    c.Stores = TELVORA_STORE_OTHERS;
    c.MatchBy = TELVORA_MATCH_SUBJECT;
    c.Subject = "CN=alice";
    c.Fields = TELVORA_FIELD_SERIAL | TELVORA_FIELD_ISSUER;
    TelvoraFindResult found{};
    if (w.VCERT_FindCert(s, &c, &found) != 0 || found.Count != 1) state.SkipWithError("VCERT_FindCert");
    const TelvoraCryptParams p{1, nullptr, found.Count, found.Certs};
    const TelvoraBlob in = Blob(buffer.data(), kDataSize);
    TelvoraBlob out{};
    if (w.VCERT_EncryptMem(s, &p, &in, &out) != 0) state.SkipWithError("VCERT_EncryptMem");
    std::memcpy(buffer.data(), out.Data, static_cast<std::size_t>(out.Length));
    w.VCERT_FreeMem(s, out.Data);
    w.VCERT_FreeFindResult(s, &found);
  }
  w.VCERT_Uninitialize(s);
}
BENCHMARK(BM_Direct_FindCertEncryptMem)->Unit(benchmark::kMicrosecond);

void BM_Direct_DecryptMem(benchmark::State &state) {
  World &w = W();
  Exported x;
  const TelvoraSession s = w.Session();
  std::vector<char> buffer(x.sealed.size());
  for (auto _ : state) {
    std::memcpy(buffer.data(), x.sealed.data(), static_cast<std::size_t>(x.sealedSize));
    const TelvoraDecryptParams p{1, nullptr, 0};
    const TelvoraBlob in = Blob(buffer.data(), x.sealedSize);
    TelvoraBlob out{};
    TelvoraCertInfo sender{};
    if (w.VCERT_DecryptMem(s, &p, &in, &out, &sender) != 0) state.SkipWithError("VCERT_DecryptMem");
    std::memcpy(buffer.data(), out.Data, static_cast<std::size_t>(out.Length));
    w.VCERT_FreeMem(s, out.Data);
    w.VCERT_FreeDecryptResult(s, &sender);
  }
  w.VCERT_Uninitialize(s);
}
BENCHMARK(BM_Direct_DecryptMem)->Unit(benchmark::kMicrosecond);

void BM_Direct_HashMem(benchmark::State &state) {
  World &w = W();
  const TelvoraSession s = w.Session();
  char hash[32];
  for (auto _ : state) {
    const TelvoraBlob in = Blob(w.data.data(), kDataSize);
    TelvoraBlob out{};
    if (w.VCERT_HashMem(s, &in, &out) != 0) state.SkipWithError("VCERT_HashMem");
    std::memcpy(hash, out.Data, 32);
    w.VCERT_FreeMem(s, out.Data);
  }
  w.VCERT_Uninitialize(s);
}
BENCHMARK(BM_Direct_HashMem)->Unit(benchmark::kMicrosecond);

// ---- Server mode on the thread-safe provider ----------------------------------------

void BM_ServerSignData(benchmark::State &state) {
  World &w = W();
  const CrTelvEngine e = w.Engine(true);
  char sign[2048];
  for (auto _ : state) {
    int32_t size = 0;
    if (::SignData(e, w.data.data(), kDataSize, sign, &size, nullptr) != 0) state.SkipWithError("SignData");
  }
  state.SetItemsProcessed(state.iterations());
  DoneEngine(e);
}
BENCHMARK(BM_ServerSignData)->ThreadRange(1, 2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same provider calls made directly on one session shared by the
// threads: the server's key looked up, then the signature.
void BM_Direct_ServerSignMem(benchmark::State &state) {
  World &w = W();
  static const TelvoraSession s = w.Session();
  char sign[2048];
  for (auto _ : state) {
    TelvoraFindCriteria c{};
    c.Stores = TELVORA_STORE_OWN;
    c.MatchBy = TELVORA_MATCH_EKU;
    const char *const eku[] = {"1.3.6.1.5.5.7.3.1"};
    c.EKUCount = 1;
    c.EKUList = eku;
    c.Fields = 0x8000;
    TelvoraFindResult found{};
    if (w.VCERT_FindCert(s, &c, &found) != 0 || found.Count != 1) state.SkipWithError("VCERT_FindCert");
    const std::string keyRef = found.Certs[0].KeyReference;
    w.VCERT_FreeFindResult(s, &found);
    const AuthRecord auth{1, keyRef.c_str(), 0};
    const TelvoraSignParams p{3, &auth};
    const TelvoraBlob in = Blob(w.data.data(), kDataSize);
    TelvoraBlob out{};
    if (w.VCERT_SignMem(s, &p, &in, nullptr, &out) != 0) state.SkipWithError("VCERT_SignMem");
    std::memcpy(sign, out.Data, static_cast<std::size_t>(out.Length));
    w.VCERT_FreeMem(s, out.Data);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Direct_ServerSignMem)->ThreadRange(1, 2)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

// ---- Ratios: each operation against the primitives it needs --------------------------

namespace {

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void Fail(const char *what) {
  std::fprintf(stderr, "openssl_bench --ratios: %s failed\n", what);
  std::exit(1);
}

// The primitives, on the libcrypto the provider uses, with everything that
// can be prepared once prepared once.
struct Primitives {
  Primitives() {
    World &w = W();
    sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    FILE *f = std::fopen((w.dir + "alice.key").c_str(), "r");
    if (f == nullptr) Fail("reading alice.key");
    key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (sha256 == nullptr || gcm == nullptr || key == nullptr) Fail("preparing the primitives");
    sign = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    verify = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (EVP_PKEY_sign_init(sign) <= 0 || EVP_PKEY_verify_init(verify) <= 0) Fail("ECDSA setup");
    // ECDH as "openssl speed" times it: the derivation with a peer set once.
    peer = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    derive = EVP_PKEY_CTX_new_from_pkey(nullptr, peer, nullptr);
    if (peer == nullptr || EVP_PKEY_derive_init(derive) <= 0 || EVP_PKEY_derive_set_peer_ex(derive, key, 0) <= 0)
      Fail("ECDH setup");
    // The ephemeral key of an encryption, generated from prepared parameters.
    ephemeral = EVP_PKEY_CTX_new_from_pkey(nullptr, peer, nullptr);
    if (ephemeral == nullptr || EVP_PKEY_keygen_init(ephemeral) <= 0) Fail("key generation setup");
    std::size_t len = sizeof digest;
    unsigned int dlen = 0;
    EVP_Digest("x", 1, signed_, &dlen, sha256, nullptr);
    signature.resize(128);
    len = signature.size();
    if (EVP_PKEY_sign(sign, signature.data(), &len, signed_, 32) <= 0) Fail("ECDSA sign");
    signature.resize(len);
    cipher = EVP_CIPHER_CTX_new();
  }

  void Sha256(const char *data, std::size_t size) {
    unsigned int len = 0;
    if (!EVP_Digest(data, size, digest, &len, sha256, nullptr)) Fail("SHA-256");
  }
  void EcdsaSign() {
    unsigned char sig[80];
    std::size_t len = sizeof sig;
    if (EVP_PKEY_sign(sign, sig, &len, digest, 32) <= 0) Fail("ECDSA sign");
  }
  void EcdsaVerify() {
    if (EVP_PKEY_verify(verify, signature.data(), signature.size(), signed_, 32) != 1) Fail("ECDSA verify");
  }
  void Ecdh() {
    unsigned char secret[32];
    std::size_t len = sizeof secret;
    if (EVP_PKEY_derive(derive, secret, &len) <= 0) Fail("ECDH");
  }
  // A fresh P-256 key and the encoding of its point (uncompressed).
  void EphemeralKey() {
    EVP_PKEY *made = nullptr;
    unsigned char point[65];
    std::size_t len = 0;
    if (EVP_PKEY_keygen(ephemeral, &made) <= 0 ||
        !EVP_PKEY_get_octet_string_param(made, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &len))
      Fail("ephemeral key");
    EVP_PKEY_free(made);
  }
  // AES-256-GCM, the default content encryption, with its tag.
  void Aes256(const char *data, std::size_t size) {
    static const unsigned char k[32] = {1}, iv[12] = {2};
    out.resize(size + 16);
    int n = 0, m = 0;
    unsigned char tag[16];
    if (!EVP_EncryptInit_ex2(cipher, gcm, k, iv, nullptr) ||
        !EVP_EncryptUpdate(cipher, out.data(), &n, reinterpret_cast<const unsigned char *>(data), static_cast<int>(size)) ||
        !EVP_EncryptFinal_ex(cipher, out.data() + n, &m) ||
        !EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag))
      Fail("AES-256-GCM");
  }
  void ParseCms(const std::vector<char> &der) {
    const auto *p = reinterpret_cast<const unsigned char *>(der.data());
    CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
    if (cms == nullptr) Fail("d2i_CMS_ContentInfo");
    CMS_ContentInfo_free(cms);
  }

  EVP_MD *sha256 = nullptr;
  EVP_CIPHER *gcm = nullptr;
  EVP_PKEY *key = nullptr, *peer = nullptr;
  EVP_PKEY_CTX *sign = nullptr, *verify = nullptr, *derive = nullptr, *ephemeral = nullptr;
  EVP_CIPHER_CTX *cipher = nullptr;
  unsigned char digest[EVP_MAX_MD_SIZE] = {}, signed_[EVP_MAX_MD_SIZE] = {};
  std::vector<unsigned char> signature, out;
};

// OpenSSL's own CMS calls for the work of the operations, with the user's
// certificate and key, the certificate store (its CA and CRLs) and the
// provider's choices: detached SignedData with the signed attributes the
// provider writes; AuthEnvelopedData with AES-256-GCM and the SHA-256 KDF.
struct Peer {
  Peer() {
    World &w = W();
    FILE *f = std::fopen((w.dir + "alice.key").c_str(), "r");
    if (f == nullptr) Fail("reading alice.key");
    key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    f = std::fopen((w.dir + "alice.der").c_str(), "rb");
    if (f == nullptr) Fail("reading alice.der");
    cert = d2i_X509_fp(f, nullptr);
    std::fclose(f);
    store = X509_STORE_new();
    if (key == nullptr || cert == nullptr || store == nullptr ||
        X509_STORE_load_file(store, (w.dir + "store.pem").c_str()) != 1)
      Fail("preparing OpenSSL's CMS calls");
    // The provider asks no S/MIME purpose of a signer (the parties' EKUs are
    // TLS ones); revocation checked as the provider checks it, when the store
    // has CRLs.
    X509_STORE_set_purpose(store, X509_PURPOSE_ANY);
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
      if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_CRL)
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    }
    gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (gcm == nullptr || sha256 == nullptr) Fail("fetching for OpenSSL's CMS calls");
  }

  static void Encode(CMS_ContentInfo *cms, std::vector<unsigned char> &out) {
    const int n = i2d_CMS_ContentInfo(cms, nullptr);
    if (n <= 0) Fail("i2d_CMS_ContentInfo");
    out.resize(static_cast<std::size_t>(n));
    unsigned char *p = out.data();
    i2d_CMS_ContentInfo(cms, &p);
  }
  static CMS_ContentInfo *Parse(const std::vector<char> &der, std::size_t size) {
    const auto *p = reinterpret_cast<const unsigned char *>(der.data());
    CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(size));
    if (cms == nullptr) Fail("d2i_CMS_ContentInfo");
    return cms;
  }

  void Sign(const std::vector<char> &data) {
    BIO *in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    CMS_ContentInfo *cms = CMS_sign(cert, key, nullptr, in, CMS_BINARY | CMS_DETACHED | CMS_NOSMIMECAP | CMS_CADES);
    if (cms == nullptr) Fail("CMS_sign");
    Encode(cms, out);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
  }
  void Verify(const std::vector<char> &data, const std::vector<char> &signature) {
    CMS_ContentInfo *cms = Parse(signature, signature.size());
    BIO *in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    if (CMS_verify(cms, nullptr, store, in, nullptr, CMS_BINARY) != 1) {
      ERR_print_errors_fp(stderr);
      Fail("CMS_verify");
    }
    BIO_free(in);
    CMS_ContentInfo_free(cms);
  }
  void Encrypt(const std::vector<char> &data) {
    BIO *in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    CMS_ContentInfo *cms = CMS_encrypt(nullptr, nullptr, gcm, CMS_BINARY | CMS_PARTIAL);
    CMS_RecipientInfo *ri = cms != nullptr ? CMS_add1_recipient_cert(cms, cert, CMS_KEY_PARAM) : nullptr;
    EVP_PKEY_CTX *pctx = ri != nullptr ? CMS_RecipientInfo_get0_pkey_ctx(ri) : nullptr;
    if (pctx == nullptr || EVP_PKEY_CTX_set_ecdh_kdf_md(pctx, sha256) <= 0 || !CMS_final(cms, in, nullptr, CMS_BINARY))
      Fail("CMS_encrypt");
    Encode(cms, out);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
  }
  void Decrypt(const std::vector<char> &sealed, std::size_t size) {
    CMS_ContentInfo *cms = Parse(sealed, size);
    BIO *plain = BIO_new(BIO_s_mem());
    if (CMS_decrypt(cms, key, cert, nullptr, plain, CMS_BINARY) != 1) Fail("CMS_decrypt");
    BIO_free(plain);
    CMS_ContentInfo_free(cms);
  }

  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  X509_STORE *store = nullptr;
  EVP_CIPHER *gcm = nullptr;
  EVP_MD *sha256 = nullptr;
  std::vector<unsigned char> out;
};

struct Row {
  Row(std::string n, int s, std::function<void()> o, std::function<void()> p, std::function<void()> q = {})
      : name(std::move(n)), size(s), operation(std::move(o)), primitives(std::move(p)), peer(std::move(q)) {}
  std::string name;
  int size = 0;
  std::function<void()> operation, primitives, peer;  // peer: OpenSSL's own call, where there is one
  long rounds = 1;  // calls per sample, set so that a sample takes about 10 ms
  std::vector<double> op, prim, openssl;
};

double Sample(const std::function<void()> &f, long rounds) {
  double start = ThreadSeconds();
  for (long i = 0; i < rounds; ++i) f();
  return (ThreadSeconds() - start) / static_cast<double>(rounds);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One engine in client mode and its inputs for one data size.
struct Inputs {
  Inputs(World &w, CrTelvEngine e, int size) : data(static_cast<std::size_t>(size)) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
    signature.resize(8192);
    int32_t signSize = 0;
    if (::SignData(e, data.data(), size, signature.data(), &signSize, nullptr) != 0) Fail("SignData");
    signature.resize(static_cast<std::size_t>(signSize));
    sealed.assign(data.begin(), data.end());
    sealed.resize(static_cast<std::size_t>(size) * 2 + 16384);
    sealedSize = size;
    if (::EncodeData(e, sealed.data(), &sealedSize, "alice") != 0) Fail("EncodeData");
    buffer.resize(sealed.size());
    (void)w;
  }
  std::vector<char> data, signature, sealed, buffer;
  int32_t sealedSize = 0;
};

// only: the one operation to measure (for a profiler), or empty for all.
int RunRatios(const std::string &only) {
  World &w = W();
  Primitives prim;
  Peer peer;
  w.PastTheFirstSecond();
  const CrTelvEngine e = w.Engine(false);
  std::vector<std::unique_ptr<Inputs>> inputs;
  std::vector<Row> rows;
  for (int size : {1024, 65536}) {
    inputs.push_back(std::make_unique<Inputs>(w, e, size));
    Inputs &in = *inputs.back();
    const std::size_t n = static_cast<std::size_t>(size);
    rows.emplace_back("SignData", size,
                    [&in, e, size] {
                      char sign[8192];
                      int32_t signSize = 0;
                      if (::SignData(e, in.data.data(), size, sign, &signSize, nullptr) != 0) Fail("SignData");
                    },
                    [&prim, &in, n] {
                      prim.Sha256(in.data.data(), n);
                      prim.EcdsaSign();
                    },
                    [&peer, &in] { peer.Sign(in.data); });
    rows.emplace_back("VerifyData", size,
                    [&in, e, size] {
                      char signer[4097] = "";
                      if (::VerifyData(e, in.data.data(), size, in.signature.data(),
                                       static_cast<int32_t>(in.signature.size()), signer) != 0)
                        Fail("VerifyData");
                    },
                    [&prim, &in, n] {
                      prim.ParseCms(in.signature);
                      prim.EcdsaVerify();
                      prim.EcdsaVerify();
                      prim.Sha256(in.data.data(), n);
                    },
                    [&peer, &in] { peer.Verify(in.data, in.signature); });
    rows.emplace_back("EncodeData", size,
                    [&in, e, size] {
                      std::memcpy(in.buffer.data(), in.data.data(), static_cast<std::size_t>(size));
                      int32_t s = size;
                      if (::EncodeData(e, in.buffer.data(), &s, "alice") != 0) Fail("EncodeData");
                    },
                    [&prim, &in, n] {
                      prim.EphemeralKey();
                      prim.Ecdh();
                      prim.Aes256(in.data.data(), n);
                    },
                    [&peer, &in] { peer.Encrypt(in.data); });
    rows.emplace_back("DecodeData", size,
                    [&in, e] {
                      std::memcpy(in.buffer.data(), in.sealed.data(), static_cast<std::size_t>(in.sealedSize));
                      int32_t s = in.sealedSize;
                      int third = 0;
                      if (::DecodeData(e, in.buffer.data(), &s, &third) != 0) Fail("DecodeData");
                    },
                    [&prim, &in, n] {
                      prim.Ecdh();
                      prim.Aes256(in.data.data(), n);
                    },
                    [&peer, &in] { peer.Decrypt(in.sealed, static_cast<std::size_t>(in.sealedSize)); });
    rows.emplace_back("HashData", size,
                    [&in, e, size] {
                      char hash[32];
                      int32_t s = 32;
                      if (::HashData(e, in.data.data(), size, 0, hash, &s) != 0) Fail("HashData");
                    },
                    [&prim, &in, n] { prim.Sha256(in.data.data(), n); });
  }
  if (!only.empty()) std::erase_if(rows, [&](const Row &r) { return r.name + "/" + std::to_string(r.size) != only; });
  // Calls per sample from one warm-up call of each.
  for (Row &r : rows) {
    r.operation();
    r.primitives();
    double t = std::max(Sample(r.operation, 3), Sample(r.primitives, 3));
    if (r.peer) {
      r.peer();
      t = std::max(t, Sample(r.peer, 3));
    }
    r.rounds = std::max(1L, static_cast<long>(0.01 / std::max(t, 1e-9)));
  }
  constexpr int kRepetitions = 15;
  for (int i = 0; i < kRepetitions; ++i) {
    for (Row &r : rows) {
      r.op.push_back(Sample(r.operation, r.rounds));
      r.prim.push_back(Sample(r.primitives, r.rounds));
      if (r.peer) r.openssl.push_back(Sample(r.peer, r.rounds));
    }
  }
  for (const Row &r : rows) {
    double op = Median(r.op), pr = Median(r.prim);
    std::printf("RATIO %s %d %.2f\n", r.name.c_str(), r.size, op / pr);
    std::fprintf(stderr, "  %-10s %6d  operation %9.2f us  primitives %9.2f us\n", r.name.c_str(), r.size, op * 1e6,
                 pr * 1e6);
  }
  for (const Row &r : rows) {
    if (r.openssl.empty()) continue;
    double op = Median(r.op), peerTime = Median(r.openssl);
    std::printf("PEER %s %d %.2f\n", r.name.c_str(), r.size, op / peerTime);
    std::fprintf(stderr, "  %-10s %6d  operation %9.2f us  OpenSSL's CMS call %9.2f us\n", r.name.c_str(), r.size,
                 op * 1e6, peerTime * 1e6);
  }
  std::printf("RATIO done\n");
  std::fflush(stdout);
  DoneEngine(e);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ratios") == 0) return RunRatios("");
    // --ratios=DecodeData/65536: that row alone.
    if (std::strncmp(argv[i], "--ratios=", 9) == 0) return RunRatios(argv[i] + 9);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
