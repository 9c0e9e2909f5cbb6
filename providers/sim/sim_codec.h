// Byte formats and stand-in crypto of the recording provider double.
//
// Nothing here is secure: the "keys" are derived from public texts. What the
// formats do guarantee is what tests of the library rely on: every function
// is deterministic, a changed byte anywhere in a signature or message makes
// its check fail, and a message made for one key opens with no other.
#ifndef CRTELV_PROVIDERS_SIM_SIM_CODEC_H
#define CRTELV_PROVIDERS_SIM_SIM_CODEC_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;
using Digest = std::array<uint8_t, 32>;

// 32-byte mixing hash (four FNV-1a lanes with a bijective finaliser): two
// inputs of equal length that differ in one byte always hash differently.
Digest Hash(const uint8_t *data, std::size_t length);
Digest Hash(const Bytes &data);

// A certificate as the sim holds it. Absent texts are empty optionals.
struct CertData {
  std::optional<std::string> issuer, serial, subject, publicKeyAlgorithm;
  std::optional<std::string> keyReference;
  std::vector<std::string> ekus;
  uint32_t notBefore = 0, notAfter = 0;
  uint32_t privateKeyNotBefore = 0, privateKeyNotAfter = 0;
  int32_t keyUsage = 0;
  int32_t store = 0;
  Bytes encoded;  // always set once the certificate is known
};

// The made-up certificate encoding ("SIMCERT1" and tagged fields) and its
// strict reader: unknown tags, repeated tags, short fields or trailing bytes
// make DecodeCert fail.
Bytes EncodeCert(const CertData &cert);
std::optional<CertData> DecodeCert(const uint8_t *data, std::size_t length);

// Splits a ";"-separated list; empty items are dropped.
std::vector<std::string> SplitList(std::string_view text);

// The identity of a certificate's key: its key reference when it has one,
// else its issuer and serial number. Signing and encryption keys derive
// from it.
std::string KeyId(const CertData &cert);
Digest KeyOf(const std::string &keyId);

// Appends little-endian words and counted byte strings; Reader takes them
// back and reports any shortfall.
class Writer {
 public:
  void U32(uint32_t value);
  void Raw(const uint8_t *data, std::size_t length);
  void Raw(const Bytes &data) { Raw(data.data(), data.size()); }
  void Raw(std::string_view text);
  void Counted(const Bytes &data);
  Bytes &Out() { return out_; }

 private:
  Bytes out_;
};

class Reader {
 public:
  Reader(const uint8_t *data, std::size_t length) : data_(data), left_(length) {}
  bool U32(uint32_t &value);
  bool Raw(std::size_t length, Bytes &out);
  bool Counted(Bytes &out);
  bool Expect(std::string_view magic);
  bool AtEnd() const { return left_ == 0; }

 private:
  const uint8_t *data_;
  std::size_t left_;
};

// Signed data: "SIMSIG1", flags, signer certificate, embedded content (empty
// when detached), and a 32-byte code over key, flags, certificate and data.
struct Signature {
  uint32_t flags = 0;
  Bytes signerCert;
  Bytes content;
  Digest code{};
};
bool IsDetached(uint32_t flags);
Digest SignatureCode(const std::string &keyId, uint32_t flags, const Bytes &signerCert, const uint8_t *data,
                     std::size_t length);
Bytes EncodeSignature(const Signature &signature);
std::optional<Signature> DecodeSignature(const uint8_t *data, std::size_t length);

// Bare 64-byte signature over a hash with a key.
Bytes SignHash(const std::string &keyId, const uint8_t *hash, std::size_t length);

// Enveloped data: "SIMENC1", sender certificate, one slot per recipient key
// (a tag naming the key and the content key masked with it), a 32-byte code
// over content key, sender and body, and the masked body.
struct Envelope {
  Bytes senderCert;
  std::vector<std::pair<Digest, Digest>> slots;  // key tag, masked content key
  Digest code{};
  Bytes body;
};
Bytes Seal(const Bytes &senderCert, const std::vector<std::string> &keyIds, const uint8_t *data, std::size_t length);
std::optional<Envelope> DecodeEnvelope(const uint8_t *data, std::size_t length);
// Opens the envelope with one key. Returns false when the key is no
// recipient (notRecipient set) or the message was changed.
bool Open(const Envelope &envelope, const std::string &keyId, Bytes &plain, bool &notRecipient);

}  // namespace sim

#endif  // CRTELV_PROVIDERS_SIM_SIM_CODEC_H
