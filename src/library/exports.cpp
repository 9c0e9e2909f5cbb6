// The 76 exported functions.
//
// Each export is a thin guard around one engine operation: a null handle
// never reaches the engine, and a failure escaping the operation becomes the
// error result of the export's family (-1 for size queries, -10 for result
// codes, nothing for procedures, a null handle for GetCryptObj). No C++
// exception leaves this file.
#include <cstring>
#include <string>

#include "cr_telv.h"
#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "provider/provider_engine.h"
#include "support/root_path.h"

using crtelv::Raw;
using crtelv::TCryptoEngine;

namespace {

constexpr int32_t kSizeFailure = -1;
constexpr int32_t kCodeFailure = crtelv::kFailure;

TCryptoEngine &EngineOf(CrTelvEngine handle) { return *static_cast<TCryptoEngine *>(handle); }

std::string TextOf(const char *text) { return text != nullptr ? std::string(text) : std::string(); }

// Size and limit queries: -1 for a null handle or any failure.
template <typename Op>
int32_t GuardSize(CrTelvEngine handle, Op &&op) noexcept {
  if (handle == nullptr) return kSizeFailure;
  try {
    return op(EngineOf(handle));
  } catch (...) {
    return kSizeFailure;
  }
}

// Operations with a result code: -10 for a null handle or any failure.
template <typename Op>
int32_t GuardCode(CrTelvEngine handle, Op &&op) noexcept {
  if (handle == nullptr) return kCodeFailure;
  try {
    return op(EngineOf(handle));
  } catch (...) {
    return kCodeFailure;
  }
}

// Procedures: nothing for a null handle; a failure is absorbed.
template <typename Op>
void GuardProc(CrTelvEngine handle, Op &&op) noexcept {
  if (handle == nullptr) return;
  try {
    op(EngineOf(handle));
  } catch (...) {
  }
}

constexpr const char *kCompatibleEngines[] = {"Telvora Crypto Engine", "Ms Crypto API 2.0", "CryptoPro CSP/1.1"};

}  // namespace

extern "C" {

// ---- Engines ---------------------------------------------------------------------

CrTelvEngine CRTELV_CALL GetCryptObj(intptr_t) {
  try {
    TCryptoEngine *engine = new crtelv::TTelvoraEngine();
    return static_cast<CrTelvEngine>(engine);
  } catch (...) {
    return nullptr;
  }
}

void CRTELV_CALL DoneEngine(CrTelvEngine engine) {
  if (engine == nullptr) return;
  try {
    delete &EngineOf(engine);
  } catch (...) {
  }
}

// ---- Limits ------------------------------------------------------------------------

int32_t CRTELV_CALL GetMaxEncodeAddition(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxEncodeAddition(); });
}

int32_t CRTELV_CALL GetMaxSignatureLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxSignatureLength(); });
}

int32_t CRTELV_CALL GetMaxUIDLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxUIDLength(); });
}

int32_t CRTELV_CALL GetMaxCryptoParamNameLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxCryptoParamNameLength(); });
}

int32_t CRTELV_CALL GetMaxCryptoParamValueLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxCryptoParamValueLength(); });
}

int32_t CRTELV_CALL GetMaxErrorStringLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxErrorStringLength(); });
}

int32_t CRTELV_CALL GetCryptoParamNumber(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetCryptoParamNumber(); });
}

int32_t CRTELV_CALL GetMaxPasswordLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxPasswordLength(); });
}

int32_t CRTELV_CALL GetMaxSignAddition(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxSignAddition(); });
}

int32_t CRTELV_CALL GetMaxPublicKeyTransferSize(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxPublicKeyTransferSize(); });
}

int32_t CRTELV_CALL GetMaxFilePathLength(CrTelvEngine) {
  // The same for every engine: no engine is asked, so a null handle is fine.
  return TCryptoEngine::GetMaxFilePathLength();
}

int32_t CRTELV_CALL GetRemoteGenType(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetRemoteGenType(); });
}

int32_t CRTELV_CALL GetMaxReportSize(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxReportSize(); });
}

