// What the open-provider tests need from the system, on POSIX and on Windows
// (where they run under Wine): modules, variables, the provider's file name,
// and placing it where the library looks. Shell lines are POSIX shell lines on
// both: under Wine they run in the host's /bin/sh (see openssl_support.cpp),
// and the tests' folders have paths that both sides read: "/tmp/..." is
// Z:\tmp\... for the Windows side.
#ifndef CRTELV_TESTS_OPENSSL_TEST_OS_H
#define CRTELV_TESTS_OPENSSL_TEST_OS_H

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#endif

namespace cpki1test {

#ifdef _WIN32
constexpr char kProviderFile[] = "cpki1.dll";
inline void *OpenModule(const char *file) { return reinterpret_cast<void *>(LoadLibraryA(file)); }
inline void *Symbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
inline std::string ModuleError() { return "error " + std::to_string(GetLastError()); }
inline void SetVar(const char *name, const std::string &value) { _putenv_s(name, value.c_str()); }
inline void UnsetVar(const char *name) { _putenv_s(name, ""); }
// The provider under the name the library looks for (a copy: the provider
// stays loaded, so the copy stays until the process ends).
inline void PlaceProvider(const std::filesystem::path &real, const std::filesystem::path &folder) {
  std::filesystem::copy_file(real, folder / kProviderFile, std::filesystem::copy_options::overwrite_existing);
}
#else
constexpr char kProviderFile[] = "libcpki1.so";
inline void *OpenModule(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
inline void *Symbol(void *module, const char *name) { return dlsym(module, name); }
inline std::string ModuleError() {
  const char *e = dlerror();
  return e != nullptr ? e : "";
}
inline void SetVar(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }
inline void UnsetVar(const char *name) { unsetenv(name); }
// A link libcpki1.so to the versioned file, copied beside it.
inline void PlaceProvider(const std::filesystem::path &real, const std::filesystem::path &folder) {
  std::filesystem::copy_file(real, folder / real.filename());
  std::filesystem::create_symlink(real.filename(), folder / kProviderFile);
}
#endif

}  // namespace cpki1test

#endif  // CRTELV_TESTS_OPENSSL_TEST_OS_H
