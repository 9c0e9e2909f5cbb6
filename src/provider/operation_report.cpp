// Reports: the properties text of a certificate ("UID=" line first) for a
// UID (GetReport; the user's own certificate by the own store), for the
// certificate a transfer carries (GetReportByTransfer) or a certificate file
// (GetReportByFile).
#include <cstdio>
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/dn_text.h"
#include "support/file_text_helpers.h"
#include "support/name_rules.h"

namespace crtelv {
namespace {

constexpr int32_t kReportFileMax = 4096;

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

// "UID=" + uid + CR LF + the properties text, cut at the limit, with a zero.
void ComposeText(const std::string &uid, const TelvoraCertInfo &info, char *out) {
  TCryptoEngine::CopyTextToHost("UID=" + uid + "\r\n" + FormatCertProperties(info), out, kCertTextLimit + 1);
}

}  // namespace

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

// ---- GetReport --------------------------------------------------------------------

int32_t TTelvoraEngine::GetReport(const char *uid, char *report) {
  if (uid == nullptr || report == nullptr) return kBadArgument;
  return OnBinding("GetReport", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.GetReport(param, uid, report);
  });
}

int32_t TTelvora::GetReport(const TelvoraInitParam &p, const char *uid, char *out) {
  if (out == nullptr || uid == nullptr) return kBadArgument;
  if (NamesNoCertificate(uid)) return kCertSelection;
  std::string own;
  int32_t status = GetUserCertUID(p, own);
  if (status != 0) return status;
  if (own == uid) return GetOwnReport(p, out);
  return WithUidSearch(p, uid, TELVORA_FIELD_ALL, [&](const UidSearch &search) {
    return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
      FindResultHold found(call);
      int32_t result = found.Find(search.criteria);
      if (result != 0) return result;
      const TelvoraCertInfo *cert = found.Single();
      if (cert == nullptr) return static_cast<int32_t>(kCertSelection);
      ComposeText(p.UIDLocation == "CN" ? ExtractCN(ProviderText(cert->Subject)) : std::string(uid), *cert, out);
      return 0;
    });
  });
}

int32_t TTelvora::GetOwnReport(const TelvoraInitParam &p, char *out) {
  if (out == nullptr) return kBadArgument;
  const char *eku = p.ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(p, TELVORA_FIELD_ALL, &eku);
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

// ---- GetReportByTransfer, GetReportByFile -----------------------------------------

int32_t TTelvoraEngine::GetReportByTransfer(const char *transfer, char *report) {
  if (report == nullptr) return kBadArgument;
  TransferBlock block;
  int32_t status = GetPublicKeyBlockByTransfer(transfer, block);
  if (status != kOk) return status;
  return OnBinding("GetReportByTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.GetReportByData(param, block.Data.data(), static_cast<int32_t>(block.Data.size()), report);
  });
}

int32_t TTelvoraEngine::GetReportByFile(const char *fileName, char *report) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  if (report == nullptr) return kBadArgument;
  std::vector<uint8_t> data(static_cast<std::size_t>(kReportFileMax));
  int32_t length = kReportFileMax;
  if (!ReadWholeFile(ExpandRootPath(fileName).c_str(), data.data(), length)) return kCertLoad;
  return OnBinding("GetReportByFile", [&](TTelvora &binding, const TelvoraInitParam &param) {
    const int32_t status = binding.GetReportByData(param, data.data(), length, report);
    // A certificate file may be PEM, as IncludePublicKey takes it: a file the
    // provider refuses is tried once more after PEM decoding.
    if (status == kOk || CertFromPEM(data.data(), length) != kOk) return status;
    return binding.GetReportByData(param, data.data(), length, report);
  });
}

int32_t TTelvora::GetReportByData(const TelvoraInitParam &p, const void *data, int32_t dataLen, char *out) {
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

}  // namespace crtelv
