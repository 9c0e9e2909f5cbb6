// A host's view of cr_telv.dll on Windows: the library is loaded with
// LoadLibraryA and reached only through its export table, by name and by
// ordinal, the way a host written against the ordinals binds to it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// Result families of the exports when the engine handle is null.
enum class Family {
  kHandle,     // GetCryptObj: returns a new engine
  kProcedure,  // no result
  kSize,       // -1
  kCode,       // -10
  kFixed255,   // GetMaxFilePathLength: 255 without an engine
  kNoHandle,   // CheckCompatibles: its one argument is a text, 0 for null
};

struct Export {
  int ordinal;
  const char *name;
  int arguments;  // 32-bit words the callee removes from the stack
  Family family;
};

// The export table: ordinal, name, argument count, null-handle result.
constexpr std::array<Export, 76> kExports = {{
    {1, "GetCryptObj", 1, Family::kHandle},
    {2, "DoneEngine", 1, Family::kProcedure},
    {3, "GetMaxEncodeAddition", 1, Family::kSize},
    {4, "GetMaxSignatureLength", 1, Family::kSize},
    {5, "GetMaxUIDLength", 1, Family::kSize},
    {6, "GetMaxCryptoParamNameLength", 1, Family::kSize},
    {7, "GetMaxCryptoParamValueLength", 1, Family::kSize},
    {8, "GetMaxErrorStringLength", 1, Family::kSize},
    {9, "GetCryptoParamNumber", 1, Family::kSize},
    {10, "GetCryptoParamName", 3, Family::kProcedure},
    {11, "GetCryptoParamValue", 3, Family::kProcedure},
    {12, "SetCryptoParamValue", 3, Family::kCode},
    {13, "GetEncodeUIDBySignUID", 3, Family::kCode},
    {14, "GetCryptoErrorString", 3, Family::kProcedure},
    {15, "EncodeData", 4, Family::kCode},
    {16, "DecodeData", 4, Family::kCode},
    {17, "SignData", 6, Family::kCode},
    {18, "VerifyData", 6, Family::kCode},
    {19, "GetCurrentUserUID", 2, Family::kCode},
    {20, "GenerateNewSSK", 1, Family::kCode},
    {21, "GenerateNewSEK", 1, Family::kCode},
    {22, "IsDifferentKeys", 1, Family::kSize},
    {23, "SetPasswordRequestFunc", 2, Family::kProcedure},
    {24, "GetMaxPasswordLength", 1, Family::kSize},
    {25, "IncludePublicKey", 2, Family::kCode},
    {26, "IncludePublicEncodeKey", 2, Family::kCode},
    {27, "SignFile", 2, Family::kCode},
    {28, "VerifyFile", 3, Family::kCode},
    {29, "RemoveSignaturesFromFile", 2, Family::kCode},
    {30, "GetLastErrorMessage", 2, Family::kProcedure},
    {31, "SetRootPath", 2, Family::kProcedure},
    {32, "TransSignatureFromFileToTM", 1, Family::kCode},
    {33, "TransPrivateKeyFromFileToTM", 1, Family::kCode},
    {34, "SetTMRequestFunc", 2, Family::kProcedure},
    {35, "ClearCash", 1, Family::kProcedure},
    {36, "RemoteGenerateStart", 2, Family::kCode},
    {37, "SetRemoteGeneratePath", 2, Family::kProcedure},
    {38, "AddSign", 4, Family::kCode},
    {39, "RemoveSign", 4, Family::kCode},
    {40, "GetMaxSignAddition", 1, Family::kSize},
    {41, "GetPublicKeyTransfer", 3, Family::kCode},
    {42, "RemoteGenerateFinish", 2, Family::kCode},
    {43, "SavePublicKeyFromTransfer", 3, Family::kCode},
    {44, "GetMaxPublicKeyTransferSize", 1, Family::kSize},
    {45, "IncludePublicKeyTransfer", 2, Family::kCode},
    {46, "ExcludeSelfPublicKeyTransfer", 2, Family::kCode},
    {47, "GetMaxFilePathLength", 1, Family::kFixed255},
    {48, "GetRemoteGenType", 1, Family::kSize},
    {49, "SaveSignedDataToFile", 6, Family::kCode},
    {50, "GetPublicKeyTransferByFile", 3, Family::kCode},
    {51, "GetMaxReportSize", 1, Family::kSize},
    {52, "GetReport", 3, Family::kCode},
    {53, "GetMaxAdditionEx", 2, Family::kSize},
    {54, "GetUIDByPublicKeyTransfer", 3, Family::kCode},
    {55, "UpdateCertificateCash", 2, Family::kCode},
    {56, "GetMaxPublicKeyPropertiesLength", 1, Family::kSize},
    {57, "GetPublicKeyProperties", 3, Family::kCode},
    {58, "RemoteGenerateStartEx", 4, Family::kCode},
    {59, "RemoteGenerateFinishEx", 3, Family::kCode},
    {60, "GetPublicKeyPropertiesByTransfer", 3, Family::kCode},
    {61, "GetPublicKeyPropertiesByFile", 3, Family::kCode},
    {62, "IncludeCACertificateFromTransfer", 2, Family::kCode},
    {63, "CreateDirStructure", 3, Family::kCode},
    {64, "RemoveCertificate", 2, Family::kCode},
    {65, "VerifySignWOCheckValidity", 6, Family::kCode},
    {66, "CertAndRequestTransferMatch", 4, Family::kCode},
    {67, "IncludeCRL", 2, Family::kCode},
    {68, "ConvertTransferToSignedRequest", 2, Family::kCode},
    {69, "HashData", 6, Family::kCode},
    {70, "ShowCertificate", 2, Family::kCode},
    {71, "GetPureSign", 6, Family::kCode},
    {72, "GetUIDByCertIdent", 3, Family::kCode},
    {73, "InstallCertsInMyStore", 2, Family::kCode},
    {74, "RegisterOIDInfo", 3, Family::kCode},
    {75, "GetParamInfo", 5, Family::kCode},
    {76, "CheckCompatibles", 1, Family::kNoHandle},
}};

