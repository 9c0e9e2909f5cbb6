// TTelvora: the properties text of a certificate, for a certificate given
// as data, by UID, or the user's own.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "support/dn_text.h"

namespace crtelv {
namespace {

std::string TextOf(const char *text) { return text != nullptr ? std::string(text) : std::string(); }

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

// "UID=" + uid + CR LF + the properties text, cut at the limit, with a zero.
void ComposeText(const std::string &uid, const TelvoraCertInfo &info, char *out) {
  const std::string text = "UID=" + uid + "\r\n" + FormatCertProperties(info);
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(kCertTextLimit));
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

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
  text += DnAttributeLines(TextOf(info.Issuer), "I");
  const std::string serial = TextOf(info.SerialNumber);
  if (!serial.empty()) text += "SN=" + ReplaceAll(serial, ':', "") + "\r\n";
  text += DnAttributeLines(TextOf(info.Subject), "");
  const std::string algorithm = TextOf(info.PublicKeyAlgorithm);
  if (!algorithm.empty()) text += "PKeyAlg=" + algorithm + "\r\n";
  text += "NotBefore=" + FormatCertDate(info.NotBefore) + "\r\n";
  text += "NotAfter=" + FormatCertDate(info.NotAfter) + "\r\n";
  text += "SecNotBefore=" + FormatCertDate(info.PrivateKeyNotBefore) + "\r\n";
  text += "SecNotAfter=" + FormatCertDate(info.PrivateKeyNotAfter) + "\r\n";
  text += UsageLine(info.KeyUsage);
  return text;
}

int32_t TTelvora::GetCertPropertiesByData(const TelvoraInitParam &p, const void *data, int32_t dataLen, char *out) {
  if (out == nullptr || data == nullptr || dataLen <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    CertInfoHold parsed(call);
    const TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    int32_t status = parsed.Parse(blob, TELVORA_FIELD_ALL);
    if (status != 0) return status;
    ComposeText(CertificateUID(p, parsed.Info()), parsed.Info(), out);
    return 0;
  });
}

int32_t TTelvora::GetCertPropertiesByUID(const TelvoraInitParam &p, const char *uid, char *out) {
  if (out == nullptr || uid == nullptr) return kBadArgument;
  std::string own;
  int32_t status = GetUserCertUID(p, own);
  if (status != 0) return status;
  if (own == uid) return GetOwnCertProperties(p, out);
  // The issuer lookup and the search run under one hold of the provider lock.
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  status = BuildFindCriteria(p, uid, TELVORA_FIELD_ALL, search);
  if (status != 0) return status;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    FindResultHold found(call);
    int32_t result = found.Find(search.criteria);
    if (result != 0) return result;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return static_cast<int32_t>(kCertSelection);
    ComposeText(p.UIDLocation == "CN" ? ExtractCN(TextOf(cert->Subject)) : std::string(uid), *cert, out);
    return 0;
  });
}

int32_t TTelvora::GetOwnCertProperties(const TelvoraInitParam &p, char *out) {
  if (out == nullptr) return kBadArgument;
  const char *eku = p.ServerCertEKUOID.c_str();
  TelvoraFindCriteria criteria{};
  criteria.Stores = TELVORA_STORE_OWN;
  if (p.ServerMode) {
    criteria.MatchBy = TELVORA_MATCH_EKU;
    criteria.EKUCount = 1;
    criteria.EKUList = &eku;
  }
  criteria.Fields = TELVORA_FIELD_ALL;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    FindResultHold found(call);
    int32_t status = found.Find(criteria);
    if (status != 0) return status;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return static_cast<int32_t>(kCertSelection);
    ComposeText(CertificateUID(p, *cert), *cert, out);
    return 0;
  });
}

}  // namespace crtelv
