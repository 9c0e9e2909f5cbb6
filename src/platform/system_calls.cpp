// The replaceable calls of the platform layer: each public function goes
// through the table, which starts as the system's own implementations.
#include "platform/platform.h"
#include "platform/platform_native.h"

namespace crtelv::platform {
namespace {

// Constant-initialised, so the table is ready before any code of the
// library runs, load hooks included.
constexpr SystemCalls kNative = {
    NativeLoadModule,    NativeFreeModule,    NativeFindEntryPoint, NativeGetFileAttributes, NativeFileLength,
    NativeReadFileStart, NativeCreateNewFile, NativeDeleteFile,     NativeReplaceFile,       NativeCreateNewFileWithMode,
};
constinit SystemCalls g_calls = kNative;

}  // namespace

const SystemCalls &NativeSystemCalls() { return kNative; }

SystemCalls &Calls() { return g_calls; }

ModuleHandle LoadModule(const std::string &name) { return g_calls.loadModule(name); }
void FreeModule(ModuleHandle module) { g_calls.freeModule(module); }
void *FindEntryPoint(ModuleHandle module, const char *name) { return g_calls.findEntryPoint(module, name); }
bool GetFileAttributes(const std::string &path, uint32_t &attributes) {
  return g_calls.getFileAttributes(path, attributes);
}
bool FileLength(const std::string &path, int64_t &length) { return g_calls.fileLength(path, length); }
bool ReadFileStart(const std::string &path, void *buffer, std::size_t size, std::size_t &read) {
  return g_calls.readFileStart(path, buffer, size, read);
}
bool CreateNewFile(const std::string &path, const void *data, std::size_t length) {
  return g_calls.createNewFile(path, data, length);
}
bool DeleteFile(const std::string &path) { return g_calls.deleteFile(path); }
bool ReplaceFile(const std::string &from, const std::string &to) { return g_calls.replaceFile(from, to); }
bool CreateNewFileWithMode(const std::string &path, const void *data, std::size_t length, unsigned mode) {
  return g_calls.createNewFileWithMode(path, data, length, mode);
}

}  // namespace crtelv::platform
