#include "core.h"

#include <openssl/pem.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "gost.h"
#include "platform/native_services.h"
#include "platform/platform.h"

namespace cpki1 {

// ---- Encodings --------------------------------------------------------------

Bytes CertDer(X509 *cert) {
  int n = i2d_X509(cert, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<std::size_t>(n));
  uint8_t *p = out.data();
  i2d_X509(cert, &p);
  return out;
}

X509UPtr CertFromDer(const uint8_t *data, std::size_t length) {
  if (data == nullptr || length == 0 || length > 0x7FFFFFFF) return nullptr;
  const uint8_t *p = data;
  X509UPtr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
  if (cert && p != data + length) cert.reset();  // trailing bytes: not one certificate
  return cert;
}

CrlUPtr CrlFromDer(const uint8_t *data, std::size_t length) {
  if (data == nullptr || length == 0 || length > 0x7FFFFFFF) return nullptr;
  const uint8_t *p = data;
  CrlUPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(length)));
  if (crl && p != data + length) crl.reset();
  return crl;
}

namespace {
BioPtr MemBio(const Bytes &data) {
  return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 0x7FFFFFFF))));
}
}  // namespace

X509UPtr CertFromAny(const Bytes &data) {
  if (auto cert = CertFromDer(data.data(), data.size())) return cert;
  BioPtr bio = MemBio(data);
  return X509UPtr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

CrlUPtr CrlFromAny(const Bytes &data) {
  if (auto crl = CrlFromDer(data.data(), data.size())) return crl;
  BioPtr bio = MemBio(data);
  return CrlUPtr(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

X509_REQ *RequestFromAny(const Bytes &data) {
  if (data.empty()) return nullptr;
  const uint8_t *p = data.data();
  X509_REQ *req = d2i_X509_REQ(nullptr, &p, static_cast<long>(data.size()));
  if (req != nullptr) return req;
  BioPtr bio = MemBio(data);
  return bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

bool SameCert(X509 *a, X509 *b) { return a != nullptr && b != nullptr && X509_cmp(a, b) == 0; }

std::string Hex(const uint8_t *data, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string Fingerprint(X509 *cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (Algs().sha256 == nullptr || !X509_digest(cert, Algs().sha256, md, &len)) return {};
  return Hex(md, len);
}

std::string CertPem(X509 *cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), cert)) return {};
  char *p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return n > 0 ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

std::optional<int64_t> TimeOf(const ASN1_TIME *t) {
  struct tm tm {};
  if (t == nullptr || !ASN1_TIME_to_tm(t, &tm)) return std::nullopt;
  return crtelv::platform::UtcSeconds(tm);
}

bool IsCa(X509 *cert) { return X509_check_ca(cert) != 0; }

bool IsAnchor(X509 *cert) { return IsCa(cert) && X509_self_signed(cert, 1) == 1; }

// ---- Files -----------------------------------------------------------------

std::optional<Bytes> ReadWholeFile(const std::string &path, bool *missing) {
  Bytes out;
  if (!crtelv::platform::ReadWholeRegularFile(path, out, missing)) return std::nullopt;
  return out;
}

void RemoveUnfinishedFiles(const std::string &link) {
  const std::string path = LinkTarget(link);
  const std::size_t slash = path.find_last_of(crtelv::platform::FolderSeparators());
  const std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".new.";
  // "<name>.new.<process>.<number>", as ReplaceFile names them.
  auto unfinished = [&prefix](const char *name) {
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
    const char *rest = name + prefix.size();
    int dots = 0, digits = 0;
    for (; *rest != '\0'; ++rest) {
      if (*rest == '.' && digits > 0 && dots == 0) {
        ++dots;
        digits = 0;
      } else if (*rest >= '0' && *rest <= '9') {
        ++digits;
      } else {
        return false;
      }
    }
    return dots == 1 && digits > 0;
  };
  for (const std::string &name : crtelv::platform::FolderNames(folder)) {
    if (unfinished(name.c_str())) crtelv::platform::DeleteFile(folder + name);
  }
}

std::string LinkTarget(const std::string &path) { return crtelv::platform::LinkTarget(path); }

namespace {
std::atomic<uint64_t> g_storeWrites{0};
}  // namespace

uint64_t StoreWritesSoFar() { return g_storeWrites.load(std::memory_order_acquire); }

bool ReplaceFile(const std::string &link, const Bytes &data, unsigned mode) {
  static std::atomic<unsigned> counter{0};
  // A store behind a symbolic link is written beside the link's target, so
  // the link stays and its target gets the new content.
  const std::string path = LinkTarget(link);
  std::string temp = path + ".new." + std::to_string(crtelv::platform::ProcessId()) + "." + std::to_string(counter++);
  // Both steps are replaceable system calls: the tests make them fail.
  bool ok = crtelv::platform::CreateNewFileWithMode(temp, data.data(), data.size(), mode) &&
            crtelv::platform::ReplaceHeldFile(temp, path);
  if (!ok) crtelv::platform::DeleteFile(temp);
  g_storeWrites.fetch_add(1, std::memory_order_acq_rel);  // also after a failed write: look again
  return ok;
}

FileLock::FileLock(const std::string &path) : lock_(LinkTarget(path) + ".lock") {}

FileLock::~FileLock() = default;

std::optional<FileStamp> StampOf(const std::string &path) {
  FileStamp s;
  if (!crtelv::platform::StampOf(path, s)) return std::nullopt;
  return s;
}

// ---- Key store --------------------------------------------------------------

bool KeyStrong(EVP_PKEY *key) {
  if (key == nullptr) return false;
  if (gost::IsGostKey(key)) return true;  // GOST R 34.10-2012 has 256 and 512 bits only
  int bits = EVP_PKEY_get_bits(key);
  if (EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS") || EVP_PKEY_is_a(key, "DSA")) return bits >= 2048;
  if (EVP_PKEY_is_a(key, "EC")) return bits >= 256;
  return EVP_PKEY_get_security_bits(key) >= 112;
}

KeyPair MakeKeyPair(Key key, Cert cert) {
  KeyPair pair;
  pair.ref = Fingerprint(cert.get());
  pair.facts.notBefore = TimeOf(X509_get0_notBefore(cert.get()));
  pair.facts.notAfter = TimeOf(X509_get0_notAfter(cert.get()));
  pair.facts.strong = KeyStrong(key.get());
  pair.facts.ec = EVP_PKEY_is_a(key.get(), "EC") == 1;
  pair.facts.gost = gost::IsGostKey(key.get());
  pair.key = std::move(key);
  pair.cert = std::move(cert);
  return pair;
}

std::string KeyStorePassword() {
  const char *p = std::getenv("CPKI1_PSE_PASSWORD");
  return p != nullptr ? std::string(p) : std::string();
}

namespace {
constexpr char kPendingName[] = "pending";
constexpr int kIterations = 2048;

using SafeBags = STACK_OF(PKCS12_SAFEBAG);

struct RawKey {
  Key key;
  std::string name;
};

// The key of a bag; a GOST key without the GOST engine sets *needsGost.
EVP_PKEY *BagKey(const PKCS8_PRIV_KEY_INFO *p8, bool *needsGost) {
  EVP_PKEY *k = EVP_PKCS82PKEY(p8);
  const ASN1_OBJECT *alg = nullptr;
  if (k == nullptr && PKCS8_pkey_get0(&alg, nullptr, nullptr, nullptr, p8) && gost::IsGostAlgorithm(alg) &&
      !gost::Available())
    *needsGost = true;
  return k;
}

// Collects the keys and certificates of one list of bags.
bool ReadBags(SafeBags *bags, const char *pass, int passLen, std::vector<RawKey> &keys, std::vector<Cert> &certs,
              bool *needsGost) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
    char *friendly = PKCS12_get_friendlyname(bag);
    std::string name = friendly != nullptr ? friendly : "";
    OPENSSL_free(friendly);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_keyBag: {
        EVP_PKEY *k = BagKey(PKCS12_SAFEBAG_get0_p8inf(bag), needsGost);
        if (k == nullptr) return false;
        keys.push_back({ShareKey(k), name});
        break;
      }
      case NID_pkcs8ShroudedKeyBag: {
        PKCS8_PRIV_KEY_INFO *p8 = PKCS12_decrypt_skey(bag, pass, passLen);
        if (p8 == nullptr) return false;
        EVP_PKEY *k = BagKey(p8, needsGost);
        PKCS8_PRIV_KEY_INFO_free(p8);
        if (k == nullptr) return false;
        keys.push_back({ShareKey(k), name});
        break;
      }
      case NID_certBag: {
        X509 *c = PKCS12_SAFEBAG_get1_cert(bag);
        if (c != nullptr) certs.push_back(ShareCert(c));
        break;
      }
      default: break;  // secret and CRL bags are not ours
    }
  }
  return true;
}
}  // namespace

IoResult ParseKeyStore(const Bytes &der, const std::string &password, KeyStoreData &out) {
  out = KeyStoreData();
  gost::Available();  // GOST keys and certificates decode only once the engine is there
  const uint8_t *p = der.data();
  std::unique_ptr<PKCS12, Freer<PKCS12_free>> p12(der.empty() ? nullptr
                                                              : d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
  if (!p12) return IoResult::kUnreadable;
  // An empty password may have been applied as "" or as no password at all.
  const char *pass = password.c_str();
  int passLen = static_cast<int>(password.size());
  // Only a key store whose MAC verifies with the password is read: without
  // one, anybody could have put keys and trust anchors into it.
  if (!PKCS12_mac_present(p12.get())) return IoResult::kBadPassword;
  if (!PKCS12_verify_mac(p12.get(), pass, passLen)) {
    if (!password.empty() || !PKCS12_verify_mac(p12.get(), nullptr, 0)) return IoResult::kBadPassword;
    pass = nullptr;
    passLen = 0;
  }
  SafeListPtr safes(PKCS12_unpack_authsafes(p12.get()));
  if (!safes) return IoResult::kUnreadable;
  std::vector<RawKey> keys;
  std::vector<Cert> certs;
  bool ok = true, needsGost = false;
  for (int i = 0; ok && i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7 *p7 = sk_PKCS7_value(safes.get(), i);
    BagListPtr bags;
    int nid = OBJ_obj2nid(p7->type);
    if (nid == NID_pkcs7_data) {
      bags.reset(PKCS12_unpack_p7data(p7));
    } else if (nid == NID_pkcs7_encrypted) {
      bags.reset(PKCS12_unpack_p7encdata(p7, pass, passLen));
    } else {
      continue;
    }
    ok = bags && ReadBags(bags.get(), pass, passLen, keys, certs, &needsGost);
  }
  if (!ok) return needsGost ? IoResult::kNeedsGost : IoResult::kUnreadable;

  std::vector<bool> used(certs.size(), false);
  for (auto &k : keys) {
    bool paired = false;
    if (k.name != kPendingName) {
      for (std::size_t c = 0; c < certs.size(); ++c) {
        if (!used[c] && X509_check_private_key(certs[c].get(), k.key.get())) {
          used[c] = true;
          out.pairs.push_back(MakeKeyPair(k.key, certs[c]));
          paired = true;
          break;
        }
      }
    }
    if (!paired) out.pending = k.key;
  }
  for (std::size_t c = 0; c < certs.size(); ++c) {
    if (!used[c]) out.extraCerts.push_back(certs[c]);
  }
  return IoResult::kOk;
}

std::optional<Bytes> BuildKeyStore(const KeyStoreData &data, const std::string &password) {
  const char *pass = password.c_str();
  SafeBags *certBags = nullptr;
  SafeBags *keyBags = nullptr;
  STACK_OF(PKCS7) *safes = nullptr;
  std::optional<Bytes> result;
  bool ok = true;
  for (const auto &pair : data.pairs) {
    unsigned char id[EVP_MAX_MD_SIZE];
    unsigned int idLen = 0;
    ok = ok && X509_digest(pair.cert.get(), Algs().sha256, id, &idLen);
    PKCS12_SAFEBAG *cb = ok ? PKCS12_add_cert(&certBags, pair.cert.get()) : nullptr;
    ok = cb != nullptr && PKCS12_add_localkeyid(cb, id, static_cast<int>(idLen));
    PKCS12_SAFEBAG *kb = ok ? PKCS12_add_key(&keyBags, pair.key.get(), 0, kIterations, NID_aes_256_cbc, pass) : nullptr;
    ok = kb != nullptr && PKCS12_add_localkeyid(kb, id, static_cast<int>(idLen));
    if (!ok) break;
  }
  for (const auto &c : data.extraCerts) {
    if (ok && PKCS12_add_cert(&certBags, c.get()) == nullptr) ok = false;
  }
  if (ok && data.pending) {
    PKCS12_SAFEBAG *kb = PKCS12_add_key(&keyBags, data.pending.get(), 0, kIterations, NID_aes_256_cbc, pass);
    ok = kb != nullptr && PKCS12_add_friendlyname_asc(kb, kPendingName, -1);
  }
  if (ok && certBags != nullptr) ok = PKCS12_add_safe(&safes, certBags, NID_aes_256_cbc, kIterations, pass) != 0;
  if (ok && keyBags != nullptr) ok = PKCS12_add_safe(&safes, keyBags, -1, kIterations, pass) != 0;
  if (ok && safes == nullptr) safes = sk_PKCS7_new_null();  // an empty key store
  PKCS12 *p12 = ok && safes != nullptr ? PKCS12_add_safes(safes, 0) : nullptr;
  if (p12 != nullptr && PKCS12_set_mac(p12, pass, -1, nullptr, 0, kIterations, Algs().sha256)) {
    int n = i2d_PKCS12(p12, nullptr);
    if (n > 0) {
      Bytes der(static_cast<std::size_t>(n));
      uint8_t *p = der.data();
      i2d_PKCS12(p12, &p);
      result = std::move(der);
    }
  }
  PKCS12_free(p12);
  FreeSafeList(safes);
  FreeBagList(certBags);
  FreeBagList(keyBags);
  return result;
}

IoResult LoadKeyStore(const std::string &path, const std::string &password, KeyStoreData &out) {
  bool missing = false;
  auto der = ReadWholeFile(path, &missing);
  if (!der) {
    out = KeyStoreData();
    return missing ? IoResult::kMissing : IoResult::kUnreadable;
  }
  return ParseKeyStore(*der, password, out);
}

bool SaveKeyStore(const std::string &path, const KeyStoreData &data, const std::string &password) {
  auto der = BuildKeyStore(data, password);
  if (!der) return false;
  RemoveUnfinishedFiles(path);
  return ReplaceFile(path, *der, 0600);
}

// ---- Certificate store ------------------------------------------------------

IoResult ParseCertStore(const Bytes &pem, CertStoreData &out) {
  out = CertStoreData();
  if (pem.empty()) return IoResult::kOk;
  BioPtr bio = MemBio(pem);
  InfoListPtr infos(bio ? PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!infos) return IoResult::kUnreadable;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
    X509_INFO *info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 != nullptr) {
      out.certs.push_back(ShareCert(info->x509));
      info->x509 = nullptr;
    }
    if (info->crl != nullptr) {
      out.crls.push_back(ShareCrl(info->crl));
      info->crl = nullptr;
    }
  }
  return IoResult::kOk;
}

