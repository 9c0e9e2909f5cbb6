// The base engine: the default of every slot, the two dispatchers and the
// operations that are defined through other operations.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "engine/crypto_engine.h"
#include "support/failure.h"

namespace crtelv {
namespace {

TEST(BaseEngineDefaults, LimitsAndConstants) {
  TCryptoEngine engine;
  EXPECT_EQ(engine.GetMaxEncodeAddition(), 255);
  EXPECT_EQ(engine.GetMaxSignatureLength(), 255);
  EXPECT_EQ(engine.GetMaxUIDLength(), 255);
  EXPECT_EQ(engine.GetMaxCryptoParamNameLength(), 255);
  EXPECT_EQ(engine.GetMaxCryptoParamValueLength(), 1024);
  EXPECT_EQ(engine.GetMaxErrorStringLength(), 255);
  EXPECT_EQ(engine.GetMaxPasswordLength(), 255);
  EXPECT_EQ(engine.GetCryptoParamNumber(), 0);
  EXPECT_EQ(engine.GetMaxPublicKeyTransferSize(), 4096);
  EXPECT_EQ(engine.GetMaxSignAddition(), 510);
  EXPECT_EQ(engine.GetMaxAdditionForCount(3), 765);
  EXPECT_EQ(engine.GetRemoteGenType(), 1);
  EXPECT_EQ(engine.GetMaxReportSize(), -1);
  EXPECT_EQ(TCryptoEngine::GetMaxFilePathLength(), 255);
  EXPECT_FALSE(engine.IsDifferentKeys());
}

TEST(BaseEngineDefaults, FreshStateIsEmpty) {
  TCryptoEngine engine;
  EXPECT_TRUE(engine.ParamNames().empty());
  EXPECT_TRUE(engine.ParamValues().empty());
  EXPECT_EQ(engine.PasswordRequestFunc(), nullptr);
  EXPECT_EQ(engine.TMRequestFunc(), nullptr);
  EXPECT_EQ(engine.RootPath(), "");
  EXPECT_EQ(engine.RemoteGeneratePath(), "");
  EXPECT_EQ(engine.LastErrorText().GetText(), "");
}

TEST(BaseEngineDefaults, EveryUnsupportedOperationAnswersMinusOne) {
  TCryptoEngine engine;
  char text[64] = "untouched";
  char buffer[64] = {};
  int32_t size = 5;
  const Raw r = 7;
  const std::vector<std::pair<const char *, std::function<int32_t()>>> operations = {
      {"ReservedOperation", [&] { return engine.ReservedOperation(); }},
      {"IncludeObjectKind9", [&] { return engine.IncludeObjectKind9(r, r, r); }},
      {"IncludeObjectKind1", [&] { return engine.IncludeObjectKind1(r, r, r); }},
      {"IncludeObjectKind3", [&] { return engine.IncludeObjectKind3(r, r, r); }},
      {"IncludeObjectKind5", [&] { return engine.IncludeObjectKind5(r, r, r); }},
      {"IncludeObjectKind6", [&] { return engine.IncludeObjectKind6(r, r); }},
      {"IncludeObjectKind11", [&] { return engine.IncludeObjectKind11(r, r, r); }},
      {"ProcessObjectKind4", [&] { return engine.ProcessObjectKind4(r, r, r); }},
      {"ProcessObjectKind5", [&] { return engine.ProcessObjectKind5(r, r, r, r); }},
      {"IncludePublicKey", [&] { return engine.IncludePublicKey(text); }},
      {"UpdateCertificateCash", [&] { return engine.UpdateCertificateCash(r); }},
      {"RemoveCertificate", [&] { return engine.RemoveCertificate(r); }},
      {"IncludeCRL", [&] { return engine.IncludeCRL(text); }},
      {"GenerateNewSSK", [&] { return engine.GenerateNewSSK(); }},
      {"GenerateNewSEK", [&] { return engine.GenerateNewSEK(); }},
      {"IncludePublicEncodeKey", [&] { return engine.IncludePublicEncodeKey(text); }},
      {"SignFile", [&] { return engine.SignFile(r); }},
      {"VerifyFile", [&] { return engine.VerifyFile(r, r); }},
      {"RemoveSignaturesFromFile", [&] { return engine.RemoveSignaturesFromFile(r); }},
      {"TransPrivateKeyFromFileToTM", [&] { return engine.TransPrivateKeyFromFileToTM(); }},
      {"TransSignatureFromFileToTM", [&] { return engine.TransSignatureFromFileToTM(); }},
      {"RemoteGenerateStart", [&] { return engine.RemoteGenerateStart(buffer); }},
      {"RemoteGenerateFinish", [&] { return engine.RemoteGenerateFinish(text); }},
      {"ExcludeSelfPublicKeyTransfer", [&] { return engine.ExcludeSelfPublicKeyTransfer(buffer); }},
      {"IncludePublicKeyTransfer", [&] { return engine.IncludePublicKeyTransfer(text); }},
      {"GetPublicKeyTransfer", [&] { return engine.GetPublicKeyTransfer(text, buffer); }},
      {"SavePublicKeyFromTransfer", [&] { return engine.SavePublicKeyFromTransfer(text, text); }},
      {"RemoteGenerateStartEx", [&] { return engine.RemoteGenerateStartEx(r, r, r); }},
      {"RemoteGenerateFinishEx", [&] { return engine.RemoteGenerateFinishEx(r, r); }},
      {"GetPublicKeyTransferByFile", [&] { return engine.GetPublicKeyTransferByFile(buffer, text); }},
      {"IncludeCACertificateFromTransfer", [&] { return engine.IncludeCACertificateFromTransfer(r); }},
      {"AddSign", [&] { return engine.AddSign(buffer, &size, r); }},
      {"RemoveSignature", [&] { return engine.RemoveSignature(buffer, &size, buffer); }},
      {"GetReport", [&] { return engine.GetReport(text, buffer); }},
      {"GetUIDByPublicKeyTransfer", [&] { return engine.GetUIDByPublicKeyTransfer(r, r); }},
      {"GetReportByTransfer", [&] { return engine.GetReportByTransfer(text, buffer); }},
      {"GetReportByFile", [&] { return engine.GetReportByFile(text, buffer); }},
      {"CreateDirStructure", [&] { return engine.CreateDirStructure(r, r); }},
      {"ConvertTransferToSignedRequest", [&] { return engine.ConvertTransferToSignedRequest(r); }},
      {"HashData", [&] { return engine.HashData(text, 3, 0, buffer, &size); }},
      {"ShowCertificate", [&] { return engine.ShowCertificate(text); }},
      {"GetPureSign", [&] { return engine.GetPureSign(r, r, r, r, r); }},
      {"GetUIDByCertIdent", [&] { return engine.GetUIDByCertIdent(text, buffer); }},
      {"InstallCertsInMyStore", [&] { return engine.InstallCertsInMyStore(r); }},
      {"RegisterOIDInfo", [&] { return engine.RegisterOIDInfo("1.2.3", u"name"); }},
      {"GetParamInfo", [&] { return engine.GetParamInfo(1, &size, buffer, &size); }},
  };
  for (const auto &[name, operation] : operations) EXPECT_EQ(operation(), kNotSupported) << name;
  // The defaults read no argument, so they write none either.
  EXPECT_EQ(size, 5);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_STREQ(text, "untouched");
}

TEST(BaseEngineDefaults, AbstractOperationsRaise) {
  TCryptoEngine engine;
  char buffer[64] = {};
  int32_t size = 3;
  EXPECT_THROW(engine.GetEngineName(buffer), EAbstractError);
  EXPECT_THROW(engine.GetEncodeUIDBySignUID("a", buffer), EAbstractError);
  EXPECT_THROW(engine.GetCurrentUID(buffer), EAbstractError);
  EXPECT_THROW(engine.EncodeData(buffer, &size, "a"), EAbstractError);
  EXPECT_THROW(engine.DecodeData(buffer, &size, buffer), EAbstractError);
  EXPECT_THROW(engine.SignData("abc", 3, buffer, &size, ""), EAbstractError);
  EXPECT_THROW(engine.VerifyData("abc", 3, buffer, 3, buffer), EAbstractError);
  // Through the default that is defined by VerifyData.
  EXPECT_THROW(engine.VerifySignWOCheckValidity("abc", 3, buffer, 3, buffer), EAbstractError);
}

TEST(BaseEngineDefaults, CallbacksAndClearCash) {
  TCryptoEngine engine;
  int marker = 0;
  engine.SetPasswordRequestFunc(&marker);
  engine.SetTMRequestFunc(&engine);
  engine.ClearCash();
  EXPECT_EQ(engine.PasswordRequestFunc(), &marker);
  EXPECT_EQ(engine.TMRequestFunc(), &engine);
}

TEST(BaseEngineDefaults, CertAndRequestTransferMatchAnswersUnknown) {
  TCryptoEngine engine;
  int32_t match = 5;
  EXPECT_EQ(engine.CertAndRequestTransferMatch(1, 2, &match), kOk);
  EXPECT_EQ(match, -1);
  // No place for the answer: not reported as success.
  EXPECT_EQ(engine.CertAndRequestTransferMatch(1, 2, nullptr), kFailure);
}

TEST(BaseEngineDefaults, CreateMakesAFreshEngineOfTheSameClass) {
  TCryptoEngine engine;
  engine.AssignRootPath("C:\\R");
  std::unique_ptr<TCryptoEngine> made(engine.Create());
  ASSERT_NE(made, nullptr);
  const TCryptoEngine &object = *made;
  EXPECT_EQ(typeid(object), typeid(TCryptoEngine));
  EXPECT_EQ(made->RootPath(), "");
}

TEST(BaseEngineDefaults, DerivedSizesOverflowToTheLargestSize) {
  TCryptoEngine engine;
  EXPECT_EQ(engine.GetMaxAdditionForCount(INT_MAX), INT_MAX);
  EXPECT_EQ(engine.GetMaxAdditionForCount(-1), -255);
  EXPECT_EQ(engine.GetMaxAdditionForCount(0), 0);
}

// Records the calls of the operations that the dispatchers and the derived
// defaults reach.
class RecordingEngine : public TCryptoEngine {
 public:
  std::vector<std::string> calls;

