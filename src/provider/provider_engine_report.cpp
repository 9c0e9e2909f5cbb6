// TTelvoraEngine: certificate reports, hashing, the provider's certificate
// viewer and the UID of a certificate identifier.
#include <algorithm>
#include <cstring>
#include <vector>

#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/file_text_helpers.h"

namespace crtelv {
namespace {

constexpr int32_t kReportFileMax = 4096;

constexpr char kIdentHeader[] = "SSL CERTIFICATE IDENTIFICATOR:\r\n";
constexpr char kIssuerLabel[] = "CERT_ISSUER:";
constexpr char kSerialLabel[] = "CERT_SERIALNUMBER:";

// The value after the first occurrence of label, up to the next CR LF or
// the end; false when the label is absent.
bool IdentValue(const std::string &ident, const char *label, std::string &value) {
  const std::size_t at = ident.find(label);
  if (at == std::string::npos) return false;
  const std::size_t start = at + std::strlen(label);
  const std::size_t end = ident.find("\r\n", start);
  value = ident.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

// Copies at most limit characters and a terminating zero.
void CopyText(const std::string &text, char *dest, int32_t limit) {
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(limit));
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

}  // namespace

int32_t TTelvoraEngine::GetReport(const char *uid, char *report) {
  if (uid == nullptr || report == nullptr) return kBadArgument;
  return OnBinding("GetReport", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.GetCertPropertiesByUID(param, uid, report);
  });
}

int32_t TTelvoraEngine::GetReportByTransfer(const char *transfer, char *report) {
  if (report == nullptr) return kBadArgument;
  TransferBlock block;
  int32_t status = GetPublicKeyBlockByTransfer(transfer, block);
  if (status != kOk) return status;
  return OnBinding("GetReportByTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.GetCertPropertiesByData(param, block.Data.data(), static_cast<int32_t>(block.Data.size()),
                                            report);
  });
}

int32_t TTelvoraEngine::GetReportByFile(const char *fileName, char *report) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  if (report == nullptr) return kBadArgument;
  std::vector<uint8_t> data(static_cast<std::size_t>(kReportFileMax));
  int32_t length = kReportFileMax;
  if (!ReadWholeFile(ExpandRootPath(fileName).c_str(), data.data(), length)) return kCertLoad;
  return OnBinding("GetReportByFile", [&](TTelvora &binding, const TelvoraInitParam &param) {
    const int32_t status = binding.GetCertPropertiesByData(param, data.data(), length, report);
    // A certificate file may be PEM, as IncludePublicKey takes it: a file the
    // provider refuses is tried once more after PEM decoding.
    if (status == kOk || CertFromPEM(data.data(), length) != kOk) return status;
    return binding.GetCertPropertiesByData(param, data.data(), length, report);
  });
}

int32_t TTelvoraEngine::HashData(const void *data, int32_t dataSize, int32_t format, void *hash, int32_t *hashSize) {
  if (data == nullptr || dataSize <= 0 || hashSize == nullptr) return kBadArgument;
  return OnBinding("HashData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.HashBuffer(param, data, dataSize, format, hash, *hashSize);
  });
}

int32_t TTelvoraEngine::ShowCertificate(const char *uid) {
  if (uid == nullptr || uid[0] == '\0') return kNoUID;
  CallSetup setup;
  const int32_t status = SetUpCall(setup);
  if (status != kOk) return status;
  return GuardBindingCall("ShowCertificate", [&] { return setup.binding->ShowCertificateByUID(setup.Param(), uid); });
}

int32_t TTelvoraEngine::GetUIDByCertIdent(const char *ident, char *uid) {
  if (uid == nullptr || ident == nullptr) return kBadArgument;
  const std::string text = ident;
  if (text.rfind(kIdentHeader, 0) != 0) return kBadArgument;
  std::string issuer;
  std::string serial;
  if (!IdentValue(text, kIssuerLabel, issuer) || !IdentValue(text, kSerialLabel, serial)) return kBadArgument;
  // The issuer is required, though the search takes the serial number
  // alone (under the user's own issuer).
  if (issuer.empty() || serial.empty()) return kBadArgument;
  serial.erase(std::remove(serial.begin(), serial.end(), '-'), serial.end());
  serial = UpperAscii(serial);
  if (serial.empty()) return kBadArgument;
  return OnBinding("GetUIDByCertIdent", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string found;
    int32_t result = binding.GetUIDByIdent(param, serial, found);
    if (result == kOk) CopyText(found, uid, GetMaxUIDLength());
    return result;
  });
}

}  // namespace crtelv
