// Display: the provider's certificate viewer (ShowCertificate), the
// descriptions of the parameters (GetParamInfo, from the parameter table) and
// the error texts (GetCryptoErrorString: the result codes' own, else the
// provider's).
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"

namespace crtelv {
namespace {

// The viewer's status when the user closes it; not a failure.
constexpr uint32_t kViewerClosed = 0xE072008Au;

// The text when the provider cannot be reached for any other code.
constexpr const char *kProviderUnreachable =
    // Вывод сообщения невозможен: ошибка инициализации криптоядра.
    "\xC2\xFB\xE2\xEE\xE4 \xF1\xEE\xEE\xE1\xF9\xE5\xED\xE8\xFF \xED\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xE5\xED: \xEE\xF8\xE8\xE1\xEA\xE0 \xE8\xED\xE8\xF6\xE8\xE0\xEB\xE8\xE7\xE0\xF6\xE8\xE8 \xEA\xF0\xE8\xEF\xF2\xEE\xFF\xE4\xF0\xE0.";

}  // namespace

// ---- ShowCertificate --------------------------------------------------------------

int32_t TTelvoraEngine::ShowCertificate(const char *uid) {
  if (uid == nullptr || uid[0] == '\0') return kNoUID;
  return OnBinding("ShowCertificate",
                   [&](TTelvora &binding, const TelvoraInitParam &param) { return binding.ShowCertificate(param, uid); });
}

int32_t TTelvora::ShowCertificate(const TelvoraInitParam &p, const char *uid) {
  if (uid == nullptr) return kNoUID;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    UidSearch search;
    int32_t result = BuildFindCriteria(call, uid, TELVORA_FIELD_ALL, call.Rule(), search);
    if (result != 0) return result;
    FindResultHold found(call);
    result = found.Find(search.criteria);
    if (result != 0) return result;
    if (found.Single() == nullptr) {
      // The first result goes back before the wider search.
      found.Release();
      search.criteria.Stores |= TELVORA_STORE_WIDE;
      result = found.Find(search.criteria);
      if (result != 0) return result;
    }
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return kCertSelection;
    result = call.Entry().VCERT_ShowCertificate(call.Session(), &cert->Encoded);
    return static_cast<uint32_t>(result) == kViewerClosed ? 0 : result;
  });
}

// ---- Parameters and error texts ---------------------------------------------------

int32_t TTelvoraEngine::GetParamInfo(int32_t index, int32_t *kind, char *info, int32_t *infoSize) {
  const TelvoraParamRow *entry = ParamSpec(index);
  if (entry == nullptr || entry->info == nullptr) return kNoParam;
  if (kind == nullptr || infoSize == nullptr) return kBadArgument;
  *kind = entry->kind;
  const int32_t needed = static_cast<int32_t>(std::strlen(entry->info)) + 1;
  if (info == nullptr) {
    *infoSize = needed;
    return kOk;
  }
  if (*infoSize < needed) {
    *infoSize = needed;
    return kBadArgument;
  }
  return GuardBindingCall("GetParamInfo", [&] {
    std::memcpy(info, entry->info, static_cast<std::size_t>(needed));
    *infoSize = needed;
    return kOk;
  });
}

void TTelvoraEngine::GetCryptoErrorString(int32_t errorCode, char *message) {
  if (message == nullptr) return;
  std::string text;
  if (const char *own = ResultCodeText(errorCode)) {
    text = own;
    if (errorCode == kFailure) text += LastErrorText().GetText();
  } else {
    CallSetup setup;
    if (SetUpCall(setup) != kOk || !setup.binding) {
      text = kProviderUnreachable;
    } else {
      char providerText[300];
      setup.binding->GetErrorText(errorCode, sizeof providerText, providerText, setup.Param().ServerMode);
      text = providerText;
    }
  }
  CopyTextToHost(text, message, GetMaxErrorStringLength());
}

}  // namespace crtelv
