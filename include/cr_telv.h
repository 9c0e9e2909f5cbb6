/* cr_telv: the host-facing interface of the crypto engine library.
 *
 * Conventions
 *  1. Results. Functions returning a result code (CRTELV_OK and the
 *     CRTELV_E_* constants below) answer 0 for success and a negative code for
 *     failure; a provider status (non-zero, provider-defined) is passed
 *     through unchanged. Size and limit queries (the GetMax* functions,
 *     GetCryptoParamNumber, GetRemoteGenType) answer a count, or -1 when the
 *     handle is null or the query fails. Functions returning void report
 *     nothing: a failure inside them is absorbed.
 *  2. Engines. GetCryptObj makes an engine; the caller owns it and releases it
 *     with DoneEngine. Every other function (except CheckCompatibles) takes an
 *     engine handle first. A null handle never reaches the engine: the
 *     function answers its family's error result (-1 for size queries,
 *     CRTELV_E_FAILURE for result codes) or does nothing.
 *  3. Buffers. Every buffer belongs to the caller: the library reads from
 *     input buffers and writes into output buffers during the call only, and
 *     keeps no pointer to them afterwards. Texts are 8-bit (Windows-1251),
 *     zero-terminated.
 *  4. Sizes. The caller sizes each output buffer by the matching GetMax
 *     query: UIDs GetMaxUIDLength + 1 bytes; transfers
 *     GetMaxPublicKeyTransferSize bytes; reports and properties
 *     GetMaxReportSize + 1 bytes; error and last-error messages
 *     GetMaxErrorStringLength bytes; parameter names and values
 *     GetMaxCryptoParamNameLength and GetMaxCryptoParamValueLength bytes;
 *     signatures GetMaxSignatureLength bytes; data encrypted in place needs
 *     room for GetMaxEncodeAddition (one recipient) or GetMaxAdditionEx (a
 *     list) bytes more than the data, data signed in place
 *     GetMaxSignAddition bytes more. Terminating zeros are included in these
 *     sizes except where "+ 1" is written.
 *  5. Null pointers. A null text argument is taken as the empty text where the
 *     function allows one; a null output buffer makes an operation fail
 *     (result code) or write nothing (void functions).
 *  6. Threads. Any number of engines may be used from any threads; the
 *     library has no threads of its own and calls no host callback.
 *
 * The header compiles as C and as C++. On 32-bit Windows every function uses
 * the standard calling convention, exported undecorated under the ordinals
 * given in the comments (1 to 76).
 */
#ifndef CR_TELV_H
#define CR_TELV_H

#include <stdint.h>

#if defined(_WIN32)
#define CRTELV_CALL __stdcall
#else
#define CRTELV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An engine; opaque to the host. */
typedef void *CrTelvEngine;

