// TTelvoraEngine: signing and verifying data, adding and removing signatures.
#include <algorithm>
#include <cstring>

#include "provider/provider_engine.h"

namespace crtelv {
namespace {

// The mode text that asks for a bare signature of the data's hash.
constexpr char kXmlMode[] = "For sign XML data!";
// Bare hash signatures are recognised by this length.
constexpr int32_t kHashSignatureLength = 64;

// The request words of VerifyData and the modes they select.
int32_t RequestMode(const std::string &word) {
  if (word == "ShowCertificate_OnSuccess") return 1;
  if (word == "GetCertificateProperties_OnSuccess") return 2;
  if (word == "GetCertificate_OnSuccess") return 3;
  return 0;
}

// Copies at most limit characters and a terminating zero.
void CopyText(const std::string &text, char *dest, int32_t limit) {
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(limit));
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

}  // namespace

int32_t TTelvoraEngine::SignData(const void *data, int32_t dataSize, void *sign, int32_t *signSize,
                                 const char *mode) {
  if (data == nullptr || dataSize <= 0 || sign == nullptr || signSize == nullptr) return kBadArgument;
  const int64_t capacity = GetMaxSignatureLength();
  return OnBinding("SignData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    if (mode != nullptr && std::strcmp(mode, kXmlMode) == 0) {
      return binding.SignHash(param, data, dataSize, sign, capacity, *signSize);
    }
    return binding.SignBuffer(param, data, dataSize, sign, capacity, *signSize);
  });
}

int32_t TTelvoraEngine::VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                                   char *signer) {
  if (signer == nullptr || data == nullptr || dataSize <= 0 || sign == nullptr || signSize <= 0) {
    return kBadArgument;
  }
  return OnBinding("VerifyData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string text = signer;
    const int32_t mode = RequestMode(text);
    int32_t result = signSize == kHashSignatureLength
                         ? binding.VerifyHash(param, data, dataSize, sign, signSize, mode, text)
                         : binding.VerifyBuffer(param, data, dataSize, sign, signSize, mode, text);
    if (result == kOk) CopyText(text, signer, mode >= 2 ? kCertTextLimit : GetMaxUIDLength());
    return result;
  });
}

int32_t TTelvoraEngine::AddSign(void *data, int32_t *size, Raw) {
  if (data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const int64_t capacity = static_cast<int64_t>(*size) + GetMaxSignAddition();
  return OnBinding("AddSign", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.WrapSignedBuffer(param, data, *size, capacity);
  });
}

int32_t TTelvoraEngine::RemoveSignature(void *data, int32_t *size, char *signer) {
  if (signer == nullptr || data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const int64_t capacity = *size;
  return OnBinding("RemoveSignature", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string uid;
    int32_t result = binding.UnwrapSignedBuffer(param, data, *size, capacity, uid);
    // The signer is delivered whatever the check said.
    CopyText(uid, signer, GetMaxUIDLength());
    return result;
  });
}

}  // namespace crtelv
