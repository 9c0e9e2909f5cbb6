// TCryptoEngine: the abstract engine behind the exports.
//
// One class declares every engine operation, in a fixed slot order that all
// descendants share, with a default answer (mostly -1, "not supported"). A
// concrete engine overrides what it supports. The class also owns what every
// engine shares: the last-error text, the parameter table, the host's
// callbacks, the root path and the remote-generation folder.
//
// Operations marked abstract raise EAbstractError in this class; the export
// guards turn that into their family's error result.
#ifndef CRTELV_ENGINE_CRYPTO_ENGINE_H
#define CRTELV_ENGINE_CRYPTO_ENGINE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cr_telv.h"
#include "engine/result_codes.h"
#include "platform/platform.h"
#include "support/rw_lock.h"

namespace crtelv {

// One text under its own reader/writer lock: an engine's last error.
class TSyncExceptStr {
 public:
  // A copy of the text, taken under the read side.
  std::string GetText();
  // Replaces the text under the write side.
  void SetText(const std::string &value);

 private:
  TRWCriticalSection lock_;
  std::string text_;
};

// Raw arguments are forwarded but never interpreted by this library.
using Raw = intptr_t;

class TCryptoEngine {
 public:
  TCryptoEngine();
  virtual ~TCryptoEngine();
  TCryptoEngine(const TCryptoEngine &) = delete;
  TCryptoEngine &operator=(const TCryptoEngine &) = delete;

