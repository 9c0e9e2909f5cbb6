// Base64 coding (RFC 4648 alphabet, "=" padding, no line breaks).
//
// The encoder writes no line breaks. The decoder is lenient: the input length
// must be a multiple of 4 (every character counts), characters outside the
// alphabet are skipped, and decoding stops at the first "=". Unusable input
// gives an empty result; nothing throws.
#ifndef CRTELV_SUPPORT_BASE64_H
#define CRTELV_SUPPORT_BASE64_H

#include <cstdint>
#include <string>
#include <vector>

namespace crtelv {

// Base64 text of len bytes; empty for null data or len < 1.
std::string EncodeBase64(const void *data, int32_t len);

// Bytes of a base64 text of len characters; empty for null text, len <= 0,
// len not a multiple of 4, or nothing decodable.
std::vector<uint8_t> DecodeBase64(const char *text, int32_t len);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_BASE64_H
