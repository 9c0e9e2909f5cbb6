// TTelvoraEngine: what a received transfer may be saved as.
#include <string>
#include <vector>

#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/file_text_helpers.h"

namespace crtelv {
namespace {

// The file name part of a path (after the last separator of either port).
std::string FileNameOf(const std::string &path) {
  const std::size_t last = path.find_last_of("\\/");
  return last == std::string::npos ? path : path.substr(last + 1);
}

}  // namespace

int32_t TTelvoraEngine::CheckReceivedFile(const std::string &name, const std::vector<uint8_t> &data) {
  if (!IsPlainTransferFileName(name)) return kCertFileIO;
  // Never the engine's own stores, in whatever folder they are: a file of
  // that name is not overwritten by what a counterpart sends.
  for (int32_t store : {kParamPSE, kParamLocalStore}) {
    const std::string own = FileNameOf(ExpandRootPath(ParamValue(store)));
    if (!own.empty() && SameTextAscii(own, name)) return kCertFileIO;
  }
  if (IsRequestFileName(name)) return kOk;
  if (!IsCertificateFileName(name)) return kCertFileIO;
  if (data.empty()) return kBadArgument;
  return OnBinding("CheckReceivedFile", [&](TTelvora &binding, const TelvoraInitParam &param) -> int32_t {
    std::string uid;
    // Read as a certificate; one without a UID is a certificate all the same.
    const int32_t status =
        binding.GetUIDFromCertificate(param, data.data(), static_cast<int32_t>(data.size()), uid);
    return status == kOk || status == kCertSelection ? kOk : kBadArgument;
  });
}

}  // namespace crtelv
