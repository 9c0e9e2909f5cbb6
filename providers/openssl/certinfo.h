// Texts of certificates as the provider reports them, and the owner of the
// texts one TelvoraCertInfo record points to.
#ifndef CPKI1_OPENSSL_CERTINFO_H
#define CPKI1_OPENSSL_CERTINFO_H

#include <string>
#include <vector>

#include "core.h"
#include "provider/cpki1_api.h"

namespace cpki1 {

// A distinguished name as "CN=...,O=...,C=...", most specific first, in the
// system's 8-bit code page (Windows-1251; other characters become '?').
std::string DnText(const X509_NAME *name);
// The serial number as upper-case hex byte pairs joined by ":".
std::string SerialText(const ASN1_INTEGER *serial);
// "EC P-256", "RSA 2048", or the key type's name.
std::string AlgorithmText(X509 *cert);
// The most specific CN of a name in the 8-bit code page; empty when none.
std::string CommonName(const X509_NAME *name);
// UTF-8 to the system's 8-bit code page.
std::string ToAnsi(const std::string &utf8);
// Dotted OIDs of the extended key usage extension.
std::vector<std::string> ExtKeyUsages(X509 *cert);

// The Fields bit of the algorithm name (the numeric fields are always filled).
constexpr int32_t kFieldAlgorithm = 0x8;

// Owns everything one record points to.
class CertText {
 public:
  // keyRef: the key reference when the certificate is one of the user's.
  CertText(X509 *cert, int32_t fields, const std::string &keyRef);
  void Fill(TelvoraCertInfo &rec) const;

 private:
  static const char *Ptr(const std::string &s, bool wanted) { return wanted ? s.c_str() : nullptr; }
  int32_t fields_;
  std::string issuer_, serial_, subject_, algorithm_, keyRef_;
  std::vector<std::string> ekus_;
  std::vector<const char *> ekuPointers_;
  Bytes encoded_;
  uint32_t notBefore_ = 0, notAfter_ = 0, pkNotBefore_ = 0, pkNotAfter_ = 0;
  int32_t keyUsage_ = 0;
};

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_CERTINFO_H
