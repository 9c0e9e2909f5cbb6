#include "openssl_objects.h"

#include <mutex>

namespace cpki1 {

Cert ShareCert(X509 *owned) { return Cert(owned, Freer<X509_free>()); }
Key ShareKey(EVP_PKEY *owned) { return Key(owned, Freer<EVP_PKEY_free>()); }
Crl ShareCrl(X509_CRL *owned) { return Crl(owned, Freer<X509_CRL_free>()); }

const Algorithms &Algs() {
  // Fetched once; deliberately never freed, so that a host ending its process
  // while calls are still possible never meets a released algorithm.
  static std::once_flag once;
  static Algorithms *algs = nullptr;
  std::call_once(once, [] {
    auto *a = new Algorithms;
    a->sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    a->aes256cbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    a->aes256gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    algs = a;
  });
  return *algs;
}

}  // namespace cpki1
