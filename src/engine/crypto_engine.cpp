#include "engine/crypto_engine.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "support/failure.h"
#include "support/file_io.h"
#include "support/paths.h"
#include "support/root_path.h"
#include "support/text_lists.h"

namespace crtelv {

namespace {

constexpr char kRootPlaceholder[] = "%ZPKRoot%";
constexpr std::size_t kRootPlaceholderLength = sizeof kRootPlaceholder - 1;
constexpr char kErrorPrefix[] = "CRYPTO ENGINE ERROR : ";

// A 64-bit count narrowed to 32 bits without wrapping: a limit that does not
// fit is reported as the largest one, never as a small or negative size.
int32_t Saturate(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// The folder part of a module file name, up to and including the last
// separator; empty when there is none.
std::string FolderOf(const std::string &fileName) {
  std::size_t last = fileName.find_last_of("\\/");
  return last == std::string::npos ? std::string() : fileName.substr(0, last + 1);
}

// The file name of the loaded "Korvex.dll", or of the host executable when
// that module is not loaded. A name that filled the first buffer may have
// been cut, so it is asked again with a buffer large enough for any path.
std::string KorvexModuleFileName() {
  constexpr std::size_t kFirstCapacity = 512;
  constexpr std::size_t kLargeCapacity = 32768;
  platform::ModuleHandle korvex = platform::FindLoadedModule("Korvex.dll");
  std::string name = platform::ModuleFileName(korvex, kFirstCapacity);
  if (name.size() >= kFirstCapacity - 1) name = platform::ModuleFileName(korvex, kLargeCapacity);
  return name;
}

}  // namespace

// ---- TSyncExceptStr ---------------------------------------------------------

std::string TSyncExceptStr::GetText() {
  ReadGuard guard(lock_);
  return text_;
}

void TSyncExceptStr::SetText(const std::string &value) {
  WriteGuard guard(lock_);
  text_ = value;
}

// ---- TCryptoEngine: construction --------------------------------------------

TCryptoEngine::TCryptoEngine() = default;
TCryptoEngine::~TCryptoEngine() = default;

TCryptoEngine *TCryptoEngine::Create() const { return new TCryptoEngine(); }

std::vector<std::string> TCryptoEngine::ParamValues() const {
  ReadGuard guard(paramLock_);
  return paramValues_;
}

std::string TCryptoEngine::ParamValue(int32_t number) const {
  ReadGuard guard(paramLock_);
  if (number < 1 || static_cast<std::size_t>(number) > paramValues_.size()) return {};
  return paramValues_[static_cast<std::size_t>(number) - 1];
}

void TCryptoEngine::AddParam(const std::string &name, const std::string &defaultValue) {
  WriteGuard guard(paramLock_);
  paramNames_.push_back(name);
  paramValues_.push_back(defaultValue);
  paramGeneration_.fetch_add(1, std::memory_order_release);
}

// ---- Operations whose meaning other engines fix -------------------------------

int32_t TCryptoEngine::ReservedOperation() { return kNotSupported; }
int32_t TCryptoEngine::IncludeObjectKind9(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::IncludeObjectKind1(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::IncludeObjectKind3(Raw a, Raw b, Raw c) { return IncludeObjectKind1(a, b, c); }
int32_t TCryptoEngine::IncludeObjectKind5(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::IncludeObjectKind6(Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::IncludeObjectKind11(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::ProcessObjectKind4(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::ProcessObjectKind5(Raw, Raw, Raw, Raw) { return kNotSupported; }

// ---- Callbacks and folders ----------------------------------------------------

void TCryptoEngine::SetPasswordRequestFunc(void *callback) {
  WriteGuard guard(paramLock_);
  passwordRequestFunc_ = callback;
}

void TCryptoEngine::SetRemoteGeneratePath(const std::string &path) {
  // Expanded before the write side is taken: the expansion reads the root.
  std::string folder = WithTrailingSeparator(ExpandRootPath(path));
  WriteGuard guard(paramLock_);
  remoteGeneratePath_.swap(folder);
}  // the old text goes with folder, outside the lock

void TCryptoEngine::AssignRootPath(const std::string &path) {
  std::string root = WithTrailingSeparator(path);
  WriteGuard guard(paramLock_);  // the parameters are read with the root
  rootPath_.swap(root);
  paramGeneration_.fetch_add(1, std::memory_order_release);
}

// ---- Abstract operations ------------------------------------------------------

void TCryptoEngine::GetEngineName(char *) { throw EAbstractError(); }
int32_t TCryptoEngine::GetEncodeUIDBySignUID(const char *, char *) { throw EAbstractError(); }
int32_t TCryptoEngine::GetCurrentUID(char *) { throw EAbstractError(); }
int32_t TCryptoEngine::EncodeData(void *, int32_t *, const char *) { throw EAbstractError(); }
int32_t TCryptoEngine::DecodeData(void *, int32_t *, void *) { throw EAbstractError(); }
int32_t TCryptoEngine::SignData(const void *, int32_t, void *, int32_t *, const char *) { throw EAbstractError(); }
int32_t TCryptoEngine::VerifyData(const void *, int32_t, const void *, int32_t, char *) { throw EAbstractError(); }

// ---- Limits -------------------------------------------------------------------

int32_t TCryptoEngine::GetMaxEncodeAddition() { return 255; }
int32_t TCryptoEngine::GetMaxSignatureLength() { return 255; }
int32_t TCryptoEngine::GetMaxUIDLength() { return 255; }
int32_t TCryptoEngine::GetMaxCryptoParamNameLength() { return 255; }
int32_t TCryptoEngine::GetMaxCryptoParamValueLength() { return 1024; }
int32_t TCryptoEngine::GetMaxErrorStringLength() { return 255; }
int32_t TCryptoEngine::GetMaxPasswordLength() { return 255; }
int32_t TCryptoEngine::GetMaxPublicKeyTransferSize() { return 4096; }
int32_t TCryptoEngine::GetMaxSignAddition() {
  return Saturate(static_cast<int64_t>(GetMaxSignatureLength()) + 255);
}
int32_t TCryptoEngine::GetMaxAdditionForCount(int32_t count) {
  return Saturate(static_cast<int64_t>(count) * GetMaxEncodeAddition());
}
int32_t TCryptoEngine::GetRemoteGenType() { return 1; }
int32_t TCryptoEngine::GetMaxReportSize() { return kNotSupported; }

int32_t TCryptoEngine::GetMaxAdditionEx(const char *recipients) {
  int32_t addition = GetMaxEncodeAddition();
  if (recipients == nullptr || recipients[0] == '\0') return addition;
  std::vector<std::string> pieces;
  int32_t count = SplitSemicolonList(recipients, pieces);
  return Saturate(static_cast<int64_t>(count) * addition);
}

// ---- Parameters -----------------------------------------------------------------

int32_t TCryptoEngine::GetCryptoParamNumber() { return static_cast<int32_t>(paramNames_.size()); }

void TCryptoEngine::GetCryptoParamName(int32_t index, char *name) {
  if (name == nullptr) return;
  int32_t capacity = GetMaxCryptoParamNameLength();
  if (index < 1 || static_cast<std::size_t>(index) > paramNames_.size()) {
    CopyTextToHost(std::string(), name, capacity);
    return;
  }
  CopyTextToHost(paramNames_[static_cast<std::size_t>(index) - 1], name, capacity);
}

void TCryptoEngine::GetCryptoParamValue(int32_t index, char *value) {
  if (value == nullptr) return;
  int32_t capacity = GetMaxCryptoParamValueLength();
  CopyTextToHost(ParamValue(index), value, capacity);
}

int32_t TCryptoEngine::SetCryptoParamValue(int32_t index, const char *value) {
  std::string text = value != nullptr ? value : "";
  {
    WriteGuard guard(paramLock_);
    if (index < 1 || static_cast<std::size_t>(index) > paramValues_.size()) return kNotSupported;
    paramValues_[static_cast<std::size_t>(index) - 1].swap(text);
    paramGeneration_.fetch_add(1, std::memory_order_release);
  }
  return kOk;  // the old value goes with text, outside the lock
}

// ---- Error texts ---------------------------------------------------------------

void TCryptoEngine::GetCryptoErrorString(int32_t errorCode, char *message) {
  if (message == nullptr) return;
  try {
    int32_t capacity = GetMaxErrorStringLength();
    if (capacity < 1) return;
    std::memset(message, 0, static_cast<std::size_t>(capacity));
    std::string text = kErrorPrefix + std::to_string(errorCode);
    // The zero fill terminates the text; keep at least one zero of it.
    std::memcpy(message, text.data(), std::min(text.size(), static_cast<std::size_t>(capacity) - 1));
  } catch (...) {
    // A message that cannot be built leaves the buffer as far as it got.
  }
}

void TCryptoEngine::GetLastErrorMessage(char *message) {
  if (message == nullptr) throw EAssertionFailed(AssertionMessage("dlls.sys\\Korvex\\cryptobj", 719));
  message[0] = '\0';
}

// ---- Certificates, keys and transfers not handled by the base -----------------

int32_t TCryptoEngine::IncludePublicKey(const char *) { return kNotSupported; }
void TCryptoEngine::ClearCash() {}
int32_t TCryptoEngine::UpdateCertificateCash(Raw) { return kNotSupported; }
int32_t TCryptoEngine::RemoveCertificate(Raw) { return kNotSupported; }
int32_t TCryptoEngine::IncludeCRL(const char *) { return kNotSupported; }
int32_t TCryptoEngine::GenerateNewSSK() { return kNotSupported; }
int32_t TCryptoEngine::GenerateNewSEK() { return kNotSupported; }
bool TCryptoEngine::IsDifferentKeys() { return false; }
int32_t TCryptoEngine::IncludePublicEncodeKey(const char *) { return kNotSupported; }
int32_t TCryptoEngine::SignFile(Raw) { return kNotSupported; }
int32_t TCryptoEngine::VerifyFile(Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::RemoveSignaturesFromFile(Raw) { return kNotSupported; }
int32_t TCryptoEngine::TransPrivateKeyFromFileToTM() { return kNotSupported; }
int32_t TCryptoEngine::TransSignatureFromFileToTM() { return kNotSupported; }
int32_t TCryptoEngine::RemoteGenerateStart(char *) { return kNotSupported; }
int32_t TCryptoEngine::RemoteGenerateFinish(const char *) { return kNotSupported; }
int32_t TCryptoEngine::ExcludeSelfPublicKeyTransfer(char *) { return kNotSupported; }
int32_t TCryptoEngine::IncludePublicKeyTransfer(const char *) { return kNotSupported; }
int32_t TCryptoEngine::GetPublicKeyTransfer(const char *, char *) { return kNotSupported; }
int32_t TCryptoEngine::SavePublicKeyFromTransfer(const char *, const char *) { return kNotSupported; }
int32_t TCryptoEngine::RemoteGenerateStartEx(Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::RemoteGenerateFinishEx(Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::GetPublicKeyTransferByFile(char *, const char *) { return kNotSupported; }
int32_t TCryptoEngine::IncludeCACertificateFromTransfer(Raw) { return kNotSupported; }
int32_t TCryptoEngine::AddSign(void *, int32_t *, Raw) { return kNotSupported; }
int32_t TCryptoEngine::RemoveSignature(void *, int32_t *, char *) { return kNotSupported; }
int32_t TCryptoEngine::GetReport(const char *, char *) { return kNotSupported; }
int32_t TCryptoEngine::GetUIDByPublicKeyTransfer(Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::GetReportByTransfer(const char *, char *) { return kNotSupported; }
int32_t TCryptoEngine::GetReportByFile(const char *, char *) { return kNotSupported; }
int32_t TCryptoEngine::CreateDirStructure(Raw, Raw) { return kNotSupported; }

int32_t TCryptoEngine::VerifySignWOCheckValidity(const void *data, int32_t dataSize, const void *sign,
                                                 int32_t signSize, char *signer) {
  return VerifyData(data, dataSize, sign, signSize, signer);
}

int32_t TCryptoEngine::CertAndRequestTransferMatch(Raw, Raw, int32_t *match) {
  // Without a place for the answer the call cannot succeed.
  if (match == nullptr) return kFailure;
  *match = -1;
  return kOk;
}

int32_t TCryptoEngine::ConvertTransferToSignedRequest(Raw) { return kNotSupported; }
int32_t TCryptoEngine::HashData(const void *, int32_t, int32_t, void *, int32_t *) { return kNotSupported; }
int32_t TCryptoEngine::ShowCertificate(const char *) { return kNotSupported; }
int32_t TCryptoEngine::GetPureSign(Raw, Raw, Raw, Raw, Raw) { return kNotSupported; }
int32_t TCryptoEngine::GetUIDByCertIdent(const char *, char *) { return kNotSupported; }
int32_t TCryptoEngine::InstallCertsInMyStore(Raw) { return kNotSupported; }
int32_t TCryptoEngine::RegisterOIDInfo(const std::string &, const std::u16string &) { return kNotSupported; }
int32_t TCryptoEngine::GetParamInfo(int32_t, int32_t *, char *, int32_t *) { return kNotSupported; }

// ---- Signed-data files ------------------------------------------------------------

int32_t TCryptoEngine::SaveSignedDataToFile(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                                            const char *fileName) {
  if (fileName == nullptr || data == nullptr || dataSize <= 0 || signSize < 0) return kOk;
  int64_t total = static_cast<int64_t>(dataSize) + signSize;
  if (total > std::numeric_limits<int32_t>::max()) return kSaveNoMemory;
  try {
    // Value-initialised: a signature part without a source stays zero.
    std::vector<uint8_t> block(static_cast<std::size_t>(total));
    std::memcpy(block.data(), data, static_cast<std::size_t>(dataSize));
    if (signSize != 0 && sign != nullptr) {
      std::memcpy(block.data() + dataSize, sign, static_cast<std::size_t>(signSize));
    }
    std::string path = ExpandRootPath(fileName);
    // Replaced in one step: a failed write leaves the old file whole.
    if (!ReplaceWholeFile(path.c_str(), block.data(), static_cast<int32_t>(total))) return kSaveWrite;
    return kOk;
  } catch (...) {
    return kSaveNoMemory;
  }
}

// ---- Dispatch ---------------------------------------------------------------------

int32_t TCryptoEngine::IncludeObject(int32_t kind, Raw a, Raw b, Raw c) {
  const char *bText = reinterpret_cast<const char *>(b);
  switch (kind) {
    case 1: return IncludeObjectKind1(a, b, c);
    case 2: return IncludePublicKey(bText);
    case 3: return IncludeObjectKind3(a, b, c);
    case 4: return IncludePublicEncodeKey(bText);
    case 5: return IncludeObjectKind5(a, b, c);
    case 6: return IncludeObjectKind6(a, b);
    case 7: return IncludePublicKeyTransfer(bText);
    case 8: return IncludeCACertificateFromTransfer(b);
    case 9: return IncludeObjectKind9(a, b, c);
    case 10: return IncludeCRL(bText);
    case 11: return IncludeObjectKind11(a, b, c);
    default: return kNotSupported;
  }
}

int32_t TCryptoEngine::ProcessObject(int32_t kind, Raw a, Raw, Raw c, Raw d, Raw e) {
  switch (kind) {
    case 4: return ProcessObjectKind4(c, d, e);
    case 5: return ProcessObjectKind5(c, a, d, e);
    default: return kNotSupported;
  }
}

// ---- Non-virtual services ---------------------------------------------------------

std::string TCryptoEngine::ExpandRootPath(const std::string &path) const {
  if (path.size() < kRootPlaceholderLength) return path;
  if (!SameTextAscii(path.substr(0, kRootPlaceholderLength), kRootPlaceholder)) return path;
  std::size_t rest = kRootPlaceholderLength;
  if (rest < path.size() && IsPathSeparator(path[rest])) ++rest;
  ReadGuard guard(paramLock_);  // SetRootPath may run meanwhile
  return UpperAscii(rootPath_ + path.substr(rest));
}

std::string TCryptoEngine::ExpandFolderPath(const std::string &path) const {
  return AddPathDelimiter(ExpandRootPath(path));
}

void TCryptoEngine::CopyTextToHost(const std::string &text, char *dest, int32_t capacity) {
  if (dest == nullptr || capacity < 1) return;
  const std::size_t count = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
  std::memcpy(dest, text.data(), count);
  dest[count] = '\0';
}

bool TCryptoEngine::CopyToBuffer(const char *source, char *dest, int32_t size) {
  if (source == nullptr || dest == nullptr || size <= 0) return false;
  std::size_t count = std::min(static_cast<std::size_t>(size), std::strlen(source) + 1);
  std::memcpy(dest, source, count);
  return true;
}

// ---- Provider library loading -----------------------------------------------------

platform::ModuleHandle LoadCryptoLibrary(const std::string &name) {
  try {
    if (platform::ModuleHandle module = LoadLibrarySearched(name)) return module;
    std::string moduleFile = KorvexModuleFileName();
    if (moduleFile.empty()) return nullptr;
    return LoadLibrarySearched(FolderOf(moduleFile) + name);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace crtelv
