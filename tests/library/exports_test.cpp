// The export guards, called directly: null handles, failures escaping an
// operation, argument forwarding and the composite exports.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "cr_telv.h"
#include "engine/crypto_engine.h"
#include "support/failure.h"

namespace crtelv {
namespace {

using Call = std::function<int32_t(CrTelvEngine)>;
using Proc = std::function<void(CrTelvEngine)>;

char g_text[] = "text";
char g_out[64];
int32_t g_int = 0;

// Every size query (and IsDifferentKeys), whose guard answers -1.
std::vector<std::pair<const char *, Call>> SizeQueries() {
  return {
      {"GetMaxEncodeAddition", GetMaxEncodeAddition},
      {"GetMaxSignatureLength", GetMaxSignatureLength},
      {"GetMaxUIDLength", GetMaxUIDLength},
      {"GetMaxCryptoParamNameLength", GetMaxCryptoParamNameLength},
      {"GetMaxCryptoParamValueLength", GetMaxCryptoParamValueLength},
      {"GetMaxErrorStringLength", GetMaxErrorStringLength},
      {"GetCryptoParamNumber", GetCryptoParamNumber},
      {"IsDifferentKeys", IsDifferentKeys},
      {"GetMaxPasswordLength", GetMaxPasswordLength},
      {"GetMaxSignAddition", GetMaxSignAddition},
      {"GetMaxPublicKeyTransferSize", GetMaxPublicKeyTransferSize},
      {"GetRemoteGenType", GetRemoteGenType},
      {"GetMaxReportSize", GetMaxReportSize},
      {"GetMaxAdditionEx", [](CrTelvEngine e) { return GetMaxAdditionEx(e, "A;B"); }},
      {"GetMaxPublicKeyPropertiesLength", GetMaxPublicKeyPropertiesLength},
  };
}

// Every export with a result code, whose guard answers -10.
std::vector<std::pair<const char *, Call>> CodeOperations() {
  return {
      {"SetCryptoParamValue", [](CrTelvEngine e) { return SetCryptoParamValue(e, 1, g_text); }},
      {"GetEncodeUIDBySignUID", [](CrTelvEngine e) { return GetEncodeUIDBySignUID(e, g_text, g_out); }},
      {"EncodeData", [](CrTelvEngine e) { return EncodeData(e, g_out, &g_int, g_text); }},
      {"DecodeData", [](CrTelvEngine e) { return DecodeData(e, g_out, &g_int, g_out); }},
      {"SignData", [](CrTelvEngine e) { return SignData(e, g_text, 4, g_out, &g_int, g_text); }},
      {"VerifyData", [](CrTelvEngine e) { return VerifyData(e, g_text, 4, g_text, 4, g_out); }},
      {"GetCurrentUserUID", [](CrTelvEngine e) { return GetCurrentUserUID(e, g_out); }},
      {"GenerateNewSSK", GenerateNewSSK},
      {"GenerateNewSEK", GenerateNewSEK},
      {"IncludePublicKey", [](CrTelvEngine e) { return IncludePublicKey(e, g_text); }},
      {"IncludePublicEncodeKey", [](CrTelvEngine e) { return IncludePublicEncodeKey(e, g_text); }},
      {"SignFile", [](CrTelvEngine e) { return SignFile(e, 1); }},
      {"VerifyFile", [](CrTelvEngine e) { return VerifyFile(e, 1, 2); }},
      {"RemoveSignaturesFromFile", [](CrTelvEngine e) { return RemoveSignaturesFromFile(e, 1); }},
      {"TransSignatureFromFileToTM", TransSignatureFromFileToTM},
      {"TransPrivateKeyFromFileToTM", TransPrivateKeyFromFileToTM},
      {"RemoteGenerateStart", [](CrTelvEngine e) { return RemoteGenerateStart(e, g_out); }},
      {"AddSign", [](CrTelvEngine e) { return AddSign(e, g_out, &g_int, 0); }},
      {"RemoveSign", [](CrTelvEngine e) { return RemoveSign(e, g_out, &g_int, g_out); }},
      {"GetPublicKeyTransfer", [](CrTelvEngine e) { return GetPublicKeyTransfer(e, g_text, g_out); }},
      {"RemoteGenerateFinish", [](CrTelvEngine e) { return RemoteGenerateFinish(e, g_text); }},
      {"SavePublicKeyFromTransfer", [](CrTelvEngine e) { return SavePublicKeyFromTransfer(e, g_text, g_text); }},
      {"IncludePublicKeyTransfer", [](CrTelvEngine e) { return IncludePublicKeyTransfer(e, g_text); }},
      {"ExcludeSelfPublicKeyTransfer", [](CrTelvEngine e) { return ExcludeSelfPublicKeyTransfer(e, g_out); }},
      {"SaveSignedDataToFile", [](CrTelvEngine e) { return SaveSignedDataToFile(e, g_text, 4, g_text, 4, nullptr); }},
      {"GetPublicKeyTransferByFile", [](CrTelvEngine e) { return GetPublicKeyTransferByFile(e, g_out, g_text); }},
      {"GetReport", [](CrTelvEngine e) { return GetReport(e, g_text, g_out); }},
      {"GetUIDByPublicKeyTransfer", [](CrTelvEngine e) { return GetUIDByPublicKeyTransfer(e, 1, 2); }},
      {"UpdateCertificateCash", [](CrTelvEngine e) { return UpdateCertificateCash(e, 1); }},
      {"GetPublicKeyProperties", [](CrTelvEngine e) { return GetPublicKeyProperties(e, g_text, g_out); }},
      {"RemoteGenerateStartEx", [](CrTelvEngine e) { return RemoteGenerateStartEx(e, 1, 2, 3); }},
      {"RemoteGenerateFinishEx", [](CrTelvEngine e) { return RemoteGenerateFinishEx(e, 1, 2); }},
      {"GetPublicKeyPropertiesByTransfer",
       [](CrTelvEngine e) { return GetPublicKeyPropertiesByTransfer(e, g_text, g_out); }},
      {"GetPublicKeyPropertiesByFile", [](CrTelvEngine e) { return GetPublicKeyPropertiesByFile(e, g_text, g_out); }},
      {"IncludeCACertificateFromTransfer", [](CrTelvEngine e) { return IncludeCACertificateFromTransfer(e, 1); }},
      {"CreateDirStructure", [](CrTelvEngine e) { return CreateDirStructure(e, 1, 2); }},
      {"RemoveCertificate", [](CrTelvEngine e) { return RemoveCertificate(e, 1); }},
      {"VerifySignWOCheckValidity",
       [](CrTelvEngine e) { return VerifySignWOCheckValidity(e, g_text, 4, g_text, 4, g_out); }},
      {"CertAndRequestTransferMatch", [](CrTelvEngine e) { return CertAndRequestTransferMatch(e, 1, 2, &g_int); }},
      {"IncludeCRL", [](CrTelvEngine e) { return IncludeCRL(e, g_text); }},
      {"ConvertTransferToSignedRequest", [](CrTelvEngine e) { return ConvertTransferToSignedRequest(e, 1); }},
      {"HashData", [](CrTelvEngine e) { return HashData(e, g_text, 4, 0, g_out, &g_int); }},
      {"ShowCertificate", [](CrTelvEngine e) { return ShowCertificate(e, g_text); }},
      {"GetPureSign", [](CrTelvEngine e) { return GetPureSign(e, 1, 2, 3, 4, 5); }},
      {"GetUIDByCertIdent", [](CrTelvEngine e) { return GetUIDByCertIdent(e, g_text, g_out); }},
      {"InstallCertsInMyStore", [](CrTelvEngine e) { return InstallCertsInMyStore(e, 1); }},
      {"RegisterOIDInfo", [](CrTelvEngine e) { return RegisterOIDInfo(e, "1.2.3", g_text); }},
      {"GetParamInfo", [](CrTelvEngine e) { return GetParamInfo(e, 1, &g_int, g_out, &g_int); }},
  };
}

// Every export without a result.
std::vector<std::pair<const char *, Proc>> Procedures() {
  return {
      {"GetCryptoParamName", [](CrTelvEngine e) { GetCryptoParamName(e, 1, g_out); }},
      {"GetCryptoParamValue", [](CrTelvEngine e) { GetCryptoParamValue(e, 1, g_out); }},
      {"GetCryptoErrorString", [](CrTelvEngine e) { GetCryptoErrorString(e, -10, g_out); }},
      {"SetPasswordRequestFunc", [](CrTelvEngine e) { SetPasswordRequestFunc(e, g_out); }},
      {"GetLastErrorMessage", [](CrTelvEngine e) { GetLastErrorMessage(e, g_out); }},
      {"SetTMRequestFunc", [](CrTelvEngine e) { SetTMRequestFunc(e, g_out); }},
      {"ClearCash", ClearCash},
      {"SetRemoteGeneratePath", [](CrTelvEngine e) { SetRemoteGeneratePath(e, g_text); }},
  };
}

void MarkOutput() {
  std::memset(g_out, '#', sizeof g_out);
  g_int = 77;
}

bool OutputUntouched() {
  for (char c : g_out)
    if (c != '#') return false;
  return g_int == 77;
}

TEST(ExportGuards, NullHandleGivesTheFamilyResult) {
  for (const auto &[name, call] : SizeQueries()) {
    MarkOutput();
    EXPECT_EQ(call(nullptr), -1) << name;
    EXPECT_TRUE(OutputUntouched()) << name;
  }
  for (const auto &[name, call] : CodeOperations()) {
    MarkOutput();
    EXPECT_EQ(call(nullptr), CRTELV_E_FAILURE) << name;
    EXPECT_TRUE(OutputUntouched()) << name;
  }
  for (const auto &[name, proc] : Procedures()) {
    MarkOutput();
    proc(nullptr);
    EXPECT_TRUE(OutputUntouched()) << name;
  }
  EXPECT_EQ(GetMaxFilePathLength(nullptr), 255);
  DoneEngine(nullptr);
}

// An engine whose every operation that the guards must cover fails.
template <typename Failure>
class FailingEngine : public TCryptoEngine {
 public:
  int32_t GetMaxEncodeAddition() override { throw Failure(); }
  int32_t GetMaxSignatureLength() override { throw Failure(); }
  int32_t GetMaxUIDLength() override { throw Failure(); }
  int32_t GetMaxCryptoParamNameLength() override { throw Failure(); }
  int32_t GetMaxCryptoParamValueLength() override { throw Failure(); }
  int32_t GetMaxErrorStringLength() override { throw Failure(); }
  int32_t GetMaxPasswordLength() override { throw Failure(); }
  int32_t GetCryptoParamNumber() override { throw Failure(); }
  bool IsDifferentKeys() override { throw Failure(); }
  int32_t GetMaxPublicKeyTransferSize() override { throw Failure(); }
  int32_t GetRemoteGenType() override { throw Failure(); }
  int32_t GetMaxReportSize() override { throw Failure(); }
  void GetCryptoParamName(int32_t, char *) override { throw Failure(); }
  void GetCryptoParamValue(int32_t, char *) override { throw Failure(); }
  int32_t SetCryptoParamValue(int32_t, const char *) override { throw Failure(); }
  void GetCryptoErrorString(int32_t, char *) override { throw Failure(); }
  void SetPasswordRequestFunc(void *) override { throw Failure(); }
  void ClearCash() override { throw Failure(); }
  void SetRemoteGeneratePath(const std::string &) override { throw Failure(); }
  int32_t UpdateCertificateCash(Raw) override { throw Failure(); }
  int32_t GetParamInfo(int32_t, int32_t *, char *, int32_t *) override { throw Failure(); }
  int32_t RegisterOIDInfo(const std::string &, const std::u16string &) override { throw Failure(); }
  int32_t CertAndRequestTransferMatch(Raw, Raw, int32_t *) override { throw Failure(); }
  int32_t SaveSignedDataToFile(const void *, int32_t, const void *, int32_t, const char *) override {
    throw Failure();
  }
};

struct NotAStdException {};

template <typename Failure>
void ExpectEveryFailureGuarded() {
  FailingEngine<Failure> engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  for (const auto &[name, call] : SizeQueries()) EXPECT_EQ(call(handle), -1) << name;
  for (const auto &[name, call] : CodeOperations()) {
    // The abstract operations and the failing overrides alike; the rest
    // answer the base defaults.
    int32_t result = call(handle);
    EXPECT_TRUE(result == CRTELV_E_FAILURE || result == CRTELV_E_NOT_SUPPORTED) << name << " " << result;
  }
  for (const auto &[name, proc] : Procedures()) EXPECT_NO_THROW(proc(handle)) << name;
  EXPECT_EQ(SetCryptoParamValue(handle, 1, "x"), CRTELV_E_FAILURE);
  EXPECT_EQ(SignData(handle, g_text, 4, g_out, &g_int, g_text), CRTELV_E_FAILURE);
  EXPECT_EQ(UpdateCertificateCash(handle, 1), CRTELV_E_FAILURE);
  EXPECT_EQ(GetParamInfo(handle, 1, &g_int, g_out, &g_int), CRTELV_E_FAILURE);
  EXPECT_EQ(RegisterOIDInfo(handle, "1.2", "n"), CRTELV_E_FAILURE);
  EXPECT_EQ(GetMaxFilePathLength(handle), 255);
}

TEST(ExportGuards, LibraryFailuresBecomeFamilyResults) { ExpectEveryFailureGuarded<EAbstractError>(); }
TEST(ExportGuards, OutOfMemoryBecomesFamilyResults) { ExpectEveryFailureGuarded<std::bad_alloc>(); }
TEST(ExportGuards, ForeignFailuresBecomeFamilyResults) { ExpectEveryFailureGuarded<NotAStdException>(); }

TEST(ExportGuards, AbstractOperationsOfTheBaseEngineAnswerFailure) {
  TCryptoEngine engine;
  CrTelvEngine handle = &engine;
  EXPECT_EQ(SignData(handle, g_text, 4, g_out, &g_int, g_text), CRTELV_E_FAILURE);
  EXPECT_EQ(VerifySignWOCheckValidity(handle, g_text, 4, g_text, 4, g_out), CRTELV_E_FAILURE);
  EXPECT_EQ(GetEncodeUIDBySignUID(handle, g_text, g_out), CRTELV_E_FAILURE);
  MarkOutput();
  GetLastErrorMessage(handle, nullptr);  // the assertion stays inside
  EXPECT_TRUE(OutputUntouched());
}

// Records what the exports hand to the engine.
class RecordingEngine : public TCryptoEngine {
 public:
  std::string last;
  int32_t updateResult = kNotSupported;
  bool differentKeys = false;
  int clears = 0;
  bool failClear = false;

