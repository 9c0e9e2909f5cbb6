/* The interface of the crypto provider library cpki1.
 *
 * The binding and every provider in this tree include this one header. All
 * records are plain little-endian C structs, zero-filled by whoever builds
 * them. The sizes and offsets checked below are those of the 32-bit Windows
 * port (4-byte pointers); on 64-bit the same declarations get natural
 * alignment. Reserved gaps are byte arrays of their exact widths.
 *
 * Every entry point returns int32_t: 0 for success, otherwise the provider's
 * own status. Memory the provider hands out is released with the matching
 * VCERT_Free* entry point.
 */
#ifndef CRTELV_PROVIDER_CPKI1_API_H
#define CRTELV_PROVIDER_CPKI1_API_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VCERT_API __stdcall
#else
#define VCERT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Provider session handle; 0 means none. */
typedef uint32_t TelvoraSession;

/* A counted byte buffer. */
typedef struct TelvoraBlob {
  int32_t Length;
  uint8_t *Data;
} TelvoraBlob;

/* How server mode names the server's own key: Kind 1, the key reference. */
typedef struct AuthRecord {
  int32_t Kind;
  const char *KeyRef;
  int32_t Reserved;
} AuthRecord;

/* Open-session record of VCERT_InitializeEx; Size = sizeof the record. */
typedef struct TelvoraOpenParams {
  int32_t Size;
  int32_t Flags;
  const char *PSEUrl;
  const char *StoreUrl;
  const char *LdapUrl;
} TelvoraOpenParams;

/* Fields mask bits of certificate requests. */
#define TELVORA_FIELD_SERIAL 0x1
#define TELVORA_FIELD_ISSUER 0x2
#define TELVORA_FIELD_SUBJECT 0x4
#define TELVORA_FIELD_EKU 0x400
#define TELVORA_FIELD_KEYREF 0x8000
#define TELVORA_FIELD_ENCODED 0x10000
#define TELVORA_FIELD_ALL 0x3FFFF

/* Store selection bits and match kinds of VCERT_FindCert. */
#define TELVORA_STORE_OWN 1
#define TELVORA_STORE_OTHERS 2
#define TELVORA_STORE_WIDE 8
#define TELVORA_MATCH_ISSUER_SERIAL 3
#define TELVORA_MATCH_SUBJECT 4
#define TELVORA_MATCH_EKU 0x400

/* The provider's parsed certificate. Text fields may be null. */
typedef struct TelvoraCertInfo {
  uint8_t Unused0[4];
  const char *Issuer;
  const char *SerialNumber; /* hex byte pairs separated by ":" */
  const char *Subject;
  const char *PublicKeyAlgorithm;
  uint32_t NotBefore; /* seconds since 1970-01-01 UTC */
  uint32_t NotAfter;
  uint8_t Unused28[8];
  int32_t KeyUsage;
  uint32_t PrivateKeyNotBefore;
  uint32_t PrivateKeyNotAfter;
  uint8_t Unused48[120];
  const char *KeyReference;
  uint8_t Unused172[8];
  int32_t ExtKeyUsageCount;
  const char *const *ExtKeyUsage;
  uint8_t Unused188[8];
  TelvoraBlob Encoded;
  uint8_t Unused204[8];
} TelvoraCertInfo;

/* Input of VCERT_FindCert. */
typedef struct TelvoraFindCriteria {
  int32_t Stores;
  const AuthRecord *Selector;
  int32_t MatchBy;
  const char *Issuer;
  const char *Serial;
  const char *Subject;
  uint8_t Zero24[164];
  int32_t EKUCount;
  const char *const *EKUList;
  uint8_t Zero196[24];
  int32_t Fields;
} TelvoraFindCriteria;

/* Output of VCERT_FindCert, released with VCERT_FreeFindResult. */
typedef struct TelvoraFindResult {
  int32_t Count;
  TelvoraCertInfo *Certs;
} TelvoraFindResult;

typedef struct TelvoraSignParams {
  int32_t Flags;
  const AuthRecord *Selector;
} TelvoraSignParams;

typedef struct TelvoraVerifyParams {
  int32_t Flags;
  const AuthRecord *Selector;
  uint8_t Zero8[28];
  int32_t Option;
  uint8_t Zero40[4];
  int32_t Fields;
} TelvoraVerifyParams;

typedef struct TelvoraSignerInfo {
  int32_t Status;
  int32_t Reserved;
  TelvoraCertInfo *Cert;
} TelvoraSignerInfo;