int32_t CRTELV_CALL GetMaxAdditionEx(CrTelvEngine engine, const char *recipients) {
  return GuardSize(engine, [=](TCryptoEngine &e) { return e.GetMaxAdditionEx(recipients); });
}

int32_t CRTELV_CALL GetMaxPublicKeyPropertiesLength(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.GetMaxReportSize(); });
}

int32_t CRTELV_CALL IsDifferentKeys(CrTelvEngine engine) {
  return GuardSize(engine, [](TCryptoEngine &e) { return e.IsDifferentKeys() ? -1 : 0; });
}

// ---- Parameters --------------------------------------------------------------------

void CRTELV_CALL GetCryptoParamName(CrTelvEngine engine, int32_t index, char *name) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.GetCryptoParamName(index, name); });
}

void CRTELV_CALL GetCryptoParamValue(CrTelvEngine engine, int32_t index, char *value) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.GetCryptoParamValue(index, value); });
}

int32_t CRTELV_CALL SetCryptoParamValue(CrTelvEngine engine, int32_t index, const char *value) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.SetCryptoParamValue(index, value); });
}

int32_t CRTELV_CALL GetParamInfo(CrTelvEngine engine, int32_t index, int32_t *kind, char *info, int32_t *infoSize) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetParamInfo(index, kind, info, infoSize); });
}

// ---- Error texts ---------------------------------------------------------------------

void CRTELV_CALL GetCryptoErrorString(CrTelvEngine engine, int32_t errorCode, char *message) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.GetCryptoErrorString(errorCode, message); });
}

void CRTELV_CALL GetLastErrorMessage(CrTelvEngine engine, char *message) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.GetLastErrorMessage(message); });
}

// ---- Callbacks, paths and caches ---------------------------------------------------------

void CRTELV_CALL SetPasswordRequestFunc(CrTelvEngine engine, void *callback) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.SetPasswordRequestFunc(callback); });
}

void CRTELV_CALL SetTMRequestFunc(CrTelvEngine engine, void *callback) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.SetTMRequestFunc(callback); });
}

void CRTELV_CALL SetRootPath(CrTelvEngine engine, const char *path) {
  // The process root first, with or without an engine; a root that conflicts
  // with the one already set leaves the engine's root path alone as well.
  try {
    crtelv::SetProcessRoot(TextOf(path));
  } catch (...) {
    return;
  }
  GuardProc(engine, [=](TCryptoEngine &e) { e.AssignRootPath(TextOf(path)); });
}

void CRTELV_CALL SetRemoteGeneratePath(CrTelvEngine engine, const char *path) {
  GuardProc(engine, [=](TCryptoEngine &e) { e.SetRemoteGeneratePath(TextOf(path)); });
}

void CRTELV_CALL ClearCash(CrTelvEngine engine) {
  GuardProc(engine, [](TCryptoEngine &e) { e.ClearCash(); });
}

int32_t CRTELV_CALL UpdateCertificateCash(CrTelvEngine engine, intptr_t a) {
  if (engine == nullptr) return kCodeFailure;
  int32_t result = GuardCode(engine, [=](TCryptoEngine &e) { return e.UpdateCertificateCash(a); });
  if (result != crtelv::kNotSupported) return result;
  // An engine that cannot refresh its certificate cache drops it instead.
  ClearCash(engine);
  return crtelv::kOk;
}

// ---- Data ------------------------------------------------------------------------------

int32_t CRTELV_CALL EncodeData(CrTelvEngine engine, void *data, int32_t *size, const char *recipients) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.EncodeData(data, size, recipients); });
}

int32_t CRTELV_CALL DecodeData(CrTelvEngine engine, void *data, int32_t *size, void *third) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.DecodeData(data, size, third); });
}

int32_t CRTELV_CALL SignData(CrTelvEngine engine, const void *data, int32_t dataSize, void *sign, int32_t *signSize,
                             const char *mode) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.SignData(data, dataSize, sign, signSize, mode); });
}

int32_t CRTELV_CALL VerifyData(CrTelvEngine engine, const void *data, int32_t dataSize, const void *sign,
                               int32_t signSize, char *signer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.VerifyData(data, dataSize, sign, signSize, signer); });
}

