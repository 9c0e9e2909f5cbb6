// libcpki1.so: key requests (PKCS#10), the CA's answers to them, and key
// stores imported into the session's key store.
#include <algorithm>

#include "provider.h"

namespace cpki1 {
namespace {

constexpr int32_t kKindRequestAnswer = 8;
constexpr int32_t kKindKeyStoreFile = 16;
constexpr int32_t kKindKeyRequest = 20;

int32_t InstallAnswer(Session &session, const TelvoraExportParams *p, const Bytes &bytes) {
  X509UPtr cert = CertFromAny(bytes);
  if (!cert) return kBadEncoding;
  return ChangeKeyStore(session, [&](KeyStoreData &data) -> int32_t {
    if (!data.pending) return kNoPendingKey;
    if (!X509_check_private_key(cert.get(), data.pending.get())) return kKeyMismatch;
    X509_up_ref(cert.get());
    KeyPair pair = MakeKeyPair(data.pending, ShareCert(cert.get()));
    if (p->Auth != nullptr && p->Auth->KeyRef != nullptr && p->Auth->KeyRef[0] != '\0') {
      auto it = std::find_if(data.pairs.begin(), data.pairs.end(),
                             [&](const KeyPair &k) { return SameRef(k.ref, p->Auth->KeyRef); });
      if (it == data.pairs.end()) return kNoKey;
      *it = pair;
    } else {
      data.pairs.assign(1, pair);
    }
    data.pending.reset();
    return kOk;
  });
}

int32_t ImportKeyStore(Session &session, const Bytes &bytes) {
  KeyStoreData incoming;
  IoResult r = ParseKeyStore(bytes, session.password, incoming);
  if (r == IoResult::kBadPassword) return kKeyStoreUnreadable;
  if (r == IoResult::kNeedsGost) return kGostUnavailable;
  if (r != IoResult::kOk) return kBadEncoding;
  if (incoming.pairs.empty()) return kNoKey;
  return ChangeKeyStore(session, [&](KeyStoreData &data) -> int32_t {
    data.pairs = incoming.pairs;
    for (const auto &c : incoming.extraCerts) {
      bool have = false;
      for (const auto &e : data.extraCerts) have = have || SameCert(e.get(), c.get());
      if (!have) data.extraCerts.push_back(c);
    }
    return kOk;
  });
}

int32_t Import(Session &session, const TelvoraExportParams *p, const Bytes &bytes) {
  switch (p->Kind) {
    case kKindRequestAnswer: return InstallAnswer(session, p, bytes);
    case kKindKeyStoreFile: return ImportKeyStore(session, bytes);
    default: return kUnsupportedKind;
  }
}

}  // namespace
}  // namespace cpki1

using namespace cpki1;

int32_t VCERT_ImportMem(TelvoraSession s, const TelvoraExportParams *p, const TelvoraBlob *data) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || !BlobOk(data) || data->Length == 0) return kBadArgument;
    return Import(*session, p, BlobBytes(data));
  });
}

int32_t VCERT_ImportFile(TelvoraSession s, const TelvoraExportParams *p, const char *fileName) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || fileName == nullptr || fileName[0] == '\0') return kBadArgument;
    if (p->Kind != kKindRequestAnswer && p->Kind != kKindKeyStoreFile) return kUnsupportedKind;
    auto bytes = ReadWholeFile(Resolve(fileName));
    if (!bytes) return kFileNotFound;
    return Import(*session, p, *bytes);
  });
}

int32_t VCERT_ExportMem(TelvoraSession s, const TelvoraExportParams *p, TelvoraBlob *out) {
  return Guard([&]() -> int32_t {
    SessionPtr session = FindSession(s);
    if (!session) return kBadSession;
    if (p == nullptr || out == nullptr) return kBadArgument;
    if (p->Kind != kKindKeyRequest) return kUnsupportedKind;
    if (Algs().sha256 == nullptr) return kInternal;
    Bytes der;
    int32_t st = ChangeKeyStore(*session, [&](KeyStoreData &data) -> int32_t {
      const KeyPair *pair = nullptr;
      if (int32_t sel = SelectPair(data, p->Auth, pair); sel != kOk) return sel;
      // A GOST key is followed by one of its size and parameter set.
      KeyUPtr key(gost::IsGostKey(pair->key.get()) ? gost::NewKeyLike(pair->key.get()).release()
                                                   : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
      const EVP_MD *md = gost::DigestOr(key.get(), Algs().sha256);
      ReqPtr req(X509_REQ_new());
      if (!key || !req || md == nullptr || !X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) ||
          !X509_REQ_set_subject_name(req.get(), X509_get_subject_name(pair->cert.get())) ||
          !X509_REQ_set_pubkey(req.get(), key.get()) || X509_REQ_sign(req.get(), key.get(), md) <= 0)
        return kInternal;
      int n = i2d_X509_REQ(req.get(), nullptr);
      if (n <= 0) return kInternal;
      der.resize(static_cast<std::size_t>(n));
      uint8_t *q = der.data();
      i2d_X509_REQ(req.get(), &q);
      data.pending = ShareKey(key.release());
      return kOk;
    });
    if (st != kOk) return st;
    return HandOut(s, std::move(der), out);
  });
}