/* Output of VCERT_VerifyMem, released with VCERT_FreeVerifyResult. */
typedef struct TelvoraVerifyResult {
  int32_t Count;
  TelvoraSignerInfo *Signers;
} TelvoraVerifyResult;

typedef struct TelvoraCryptParams {
  int32_t Flags;
  const AuthRecord *Selector;
  int32_t RecipientCount;
  const TelvoraCertInfo *Recipients;
} TelvoraCryptParams;

typedef struct TelvoraDecryptParams {
  int32_t Flags;
  const AuthRecord *Selector;
  int32_t Reserved;
} TelvoraDecryptParams;

typedef struct TelvoraAddParams {
  int32_t Flags;
  const AuthRecord *Selector;
} TelvoraAddParams;

typedef struct TelvoraExportParams {
  int32_t Kind;
  const AuthRecord *Auth;
} TelvoraExportParams;

/* Entry points the library calls. */
typedef int32_t(VCERT_API *VCERT_Initialize_t)(const char *profile, int32_t flags, TelvoraSession *out);
typedef int32_t(VCERT_API *VCERT_InitializeEx_t)(int32_t version, const TelvoraOpenParams *rec, TelvoraSession *out);
typedef int32_t(VCERT_API *VCERT_Uninitialize_t)(TelvoraSession s);
typedef int32_t(VCERT_API *VCERT_GetErrorText_t)(int32_t code, char *buffer, int32_t size);
typedef int32_t(VCERT_API *VCERT_HashMem_t)(TelvoraSession s, const TelvoraBlob *data, TelvoraBlob *hash);
typedef int32_t(VCERT_API *VCERT_SignMem_t)(TelvoraSession s, const TelvoraSignParams *p, const TelvoraBlob *data,
                                            const void *reserved, TelvoraBlob *out);
typedef int32_t(VCERT_API *VCERT_VerifyMem_t)(TelvoraSession s, const TelvoraVerifyParams *p, const TelvoraBlob *data,
                                              const TelvoraBlob *signature, TelvoraBlob *content,
                                              TelvoraVerifyResult *result);
typedef int32_t(VCERT_API *VCERT_EncryptMem_t)(TelvoraSession s, const TelvoraCryptParams *p, const TelvoraBlob *data,
                                               TelvoraBlob *out);
typedef int32_t(VCERT_API *VCERT_DecryptMem_t)(TelvoraSession s, const TelvoraDecryptParams *p,
                                               const TelvoraBlob *data, TelvoraBlob *out, TelvoraCertInfo *sender);
typedef int32_t(VCERT_API *VCERT_FindCert_t)(TelvoraSession s, const TelvoraFindCriteria *c,
                                             TelvoraFindResult *result);
typedef int32_t(VCERT_API *VCERT_AddCertificate_t)(TelvoraSession s, const TelvoraAddParams *p,
                                                   const TelvoraBlob *cert);
typedef int32_t(VCERT_API *VCERT_AddCRL_t)(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *crl);
typedef int32_t(VCERT_API *VCERT_ParseCert_t)(TelvoraSession s, const TelvoraBlob *cert, int32_t fields,
                                              TelvoraCertInfo *info);
typedef int32_t(VCERT_API *VCERT_FreeMem_t)(TelvoraSession s, void *data);
typedef int32_t(VCERT_API *VCERT_FreeCert_t)(TelvoraSession s, TelvoraCertInfo *info);
typedef int32_t(VCERT_API *VCERT_FreeVerifyResult_t)(TelvoraSession s, TelvoraVerifyResult *result);
typedef int32_t(VCERT_API *VCERT_FreeDecryptResult_t)(TelvoraSession s, TelvoraCertInfo *sender);
typedef int32_t(VCERT_API *VCERT_FreeFindResult_t)(TelvoraSession s, TelvoraFindResult *result);
typedef int32_t(VCERT_API *VCERT_ShowCertificate_t)(TelvoraSession s, const TelvoraBlob *cert);
typedef int32_t(VCERT_API *VCERT_ImportMem_t)(TelvoraSession s, const TelvoraExportParams *p, const TelvoraBlob *data);
typedef int32_t(VCERT_API *VCERT_ImportFile_t)(TelvoraSession s, const TelvoraExportParams *p, const char *fileName);
typedef int32_t(VCERT_API *VCERT_ExportMem_t)(TelvoraSession s, const TelvoraExportParams *p, TelvoraBlob *out);
typedef int32_t(VCERT_API *VCERT_SignHashMem_t)(TelvoraSession s, int32_t flags, const TelvoraBlob *hash,
                                                TelvoraBlob *signature);
