// The provider call frame: the lookup of the server's key that a frame in
// server mode makes, and the criteria of the user's own store it searches.
#include "provider/call_frame.h"

#include "engine/crypto_engine.h"
#include "provider/cert_text.h"

namespace crtelv {

TelvoraFindCriteria OwnStoreCriteria(const TelvoraInitParam &p, int32_t fields, const char *const *ekuList) {
  TelvoraFindCriteria criteria{};
  criteria.Stores = TELVORA_STORE_OWN;
  if (p.ServerMode) {
    criteria.MatchBy = TELVORA_MATCH_EKU;
    criteria.EKUCount = 1;
    criteria.EKUList = ekuList;
  }
  criteria.Fields = fields;
  return criteria;
}

int32_t ProviderCall::LookUpServerKey() {
  if (!param_.ServerMode || auth_ != nullptr) return 0;
  TelvoraInitParam server = param_;
  server.ServerMode = true;
  const char *eku = param_.ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(server, TELVORA_FIELD_KEYREF, &eku);
  FindResultHold found(*this);
  int32_t status = found.Find(criteria);
  if (status != 0) return status;
  const TelvoraCertInfo *cert = found.Single();
  if (cert == nullptr) return kNoCurrentUser;
  keyRef_ = ProviderText(cert->KeyReference);
  authRecord_ = AuthRecord{1, keyRef_.c_str(), 0};
  auth_ = &authRecord_;
  return 0;
}

}  // namespace crtelv
