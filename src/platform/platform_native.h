// The system's own implementations of the replaceable calls of the platform
// layer (see SystemCalls in platform.h); one set per port.
#ifndef CRTELV_PLATFORM_PLATFORM_NATIVE_H
#define CRTELV_PLATFORM_PLATFORM_NATIVE_H

#include "platform/platform.h"

namespace crtelv::platform {

ModuleHandle NativeLoadModule(const std::string &name);
void NativeFreeModule(ModuleHandle module);
void *NativeFindEntryPoint(ModuleHandle module, const char *name);
bool NativeGetFileAttributes(const std::string &path, uint32_t &attributes);
bool NativeFileLength(const std::string &path, int64_t &length);
bool NativeReadFileStart(const std::string &path, void *buffer, std::size_t size, std::size_t &read);
bool NativeCreateNewFile(const std::string &path, const void *data, std::size_t length);
bool NativeDeleteFile(const std::string &path);
bool NativeReplaceFile(const std::string &from, const std::string &to);
bool NativeCreateNewFileWithMode(const std::string &path, const void *data, std::size_t length, unsigned mode);

}  // namespace crtelv::platform

#endif  // CRTELV_PLATFORM_PLATFORM_NATIVE_H