using Engine = void *;
using GetCryptObj_t = Engine(__stdcall *)(intptr_t);
using DoneEngine_t = void(__stdcall *)(Engine);
using SizeQuery_t = int32_t(__stdcall *)(Engine);
using CheckCompatibles_t = int32_t(__stdcall *)(const char *);
using GetCryptoErrorString_t = void(__stdcall *)(Engine, int32_t, char *);

template <typename T>
T As(FARPROC proc) {
  T fn;
  static_assert(sizeof(fn) == sizeof(proc));
  std::memcpy(&fn, &proc, sizeof(fn));
  return fn;
}

FARPROC ByOrdinal(HMODULE module, int ordinal) {
  return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

// The full name of cr_telv.dll beside this program, so that no other copy on
// the system's search path is picked up.
std::string LibraryPath() {
  char buffer[MAX_PATH * 2] = {};
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  std::string path(buffer, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + "cr_telv.dll";
}

// Calls an export with `count` zero words as arguments, pushed as a
// standard call pushes them, and measures how far the stack pointer moved
// across the call: 0 when the callee removed exactly its arguments.
struct CallOutcome {
  uint32_t result;
  int32_t stackMoved;
};

__attribute__((noinline)) CallOutcome CallWithZeros(FARPROC fn, int count) {
  uint32_t result;
  int32_t moved;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "movl %[count], %%ecx\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl $0\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[fn]\n\t"
      "movl %%esp, %%edx\n\t"
      "subl %%esi, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=&a"(result), "=&d"(moved)
      : [fn] "b"(fn), [count] "D"(count)
      : "ecx", "esi", "memory", "cc");
  return {result, moved};
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(LibraryPath().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibraryA(" << LibraryPath() << ") failed: " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) {
      EXPECT_TRUE(FreeLibrary(module_));
    }
  }

  FARPROC Name(const char *name) const { return GetProcAddress(module_, name); }
  FARPROC Ordinal(int ordinal) const { return ByOrdinal(module_, ordinal); }

  HMODULE module_ = nullptr;
};

TEST_F(HostTest, EveryExportIsReachableByNameAndByItsOrdinalAtTheSameAddress) {
  for (const Export &e : kExports) {
    SCOPED_TRACE(e.name);
    FARPROC byName = Name(e.name);
    FARPROC byOrdinal = Ordinal(e.ordinal);
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName, byOrdinal);
  }
  EXPECT_EQ(Ordinal(77), nullptr);
}

TEST_F(HostTest, ExportNamesCarryNoDecoration) {
  for (const Export &e : kExports) {
    SCOPED_TRACE(e.name);
    const std::string decorated = std::string(e.name) + "@" + std::to_string(4 * e.arguments);
    EXPECT_EQ(Name(decorated.c_str()), nullptr);
    EXPECT_EQ(Name(("_" + decorated).c_str()), nullptr);
    EXPECT_EQ(Name(("_" + std::string(e.name)).c_str()), nullptr);
  }
}

