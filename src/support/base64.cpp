#include "support/base64.h"

#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define CRTELV_BASE64_SSSE3 1
#endif

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

#ifdef CRTELV_BASE64_SSSE3
// Twelve bytes to sixteen characters per round with SSSE3 (any x86 processor
// since 2006; checked at run time). Returns how many bytes were coded, a
// multiple of 3; the round loads 16 bytes, so it stops 16 bytes before the
// end and the caller codes the rest.
__attribute__((target("ssse3"))) std::size_t EncodeWide(const uint8_t *in, std::size_t size, char *out) {
  // Each 32-bit lane gets bytes 1,0,2,1 of its three, so that the four
  // six-bit groups can be moved into the four bytes with two multiplies.
  const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  // What to add to a group value to get its character, by range: 0..25 'A',
  // 26..51 'a', 52..61 '0', 62 '+', 63 '/'.
  const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  std::size_t at = 0;
  for (; at + 16 <= size; at += 12, out += 16) {
    const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at)), spread);
    const __m128i high = _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i low = _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i groups = _mm_or_si128(high, low);
    // Range index: 0 for 26..51, 1..12 for 52..63, 13 for 0..25.
    __m128i range = _mm_subs_epu8(groups, _mm_set1_epi8(51));
    range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), groups), _mm_set1_epi8(13)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_add_epi8(_mm_shuffle_epi8(offsets, range), groups));
  }
  return at;
}

bool HaveSsse3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}
#endif

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
#ifdef CRTELV_BASE64_SSSE3
    if (HaveSsse3()) {
      at = EncodeWide(in, size, out);
      out += at / 3 * 4;
    }
#endif
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
