// Hashing: the provider's hash of the data, as bytes, base64 or hex digits.
#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "support/base64.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// A hash of the provider that can be read: a length of 0 or more, and data
// whenever the length is positive.
bool UsableBlob(const TelvoraBlob &blob) { return blob.Length >= 0 && (blob.Length == 0 || blob.Data != nullptr); }

}  // namespace

int32_t TTelvoraEngine::HashData(const void *data, int32_t dataSize, int32_t format, void *hash, int32_t *hashSize) {
  if (data == nullptr || dataSize <= 0 || hashSize == nullptr) return kBadArgument;
  return OnBinding("HashData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.HashData(param, data, dataSize, format, hash, *hashSize);
  });
}

int32_t TTelvora::HashData(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t format, void *out,
                           int32_t &outLen) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    std::vector<uint8_t> hash;
    {
      ProviderBlobHold provided(call);
      const TelvoraBlob input{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
      int32_t status = call.Entry().VCERT_HashMem(call.Session(), &input, provided.Out());
      if (status != 0) return status;
      if (!UsableBlob(provided.Blob())) return kNoMemory;
      hash.assign(provided.Blob().Data, provided.Blob().Data + provided.Blob().Length);
    }
    // Formatting needs no session; the provider lock stays until the end.
    call.ReleaseSession();
    const int32_t hashLen = static_cast<int32_t>(hash.size());
    std::string formatted;
    if (format == 1) {
      formatted = EncodeBase64(hash.data(), hashLen);
      if (formatted.empty()) return kNoMemory;
    } else if (format == 2) {
      formatted = HexDump(hash.data(), hashLen, 255, 255);
    } else {
      formatted.assign(hash.begin(), hash.end());
    }
    return CopySizedResult(formatted.data(), static_cast<int32_t>(formatted.size()), out, outLen);
  });
}

}  // namespace crtelv