typedef int32_t(VCERT_API *VCERT_VerifyHashMem_t)(TelvoraSession s, int32_t flags, const TelvoraBlob *cert,
                                                  const TelvoraBlob *hash, const TelvoraBlob *signature);

/* Entry points that are resolved but never called by the library. */
typedef int32_t(VCERT_API *VCERT_Unused_t)(void);

/* The 47 entry points in table order: X(name, type, required). */
#define CPKI1_ENTRY_POINTS(X)                                  \
  X(VCERT_Initialize, VCERT_Initialize_t, 1)                   \
  X(VCERT_SetAuthData, VCERT_Unused_t, 1)                      \
  X(VCERT_InitializeEx, VCERT_InitializeEx_t, 1)               \
  X(VCERT_Uninitialize, VCERT_Uninitialize_t, 1)               \
  X(VCERT_HashMem, VCERT_HashMem_t, 1)                         \
  X(VCERT_SignMem, VCERT_SignMem_t, 1)                         \
  X(VCERT_VerifyMem, VCERT_VerifyMem_t, 1)                     \
  X(VCERT_SignedInfoMem, VCERT_Unused_t, 1)                    \
  X(VCERT_EncryptedInfoMem, VCERT_Unused_t, 1)                 \
  X(VCERT_VerifyAndSignMem, VCERT_Unused_t, 1)                 \
  X(VCERT_EncryptMem, VCERT_EncryptMem_t, 1)                   \
  X(VCERT_DecryptMem, VCERT_DecryptMem_t, 1)                   \
  X(VCERT_SignAndEncryptMem, VCERT_Unused_t, 1)                \
  X(VCERT_DecryptAndVerifyMem, VCERT_Unused_t, 1)              \
  X(VCERT_FindCert, VCERT_FindCert_t, 1)                       \
  X(VCERT_GenRandom, VCERT_Unused_t, 1)                        \
  X(VCERT_HashFile, VCERT_Unused_t, 1)                         \
  X(VCERT_SignFile, VCERT_Unused_t, 1)                         \
  X(VCERT_VerifyFile, VCERT_Unused_t, 1)                       \
  X(VCERT_SignedInfoFile, VCERT_Unused_t, 1)                   \
  X(VCERT_EncryptedInfoFile, VCERT_Unused_t, 1)                \
  X(VCERT_VerifyAndSignFile, VCERT_Unused_t, 1)                \
  X(VCERT_EncryptFile, VCERT_Unused_t, 1)                      \
  X(VCERT_DecryptFile, VCERT_Unused_t, 1)                      \
  X(VCERT_SignAndEncryptFile, VCERT_Unused_t, 1)               \
  X(VCERT_DecryptAndVerifyFile, VCERT_Unused_t, 1)             \
  X(VCERT_AddCertificate, VCERT_AddCertificate_t, 1)           \
  X(VCERT_AddCRL, VCERT_AddCRL_t, 1)                           \
  X(VCERT_ParseCert, VCERT_ParseCert_t, 1)                     \
  X(VCERT_FreeMem, VCERT_FreeMem_t, 1)                         \
  X(VCERT_AllocMem, VCERT_Unused_t, 1)                         \
  X(VCERT_GetErrorText, VCERT_GetErrorText_t, 1)               \
  X(VCERT_FreeCertId, VCERT_Unused_t, 1)                       \
  X(VCERT_FreeCert, VCERT_FreeCert_t, 1)                       \
  X(VCERT_FreeVerifyResult, VCERT_FreeVerifyResult_t, 1)       \
  X(VCERT_FreeSignedInfoResult, VCERT_Unused_t, 1)             \
  X(VCERT_FreeEncryptedInfoResult, VCERT_Unused_t, 1)          \
  X(VCERT_FreeDecryptResult, VCERT_FreeDecryptResult_t, 1)     \
  X(VCERT_FreeFindResult, VCERT_FreeFindResult_t, 1)           \
  X(VCERT_Match, VCERT_Unused_t, 1)                            \
  X(VCERT_ShowCertificate, VCERT_ShowCertificate_t, 1)         \
  X(VCERT_ImportMem, VCERT_ImportMem_t, 1)                     \
  X(VCERT_ImportFile, VCERT_ImportFile_t, 1)                   \
  X(VCERT_ExportMem, VCERT_ExportMem_t, 1)                     \
  X(VCERT_ExportFile, VCERT_Unused_t, 1)                       \
  X(VCERT_SignHashMem, VCERT_SignHashMem_t, 0)                 \
  X(VCERT_VerifyHashMem, VCERT_VerifyHashMem_t, 0)

