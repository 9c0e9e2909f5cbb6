// The base64 decoder on any text: never reads past the length, and whatever
// it decodes encodes to a text that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const auto len = static_cast<int32_t>(size);
  const std::vector<uint8_t> bytes = crtelv::DecodeBase64(reinterpret_cast<const char *>(data), len);
  if (bytes.size() > size / 4 * 3) std::abort();
  if (!bytes.empty()) {
    const std::string text = crtelv::EncodeBase64(bytes.data(), static_cast<int32_t>(bytes.size()));
    if (crtelv::DecodeBase64(text.data(), static_cast<int32_t>(text.size())) != bytes) std::abort();
  }
  return 0;
}