/* Result codes. */
#define CRTELV_OK 0                      /* success */
#define CRTELV_E_NOT_SUPPORTED (-1)      /* not supported by this engine; parameter index out of range */
#define CRTELV_E_NO_CURRENT_USER (-2)    /* the current user cannot be determined */
#define CRTELV_E_SIGN_FORMAT (-3)        /* signature format not supported */
#define CRTELV_E_RECIPIENTS (-4)         /* recipient(s) for encryption given wrongly */
#define CRTELV_E_CERT_SELECTION (-5)     /* several or no certificates with the given UID */
#define CRTELV_E_CERT_LOAD (-6)          /* loading the given certificate failed */
#define CRTELV_E_NO_MEMORY (-7)          /* memory for the operation cannot be allocated */
#define CRTELV_E_CERT_FORMAT (-8)        /* wrong certificate format */
#define CRTELV_E_CRL_FORMAT (-9)         /* wrong CRL format */
#define CRTELV_E_FAILURE (-10)           /* a failure occurred during the operation */
#define CRTELV_E_BAD_ARGUMENT (-11)      /* a null pointer or an impossible length */
#define CRTELV_E_NOT_INITIALIZED (-12)   /* the provider is not initialised */
#define CRTELV_E_NO_UID (-13)            /* certificate UID not given */
#define CRTELV_E_NO_CERT_FILE (-14)      /* certificate file not given */
#define CRTELV_E_NO_CRL_FILE (-15)       /* CRL file not given */
#define CRTELV_E_CRL_READ (-16)          /* reading the CRL failed */
#define CRTELV_E_CERT_FILE_IO (-17)      /* reading or writing a certificate or request file failed */
#define CRTELV_E_CERT_UNKNOWN (-18)      /* format of the given certificate not recognised */
#define CRTELV_E_SIGNER_EKU (-19)        /* the signer's certificate failed the key usage check */
#define CRTELV_E_NO_PARAM (-20)          /* no configuration parameter with that number */
#define CRTELV_E_PROVIDER_LOAD (-21)     /* loading the provider library failed */
#define CRTELV_E_PROVIDER_INCOMPLETE (-22) /* the provider library lacks entry points */
#define CRTELV_E_PROVIDER_VERSION (-23)  /* impossible with the installed provider version */
#define CRTELV_E_NO_XML_AUTHOR (-24)     /* no author given for an XML signature */
#define CRTELV_E_SAVE_NO_MEMORY (-102)   /* SaveSignedDataToFile: no memory or preparation failed */
#define CRTELV_E_SAVE_WRITE (-106)       /* SaveSignedDataToFile: writing the file failed */

/* 1. Makes a new engine; the argument is not read. Returns the handle, owned
 * by the caller until DoneEngine, or null when the engine cannot be made. */
CrTelvEngine CRTELV_CALL GetCryptObj(intptr_t reserved);

/* 2. Destroys an engine made by GetCryptObj. A null handle does nothing; the
 * handle is invalid afterwards. */
void CRTELV_CALL DoneEngine(CrTelvEngine engine);

/* 3. Bytes that encrypting for one recipient adds to the data; -1 on a null
 * handle or failure. */
int32_t CRTELV_CALL GetMaxEncodeAddition(CrTelvEngine engine);

/* 4. Size in bytes of the signature buffer of SignData; -1 on a null handle
 * or failure. */
int32_t CRTELV_CALL GetMaxSignatureLength(CrTelvEngine engine);

/* 5. Longest UID in characters (a UID buffer needs one byte more); -1 on a
 * null handle or failure. */
int32_t CRTELV_CALL GetMaxUIDLength(CrTelvEngine engine);

/* 6. Size in bytes, terminator included, of a parameter name buffer; -1 on a
 * null handle or failure. */
int32_t CRTELV_CALL GetMaxCryptoParamNameLength(CrTelvEngine engine);

/* 7. Size in bytes, terminator included, of a parameter value buffer; -1 on
 * a null handle or failure. */
int32_t CRTELV_CALL GetMaxCryptoParamValueLength(CrTelvEngine engine);

/* 8. Size in bytes, terminator included, of an error message buffer; -1 on a
 * null handle or failure. */
int32_t CRTELV_CALL GetMaxErrorStringLength(CrTelvEngine engine);

/* 9. Number of engine parameters (numbered from 1); -1 on a null handle or
 * failure. */
int32_t CRTELV_CALL GetCryptoParamNumber(CrTelvEngine engine);

/* 10. Writes the name of parameter index (from 1) into the caller's name
 * buffer of GetMaxCryptoParamNameLength bytes; an index out of range gives the
 * empty text. A null handle or buffer writes nothing. */
void CRTELV_CALL GetCryptoParamName(CrTelvEngine engine, int32_t index, char *name);

/* 11. Writes the current value of parameter index (from 1) into the caller's
 * value buffer of GetMaxCryptoParamValueLength bytes, cut to fit; an index out
 * of range gives the empty text. A null handle or buffer writes nothing. */
void CRTELV_CALL GetCryptoParamValue(CrTelvEngine engine, int32_t index, char *value);

