// Identities: the user's own certificate (GetCurrentUID), the UID to encrypt
// for a signer (GetEncodeUIDBySignUID), the UID of a certificate identifier
// (GetUIDByCertIdent), and the UID searches every operation uses.
//
// A UID is the CN of a certificate's subject when the UID location is "CN",
// otherwise its serial number in hex digits without separators. UID searches
// look among other parties' certificates; in "SN" mode under the issuer of the
// user's own certificate, and in server mode on behalf of the server's key.
#include <algorithm>
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/provider_engine.h"
#include "support/dn_text.h"
#include "support/file_text_helpers.h"
#include "support/name_rules.h"

namespace crtelv {
namespace {

bool UidIsCN(const TelvoraInitParam &p) { return p.UIDLocation == "CN"; }

constexpr char kIdentHeader[] = "SSL CERTIFICATE IDENTIFICATOR:\r\n";
constexpr char kIssuerLabel[] = "CERT_ISSUER:";
constexpr char kSerialLabel[] = "CERT_SERIALNUMBER:";

// The value after the first occurrence of label, up to the next CR LF or
// the end; false when the label is absent.
bool IdentValue(const std::string &ident, const char *label, std::string &value) {
  const std::size_t at = ident.find(label);
  if (at == std::string::npos) return false;
  const std::size_t start = at + std::strlen(label);
  const std::size_t end = ident.find("\r\n", start);
  value = ident.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

}  // namespace

// ---- UID searches -----------------------------------------------------------------

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

TelvoraFindCriteria UidCriteria(const TelvoraInitParam &p, const std::string &uid, const std::string &issuer,
                                std::string &filter) {
  TelvoraFindCriteria criteria{};
  criteria.Stores = TELVORA_STORE_OTHERS;
  // The filter text ends in one extra zero byte.
  if (UidIsCN(p)) {
    filter = MakeCNFilter(uid);
    filter.push_back('\0');
    criteria.Subject = filter.c_str();
    criteria.MatchBy = TELVORA_MATCH_SUBJECT;
  } else {
    filter = HexWithColons(uid);
    filter.push_back('\0');
    criteria.Serial = filter.c_str();
    criteria.Issuer = issuer.c_str();
    criteria.MatchBy = TELVORA_MATCH_ISSUER_SERIAL;
  }
  return criteria;
}

int32_t TTelvora::BuildFindCriteria(const TelvoraInitParam &p, const std::string &uid, int32_t fields,
                                    UidSearch &search) {
  if (NamesNoCertificate(uid)) return kCertSelection;
  if (search.issuer.empty() && !UidIsCN(p)) {
    int32_t status = GetUserCertIssuer(p, search.issuer);
    if (status != 0) return status;
  }
  if (p.ServerMode) {
    int32_t status = CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
      return FindServerCertKeyRef(p, call.Session(), search.keyRef);
    });
    if (status != 0) return status;
    search.auth = AuthRecord{1, nullptr, 0};
    search.auth.KeyRef = search.keyRef.c_str();
  }
  search.criteria = UidCriteria(p, uid, search.issuer, search.holder);
  search.criteria.Selector = p.ServerMode ? &search.auth : nullptr;
  search.criteria.Fields = fields;
  return 0;
}

int32_t TTelvora::FindServerCertKeyRef(const TelvoraInitParam &p, TelvoraSession session, std::string &keyRef) {
  TelvoraInitParam server = p;
  server.ServerMode = true;
  const char *eku = p.ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(server, TELVORA_FIELD_KEYREF, &eku);
  FindResultHold found(*this, session);
  int32_t status = found.Find(criteria);
  if (status != 0) return status;
  const TelvoraCertInfo *cert = found.Single();
  if (cert == nullptr) return kNoCurrentUser;
  keyRef = ProviderText(cert->KeyReference);
  return 0;
}

// ---- GetCurrentUID, GetEncodeUIDBySignUID -----------------------------------------

