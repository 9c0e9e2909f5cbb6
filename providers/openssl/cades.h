// The signed attribute that binds a CMS signature to its signer's certificate
// (CAdES-BES): signingCertificateV2 (RFC 5035) as the provider writes it, and
// the check of it and of the older signingCertificate (RFC 2634) on
// verification. Without it, whoever holds a second certificate for the
// signer's key (a renewal, another CA) could swap the certificate a message
// names, since the signature covers no certificate.
#ifndef CPKI1_OPENSSL_CADES_H
#define CPKI1_OPENSSL_CADES_H

#include <openssl/cms.h>
#include <openssl/x509.h>

#include <cstdint>

#include "openssl_objects.h"

namespace cpki1::cades {

// id-aa-signingCertificateV2 (1.2.840.113549.1.9.16.2.47), encoded.
extern const Bytes kOidSigningCertificateV2;

// The value of signingCertificateV2 for a certificate, from its encoding and
// the encodings of its issuer name and serial number: one ESSCertIDv2 with the
// SHA-256 hash of the certificate (the algorithm left out as the DEFAULT) and
// issuerSerial, byte for byte what CMS_add1_signer writes with CMS_CADES and
// SHA-256. Empty on failure.
Bytes SigningCertificateV2(const Bytes &certDer, const Bytes &issuerDer, const Bytes &serialDer);

// Adds signingCertificateV2 for the certificate (as SigningCertificateV2
// gives it) to a signer's signed attributes. False on failure.
bool AddSigningCertificateV2(CMS_SignerInfo *si, X509 *cert);

// The signer's signingCertificateV2 and signingCertificate attributes, those
// it has, against the certificate that verified its signature: the first
// ESSCertID of each must carry the certificate's hash and, when it has an
// issuerSerial, the certificate's issuer and serial number. kOk (also when
// the signer has neither), kSigningCertMismatch when one names another
// certificate; kBadEncoding when one cannot be read (several values or
// attributes of the type, not DER of the type, no ESSCertID); kWeakAlgorithm
// for a hash DigestWeak refuses; kGostUnavailable for a GOST R 34.11-2012 hash
// without the GOST engine.
int32_t CheckSigningCertificate(CMS_SignerInfo *si, X509 *signer);

}  // namespace cpki1::cades

#endif  // CPKI1_OPENSSL_CADES_H