/* 12. Sets parameter index (from 1) to a copy of value (null is the empty
 * text). CRTELV_OK; CRTELV_E_NOT_SUPPORTED for an index out of range;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL SetCryptoParamValue(CrTelvEngine engine, int32_t index, const char *value);

/* 13. Writes the encryption UID belonging to the signing UID signUid into the
 * caller's buffer of GetMaxUIDLength + 1 bytes. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetEncodeUIDBySignUID(CrTelvEngine engine, const char *signUid, char *encodeUid);

/* 14. Writes the message for errorCode into the caller's buffer of
 * GetMaxErrorStringLength bytes. A null handle or buffer writes nothing. */
void CRTELV_CALL GetCryptoErrorString(CrTelvEngine engine, int32_t errorCode, char *message);

/* 15. Encrypts the *size bytes of data in place for the ";"-separated
 * recipients list and stores the new length in *size; the caller's buffer
 * must have room for the result (convention 4). CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL EncodeData(CrTelvEngine engine, void *data, int32_t *size, const char *recipients);

/* 16. Decrypts the *size bytes of data in place and stores the new length in
 * *size; third is the caller's pointer and must not be null. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL DecodeData(CrTelvEngine engine, void *data, int32_t *size, void *third);

/* 17. Signs dataSize bytes of data into the caller's sign buffer of
 * GetMaxSignatureLength bytes, storing the signature length in *signSize;
 * mode selects the signature form. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL SignData(CrTelvEngine engine, const void *data, int32_t dataSize, void *sign, int32_t *signSize,
                             const char *mode);

/* 18. Verifies signSize bytes of sign over dataSize bytes of data; signer is
 * read as a request word and receives the signer's description (sized as a
 * report, GetMaxReportSize + 1 bytes). CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL VerifyData(CrTelvEngine engine, const void *data, int32_t dataSize, const void *sign,
                               int32_t signSize, char *signer);

/* 19. Writes the UID of the current user's certificate into the caller's
 * buffer of GetMaxUIDLength + 1 bytes. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetCurrentUserUID(CrTelvEngine engine, char *uid);

/* 20. Generates a new signing key. CRTELV_OK or a negative code
 * (CRTELV_E_NOT_SUPPORTED when the engine cannot); CRTELV_E_FAILURE on a null
 * handle or failure. */
int32_t CRTELV_CALL GenerateNewSSK(CrTelvEngine engine);

/* 21. Generates a new encryption key. CRTELV_OK or a negative code
 * (CRTELV_E_NOT_SUPPORTED when the engine cannot); CRTELV_E_FAILURE on a null
 * handle or failure. */
int32_t CRTELV_CALL GenerateNewSEK(CrTelvEngine engine);

/* 22. Whether signing and encryption use different keys: -1 (all bits set)
 * for yes, 0 for no; -1 also on a null handle or failure. */
int32_t CRTELV_CALL IsDifferentKeys(CrTelvEngine engine);

/* 23. Stores the host's password request callback in the engine; the library
 * never calls it. A null handle does nothing. */
void CRTELV_CALL SetPasswordRequestFunc(CrTelvEngine engine, void *callback);

/* 24. Longest password in characters; -1 on a null handle or failure. */
int32_t CRTELV_CALL GetMaxPasswordLength(CrTelvEngine engine);

/* 25. Installs the certificate or key store in the named file. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL IncludePublicKey(CrTelvEngine engine, const char *fileName);

/* 26. Installs the encryption certificate in the named file. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL IncludePublicEncodeKey(CrTelvEngine engine, const char *fileName);

/* 27. Signs a file (argument passed through unread by this library's
 * engines). CRTELV_E_NOT_SUPPORTED by this library's engines;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL SignFile(CrTelvEngine engine, intptr_t a);

/* 28. Verifies a file (arguments passed through). CRTELV_E_NOT_SUPPORTED by
 * this library's engines; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL VerifyFile(CrTelvEngine engine, intptr_t a, intptr_t b);

/* 29. Removes the signatures of a file (argument passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL RemoveSignaturesFromFile(CrTelvEngine engine, intptr_t a);

/* 30. Writes the engine's last error message into the caller's buffer of
 * GetMaxErrorStringLength bytes (the empty text in this library; the reason
 * of a CRTELV_E_FAILURE comes from GetCryptoErrorString). A null handle or
 * buffer writes nothing. */
