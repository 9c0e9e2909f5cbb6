// The operating-system side of the open provider and its tool, behind one
// small interface: the store files and their lock, the profiles folder, the
// viewer and the process's own setup. os_posix.cpp and os_win32.cpp implement
// it; CMake compiles one of them. Paths are 8-bit text as the library hands
// them over: on Windows in the ANSI code page.
#ifndef CPKI1_OPENSSL_OS_H
#define CPKI1_OPENSSL_OS_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace cpki1 {
struct FileStamp;
}

namespace cpki1::os {

// Characters that separate folders in a path ("/" on POSIX, "\\/" on Windows).
extern const char kFolderSeparators[];

// True when the path names its folder from the root (or a drive, on Windows).
bool IsAbsolute(const std::string &path);

// True when a file or folder of that name exists.
bool Exists(const std::string &path);

// The whole regular file; nullopt when it cannot be opened or read. *missing
// (when given) tells "no such file" apart.
std::optional<std::vector<uint8_t>> ReadAll(const std::string &path, bool *missing);

// Creates a file that must not exist yet (O_EXCL, CREATE_NEW), writes data
// and flushes it to the disk (fsync, FlushFileBuffers). False on any failure;
// the caller removes what may remain. Mode: the POSIX permission.
bool WriteNew(const std::string &path, const uint8_t *data, std::size_t length, unsigned mode);

// Puts from in the place of to in one step, durably (rename; MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): readers see the old
// file or the new one.
bool Replace(const std::string &from, const std::string &to);

bool Remove(const std::string &path);

// The file a path finally names after following its symbolic links (POSIX;
// on Windows the path itself): a store behind a link is replaced beside the
// link's target, so the link stays.
std::string LinkTarget(const std::string &path);

// Creates a folder (private to the user where the system has such rights);
// true when it exists afterwards.
bool MakeFolder(const std::string &path);

// The names in a folder (without "." and ".."); empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string &folder);

uint32_t ProcessId();

// Text of the program's command line as UTF-8: as given on POSIX, converted
// from the ANSI code page on Windows.
std::string CommandLineTextToUtf8(const std::string &text);

// The identity of the file's current content; false when it does not exist.
bool Stamp(const std::string &path, FileStamp &out);

// Seconds since 1970 of a UTC calendar time.
int64_t UtcSeconds(std::tm &tm);

// An exclusive lock on a file (created when missing) for the object's
// lifetime: flock, LockFileEx. Each lock has its own open file, so the
// threads of one process are serialised as well as processes.
class ExclusiveFileLock {
 public:
  explicit ExclusiveFileLock(const std::string &path);
  ~ExclusiveFileLock();
  ExclusiveFileLock(const ExclusiveFileLock &) = delete;
  ExclusiveFileLock &operator=(const ExclusiveFileLock &) = delete;
  bool Held() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// The folder of the profiles when CPKI1_PROFILES is not set: $HOME/.cpki1,
// %APPDATA%\cpki1. Empty when it cannot be found.
std::string DefaultProfilesFolder();

enum class ViewerResult { kShown, kFailed };

// Writes the PEM text to a new temporary file, runs the viewer command with
// the file's name as its last argument (through /bin/sh, through cmd.exe),
// waits for it and removes the file. The viewer gets the process's
// environment without secrets: no CPKI1_* variable and no variable whose name
// speaks of a password, secret or token. kShown when it exits with 0.
ViewerResult RunViewer(const std::string &command, const std::string &pem);

}  // namespace cpki1::os

#endif  // CPKI1_OPENSSL_OS_H