  int32_t IncludeObjectKind9(Raw a, Raw b, Raw c) override { return Note("Kind9", {a, b, c}); }
  int32_t IncludeObjectKind1(Raw a, Raw b, Raw c) override { return Note("Kind1", {a, b, c}); }
  int32_t IncludeObjectKind5(Raw a, Raw b, Raw c) override { return Note("Kind5", {a, b, c}); }
  int32_t IncludeObjectKind6(Raw a, Raw b) override { return Note("Kind6", {a, b}); }
  int32_t IncludeObjectKind11(Raw a, Raw b, Raw c) override { return Note("Kind11", {a, b, c}); }
  int32_t ProcessObjectKind4(Raw a, Raw b, Raw c) override { return Note("Process4", {a, b, c}); }
  int32_t ProcessObjectKind5(Raw a, Raw b, Raw c, Raw d) override { return Note("Process5", {a, b, c, d}); }
  int32_t IncludePublicKey(const char *f) override { return Note("IncludePublicKey", {Raw(f)}); }
  int32_t IncludePublicEncodeKey(const char *f) override { return Note("IncludePublicEncodeKey", {Raw(f)}); }
  int32_t IncludePublicKeyTransfer(const char *t) override { return Note("IncludePublicKeyTransfer", {Raw(t)}); }
  int32_t IncludeCACertificateFromTransfer(Raw a) override { return Note("IncludeCACertificate", {a}); }
  int32_t IncludeCRL(const char *f) override { return Note("IncludeCRL", {Raw(f)}); }
  int32_t VerifyData(const void *data, int32_t dataSize, const void *sign, int32_t signSize,
                     char *signer) override {
    return Note("VerifyData", {Raw(data), dataSize, Raw(sign), signSize, Raw(signer)});
  }
  int32_t GetMaxEncodeAddition() override { return 4096; }
  int32_t GetMaxSignatureLength() override { return 2048; }

