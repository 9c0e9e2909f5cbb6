// TTelvora: the user's own certificate and certificate identification.
//
// A UID is the CN of a certificate's subject when the UID location is "CN",
// otherwise its serial number in hex digits without separators. UID searches
// look among other parties' certificates; in "SN" mode under the issuer of the
// user's own certificate, and in server mode on behalf of the server's key.
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "support/dn_text.h"

namespace crtelv {
namespace {

bool UidIsCN(const TelvoraInitParam &p) { return p.UIDLocation == "CN"; }

std::string TextOf(const char *text) { return text != nullptr ? std::string(text) : std::string(); }

std::string WithoutColons(const std::string &text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c != ':') result.push_back(c);
  }
  return result;
}

// Criteria that select certificates of the user's own store; in server mode
// only those carrying the server's extended key usage.
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

}  // namespace

template <typename Use>
int32_t TTelvora::WithSingleCert(const TelvoraInitParam &p, const TelvoraFindCriteria &criteria, int32_t notOne,
                                 Use &&use) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    FindResultHold found(call);
    int32_t status = found.Find(criteria);
    if (status != 0) return status;
    const TelvoraCertInfo *cert = found.Single();
    if (cert == nullptr) return notOne;
    return static_cast<int32_t>(use(*cert));
  });
}

std::string ExtractCN(const std::string &dn) {
  std::string cn;
  return DnAttributeValue(dn, "CN", cn) ? cn : std::string();
}

std::string MakeCNFilter(const std::string &name) { return "CN=" + name; }

std::string HexWithColons(const std::string &hex) {
  if (hex.size() % 2 != 0 || hex.empty()) return hex;
  std::string result;
  result.reserve(hex.size() * 3 / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i != 0) result.push_back(':');
    result.append(hex, i, 2);
  }
  return result;
}

std::string CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert) {
  return UidIsCN(p) ? ExtractCN(TextOf(cert.Subject)) : WithoutColons(TextOf(cert.SerialNumber));
}

int32_t CertificateUID(const TelvoraInitParam &p, const TelvoraCertInfo &cert, std::string &uid) {
  uid = CertificateUID(p, cert);
  return uid.empty() ? kCertSelection : kOk;
}

// ---- Own certificate ------------------------------------------------------------

int32_t TTelvora::FindOwnCert(const TelvoraInitParam &p, int32_t fields, std::string &text, bool uidRule) {
  const char *eku = p.ServerCertEKUOID.c_str();
  const TelvoraFindCriteria criteria = OwnStoreCriteria(p, fields, &eku);
  return WithSingleCert(p, criteria, kNoCurrentUser, [&](const TelvoraCertInfo &cert) {
    if (uidRule) return CertificateUID(p, cert, text);
    text = TextOf(cert.Issuer);
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

// ---- Identification -------------------------------------------------------------

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
  keyRef = TextOf(cert->KeyReference);
  return 0;
}

int32_t TTelvora::BuildFindCriteria(const TelvoraInitParam &p, const std::string &uid, int32_t fields,
                                    UidSearch &search) {
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
  search.criteria = TelvoraFindCriteria{};
  search.criteria.Stores = TELVORA_STORE_OTHERS;
  // The filter texts end in one extra zero byte.
  if (UidIsCN(p)) {
    search.holder = MakeCNFilter(uid);
    search.holder.push_back('\0');
    search.criteria.Subject = search.holder.c_str();
    search.criteria.MatchBy = TELVORA_MATCH_SUBJECT;
  } else {
    search.holder = HexWithColons(uid);
    search.holder.push_back('\0');
    search.criteria.Serial = search.holder.c_str();
    search.criteria.Issuer = search.issuer.c_str();
    search.criteria.MatchBy = TELVORA_MATCH_ISSUER_SERIAL;
  }
  search.criteria.Selector = p.ServerMode ? &search.auth : nullptr;
  search.criteria.Fields = fields;
  return 0;
}

int32_t TTelvora::GetUIDFromCertificate(const TelvoraInitParam &p, const void *data, int32_t dataLen,
                                        std::string &uid) {
  uid.clear();
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    CertInfoHold parsed(call);
    TelvoraBlob blob{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    int32_t status = parsed.Parse(blob, TELVORA_FIELD_SERIAL | TELVORA_FIELD_SUBJECT);
    if (status != 0) return status;
    return CertificateUID(p, parsed.Info(), uid);
  });
}

int32_t TTelvora::GetCertificateByUID(const TelvoraInitParam &p, const char *uid, void *out, int32_t &outLen) {
  // The issuer lookup and the search run under one hold of the provider lock.
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  int32_t status = BuildFindCriteria(p, TextOf(uid), TELVORA_FIELD_ENCODED, search);
  if (status != 0) return status;
  return WithSingleCert(p, search.criteria, kCertSelection, [&](const TelvoraCertInfo &cert) {
    const int32_t length = cert.Encoded.Data != nullptr && cert.Encoded.Length > 0 ? cert.Encoded.Length : 0;
    if (out == nullptr) {
      outLen = length;
      return kOk;
    }
    if (length > outLen) {
      outLen = length;
      return kNoMemory;
    }
    if (length > 0) std::memcpy(out, cert.Encoded.Data, static_cast<std::size_t>(length));
    outLen = length;
    return kOk;
  });
}

int32_t TTelvora::GetUIDByIdent(const TelvoraInitParam &p, const std::string &ident, std::string &uid) {
  if (!UidIsCN(p)) {
    uid = ident;
    return 0;
  }
  // The identifier is a serial number under the user's issuer.
  TelvoraInitParam bySerial = p;
  bySerial.UIDLocation.clear();
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  int32_t status = BuildFindCriteria(bySerial, ident, TELVORA_FIELD_ALL, search);
  if (status != 0) return status;
  return WithSingleCert(p, search.criteria, kCertSelection, [&](const TelvoraCertInfo &cert) {
    return CertificateUID(p, cert, uid);
  });
}

}  // namespace crtelv