Bytes BuildCertStore(const CertStoreData &data) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  for (const auto &c : data.certs) PEM_write_bio_X509(bio.get(), c.get());
  for (const auto &c : data.crls) PEM_write_bio_X509_CRL(bio.get(), c.get());
  char *p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return n > 0 ? Bytes(p, p + n) : Bytes();
}

IoResult LoadCertStore(const std::string &path, CertStoreData &out) {
  bool missing = false;
  auto pem = ReadWholeFile(path, &missing);
  if (!pem) {
    out = CertStoreData();
    return missing ? IoResult::kMissing : IoResult::kUnreadable;
  }
  return ParseCertStore(*pem, out);
}

bool SaveCertStore(const std::string &path, const CertStoreData &data) {
  Bytes pem = BuildCertStore(data);
  if (pem.empty() && (!data.certs.empty() || !data.crls.empty())) return false;
  RemoveUnfinishedFiles(path);
  return ReplaceFile(path, pem, 0644);
}

bool AddCertTo(CertStoreData &store, X509 *cert) {
  for (const auto &c : store.certs) {
    if (SameCert(c.get(), cert)) return false;
  }
  X509_up_ref(cert);
  store.certs.push_back(ShareCert(cert));
  return true;
}

namespace {
using IntPtr = std::unique_ptr<ASN1_INTEGER, Freer<ASN1_INTEGER_free>>;
IntPtr CrlNumber(X509_CRL *crl) {
  return IntPtr(static_cast<ASN1_INTEGER *>(X509_CRL_get_ext_d2i(crl, NID_crl_number, nullptr, nullptr)));
}
}  // namespace