void CRTELV_CALL GetLastErrorMessage(CrTelvEngine engine, char *message);

/* 31. Sets the process root folder (once per process; a different folder
 * later is ignored) and then the engine's root folder, which replaces a
 * leading "%ZPKRoot%" in paths. A null handle sets only the process root. */
void CRTELV_CALL SetRootPath(CrTelvEngine engine, const char *path);

/* 32. Moves the signature from a file to the token. CRTELV_E_NOT_SUPPORTED by
 * this library's engines; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL TransSignatureFromFileToTM(CrTelvEngine engine);

/* 33. Moves the private key from a file to the token. CRTELV_E_NOT_SUPPORTED
 * by this library's engines; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL TransPrivateKeyFromFileToTM(CrTelvEngine engine);

/* 34. Stores the host's token request callback in the engine; the library
 * never calls it. A null handle does nothing. */
void CRTELV_CALL SetTMRequestFunc(CrTelvEngine engine, void *callback);

/* 35. Drops the cached provider sessions so that the next operation reads the
 * stores afresh. A null handle does nothing. */
void CRTELV_CALL ClearCash(CrTelvEngine engine);

/* 36. Starts a key generation and writes the request transfer into the
 * caller's buffer of GetMaxPublicKeyTransferSize bytes. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL RemoteGenerateStart(CrTelvEngine engine, char *transfer);

/* 37. Sets the engine's folder for remote key generation. A null handle does
 * nothing. */
void CRTELV_CALL SetRemoteGeneratePath(CrTelvEngine engine, const char *path);

/* 38. Adds the engine's signature to the *size bytes of data in place and
 * stores the new length in *size; the buffer needs GetMaxSignAddition bytes
 * of room more than the data. CRTELV_OK or a negative code; CRTELV_E_FAILURE
 * on a null handle or failure. */
int32_t CRTELV_CALL AddSign(CrTelvEngine engine, void *data, int32_t *size, intptr_t third);

/* 39. Removes the signature from the *size bytes of data in place, stores the
 * new length in *size and the signer's UID in signer (GetMaxUIDLength + 1
 * bytes). CRTELV_OK or a negative code; CRTELV_E_FAILURE on a null handle or
 * failure. */
int32_t CRTELV_CALL RemoveSign(CrTelvEngine engine, void *data, int32_t *size, char *signer);

/* 40. Bytes that AddSign adds to the data; -1 on a null handle or failure. */
int32_t CRTELV_CALL GetMaxSignAddition(CrTelvEngine engine);

/* 41. Writes the public key transfer of the certificate uid into the caller's
 * buffer of GetMaxPublicKeyTransferSize bytes. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPublicKeyTransfer(CrTelvEngine engine, const char *uid, char *transfer);

/* 42. Finishes a key generation with the answer transfer. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL RemoteGenerateFinish(CrTelvEngine engine, const char *transfer);

/* 43. Saves the certificate or request carried by transfer into folder.
 * CRTELV_OK or a negative code; CRTELV_E_FAILURE on a null handle or
 * failure. */
int32_t CRTELV_CALL SavePublicKeyFromTransfer(CrTelvEngine engine, const char *folder, const char *transfer);

/* 44. Size in bytes, terminator included, of a transfer buffer; -1 on a null
 * handle or failure. */
int32_t CRTELV_CALL GetMaxPublicKeyTransferSize(CrTelvEngine engine);

