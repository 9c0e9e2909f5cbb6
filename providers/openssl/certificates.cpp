// libcpki1.so: the entry points that parse, search and show certificates.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/native_services.h"
#include "provider.h"

namespace cpki1 {
namespace {

bool EqualNoCase(const std::string &a, const char *b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

bool Matches(X509 *cert, const TelvoraFindCriteria &c) {
  if ((c.MatchBy & 1) && (c.Issuer == nullptr || DnText(X509_get_issuer_name(cert)) != c.Issuer)) return false;
  if ((c.MatchBy & 2) && (c.Serial == nullptr || !EqualNoCase(SerialText(X509_get0_serialNumber(cert)), c.Serial)))
    return false;
  if (c.MatchBy & TELVORA_MATCH_SUBJECT) {
    if (c.Subject == nullptr) return false;
    if (strncasecmp(c.Subject, "CN=", 3) == 0) {
      if (!EqualNoCase(CommonName(X509_get_subject_name(cert)), c.Subject + 3)) return false;
    } else if (!EqualNoCase(DnText(X509_get_subject_name(cert)), c.Subject)) {
      return false;
    }
  }
  if (c.MatchBy & TELVORA_MATCH_EKU) {
    auto ekus = ExtKeyUsages(cert);
    for (int32_t i = 0; i < c.EKUCount; ++i) {
      const char *want = c.EKUList[i];
      if (want == nullptr || std::find(ekus.begin(), ekus.end(), want) == ekus.end()) return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

// ---- Certificates -------------------------------------------------------------------

int32_t VCERT_ParseCert(TelvoraSession s, const TelvoraBlob *cert, int32_t fields, TelvoraCertInfo *info) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (!BlobOk(cert) || info == nullptr) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    std::string ref;
    if (fields & TELVORA_FIELD_KEYREF) {
      std::shared_ptr<const KeyStoreData> keys;
      if (KeyStoreOf(*session, keys) == kOk) ref = KeyRefOf(*keys, x.get());
    }
    HandOutRecord(s, BlockKind::kParse, std::make_unique<CertText>(x.get(), fields, ref), *info);
    return kOk;
  });
}

int32_t VCERT_FindCert(TelvoraSession s, const TelvoraFindCriteria *c, TelvoraFindResult *result) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    constexpr int32_t kKnown = 1 | 2 | TELVORA_MATCH_SUBJECT | TELVORA_MATCH_EKU;
    if (c == nullptr || result == nullptr || (c->MatchBy & ~kKnown) != 0) return kBadArgument;
    if ((c->MatchBy & TELVORA_MATCH_EKU) && (c->EKUCount < 0 || (c->EKUCount > 0 && c->EKUList == nullptr)))
      return kBadArgument;
    *result = TelvoraFindResult{};
    std::shared_ptr<const KeyStoreData> keys;
    std::shared_ptr<const CertStoreData> certs;
    if (int32_t st = KeyStoreOf(*session, keys); st != kOk) return st;
    if (int32_t st = CertStoreOf(*session, certs); st != kOk) return st;

    std::vector<X509 *> candidates;
    auto add = [&](X509 *x) {
      for (X509 *have : candidates) {
        if (SameCert(have, x)) return;
      }
      candidates.push_back(x);
    };
    if (c->Stores & TELVORA_STORE_OWN) {
      for (const auto &p : keys->pairs) add(p.cert.get());
    }
    if (c->Stores & TELVORA_STORE_OTHERS) {
      for (const auto &x : certs->certs) {
        if (!IsCa(x.get())) add(x.get());
      }
    }
    if (c->Stores & TELVORA_STORE_WIDE) {
      for (const auto &x : certs->certs) add(x.get());
      for (const auto &x : keys->extraCerts) add(x.get());
      for (const auto &p : keys->pairs) add(p.cert.get());
    }
    auto block = std::make_unique<Block>();
    block->session = s;
    block->kind = BlockKind::kFind;
    for (X509 *x : candidates) {
      if (!Matches(x, *c)) continue;
      block->texts.push_back(std::make_unique<CertText>(x, c->Fields, KeyRefOf(*keys, x)));
    }
    if (block->texts.empty()) return kOk;  // Count 0, nothing to release
    block->records.resize(block->texts.size());
    for (std::size_t i = 0; i < block->texts.size(); ++i) block->texts[i]->Fill(block->records[i]);
    TelvoraCertInfo *array = block->records.data();
    result->Count = static_cast<int32_t>(block->records.size());
    result->Certs = array;
    HandOutArray(array, std::move(block));
    return kOk;
  });
}

// ---- Display -------------------------------------------------------------------------

int32_t VCERT_ShowCertificate(TelvoraSession s, const TelvoraBlob *cert) {
  return Guard([&]() -> int32_t {
    if (!FindSession(s)) return kBadSession;
    if (!BlobOk(cert)) return kBadArgument;
    X509UPtr x(CertFromDer(cert->Data, static_cast<std::size_t>(cert->Length)));
    if (!x) return kBadEncoding;
    const char *viewer = std::getenv("CPKI1_VIEWER");
    if (viewer == nullptr || viewer[0] == '\0') return kNoViewer;
    return crtelv::platform::RunViewer(viewer, CertPem(x.get())) ? kOk : kViewerFailed;
  });
}

