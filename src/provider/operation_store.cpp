// Stores: certificate files (binary or PEM) and key stores into the
// provider's stores (IncludePublicKey), and CRL files (IncludeCRL).
#include <new>
#include <vector>

#include "engine/crypto_engine.h"
#include "provider/binding.h"
#include "provider/call_frame.h"
#include "provider/cert_text.h"
#include "provider/provider_engine.h"
#include "support/file_io.h"
#include "support/paths.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// The largest certificate file taken into the store.
constexpr int32_t kCertFileMax = 4096;

// The extension of a path: from its last point to the end, after the last
// folder separator or ":"; empty when there is none.
std::string Extension(const std::string &path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return {};
  for (std::size_t i = dot + 1; i < path.size(); ++i) {
    if (IsPathSeparator(path[i]) || path[i] == ':') return {};
  }
  return path.substr(dot);
}

// Offers a blob to an import entry point; when refused, strips the armour
// in place and offers it once more.
template <typename Add, typename Strip>
int32_t AddTwice(Add &&add, Strip &&strip, void *data, int32_t &len) {
  int32_t status = add(TelvoraBlob{len, static_cast<uint8_t *>(data)});
  if (status == 0) return status;
  strip(data, len);
  return add(TelvoraBlob{len, static_cast<uint8_t *>(data)});
}

}  // namespace

// ---- IncludePublicKey -------------------------------------------------------------

int32_t TTelvoraEngine::IncludePublicKey(const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCertFile;
  return OnBinding("IncludePublicKey", [&](TTelvora &binding, const TelvoraInitParam &param) -> int32_t {
    const std::string path = ExpandRootPath(fileName);
    // The expansion upper-cases the path: the extension is compared without
    // letter case, so that a key store named through the root is one.
    if (SameTextAscii(Extension(path), ".pse")) return binding.ImportPSEFile(param, path.c_str());
    std::vector<uint8_t> buffer(static_cast<std::size_t>(kCertFileMax));
    int32_t length = kCertFileMax;
    if (!ReadWholeFile(path.c_str(), buffer.data(), length)) return kCertLoad;
    return binding.AddCertificate(param, buffer.data(), length);
  });
}

int32_t TTelvoraEngine::IncludePublicEncodeKey(const char *fileName) { return IncludePublicKey(fileName); }

int32_t TTelvora::AddCertificate(const TelvoraInitParam &p, void *data, int32_t &len) {
  if (data == nullptr || len <= 0) return kBadArgument;
  return CallProvider(p, ServerKey::NotNeeded, [&](ProviderCall &call) { return AddCertificate(call, data, len); });
}

int32_t TTelvora::AddCertificate(ProviderCall &call, void *data, int32_t &len) {
  if (data == nullptr || len <= 0) return kBadArgument;
  const int32_t status = call.LookUpServerKey();
  if (status != 0) return status;
  const TelvoraAddParams params{0, call.Auth()};
  auto add = [&](TelvoraBlob blob) { return call.Entry().VCERT_AddCertificate(call.Session(), &params, &blob); };
  return AddTwice(add, CertFromPEM, data, len);
}

int32_t TTelvora::ImportFromFile(const TelvoraInitParam &p, const char *fileName, int32_t kind) {
  if (fileName == nullptr) return kBadArgument;
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraExportParams params{kind, call.Auth()};
    return call.Entry().VCERT_ImportFile(call.Session(), &params, fileName);
  });
}

int32_t TTelvora::ImportPSEFile(const TelvoraInitParam &p, const char *fileName) {
  return ImportFromFile(p, fileName, kImportPSE);
}

// ---- IncludeCRL -------------------------------------------------------------------

int32_t TTelvoraEngine::IncludeCRL(const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoCrlFile;
  return OnBinding("IncludeCRL", [&](TTelvora &binding, const TelvoraInitParam &param) {
    return binding.IncludeCRL(param, ExpandRootPath(fileName).c_str());
  });
}

int32_t TTelvora::IncludeCRL(const TelvoraInitParam &p, const char *fileName) {
  if (fileName == nullptr) return kCrlRead;
  int32_t size = FileSizePlusOne(fileName);
  if (size <= 0) return kCrlRead;
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  if (!ReadWholeFile(fileName, buffer.data(), size)) return kCrlRead;
  return CallProvider(p, ServerKey::Needed, [&](ProviderCall &call) {
    const TelvoraAddParams params{0, call.Auth()};
    auto add = [&](TelvoraBlob blob) { return call.Entry().VCERT_AddCRL(call.Session(), &params, &blob); };
    return AddTwice(add, CRLFromPEM, buffer.data(), size);
  });
}

}  // namespace crtelv