/* 45. Installs the certificate carried by transfer. CRTELV_OK or a negative
 * code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL IncludePublicKeyTransfer(CrTelvEngine engine, const char *transfer);

/* 46. Writes the transfer of the user's own certificate into the caller's
 * buffer of GetMaxPublicKeyTransferSize bytes. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL ExcludeSelfPublicKeyTransfer(CrTelvEngine engine, char *transfer);

/* 47. Longest file path in characters: 255 for every engine, a null handle
 * included. */
int32_t CRTELV_CALL GetMaxFilePathLength(CrTelvEngine engine);

/* 48. The kind of remote key generation the engine performs; -1 on a null
 * handle or failure. */
int32_t CRTELV_CALL GetRemoteGenType(CrTelvEngine engine);

/* 49. Writes dataSize bytes of data followed by signSize bytes of sign as one
 * file (an existing file is replaced). CRTELV_OK (also when there is nothing
 * to write), CRTELV_E_SAVE_NO_MEMORY, CRTELV_E_SAVE_WRITE; CRTELV_E_FAILURE
 * on a null handle or failure. */
int32_t CRTELV_CALL SaveSignedDataToFile(CrTelvEngine engine, const void *data, int32_t dataSize, const void *sign,
                                         int32_t signSize, const char *fileName);

/* 50. Writes the transfer of the certificate in the named file into the
 * caller's buffer of GetMaxPublicKeyTransferSize bytes. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPublicKeyTransferByFile(CrTelvEngine engine, char *transfer, const char *fileName);

/* 51. Longest report in characters (a report buffer needs one byte more); -1
 * on a null handle, failure, or when the engine writes no reports. */
int32_t CRTELV_CALL GetMaxReportSize(CrTelvEngine engine);

/* 52. Writes the properties report of the certificate uid into the caller's
 * buffer of GetMaxReportSize + 1 bytes. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetReport(CrTelvEngine engine, const char *uid, char *report);

/* 53. Bytes that encrypting for the ";"-separated recipients list adds to the
 * data; -1 on a null handle or failure. */
int32_t CRTELV_CALL GetMaxAdditionEx(CrTelvEngine engine, const char *recipients);

/* 54. Reads the UID from a transfer (arguments passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL GetUIDByPublicKeyTransfer(CrTelvEngine engine, intptr_t a, intptr_t b);

/* 55. Refreshes the certificate cache; where the engine cannot do that
 * itself, drops the cached sessions as ClearCash does and answers CRTELV_OK.
 * Otherwise the engine's code; CRTELV_E_FAILURE on a null handle or
 * failure. */
int32_t CRTELV_CALL UpdateCertificateCash(CrTelvEngine engine, intptr_t a);

/* 56. Same as GetMaxReportSize. */
int32_t CRTELV_CALL GetMaxPublicKeyPropertiesLength(CrTelvEngine engine);

/* 57. Same as GetReport: writes the properties of the certificate uid into
 * the caller's buffer of GetMaxReportSize + 1 bytes. CRTELV_OK or a negative
 * code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPublicKeyProperties(CrTelvEngine engine, const char *uid, char *properties);

/* 58. Extended key generation start (arguments passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL RemoteGenerateStartEx(CrTelvEngine engine, intptr_t a, intptr_t b, intptr_t c);

/* 59. Extended key generation finish (arguments passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL RemoteGenerateFinishEx(CrTelvEngine engine, intptr_t a, intptr_t b);

/* 60. Writes the properties of the certificate carried by transfer into the
 * caller's buffer of GetMaxReportSize + 1 bytes. CRTELV_OK or a negative
 * code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPublicKeyPropertiesByTransfer(CrTelvEngine engine, const char *transfer, char *properties);

/* 61. Writes the properties of the certificate in the named file into the
 * caller's buffer of GetMaxReportSize + 1 bytes. CRTELV_OK or a negative
 * code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPublicKeyPropertiesByFile(CrTelvEngine engine, const char *fileName, char *properties);

/* 62. Installs a CA certificate from a transfer (argument passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL IncludeCACertificateFromTransfer(CrTelvEngine engine, intptr_t a);

/* 63. Creates a store folder structure (arguments passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL CreateDirStructure(CrTelvEngine engine, intptr_t a, intptr_t b);

/* 64. Removes a certificate (argument passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL RemoveCertificate(CrTelvEngine engine, intptr_t a);

/* 65. Verifies as VerifyData does, without checking the validity period of
 * the signer's certificate where the engine supports that. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL VerifySignWOCheckValidity(CrTelvEngine engine, const void *data, int32_t dataSize,
                                              const void *sign, int32_t signSize, char *signer);

/* 66. Tells whether a certificate transfer answers a request transfer
 * (arguments passed through); *match receives the answer (-1: unknown).
 * CRTELV_OK or a negative code; CRTELV_E_FAILURE on a null handle, a null
 * match or failure. */
