// Files, folders, locks and child processes with the system's own rules, for
// the programs of the tree that keep files of their own (the open provider
// and its tool). Unlike the rest of the platform layer these calls take a
// path as the system names it: no '\' translation and no letter-case
// matching on POSIX. Paths are 8-bit text as the library hands them over: on
// Windows in the ANSI code page (converted for the wide calls).
//
// native_posix.cpp and native_win32.cpp implement the files and processes,
// viewer_posix.cpp and viewer_win32.cpp the viewer, viewer_environment.cpp
// the viewer's environment rule. Store writes go through the replaceable
// calls of platform.h (CreateNewFileWithMode, ReplaceFile, DeleteFile), so
// the tests can make them fail.
#ifndef CRTELV_PLATFORM_NATIVE_SERVICES_H
#define CRTELV_PLATFORM_NATIVE_SERVICES_H

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace crtelv::platform {

// ---- Paths and folders ------------------------------------------------------

// Characters that separate folders in a path ("/" on POSIX, "\\/" on Windows).
const char *FolderSeparators();

// True when the path names its folder from the root (or a drive, on Windows).
bool IsAbsolutePath(const std::string &path);

// True when a file or folder of exactly that name exists.
bool PathExists(const std::string &path);

// Creates a folder (private to the user where the system has such rights);
// true when it exists afterwards.
bool MakeFolder(const std::string &path);

// The names in a folder (without "." and ".."); empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string &folder);

// The file a path finally names after following its symbolic links (POSIX;
// on Windows the path itself): a store behind a link is replaced beside the
// link's target, so the link stays.
std::string LinkTarget(const std::string &path);

// The folder of a program's private data: $HOME/.<name> on POSIX,
// %APPDATA%\<name> on Windows. Empty when the base folder is unknown.
std::string PrivateDataFolder(const std::string &name);

// ---- Whole files --------------------------------------------------------------

// The whole regular file into out; false when it cannot be opened or read.
// *missing (when given) tells "no such file" apart.
bool ReadWholeRegularFile(const std::string &path, std::vector<uint8_t> &out, bool *missing);

// Identity of a file's current content: device (volume), inode (file index),
// size and time of the last change.
struct FileStamp {
  uint64_t dev = 0, ino = 0, size = 0;
  int64_t mtimeSec = 0, mtimeNsec = 0;
  bool operator==(const FileStamp &) const = default;
};
// False when the file does not exist.
bool StampOf(const std::string &path, FileStamp &out);

// Puts from in the place of to (ReplaceFile of platform.h). On Windows a
// reader that opened the old file without sharing deletion (another program,
// a virus scanner) holds the replacement up for a moment: the rename is tried
// again for up to a second.
bool ReplaceHeldFile(const std::string &from, const std::string &to);

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

// ---- Process, text, time --------------------------------------------------------

uint32_t ProcessId();

// Text of the program's command line as UTF-8: as given on POSIX, converted
// from the ANSI code page on Windows.
std::string CommandLineTextToUtf8(const std::string &text);

// Seconds since 1970 of a UTC calendar time (no time-zone handling).
int64_t UtcSeconds(std::tm &tm);

// ---- The viewer -------------------------------------------------------------------

// Whether the viewer inherits an environment variable (entry "NAME=value" or
// a bare name): only the allow-listed ones that a program needs to run and to
// show a window (PATH, HOME, USER, LANG and LC_*, TMP/TMPDIR/TEMP, DISPLAY,
// WAYLAND_DISPLAY, XDG_*, SystemRoot, windir, CPKI1_VIEWER), and never one
// whose name speaks of a password, a secret or a token. Names compare without
// regard to ASCII case on Windows, exactly on POSIX.
bool ViewerInherits(std::string_view entry);

// Writes the text to a new temporary file, runs the viewer command with the
// file's name as its last argument (through /bin/sh, through cmd.exe), waits
// for it and removes the file. The viewer gets the environment ViewerInherits
// allows and, on POSIX, no descriptor of the host beyond 0, 1 and 2. True
// when it exits with 0; a wait that fails is a failure.
bool RunViewer(const std::string &command, const std::string &text);

}  // namespace crtelv::platform

#endif  // CRTELV_PLATFORM_NATIVE_SERVICES_H
