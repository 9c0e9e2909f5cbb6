// TTelvora: what the provider exports (a new key pair's request) and imports
// (certificates issued for a request, key stores) in its generic calls.
#include "engine/crypto_engine.h"
#include "provider/binding.h"

namespace crtelv {

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

int32_t TTelvora::ImportToStore(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t kind) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraExportParams params{kind, call.Auth()};
    const TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    return call.Entry().VCERT_ImportMem(call.Session(), &params, &blob);
  });
}

int32_t TTelvora::ImportFromFile(const TelvoraInitParam &p, const char *fileName, int32_t kind) {
  if (fileName == nullptr) return kBadArgument;
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraExportParams params{kind, call.Auth()};
    return call.Entry().VCERT_ImportFile(call.Session(), &params, fileName);
  });
}

int32_t TTelvora::ImportPSEFile(const TelvoraInitParam &p, const char *fileName) {
  return ImportFromFile(p, fileName, kImportPSE);
}

int32_t TTelvora::ExportKeyRequest(const TelvoraInitParam &p, void *out, int32_t &outLen) {
  ProviderLockGuard provider(*this, p.ServerMode);
  SessionLockGuard sessions(*this);
  return ExportToBuffer(p, out, outLen, kExportKeyRequest);
}

int32_t TTelvora::ImportKeyRequestAnswer(const TelvoraInitParam &p, const void *data, int32_t dataLen) {
  if (data == nullptr || dataLen <= 0) return kBadArgument;
  ProviderLockGuard provider(*this, p.ServerMode);
  SessionLockGuard sessions(*this);
  return ImportToStore(p, data, dataLen, kImportKeyRequestAnswer);
}

}  // namespace crtelv
