// Time-stamps of CMS signatures (RFC 3161): the session's time-stamp
// authority, a token asked for each signature value, and the check of a
// token a SignerInfo carries as its signatureTimeStampToken attribute.
#ifndef CPKI1_OPENSSL_TIMESTAMP_H
#define CPKI1_OPENSSL_TIMESTAMP_H

#include <openssl/cms.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "core.h"
#include "session.h"

namespace cpki1 {

// id-aa-signatureTimeStampToken (1.2.840.113549.1.9.16.2.14) as DER.
extern const Bytes kOidSignatureTimeStamp;

// A profile's line: 1 when key is tsa or tsa_timeout and value is good, -1
// when the value is not, 0 for other keys.
int TakeTsaSetting(const std::string &key, const std::string &value, TsaSettings &settings);
// The settings of a session opened without a profile: CPKI1_TSA and
// CPKI1_TSA_TIMEOUT. kTsaSetting when one is set and not understood.
int32_t TsaSettingsFromEnvironment(TsaSettings &settings);

// A token of the session's time-stamp authority for a signature value,
// checked as VerifyToken checks it (the authority trusted now): the DER of
// its ContentInfo in token. Nothing to do (kOk, token empty) when the
// session has no authority. kTsaUnreachable when no answer came,
// kTsaBadAnswer for an answer that is no good token for it, kTsaUntrusted
// when the authority's certificate is not trusted.
int32_t StampSignature(Session &s, const std::shared_ptr<const CertStoreData> &certs,
                       const std::shared_ptr<const KeyStoreData> &keys, const uint8_t *signature, std::size_t length,
                       Bytes &token);

// StampSignature for a SignerInfo that OpenSSL made: the token becomes its
// unsigned attribute signatureTimeStampToken.
int32_t StampSignerInfo(Session &s, const std::shared_ptr<const CertStoreData> &certs,
                        const std::shared_ptr<const KeyStoreData> &keys, CMS_SignerInfo *si);

// The time a SignerInfo's time-stamp token vouches for, nullopt when it
// carries none. The token must be one signed SignedData of a TSTInfo whose
// signer its signingCertificate(V2) attribute names and whose imprint is the
// digest of this SignerInfo's signature value (else
// kTsaTokenBad); the authority's certificate must be for time-stamping only
// (a critical extended key usage of timeStamping alone), valid at the
// token's time and chain to an anchor of the stores as a signer's would
// (else kTsaUntrusted).
int32_t SignerStampTime(Session &s, CMS_SignerInfo *si, const std::shared_ptr<const CertStoreData> &certs,
                        const std::shared_ptr<const KeyStoreData> &keys, std::optional<time_t> &stampedAt);

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_TIMESTAMP_H
