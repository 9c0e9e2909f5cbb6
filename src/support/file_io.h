// Whole-file reads and writes, file sizes and times, through the platform
// layer. None expands "%ZPKRoot%": callers expand paths first. None throws.
#ifndef CRTELV_SUPPORT_FILE_IO_H
#define CRTELV_SUPPORT_FILE_IO_H

#include <cstdint>
#include <string>

namespace crtelv {

// True when the attributes of path can be read and include the directory bit.
bool IsDirectory(const std::string &path);

// Reads the whole file into buffer when its length is at most size; then
// size := the length and true. A longer file, or any failure to open or read,
// gives false and leaves size and buffer unchanged.
bool ReadWholeFile(const char *fileName, void *buffer, int32_t &size);

// Writes length bytes as the whole file, replacing an existing one (of any
// letter case on POSIX) in one step; every whole-file write of the library
// goes through here. The data goes to a new file beside the target, of a
// short unpredictable name ("~<16 hex digits>.tmp", whatever the target's
// length), created exclusively, readable by its owner alone and never through
// a link, and flushed to the disk; then that file takes the target's rights
// and is renamed over the target, so a link at the target is replaced, never
// written through. On failure, or a crash at any moment, the old file stays
// whole and no temporary file is left by a failure. True on success.
bool ReplaceWholeFile(const char *fileName, const void *buffer, int32_t length);

// Length of the file plus one; 0 when the file cannot be opened.
int32_t FileSizePlusOne(const char *fileName);

// Seconds since 1970-01-01 UTC as 100-nanosecond ticks since 1601-01-01.
uint64_t UnixTimeToFileTime(uint32_t seconds);

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_FILE_IO_H
