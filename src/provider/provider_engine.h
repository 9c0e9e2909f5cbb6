// TTelvoraEngine: the engine that carries out the operations on the provider.
//
// Construction fills the thirteen parameters with their defaults; nothing
// touches the provider until the first provider operation, which obtains a
// binding from the process-wide cache (one binding per configuration key).
// Every provider operation runs in the operation frame: argument checks,
// FillInitParam, AcquireBinding, the binding call; a failure raised by the
// binding call is described in LastErrorText and answered with -10.
#ifndef CRTELV_PROVIDER_PROVIDER_ENGINE_H
#define CRTELV_PROVIDER_PROVIDER_ENGINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/provider_params.h"

namespace crtelv {

struct TransferBlock;
class ProviderCall;

// A binding held by an operation. The cache holds one reference per cached
// binding and every running operation holds another, so a binding that the
// cache drops (ClearCash) is destroyed when its last operation ends.
using BindingRef = std::shared_ptr<TTelvora>;

class TTelvoraEngine : public TCryptoEngine {
 public:
  TTelvoraEngine();

  TCryptoEngine *Create() const override;
  void GetEngineName(char *name) override;
  int32_t GetMaxEncodeAddition() override { return 4096; }
  int32_t GetMaxSignatureLength() override { return 2048; }
  int32_t GetMaxErrorStringLength() override { return 300; }
  int32_t GetEncodeUIDBySignUID(const char *signUID, char *encodeUID) override;
  int32_t GetCurrentUID(char *uid) override;
  void GetCryptoErrorString(int32_t errorCode, char *message) override;
  void ClearCash() override;
  int32_t GenerateNewSSK() override { return kNotSupported; }
  int32_t GenerateNewSEK() override { return kNotSupported; }
  int32_t TransPrivateKeyFromFileToTM() override { return kNotSupported; }
  int32_t TransSignatureFromFileToTM() override { return kNotSupported; }
  int32_t GetMaxPublicKeyTransferSize() override { return 12288; }
  int32_t GetMaxSignAddition() override { return GetMaxSignatureLength(); }
  int32_t GetMaxReportSize() override { return 4096; }
  int32_t GetParamInfo(int32_t index, int32_t *kind, char *info, int32_t *infoSize) override;

  // Signing, verifying, signed messages, encryption: the host's buffers are
  // filled within their sizing contracts (GetMaxSignatureLength, data +
  // GetMaxSignAddition, data + GetMaxAdditionEx, the input size), never past.
  int32_t SignData(const void *data, int32_t dataSize, void *sign, int32_t *signSize, const char *mode) override;
  int32_t VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize, char *signer) override;
  int32_t AddSign(void *data, int32_t *size, Raw third) override;
  int32_t RemoveSignature(void *data, int32_t *size, char *signer) override;
  int32_t EncodeData(void *data, int32_t *size, const char *recipients) override;
  int32_t DecodeData(void *data, int32_t *size, void *third) override;

  // Certificate store: certificate files (at most 4096 bytes, binary or
  // PEM), key stores (".pse", letter case ignored) and CRL files.
  int32_t IncludePublicKey(const char *fileName) override;
  int32_t IncludePublicEncodeKey(const char *fileName) override;
  int32_t IncludeCRL(const char *fileName) override;

  // Key generation: the request goes out as a transfer, the issuer's answer
  // comes back as one.
  int32_t RemoteGenerateStart(char *transfer) override;
  int32_t RemoteGenerateFinish(const char *transfer) override;

  // Public key transfers. Everything read from a transfer comes from a
  // counterpart and is checked before use; files are written only inside the
  // folder given, and an old file survives a failed write.
  int32_t ExcludeSelfPublicKeyTransfer(char *transfer) override;
  int32_t IncludePublicKeyTransfer(const char *transfer) override;
  int32_t GetPublicKeyTransfer(const char *uid, char *transfer) override;
  int32_t SavePublicKeyFromTransfer(const char *folder, const char *transfer) override;
  int32_t GetPublicKeyTransferByFile(char *transfer, const char *fileName) override;

  // Reports, hashing, display and the UID of a certificate identifier.
  int32_t GetReport(const char *uid, char *report) override;
  int32_t GetReportByTransfer(const char *transfer, char *report) override;
  int32_t GetReportByFile(const char *fileName, char *report) override;
  int32_t HashData(const void *data, int32_t dataSize, int32_t format, void *hash, int32_t *hashSize) override;
  int32_t ShowCertificate(const char *uid) override;
  int32_t GetUIDByCertIdent(const char *ident, char *uid) override;