  int32_t SignData(const void *data, int32_t dataSize, void *sign, int32_t *signSize, const char *mode) override {
    return Note("SignData", {Raw(data), dataSize, Raw(sign), Raw(signSize), Raw(mode)});
  }
  int32_t VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                     char *signer) override {
    return Note("VerifyData", {Raw(data), dataSize, Raw(sign), signSize, Raw(signer)});
  }
  int32_t HashData(const void *data, int32_t size, int32_t format, void *hash, int32_t *hashSize) override {
    return Note("HashData", {Raw(data), size, format, Raw(hash), Raw(hashSize)});
  }
  int32_t GetPureSign(Raw a, Raw b, Raw c, Raw d, Raw e) override { return Note("GetPureSign", {a, b, c, d, e}); }
  int32_t GetReport(const char *uid, char *report) override { return Note("GetReport", {Raw(uid), Raw(report)}); }
  int32_t GetReportByTransfer(const char *t, char *r) override { return Note("GetReportByTransfer", {Raw(t), Raw(r)}); }
  int32_t GetReportByFile(const char *f, char *r) override { return Note("GetReportByFile", {Raw(f), Raw(r)}); }
  int32_t GetCurrentUID(char *uid) override { return Note("GetCurrentUID", {Raw(uid)}); }
  int32_t RemoveSignature(void *d, int32_t *s, char *signer) override {
    return Note("RemoveSignature", {Raw(d), Raw(s), Raw(signer)});
  }
  int32_t AddSign(void *d, int32_t *s, Raw third) override { return Note("AddSign", {Raw(d), Raw(s), third}); }
  int32_t DecodeData(void *d, int32_t *s, void *third) override {
    return Note("DecodeData", {Raw(d), Raw(s), Raw(third)});
  }
  int32_t GetParamInfo(int32_t i, int32_t *k, char *info, int32_t *size) override {
    return Note("GetParamInfo", {i, Raw(k), Raw(info), Raw(size)});
  }
  int32_t RegisterOIDInfo(const std::string &oid, const std::u16string &name) override {
    oidSeen = oid;
    nameSeen = name;
    return 3;
  }
  int32_t UpdateCertificateCash(Raw a) override {
    Note("UpdateCertificateCash", {a});
    return updateResult;
  }
  void ClearCash() override {
    ++clears;
    if (failClear) throw EAbstractError();
  }
  bool IsDifferentKeys() override { return differentKeys; }

