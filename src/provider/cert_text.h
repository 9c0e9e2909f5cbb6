// The certificate-text rules shared by the operations of the binding: the
// UID rules of certificate identification, PEM armour in both directions, the
// properties text, the signer's extended key usage check, and the copy of
// provider results into host buffers.
#ifndef CRTELV_PROVIDER_CERT_TEXT_H
#define CRTELV_PROVIDER_CERT_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

#include "provider/binding.h"
#include "provider/cpki1_api.h"

namespace crtelv {

// ---- UID rules -----------------------------------------------------------------

// A text of the provider; empty for null.
std::string ProviderText(const char *text);
// The CN of a distinguished name read at its attribute boundaries (see
// ReadDnText): the unescaped value of the first, most specific, CN attribute
// (the one a "CN=name" search of the provider compares); empty when there is
// none, the text cannot be read, or the value holds a byte below 0x20.
std::string ExtractCN(const std::string &dn);
// "CN=" + name.
std::string MakeCNFilter(const std::string &name);
// "0A1B2C" -> "0A:1B:2C"; a text of odd length is returned unchanged.
std::string HexWithColons(const std::string &hex);
// The UID of a certificate by the UID rule ("CN": ExtractCN of the subject;
// otherwise the serial number without ":"); empty when it has none.
std::string CertificateUID(UidRule rule, const TelvoraCertInfo &cert);
// The same for an operation that must name the certificate: kCertSelection
// (-5), with uid empty, when it has no UID (no CN attribute in CN mode).
int32_t CertificateUID(UidRule rule, const TelvoraCertInfo &cert, std::string &uid);


// Criteria that find the certificate of a UID among the others' certificates:
// by the subject's CN in "CN" mode, else by serial number under issuer.
// filter receives the text the criteria point to; Selector and Fields are
// left for the caller.
TelvoraFindCriteria UidCriteria(UidRule rule, const std::string &uid, const std::string &issuer,
                                std::string &filter);

// ---- PEM armour, properties text, signer checks, results into host buffers ---

// The longest properties or PEM text handed to a host (without its zero).
constexpr int32_t kCertTextLimit = 4096;

// Decodes the first count characters of text (fewer at a zero byte) after
// removing every "\r\n" and then every "\n"; empty when nothing decodes.
std::vector<uint8_t> DecodeBase64Text(const char *text, int32_t count);
// Base64 of len bytes in lines of 76 characters joined by "\r\n"; no final
// line break.
std::string EncodeBase64Lines(const void *data, int32_t len);
// Replace the PEM text in the first len bytes of data by the decoded bytes:
// 0, or -8 / -9 when a marker is missing (data and len unchanged).
int32_t CertFromPEM(void *data, int32_t &len);
int32_t CRLFromPEM(void *data, int32_t &len);
// The certificate's encoding as PEM text ("\r\n" between lines, none after
// the END marker); no or empty encoding gives an empty body.
std::string CertToPEM(const TelvoraBlob &cert);
// The properties text of a certificate: CR LF after every line.
std::string FormatCertProperties(const TelvoraCertInfo &info);
// A date as 'dd-mm-yy hh:mm:ss' (UTC).
std::string FormatCertDate(uint32_t seconds);
// False when the certificate carries one of the ";"-separated OIDs (letter
// case ignored, items not trimmed).
bool CheckSignEKURestrictions(const std::string &restrictions, const TelvoraCertInfo &info);
// Copies a provider result into a host buffer of capacity bytes: -7 (and
// nothing written) when it is larger, has a negative length, or no data
// with a positive length; else 0 and len := its length.
int32_t CopyProviderResult(const TelvoraBlob &result, void *out, int64_t capacity, int32_t &len);
// Hands size bytes of data to a caller who may ask for the size first: out
// null gives outLen := size and 0; an outLen below size gives outLen := size
// and -7 (nothing written); else the bytes are copied, outLen := size, 0.
int32_t CopySizedResult(const void *data, int32_t size, void *out, int32_t &outLen);

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_CERT_TEXT_H
