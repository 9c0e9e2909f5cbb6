// The OpenSSL objects every file of the open provider and its tool uses:
// owning wrappers, shared immutable certificates, keys and CRLs, and the
// algorithms fetched once per process. The bottom of the provider: it
// depends on OpenSSL alone.
#ifndef CPKI1_OPENSSL_OPENSSL_OBJECTS_H
#define CPKI1_OPENSSL_OPENSSL_OBJECTS_H

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace cpki1 {

using Bytes = std::vector<uint8_t>;

// ---- Owning wrappers ----------------------------------------------------------

template <auto F>
struct Freer {
  template <class T>
  void operator()(T *p) const {
    F(p);
  }
};
using BioPtr = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Freer<CMS_ContentInfo_free>>;
using CrlUPtr = std::unique_ptr<X509_CRL, Freer<X509_CRL_free>>;
using KeyUPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX_free>>;
using ReqPtr = std::unique_ptr<X509_REQ, Freer<X509_REQ_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Freer<X509_STORE_free>>;
using X509UPtr = std::unique_ptr<X509, Freer<X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Freer<X509_NAME_free>>;

// Lists (STACK_OF): a holder frees the list with its elements, a view only
// the list (its elements are owned elsewhere).
inline void FreeCertList(STACK_OF(X509) * list) { sk_X509_pop_free(list, X509_free); }
inline void FreeCertView(STACK_OF(X509) * list) { sk_X509_free(list); }
inline void FreeInfoList(STACK_OF(X509_INFO) * list) { sk_X509_INFO_pop_free(list, X509_INFO_free); }
inline void FreeBagList(STACK_OF(PKCS12_SAFEBAG) * list) { sk_PKCS12_SAFEBAG_pop_free(list, PKCS12_SAFEBAG_free); }
inline void FreeSafeList(STACK_OF(PKCS7) * list) { sk_PKCS7_pop_free(list, PKCS7_free); }
using CertListPtr = std::unique_ptr<STACK_OF(X509), Freer<FreeCertList>>;
using CertViewPtr = std::unique_ptr<STACK_OF(X509), Freer<FreeCertView>>;
using InfoListPtr = std::unique_ptr<STACK_OF(X509_INFO), Freer<FreeInfoList>>;
using BagListPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), Freer<FreeBagList>>;
using SafeListPtr = std::unique_ptr<STACK_OF(PKCS7), Freer<FreeSafeList>>;
using EkuPtr = std::unique_ptr<EXTENDED_KEY_USAGE, Freer<EXTENDED_KEY_USAGE_free>>;
using AkidPtr = std::unique_ptr<AUTHORITY_KEYID, Freer<AUTHORITY_KEYID_free>>;

// Shared, immutable after construction: snapshots of stores hand these out.
using Cert = std::shared_ptr<X509>;
using Key = std::shared_ptr<EVP_PKEY>;
using Crl = std::shared_ptr<X509_CRL>;
Cert ShareCert(X509 *owned);
Key ShareKey(EVP_PKEY *owned);
Crl ShareCrl(X509_CRL *owned);

// ---- Algorithms, fetched once per process and never released ---------------

struct Algorithms {
  EVP_MD *sha256 = nullptr;
  EVP_CIPHER *aes256cbc = nullptr;
  EVP_CIPHER *aes256gcm = nullptr;
};
// Null members mean the fetch failed (the callers then report a failure).
const Algorithms &Algs();

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_OPENSSL_OBJECTS_H
