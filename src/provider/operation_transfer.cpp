// Transfers: the signed base64 texts in which certificates and certificate
// requests travel between parties. Made of a certificate by UID
// (GetPublicKeyTransfer, ExcludeSelfPublicKeyTransfer) or of a file
// (GetPublicKeyTransferByFile); taken into the store
// (IncludePublicKeyTransfer) or saved in a folder (SavePublicKeyFromTransfer).
#include <cstring>
#include <limits>
#include <vector>

#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "support/base64.h"
#include "support/file_io.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// The largest certificate (or request) file a transfer is made of.
constexpr int32_t kTransferFileMax = kTransferDataMax;

// The file name part of a path (after the last separator of either port).
std::string FileNameOf(const std::string &path) {
  const std::size_t last = path.find_last_of("\\/");
  return last == std::string::npos ? path : path.substr(last + 1);
}

// Whether a received object may be saved in the folder dir (ending in a
// separator) under the name it carries: 0; -17 for a name that is no plain
// file name, that is neither a ".cer" name nor "new.req", or that names the
// session's own key store or certificate store file; -11 for ".cer" data that
// the provider does not read as a certificate.
int32_t CheckReceivedFile(ProviderCall &call, const std::string &dir, const std::string &name,
                          const std::vector<uint8_t> &data) {
  const TelvoraInitParam &param = call.Param();
  if (!IsPlainTransferFileName(name)) return kCertFileIO;
  // Never the own stores, in whatever folder they are: a file of that name
  // is not overwritten by what a counterpart sends, nor the store itself
  // under another name for it (an 8.3 short name on Windows, a link).
  for (const std::string *store : {&param.PSE, &param.LocalStore}) {
    const std::string own = FileNameOf(*store);
    if (!own.empty() && SameTextAscii(own, name)) return kCertFileIO;
    if (!own.empty() && platform::SameFile(dir + name, *store)) return kCertFileIO;
  }
  if (IsRequestFileName(name)) return kOk;
  if (!IsCertificateFileName(name)) return kCertFileIO;
  if (data.empty()) return kBadArgument;
  std::string uid;
  // Read as a certificate; one without a UID is a certificate all the same.
  const int32_t status =
      call.Binding().GetUIDFromCertificate(call, data.data(), static_cast<int32_t>(data.size()), uid);
  return status == kOk || status == kCertSelection ? kOk : kBadArgument;
}

// The request of a long-layout transfer's signed content; -11 for content of
// another shape or a text that does not decode.
int32_t LongTransferRequest(const std::vector<uint8_t> &content, std::vector<uint8_t> &request) {
  std::string text;
  int32_t status = LongTransferRequestText(content.data(), static_cast<int32_t>(content.size()), text);
  if (status != kOk) return status;
  request = DecodeBase64(text.data(), static_cast<int32_t>(text.size()));
  return request.empty() ? kBadArgument : kOk;
}

// Writes a received object so that an old file of that name survives a
// failed write; -17 when it cannot be written.
int32_t WriteReceived(const std::string &fileName, const std::vector<uint8_t> &data) {
  return ReplaceWholeFile(fileName.c_str(), data.data(), static_cast<int32_t>(data.size())) ? kOk : kCertFileIO;
}

// Reads a certificate or request file of at most 4096 bytes; false when it
// cannot be read or is longer.
bool ReadTransferFile(const std::string &path, std::vector<uint8_t> &data) {
  data.assign(static_cast<std::size_t>(kTransferFileMax), 0);
  int32_t length = kTransferFileMax;
  if (!ReadWholeFile(path.c_str(), data.data(), length)) return false;
  data.resize(static_cast<std::size_t>(length));
  return true;
}

}  // namespace

// ---- Steps of the transfer operations, inside their call frame -----------------

