// The code shared by the open provider libcpki1.so and its setup tool:
// encodings, store files
// written atomically under a file lock, the key store (PKCS#12) and the
// certificate store (PEM bundle of certificates and CRLs).
#ifndef CPKI1_OPENSSL_CORE_H
#define CPKI1_OPENSSL_CORE_H

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "openssl_objects.h"
#include "platform/native_services.h"

namespace cpki1 {

// ---- Encodings --------------------------------------------------------------

Bytes CertDer(X509 *cert);
X509UPtr CertFromDer(const uint8_t *data, std::size_t length);
CrlUPtr CrlFromDer(const uint8_t *data, std::size_t length);
// DER or PEM ("-----BEGIN CERTIFICATE-----").
X509UPtr CertFromAny(const Bytes &data);
CrlUPtr CrlFromAny(const Bytes &data);
X509_REQ *RequestFromAny(const Bytes &data);
bool SameCert(X509 *a, X509 *b);
std::string Hex(const uint8_t *data, std::size_t length);
// SHA-256 of the certificate's encoding as 64 upper-case hex digits.
std::string Fingerprint(X509 *cert);
// PEM text of a certificate ("-----BEGIN CERTIFICATE-----" ...).
std::string CertPem(X509 *cert);

// Seconds since 1970 of an ASN.1 time; nullopt when it cannot be read.
std::optional<int64_t> TimeOf(const ASN1_TIME *t);

// ---- Files -----------------------------------------------------------------

// The whole file; nullopt when it cannot be opened or read. Missing sets
// *missing (when given) to distinguish "no such file".
std::optional<Bytes> ReadWholeFile(const std::string &path, bool *missing = nullptr);

// The file a path names after following its symbolic links (the path itself
// when it is none or cannot be read).
std::string LinkTarget(const std::string &path);

// Writes a new file beside the target and renames it into place. Mode is the
// permission of a newly made file. A path that is a symbolic link keeps it:
// the file written is the link's target.
bool ReplaceFile(const std::string &path, const Bytes &data, unsigned mode);

// Removes the new files of ReplaceFile beside path that a writer killed
// before its rename left behind. Only for a caller holding path's FileLock,
// which every writer of a store takes: no such file is then being written.
void RemoveUnfinishedFiles(const std::string &path);

// An exclusive lock on "<path>.lock" held for the guard's lifetime, serialising
// the writers of one store across threads and processes.
class FileLock {
 public:
  explicit FileLock(const std::string &path);
  ~FileLock();
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  bool Held() const { return lock_.Held(); }

 private:
  crtelv::platform::ExclusiveFileLock lock_;
};

// Identity of a file's current content (device, inode, size, change time);
// nullopt when the file does not exist.
using FileStamp = crtelv::platform::FileStamp;
std::optional<FileStamp> StampOf(const std::string &path);
// Store files this process has replaced so far (ReplaceFile): a snapshot
// made before a write of this process is looked at again at once.
uint64_t StoreWritesSoFar();

// ---- Key store (PKCS#12) --------------------------------------------------------

// What the checks before each signature ask of a pair, found out when the
// pair is made (OpenSSL answers most of it by looking up names).
struct PairFacts {
  std::optional<int64_t> notBefore, notAfter;  // the certificate's; nullopt when unreadable
  bool strong = false;                         // KeyStrong(key)
  bool ec = false;                             // an EC key
  bool gost = false;                           // a GOST key
};

struct KeyPair {
  Key key;
  Cert cert;
  std::string ref;  // the key reference: Fingerprint(cert)
  PairFacts facts;
};
KeyPair MakeKeyPair(Key key, Cert cert);

// The key policy: RSA (and DSA) keys of at least 2048 bits, EC keys of at
// least 256 bits, GOST R 34.10-2012 keys (256 and 512 bits), other kinds of
// at least 112 bits of security.
bool KeyStrong(EVP_PKEY *key);

// A fact about a snapshot shared between threads, worked out on its first
// use: -1 until then. A copy starts over.
struct LazyFact {
  mutable std::atomic<int> value{-1};
  LazyFact() = default;
  LazyFact(const LazyFact &) {}
  LazyFact &operator=(const LazyFact &) {
    value.store(-1, std::memory_order_relaxed);
    return *this;
  }
};

struct KeyStoreData {
  std::vector<KeyPair> pairs;    // the user's keys with their certificates
  Key pending;                   // key of an outstanding certificate request
  std::vector<Cert> extraCerts;  // certificates without a key (CA chain)
  LazyFact firstKeyIsGost;       // 1 when pairs.front() is a GOST key (see VCERT_HashMem)
  bool holdsCaCerts = false;     // extraCerts has a CA certificate (set when a session reads the store)
};

// kNeedsGost: the store holds a GOST key and the GOST engine is not installed.
enum class IoResult { kOk, kMissing, kUnreadable, kBadPassword, kNeedsGost };

IoResult ParseKeyStore(const Bytes &der, const std::string &password, KeyStoreData &out);
std::optional<Bytes> BuildKeyStore(const KeyStoreData &data, const std::string &password);
IoResult LoadKeyStore(const std::string &path, const std::string &password, KeyStoreData &out);
// Under path's FileLock: leftovers of killed writers are removed first.
bool SaveKeyStore(const std::string &path, const KeyStoreData &data, const std::string &password);

// The key store password: CPKI1_PSE_PASSWORD, empty when unset.
std::string KeyStorePassword();

// ---- Certificate store (PEM bundle) -----------------------------------------

struct CertStoreData {
  std::vector<Cert> certs;
  std::vector<Crl> crls;
};

IoResult ParseCertStore(const Bytes &pem, CertStoreData &out);
Bytes BuildCertStore(const CertStoreData &data);
IoResult LoadCertStore(const std::string &path, CertStoreData &out);
// Under path's FileLock, as SaveKeyStore.
bool SaveCertStore(const std::string &path, const CertStoreData &data);

// Adds a certificate unless the same encoding is there; true when added.
bool AddCertTo(CertStoreData &store, X509 *cert);
// Which of two CRLs of one issuer is newer: by CRL number when both have one,
// else by thisUpdate. Negative, 0 or positive as a is older, as new, newer.
int CompareCrls(X509_CRL *a, X509_CRL *b);

// A delta CRL (deltaCRLIndicator) or one whose issuingDistributionPoint
// limits its scope: never a complete CRL of its issuer.
bool CrlScoped(X509_CRL *crl);

// Adds a complete CRL, replacing the older ones of the same issuer: the same
// name and, when issuerKey is given, signed by that key. False when the store
// already holds this CRL or a newer one of the issuer, and for a scoped CRL
// (CrlScoped), which never takes a complete CRL's place.
bool AddCrlTo(CertStoreData &store, X509_CRL *crl, EVP_PKEY *issuerKey);

bool IsCa(X509 *cert);
// A CA certificate signed by its own key: a trust anchor of the stores.
bool IsAnchor(X509 *cert);

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_CORE_H