  // The transfer text of a block carrying data (1 to 4096 bytes), signed
  // with the user's key; made in a buffer of the engine's own and copied
  // into transfer (GetMaxPublicKeyTransferSize bytes) only on success.
  int32_t GetPublicKeyTransferByBuffer(const std::string &name, const std::string &fileName, const void *data,
                                       int32_t dataLength, char *transfer, int32_t *transferSize);
  // The block of a standard transfer: -11 for a text that does not decode,
  // content of the wrong shape or texts that do not end in their fields;
  // the code of RemoveSignature when the signature fails.
  int32_t GetPublicKeyBlockByTransfer(const char *transfer, TransferBlock &block);
  // The request of a long-layout transfer: buffer null asks for the size;
  // -7 with the size needed when size is smaller.
  int32_t GetPublicKeyBlockByTransfer(const char *transfer, void *buffer, int32_t *size);

  // The session record from the current parameter values; returns the
  // ParamGeneration of the values read.
  uint64_t FillInitParam(TelvoraInitParam &param) const;
  // The cache key of a configuration.
  static std::string BindingKey(const TelvoraInitParam &param);
  // The cached binding for the configuration, created on first use; 0, or
  // -21 (provider library not loadable) / -22 (entry points missing).
  int32_t AcquireBinding(const TelvoraInitParam &param, BindingRef &binding);

  // The session record, its binding key and the binding an operation last
  // ran with, kept while neither the parameters nor the binding cache change.
  struct PreparedCall {
    TelvoraInitParam param;
    uint64_t paramGeneration = 0;
    uint64_t cacheGeneration = 0;
    // Does not keep the binding alive: the cache and the operations do.
    std::weak_ptr<TTelvora> binding;
  };
  // What an operation runs with: the session record and the binding.
  struct CallSetup {
    std::shared_ptr<const PreparedCall> prepared;
    BindingRef binding;
    const TelvoraInitParam &Param() const { return prepared->param; }
  };
  // FillInitParam and AcquireBinding, or the last operation's result while
  // it is still current: 0, -21 or -22 as AcquireBinding answers.
  int32_t SetUpCall(CallSetup &setup);

 protected:
  // ---- Steps of the transfer operations (operation_transfer.cpp) ---------
  // Each runs inside the caller's call frame, so that an operation made of
  // reading a transfer, the store and making a transfer opens one frame.
  // The bytes of a transfer text: -11 for no text or one that does not decode.
  static int32_t DecodeTransferText(const char *transfer, std::vector<uint8_t> &content);
  // In place: the decoded transfer becomes its signed content; the code of
  // RemoveSignature when the signature fails.
  static int32_t CheckTransferSignature(ProviderCall &call, std::vector<uint8_t> &content);
  // The block of a standard transfer from its decoded bytes (changed in
  // place): -11 for content of the wrong shape or texts that do not end in
  // their fields.
  static int32_t ReadTransferBlock(ProviderCall &call, std::vector<uint8_t> &content, TransferBlock &block);
  // As GetPublicKeyTransferByBuffer; a failure is described for operation.
  int32_t MakeTransfer(ProviderCall &call, const char *operation, const std::string &name,
                       const std::string &fileName, const void *data, int32_t dataLength, char *transfer,
                       int32_t *transferSize);
  // The transfer of the certificate of a UID, named after it.
  int32_t TransferOfUid(ProviderCall &call, const char *operation, const char *uid, char *transfer);

  // The operation frame around a binding call: a failure raised by body is
  // described as "TTelvoraEngine.<operation>: <type>: <message>" in
  // LastErrorText and answered with -10.
  template <typename Body>
  int32_t GuardBindingCall(const char *operation, Body &&body);
  // The whole operation frame: the session record from the current
  // parameters, the cached binding (its -21 / -22 answered as they are),
  // then body(binding, param) inside GuardBindingCall.
  template <typename Body>
  int32_t OnBinding(const char *operation, Body &&body);
  // Makes buffer size bytes long: 0, or -7 when there is no memory for it.
  static int32_t AllocateBuffer(std::vector<uint8_t> &buffer, int32_t size);
  // Stores a failure description for an operation.
  void RecordFailure(const char *operation, const std::exception &failure);
  void RecordFailureText(const char *operation, const std::string &text);

 private:
  platform::CriticalSection preparedLock_;
  std::shared_ptr<const PreparedCall> prepared_;  // under preparedLock_
};

template <typename Body>
int32_t TTelvoraEngine::GuardBindingCall(const char *operation, Body &&body) {
  try {
    return body();
  } catch (const std::exception &failure) {
    RecordFailure(operation, failure);
  } catch (...) {
    RecordFailureText(operation, "Exception: unknown failure");
  }
  return kFailure;
}

template <typename Body>
int32_t TTelvoraEngine::OnBinding(const char *operation, Body &&body) {
  CallSetup setup;
  const int32_t status = SetUpCall(setup);
  if (status != kOk) return status;
  return GuardBindingCall(operation, [&] { return body(*setup.binding, setup.Param()); });
}

// Unit start-up and shut-down: the process-wide binding cache and its lock.
void BindingCacheUnitInit();
// Destroys the cached bindings, first to last, then the cache.
void BindingCacheUnitDone();
// Number of bindings in the cache (for tests).
int32_t BindingCacheSize();

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_PROVIDER_ENGINE_H
