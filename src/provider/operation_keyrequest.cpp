// Key requests: a new key pair's request goes out as a transfer
// (RemoteGenerateStart); the certificate issued for it comes back as one
// (RemoteGenerateFinish).
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/provider_engine.h"
#include "provider/transfer_block.h"

namespace crtelv {

// ---- RemoteGenerateStart ----------------------------------------------------------

int32_t TTelvoraEngine::RemoteGenerateStart(char *transfer) {
  if (transfer == nullptr) return kBadArgument;
  std::vector<uint8_t> request;
  int32_t length = GetMaxPublicKeyTransferSize();
  const int32_t status =
      OnBinding("RemoteGenerateStart", [&](TTelvora &binding, const TelvoraInitParam &param) -> int32_t {
        const int32_t allocated = AllocateBuffer(request, length);
        if (allocated != kOk) return allocated;
        return binding.RemoteGenerateStart(param, request.data(), length);
      });
  if (status != kOk) return status;
  // A request longer than a block holds is refused here, after the provider
  // has made the key pair.
  int32_t size = 0;
  return GetPublicKeyTransferByBuffer("", kRequestFileName, request.data(), length, transfer, &size);
}

int32_t TTelvora::RemoteGenerateStart(const TelvoraInitParam &p, void *out, int32_t &outLen) {
  ProviderLockGuard provider(*this, p.ServerMode);
  SessionLockGuard sessions(*this);
  return ExportToBuffer(p, out, outLen, kExportKeyRequest);
}

int32_t TTelvora::ExportToBuffer(const TelvoraInitParam &p, void *out, int32_t &outLen, int32_t kind) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraExportParams params{kind, call.Auth()};
    ProviderBlobHold exported(call);
    int32_t status = call.Entry().VCERT_ExportMem(call.Session(), &params, exported.Out());
    if (status != 0) return status;
    // A longer result leaves outLen as the caller gave it.
    return CopyProviderResult(exported.Blob(), out, outLen, outLen);
  });
}

// ---- RemoteGenerateFinish ---------------------------------------------------------

int32_t TTelvoraEngine::RemoteGenerateFinish(const char *transfer) {
  if (transfer == nullptr || transfer[0] == '\0') return kBadArgument;
  return OnBinding("RemoteGenerateFinish", [&](TTelvora &binding, const TelvoraInitParam &param) {
    TransferBlock block;
    int32_t status = GetPublicKeyBlockByTransfer(transfer, block);
    if (status != kOk) return status;
    return binding.RemoteGenerateFinish(param, block.Data.data(), static_cast<int32_t>(block.Data.size()));
  });
}

int32_t TTelvora::RemoteGenerateFinish(const TelvoraInitParam &p, const void *data, int32_t dataLen) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  ProviderLockGuard provider(*this, p.ServerMode);
  SessionLockGuard sessions(*this);
  return ImportToStore(p, data, dataLen, kImportKeyRequestAnswer);
}

int32_t TTelvora::ImportToStore(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t kind) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraExportParams params{kind, call.Auth()};
    const TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    return call.Entry().VCERT_ImportMem(call.Session(), &params, &blob);
  });
}

}  // namespace crtelv
