// Construction of the provider engine: its parameters, constants and name.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "provider/provider_engine.h"

namespace crtelv {
namespace {

TEST(TelvoraEngineConstruction, ThirteenParametersWithDefaults) {
  TTelvoraEngine engine;
  const std::vector<std::string> names = {
      "Profile", "PSE", "LocalStore", "LDAP", "Encrypt for UID", "Key request time out",
      "Last operation key time out", "Client\\Server mode", "Server Certificate EKU OID", "User UID Location",
      "Sign EKU restrictions", "Cash ID", "Initialize flags"};
  const std::vector<std::string> values = {"", "A:\\local.pse", "A:\\local.gdbm", "", "", "60", "5", "", "", "CN",
                                           "", "", ""};
  EXPECT_EQ(engine.GetCryptoParamNumber(), 13);
  EXPECT_EQ(engine.ParamNames(), names);
  EXPECT_EQ(engine.ParamValues(), values);
  char text[1024];
  engine.GetCryptoParamName(kParamClientServerMode, text);
  EXPECT_STREQ(text, "Client\\Server mode");
  engine.GetCryptoParamValue(kParamPSE, text);
  EXPECT_STREQ(text, "A:\\local.pse");
  engine.GetCryptoParamValue(kParamUIDLocation, text);
  EXPECT_STREQ(text, "CN");
}

TEST(TelvoraEngineConstruction, ConstantAnswers) {
  TTelvoraEngine engine;
  EXPECT_EQ(engine.GetMaxEncodeAddition(), 4096);
  EXPECT_EQ(engine.GetMaxSignatureLength(), 2048);
  EXPECT_EQ(engine.GetMaxErrorStringLength(), 300);
  EXPECT_EQ(engine.GetMaxPublicKeyTransferSize(), 12288);
  EXPECT_EQ(engine.GetMaxSignAddition(), 2048);
  EXPECT_EQ(engine.GetMaxReportSize(), 4096);
  EXPECT_EQ(engine.GetMaxUIDLength(), 255);
  EXPECT_EQ(engine.GetMaxCryptoParamValueLength(), 1024);
  EXPECT_EQ(engine.GenerateNewSSK(), kNotSupported);
  EXPECT_EQ(engine.GenerateNewSEK(), kNotSupported);
  EXPECT_EQ(engine.TransPrivateKeyFromFileToTM(), kNotSupported);
  EXPECT_EQ(engine.TransSignatureFromFileToTM(), kNotSupported);
  // The base sizes built on the engine's own limits.
  EXPECT_EQ(engine.GetMaxAdditionEx("A;B"), 8192);
  EXPECT_EQ(engine.GetMaxAdditionForCount(2), 8192);
  EXPECT_FALSE(engine.IsDifferentKeys());
}

TEST(TelvoraEngineConstruction, EngineNameIsTwentyTwoBytes) {
  TTelvoraEngine engine;
  char name[32];
  std::memset(name, '#', sizeof name);
  engine.GetEngineName(name);
  EXPECT_EQ(std::string(name, 22), std::string("Telvora Crypto Engine\0", 22));
  EXPECT_EQ(name[22], '#');
  EXPECT_NO_THROW(engine.GetEngineName(nullptr));
}

TEST(TelvoraEngineConstruction, CreateMakesAFreshProviderEngine) {
  TTelvoraEngine engine;
  engine.SetCryptoParamValue(kParamProfile, "changed");
  engine.AssignRootPath("C:\\R");
  std::unique_ptr<TCryptoEngine> made(engine.Create());
  ASSERT_NE(dynamic_cast<TTelvoraEngine *>(made.get()), nullptr);
  EXPECT_EQ(made->ParamValues()[kParamProfile - 1], "");
  EXPECT_EQ(made->RootPath(), "");
  EXPECT_EQ(made->GetCryptoParamNumber(), 13);
}

}  // namespace
}  // namespace crtelv
