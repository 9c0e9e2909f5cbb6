// Loading and unloading the library as a host does, with the provider double
// in the root's EXE folder. Runs in a process of its own (see suite.cmake):
// the library must be loaded only by these tests for dlclose to unload it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cr_telv.h"
#include "sim_client.h"

namespace {

class HostUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Load(std::string(CRTELV_SIMROOT_DIR) + "/complete/EXE/cpki1.dll"));
    sim.Reset();
    library = ::dlopen(CRTELV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (library != nullptr) ::dlclose(library);
  }
  template <typename F>
  F Export(const char *name) {
    return reinterpret_cast<F>(::dlsym(library, name));
  }

  // The user's own certificate, "User1".
  void AddOwnUser() {
    SimCert own{};
    own.Issuer = "CN=Test CA";
    own.Serial = "01";
    own.Subject = "CN=User1,O=Example";
    own.Store = TELVORA_STORE_OWN;
    sim.AddCert(own);
  }

  SimApi sim;
  void *library = nullptr;
};

TEST_F(HostUnload, UnloadingEndsCachedSessionsBeforeTheProviderGoes) {
  AddOwnUser();

  auto getCryptObj = Export<decltype(&GetCryptObj)>("GetCryptObj");
  auto setRootPath = Export<decltype(&SetRootPath)>("SetRootPath");
  auto currentUID = Export<decltype(&GetCurrentUserUID)>("GetCurrentUserUID");
  auto doneEngine = Export<decltype(&DoneEngine)>("DoneEngine");
  CrTelvEngine engine = getCryptObj(0);
  ASSERT_NE(engine, nullptr);
  setRootPath(engine, (std::string(CRTELV_SIMROOT_DIR) + "/complete").c_str());
  char uid[256] = {};
  ASSERT_EQ(currentUID(engine, uid), 0);
  EXPECT_STREQ(uid, "User1");
  doneEngine(engine);
  // The engine is gone, the binding and its session stay cached.
  EXPECT_EQ(sim.SimOpenSessions(), 1);

  ASSERT_EQ(::dlclose(library), 0);
  library = nullptr;
  EXPECT_EQ(sim.SimOpenSessions(), 0);
  EXPECT_EQ(sim.CallsOf("VCERT_Uninitialize").size(), 1u);
  EXPECT_EQ(sim.SimOutstanding(), 0);
}

TEST_F(HostUnload, UnloadingBeforeAnyOperationLeavesTheProviderAlone) {
  auto getCryptObj = Export<decltype(&GetCryptObj)>("GetCryptObj");
  auto doneEngine = Export<decltype(&DoneEngine)>("DoneEngine");
  doneEngine(getCryptObj(0));
  ASSERT_EQ(::dlclose(library), 0);
  library = nullptr;
  EXPECT_EQ(sim.SimCallCount(), 0);
}

// A process that ends with a session cached must not call a provider that
// has already shut itself down (its exit handlers ran before the library's).
TEST_F(HostUnload, ProcessExitWithCachedSessionsLeavesTheProviderAlone) {
  AddOwnUser();
  auto getCryptObj = Export<decltype(&GetCryptObj)>("GetCryptObj");
  auto setRootPath = Export<decltype(&SetRootPath)>("SetRootPath");
  auto currentUID = Export<decltype(&GetCurrentUserUID)>("GetCurrentUserUID");
  EXPECT_EXIT(
      {
        CrTelvEngine engine = getCryptObj(0);
        setRootPath(engine, (std::string(CRTELV_SIMROOT_DIR) + "/complete").c_str());
        char uid[256] = {};
        if (currentUID(engine, uid) != 0 || sim.SimOpenSessions() != 1) std::_Exit(2);
        sim.SimShutdownAtExit();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