  std::string oidSeen;
  std::u16string nameSeen;

 private:
  int32_t Note(const char *name, std::initializer_list<Raw> args) {
    last = name;
    for (Raw arg : args) last += " " + std::to_string(arg);
    return 42;
  }
};

std::string Args(std::initializer_list<Raw> args) {
  std::string text;
  for (Raw arg : args) text += " " + std::to_string(arg);
  return text;
}

TEST(ExportForwarding, ArgumentsArriveInOrder) {
  RecordingEngine engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  char data[4], sign[4], text[4];
  int32_t size = 0, kind = 0;
  EXPECT_EQ(SignData(handle, data, 4, sign, &size, text), 42);
  EXPECT_EQ(engine.last, "SignData" + Args({Raw(data), 4, Raw(sign), Raw(&size), Raw(text)}));
  EXPECT_EQ(VerifyData(handle, data, -3, sign, 9, text), 42);
  EXPECT_EQ(engine.last, "VerifyData" + Args({Raw(data), -3, Raw(sign), 9, Raw(text)}));
  EXPECT_EQ(VerifySignWOCheckValidity(handle, data, 5, sign, 6, text), 42);
  EXPECT_EQ(engine.last, "VerifyData" + Args({Raw(data), 5, Raw(sign), 6, Raw(text)}));
  EXPECT_EQ(HashData(handle, data, 4, 2, nullptr, &size), 42);
  EXPECT_EQ(engine.last, "HashData" + Args({Raw(data), 4, 2, 0, Raw(&size)}));
  EXPECT_EQ(GetPureSign(handle, 1, 2, 3, 4, 5), 42);
  EXPECT_EQ(engine.last, "GetPureSign 1 2 3 4 5");
  EXPECT_EQ(AddSign(handle, data, &size, 99), 42);
  EXPECT_EQ(engine.last, "AddSign" + Args({Raw(data), Raw(&size), 99}));
  EXPECT_EQ(DecodeData(handle, data, &size, sign), 42);
  EXPECT_EQ(engine.last, "DecodeData" + Args({Raw(data), Raw(&size), Raw(sign)}));
  EXPECT_EQ(GetParamInfo(handle, 8, &kind, text, &size), 42);
  EXPECT_EQ(engine.last, "GetParamInfo" + Args({8, Raw(&kind), Raw(text), Raw(&size)}));
}

TEST(ExportForwarding, AliasesReachTheSameOperation) {
  RecordingEngine engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  const char *uid = "UID";
  char out[8], data[8];
  int32_t size = 0;
  EXPECT_EQ(GetPublicKeyProperties(handle, uid, out), 42);
  const std::string viaProperties = engine.last;
  EXPECT_EQ(GetReport(handle, uid, out), 42);
  EXPECT_EQ(engine.last, viaProperties);
  EXPECT_EQ(engine.last, "GetReport" + Args({Raw(uid), Raw(out)}));
  GetPublicKeyPropertiesByTransfer(handle, uid, out);
  EXPECT_EQ(engine.last, "GetReportByTransfer" + Args({Raw(uid), Raw(out)}));
  GetPublicKeyPropertiesByFile(handle, uid, out);
  EXPECT_EQ(engine.last, "GetReportByFile" + Args({Raw(uid), Raw(out)}));
  GetCurrentUserUID(handle, out);
  EXPECT_EQ(engine.last, "GetCurrentUID" + Args({Raw(out)}));
  RemoveSign(handle, data, &size, out);
  EXPECT_EQ(engine.last, "RemoveSignature" + Args({Raw(data), Raw(&size), Raw(out)}));
}

TEST(ExportForwarding, SizeAliasesAgree) {
  TCryptoEngine engine;
  CrTelvEngine handle = &engine;
  EXPECT_EQ(GetMaxPublicKeyPropertiesLength(handle), GetMaxReportSize(handle));
}

TEST(ExportForwarding, RegisterOIDInfoConvertsTheNameToWideText) {
  RecordingEngine engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  // Windows-1251: 0xC0 is CYRILLIC CAPITAL A, 0xE1 CYRILLIC SMALL BE.
  EXPECT_EQ(RegisterOIDInfo(handle, "1.2.643", "\xC0\xE1 x"), 3);
  EXPECT_EQ(engine.oidSeen, "1.2.643");
  EXPECT_EQ(engine.nameSeen, u"\u0410\u0431 x");
  EXPECT_EQ(RegisterOIDInfo(handle, nullptr, nullptr), 3);
  EXPECT_EQ(engine.oidSeen, "");
  EXPECT_EQ(engine.nameSeen, u"");
}

TEST(ExportComposites, UpdateCertificateCashClearsWhenUnsupported) {
  RecordingEngine engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  EXPECT_EQ(UpdateCertificateCash(handle, 5), CRTELV_OK);
  EXPECT_EQ(engine.last, "UpdateCertificateCash 5");
  EXPECT_EQ(engine.clears, 1);
  engine.failClear = true;
  EXPECT_EQ(UpdateCertificateCash(handle, 5), CRTELV_OK);
  EXPECT_EQ(engine.clears, 2);
  engine.updateResult = 7;
  EXPECT_EQ(UpdateCertificateCash(handle, 5), 7);
  engine.updateResult = CRTELV_E_FAILURE;
  EXPECT_EQ(UpdateCertificateCash(handle, 5), CRTELV_E_FAILURE);
  EXPECT_EQ(engine.clears, 2);
}

TEST(ExportComposites, IsDifferentKeysAsAllBitsOrZero) {
  RecordingEngine engine;
  CrTelvEngine handle = static_cast<TCryptoEngine *>(&engine);
  EXPECT_EQ(IsDifferentKeys(handle), 0);
  engine.differentKeys = true;
  EXPECT_EQ(IsDifferentKeys(handle), -1);
}

TEST(ExportEngines, GetCryptObjMakesDistinctProviderEngines) {
  CrTelvEngine first = GetCryptObj(0);
  CrTelvEngine second = GetCryptObj(12345);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  char name[32];
  static_cast<TCryptoEngine *>(first)->GetEngineName(name);
  EXPECT_STREQ(name, "Telvora Crypto Engine");
  EXPECT_EQ(GetCryptoParamNumber(first), 13);
  EXPECT_EQ(GetMaxPublicKeyPropertiesLength(first), GetMaxReportSize(first));
  DoneEngine(first);
  DoneEngine(second);
}

TEST(ExportEngines, CallbacksAreStoredNotCalled) {
  CrTelvEngine handle = GetCryptObj(0);
  ASSERT_NE(handle, nullptr);
  auto *engine = static_cast<TCryptoEngine *>(handle);
  int password = 0, token = 0;
  SetPasswordRequestFunc(handle, &password);
  SetTMRequestFunc(handle, &token);
  EXPECT_EQ(engine->PasswordRequestFunc(), &password);
  EXPECT_EQ(engine->TMRequestFunc(), &token);
  SetRemoteGeneratePath(handle, "c:\\gen");
  EXPECT_EQ(engine->RemoteGeneratePath(), "c:\\gen\\");
  SetRemoteGeneratePath(handle, nullptr);
  EXPECT_EQ(engine->RemoteGeneratePath(), "");
  DoneEngine(handle);
}

TEST(EngineFreeExports, CheckCompatibles) {
  EXPECT_EQ(CheckCompatibles("Telvora Crypto Engine"), 1);
  EXPECT_EQ(CheckCompatibles("Ms Crypto API 2.0"), 1);
  EXPECT_EQ(CheckCompatibles("CryptoPro CSP/1.1"), 1);
  EXPECT_EQ(CheckCompatibles("cryptopro csp/1.1"), 0);
  EXPECT_EQ(CheckCompatibles("Telvora Crypto Engine "), 0);
  EXPECT_EQ(CheckCompatibles("Telvora"), 0);
  EXPECT_EQ(CheckCompatibles(""), 0);
  EXPECT_EQ(CheckCompatibles(nullptr), 0);
}

TEST(EngineFreeExports, GetMaxFilePathLength) {
  TCryptoEngine engine;
  EXPECT_EQ(GetMaxFilePathLength(nullptr), 255);
  EXPECT_EQ(GetMaxFilePathLength(&engine), 255);
}

}  // namespace
}  // namespace crtelv
