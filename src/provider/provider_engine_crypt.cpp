// TTelvoraEngine: encrypting and decrypting data in place.
#include "provider/provider_engine.h"

namespace crtelv {

int32_t TTelvoraEngine::EncodeData(void *data, int32_t *size, const char *recipients) {
  if (data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const bool given = recipients != nullptr && recipients[0] != '\0';
  const std::string list = given ? std::string(recipients) : ParamValue(kParamEncryptForUID);
  if (list.empty()) return kNoUID;
  // The host sized its buffer for the recipients it passed.
  const int64_t capacity = static_cast<int64_t>(*size) + GetMaxAdditionEx(recipients);
  return OnBinding("EncodeData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.EncryptBuffer(param, data, *size, capacity, list);
  });
}

int32_t TTelvoraEngine::DecodeData(void *data, int32_t *size, void *third) {
  if (data == nullptr || size == nullptr || *size <= 0 || third == nullptr) return kBadArgument;
  const int64_t capacity = *size;
  return OnBinding("DecodeData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.DecryptBuffer(param, data, *size, capacity);
  });
}

}  // namespace crtelv
