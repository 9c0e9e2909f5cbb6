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
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "support/dn_text.h"
#include "support/name_rules.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

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

int32_t TTelvora::BuildFindCriteria(ProviderCall &call, const std::string &uid, int32_t fields, UidRule rule,
                                    UidSearch &search) {
  if (NamesNoCertificate(uid)) return kCertSelection;
  if (search.issuer.empty() && rule == UidRule::SerialNumber) {
    int32_t status = GetUserCertIssuer(call, search.issuer);
    if (status != 0) return status;
  }
  int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  search.criteria = UidCriteria(rule, uid, search.issuer, search.holder);
  search.criteria.Selector = call.Auth();
  search.criteria.Fields = fields;
  return 0;
}

int32_t TTelvora::FindByUid(ProviderCall &call, const std::string &uid, int32_t fields, UidRule rule,
                            FindResultHold &found) {
  UidSearch search;
  int32_t status = BuildFindCriteria(call, uid, fields, rule, search);
  if (status != 0) return status;
  return found.Find(search.criteria);
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

int32_t TTelvora::FindOwnCert(ProviderCall &call, int32_t fields, std::string &text, bool uidRule) {
  const char *eku = call.Param().ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(call.Param(), fields, &eku);
  FindResultHold found(call);
  int32_t status = found.Find(criteria);
  if (status != 0) return status;
  const TelvoraCertInfo *cert = found.Single();
  if (cert == nullptr) return kNoCurrentUser;
  if (uidRule) return CertificateUID(call.Rule(), *cert, text);
  text = ProviderText(cert->Issuer);
  return 0;
}

int32_t TTelvora::GetUserCertUID(const TelvoraInitParam &p, std::string &uid) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) { return GetUserCertUID(call, uid); });
}

int32_t TTelvora::GetUserCertUID(ProviderCall &call, std::string &uid) {
  const int32_t fields = call.Rule() == UidRule::CommonName ? TELVORA_FIELD_SUBJECT : TELVORA_FIELD_SERIAL;
  return FindOwnCert(call, fields, uid, true);
}

int32_t TTelvora::GetUserCertIssuer(ProviderCall &call, std::string &issuer) {
  return FindOwnCert(call, TELVORA_FIELD_ISSUER, issuer, false);
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
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    // The identifier is a serial number under the user's issuer, in either
    // mode: a serial that no certificate has, or one whose certificate
    // another issuer signed, names nobody.
    FindResultHold found(call);
    int32_t status = FindByUid(call, serial, TELVORA_FIELD_ALL, UidRule::SerialNumber, found);
    if (status != 0) return status;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return kCertSelection;
    if (!SameDnText(ProviderText(cert->Issuer), issuer)) return kCertSelection;
    return CertificateUID(call.Rule(), *cert, uid);
  });
}

}  // namespace crtelv