int32_t TTelvoraEngine::GetCurrentUID(char *uid) {
  if (uid == nullptr) return kBadArgument;
  return OnBinding("GetCurrentUID", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string text;
    int32_t result = binding.GetUserCertUID(param, text);
    if (result == kOk) CopyTextToHost(text, uid, GetMaxUIDLength() + 1);
    return result;
  });
}

int32_t TTelvoraEngine::GetEncodeUIDBySignUID(const char *signUID, char *encodeUID) {
  if (signUID == nullptr || encodeUID == nullptr) return kBadArgument;
  // A party signs and is encrypted for with the same certificate. The copy
  // always ends with a zero inside the host's GetMaxUIDLength + 1 bytes.
  CopyTextToHost(signUID, encodeUID, GetMaxUIDLength() + 1);
  return kOk;
}

int32_t TTelvora::FindOwnCert(const TelvoraInitParam &p, int32_t fields, std::string &text, bool uidRule) {
  const char *eku = p.ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(p, fields, &eku);
  return WithSingleCert(p, criteria, kNoCurrentUser, [&](const TelvoraCertInfo &cert) {
    if (uidRule) return CertificateUID(p, cert, text);
    text = ProviderText(cert.Issuer);
    return 0;
  });
}

int32_t TTelvora::GetUserCertUID(const TelvoraInitParam &p, std::string &uid) {
  const int32_t fields = UidIsCN(p) ? TELVORA_FIELD_SUBJECT : TELVORA_FIELD_SERIAL;
  return FindOwnCert(p, fields, uid, true);
}

int32_t TTelvora::GetUserCertIssuer(const TelvoraInitParam &p, std::string &issuer) {
  // Callers may hold the provider lock already (it is re-entrant), never a
  // session.
  return FindOwnCert(p, TELVORA_FIELD_ISSUER, issuer, false);
}

// ---- GetUIDByCertIdent ------------------------------------------------------------

int32_t TTelvoraEngine::GetUIDByCertIdent(const char *ident, char *uid) {
  if (uid == nullptr || ident == nullptr) return kBadArgument;
  const std::string text = ident;
  if (text.rfind(kIdentHeader, 0) != 0) return kBadArgument;
  std::string issuer;
  std::string serial;
  if (!IdentValue(text, kIssuerLabel, issuer) || !IdentValue(text, kSerialLabel, serial)) return kBadArgument;
  // The search takes the serial number under the user's own issuer; the
  // certificate found must bear the identifier's issuer too.
  if (issuer.empty() || serial.empty()) return kBadArgument;
  serial.erase(std::remove(serial.begin(), serial.end(), '-'), serial.end());
  serial = UpperAscii(serial);
  if (serial.empty()) return kBadArgument;
  return OnBinding("GetUIDByCertIdent", [&](TTelvora &binding, const TelvoraInitParam &param) {
    std::string found;
    int32_t result = binding.GetUIDByCertIdent(param, issuer, serial, found);
    if (result == kOk) CopyTextToHost(found, uid, GetMaxUIDLength() + 1);
    return result;
  });
}

int32_t TTelvora::GetUIDByCertIdent(const TelvoraInitParam &p, const std::string &issuer, const std::string &serial,
                                     std::string &uid) {
  // The identifier is a serial number under the user's issuer, in either
  // mode: a serial that no certificate has, or one whose certificate another
  // issuer signed, names nobody.
  TelvoraInitParam bySerial = p;
  bySerial.UIDLocation.clear();
  return WithUidSearch(bySerial, serial, TELVORA_FIELD_ALL, [&](const UidSearch &search) {
    return WithSingleCert(p, search.criteria, kCertSelection, [&](const TelvoraCertInfo &cert) -> int32_t {
      if (!SameDnText(ProviderText(cert.Issuer), issuer)) return kCertSelection;
      return CertificateUID(p, cert, uid);
    });
  });
}

}  // namespace crtelv
