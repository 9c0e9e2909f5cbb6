// The properties text of any certificate record a provider may return: texts
// of any content (or none), any dates, usages and extended usages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "provider/cert_text.h"

namespace {

// Takes a zero-terminated text (or null) from the input.
const char *Text(const uint8_t *&at, const uint8_t *end, std::vector<std::string> &keep) {
  if (at >= end) return nullptr;
  const std::size_t want = *at++ % 64;
  if (want == 63) return nullptr;
  const std::size_t n = std::min<std::size_t>(want, static_cast<std::size_t>(end - at));
  keep.emplace_back(reinterpret_cast<const char *>(at), n);
  at += n;
  return keep.back().c_str();
}

uint32_t Word(const uint8_t *&at, const uint8_t *end) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && at < end; ++i) v = (v << 8) | *at++;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  const uint8_t *at = data, *end = data + size;
  std::vector<std::string> keep;
  keep.reserve(64);
  TelvoraCertInfo info{};
  info.Issuer = Text(at, end, keep);
  info.SerialNumber = Text(at, end, keep);
  info.Subject = Text(at, end, keep);
  info.PublicKeyAlgorithm = Text(at, end, keep);
  info.NotBefore = Word(at, end);
  info.NotAfter = Word(at, end);
  info.KeyUsage = static_cast<int32_t>(Word(at, end));
  info.PrivateKeyNotBefore = Word(at, end);
  info.PrivateKeyNotAfter = Word(at, end);
  std::vector<const char *> ekus;
  const std::size_t count = at < end ? *at++ % 8 : 0;
  for (std::size_t i = 0; i < count; ++i) ekus.push_back(Text(at, end, keep));
  info.ExtKeyUsageCount = static_cast<int32_t>(count);
  info.ExtKeyUsage = (count != 0 && at < end && (*at & 1) != 0) ? nullptr : ekus.data();
  // The text is built from zero-terminated fields: it holds no zero byte.
  if (crtelv::FormatCertProperties(info).find('\0') != std::string::npos) std::abort();
  const std::string restrictions = Text(at, end, keep) ? keep.back() : std::string();
  crtelv::CheckSignEKURestrictions(restrictions, info);
  return 0;
}