int32_t TTelvoraEngine::DecodeTransferText(const char *transfer, std::vector<uint8_t> &content) {
  if (transfer == nullptr || transfer[0] == '\0') return kBadArgument;
  const std::size_t length = std::strlen(transfer);
  if (length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return kBadArgument;
  content = DecodeBase64(transfer, static_cast<int32_t>(length));
  return content.empty() ? kBadArgument : kOk;
}

int32_t TTelvoraEngine::CheckTransferSignature(ProviderCall &call, std::vector<uint8_t> &content) {
  if (content.empty()) return kBadArgument;
  int32_t size = static_cast<int32_t>(content.size());
  std::string signer;
  const int32_t status = call.Binding().RemoveSignature(call, content.data(), size, size, signer);
  if (status != kOk) return status;
  content.resize(static_cast<std::size_t>(size));
  return kOk;
}

int32_t TTelvoraEngine::ReadTransferBlock(ProviderCall &call, std::vector<uint8_t> &content, TransferBlock &block) {
  int32_t status = CheckTransferSignature(call, content);
  if (status != kOk) return status;
  status = UnpackTransferBlock(content.data(), static_cast<int32_t>(content.size()), block);
  if (status == kOk && !block.NamesTerminated) status = kBadArgument;
  return status;
}

int32_t TTelvoraEngine::MakeTransfer(ProviderCall &call, const char *operation, const std::string &name,
                                     const std::string &fileName, const void *data, int32_t dataLength,
                                     char *transfer, int32_t *transferSize) {
  if (dataLength < 1 || dataLength > kTransferDataMax || data == nullptr || transfer == nullptr ||
      transferSize == nullptr) {
    return kBadArgument;
  }
  // Signed in a buffer of the engine's own: the host's buffer receives
  // nothing but a finished transfer.
  std::vector<uint8_t> block = PackTransferBlock(name, fileName, data, dataLength);
  block.resize(static_cast<std::size_t>(kTransferBlockSize) + static_cast<std::size_t>(GetMaxSignAddition()));
  int32_t size = kTransferBlockSize;
  const int64_t capacity = static_cast<int64_t>(size) + GetMaxSignAddition();
  int32_t status = call.Binding().AddSign(call, block.data(), size, capacity);
  if (status != kOk) return status;
  const std::string text = EncodeBase64(block.data(), size);
  if (text.empty()) {
    RecordFailureText(operation, "Unable to encode existing buffer to BASE64!");
    return kFailure;
  }
  if (text.size() + 1 > static_cast<std::size_t>(GetMaxPublicKeyTransferSize())) {
    RecordFailureText(operation, "Data size error. Operation need too many memory!");
    return kFailure;
  }
  std::memcpy(transfer, text.c_str(), text.size() + 1);
  *transferSize = static_cast<int32_t>(text.size());
  return kOk;
}

// ---- Making and reading transfers -------------------------------------------------

int32_t TTelvoraEngine::GetPublicKeyTransferByBuffer(const std::string &name, const std::string &fileName,
                                                     const void *data, int32_t dataLength, char *transfer,
                                                     int32_t *transferSize) {
  if (dataLength < 1 || dataLength > kTransferDataMax || data == nullptr || transfer == nullptr ||
      transferSize == nullptr) {
    return kBadArgument;
  }
  constexpr char kOperation[] = "GetPublicKeyTransferByBuffer";
  return OnBinding(kOperation, [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) {
      return MakeTransfer(call, kOperation, name, fileName, data, dataLength, transfer, transferSize);
    });
  });
}

int32_t TTelvoraEngine::GetPublicKeyBlockByTransfer(const char *transfer, TransferBlock &block) {
  std::vector<uint8_t> content;
  const int32_t status = DecodeTransferText(transfer, content);
  if (status != kOk) return status;
  return OnBinding("GetPublicKeyBlockByTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded,
                                [&](ProviderCall &call) { return ReadTransferBlock(call, content, block); });
  });
}

int32_t TTelvoraEngine::GetPublicKeyBlockByTransfer(const char *transfer, void *buffer, int32_t *size) {
  if (size == nullptr) return kBadArgument;
  std::vector<uint8_t> content;
  const int32_t status = DecodeTransferText(transfer, content);
  if (status != kOk) return status;
  return OnBinding("GetPublicKeyBlockByTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
      int32_t result = CheckTransferSignature(call, content);
      if (result != kOk) return result;
      std::vector<uint8_t> request;
      result = LongTransferRequest(content, request);
      if (result != kOk) return result;
      return CopySizedResult(request.data(), static_cast<int32_t>(request.size()), buffer, *size);
    });
  });
}

// ---- Operations -------------------------------------------------------------------------

int32_t TTelvoraEngine::ExcludeSelfPublicKeyTransfer(char *transfer) {
  if (transfer == nullptr) return kBadArgument;
  constexpr char kOperation[] = "ExcludeSelfPublicKeyTransfer";
  return OnBinding(kOperation, [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
      std::string uid;
      const int32_t status = binding.GetUserCertUID(call, uid);
      if (status != kOk) return status;
      return TransferOfUid(call, kOperation, uid.c_str(), transfer);
    });
  });
}

int32_t TTelvoraEngine::GetPublicKeyTransfer(const char *uid, char *transfer) {
  if (uid == nullptr || uid[0] == '\0' || transfer == nullptr) return kBadArgument;
  constexpr char kOperation[] = "GetPublicKeyTransfer";
  return OnBinding(kOperation, [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded,
                                [&](ProviderCall &call) { return TransferOfUid(call, kOperation, uid, transfer); });
  });
}

int32_t TTelvoraEngine::TransferOfUid(ProviderCall &call, const char *operation, const char *uid, char *transfer) {
  if (uid[0] == '\0') return kBadArgument;
  std::vector<uint8_t> cert;
  int32_t length = kTransferDataMax;
  int32_t status = AllocateBuffer(cert, length);
  if (status != kOk) return status;
  status = call.Binding().GetCertificateByUID(call, uid, cert.data(), length);
  if (status != kOk) return status;
  // The file name is cut as a whole: a long UID may lose its ".cer".
  int32_t size = 0;
  return MakeTransfer(call, operation, uid, std::string(uid) + ".cer", cert.data(), length, transfer, &size);
}