// The module's own export directory: 76 entries from ordinal 1, each named
// once, and no name besides the table's.
TEST_F(HostTest, ExportDirectoryHoldsExactlyTheTable) {
  auto *base = reinterpret_cast<const unsigned char *>(module_);
  auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
  auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY &entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  auto *dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
  EXPECT_EQ(dir->Base, 1u);
  EXPECT_EQ(dir->NumberOfFunctions, 76u);
  ASSERT_EQ(dir->NumberOfNames, 76u);

  auto *names = reinterpret_cast<const DWORD *>(base + dir->AddressOfNames);
  auto *ordinals = reinterpret_cast<const WORD *>(base + dir->AddressOfNameOrdinals);
  std::set<std::string> seen;
  for (DWORD i = 0; i < dir->NumberOfNames; ++i) {
    const std::string name = reinterpret_cast<const char *>(base + names[i]);
    const int ordinal = static_cast<int>(ordinals[i] + dir->Base);
    ASSERT_GE(ordinal, 1);
    ASSERT_LE(ordinal, 76);
    EXPECT_EQ(name, kExports[ordinal - 1].name) << "ordinal " << ordinal;
    EXPECT_TRUE(seen.insert(name).second) << name << " listed twice";
  }
}

// Every export reached by ordinal follows the standard call (the callee
// removes its arguments) and answers a null engine with its family's result.
TEST_F(HostTest, NullEngineThroughOrdinalsUsesStandardCallAndGuardResults) {
  for (const Export &e : kExports) {
    if (e.family == Family::kHandle) continue;
    SCOPED_TRACE(e.name);
    const CallOutcome out = CallWithZeros(Ordinal(e.ordinal), e.arguments);
    EXPECT_EQ(out.stackMoved, 0) << "the callee did not remove " << e.arguments << " arguments";
    const auto result = static_cast<int32_t>(out.result);
    switch (e.family) {
      case Family::kSize:
        EXPECT_EQ(result, -1);
        break;
      case Family::kCode:
        EXPECT_EQ(result, -10);
        break;
      case Family::kFixed255:
        EXPECT_EQ(result, 255);
        break;
      case Family::kNoHandle:
        EXPECT_EQ(result, 0);
        break;
      default:
        break;
    }
  }
}

TEST_F(HostTest, EngineMadeAndReleasedThroughOrdinalsAnswersLikeTheNamedExports) {
  auto getCryptObj = As<GetCryptObj_t>(Ordinal(1));
  auto doneEngine = As<DoneEngine_t>(Ordinal(2));
  Engine engine = getCryptObj(0);
  ASSERT_NE(engine, nullptr);
  Engine other = As<GetCryptObj_t>(Name("GetCryptObj"))(0);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(engine, other);

  EXPECT_EQ(As<SizeQuery_t>(Name("GetMaxUIDLength"))(engine), 255);
  EXPECT_EQ(As<SizeQuery_t>(Ordinal(5))(engine), 255);
  EXPECT_EQ(As<SizeQuery_t>(Ordinal(5))(other), 255);
  EXPECT_EQ(As<SizeQuery_t>(Ordinal(47))(engine), 255);

  // The two names of one size query give one answer.
  const int32_t report = As<SizeQuery_t>(Ordinal(51))(engine);
  EXPECT_GT(report, 0);
  EXPECT_EQ(As<SizeQuery_t>(Ordinal(56))(engine), report);
  EXPECT_EQ(As<SizeQuery_t>(Name("GetCryptoParamNumber"))(engine), As<SizeQuery_t>(Ordinal(9))(engine));

  // The same error text through the name and through ordinal 14.
  const int32_t size = As<SizeQuery_t>(Ordinal(8))(engine);
  ASSERT_GT(size, 1);
  std::string byName(static_cast<std::size_t>(size), '\x7f');
  std::string byOrdinal(static_cast<std::size_t>(size), '\x7f');
  As<GetCryptoErrorString_t>(Name("GetCryptoErrorString"))(engine, -10, byName.data());
  As<GetCryptoErrorString_t>(Ordinal(14))(engine, -10, byOrdinal.data());
  EXPECT_NE(byName.c_str()[0], '\0');
  EXPECT_STREQ(byName.c_str(), byOrdinal.c_str());

  doneEngine(engine);
  As<DoneEngine_t>(Name("DoneEngine"))(other);
  doneEngine(nullptr);
}

TEST_F(HostTest, CheckCompatiblesThroughOrdinal76) {
  auto check = As<CheckCompatibles_t>(Ordinal(76));
  EXPECT_EQ(check("Telvora Crypto Engine"), 1);
  EXPECT_EQ(check("Ms Crypto API 2.0"), 1);
  EXPECT_EQ(check("CryptoPro CSP/1.1"), 1);
  EXPECT_EQ(check("cryptopro csp/1.1"), 0);
  EXPECT_EQ(check(nullptr), 0);
}

