// Signing and verification: separate signatures (SignData, VerifyData, also
// as bare signatures of the data's hash), signed messages that carry their
// data (AddSign, RemoveSignature), and the signer's extended key usage check.
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// The mode text that asks for a bare signature of the data's hash.
constexpr char kXmlMode[] = "For sign XML data!";
// Bare hash signatures are recognised by this length.
constexpr int32_t kHashSignatureLength = 64;

constexpr int32_t kSignSeparate = 3;
constexpr int32_t kSignEnclosing = 1;
constexpr int32_t kVerifySeparate = 3;
constexpr int32_t kVerifyEnclosed = 5;

// The request words of VerifyData and the modes they select.
int32_t RequestMode(const std::string &word) {
  if (word == "ShowCertificate_OnSuccess") return 1;
  if (word == "GetCertificateProperties_OnSuccess") return 2;
  if (word == "GetCertificate_OnSuccess") return 3;
  return 0;
}

// The certificate fields a verification asks for: the extended key usages
// (for the restriction check), what the mode shows, and what the UID is
// made of. Mode 2 asks for everything.
int32_t VerifyFields(UidRule rule, int32_t mode) {
  int32_t fields = TELVORA_FIELD_EKU;
  if (mode == 1 || mode == 3) fields |= TELVORA_FIELD_ENCODED;
  if (mode == 2) fields = TELVORA_FIELD_ALL;
  return fields | (rule == UidRule::CommonName ? TELVORA_FIELD_SUBJECT : TELVORA_FIELD_SERIAL);
}

// The one signer's certificate, or null when the result does not name
// exactly one signer with a certificate.
const TelvoraCertInfo *SingleSigner(const TelvoraVerifyResult &result) {
  if (result.Count != 1 || result.Signers == nullptr) return nullptr;
  return result.Signers[0].Cert;
}

TelvoraBlob InputBlob(const void *data, int32_t len) {
  return TelvoraBlob{len, static_cast<uint8_t *>(const_cast<void *>(data))};
}

}  // namespace

// ---- SignData ---------------------------------------------------------------------

int32_t TTelvoraEngine::SignData(const void *data, int32_t dataSize, void *sign, int32_t *signSize,
                                 const char *mode) {
  if (data == nullptr || dataSize <= 0 || sign == nullptr || signSize == nullptr) return kBadArgument;
  const int64_t capacity = GetMaxSignatureLength();
  return OnBinding("SignData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    if (mode != nullptr && std::strcmp(mode, kXmlMode) == 0) {
      return binding.SignDataByHash(param, data, dataSize, sign, capacity, *signSize);
    }
    return binding.SignData(param, data, dataSize, sign, capacity, *signSize);
  });
}

int32_t TTelvora::SignData(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out,
                           int64_t capacity, int32_t &outLen) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraSignParams params{kSignSeparate, call.Auth()};
    const TelvoraBlob input = InputBlob(data, dataLen);
    ProviderBlobHold signature(call);
    int32_t status = call.Entry().VCERT_SignMem(call.Session(), &params, &input, nullptr, signature.Out());
    if (status != 0) return status;
    return CopyProviderResult(signature.Blob(), out, capacity, outLen);
  });
}

int32_t TTelvora::SignDataByHash(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out,
                                 int64_t capacity, int32_t &outLen) {
  if (Entry().VCERT_SignHashMem == nullptr) return kProviderVersion;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    // Released in reverse: the signature, then the hash.
    ProviderBlobHold hash(call);
    ProviderBlobHold signature(call);
    const TelvoraBlob input = InputBlob(data, dataLen);
    int32_t status = call.Entry().VCERT_HashMem(call.Session(), &input, hash.Out());
    if (status != 0) return status;
    status = call.Entry().VCERT_SignHashMem(call.Session(), 0, &hash.Blob(), signature.Out());
    if (status != 0) return status;
    return CopyProviderResult(signature.Blob(), out, capacity, outLen);
  });
}

// ---- VerifyData -------------------------------------------------------------------

int32_t TTelvoraEngine::VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                                   char *signer) {
  if (signer == nullptr || data == nullptr || dataSize <= 0 || sign == nullptr || signSize <= 0) {
    return kBadArgument;
  }
  return OnBinding("VerifyData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string text = signer;
    const int32_t mode = RequestMode(text);
    int32_t result = signSize == kHashSignatureLength
                         ? binding.VerifyDataByHash(param, data, dataSize, sign, signSize, mode, text)
                         : binding.VerifyData(param, data, dataSize, sign, signSize, mode, text);
    if (result == kOk) CopyTextToHost(text, signer, (mode >= 2 ? kCertTextLimit : GetMaxUIDLength()) + 1);
    return result;
  });
}

