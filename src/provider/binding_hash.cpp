// TTelvora: hashing, bare signatures of a hash, and the signer's extended
// key usage check.
#include <cstring>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "support/base64.h"
#include "support/file_text_helpers.h"

namespace crtelv {
namespace {

// A hash of the provider that can be read: a length of 0 or more, and data
// whenever the length is positive.
bool UsableBlob(const TelvoraBlob &blob) { return blob.Length >= 0 && (blob.Length == 0 || blob.Data != nullptr); }

}  // namespace

bool CheckSignEKURestrictions(const std::string &restrictions, const TelvoraCertInfo &info) {
  // A missing list, or a missing entry, is no usage the check can refuse.
  if (info.ExtKeyUsageCount <= 0 || info.ExtKeyUsage == nullptr) return true;
  std::vector<std::string> items;
  if (SplitSemicolonList(restrictions.c_str(), items) == 0) return true;
  for (int32_t i = 0; i < info.ExtKeyUsageCount; ++i) {
    const char *oid = info.ExtKeyUsage[i];
    if (oid == nullptr) continue;
    for (const std::string &item : items) {
      if (SameTextAscii(item, oid)) return false;
    }
  }
  return true;
}

int32_t TTelvora::HashBuffer(const TelvoraInitParam &p, const void *data, int32_t dataLen, int32_t format, void *out,
                             int32_t &outLen) {
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    std::vector<uint8_t> hash;
    {
      ProviderBlobHold provided(call);
      const TelvoraBlob input{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
      int32_t status = call.Entry().VCERT_HashMem(call.Session(), &input, provided.Out());
      if (status != 0) return status;
      if (!UsableBlob(provided.Blob())) return kNoMemory;
      hash.assign(provided.Blob().Data, provided.Blob().Data + provided.Blob().Length);
    }
    // Formatting needs no session; the provider lock stays until the end.
    call.ReleaseSession();
    const int32_t hashLen = static_cast<int32_t>(hash.size());
    std::string formatted;
    if (format == 1) {
      formatted = EncodeBase64(hash.data(), hashLen);
      if (formatted.empty()) return kNoMemory;
    } else if (format == 2) {
      formatted = HexDump(hash.data(), hashLen, 255, 255);
    } else {
      formatted.assign(hash.begin(), hash.end());
    }
    const int32_t needed = static_cast<int32_t>(formatted.size());
    if (out == nullptr) {
      outLen = needed;
      return kOk;
    }
    if (needed > outLen) {
      outLen = needed;
      return kNoMemory;
    }
    if (needed > 0) std::memcpy(out, formatted.data(), formatted.size());
    outLen = needed;
    return kOk;
  });
}

int32_t TTelvora::SignHash(const TelvoraInitParam &p, const void *data, int32_t dataLen, void *out, int64_t capacity,
                           int32_t &outLen) {
  if (Entry().VCERT_SignHashMem == nullptr) return kProviderVersion;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) {
    // Released in reverse: the signature, then the hash.
    ProviderBlobHold hash(call);
    ProviderBlobHold signature(call);
    const TelvoraBlob input{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    int32_t status = call.Entry().VCERT_HashMem(call.Session(), &input, hash.Out());
    if (status != 0) return status;
    status = call.Entry().VCERT_SignHashMem(call.Session(), 0, &hash.Blob(), signature.Out());
    if (status != 0) return status;
    return CopyProviderResult(signature.Blob(), out, capacity, outLen);
  });
}

int32_t TTelvora::VerifyHash(const TelvoraInitParam &p, const void *data, int32_t dataLen, const void *signature,
                             int32_t signatureLen, int32_t mode, std::string &uid) {
  if (Entry().VCERT_VerifyHashMem == nullptr) return kProviderVersion;
  // The signer is named by serial number under the user's issuer, whatever
  // the UID location; the issuer lookup and the search share one provider
  // lock hold.
  TelvoraInitParam bySerial = p;
  bySerial.UIDLocation.clear();
  ProviderLockGuard lock(*this, p.ServerMode);
  UidSearch search;
  int32_t status = BuildFindCriteria(bySerial, uid, TELVORA_FIELD_ALL, search);
  if (status != 0) return status;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) -> int32_t {
    // Released in reverse: the hash, then the find result.
    FindResultHold found(call);
    ProviderBlobHold hash(call);
    int32_t result = found.Find(search.criteria);
    if (result != 0) return result;
    const TelvoraCertInfo *signer = found.Single();
    if (signer == nullptr) return kCertSelection;
    const TelvoraBlob input{dataLen, static_cast<uint8_t *>(const_cast<void *>(data))};
    result = call.Entry().VCERT_HashMem(call.Session(), &input, hash.Out());
    if (result != 0) return result;
    const TelvoraBlob sign{signatureLen, static_cast<uint8_t *>(const_cast<void *>(signature))};
    result = call.Entry().VCERT_VerifyHashMem(call.Session(), 0, &signer->Encoded, &hash.Blob(), &sign);
    if (result != 0) return result;
    uid = CertificateUID(p, *signer);
    if (!CheckSignEKURestrictions(p.SignEKURestrictions, *signer)) return kSignerEKU;
    try {
      if (mode == 1) {
        call.Entry().VCERT_ShowCertificate(call.Session(), &signer->Encoded);
      } else if (mode == 2) {
        uid = FormatCertProperties(*signer);
      }
    } catch (...) {
      return kFailure;
    }
    return kOk;
  });
}

}  // namespace crtelv