// Loading runs the process-attach start-up, FreeLibrary the detach shut-down:
// the library can be unloaded and loaded again in the same process.
TEST(HostLoad, UnloadAndReloadStartsTheLibraryAfresh) {
  const std::string path = LibraryPath();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr);
    Engine engine = As<GetCryptObj_t>(ByOrdinal(module, 1))(0);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(As<SizeQuery_t>(ByOrdinal(module, 5))(engine), 255);
    As<DoneEngine_t>(ByOrdinal(module, 2))(engine);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA("cr_telv.dll"), nullptr);
  }
}

// ---- Unload and process exit with a provider session open --------------------

using SetRootPath_t = void(__stdcall *)(Engine, const char *);
using GetCurrentUserUID_t = int32_t(__stdcall *)(Engine, char *);
using SimCount_t = int32_t(__stdcall *)();

// The folder of the complete provider double: its EXE\ holds cpki1.dll.
std::string SimRoot() {
  const std::string relative = LibraryPath().substr(0, LibraryPath().find_last_of("\\/") + 1) +
                               "..\\simroots\\complete\\";
  char full[MAX_PATH * 2] = {};
  const DWORD length = GetFullPathNameA(relative.c_str(), sizeof(full), full, nullptr);
  return std::string(full, length);
}

// Loads cr_telv.dll, points an engine at the provider double and runs one
// operation, which opens a provider session that the library's binding
// cache keeps after the engine is released.
HMODULE LoadWithOpenSession() {
  HMODULE module = LoadLibraryA(LibraryPath().c_str());
  if (module == nullptr) return nullptr;
  Engine engine = As<GetCryptObj_t>(GetProcAddress(module, "GetCryptObj"))(0);
  As<SetRootPath_t>(GetProcAddress(module, "SetRootPath"))(engine, SimRoot().c_str());
  char uid[512] = {};
  As<GetCurrentUserUID_t>(GetProcAddress(module, "GetCurrentUserUID"))(engine, uid);
  As<DoneEngine_t>(GetProcAddress(module, "DoneEngine"))(engine);
  return module;
}

// FreeLibrary runs the process-detach shut-down: the cached binding ends its
// session while the provider is still loaded.
TEST(HostUnload, FreeLibraryClosesCachedSessions) {
  // Holding the provider ourselves keeps it loaded after the library lets go.
  HMODULE sim = LoadLibraryA((SimRoot() + "EXE\\cpki1.dll").c_str());
  ASSERT_NE(sim, nullptr) << SimRoot();
  auto openSessions = As<SimCount_t>(GetProcAddress(sim, "SimOpenSessions"));
  ASSERT_NE(openSessions, nullptr);
  As<void(__stdcall *)()>(GetProcAddress(sim, "SimReset"))();

  HMODULE module = LoadWithOpenSession();
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(openSessions(), 1);
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ(openSessions(), 0);
  FreeLibrary(sim);
}

// The child half of the next test: exits the process with the library
// loaded and a session open, without FreeLibrary.
// (Disabled: it runs only in the child process that the next test starts.)
TEST(HostExitChild, DISABLED_ExitWithAnOpenSession) { ASSERT_NE(LoadWithOpenSession(), nullptr); }

// A host that ends without unloading the library ends cleanly: at process
// exit the library touches neither the provider, already shut down by then,
// nor its own locks.
TEST(HostExit, ProcessExitWithTheLibraryLoadedEndsCleanly) {
  char program[MAX_PATH * 2] = {};
  GetModuleFileNameA(nullptr, program, sizeof(program));
  std::string command =
      std::string("\"") + program + "\" --gtest_also_run_disabled_tests --gtest_filter=HostExitChild.*";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      &startup, &process);
  ASSERT_TRUE(started) << GetLastError();
  // A child that hangs at exit is a failure of this test (well inside the
  // per-case limit of the test run, which grows with CRTELV_TEST_TIME_SCALE
  // as this bound does), and does not outlive it.
  char scale_text[8] = {};
  const DWORD scale_length = GetEnvironmentVariableA("CRTELV_TEST_TIME_SCALE", scale_text, sizeof(scale_text));
  const long scale = scale_length > 0 && scale_length < sizeof(scale_text) ? std::strtol(scale_text, nullptr, 10) : 1;
  const DWORD waited = WaitForSingleObject(process.hProcess, 20000 * static_cast<DWORD>(scale > 1 && scale <= 100 ? scale : 1));
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the child did not end";
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace
