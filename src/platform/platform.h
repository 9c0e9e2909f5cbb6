// The operating-system services the library uses, behind one interface.
//
// Every Windows kernel service the library relies on has one function or
// class here. platform_win32.cpp implements them on the Win32 API;
// platform_posix.cpp implements them on POSIX with Windows semantics:
//   - module names "X.dll" are looked for as "libX.so" in the same folder;
//   - '\' separates folders like '/', and a path that does not exist as
//     written is matched component by component without regard to ASCII
//     letter case;
//   - the variable "Path" is PATH, its list separator is ':';
//   - the ANSI code page is Windows-1251;
//   - the file version of a module comes from a ".so.A.B.C.D" file name.
// CMake compiles exactly one of the two implementation files.
//
// None of these functions throws except where noted; failures are reported
// through return values the way the Windows calls report them.
#ifndef CRTELV_PLATFORM_PLATFORM_H
#define CRTELV_PLATFORM_PLATFORM_H

#include <cstdint>
#include <string>
#include <string_view>

namespace crtelv::platform {

// ---- Modules -------------------------------------------------------------

// Opaque handle of a loaded module; nullptr means none.
using ModuleHandle = void *;

// Loads a module by file name (LoadLibraryA). A bare name is left to the
// system's own search; a name with a folder part is loaded from there.
// Returns nullptr when the module cannot be found or loaded.
ModuleHandle LoadModule(const std::string &name);

// True when the file that LoadModule would load for this name (with a folder
// part) exists: on POSIX "dir\X.dll" is "dir/libX.so".
bool ModuleExists(const std::string &path);

// Releases one reference taken by LoadModule (FreeLibrary). Null is ignored.
void FreeModule(ModuleHandle module);

// Looks up an exported entry point by its exact name (GetProcAddress).
// Returns nullptr when the module lacks it or the module is null.
void *FindEntryPoint(ModuleHandle module, const char *name);

// Returns the handle of a module already loaded in the process under the
// given file name (GetModuleHandleA), without loading it; nullptr if none.
ModuleHandle FindLoadedModule(const std::string &name);

// Full file name of a loaded module (GetModuleFileNameA). A null module means
// the host executable. At most capacity - 1 characters are returned, as the
// Windows call truncates to its buffer; an empty text means failure.
std::string ModuleFileName(ModuleHandle module, std::size_t capacity = 2048);

// File version of a file (GetFileVersionInfoSizeA, GetFileVersionInfoA,
// VerQueryValueA "\"): the two 32-bit words of the fixed file information.
// Returns false when the file has no version information.
bool FileVersion(const std::string &path, uint32_t &ms, uint32_t &ls);

// ---- Environment ---------------------------------------------------------

// Reads a process environment variable (GetEnvironmentVariableA). Returns
// false when it is not set. The name "Path" is the system's search path.
bool GetEnv(const std::string &name, std::string &value);

// Sets a process environment variable (SetEnvironmentVariableA).
bool SetEnv(const std::string &name, const std::string &value);

// Separator of the entries of the search path variable (';' or ':').
char PathListSeparator();

// A folder text as the system's search path expects it (on POSIX the '\'
// separators become '/').
std::string NativeFolder(const std::string &folder);

// ---- Files ---------------------------------------------------------------

// File attribute bit of a directory, as GetFileAttributesA reports it.
constexpr uint32_t kAttributeDirectory = 0x10;

// The path as the system should open it: on POSIX '\' becomes '/' and, when
// the path does not exist as written, each component is matched without
// regard to ASCII letter case. On Win32 the path is returned unchanged.
std::string ResolvePath(const std::string &path);

// GetFileAttributesA: false when the attributes cannot be read.
bool GetFileAttributes(const std::string &path, uint32_t &attributes);

// True when a file or folder of that name exists.
bool FileExists(const std::string &path);

// Opens a file read-only and reports its length; false when it cannot be
// opened or its length cannot be read.
bool FileLength(const std::string &path, int64_t &length);

// Reads up to size bytes from the start of a file into buffer; read receives
// the count. False on any failure to open or read.
bool ReadFileStart(const std::string &path, void *buffer, std::size_t size, std::size_t &read);

// Creates a file that must not exist yet, never through a link (O_EXCL with
// O_NOFOLLOW, CREATE_NEW), writes length bytes and flushes them to the disk
// (fsync, FlushFileBuffers) before closing. False when the name exists in any
// form or anything fails; a file this call created is then removed again.
// On POSIX the file is readable by its owner alone (0600) until ReplaceFile
// gives it its rights.
bool CreateNewFile(const std::string &path, const void *data, std::size_t length);

// Deletes a file (DeleteFileA); false when it does not exist or cannot go.
bool DeleteFile(const std::string &path);

// Renames from to to, replacing an existing to in one step (rename,
// MoveFileExA with replacement): readers see the old file or the new one,
// never a part. A link named to is itself replaced, never followed. The
// new file takes the rights of the file it replaces: on POSIX its owner and
// group (where the process may set them) and permission bits; on Windows its
// security descriptor. When to is no regular file yet, the new file keeps
// the rights it was created with (a new file on Windows takes the folder's
// inherited rights). The rename is
// flushed to the disk (fsync of the folder, MOVEFILE_WRITE_THROUGH) before
// the call returns true. False on failure; then to is unchanged.
bool ReplaceFile(const std::string &from, const std::string &to);

// As CreateNewFile, for a path as the system names it (no '\\' translation)
// and with mode as the POSIX permission of the new file (0600 keeps it to its
// owner); Windows has no such mode. The open provider's store files.
bool CreateNewFileWithMode(const std::string &path, const void *data, std::size_t length, unsigned mode);

// Whether two paths name one existing file (the same device and inode, the
// same volume and file index), however they are spelt: other letter case,
// an 8.3 short name, another link. False when either cannot be opened.
bool SameFile(const std::string &a, const std::string &b);

// Folder of the host executable, absolute, with a trailing separator.
std::string HostExecutableFolder();

// ---- Time ----------------------------------------------------------------

// Calendar fields as SYSTEMTIME holds them.
struct SystemTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// The local date and time of day (GetLocalTime).
SystemTime LocalTime();

// UTC calendar form of a count of 100-nanosecond intervals since
// 1601-01-01 (FileTimeToSystemTime). False for values the system rejects.
bool FileTimeToSystemTime(uint64_t fileTime, SystemTime &out);

// ---- Text ----------------------------------------------------------------

// Converts 8-bit text in the system ANSI code page to UTF-16
// (MultiByteToWideChar with CP_ACP; Windows-1251 on POSIX).
std::u16string AnsiToWide(std::string_view text);

// ---- Threads -------------------------------------------------------------

// Identifier of the calling thread (GetCurrentThreadId); never 0.
uint32_t CurrentThreadId();

// Gives up the rest of the time slice (Sleep(0)).
void YieldThread();

// A recursive mutual-exclusion lock (critical section).
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection &) = delete;
  CriticalSection &operator=(const CriticalSection &) = delete;

  void Enter();
  void Leave();

 private:
  struct Impl;
  Impl *impl_;
};