int32_t CRTELV_CALL VerifySignWOCheckValidity(CrTelvEngine engine, const void *data, int32_t dataSize,
                                              const void *sign, int32_t signSize, char *signer) {
  return GuardCode(engine, [=](TCryptoEngine &e) {
    return e.VerifySignWOCheckValidity(data, dataSize, sign, signSize, signer);
  });
}

int32_t CRTELV_CALL AddSign(CrTelvEngine engine, void *data, int32_t *size, intptr_t third) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.AddSign(data, size, third); });
}

int32_t CRTELV_CALL RemoveSign(CrTelvEngine engine, void *data, int32_t *size, char *signer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoveSignature(data, size, signer); });
}

int32_t CRTELV_CALL SaveSignedDataToFile(CrTelvEngine engine, const void *data, int32_t dataSize, const void *sign,
                                         int32_t signSize, const char *fileName) {
  return GuardCode(engine,
                   [=](TCryptoEngine &e) { return e.SaveSignedDataToFile(data, dataSize, sign, signSize, fileName); });
}

int32_t CRTELV_CALL HashData(CrTelvEngine engine, const void *data, int32_t dataSize, int32_t format, void *hash,
                             int32_t *hashSize) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.HashData(data, dataSize, format, hash, hashSize); });
}

int32_t CRTELV_CALL GetPureSign(CrTelvEngine engine, intptr_t a, intptr_t b, intptr_t c, intptr_t d, intptr_t e) {
  return GuardCode(engine, [=](TCryptoEngine &engineRef) { return engineRef.GetPureSign(a, b, c, d, e); });
}

// ---- Files ---------------------------------------------------------------------------

int32_t CRTELV_CALL SignFile(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.SignFile(a); });
}

int32_t CRTELV_CALL VerifyFile(CrTelvEngine engine, intptr_t a, intptr_t b) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.VerifyFile(a, b); });
}

int32_t CRTELV_CALL RemoveSignaturesFromFile(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoveSignaturesFromFile(a); });
}

// ---- Keys and the user's identity --------------------------------------------------------

int32_t CRTELV_CALL GetEncodeUIDBySignUID(CrTelvEngine engine, const char *signUid, char *encodeUid) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetEncodeUIDBySignUID(signUid, encodeUid); });
}

int32_t CRTELV_CALL GetCurrentUserUID(CrTelvEngine engine, char *uid) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetCurrentUID(uid); });
}

int32_t CRTELV_CALL GenerateNewSSK(CrTelvEngine engine) {
  return GuardCode(engine, [](TCryptoEngine &e) { return e.GenerateNewSSK(); });
}

int32_t CRTELV_CALL GenerateNewSEK(CrTelvEngine engine) {
  return GuardCode(engine, [](TCryptoEngine &e) { return e.GenerateNewSEK(); });
}

int32_t CRTELV_CALL TransSignatureFromFileToTM(CrTelvEngine engine) {
  return GuardCode(engine, [](TCryptoEngine &e) { return e.TransSignatureFromFileToTM(); });
}

int32_t CRTELV_CALL TransPrivateKeyFromFileToTM(CrTelvEngine engine) {
  return GuardCode(engine, [](TCryptoEngine &e) { return e.TransPrivateKeyFromFileToTM(); });
}

int32_t CRTELV_CALL RemoteGenerateStart(CrTelvEngine engine, char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoteGenerateStart(transfer); });
}

int32_t CRTELV_CALL RemoteGenerateFinish(CrTelvEngine engine, const char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoteGenerateFinish(transfer); });
}

int32_t CRTELV_CALL RemoteGenerateStartEx(CrTelvEngine engine, intptr_t a, intptr_t b, intptr_t c) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoteGenerateStartEx(a, b, c); });
}

int32_t CRTELV_CALL RemoteGenerateFinishEx(CrTelvEngine engine, intptr_t a, intptr_t b) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoteGenerateFinishEx(a, b); });
}

// ---- Certificates and transfers --------------------------------------------------------------

int32_t CRTELV_CALL IncludePublicKey(CrTelvEngine engine, const char *fileName) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.IncludePublicKey(fileName); });
}

