// The enveloped messages the provider writes itself for EC recipients, read
// without OpenSSL's CMS objects: AuthEnvelopedData with AES-256-GCM or
// EnvelopedData with AES-256-CBC, every recipient given the content key by
// ephemeral-static ECDH (dhSinglePass-stdDH-sha256kdf-scheme, AES-256 key
// wrap, no user keying material).
//
// The reader takes nothing on trust: every length is checked against what
// encloses it, each element must be what that shape has at its place, and
// each constructed element must be used up exactly. Anything else, including
// BER forms, other algorithms, originator information or attributes, is not
// this shape: the caller then leaves the message to OpenSSL.
#ifndef CPKI1_OPENSSL_ENVELOPE_H
#define CPKI1_OPENSSL_ENVELOPE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "der.h"

namespace cpki1::envelope {

// Bytes inside the message read (valid while the message is).
using Span = der::Span;

// One RecipientEncryptedKey of a key agreement, with its originator.
struct AgreedKey {
  Span curve;         // the originator key's curve OID (whole TLV); empty when absent or NULL
  Span point;         // the originator's public point (the BIT STRING without its unused-bits byte)
  Span issuer;        // issuerAndSerialNumber: the issuer Name (whole TLV), empty for an rKeyId
  Span serial;        // and the serial INTEGER (whole TLV)
  Span encryptedKey;  // the wrapped content key
};

struct Message {
  bool gcm = false;  // AuthEnvelopedData (AES-256-GCM), else EnvelopedData (AES-256-CBC)
  std::vector<AgreedKey> keys;
  Span iv;       // the 12-byte GCM nonce or the 16-byte CBC IV
  Span content;  // the encrypted content
  Span tag;      // the 16-byte GCM tag; empty for CBC
};

// The message, when all of der is exactly one of this shape. Every element
// of every recipient key is read, the other recipients' as well: whatever
// OpenSSL's reader would refuse is not this shape.
std::optional<Message> Read(const uint8_t *der, std::size_t size);

// Whether the DER of an AuthEnvelopedData (any, not only this shape) carries
// a tag fit to check: AES-GCM whose parameters give an ICV length of 12 to 16
// bytes (RFC 5084), and a mac of exactly that length. OpenSSL takes the tag's
// length from the mac alone, so a tag cut to 4 bytes would pass its check.
bool AuthTagSound(const uint8_t *der, std::size_t size);

// DER of the parts the writer and the reader share.
extern const std::vector<uint8_t> kOidEnvelopedData, kOidAuthEnvelopedData, kOidAes256Gcm, kOidAes256Cbc;
extern const std::vector<uint8_t> kAlgEcPublicKey;  // SEQUENCE { id-ecPublicKey } (no parameters)
extern const std::vector<uint8_t> kAlgAes256Wrap;   // SEQUENCE { id-aes256-wrap }
extern const std::vector<uint8_t> kAlgKeyAgreement; // stdDH-sha256kdf with kAlgAes256Wrap
constexpr std::size_t kNonceBytes = 12, kTagBytes = 16, kKeyBytes = 32;

}  // namespace cpki1::envelope

#endif  // CPKI1_OPENSSL_ENVELOPE_H