int32_t TTelvora::VerifyData(const TelvoraInitParam &p, const void *data, int32_t dataLen, const void *sign,
                             int32_t signLen, int32_t mode, std::string &text) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) -> int32_t {
    TelvoraVerifyParams params{};
    params.Flags = kVerifySeparate;
    params.Selector = call.Auth();
    params.Option = 0;
    params.Fields = VerifyFields(call.Rule(), mode);
    const TelvoraBlob input = InputBlob(data, dataLen);
    const TelvoraBlob signature = InputBlob(sign, signLen);
    VerifyResultHold result(call);
    int32_t status = result.Filled(
        call.Entry().VCERT_VerifyMem(call.Session(), &params, &input, &signature, nullptr, result.Out()));
    if (status != 0) return status;
    const TelvoraCertInfo *signer = SingleSigner(result.Get());
    if (signer == nullptr) return kBadSignFormat;
    std::string answer;
    if (CertificateUID(call.Rule(), *signer, answer) != kOk) return kCertSelection;
    if (!CheckSignEKURestrictions(call.Param().SignEKURestrictions, *signer)) {
      text = answer;
      return kSignerEKU;
    }
    if (mode == 1) {
      call.Entry().VCERT_ShowCertificate(call.Session(), &signer->Encoded);
    } else if (mode == 2) {
      answer = FormatCertProperties(*signer);
    } else if (mode == 3) {
      answer = CertToPEM(signer->Encoded);
      // A cut certificate is no certificate: refuse instead.
      if (answer.size() > static_cast<std::size_t>(kCertTextLimit)) return kNoMemory;
    }
    text = answer;
    return kOk;
  });
}

int32_t TTelvora::VerifyDataByHash(const TelvoraInitParam &p, const void *data, int32_t dataLen,
                                   const void *signature, int32_t signatureLen, int32_t mode, std::string &uid) {
  if (Entry().VCERT_VerifyHashMem == nullptr) return kProviderVersion;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    // Released in reverse: the hash, then the find result. The signer is
    // named by serial number under the user's issuer, whatever the UID rule.
    FindResultHold found(call);
    ProviderBlobHold hash(call);
    int32_t result = FindByUid(call, uid, TELVORA_FIELD_ALL, UidRule::SerialNumber, found);
    if (result != 0) return result;
    const TelvoraCertInfo *signer = found.Single();
    if (signer == nullptr) return kCertSelection;
    const TelvoraBlob input = InputBlob(data, dataLen);
    result = call.Entry().VCERT_HashMem(call.Session(), &input, hash.Out());
    if (result != 0) return result;
    const TelvoraBlob sign = InputBlob(signature, signatureLen);
    result = call.Entry().VCERT_VerifyHashMem(call.Session(), 0, &signer->Encoded, &hash.Blob(), &sign);
    if (result != 0) return result;
    if (CertificateUID(call.Rule(), *signer, uid) != kOk) return kCertSelection;
    if (!CheckSignEKURestrictions(p.SignEKURestrictions, *signer)) return kSignerEKU;
    try {
      if (mode == 1) {
        call.Entry().VCERT_ShowCertificate(call.Session(), &signer->Encoded);
      } else if (mode == 2) {
        uid = FormatCertProperties(*signer);
      }
    } catch (...) {
      return kFailure;
    }
    return kOk;
  });
}

// ---- AddSign ----------------------------------------------------------------------

int32_t TTelvoraEngine::AddSign(void *data, int32_t *size, Raw) {
  if (data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const int64_t capacity = static_cast<int64_t>(*size) + GetMaxSignAddition();
  return OnBinding("AddSign", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.AddSign(param, data, *size, capacity);
  });
}

int32_t TTelvora::AddSign(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) { return AddSign(call, data, len, capacity); });
}

int32_t TTelvora::AddSign(ProviderCall &call, void *data, int32_t &len, int64_t capacity) {
  int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  const TelvoraSignParams params{kSignEnclosing, call.Auth()};
  const TelvoraBlob input = InputBlob(data, len);
  ProviderBlobHold message(call);
  status = call.Entry().VCERT_SignMem(call.Session(), &params, &input, nullptr, message.Out());
  if (status != 0) return status;
  return CopyProviderResult(message.Blob(), data, capacity, len);
}

// ---- RemoveSignature --------------------------------------------------------------

int32_t TTelvoraEngine::RemoveSignature(void *data, int32_t *size, char *signer) {
  if (signer == nullptr || data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const int64_t capacity = *size;
  return OnBinding("RemoveSignature", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string uid;
    int32_t result = binding.RemoveSignature(param, data, *size, capacity, uid);
    // The signer is delivered whatever the check said.
    CopyTextToHost(uid, signer, GetMaxUIDLength() + 1);
    return result;
  });
}

int32_t TTelvora::RemoveSignature(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                                  std::string &uid) {
  return CallProvider(p, ServerKey::NotNeeded,
                      [&](ProviderCall &call) { return RemoveSignature(call, data, len, capacity, uid); });
}

int32_t TTelvora::RemoveSignature(ProviderCall &call, void *data, int32_t &len, int64_t capacity, std::string &uid) {
  int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  TelvoraVerifyParams params{};
  params.Flags = kVerifyEnclosed;
  params.Selector = call.Auth();
  params.Option = -1;
  params.Fields = VerifyFields(call.Rule(), 0);
  const TelvoraBlob message = InputBlob(data, len);
  // Released in reverse: the content, then the verification result.
  VerifyResultHold result(call);
  ProviderBlobHold content(call);
  status = result.Filled(
      call.Entry().VCERT_VerifyMem(call.Session(), &params, nullptr, &message, content.Out(), result.Out()));
  if (status != 0) return status;
  const TelvoraCertInfo *signer = SingleSigner(result.Get());
  if (signer == nullptr) return kBadSignFormat;
  if (CertificateUID(call.Rule(), *signer, uid) != kOk) return kCertSelection;
  status = CopyProviderResult(content.Blob(), data, capacity, len);
  if (status != 0) return status;
  return CheckSignEKURestrictions(call.Param().SignEKURestrictions, *signer) ? kOk : kSignerEKU;
}

}  // namespace crtelv