int32_t CRTELV_CALL CertAndRequestTransferMatch(CrTelvEngine engine, intptr_t a, intptr_t b, int32_t *match);

/* 67. Installs the certificate revocation list in the named file. CRTELV_OK
 * or a negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL IncludeCRL(CrTelvEngine engine, const char *fileName);

/* 68. Converts a transfer into a signed request (argument passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL ConvertTransferToSignedRequest(CrTelvEngine engine, intptr_t a);

/* 69. Hashes dataSize bytes of data in the given format into the caller's
 * hash buffer of *hashSize bytes and stores the hash length in *hashSize; a
 * null hash asks for the size only. CRTELV_OK or a negative code;
 * CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL HashData(CrTelvEngine engine, const void *data, int32_t dataSize, int32_t format, void *hash,
                             int32_t *hashSize);

/* 70. Shows the certificate uid in the provider's own window. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL ShowCertificate(CrTelvEngine engine, const char *uid);

/* 71. Bare signature (arguments passed through). CRTELV_E_NOT_SUPPORTED by
 * this library's engines; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetPureSign(CrTelvEngine engine, intptr_t a, intptr_t b, intptr_t c, intptr_t d, intptr_t e);

/* 72. Writes the UID of the certificate named by the identifier text ident
 * into the caller's buffer of GetMaxUIDLength + 1 bytes. CRTELV_OK or a
 * negative code; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL GetUIDByCertIdent(CrTelvEngine engine, const char *ident, char *uid);

/* 73. Installs certificates in the user's store (argument passed through).
 * CRTELV_E_NOT_SUPPORTED by this library's engines; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL InstallCertsInMyStore(CrTelvEngine engine, intptr_t a);

/* 74. Registers a display name for an object identifier; name is converted
 * from the system code page to wide text. CRTELV_E_NOT_SUPPORTED by this
 * library's engines; CRTELV_E_FAILURE on a null handle or failure. */
int32_t CRTELV_CALL RegisterOIDInfo(CrTelvEngine engine, const char *oid, const char *name);

/* 75. Describes parameter index (from 1): *kind receives its kind, info (of
 * *infoSize bytes; null to ask for the size) its description, *infoSize the
 * size the description needs. CRTELV_OK, CRTELV_E_NO_PARAM for an unknown
 * index, CRTELV_E_BAD_ARGUMENT when info is too small; CRTELV_E_FAILURE on a
 * null handle or failure. */
int32_t CRTELV_CALL GetParamInfo(CrTelvEngine engine, int32_t index, int32_t *kind, char *info, int32_t *infoSize);

/* 76. 1 when name is, byte for byte, the name of an engine this library is
 * compatible with ("Telvora Crypto Engine", "Ms Crypto API 2.0",
 * "CryptoPro CSP/1.1"), otherwise 0; a null name gives 0. Needs no engine. */
int32_t CRTELV_CALL CheckCompatibles(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* CR_TELV_H */
