// Texts and results shared by the operations of the binding: the UID rules of
// certificate identification, PEM armour in both directions, and the copy of
// provider results into host buffers.
#include <cstring>
#include <new>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "support/base64.h"
#include "support/dn_text.h"

namespace crtelv {
namespace {

std::string WithoutColons(const std::string &text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c != ':') result.push_back(c);
  }
  return result;
}

constexpr char kBeginCert[] = "-----BEGIN CERTIFICATE-----";
constexpr char kEndCert[] = "-----END CERTIFICATE-----";
constexpr char kBeginCrl[] = "-----BEGIN X509 CRL-----";
constexpr char kEndCrl[] = "-----END X509 CRL-----";

// The first len bytes of data as text, ending early at a zero byte.
std::string BoundedText(const void *data, int32_t len) {
  if (data == nullptr || len <= 0) return {};
  const char *text = static_cast<const char *>(data);
  const void *zero = std::memchr(text, '\0', static_cast<std::size_t>(len));
  const std::size_t n = zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - text)
                                        : static_cast<std::size_t>(len);
  return std::string(text, n);
}

// Replaces the armoured text by its body's bytes. The body starts right
// after the BEGIN marker wherever that is, so text in front of the marker
// is skipped; an END marker before the body gives an empty result.
int32_t FromPEM(void *data, int32_t &len, const char *begin, const char *end, int32_t missing) {
  const std::string text = BoundedText(data, len);
  const std::size_t beginAt = text.find(begin);
  const std::size_t endAt = text.find(end);
  if (beginAt == std::string::npos || endAt == std::string::npos) return missing;
  const std::size_t bodyAt = beginAt + std::strlen(begin);
  std::vector<uint8_t> decoded;
  if (endAt > bodyAt) {
    decoded = DecodeBase64Text(text.data() + bodyAt, static_cast<int32_t>(endAt - bodyAt));
  }
  // The decoded bytes are fewer than the text they come from.
  if (!decoded.empty()) std::memcpy(data, decoded.data(), decoded.size());
  len = static_cast<int32_t>(decoded.size());
  return kOk;
}

}  // namespace

// ---- UID rules --------------------------------------------------------------------

std::string ProviderText(const char *text) { return text != nullptr ? std::string(text) : std::string(); }

std::string ExtractCN(const std::string &dn) {
  std::string cn;
  // A zero, CR, LF or other control byte would let one name pass for
  // another ("alice\0evil" read as "alice") or forge a line of a report.
  return DnAttributeValue(dn, "CN", cn) && !HoldsControlByte(cn) ? cn : std::string();
}

std::string MakeCNFilter(const std::string &name) { return "CN=" + name; }

std::string HexWithColons(const std::string &hex) {
  if (hex.size() % 2 != 0 || hex.empty()) return hex;
  std::string result;
  result.reserve(hex.size() * 3 / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i != 0) result.push_back(':');
    result.append(hex, i, 2);
  }
  return result;
}

std::string CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert) {
  return p.UIDLocation == "CN" ? ExtractCN(ProviderText(cert.Subject)) : WithoutColons(ProviderText(cert.SerialNumber));
}

int32_t CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert, std::string &uid) {
  uid = CertificateUID(p, cert);
  return uid.empty() ? kCertSelection : kOk;
}

// ---- Base64 text and PEM ----------------------------------------------------------

std::vector<uint8_t> DecodeBase64Text(const char *text, int32_t count) {
  try {
    std::string body = BoundedText(text, count);
    std::string joined;
    joined.reserve(body.size());
    // Every "\r\n" first, then every remaining "\n"; a lone "\r" stays.
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
        ++i;
        continue;
      }
      joined.push_back(body[i]);
    }
    std::string plain;
    plain.reserve(joined.size());
    for (char c : joined) {
      if (c != '\n') plain.push_back(c);
    }
    return DecodeBase64(plain.data(), static_cast<int32_t>(plain.size()));
  } catch (const std::bad_alloc &) {
    return {};
  }
}

std::string EncodeBase64Lines(const void *data, int32_t len) {
  const std::string encoded = EncodeBase64(data, len);
  std::string text;
  text.reserve(encoded.size() + encoded.size() / 76 * 2);
  for (std::size_t off = 0; off < encoded.size(); off += 76) {
    if (encoded.size() - off < 77) {
      text.append(encoded, off, std::string::npos);
    } else {
      text.append(encoded, off, 76);
      text.append("\r\n");
    }
  }
  return text;
}

int32_t CertFromPEM(void *data, int32_t &len) { return FromPEM(data, len, kBeginCert, kEndCert, kBadCertFormat); }

int32_t CRLFromPEM(void *data, int32_t &len) { return FromPEM(data, len, kBeginCrl, kEndCrl, kBadCrlFormat); }

std::string CertToPEM(const TelvoraBlob &cert) {
  std::string body;
  if (cert.Data != nullptr && cert.Length > 0) body = EncodeBase64Lines(cert.Data, cert.Length);
  return std::string(kBeginCert) + "\r\n" + body + "\r\n" + kEndCert;
}

// ---- Results into host buffers ----------------------------------------------------

int32_t CopyProviderResult(const TelvoraBlob &result, void *out, int64_t capacity, int32_t &len) {
  if (result.Length < 0 || (result.Data == nullptr && result.Length > 0) || result.Length > capacity) {
    return kNoMemory;
  }
  if (result.Length > 0) {
    if (out == nullptr) return kNoMemory;
    std::memcpy(out, result.Data, static_cast<std::size_t>(result.Length));
  }
  len = result.Length;
  return kOk;
}

int32_t CopySizedResult(const void *data, int32_t size, void *out, int32_t &outLen) {
  if (out == nullptr) {
    outLen = size;
    return kOk;
  }
  if (size > outLen) {
    outLen = size;
    return kNoMemory;
  }
  if (size > 0) std::memcpy(out, data, static_cast<std::size_t>(size));
  outLen = size;
  return kOk;
}

}  // namespace crtelv
