// Key requests: a new key pair's request goes out as a transfer
// (RemoteGenerateStart); the certificate issued for it comes back as one
// (RemoteGenerateFinish).
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "provider/transfer_block.h"

namespace crtelv {

// ---- RemoteGenerateStart ----------------------------------------------------------

int32_t TTelvoraEngine::RemoteGenerateStart(char *transfer) {
  if (transfer == nullptr) return kBadArgument;
  constexpr char kOperation[] = "RemoteGenerateStart";
  return OnBinding(kOperation, [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallHoldingSessions(param, [&](ProviderCall &call) -> int32_t {
      std::vector<uint8_t> request;
      int32_t length = GetMaxPublicKeyTransferSize();
      int32_t status = AllocateBuffer(request, length);
      if (status != kOk) return status;
      status = binding.ExportToBuffer(call, request.data(), length, TTelvora::kExportKeyRequest);
      if (status != kOk) return status;
      // A request longer than a block holds is refused here, after the
      // provider has made the key pair.
      int32_t size = 0;
      return MakeTransfer(call, kOperation, "", kRequestFileName, request.data(), length, transfer, &size);
    });
  });
}

int32_t TTelvora::RemoteGenerateStart(const TelvoraInitParam &p, void *out, int32_t &outLen) {
  return CallHoldingSessions(p, [&](ProviderCall &call) { return ExportToBuffer(call, out, outLen, kExportKeyRequest); });
}

int32_t TTelvora::ExportToBuffer(ProviderCall &call, void *out, int32_t &outLen, int32_t kind) {
  int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  const TelvoraExportParams params{kind, call.Auth()};
  ProviderBlobHold exported(call);
  status = call.Entry().VCERT_ExportMem(call.Session(), &params, exported.Out());
  if (status != 0) return status;
  // A longer result leaves outLen as the caller gave it.
  return CopyProviderResult(exported.Blob(), out, outLen, outLen);
}

// ---- RemoteGenerateFinish ---------------------------------------------------------

int32_t TTelvoraEngine::RemoteGenerateFinish(const char *transfer) {
  if (transfer == nullptr || transfer[0] == '\0') return kBadArgument;
  return OnBinding("RemoteGenerateFinish", [&](TTelvora &binding, const TelvoraInitParam &param) -> int32_t {
    std::vector<uint8_t> content;
    int32_t status = DecodeTransferText(transfer, content);
    if (status != kOk) return status;
    return binding.CallHoldingSessions(param, [&](ProviderCall &call) -> int32_t {
      TransferBlock block;
      int32_t result = ReadTransferBlock(call, content, block);
      if (result != kOk) return result;
      return binding.ImportToStore(call, block.Data.data(), static_cast<int32_t>(block.Data.size()),
                                   TTelvora::kImportKeyRequestAnswer);
    });
  });
}

int32_t TTelvora::RemoteGenerateFinish(const TelvoraInitParam &p, const void *data, int32_t dataLen) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  return CallHoldingSessions(
      p, [&](ProviderCall &call) { return ImportToStore(call, data, dataLen, kImportKeyRequestAnswer); });
}

int32_t TTelvora::ImportToStore(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t kind) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::NotNeeded,
                      [&](ProviderCall &call) { return ImportToStore(call, data, dataLen, kind); });
}

int32_t TTelvora::ImportToStore(ProviderCall &call, const void *data, int32_t dataLen, int32_t kind) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  const TelvoraExportParams params{kind, call.Auth()};
  const TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
  return call.Entry().VCERT_ImportMem(call.Session(), &params, &blob);
}

}  // namespace crtelv
