// TTelvoraEngine: certificates, key stores and CRLs into the provider's
// stores, and the two steps of a key renewal.
#include <new>
#include <vector>

#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/file_text_helpers.h"

namespace crtelv {
namespace {

// The largest certificate file taken into the store.
constexpr int32_t kCertFileMax = 4096;

// The extension of a path: from its last point to the end, after the last
// folder separator or ":"; empty when there is none.
std::string Extension(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return {};
  for (std::size_t i = dot + 1; i < path.size(); ++i) {
    if (IsPathSeparator(path[i]) || path[i] == ':') return {};
  }
  return path.substr(dot);
}

}  // namespace

int32_t TTelvoraEngine::IncludePublicKey(const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  return OnBinding("IncludePublicKey", [&](TTelvora &binding, const TelvoraInitParam &param) -> int32_t {
    const std::string path = ExpandRootPath(fileName);
    // The expansion upper-cases the path: the extension is compared without
    // letter case, so that a key store named through the root is one.
    if (SameTextAscii(Extension(path), ".pse")) return binding.ImportPSEFile(param, path.c_str());
    std::vector<uint8_t> buffer(static_cast<std::size_t>(kCertFileMax));
    int32_t length = kCertFileMax;
    if (!ReadWholeFile(path.c_str(), buffer.data(), length)) return kCertLoad;
    return binding.AddCertificate(param, buffer.data(), length);
  });
}

int32_t TTelvoraEngine::IncludePublicEncodeKey(const char *fileName) { return IncludePublicKey(fileName); }

int32_t TTelvoraEngine::IncludeCRL(const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCrlFile;
  return OnBinding("IncludeCRL", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.AddCRLFile(param, ExpandRootPath(fileName).c_str());
  });
}

int32_t TTelvoraEngine::RemoteGenerateStart(char *transfer) {
  if (transfer == nullptr) return kBadArgument;
  CallSetup setup;
  int32_t status = SetUpCall(setup);
  if (status != kOk) return status;
  const TelvoraInitParam &param = setup.Param();
  const BindingRef &binding = setup.binding;
  std::vector<uint8_t> request;
  try {
    request.resize(static_cast<std::size_t>(GetMaxPublicKeyTransferSize()));
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  int32_t length = GetMaxPublicKeyTransferSize();
  status = GuardBindingCall("RemoteGenerateStart",
                            [&] { return binding->ExportKeyRequest(param, request.data(), length); });
  if (status != kOk) return status;
  // A request longer than a block holds is refused here, after the provider
  // has made the key pair.
  int32_t size = 0;
  return GetPublicKeyTransferByBuffer("", kRequestFileName, request.data(), length, transfer, &size);
}

int32_t TTelvoraEngine::RemoteGenerateFinish(const char *transfer) {
  if (transfer == nullptr || transfer[0] == '\0') return kBadArgument;
  CallSetup setup;
  int32_t status = SetUpCall(setup);
  if (status != kOk) return status;
  const TelvoraInitParam &param = setup.Param();
  const BindingRef &binding = setup.binding;
  TransferBlock block;
  status = GetPublicKeyBlockByTransfer(transfer, block);
  if (status != kOk) return status;
  return GuardBindingCall("RemoteGenerateFinish", [&] {
    return binding->ImportKeyRequestAnswer(param, block.Data.data(), static_cast<int32_t>(block.Data.size()));
  });
}

}  // namespace crtelv
