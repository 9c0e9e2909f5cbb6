// The search for the provider library: the library search first, then the
// folder of the loaded Korvex module.
#include <gtest/gtest.h>

#include <string>

#include "engine/crypto_engine.h"
#include "platform/platform.h"
#include "support/root_path.h"

namespace crtelv {
namespace {

const std::string kModules = CRTELV_ENGINE_MODULES;

// The origin text of a loaded test module; the module is released.
std::string OriginOf(platform::ModuleHandle module) {
  if (module == nullptr) return "(none)";
  using OriginFunc = const char *(*)();
  auto origin = reinterpret_cast<OriginFunc>(platform::FindEntryPoint(module, "ModuleOrigin"));
  std::string text = origin != nullptr ? origin() : "(no entry)";
  platform::FreeModule(module);
  return text;
}

// Starts every test with no process root and the Korvex module not loaded,
// and leaves it so.
class CryptoLibrarySearch : public ::testing::Test {
 protected:
  void SetUp() override { ResetRoot(); }
  void TearDown() override {
    if (korvex_ != nullptr) platform::FreeModule(korvex_);
    ResetRoot();
  }
  static void ResetRoot() {
    RootPathUnitDone();
    RootPathUnitInit();
  }
  void LoadKorvex() {
    korvex_ = platform::LoadModule(kModules + "korvex/Korvex.dll");
    ASSERT_NE(korvex_, nullptr);
    ASSERT_EQ(platform::FindLoadedModule("Korvex.dll"), korvex_);
  }
  platform::ModuleHandle korvex_ = nullptr;
};

TEST_F(CryptoLibrarySearch, NothingFoundWithoutRootOrKorvex) {
  EXPECT_EQ(LoadCryptoLibrary("crtelv_cryptomod.dll"), nullptr);
  EXPECT_EQ(LoadCryptoLibrary("crtelv_no_such_module.dll"), nullptr);
}

TEST_F(CryptoLibrarySearch, KorvexFolderIsTheLastPlace) {
  LoadKorvex();
  EXPECT_EQ(OriginOf(LoadCryptoLibrary("crtelv_cryptomod.dll")), "korvex");
  EXPECT_EQ(OriginOf(LoadCryptoLibrary("crtelv_korvexonly.dll")), "korvexonly");
  EXPECT_EQ(LoadCryptoLibrary("crtelv_no_such_module.dll"), nullptr);
}

TEST_F(CryptoLibrarySearch, RootFoldersComeBeforeKorvex) {
  SetProcessRoot(kModules + "root");
  LoadKorvex();
  EXPECT_EQ(OriginOf(LoadCryptoLibrary("crtelv_cryptomod.dll")), "root");
  // What the root's folders lack is still found beside Korvex.
  EXPECT_EQ(OriginOf(LoadCryptoLibrary("crtelv_korvexonly.dll")), "korvexonly");
}

TEST_F(CryptoLibrarySearch, RootFoldersWithoutKorvex) {
  SetProcessRoot(kModules + "root");
  EXPECT_EQ(OriginOf(LoadCryptoLibrary("crtelv_cryptomod.dll")), "root");
  EXPECT_EQ(LoadCryptoLibrary("crtelv_korvexonly.dll"), nullptr);
}

TEST_F(CryptoLibrarySearch, NameWithAFolderIsLoadedFromThere) {
  LoadKorvex();
  EXPECT_EQ(OriginOf(LoadCryptoLibrary(kModules + "root/EXE/crtelv_cryptomod.dll")), "root");
}

}  // namespace
}  // namespace crtelv
