// Reports: the properties text of a certificate ("UID=" line first) for a
// UID (GetReport; the user's own certificate by the own store), for the
// certificate a transfer carries (GetReportByTransfer) or a certificate file
// (GetReportByFile).
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/file_io.h"
#include "support/name_rules.h"

namespace crtelv {
namespace {

constexpr int32_t kReportFileMax = 4096;

// "UID=" + uid + CR LF + the properties text, cut at the limit, with a zero.
void ComposeText(const std::string &uid, const TelvoraCertInfo &info, char *out) {
  TCryptoEngine::CopyTextToHost("UID=" + uid + "\r\n" + FormatCertProperties(info), out, kCertTextLimit + 1);
}

}  // namespace

// ---- GetReport --------------------------------------------------------------------

int32_t TTelvoraEngine::GetReport(const char *uid, char *report) {
  if (uid == nullptr || report == nullptr) return kBadArgument;
  return OnBinding("GetReport", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.GetReport(param, uid, report);
  });
}

int32_t TTelvora::GetReport(const TelvoraInitParam &p, const char *uid, char *out) {
  if (out == nullptr || uid == nullptr) return kBadArgument;
  // An empty UID names no certificate: its search would find every one
  // without a CN.
  if (NamesNoCertificate(uid)) return kCertSelection;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    std::string own;
    int32_t status = GetUserCertUID(call, own);
    if (status != 0) return status;
    if (own == uid) return GetOwnReport(call, out);
    FindResultHold found(call);
    status = FindByUid(call, uid, TELVORA_FIELD_ALL, call.Rule(), found);
    if (status != 0) return status;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return kCertSelection;
    ComposeText(call.Rule() == UidRule::CommonName ? ExtractCN(ProviderText(cert->Subject)) : std::string(uid), *cert,
                out);
    return 0;
  });
}

int32_t TTelvora::GetOwnReport(const TelvoraInitParam &p, char *out) {
  if (out == nullptr) return kBadArgument;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) { return GetOwnReport(call, out); });
}

int32_t TTelvora::GetOwnReport(ProviderCall &call, char *out) {
  if (out == nullptr) return kBadArgument;
  const char *eku = call.Param().ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(call.Param(), TELVORA_FIELD_ALL, &eku);
  FindResultHold found(call);
  int32_t status = found.Find(criteria);
  if (status != 0) return status;
  const TelvoraCertInfo *cert = found.Single();
  if (cert == nullptr) return kCertSelection;
  ComposeText(CertificateUID(call.Rule(), *cert), *cert, out);
  return 0;
}

// ---- GetReportByTransfer, GetReportByFile -----------------------------------------

int32_t TTelvoraEngine::GetReportByTransfer(const char *transfer, char *report) {
  if (report == nullptr) return kBadArgument;
  std::vector<uint8_t> content;
  int32_t status = DecodeTransferText(transfer, content);
  if (status != kOk) return status;
  return OnBinding("GetReportByTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) {
      TransferBlock block;
      int32_t result = ReadTransferBlock(call, content, block);
      if (result != kOk) return result;
      return binding.GetReportByData(call, block.Data.data(), static_cast<int32_t>(block.Data.size()), report);
    });
  });
}

int32_t TTelvoraEngine::GetReportByFile(const char *fileName, char *report) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  if (report == nullptr) return kBadArgument;
  std::vector<uint8_t> data(static_cast<std::size_t>(kReportFileMax));
  int32_t length = kReportFileMax;
  if (!ReadWholeFile(ExpandRootPath(fileName).c_str(), data.data(), length)) return kCertLoad;
  return OnBinding("GetReportByFile", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) {
      const int32_t status = binding.GetReportByData(call, data.data(), length, report);
      // A certificate file may be PEM, as IncludePublicKey takes it: a file
      // the provider refuses is tried once more after PEM decoding.
      if (status == kOk || CertFromPEM(data.data(), length) != kOk) return status;
      return binding.GetReportByData(call, data.data(), length, report);
    });
  });
}

int32_t TTelvora::GetReportByData(const TelvoraInitParam &p, const void *data, int32_t dataLen, char *out) {
  if (out == nullptr || data == nullptr || dataLen <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::NotNeeded,
                      [&](ProviderCall &call) { return GetReportByData(call, data, dataLen, out); });
}

int32_t TTelvora::GetReportByData(ProviderCall &call, const void *data, int32_t dataLen, char *out) {
  if (out == nullptr || data == nullptr || dataLen <= 0) return kBadArgument;
  CertInfoHold parsed(call);
  const TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
  int32_t status = parsed.Parse(blob, TELVORA_FIELD_ALL);
  if (status != 0) return status;
  ComposeText(CertificateUID(call.Rule(), parsed.Info()), parsed.Info(), out);
  return 0;
}

}  // namespace crtelv
