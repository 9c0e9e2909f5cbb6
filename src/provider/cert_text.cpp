// The certificate-text rules: UIDs, PEM armour, the properties text, the
// signer's extended key usage check, results into host buffers.
#include "provider/cert_text.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "engine/crypto_engine.h"
#include "support/base64.h"
#include "support/dn_text.h"
#include "support/text_lists.h"

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

std::string ReplaceAll(const std::string &text, char from, const char *to) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == from) {
      result += to;
    } else {
      result.push_back(c);
    }
  }
  return result;
}

// The words of the key usage bits, shifted as the text shows them. Both
// 0x02 rows are kept: hosts read both words.
struct UsageWord {
  uint32_t bit;
  const char *word;
};
constexpr UsageWord kUsageWords[] = {
    {0x80, "DigitalSignature"}, {0x40, "NonRepudiation"}, {0x20, "KeyEncipherment"},
    {0x10, "DataEncipherment"}, {0x08, "KeyAgreement"},   {0x04, "KeyCertSign"},
    {0x02, "OffLineCrlSign"},   {0x02, "CrlSign"},        {0x01, "EncipherOnly"},
};

std::string UsageLine(int32_t keyUsage) {
  const uint32_t usage = static_cast<uint32_t>(keyUsage) << 4;
  if (usage == 0) return {};
  std::string list;
  for (const UsageWord &row : kUsageWords) {
    if ((usage & row.bit) != 0) {
      list += row.word;
      list += ';';
    }
  }
  if (!list.empty()) list.pop_back();
  char hex[16];
  std::snprintf(hex, sizeof hex, "(%X)", static_cast<unsigned>(usage));
  return "SKU=" + list + hex + "\r\n";
}

// Appends label, value and CR LF, each in place: a text composed of
// temporaries ("I" + value + ...) inlines into copies that GCC 12 at -O3
// takes for overlapping ones.
void AppendLine(std::string &text, const char *label, const std::string &value) {
  text.append(label);
  text.append(value);
  text.append("\r\n");
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

std::string CertificateUID(UidRule rule, const TelvoraCertInfo &cert) {
  return rule == UidRule::CommonName ? ExtractCN(ProviderText(cert.Subject)) : WithoutColons(ProviderText(cert.SerialNumber));
}

int32_t CertificateUID(UidRule rule, const TelvoraCertInfo &cert, std::string &uid) {
  uid = CertificateUID(rule, cert);
  return uid.empty() ? kCertSelection : kOk;
}

TelvoraFindCriteria UidCriteria(UidRule rule, const std::string &uid, const std::string &issuer,
                                std::string &filter) {
  TelvoraFindCriteria criteria{};
  criteria.Stores = TELVORA_STORE_OTHERS;
  // The filter text ends in one extra zero byte.
  if (rule == UidRule::CommonName) {
    filter = MakeCNFilter(uid);
    filter.push_back('\0');
    criteria.Subject = filter.c_str();
    criteria.MatchBy = TELVORA_MATCH_SUBJECT;
  } else {
    filter = HexWithColons(uid);
    filter.push_back('\0');
    criteria.Serial = filter.c_str();
    criteria.Issuer = issuer.c_str();
    criteria.MatchBy = TELVORA_MATCH_ISSUER_SERIAL;
  }
  return criteria;
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

// ---- The properties text ----------------------------------------------------------

std::string FormatCertDate(uint32_t seconds) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  const int64_t days = static_cast<int64_t>(seconds / 86400u);
  const uint32_t rest = seconds % 86400u;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d-%02d %02u:%02u:%02u", static_cast<int>(day), static_cast<int>(month),
                static_cast<int>(year % 100), rest / 3600u, rest / 60u % 60u, rest % 60u);
  return text;
}

std::string FormatCertProperties(const TelvoraCertInfo &info) {
  std::string text;
  text += DnAttributeLines(ProviderText(info.Issuer), "I");
  const std::string serial = ProviderText(info.SerialNumber);
  if (!serial.empty()) AppendLine(text, "SN=", ReplaceAll(serial, ':', ""));
  text += DnAttributeLines(ProviderText(info.Subject), "");
  const std::string algorithm = ProviderText(info.PublicKeyAlgorithm);
  if (!algorithm.empty()) AppendLine(text, "PKeyAlg=", algorithm);
  AppendLine(text, "NotBefore=", FormatCertDate(info.NotBefore));
  AppendLine(text, "NotAfter=", FormatCertDate(info.NotAfter));
  AppendLine(text, "SecNotBefore=", FormatCertDate(info.PrivateKeyNotBefore));
  AppendLine(text, "SecNotAfter=", FormatCertDate(info.PrivateKeyNotAfter));
  text += UsageLine(info.KeyUsage);
  return text;
}

bool CheckSignEKURestrictions(const std::string &restrictions, const TelvoraCertInfo &info) {
  // A missing list, or a missing entry, is no usage the check can refuse.
  if (info.ExtKeyUsageCount <= 0 || info.ExtKeyUsage == nullptr) return true;
  std::vector<std::string> items;
  if (SplitSemicolonList(restrictions.c_str(), items) == 0) return true;
  for (int32_t i = 0; i < info.ExtKeyUsageCount; ++i) {
    const char *oid = info.ExtKeyUsage[i];
    if (oid == nullptr) continue;
    for (const std::string &item : items) {
      if (SameTextAscii(item, oid)) return false;
    }
  }
  return true;
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
