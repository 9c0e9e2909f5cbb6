// TTelvora: separate signatures and signed messages that carry their data.
#include "engine/crypto_engine.h"
#include "provider/binding.h"

namespace crtelv {
namespace {

constexpr int32_t kSignSeparate = 3;
constexpr int32_t kSignEnclosing = 1;
constexpr int32_t kVerifySeparate = 3;
constexpr int32_t kVerifyEnclosed = 5;

// The certificate fields a verification asks for: the extended key usages
// (for the restriction check), what the mode shows, and what the UID is
// made of. Mode 2 asks for everything.
int32_t VerifyFields(const TelvoraInitParam &p, int32_t mode) {
  int32_t fields = TELVORA_FIELD_EKU;
  if (mode == 1 || mode == 3) fields |= TELVORA_FIELD_ENCODED;
  if (mode == 2) fields = TELVORA_FIELD_ALL;
  return fields | (p.UIDLocation == "CN" ? TELVORA_FIELD_SUBJECT : TELVORA_FIELD_SERIAL);
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

int32_t TTelvora::SignBuffer(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out,
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

int32_t TTelvora::WrapSignedBuffer(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraSignParams params{kSignEnclosing, call.Auth()};
    const TelvoraBlob input = InputBlob(data, len);
    ProviderBlobHold message(call);
    int32_t status = call.Entry().VCERT_SignMem(call.Session(), &params, &input, nullptr, message.Out());
    if (status != 0) return status;
    return CopyProviderResult(message.Blob(), data, capacity, len);
  });
}

int32_t TTelvora::VerifyBuffer(const TelvoraInitParam &p, const void *data, int32_t dataLen, const void *sign,
                               int32_t signLen, int32_t mode, std::string &text) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) -> int32_t {
    TelvoraVerifyParams params{};
    params.Flags = kVerifySeparate;
    params.Selector = call.Auth();
    params.Option = 0;
    params.Fields = VerifyFields(p, mode);
    const TelvoraBlob input = InputBlob(data, dataLen);
    const TelvoraBlob signature = InputBlob(sign, signLen);
    VerifyResultHold result(call);
    int32_t status = result.Filled(
        call.Entry().VCERT_VerifyMem(call.Session(), &params, &input, &signature, nullptr, result.Out()));
    if (status != 0) return status;
    const TelvoraCertInfo *signer = SingleSigner(result.Get());
    if (signer == nullptr) return kBadSignFormat;
    std::string answer;
    if (CertificateUID(p, *signer, answer) != kOk) return kCertSelection;
    if (!CheckSignEKURestrictions(p.SignEKURestrictions, *signer)) {
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

int32_t TTelvora::UnwrapSignedBuffer(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                                     std::string &uid) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) -> int32_t {
    TelvoraVerifyParams params{};
    params.Flags = kVerifyEnclosed;
    params.Selector = call.Auth();
    params.Option = -1;
    params.Fields = VerifyFields(p, 0);
    const TelvoraBlob message = InputBlob(data, len);
    // Released in reverse: the content, then the verification result.
    VerifyResultHold result(call);
    ProviderBlobHold content(call);
    int32_t status = result.Filled(
        call.Entry().VCERT_VerifyMem(call.Session(), &params, nullptr, &message, content.Out(), result.Out()));
    if (status != 0) return status;
    const TelvoraCertInfo *signer = SingleSigner(result.Get());
    if (signer == nullptr) return kBadSignFormat;
    if (CertificateUID(p, *signer, uid) != kOk) return kCertSelection;
    status = CopyProviderResult(content.Blob(), data, capacity, len);
    if (status != 0) return status;
    return CheckSignEKURestrictions(p.SignEKURestrictions, *signer) ? kOk : kSignerEKU;
  });
}

}  // namespace crtelv
