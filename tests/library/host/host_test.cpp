// The built shared library as a host sees it: loaded at run time, every
// export looked up by name, nothing linked.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cr_telv.h"

namespace {

const char *const kExportNames[] = {
    "GetCryptObj", "DoneEngine", "GetMaxEncodeAddition", "GetMaxSignatureLength", "GetMaxUIDLength",
    "GetMaxCryptoParamNameLength", "GetMaxCryptoParamValueLength", "GetMaxErrorStringLength",
    "GetCryptoParamNumber", "GetCryptoParamName", "GetCryptoParamValue", "SetCryptoParamValue",
    "GetEncodeUIDBySignUID", "GetCryptoErrorString", "EncodeData", "DecodeData", "SignData", "VerifyData",
    "GetCurrentUserUID", "GenerateNewSSK", "GenerateNewSEK", "IsDifferentKeys", "SetPasswordRequestFunc",
    "GetMaxPasswordLength", "IncludePublicKey", "IncludePublicEncodeKey", "SignFile", "VerifyFile",
    "RemoveSignaturesFromFile", "GetLastErrorMessage", "SetRootPath", "TransSignatureFromFileToTM",
    "TransPrivateKeyFromFileToTM", "SetTMRequestFunc", "ClearCash", "RemoteGenerateStart", "SetRemoteGeneratePath",
    "AddSign", "RemoveSign", "GetMaxSignAddition", "GetPublicKeyTransfer", "RemoteGenerateFinish",
    "SavePublicKeyFromTransfer", "GetMaxPublicKeyTransferSize", "IncludePublicKeyTransfer",
    "ExcludeSelfPublicKeyTransfer", "GetMaxFilePathLength", "GetRemoteGenType", "SaveSignedDataToFile",
    "GetPublicKeyTransferByFile", "GetMaxReportSize", "GetReport", "GetMaxAdditionEx", "GetUIDByPublicKeyTransfer",
    "UpdateCertificateCash", "GetMaxPublicKeyPropertiesLength", "GetPublicKeyProperties", "RemoteGenerateStartEx",
    "RemoteGenerateFinishEx", "GetPublicKeyPropertiesByTransfer", "GetPublicKeyPropertiesByFile",
    "IncludeCACertificateFromTransfer", "CreateDirStructure", "RemoveCertificate", "VerifySignWOCheckValidity",
    "CertAndRequestTransferMatch", "IncludeCRL", "ConvertTransferToSignedRequest", "HashData", "ShowCertificate",
    "GetPureSign", "GetUIDByCertIdent", "InstallCertsInMyStore", "RegisterOIDInfo", "GetParamInfo",
    "CheckCompatibles"};

// The library, loaded once for the whole program.
class Library {
 public:
  static Library &Get() {
    static Library library;
    return library;
  }
  void *Handle() const { return handle_; }
  void *Find(const char *name) const { return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr; }
  std::string Error() const { return error_; }

 private:
  Library() {
    handle_ = ::dlopen(CRTELV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = ::dlerror();
  }
  void *handle_ = nullptr;
  std::string error_;
};

// An export by name, with the type the header declares for it.
#define EXPORT(name) (reinterpret_cast<decltype(&::name)>(Library::Get().Find(#name)))

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(Library::Get().Handle(), nullptr) << Library::Get().Error(); }
};

class EngineHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    engine = EXPORT(GetCryptObj)(0);
    ASSERT_NE(engine, nullptr);
  }
  void TearDown() override { EXPORT(DoneEngine)(engine); }
  CrTelvEngine engine = nullptr;
};