// Holds a critical section for the lifetime of the guard.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection &cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionGuard() { cs_.Leave(); }
  CriticalSectionGuard(const CriticalSectionGuard &) = delete;
  CriticalSectionGuard &operator=(const CriticalSectionGuard &) = delete;

 private:
  CriticalSection &cs_;
};

// A manual-reset event: stays signalled until Reset.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool signalled);
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent &) = delete;
  ManualResetEvent &operator=(const ManualResetEvent &) = delete;

  void Set();
  void Reset();
  // Waits without time-out until the event is signalled.
  void Wait();
  // Waits at most ms milliseconds; true when the event is signalled.
  bool WaitFor(uint32_t ms);

 private:
  struct Impl;
  Impl *impl_;
};

// ---- Replaceable calls -----------------------------------------------------
//
// Module loading and the file operations above go through this table, which
// starts as the system's own implementations. Tests replace entries to make
// a load, a read, a write or a rename fail (ScopedSystemCalls restores the
// table); the library itself never changes it. Replace only while no other
// thread uses the platform layer.
struct SystemCalls {
  ModuleHandle (*loadModule)(const std::string &name);
  void (*freeModule)(ModuleHandle module);
  void *(*findEntryPoint)(ModuleHandle module, const char *name);
  bool (*getFileAttributes)(const std::string &path, uint32_t &attributes);
  bool (*fileLength)(const std::string &path, int64_t &length);
  bool (*readFileStart)(const std::string &path, void *buffer, std::size_t size, std::size_t &read);
  bool (*createNewFile)(const std::string &path, const void *data, std::size_t length);
  bool (*deleteFile)(const std::string &path);
  bool (*replaceFile)(const std::string &from, const std::string &to);
  bool (*createNewFileWithMode)(const std::string &path, const void *data, std::size_t length, unsigned mode);
};

// The system's own implementations.
const SystemCalls &NativeSystemCalls();
// The table in force.
SystemCalls &Calls();

// Keeps the table as it was at construction and puts it back at the end.
class ScopedSystemCalls {
 public:
  ScopedSystemCalls() : saved_(Calls()) {}
  ~ScopedSystemCalls() { Calls() = saved_; }
  ScopedSystemCalls(const ScopedSystemCalls &) = delete;
  ScopedSystemCalls &operator=(const ScopedSystemCalls &) = delete;

 private:
  SystemCalls saved_;
};

}  // namespace crtelv::platform

#endif  // CRTELV_PLATFORM_PLATFORM_H