#ifdef __cplusplus
}
#endif

/* The records have the exact Win32 sizes and offsets. */
#if defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TelvoraBlob) == 8, "TelvoraBlob");
static_assert(sizeof(AuthRecord) == 12, "AuthRecord");
static_assert(sizeof(TelvoraOpenParams) == 20, "TelvoraOpenParams");
static_assert(sizeof(TelvoraCertInfo) == 212, "TelvoraCertInfo");
static_assert(offsetof(TelvoraCertInfo, Issuer) == 4, "TelvoraCertInfo.Issuer");
static_assert(offsetof(TelvoraCertInfo, SerialNumber) == 8, "TelvoraCertInfo.SerialNumber");
static_assert(offsetof(TelvoraCertInfo, Subject) == 12, "TelvoraCertInfo.Subject");
static_assert(offsetof(TelvoraCertInfo, PublicKeyAlgorithm) == 16, "TelvoraCertInfo.PublicKeyAlgorithm");
static_assert(offsetof(TelvoraCertInfo, NotBefore) == 20, "TelvoraCertInfo.NotBefore");
static_assert(offsetof(TelvoraCertInfo, NotAfter) == 24, "TelvoraCertInfo.NotAfter");
static_assert(offsetof(TelvoraCertInfo, KeyUsage) == 36, "TelvoraCertInfo.KeyUsage");
static_assert(offsetof(TelvoraCertInfo, PrivateKeyNotBefore) == 40, "TelvoraCertInfo.PrivateKeyNotBefore");
static_assert(offsetof(TelvoraCertInfo, PrivateKeyNotAfter) == 44, "TelvoraCertInfo.PrivateKeyNotAfter");
static_assert(offsetof(TelvoraCertInfo, KeyReference) == 168, "TelvoraCertInfo.KeyReference");
static_assert(offsetof(TelvoraCertInfo, ExtKeyUsageCount) == 180, "TelvoraCertInfo.ExtKeyUsageCount");
static_assert(offsetof(TelvoraCertInfo, ExtKeyUsage) == 184, "TelvoraCertInfo.ExtKeyUsage");
static_assert(offsetof(TelvoraCertInfo, Encoded) == 196, "TelvoraCertInfo.Encoded");
static_assert(sizeof(TelvoraFindCriteria) == 224, "TelvoraFindCriteria");
static_assert(offsetof(TelvoraFindCriteria, Selector) == 4, "TelvoraFindCriteria.Selector");
static_assert(offsetof(TelvoraFindCriteria, MatchBy) == 8, "TelvoraFindCriteria.MatchBy");
static_assert(offsetof(TelvoraFindCriteria, Issuer) == 12, "TelvoraFindCriteria.Issuer");
static_assert(offsetof(TelvoraFindCriteria, Serial) == 16, "TelvoraFindCriteria.Serial");
static_assert(offsetof(TelvoraFindCriteria, Subject) == 20, "TelvoraFindCriteria.Subject");
static_assert(offsetof(TelvoraFindCriteria, EKUCount) == 188, "TelvoraFindCriteria.EKUCount");
static_assert(offsetof(TelvoraFindCriteria, EKUList) == 192, "TelvoraFindCriteria.EKUList");
static_assert(offsetof(TelvoraFindCriteria, Fields) == 220, "TelvoraFindCriteria.Fields");
static_assert(sizeof(TelvoraFindResult) == 8, "TelvoraFindResult");
static_assert(sizeof(TelvoraSignParams) == 8, "TelvoraSignParams");
static_assert(sizeof(TelvoraVerifyParams) == 48, "TelvoraVerifyParams");
static_assert(offsetof(TelvoraVerifyParams, Option) == 36, "TelvoraVerifyParams.Option");
static_assert(offsetof(TelvoraVerifyParams, Fields) == 44, "TelvoraVerifyParams.Fields");
static_assert(sizeof(TelvoraSignerInfo) == 12, "TelvoraSignerInfo");
static_assert(sizeof(TelvoraVerifyResult) == 8, "TelvoraVerifyResult");
static_assert(sizeof(TelvoraCryptParams) == 16, "TelvoraCryptParams");
static_assert(sizeof(TelvoraDecryptParams) == 12, "TelvoraDecryptParams");
static_assert(sizeof(TelvoraAddParams) == 8, "TelvoraAddParams");
static_assert(sizeof(TelvoraExportParams) == 8, "TelvoraExportParams");
#endif

#endif /* CRTELV_PROVIDER_CPKI1_API_H */
