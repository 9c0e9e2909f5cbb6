// The process root path and the library search built on it.
//
// The root is set once per process (SetProcessRoot); it adds the folders
// <root>EXE\, <root>SYSTEM\ and <root>USER\ to the library search and puts
// them in front of the process search path. Created empty at library load,
// released at unload (RootPathUnitInit / RootPathUnitDone).
#ifndef CRTELV_SUPPORT_ROOT_PATH_H
#define CRTELV_SUPPORT_ROOT_PATH_H

#include <string>
#include <vector>

#include "platform/platform.h"

namespace crtelv {

// Sets the process root. Setting the same folder again (compared with a
// trailing delimiter added, letter case significant) changes nothing; a
// different folder throws Exception with the message
// "Could not set ZPKRoot to '<Path>'. Already set to '<root>'.".
void SetProcessRoot(const std::string &path);

// The process root with its trailing backslash, or the empty text.
std::string ProcessRoot();

// The library folders derived from the root (EXE, SYSTEM, USER), in order.
std::vector<std::string> LibraryFolders();

// The file name to load for a library: a name with a folder part unchanged;
// otherwise the first existing of <host exe folder>Name, then each library
// folder + Name; otherwise Name unchanged (left to the system's search).
std::string FindLibraryFile(const std::string &name);

// LoadModule of FindLibraryFile(name); nullptr when loading fails.
platform::ModuleHandle LoadLibrarySearched(const std::string &name);

// Unit start-up and shut-down (library load and unload).
void RootPathUnitInit();
void RootPathUnitDone();

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_ROOT_PATH_H
