// The national algorithms: GOST R 34.10-2012 keys and signatures, GOST R
// 34.11-2012 (Streebog) digests and GOST R 34.12-2015 ciphers (Kuznyechik,
// Magma) through the GOST engine for OpenSSL 3 (libengine-gost-openssl).
//
// The engine is reached only through OpenSSL's ENGINE interface, which the
// fetch API does not see; all of that code is in gost.cpp. Everything here
// works without the engine installed: Available() is then false, GOST keys and
// messages are recognised by their algorithm identifiers and refused with
// kGostUnavailable, and the other algorithms are not touched.
#ifndef CPKI1_OPENSSL_GOST_H
#define CPKI1_OPENSSL_GOST_H

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>
#include <vector>

#include "openssl_objects.h"

namespace cpki1::gost {

// Loads and registers the engine once per process (later calls only read the
// result). False when it is not installed or does not start, or when the
// environment variable CPKI1_NO_GOST is set (not "0"). Where the engine is a
// module, OPENSSL_ENGINES names the engines' folder as for OpenSSL itself;
// the Windows build has it linked in.
bool Available();

// 256 or 512 for a GOST R 34.10-2012 key, 0 for any other key.
int KeyBits(const EVP_PKEY *key);
inline bool IsGostKey(const EVP_PKEY *key) { return KeyBits(key) != 0; }
// The same from the certificate's public-key algorithm: needs no engine.
int CertKeyBits(X509 *cert);

// An algorithm identifier of the national arc (1.2.643): keys, digests,
// signatures, ciphers, key exports.
bool IsGostAlgorithm(const ASN1_OBJECT *oid);

// kGostUnavailable when the certificate's key is a GOST key and the engine is
// missing, else kOk.
int32_t CertUsable(X509 *cert);
// kGostUnavailable when a signed or enveloped message names GOST algorithms
// (signer digests and signatures, key transport) and the engine is missing.
int32_t MessageUsable(CMS_ContentInfo *cms);

// A new key of 256 or 512 bits with a parameter set: "A", "B", "C" (both
// sizes), "XA", "XB", "TCA".."TCD" (256 only), or an object name. Null with a
// message in *error when the engine is missing or refuses.
KeyUPtr NewKey(int bits, const std::string &paramset, std::string *error);
// A new key of the same size and parameter set as a GOST key; null for other keys.
KeyUPtr NewKeyLike(EVP_PKEY *key);

// GOST R 34.11-2012 of 256 or 512 bits; null without the engine.
const EVP_MD *Streebog(int bits);
// The digest that signs with a key: the Streebog of the GOST key's size,
// else null (the caller keeps its own choice).
const EVP_MD *DigestFor(const EVP_PKEY *key);

// The digest that signs with a key: the Streebog of a GOST key's size (null
// without the engine), else the caller's digest.
const EVP_MD *DigestOr(const EVP_PKEY *key, const EVP_MD *other);

// Content ciphers for GOST recipients (CTR-ACPKM, key export by KExp15).
enum class Cipher { kKuznyechik, kMagma };
const EVP_CIPHER *ContentCipher(Cipher cipher);
// Key usage bits that let a GOST certificate receive messages.
uint32_t RecipientUsage();

// What a session's profile chooses:
//   hash = sha256 | streebog256         VCERT_HashMem (default: by the user's key)
//   gost_cipher = kuznyechik | magma    content cipher for GOST recipients
struct Choices {
  enum class Hash { kByKey, kSha256, kStreebog256 } hash = Hash::kByKey;
  Cipher cipher = Cipher::kKuznyechik;
};
// A profile line: 1 when the key is one of the above and taken, 0 when the key
// is not one of them, -1 when the value is not one of the allowed.
int TakeProfileSetting(const std::string &key, const std::string &value, Choices &choices);

// The digest of VCERT_HashMem (32 bytes either way): as chosen, else
// Streebog-256 when the user's (first) key is a GOST key, else SHA-256.
int32_t HashFor(const Choices &choices, bool gostUser, const EVP_MD *&md);

// Adds a GOST recipient: key transport by the engine's key export under the
// content cipher. kOk or kEncryptFailed.
int32_t AddRecipient(CMS_ContentInfo *cms, X509 *cert, const EVP_CIPHER *cipher);

// The content cipher for a set of recipients: other's (the caller's own) when
// none has a GOST key, the chosen GOST cipher when all have; a set that mixes
// them gets kGostMixedRecipients.
int32_t CipherFor(const std::vector<X509UPtr> &recipients, const Choices &choices, const EVP_CIPHER *other,
                  const EVP_CIPHER *&cipher);

// A bare 32-byte hash signed with a 256-bit key: 64 bytes in the encoding of
// the standard and the engine (s then r, each 32 bytes big-endian).
// kGostBareHash512 for a 512-bit key, kGostUnavailable without the engine,
// kSignFailed when the engine fails.
int32_t SignHash(EVP_PKEY *key, const uint8_t *hash, std::size_t hashLength, Bytes &signature);
// kOk, kBadSignature, or the statuses of SignHash.
int32_t VerifyHash(EVP_PKEY *key, const uint8_t *hash, std::size_t hashLength, const uint8_t *signature,
                   std::size_t signatureLength);

}  // namespace cpki1::gost

#endif  // CPKI1_OPENSSL_GOST_H
