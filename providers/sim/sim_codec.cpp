#include "sim_codec.h"

#include <cstring>

namespace sim {

namespace {

constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;

// The SplitMix64 finaliser: a bijection on 64-bit words.
uint64_t Finalise(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

constexpr char kCertMagic[] = "SIMCERT1";
constexpr char kSignatureMagic[] = "SIMSIG1";
constexpr char kEnvelopeMagic[] = "SIMENC1";

enum Tag : uint8_t {
  kIssuer = 1,
  kSerial,
  kSubject,
  kAlgorithm,
  kNotBefore,
  kNotAfter,
  kKeyUsage,
  kPrivateNotBefore,
  kPrivateNotAfter,
  kEkus,
  kKeyReference,
  kTagCount
};

void PutText(Writer &w, Tag tag, const std::optional<std::string> &text) {
  if (!text) return;
  w.Raw(std::string_view(reinterpret_cast<const char *>(&tag), 1));
  w.U32(static_cast<uint32_t>(text->size()));
  w.Raw(*text);
}

void PutWord(Writer &w, Tag tag, uint32_t value) {
  w.Raw(std::string_view(reinterpret_cast<const char *>(&tag), 1));
  w.U32(4);
  w.U32(value);
}

std::string JoinList(const std::vector<std::string> &items) {
  std::string out;
  for (const auto &item : items) {
    if (!out.empty()) out += ';';
    out += item;
  }
  return out;
}

Digest HashOf(std::string_view label, const Digest &key, const uint8_t *data, std::size_t length) {
  Writer w;
  w.Raw(label);
  w.Raw(key.data(), key.size());
  w.Raw(data, length);
  return Hash(w.Out());
}

Digest Xor(const Digest &a, const Digest &b) {
  Digest out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
  return out;
}

// Masks data with the key stream of a content key (self-inverse).
Bytes Mask(const Digest &contentKey, const uint8_t *data, std::size_t length) {
  Bytes out(data, data + length);
  for (std::size_t block = 0; block * 32 < length; ++block) {
    uint8_t counter[8];
    for (int i = 0; i < 8; ++i) counter[i] = static_cast<uint8_t>(block >> (8 * i));
    Digest stream = HashOf("stream", contentKey, counter, sizeof counter);
    for (std::size_t i = 0; i < 32 && block * 32 + i < length; ++i) out[block * 32 + i] ^= stream[i];
  }
  return out;
}

Digest EnvelopeCode(const Digest &contentKey, const Bytes &senderCert, const Bytes &body) {
  Writer w;
  w.Counted(senderCert);
  w.Counted(body);
  return HashOf("code", contentKey, w.Out().data(), w.Out().size());
}

bool ReadDigest(Reader &r, Digest &out) {
  Bytes bytes;
  if (!r.Raw(out.size(), bytes)) return false;
  std::memcpy(out.data(), bytes.data(), out.size());
  return true;
}

}  // namespace

Digest Hash(const uint8_t *data, std::size_t length) {
  uint64_t lanes[4];
  for (int i = 0; i < 4; ++i) lanes[i] = kFnvOffset ^ Finalise(static_cast<uint64_t>(i + 1));
  for (std::size_t n = 0; n < length; ++n) {
    for (auto &lane : lanes) lane = (lane ^ data[n]) * kFnvPrime;
  }
  Digest out{};
  for (int i = 0; i < 4; ++i) {
    uint64_t v = Finalise(lanes[i] + length);
    for (int b = 0; b < 8; ++b) out[i * 8 + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  return out;
}

Digest Hash(const Bytes &data) { return Hash(data.data(), data.size()); }

void Writer::U32(uint32_t value) {
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Writer::Raw(const uint8_t *data, std::size_t length) {
  if (length) out_.insert(out_.end(), data, data + length);
}

void Writer::Raw(std::string_view text) { Raw(reinterpret_cast<const uint8_t *>(text.data()), text.size()); }

void Writer::Counted(const Bytes &data) {
  U32(static_cast<uint32_t>(data.size()));
  Raw(data);
}

bool Reader::U32(uint32_t &value) {
  if (left_ < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(data_[i]) << (8 * i);
  data_ += 4;
  left_ -= 4;
  return true;
}

bool Reader::Raw(std::size_t length, Bytes &out) {
  if (left_ < length) return false;
  out.assign(data_, data_ + length);
  data_ += length;
  left_ -= length;
  return true;
}

bool Reader::Counted(Bytes &out) {
  uint32_t length = 0;
  return U32(length) && Raw(length, out);
}

bool Reader::Expect(std::string_view magic) {
  Bytes bytes;
  return Raw(magic.size(), bytes) && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::size_t end = text.find(';');
    std::string_view item = text.substr(0, end);
    if (!item.empty()) out.emplace_back(item);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

Bytes EncodeCert(const CertData &cert) {
  Writer w;
  w.Raw(kCertMagic);
  PutText(w, kIssuer, cert.issuer);
  PutText(w, kSerial, cert.serial);
  PutText(w, kSubject, cert.subject);
  PutText(w, kAlgorithm, cert.publicKeyAlgorithm);
  PutWord(w, kNotBefore, cert.notBefore);
  PutWord(w, kNotAfter, cert.notAfter);
  PutWord(w, kKeyUsage, static_cast<uint32_t>(cert.keyUsage));
  PutWord(w, kPrivateNotBefore, cert.privateKeyNotBefore);
  PutWord(w, kPrivateNotAfter, cert.privateKeyNotAfter);
  if (!cert.ekus.empty()) PutText(w, kEkus, JoinList(cert.ekus));
  PutText(w, kKeyReference, cert.keyReference);
  return std::move(w.Out());
}

std::optional<CertData> DecodeCert(const uint8_t *data, std::size_t length) {
  if (!data) return std::nullopt;
  Reader r(data, length);
  if (!r.Expect(kCertMagic)) return std::nullopt;
  CertData cert;
  bool seen[kTagCount] = {};
  while (!r.AtEnd()) {
    Bytes tag, value;
    if (!r.Raw(1, tag) || !r.Counted(value)) return std::nullopt;
    uint8_t t = tag[0];
    if (t == 0 || t >= kTagCount || seen[t]) return std::nullopt;
    seen[t] = true;
    std::string text(value.begin(), value.end());
    uint32_t word = 0;
    bool isWord = t == kNotBefore || t == kNotAfter || t == kKeyUsage || t == kPrivateNotBefore ||
                  t == kPrivateNotAfter;
    if (isWord) {
      Reader wr(value.data(), value.size());
      if (value.size() != 4 || !wr.U32(word)) return std::nullopt;
    }
    switch (t) {
      case kIssuer: cert.issuer = text; break;
      case kSerial: cert.serial = text; break;
      case kSubject: cert.subject = text; break;
      case kAlgorithm: cert.publicKeyAlgorithm = text; break;
      case kNotBefore: cert.notBefore = word; break;
      case kNotAfter: cert.notAfter = word; break;
      case kKeyUsage: cert.keyUsage = static_cast<int32_t>(word); break;
      case kPrivateNotBefore: cert.privateKeyNotBefore = word; break;
      case kPrivateNotAfter: cert.privateKeyNotAfter = word; break;
      case kEkus: cert.ekus = SplitList(text); break;
      case kKeyReference: cert.keyReference = text; break;
      default: return std::nullopt;
    }
  }
  cert.encoded.assign(data, data + length);
  return cert;
}

std::string KeyId(const CertData &cert) {
  if (cert.keyReference && !cert.keyReference->empty()) return "ref:" + *cert.keyReference;
  return "cert:" + cert.issuer.value_or("") + "|" + cert.serial.value_or("");
}

Digest KeyOf(const std::string &keyId) {
  std::string seeded = "sim-key:" + keyId;
  return Hash(reinterpret_cast<const uint8_t *>(seeded.data()), seeded.size());
}

bool IsDetached(uint32_t flags) { return (flags & 2u) != 0; }

Digest SignatureCode(const std::string &keyId, uint32_t flags, const Bytes &signerCert, const uint8_t *data,
                     std::size_t length) {
  Writer w;
  w.U32(flags);
  w.Counted(signerCert);
  w.Raw(data, length);
  return HashOf("sign", KeyOf(keyId), w.Out().data(), w.Out().size());
}

Bytes EncodeSignature(const Signature &signature) {
  Writer w;
  w.Raw(kSignatureMagic);
  w.U32(signature.flags);
  w.Counted(signature.signerCert);
  w.Counted(signature.content);
  w.Raw(signature.code.data(), signature.code.size());
  return std::move(w.Out());
}

std::optional<Signature> DecodeSignature(const uint8_t *data, std::size_t length) {
  if (!data) return std::nullopt;
  Reader r(data, length);
  Signature s;
  if (!r.Expect(kSignatureMagic) || !r.U32(s.flags) || !r.Counted(s.signerCert) || !r.Counted(s.content) ||
      !ReadDigest(r, s.code) || !r.AtEnd()) {
    return std::nullopt;
  }
  if (IsDetached(s.flags) && !s.content.empty()) return std::nullopt;
  return s;
}

Bytes SignHash(const std::string &keyId, const uint8_t *hash, std::size_t length) {
  Digest key = KeyOf(keyId);
  Digest a = HashOf("hash-sign-a", key, hash, length);
  Digest b = HashOf("hash-sign-b", key, hash, length);
  Bytes out(a.size() + b.size());
  std::memcpy(out.data(), a.data(), a.size());
  std::memcpy(out.data() + a.size(), b.data(), b.size());
  return out;
}

Bytes Seal(const Bytes &senderCert, const std::vector<std::string> &keyIds, const uint8_t *data, std::size_t length) {
  Writer seed;
  seed.Raw(data, length);
  for (const auto &id : keyIds) seed.Raw(id + ";");
  Digest contentKey = Hash(seed.Out());

  Writer w;
  w.Raw(kEnvelopeMagic);
  w.Counted(senderCert);
  w.U32(static_cast<uint32_t>(keyIds.size()));
  for (const auto &id : keyIds) {
    Digest key = KeyOf(id);
    Digest tag = HashOf("tag", key, nullptr, 0);
    Digest masked = Xor(contentKey, HashOf("wrap", key, nullptr, 0));
    w.Raw(tag.data(), tag.size());
    w.Raw(masked.data(), masked.size());
  }
  Bytes body = Mask(contentKey, data, length);
  Digest code = EnvelopeCode(contentKey, senderCert, body);
  w.Raw(code.data(), code.size());
  w.Counted(body);
  return std::move(w.Out());
}

std::optional<Envelope> DecodeEnvelope(const uint8_t *data, std::size_t length) {
  if (!data) return std::nullopt;
  Reader r(data, length);
  Envelope e;
  uint32_t count = 0;
  if (!r.Expect(kEnvelopeMagic) || !r.Counted(e.senderCert) || !r.U32(count)) return std::nullopt;
  if (count > length / 64) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) {
    Digest tag{}, masked{};
    if (!ReadDigest(r, tag) || !ReadDigest(r, masked)) return std::nullopt;
    e.slots.emplace_back(tag, masked);
  }
  if (!ReadDigest(r, e.code) || !r.Counted(e.body) || !r.AtEnd()) return std::nullopt;
  return e;
}

bool Open(const Envelope &envelope, const std::string &keyId, Bytes &plain, bool &notRecipient) {
  Digest key = KeyOf(keyId);
  Digest tag = HashOf("tag", key, nullptr, 0);
  notRecipient = true;
  for (const auto &slot : envelope.slots) {
    if (slot.first != tag) continue;
    notRecipient = false;
    Digest contentKey = Xor(slot.second, HashOf("wrap", key, nullptr, 0));
    if (EnvelopeCode(contentKey, envelope.senderCert, envelope.body) != envelope.code) return false;
    plain = Mask(contentKey, envelope.body.data(), envelope.body.size());
    return true;
  }
  return false;
}

}  // namespace sim
