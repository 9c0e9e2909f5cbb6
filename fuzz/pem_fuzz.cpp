// PEM armour of certificates and CRLs that a host or a counterpart hands in:
// the body is decoded in place, never past the given length, never longer
// than it was; and the line encoder's output decodes back to its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "provider/cert_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size < 1 || size > 65536) return 0;
  const bool crl = (data[0] & 1) != 0;
  // Exactly the input's bytes: the sanitizer sees any read past them.
  std::vector<uint8_t> buffer(data + 1, data + size);
  auto len = static_cast<int32_t>(buffer.size());
  const int32_t before = len;
  void *bytes = buffer.empty() ? nullptr : buffer.data();
  if (bytes != nullptr) {
    if (crl) {
      crtelv::CRLFromPEM(bytes, len);
    } else {
      crtelv::CertFromPEM(bytes, len);
    }
    if (len < 0 || len > before) std::abort();
  }
  const std::string lines = crtelv::EncodeBase64Lines(data, static_cast<int32_t>(size));
  const std::vector<uint8_t> back = crtelv::DecodeBase64Text(lines.data(), static_cast<int32_t>(lines.size()));
  if (back.size() != size || std::memcmp(back.data(), data, size) != 0) std::abort();
  return 0;
}