  // ---- Operations, in slot order ----------------------------------------
  /* 0 */ virtual int32_t ReservedOperation();
  /* 1 */ virtual int32_t IncludeObjectKind9(Raw a, Raw b, Raw c);
  /* 2 */ virtual int32_t IncludeObjectKind1(Raw a, Raw b, Raw c);
  /* 3 */ virtual int32_t IncludeObjectKind3(Raw a, Raw b, Raw c);
  /* 4 */ virtual int32_t IncludeObjectKind5(Raw a, Raw b, Raw c);
  /* 5 */ virtual int32_t IncludeObjectKind6(Raw a, Raw b);
  /* 6 */ virtual int32_t IncludeObjectKind11(Raw a, Raw b, Raw c);
  /* 7 */ virtual int32_t ProcessObjectKind4(Raw a, Raw b, Raw c);
  /* 8 */ virtual int32_t ProcessObjectKind5(Raw a, Raw b, Raw c, Raw d);
  /* 9 */ virtual void SetPasswordRequestFunc(void *callback);
  /* 10 */ virtual void SetRemoteGeneratePath(const std::string &path);
  // Virtual constructor: a new engine of the same class.
  /* 11 */ virtual TCryptoEngine *Create() const;
  /* 12 */ virtual void GetEngineName(char *name);  // abstract
  /* 13 */ virtual int32_t GetMaxEncodeAddition();
  /* 14 */ virtual int32_t GetMaxSignatureLength();
  /* 15 */ virtual int32_t GetMaxUIDLength();
  /* 16 */ virtual int32_t GetMaxCryptoParamNameLength();
  /* 17 */ virtual int32_t GetMaxCryptoParamValueLength();
  /* 18 */ virtual int32_t GetMaxErrorStringLength();
  /* 19 */ virtual int32_t GetMaxPasswordLength();
  /* 20 */ virtual int32_t GetCryptoParamNumber();
  /* 21 */ virtual void GetCryptoParamName(int32_t index, char *name);
  /* 22 */ virtual void GetCryptoParamValue(int32_t index, char *value);
  /* 23 */ virtual int32_t SetCryptoParamValue(int32_t index, const char *value);
  /* 24 */ virtual int32_t GetEncodeUIDBySignUID(const char *signUID, char *encodeUID);  // abstract
  /* 25 */ virtual int32_t GetCurrentUID(char *uid);  // abstract
  /* 26 */ virtual void GetCryptoErrorString(int32_t errorCode, char *message);
  /* 27 */ virtual int32_t EncodeData(void *data, int32_t *size, const char *recipients);  // abstract
  /* 28 */ virtual int32_t DecodeData(void *data, int32_t *size, void *third);  // abstract
  /* 29 */ virtual int32_t SignData(const void *data, int32_t dataSize, void *sign, int32_t *signSize,
                                    const char *mode);  // abstract
  /* 30 */ virtual int32_t VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                                      char *signer);  // abstract
  /* 31 */ virtual int32_t IncludePublicKey(const char *fileName);
  /* 32 */ virtual void ClearCash();
  /* 33 */ virtual int32_t UpdateCertificateCash(Raw a);
  /* 34 */ virtual int32_t RemoveCertificate(Raw a);
  /* 35 */ virtual int32_t IncludeCRL(const char *fileName);
  /* 36 */ virtual void GetLastErrorMessage(char *message);
  /* 37 */ virtual int32_t GenerateNewSSK();
  /* 38 */ virtual int32_t GenerateNewSEK();
  /* 39 */ virtual bool IsDifferentKeys();
  /* 40 */ virtual int32_t IncludePublicEncodeKey(const char *fileName);
  /* 41 */ virtual int32_t SignFile(Raw a);
  /* 42 */ virtual int32_t VerifyFile(Raw a, Raw b);
  /* 43 */ virtual int32_t RemoveSignaturesFromFile(Raw a);
  /* 44 */ virtual int32_t TransPrivateKeyFromFileToTM();
  /* 45 */ virtual int32_t TransSignatureFromFileToTM();
  /* 46 */ virtual int32_t GetMaxPublicKeyTransferSize();
  /* 47 */ virtual int32_t RemoteGenerateStart(char *transfer);
  /* 48 */ virtual int32_t RemoteGenerateFinish(const char *transfer);
  /* 49 */ virtual int32_t ExcludeSelfPublicKeyTransfer(char *transfer);
  /* 50 */ virtual int32_t IncludePublicKeyTransfer(const char *transfer);
  /* 51 */ virtual int32_t GetPublicKeyTransfer(const char *uid, char *transfer);
  /* 52 */ virtual int32_t SavePublicKeyFromTransfer(const char *folder, const char *transfer);
  /* 53 */ virtual int32_t RemoteGenerateStartEx(Raw a, Raw b, Raw c);
  /* 54 */ virtual int32_t RemoteGenerateFinishEx(Raw a, Raw b);
  /* 55 */ virtual int32_t GetPublicKeyTransferByFile(char *transfer, const char *fileName);
  /* 56 */ virtual int32_t IncludeCACertificateFromTransfer(Raw a);
  /* 57 */ virtual int32_t AddSign(void *data, int32_t *size, Raw third);
  /* 58 */ virtual int32_t RemoveSignature(void *data, int32_t *size, char *signer);
  /* 59 */ virtual int32_t GetMaxSignAddition();
  /* 60 */ virtual int32_t GetMaxAdditionForCount(int32_t count);
  /* 61 */ virtual int32_t SaveSignedDataToFile(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                                                const char *fileName);
  /* 62 */ virtual int32_t GetRemoteGenType();
  /* 63 */ virtual int32_t GetMaxReportSize();
  /* 64 */ virtual int32_t GetReport(const char *uid, char *report);
  /* 65 */ virtual int32_t GetMaxAdditionEx(const char *recipients);
  /* 66 */ virtual int32_t GetUIDByPublicKeyTransfer(Raw a, Raw b);
  /* 67 */ virtual int32_t GetReportByTransfer(const char *transfer, char *report);
  /* 68 */ virtual int32_t GetReportByFile(const char *fileName, char *report);
  /* 69 */ virtual int32_t CreateDirStructure(Raw a, Raw b);
  /* 70 */ virtual int32_t VerifySignWOCheckValidity(const void *data, int32_t dataSize, const void *sign,
                                                     int32_t signSize, char *signer);
  /* 71 */ virtual int32_t CertAndRequestTransferMatch(Raw a, Raw b, int32_t *match);
  /* 72 */ virtual int32_t ConvertTransferToSignedRequest(Raw a);
  /* 73 */ virtual int32_t HashData(const void *data, int32_t dataSize, int32_t format, void *hash, int32_t *hashSize);
  /* 74 */ virtual int32_t ShowCertificate(const char *uid);
  /* 75 */ virtual int32_t GetPureSign(Raw a, Raw b, Raw c, Raw d, Raw e);
  /* 76 */ virtual int32_t GetUIDByCertIdent(const char *ident, char *uid);
  /* 77 */ virtual int32_t InstallCertsInMyStore(Raw a);
  /* 78 */ virtual int32_t RegisterOIDInfo(const std::string &oid, const std::u16string &name);
  /* 79 */ virtual int32_t GetParamInfo(int32_t index, int32_t *kind, char *info, int32_t *infoSize);
  /* 80 */ virtual int32_t IncludeObject(int32_t kind, Raw a, Raw b, Raw c);
  /* 81 */ virtual int32_t ProcessObject(int32_t kind, Raw a, Raw b, Raw c, Raw d, Raw e);

