#include "support/base64.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace crtelv {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kSkip = -1;  // a byte outside the alphabet: skipped
constexpr int8_t kStop = -2;  // "=": decoding ends here

// Six-bit value of every byte, kSkip or kStop: one lookup per character.
struct DecodeTable {
  int8_t value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = kSkip;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    value[static_cast<unsigned char>('=')] = kStop;
  }
};
constexpr DecodeTable kDecode;

// The two characters of every twelve bits, so that three bytes take two
// lookups.
struct PairTable {
  char pair[4096][2];
  constexpr PairTable() : pair() {
    for (int i = 0; i < 4096; ++i) {
      pair[i][0] = kAlphabet[i >> 6];
      pair[i][1] = kAlphabet[i & 0x3F];
    }
  }
};
constexpr PairTable kPairs;

}  // namespace

std::string EncodeBase64(const void *data, int32_t len) {
  std::string text;
  if (data == nullptr || len < 1) return text;
  try {
    const auto size = static_cast<std::size_t>(len);
    text.resize((size + 2) / 3 * 4);
    const auto *in = static_cast<const uint8_t *>(data);
    char *out = text.data();
    std::size_t at = 0;
    for (; at + 3 <= size; at += 3, out += 4) {
      const uint32_t bits = (uint32_t{in[at]} << 16) | (uint32_t{in[at + 1]} << 8) | in[at + 2];
      std::memcpy(out, kPairs.pair[bits >> 12], 2);
      std::memcpy(out + 2, kPairs.pair[bits & 0xFFF], 2);
    }
    if (at < size) {  // one or two bytes left: "xx==" or "xxx="
      const bool two = size - at == 2;
      const uint32_t bits = (uint32_t{in[at]} << 16) | (two ? uint32_t{in[at + 1]} << 8 : 0u);
      out[0] = kAlphabet[bits >> 18];
      out[1] = kAlphabet[(bits >> 12) & 0x3F];
      out[2] = two ? kAlphabet[(bits >> 6) & 0x3F] : '=';
      out[3] = '=';
    }
  } catch (const std::exception &) {
    return std::string();
  }
  return text;
}

std::vector<uint8_t> DecodeBase64(const char *text, int32_t len) {
  std::vector<uint8_t> data;
  if (text == nullptr || len <= 0 || len % 4 != 0) return data;
  try {
    const auto size = static_cast<std::size_t>(len);
    data.resize(size / 4 * 3);
    uint8_t *out = data.data();
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    // The valid characters form one stream of six-bit groups, whatever is
    // skipped between them; every four give three bytes.
    uint32_t bits = 0;
    int count = 0;
    std::size_t i = 0;
    while (i < size) {
      // Fast path: four alphabet characters in a row, at a group boundary.
      if (count == 0 && i + 4 <= size) {
        const int8_t a = kDecode.value[in[i]], b = kDecode.value[in[i + 1]];
        const int8_t c = kDecode.value[in[i + 2]], d = kDecode.value[in[i + 3]];
        if ((a | b | c | d) >= 0) {
          const uint32_t group = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
          out[0] = static_cast<uint8_t>(group >> 16);
          out[1] = static_cast<uint8_t>(group >> 8);
          out[2] = static_cast<uint8_t>(group);
          out += 3;
          i += 4;
          continue;
        }
      }
      const int8_t v = kDecode.value[in[i++]];
      if (v == kStop) break;
      if (v == kSkip) continue;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        out[0] = static_cast<uint8_t>(bits >> 16);
        out[1] = static_cast<uint8_t>(bits >> 8);
        out[2] = static_cast<uint8_t>(bits);
        out += 3;
        bits = 0;
        count = 0;
      }
    }
    // Two or three groups left give one or two bytes; the bits that do not
    // fill a byte are dropped.
    if (count >= 2) *out++ = static_cast<uint8_t>(bits >> (6 * count - 8));
    if (count == 3) *out++ = static_cast<uint8_t>(bits >> 2);
    data.resize(static_cast<std::size_t>(out - data.data()));
  } catch (const std::exception &) {
    return std::vector<uint8_t>();
  }
  return data;
}

}  // namespace crtelv
