// The provider's own statuses and their texts (VCERT_GetErrorText).
#ifndef CPKI1_OPENSSL_STATUS_H
#define CPKI1_OPENSSL_STATUS_H

#include <cstdint>

namespace cpki1 {

// X(name, value, text)
#define CPKI1_STATUSES(X)                                                                                             \
  X(kBadArgument, 0xE0720101u, "Invalid argument: a required pointer, length or value is missing or wrong.")          \
  X(kBadSession, 0xE0720102u, "Unknown session handle.")                                                              \
  X(kBadVersion, 0xE0720103u, "Unsupported version or size of the open-session record.")                              \
  X(kBadUrl, 0xE0720104u, "Store address not understood (expected pse://signed/, file:// or ldap://).")               \
  X(kNoProfile, 0xE0720105u, "Profile not found or not readable.")                                                    \
  X(kKeyStoreUnreadable, 0xE0720106u, "The key store cannot be read (damaged file or wrong password).")               \
  X(kCertStoreUnreadable, 0xE0720107u, "The certificate store cannot be read.")                                       \
  X(kStoreWrite, 0xE0720108u, "A store file cannot be written.")                                                      \
  X(kNoKey, 0xE0720109u, "The key store holds no key and certificate for this operation.")                            \
  X(kBadEncoding, 0xE072010Au, "The data is not in the expected binary (DER) encoding.")                              \
  X(kSignFailed, 0xE072010Bu, "The signature could not be made.")                                                     \
  X(kBadSignature, 0xE072010Cu, "The signature does not match the data.")                                             \
  X(kUntrusted, 0xE072010Du, "The certificate does not chain to a CA certificate of the store.")                      \
  X(kRevoked, 0xE072010Eu, "The certificate has been revoked.")                                                       \
  X(kExpired, 0xE072010Fu, "The certificate is expired or not yet valid.")                                            \
  X(kCrlStale, 0xE0720110u, "The CRL of the issuing CA is out of date.")                                              \
  X(kKeyUsage, 0xE0720111u, "The certificate's key usage does not allow this operation.")                             \
  X(kNoRecipients, 0xE0720112u, "No recipient certificate given: nobody could open the message.")                     \
  X(kEncryptFailed, 0xE0720113u, "The message could not be encrypted for the given certificates.")                    \
  X(kNotRecipient, 0xE0720114u, "No key of the key store can open this message.")                                     \
  X(kDecryptFailed, 0xE0720115u, "The encrypted message is damaged.")                                                 \
  X(kNoPendingKey, 0xE0720116u, "There is no pending key request to install a certificate for.")                      \
  X(kKeyMismatch, 0xE0720117u, "The certificate does not belong to the pending key.")                                 \
  X(kUnsupportedKind, 0xE0720118u, "Unsupported kind of export or import.")                                           \
  X(kNoViewer, 0xE0720119u, "No certificate viewer: set CPKI1_VIEWER to a viewer command.")                           \
  X(kViewerFailed, 0xE072011Au, "The certificate viewer could not be run or reported a failure.")                     \
  X(kCrlUntrusted, 0xE072011Bu, "The CRL is not signed by a CA certificate of the store.")                            \
  X(kBadKeyType, 0xE072011Cu, "The key is not of the type this operation needs (EC P-256).")                          \
  X(kInternal, 0xE072011Du, "Internal failure of the crypto library.")                                                \
  X(kUnknownBlock, 0xE072011Eu, "The block or record was not handed out by this session or was released.")            \
  X(kNotImplemented, 0xE072011Fu, "This entry point is not implemented by the open provider.")                        \
  X(kFileNotFound, 0xE0720120u, "The file cannot be opened.")                                                         \
  X(kNoCertStore, 0xE0720121u, "The session has no certificate store.")                                               \
  X(kNoKeyStore, 0xE0720122u, "The session has no key store.")                                                        \
  X(kUnknownRecipient, 0xE0720123u, "A recipient certificate named by issuer and serial number is not in the store.") \
  X(kAnchorRefused, 0xE0720124u, "A self-signed CA certificate is installed with cpki1-tool, not through the provider.") \
  X(kWeakAlgorithm, 0xE0720125u,                                                                                      \
    "Weak algorithm: MD5 and SHA-1 digests, RSA keys under 2048 bits and EC keys under 256 bits are refused.")        \
  X(kCrlFromFuture, 0xE0720126u, "The CRL's thisUpdate lies in the future: the CRL is refused.")                      \
  X(kCaNotAnchored, 0xE0720127u, "The CA certificate does not chain to a trust anchor of the stores.")                \
  X(kNoUsableCrl, 0xE0720128u, "The store holds a CRL in the issuing CA's name, but none signed by the CA's key.")    \
  X(kCaSigner, 0xE0720129u, "A CA certificate does not sign documents.")                                              \
  X(kAmbiguousRecipient, 0xE072012Au,                                                                                 \
    "Several certificates of the stores fit the recipient's issuer and serial number texts: give its encoding.")      \
  X(kGostUnavailable, 0xE0720130u,                                                                                    \
    "GOST algorithms are not available: the GOST engine for OpenSSL (libengine-gost-openssl) is not installed.")      \
  X(kGostBareHash512, 0xE0720131u,                                                                                    \
    "A 512-bit GOST key's signature does not fit the 64-byte bare-hash form: sign a message instead.")                \
  X(kGostMixedRecipients, 0xE0720132u,                                                                                \
    "GOST and other recipient keys share no content cipher: encrypt for each kind of key separately.")           \
  X(kCrlScoped, 0xE0720140u,                                                                                          \
    "A delta CRL or a CRL of limited scope (issuing distribution point) is refused: the store takes complete CRLs.") \
  X(kCrlIssuerUsage, 0xE0720141u, "The CA's key usage does not allow it to sign CRLs (no cRLSign).")                  \
  X(kCrlCriticalExtension, 0xE0720142u, "The CRL carries a critical extension the provider does not handle.")  \
  X(kSigningCertMismatch, 0xE0720150u,                                                                                \
    "The signed attributes name another certificate than the signer's (signingCertificate): the signer's "           \
    "certificate was substituted.")                                                                    \
  X(kTsaUnreachable, 0xE0720151u,                                                                                     \
    "The time-stamp authority did not answer (no connection, HTTP error or time-out): no signature was made.")        \
  X(kTsaBadAnswer, 0xE0720152u,                                                                                       \
    "The time-stamp authority's answer is not a valid token for this signature (refused, wrong nonce or imprint, "   \
    "bad signature): no signature was made.")                                                                         \
  X(kTsaUntrusted, 0xE0720153u,                                                                                       \
    "The time-stamp authority's certificate is not trusted (not for time-stamping only, no chain to a trust anchor " \
    "of the stores, expired or revoked): the time-stamp and its signature are refused.")                             \
  X(kTsaTokenBad, 0xE0720154u,                                                                                        \
    "The signature's time-stamp token is damaged or was not made for this signature value: the signature is "        \
    "refused.")                                                                                                       \
  X(kTsaSetting, 0xE0720155u,                                                                                         \
    "Time-stamp authority setting not understood (expected tsa = http://HOST[:PORT]/PATH, tsa_timeout = 1 to 600 "   \
    "seconds).")

enum Status : int32_t {
  kOk = 0,
#define CPKI1_STATUS_ENUM(name, value, text) name = static_cast<int32_t>(value),
  CPKI1_STATUSES(CPKI1_STATUS_ENUM)
#undef CPKI1_STATUS_ENUM
};

// Text of a status, or null when the status is not one of the provider's.
inline const char *StatusText(int32_t code) {
  switch (code) {
    case kOk: return "Success.";
#define CPKI1_STATUS_TEXT(name, value, text) \
  case name: return text;
      CPKI1_STATUSES(CPKI1_STATUS_TEXT)
#undef CPKI1_STATUS_TEXT
  }
  return nullptr;
}

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_STATUS_H
