// Encryption: data encrypted in place for a list of recipients (EncodeData)
// and decrypted in place (DecodeData).
#include <deque>
#include <string>
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "support/name_rules.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

constexpr int32_t kCryptFlags = 1;

// The find results of the recipients, released in list order on every path.
class RecipientResults {
 public:
  explicit RecipientResults(const ProviderCall &call) : call_(call) {}
  ~RecipientResults() {
    for (FindResultHold &hold : holds_) hold.Release();
  }
  RecipientResults(const RecipientResults &) = delete;
  RecipientResults &operator=(const RecipientResults &) = delete;
  FindResultHold &Next() { return holds_.emplace_back(call_); }
  const std::deque<FindResultHold> &All() const { return holds_; }

 private:
  const ProviderCall &call_;
  std::deque<FindResultHold> holds_;
};

}  // namespace

// ---- EncodeData -------------------------------------------------------------------

int32_t TTelvoraEngine::EncodeData(void *data, int32_t *size, const char *recipients) {
  if (data == nullptr || size == nullptr || *size <= 0) return kBadArgument;
  const bool given = recipients != nullptr && recipients[0] != '\0';
  const std::string list = given ? std::string(recipients) : ParamValue(kParamEncryptForUID);
  if (list.empty()) return kNoUID;
  // Split once: the recipients to search, and how many the host sized its
  // buffer for (as GetMaxAdditionEx counts the ones it passed).
  std::vector<std::string> uids;
  const int32_t count = SplitSemicolonList(list.c_str(), uids);
  const int64_t capacity =
      static_cast<int64_t>(*size) + (given ? GetMaxAdditionForCount(count) : GetMaxEncodeAddition());
  return OnBinding("EncodeData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.EncodeData(param, data, *size, capacity, uids);
  });
}

int32_t TTelvora::EncodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                             const std::string &recipients) {
  std::vector<std::string> uids;
  SplitSemicolonList(recipients.c_str(), uids);
  return EncodeData(p, data, len, capacity, uids);
}

int32_t TTelvora::EncodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity,
                             const std::vector<std::string> &uids) {
  // "bob;" or ";" holds an empty item: it names nobody, and must not become
  // a search that finds every certificate without a CN.
  if (AnyNamesNoCertificate(uids)) return kCertSelection;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    // The issuer is looked up once, before the server's key, in the frame
    // of the searches and the encryption.
    std::string issuer;
    if (call.Rule() == UidRule::SerialNumber) {
      int32_t status = GetUserCertIssuer(call, issuer);
      if (status != 0) return status;
    }
    int32_t status = call.LookUpServerKey();
    if (status != 0) return status;
    if (uids.empty()) return kBadRecipients;
    RecipientResults results(call);
    int32_t total = 0;
    for (const std::string &uid : uids) {
      // Each criteria record with its own filter text.
      std::string filter;
      TelvoraFindCriteria criteria = UidCriteria(call.Rule(), uid, issuer, filter);
      criteria.Selector = call.Auth();
      criteria.Fields = TELVORA_FIELD_SERIAL | TELVORA_FIELD_ISSUER;
      FindResultHold &found = results.Next();
      status = found.Find(criteria);
      if (status != 0) return status;
      const TelvoraFindResult &result = found.Result();
      // A recipient that is not found adds nothing; the provider decides
      // about the set.
      if (result.Count > 0 && result.Certs != nullptr) total += result.Count;
    }
    std::vector<TelvoraCertInfo> certs;
    certs.reserve(static_cast<std::size_t>(total));
    for (const FindResultHold &found : results.All()) {
      const TelvoraFindResult &result = found.Result();
      if (result.Count <= 0 || result.Certs == nullptr) continue;
      certs.insert(certs.end(), result.Certs, result.Certs + result.Count);
    }
    const TelvoraCryptParams params{kCryptFlags, call.Auth(), total, certs.empty() ? nullptr : certs.data()};
    const TelvoraBlob input{len, static_cast<uint8_t *>(data)};
    ProviderBlobHold message(call);
    status = call.Entry().VCERT_EncryptMem(call.Session(), &params, &input, message.Out());
    if (status != 0) return status;
    return CopyProviderResult(message.Blob(), data, capacity, len);
  });
}

// ---- DecodeData -------------------------------------------------------------------

int32_t TTelvoraEngine::DecodeData(void *data, int32_t *size, void *third) {
  if (data == nullptr || size == nullptr || *size <= 0 || third == nullptr) return kBadArgument;
  const int64_t capacity = *size;
  return OnBinding("DecodeData", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.DecodeData(param, data, *size, capacity);
  });
}

int32_t TTelvora::DecodeData(const TelvoraInitParam &p, void *data, int32_t &len, int64_t capacity) {
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraDecryptParams params{kCryptFlags, call.Auth(), 0};
    const TelvoraBlob input{len, static_cast<uint8_t *>(data)};
    // Released in reverse: the plain data, then the sender record.
    DecryptResultHold sender(call);
    ProviderBlobHold plain(call);
    int32_t status = sender.Filled(
        call.Entry().VCERT_DecryptMem(call.Session(), &params, &input, plain.Out(), sender.Out()));
    if (status != 0) return status;
    return CopyProviderResult(plain.Blob(), data, capacity, len);
  });
}

}  // namespace crtelv