int32_t CRTELV_CALL IncludePublicEncodeKey(CrTelvEngine engine, const char *fileName) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.IncludePublicEncodeKey(fileName); });
}

int32_t CRTELV_CALL IncludeCRL(CrTelvEngine engine, const char *fileName) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.IncludeCRL(fileName); });
}

int32_t CRTELV_CALL GetPublicKeyTransfer(CrTelvEngine engine, const char *uid, char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetPublicKeyTransfer(uid, transfer); });
}

int32_t CRTELV_CALL SavePublicKeyFromTransfer(CrTelvEngine engine, const char *folder, const char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.SavePublicKeyFromTransfer(folder, transfer); });
}

int32_t CRTELV_CALL IncludePublicKeyTransfer(CrTelvEngine engine, const char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.IncludePublicKeyTransfer(transfer); });
}

int32_t CRTELV_CALL ExcludeSelfPublicKeyTransfer(CrTelvEngine engine, char *transfer) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.ExcludeSelfPublicKeyTransfer(transfer); });
}

int32_t CRTELV_CALL GetPublicKeyTransferByFile(CrTelvEngine engine, char *transfer, const char *fileName) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetPublicKeyTransferByFile(transfer, fileName); });
}

int32_t CRTELV_CALL GetUIDByPublicKeyTransfer(CrTelvEngine engine, intptr_t a, intptr_t b) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetUIDByPublicKeyTransfer(a, b); });
}

int32_t CRTELV_CALL IncludeCACertificateFromTransfer(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.IncludeCACertificateFromTransfer(a); });
}

int32_t CRTELV_CALL CreateDirStructure(CrTelvEngine engine, intptr_t a, intptr_t b) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.CreateDirStructure(a, b); });
}

int32_t CRTELV_CALL RemoveCertificate(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.RemoveCertificate(a); });
}

int32_t CRTELV_CALL CertAndRequestTransferMatch(CrTelvEngine engine, intptr_t a, intptr_t b, int32_t *match) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.CertAndRequestTransferMatch(a, b, match); });
}

int32_t CRTELV_CALL ConvertTransferToSignedRequest(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.ConvertTransferToSignedRequest(a); });
}

int32_t CRTELV_CALL ShowCertificate(CrTelvEngine engine, const char *uid) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.ShowCertificate(uid); });
}

int32_t CRTELV_CALL GetUIDByCertIdent(CrTelvEngine engine, const char *ident, char *uid) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetUIDByCertIdent(ident, uid); });
}

int32_t CRTELV_CALL InstallCertsInMyStore(CrTelvEngine engine, intptr_t a) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.InstallCertsInMyStore(a); });
}

int32_t CRTELV_CALL RegisterOIDInfo(CrTelvEngine engine, const char *oid, const char *name) {
  return GuardCode(engine, [=](TCryptoEngine &e) {
    std::string oidText = TextOf(oid);
    std::u16string wideName = crtelv::platform::AnsiToWide(TextOf(name));
    return e.RegisterOIDInfo(oidText, wideName);
  });
}

// ---- Reports -----------------------------------------------------------------------------

int32_t CRTELV_CALL GetReport(CrTelvEngine engine, const char *uid, char *report) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetReport(uid, report); });
}

int32_t CRTELV_CALL GetPublicKeyProperties(CrTelvEngine engine, const char *uid, char *properties) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetReport(uid, properties); });
}

int32_t CRTELV_CALL GetPublicKeyPropertiesByTransfer(CrTelvEngine engine, const char *transfer, char *properties) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetReportByTransfer(transfer, properties); });
}

int32_t CRTELV_CALL GetPublicKeyPropertiesByFile(CrTelvEngine engine, const char *fileName, char *properties) {
  return GuardCode(engine, [=](TCryptoEngine &e) { return e.GetReportByFile(fileName, properties); });
}

// ---- Engine-free ---------------------------------------------------------------------------

int32_t CRTELV_CALL CheckCompatibles(const char *name) {
  if (name == nullptr) return 0;
  for (const char *compatible : kCompatibleEngines) {
    if (std::strcmp(name, compatible) == 0) return 1;
  }
  return 0;
}

}  // extern "C"
