#include "support/base64.h"

#include <new>

namespace crtelv {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of an alphabet character, or -1 for any other byte.
int SextetValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Appends one group of one to three bytes as four characters.
void EncodeGroup(const uint8_t *group, std::size_t count, std::string &out) {
  uint32_t bits = 0;
  for (std::size_t i = 0; i < 3; ++i) bits = (bits << 8) | (i < count ? group[i] : 0u);
  const std::size_t chars = count + 1;  // ceil(count * 8 / 6)
  for (std::size_t i = 0; i < 4; ++i)
    out.push_back(i < chars ? kAlphabet[(bits >> (18 - 6 * i)) & 0x3F] : '=');
}

// Appends the whole bytes of the gathered bits, most significant first.
void FlushBits(uint32_t bits, int bitCount, std::vector<uint8_t> &out) {
  const int bytes = bitCount / 8;
  bits >>= bitCount % 8;  // the bits that do not fill a byte are dropped
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

}  // namespace

std::string EncodeBase64(const void *data, int32_t len) {
  std::string text;
  if (data == nullptr || len < 1) return text;
  try {
    const auto size = static_cast<std::size_t>(len);
    text.reserve((size + 2) / 3 * 4);
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (std::size_t at = 0; at < size; at += 3)
      EncodeGroup(bytes + at, size - at < 3 ? size - at : 3, text);
  } catch (const std::exception &) {
    return std::string();
  }
  return text;
}

std::vector<uint8_t> DecodeBase64(const char *text, int32_t len) {
  std::vector<uint8_t> data;
  if (text == nullptr || len <= 0 || len % 4 != 0) return data;
  try {
    data.reserve(static_cast<std::size_t>(len) / 4 * 3);
    uint32_t bits = 0;
    int bitCount = 0;
    for (int32_t i = 0; i < len && text[i] != '='; ++i) {
      const int value = SextetValue(static_cast<unsigned char>(text[i]));
      if (value < 0) continue;
      if (bitCount == 24) {
        FlushBits(bits, bitCount, data);
        bits = 0;
        bitCount = 0;
      }
      bits = (bits << 6) | static_cast<uint32_t>(value);
      bitCount += 6;
    }
    FlushBits(bits, bitCount, data);
    data.shrink_to_fit();
  } catch (const std::exception &) {
    return std::vector<uint8_t>();
  }
  return data;
}

}  // namespace crtelv
