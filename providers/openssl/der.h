// A small DER writer for the messages the provider builds itself, and a
// strict reader for the few it reads itself, where going through OpenSSL's
// CMS objects would cost more than the cryptography they carry.
#ifndef CPKI1_OPENSSL_DER_H
#define CPKI1_OPENSSL_DER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core.h"

namespace cpki1::der {

constexpr uint8_t kInteger = 0x02, kOctetString = 0x04, kOid = 0x06, kSequence = 0x30, kSet = 0x31;
constexpr uint8_t Context(int n) { return static_cast<uint8_t>(0xA0 | n); }  // [n], constructed

// id-data, the content type of what the provider signs and encrypts.
inline const Bytes kOidData{kOid, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

// Tag and length of an element whose content of n bytes follows.
inline Bytes Header(uint8_t tag, std::size_t n) {
  Bytes out;
  out.push_back(tag);
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else {
    uint8_t digits[sizeof(std::size_t)];
    int count = 0;
    for (std::size_t v = n; v != 0; v >>= 8) digits[count++] = static_cast<uint8_t>(v & 0xFF);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0) out.push_back(digits[--count]);
  }
  return out;
}

// Tag, length and content.
inline Bytes Tlv(uint8_t tag, const uint8_t *content, std::size_t n) {
  Bytes out = Header(tag, n);
  out.insert(out.end(), content, content + n);
  return out;
}
inline Bytes Tlv(uint8_t tag, const Bytes &content) { return Tlv(tag, content.data(), content.size()); }

// The elements one after the other.
inline Bytes Cat(std::initializer_list<const Bytes *> parts) {
  std::size_t n = 0;
  for (const Bytes *p : parts) n += p->size();
  Bytes out;
  out.reserve(n);
  for (const Bytes *p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

// A SET OF: its elements in the ascending order of their encodings.
inline Bytes SetOf(std::vector<Bytes> elements, uint8_t tag = kSet) {
  // Compared by hand: GCC 12 at -O3 misreads the bound of the memcmp inside
  // vector's own ordering.
  std::sort(elements.begin(), elements.end(), [](const Bytes &a, const Bytes &b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int order = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return order < 0 || (order == 0 && a.size() < b.size());
  });
  Bytes content;
  for (const Bytes &e : elements) content.insert(content.end(), e.begin(), e.end());
  return Tlv(tag, content);
}

inline Bytes SmallInteger(uint8_t v) { return Bytes{kInteger, 1, v}; }

// The DER of an OpenSSL object by its i2d function; empty on failure.
template <class T, int (*I2d)(const T *, unsigned char **)>
Bytes Encode(const T *object) {
  int n = I2d(object, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<std::size_t>(n));
  unsigned char *p = out.data();
  if (I2d(object, &p) != n) return {};
  return out;
}

// ---- Reading ---------------------------------------------------------------------

// Bytes inside a message read (valid while the message is).
struct Span {
  const uint8_t *data = nullptr;
  std::size_t size = 0;
  bool operator==(const Span &o) const {
    return size == o.size && (size == 0 || std::memcmp(data, o.data, size) == 0);
  }
};

struct Element {
  uint8_t tag = 0;
  Span content, whole;
};

// DER elements one after the other within a span. Definite lengths in their
// shortest form only, tags of one byte only.
class Cursor {
 public:
  explicit Cursor(Span s) : p_(s.data), end_(s.data + s.size) {}

  bool AtEnd() const { return p_ == end_; }

  // The next element; false (and nothing taken) when it is not there, is
  // malformed or has another tag.
  bool Take(uint8_t tag, Element &e) {
    const uint8_t *at = p_;
    if (!Next(e) || e.tag != tag) {
      p_ = at;
      return false;
    }
    return true;
  }

  bool Next(Element &e) {
    const uint8_t *start = p_;
    std::size_t left = static_cast<std::size_t>(end_ - p_);
    if (left < 2) return false;
    const uint8_t tag = p_[0];
    if ((tag & 0x1F) == 0x1F) return false;
    std::size_t length = p_[1], head = 2;
    if (length & 0x80) {
      const std::size_t digits = length & 0x7F;
      if (digits == 0 || digits > 4 || left - 2 < digits || p_[2] == 0) return false;
      length = 0;
      for (std::size_t i = 0; i < digits; ++i) length = (length << 8) | p_[2 + i];
      if (length < 0x80) return false;
      head += digits;
    }
    if (left - head < length) return false;
    p_ += head + length;
    e = Element{tag, Span{start + head, length}, Span{start, head + length}};
    return true;
  }

 private:
  const uint8_t *p_, *end_;
};

}  // namespace cpki1::der

#endif  // CPKI1_OPENSSL_DER_H