// Runs first, before the shared load below holds the library: each round
// really loads and unloads it (units started and stopped).
TEST(HostLoad, LoadAndUnloadRepeatedly) {
  for (int i = 0; i < 3; ++i) {
    void *handle = ::dlopen(CRTELV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto make = reinterpret_cast<decltype(&::GetCryptObj)>(::dlsym(handle, "GetCryptObj"));
    auto done = reinterpret_cast<decltype(&::DoneEngine)>(::dlsym(handle, "DoneEngine"));
    ASSERT_NE(make, nullptr);
    CrTelvEngine engine = make(0);
    EXPECT_NE(engine, nullptr);
    done(engine);
    EXPECT_EQ(::dlclose(handle), 0);
  }
}

TEST_F(HostTest, EveryExportResolvesByName) {
  EXPECT_EQ(sizeof kExportNames / sizeof kExportNames[0], 76u);
  for (const char *name : kExportNames) EXPECT_NE(Library::Get().Find(name), nullptr) << name;
  // Internals stay hidden.
  EXPECT_EQ(Library::Get().Find("_ZN6crtelv17LoadCryptoLibraryERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"),
            nullptr);
  EXPECT_EQ(Library::Get().Find("LibraryAttach"), nullptr);
}

TEST_F(HostTest, NullHandleAnswersEachFamily) {
  char out[64];
  std::memset(out, '#', sizeof out);
  int32_t value = 77;
  EXPECT_EQ(EXPORT(GetMaxEncodeAddition)(nullptr), -1);
  EXPECT_EQ(EXPORT(GetCryptoParamNumber)(nullptr), -1);
  EXPECT_EQ(EXPORT(GetMaxAdditionEx)(nullptr, "A;B"), -1);
  EXPECT_EQ(EXPORT(GetRemoteGenType)(nullptr), -1);
  EXPECT_EQ(EXPORT(IsDifferentKeys)(nullptr), -1);
  EXPECT_EQ(EXPORT(GetMaxFilePathLength)(nullptr), 255);
  EXPECT_EQ(EXPORT(SignData)(nullptr, "abc", 3, out, &value, ""), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(SetCryptoParamValue)(nullptr, 1, "x"), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(UpdateCertificateCash)(nullptr, 0), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(GetPureSign)(nullptr, 1, 2, 3, 4, 5), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(RegisterOIDInfo)(nullptr, "1.2", "n"), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(GetParamInfo)(nullptr, 1, &value, out, &value), CRTELV_E_FAILURE);
  EXPECT_EQ(EXPORT(CertAndRequestTransferMatch)(nullptr, 1, 2, &value), CRTELV_E_FAILURE);
  EXPORT(GetCryptoErrorString)(nullptr, -10, out);
  EXPORT(GetCryptoParamName)(nullptr, 1, out);
  EXPORT(GetCryptoParamValue)(nullptr, 1, out);
  EXPORT(GetLastErrorMessage)(nullptr, out);
  EXPORT(SetPasswordRequestFunc)(nullptr, out);
  EXPORT(SetTMRequestFunc)(nullptr, out);
  EXPORT(ClearCash)(nullptr);
  EXPORT(SetRemoteGeneratePath)(nullptr, "c:\\gen");
  EXPORT(DoneEngine)(nullptr);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
  EXPECT_EQ(value, 77);
}

TEST_F(HostTest, CheckCompatibles) {
  auto check = EXPORT(CheckCompatibles);
  EXPECT_EQ(check("Telvora Crypto Engine"), 1);
  EXPECT_EQ(check("Ms Crypto API 2.0"), 1);
  EXPECT_EQ(check("CryptoPro CSP/1.1"), 1);
  EXPECT_EQ(check("cryptopro csp/1.1"), 0);
  EXPECT_EQ(check(nullptr), 0);
}

TEST_F(EngineHostTest, Limits) {
  EXPECT_EQ(EXPORT(GetMaxEncodeAddition)(engine), 4096);
  EXPECT_EQ(EXPORT(GetMaxErrorStringLength)(engine), 300);
  EXPECT_EQ(EXPORT(GetMaxPublicKeyTransferSize)(engine), 12288);
  EXPECT_EQ(EXPORT(GetMaxFilePathLength)(engine), 255);
  EXPECT_EQ(EXPORT(GetMaxPublicKeyPropertiesLength)(engine), EXPORT(GetMaxReportSize)(engine));
  EXPECT_EQ(EXPORT(GetMaxAdditionEx)(engine, "A;B;"), 3 * 4096);
  EXPECT_EQ(EXPORT(IsDifferentKeys)(engine), 0);
}

TEST_F(EngineHostTest, Parameters) {
  ASSERT_EQ(EXPORT(GetCryptoParamNumber)(engine), 13);
  std::vector<char> name(EXPORT(GetMaxCryptoParamNameLength)(engine));
  std::vector<char> value(EXPORT(GetMaxCryptoParamValueLength)(engine) + 16, '#');
  EXPORT(GetCryptoParamName)(engine, 2, name.data());
  EXPORT(GetCryptoParamValue)(engine, 2, value.data());
  EXPECT_STREQ(name.data(), "PSE");
  EXPECT_STREQ(value.data(), "A:\\local.pse");
  EXPORT(GetCryptoParamName)(engine, 14, name.data());
  EXPECT_STREQ(name.data(), "");

  const std::string longValue(2000, 'v');
  EXPECT_EQ(EXPORT(SetCryptoParamValue)(engine, 5, longValue.c_str()), CRTELV_OK);
  std::fill(value.begin(), value.end(), '#');
  EXPORT(GetCryptoParamValue)(engine, 5, value.data());
  EXPECT_EQ(std::string(value.data()), std::string(1023, 'v'));
  EXPECT_EQ(value[1024], '#');
  EXPECT_EQ(EXPORT(SetCryptoParamValue)(engine, 14, "x"), CRTELV_E_NOT_SUPPORTED);
}

TEST_F(EngineHostTest, ParameterInformation) {
  int32_t kind = 0, size = 0;
  EXPECT_EQ(EXPORT(GetParamInfo)(engine, 2, &kind, nullptr, &size), CRTELV_OK);
  EXPECT_EQ(kind, 10);
  EXPECT_EQ(size, 6);
  char info[32];
  size = sizeof info;
  EXPECT_EQ(EXPORT(GetParamInfo)(engine, 8, &kind, info, &size), CRTELV_OK);
  EXPECT_STREQ(info, "CLIENT\r\nSERVER");
  EXPECT_EQ(EXPORT(GetParamInfo)(engine, 13, &kind, info, &size), CRTELV_E_NO_PARAM);
}

TEST_F(EngineHostTest, OperationsWithoutAProviderEngineMeaning) {
  int32_t match = 0;
  EXPECT_EQ(EXPORT(VerifyFile)(engine, 1, 2), CRTELV_E_NOT_SUPPORTED);
  EXPECT_EQ(EXPORT(GetPureSign)(engine, 1, 2, 3, 4, 5), CRTELV_E_NOT_SUPPORTED);
  EXPECT_EQ(EXPORT(RegisterOIDInfo)(engine, "1.2.643", "\xC0"), CRTELV_E_NOT_SUPPORTED);
  EXPECT_EQ(EXPORT(GenerateNewSSK)(engine), CRTELV_E_NOT_SUPPORTED);
  EXPECT_EQ(EXPORT(CertAndRequestTransferMatch)(engine, 1, 2, &match), CRTELV_OK);
  EXPECT_EQ(match, -1);
  // Without a cache refresh of its own the engine clears the cache instead.
  EXPECT_EQ(EXPORT(UpdateCertificateCash)(engine, 0), CRTELV_OK);
  char message[8] = "#######";
  EXPORT(GetLastErrorMessage)(engine, message);
  EXPECT_EQ(std::string(message, 2), std::string("\0#", 2));
}

TEST_F(EngineHostTest, SignedDataFile) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("crtelv_host_" + std::to_string(::getpid()) + ".bin");
  EXPECT_EQ(EXPORT(SaveSignedDataToFile)(engine, "data", 4, "SIG", 3, file.c_str()), CRTELV_OK);
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "dataSIG");
  std::filesystem::remove(file);
  EXPECT_EQ(EXPORT(SaveSignedDataToFile)(engine, "data", 4, "SIG", 3, "/nonexistent-folder/x/y.bin"),
            CRTELV_E_SAVE_WRITE);
}

std::size_t Occurrences(const std::string &text, const std::string &part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(EngineHostTest, RootPathOncePerProcess) {
  // The process root shows in the search path: its folders go in front once.
  const char *saved = std::getenv("PATH");
  const std::string savedPath = saved != nullptr ? saved : "";
  CrTelvEngine other = EXPORT(GetCryptObj)(0);
  EXPORT(SetRootPath)(engine, "/crtelv-host-root");
  EXPORT(SetRootPath)(other, "/crtelv-elsewhere");
  EXPORT(SetRootPath)(other, "/crtelv-host-root\\");
  const std::string path = std::getenv("PATH");
  EXPECT_EQ(path.rfind("/crtelv-host-root/USER/:/crtelv-host-root/SYSTEM/:/crtelv-host-root/EXE/", 0), 0u) << path;
  EXPECT_EQ(Occurrences(path, "/crtelv-host-root/USER/"), 1u);
  EXPECT_EQ(Occurrences(path, "crtelv-elsewhere"), 0u);
  EXPORT(DoneEngine)(other);
  ::setenv("PATH", savedPath.c_str(), 1);
}
}  // namespace