  std::string Last() const { return calls.empty() ? std::string() : calls.back(); }

 private:
  int32_t Note(const char *name, std::initializer_list<Raw> args) {
    std::string call = name;
    for (Raw arg : args) call += " " + std::to_string(arg);
    calls.push_back(call);
    return static_cast<int32_t>(calls.size()) + 100;
  }
};

TEST(EngineDispatch, IncludeObjectRoutesEveryKind) {
  RecordingEngine engine;
  const Raw a = 11, b = 22, c = 33;
  const std::vector<std::pair<int32_t, std::string>> routes = {
      {1, "Kind1 11 22 33"},
      {2, "IncludePublicKey 22"},
      {3, "Kind1 11 22 33"},  // Kind 3 defaults to kind 1
      {4, "IncludePublicEncodeKey 22"},
      {5, "Kind5 11 22 33"},
      {6, "Kind6 11 22"},
      {7, "IncludePublicKeyTransfer 22"},
      {8, "IncludeCACertificate 22"},
      {9, "Kind9 11 22 33"},
      {10, "IncludeCRL 22"},
      {11, "Kind11 11 22 33"},
  };
  for (const auto &[kind, expected] : routes) {
    int32_t result = engine.IncludeObject(kind, a, b, c);
    EXPECT_EQ(engine.Last(), expected) << "kind " << kind;
    EXPECT_EQ(result, static_cast<int32_t>(engine.calls.size()) + 100) << "kind " << kind;
  }
  const std::size_t before = engine.calls.size();
  for (int32_t kind : {0, 12, -1, INT_MAX}) EXPECT_EQ(engine.IncludeObject(kind, a, b, c), kNotSupported);
  EXPECT_EQ(engine.calls.size(), before);
}

TEST(EngineDispatch, ProcessObjectRoutesKindsFourAndFive) {
  RecordingEngine engine;
  engine.ProcessObject(4, 1, 2, 3, 4, 5);
  EXPECT_EQ(engine.Last(), "Process4 3 4 5");
  engine.ProcessObject(5, 1, 2, 3, 4, 5);
  EXPECT_EQ(engine.Last(), "Process5 3 1 4 5");
  for (int32_t kind : {0, 1, 3, 6}) EXPECT_EQ(engine.ProcessObject(kind, 1, 2, 3, 4, 5), kNotSupported);
  EXPECT_EQ(engine.calls.size(), 2u);
}

TEST(EngineDispatch, IncludePublicKeyThroughKindTwoSeesTheFileName) {
  // A descendant that supports IncludePublicKey gets the text behind B.
  struct FileEngine : TCryptoEngine {
    std::string seen;
    int32_t IncludePublicKey(const char *fileName) override {
      seen = fileName;
      return kOk;
    }
  } engine;
  const char *file = "c:\\certs\\a.cer";
  EXPECT_EQ(engine.IncludeObject(2, 0, reinterpret_cast<Raw>(file), 0), kOk);
  EXPECT_EQ(engine.seen, file);
}

TEST(EngineDispatch, VerifySignWOCheckValidityIsVerifyData) {
  RecordingEngine engine;
  char signer[4] = {};
  int32_t result = engine.VerifySignWOCheckValidity(reinterpret_cast<void *>(1), 2, reinterpret_cast<void *>(3), 4,
                                                    signer);
  EXPECT_EQ(result, 101);
  EXPECT_EQ(engine.Last(), "VerifyData 1 2 3 4 " + std::to_string(reinterpret_cast<Raw>(signer)));
}

TEST(EngineDispatch, DerivedSizesFollowADescendantsLimits) {
  RecordingEngine engine;
  EXPECT_EQ(engine.GetMaxSignAddition(), 2048 + 255);
  EXPECT_EQ(engine.GetMaxAdditionForCount(3), 3 * 4096);
  EXPECT_EQ(engine.GetMaxAdditionEx("A;B"), 2 * 4096);
}

TEST(CopyToBuffer, CopiesTheTerminatorOnlyWhenItFits) {
  char dest[8];
  std::memset(dest, 'X', sizeof dest);
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("abc", dest, 3));
  EXPECT_EQ(std::string(dest, 4), "abcX");
  std::memset(dest, 'X', sizeof dest);
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("abc", dest, 4));
  EXPECT_EQ(std::string(dest, 5), std::string("abc\0X", 5));
  std::memset(dest, 'X', sizeof dest);
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("abc", dest, 8));
  EXPECT_EQ(std::string(dest, 5), std::string("abc\0X", 5));
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("", dest, 1));
  EXPECT_EQ(dest[0], '\0');
}

TEST(CopyToBuffer, RefusesNullPointersAndEmptySizes) {
  char dest[4] = {'X', 'X', 'X', 'X'};
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer(nullptr, dest, 4));
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer("abc", nullptr, 4));
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer("abc", dest, 0));
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer("abc", dest, -5));
  EXPECT_EQ(std::string(dest, 4), "XXXX");
}

}  // namespace
}  // namespace crtelv