  // ---- Non-virtual services ----------------------------------------------

  // Replaces a leading "%ZPKRoot%" (any letter case) by RootPath, dropping one
  // backslash after it, and upper-cases the whole result (ASCII only). A path
  // without the placeholder is returned unchanged.
  std::string ExpandRootPath(const std::string &path) const;
  // ExpandRootPath, then a trailing separator (AddPathDelimiter).
  std::string ExpandFolderPath(const std::string &path) const;
  // Text into a host buffer of capacity bytes: as much of it as fits before
  // the terminating zero, then the zero. Nothing for a null buffer or a
  // capacity below one. Every text handed to a host goes through here.
  static void CopyTextToHost(const std::string &text, char *dest, int32_t capacity);
  // Bounded copy: min(size, strlen(source) + 1) bytes; false for null
  // pointers or size <= 0.
  static bool CopyToBuffer(const char *source, char *dest, int32_t size);
  // RootPath := path with a trailing backslash; empty stays empty.
  void AssignRootPath(const std::string &path);
  // 255 for every engine.
  static int32_t GetMaxFilePathLength() { return 255; }

  // ---- Shared state --------------------------------------------------------
  TSyncExceptStr &LastErrorText() { return lastErrorText_; }
  const std::vector<std::string> &ParamNames() const { return paramNames_; }
  // A copy of the values, taken under the parameters' read side: another
  // thread may change them with SetCryptoParamValue meanwhile.
  std::vector<std::string> ParamValues() const;
  // One value (number from 1) under the read side; empty when out of range.
  std::string ParamValue(int32_t number) const;
  // Changes whenever a value or the root path is set: two readings with the
  // same number saw the same values. Read inside ReadParamValues, it belongs
  // to the values read there.
  uint64_t ParamGeneration() const { return paramGeneration_.load(std::memory_order_acquire); }
  // Runs read(values) under the read side, without a copy.
  template <typename Read>
  void ReadParamValues(Read &&read) const {
    ReadGuard guard(paramLock_);
    read(static_cast<const std::vector<std::string> &>(paramValues_));
  }
  // The host's callbacks and the remote-generation folder are set by exports
  // that may run on other threads: each is read and written under the
  // parameters' lock, and read as a copy.
  void *PasswordRequestFunc() const {
    ReadGuard guard(paramLock_);
    return passwordRequestFunc_;
  }
  void *TMRequestFunc() const {
    ReadGuard guard(paramLock_);
    return tmRequestFunc_;
  }
  void SetTMRequestFunc(void *callback) {
    WriteGuard guard(paramLock_);
    tmRequestFunc_ = callback;
  }
  std::string RootPath() const {
    ReadGuard guard(paramLock_);
    return rootPath_;
  }
  std::string RemoteGeneratePath() const {
    ReadGuard guard(paramLock_);
    return remoteGeneratePath_;
  }

 protected:
  // Used by a concrete engine's constructor to fill the parameter table.
  void AddParam(const std::string &name, const std::string &defaultValue);

 private:
  TSyncExceptStr lastErrorText_;
  std::vector<std::string> paramNames_;
  std::vector<std::string> paramValues_;
  // Guards paramValues_, the callbacks, rootPath_ and remoteGeneratePath_
  // (the names and their number never change after construction).
  mutable TRWCriticalSection paramLock_;
  // Raised under paramLock_'s write side, after the change.
  std::atomic<uint64_t> paramGeneration_{0};
  void *passwordRequestFunc_ = nullptr;
  void *tmRequestFunc_ = nullptr;
  std::string rootPath_;
  std::string remoteGeneratePath_;
};

// Finds and loads the provider library: the library search first; failing
// that, the folder of the loaded "Korvex.dll" (or of the host executable when
// that module is not loaded). Returns nullptr when nothing loads; never throws.
platform::ModuleHandle LoadCryptoLibrary(const std::string &name);

}  // namespace crtelv

#endif  // CRTELV_ENGINE_CRYPTO_ENGINE_H