int32_t TTelvora::GetCertificateByUID(const TelvoraInitParam &p, const char *uid, void *out, int32_t &outLen) {
  return CallProvider(p, ServerKey::NotNeeded,
                      [&](ProviderCall &call) { return GetCertificateByUID(call, uid, out, outLen); });
}

int32_t TTelvora::GetCertificateByUID(ProviderCall &call, const char *uid, void *out, int32_t &outLen) {
  FindResultHold found(call);
  int32_t status = FindByUid(call, ProviderText(uid), TELVORA_FIELD_ENCODED, call.Rule(), found);
  if (status != 0) return status;
  const TelvoraCertInfo *cert = found.Single();
  if (cert == nullptr) return kCertSelection;
  const int32_t length = cert->Encoded.Data != nullptr && cert->Encoded.Length > 0 ? cert->Encoded.Length : 0;
  return CopySizedResult(cert->Encoded.Data, length, out, outLen);
}

int32_t TTelvoraEngine::GetPublicKeyTransferByFile(char *transfer, const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  if (transfer == nullptr) return kBadArgument;
  std::vector<uint8_t> data;
  if (!ReadTransferFile(ExpandRootPath(fileName), data)) return kCertLoad;
  constexpr char kOperation[] = "GetPublicKeyTransferByFile";
  return OnBinding(kOperation, [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) {
      std::string uid;
      // A file that is no certificate is taken for a request.
      if (binding.GetUIDFromCertificate(call, data.data(), static_cast<int32_t>(data.size()), uid) != kOk) {
        uid.clear();
      }
      const std::string file = uid.empty() ? std::string(kRequestFileName) : uid + ".cer";
      int32_t size = 0;
      return MakeTransfer(call, kOperation, uid, file, data.data(), static_cast<int32_t>(data.size()), transfer,
                          &size);
    });
  });
}

int32_t TTelvora::GetUIDFromCertificate(const TelvoraInitParam &p, const void *data, int32_t dataLen,
                                        std::string &uid) {
  return CallProvider(p, ServerKey::NotNeeded,
                      [&](ProviderCall &call) { return GetUIDFromCertificate(call, data, dataLen, uid); });
}

int32_t TTelvora::GetUIDFromCertificate(ProviderCall &call, const void *data, int32_t dataLen, std::string &uid) {
  uid.clear();
  CertInfoHold parsed(call);
  TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
  int32_t status = parsed.Parse(blob, TELVORA_FIELD_SERIAL | TELVORA_FIELD_SUBJECT);
  if (status != 0) return status;
  return CertificateUID(call.Rule(), parsed.Info(), uid);
}

int32_t TTelvoraEngine::IncludePublicKeyTransfer(const char *transfer) {
  std::vector<uint8_t> content;
  const int32_t status = DecodeTransferText(transfer, content);
  if (status != kOk) return status;
  return OnBinding("IncludePublicKeyTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) {
      TransferBlock block;
      int32_t result = ReadTransferBlock(call, content, block);
      if (result != kOk) return result;
      int32_t length = static_cast<int32_t>(block.Data.size());
      return binding.AddCertificate(call, block.Data.data(), length);
    });
  });
}

int32_t TTelvoraEngine::SavePublicKeyFromTransfer(const char *folder, const char *transfer) {
  const std::string dir = ExpandFolderPath(folder != nullptr ? folder : "");
  if (dir.empty() || !IsDirectory(dir)) return kCertFileIO;
  std::vector<uint8_t> content;
  int32_t status = DecodeTransferText(transfer, content);
  if (status != kOk) return status;
  return OnBinding("SavePublicKeyFromTransfer", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.CallProvider(param, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
      // The signature is checked once, whichever layout the content has.
      status = CheckTransferSignature(call, content);
      if (status != kOk) return status;
      TransferBlock block;
      if (UnpackTransferBlock(content.data(), static_cast<int32_t>(content.size()), block) == kOk) {
        // The name comes from the counterpart: only a plain file name inside
        // the folder is written.
        if (!block.NamesTerminated) return kCertFileIO;
        status = CheckReceivedFile(call, dir, block.FileName, block.Data);
        if (status != kOk) return status;
        return WriteReceived(dir + block.FileName, block.Data);
      }
      // Not a standard transfer: perhaps one in the long request layout.
      std::vector<uint8_t> request;
      status = LongTransferRequest(content, request);
      if (status != kOk) return status;
      status = CheckReceivedFile(call, dir, kRequestFileName, request);
      if (status != kOk) return status;
      return WriteReceived(dir + kRequestFileName, request);
    });
  });
}

}  // namespace crtelv
