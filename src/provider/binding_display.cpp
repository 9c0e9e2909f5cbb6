// TTelvora: the provider's certificate viewer for the certificate of a UID.
#include "engine/crypto_engine.h"
#include "provider/binding.h"

namespace crtelv {
namespace {

// The viewer's status when the user closes it; not a failure.
constexpr uint32_t kViewerClosed = 0xE072008Au;

}  // namespace

int32_t TTelvora::ShowCertificateByUID(const TelvoraInitParam &p, const char *uid) {
  if (uid == nullptr) return kNoUID;
  // The issuer lookup and the searches run under one hold of the provider lock.
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  int32_t status = BuildFindCriteria(p, uid, TELVORA_FIELD_ALL, search);
  if (status != 0) return status;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    FindResultHold found(call);
    int32_t result = found.Find(search.criteria);
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

}  // namespace crtelv