int CompareCrls(X509_CRL *a, X509_CRL *b) {
  IntPtr na = CrlNumber(a), nb = CrlNumber(b);
  if (na && nb) {
    int c = ASN1_INTEGER_cmp(na.get(), nb.get());
    if (c != 0) return c < 0 ? -1 : 1;
  }
  auto ta = TimeOf(X509_CRL_get0_lastUpdate(a)), tb = TimeOf(X509_CRL_get0_lastUpdate(b));
  if (ta && tb && *ta != *tb) return *ta < *tb ? -1 : 1;
  return 0;
}

bool CrlScoped(X509_CRL *crl) {
  return X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0 ||
         X509_CRL_get_ext_by_NID(crl, NID_issuing_distribution_point, -1) >= 0;
}

bool AddCrlTo(CertStoreData &store, X509_CRL *crl, EVP_PKEY *issuerKey) {
  if (CrlScoped(crl)) return false;
  auto sameIssuer = [&](X509_CRL *c) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(c), X509_CRL_get_issuer(crl)) != 0) return false;
    return issuerKey == nullptr || X509_CRL_verify(c, issuerKey) == 1;
  };
  // Nothing to do when the store holds this CRL or a newer one of its issuer.
  for (const auto &c : store.crls) {
    if (!sameIssuer(c.get())) continue;
    if (CompareCrls(c.get(), crl) > 0) return false;
    if (X509_CRL_cmp(c.get(), crl) == 0 && X509_CRL_match(c.get(), crl) == 0) return false;
  }
  store.crls.erase(std::remove_if(store.crls.begin(), store.crls.end(), [&](const Crl &c) { return sameIssuer(c.get()); }),
                   store.crls.end());
  X509_CRL_up_ref(crl);
  store.crls.push_back(ShareCrl(crl));
  return true;
}

}  // namespace cpki1
