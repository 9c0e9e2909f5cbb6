#include "support/root_path.h"

#include "support/paths.h"

#include <mutex>

#include "support/failure.h"

namespace crtelv {

namespace {

// The root and the folders derived from it. The host sets the root once,
// before engines run on several threads; the mutex still keeps a late or
// concurrent call from racing with the lookups.
struct RootState {
  std::mutex lock;
  std::string root;
  std::vector<std::string> folders;
};

RootState &State() {
  static RootState state;
  return state;
}

bool HasFolderPart(const std::string &name) { return name.find_first_of("\\/:") != std::string::npos; }

// Puts the folders in front of the process search path: each one goes
// before the value built so far, so the last folder ends up first.
void PrependToSearchPath(const std::vector<std::string> &folders) {
  std::string value;
  if (!platform::GetEnv("Path", value)) value.clear();
  const std::string separator(1, platform::PathListSeparator());
  for (const std::string &folder : folders) {
    const std::string native = platform::NativeFolder(folder);
    value = value.empty() ? native : native + separator + value;
  }
  platform::SetEnv("Path", value);
}

}  // namespace

void SetProcessRoot(const std::string &path) {
  RootState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.root.empty()) {
    // The same folder, whichever separator ends either text.
    if (WithoutTrailingSeparator(WithTrailingSeparator(path)) == WithoutTrailingSeparator(state.root)) return;
    throw Exception("Could not set ZPKRoot to '" + path + "'. Already set to '" + state.root + "'.");
  }
  // An empty text names no folder: it would make the root "\" and put the
  // top of the file system into the search path.
  if (path.empty()) return;
  std::string root = WithTrailingSeparator(path);
  std::vector<std::string> folders{root + "EXE\\", root + "SYSTEM\\", root + "USER\\"};
  PrependToSearchPath(folders);
  state.root = std::move(root);
  state.folders = std::move(folders);
}

std::string ProcessRoot() {
  RootState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.root;
}

std::vector<std::string> LibraryFolders() {
  RootState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.folders;
}

std::string FindLibraryFile(const std::string &name) {
  if (HasFolderPart(name)) return name;
  // Without a known host folder the bare name would be tested against the
  // current folder, which is not part of this search.
  const std::string hostFolder = platform::HostExecutableFolder();
  if (!hostFolder.empty() && platform::ModuleExists(hostFolder + name)) return hostFolder + name;
  for (const std::string &folder : LibraryFolders()) {
    const std::string candidate = folder + name;
    if (platform::ModuleExists(candidate)) return candidate;
  }
  return name;
}

platform::ModuleHandle LoadLibrarySearched(const std::string &name) {
  try {
    return platform::LoadModule(FindLibraryFile(name));
  } catch (const std::exception &) {
    return nullptr;
  }
}

void RootPathUnitInit() {
  RootState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.root.clear();
  state.folders.clear();
}

void RootPathUnitDone() {
  RootState &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.root.clear();
  state.folders.clear();
  state.folders.shrink_to_fit();
}

}  // namespace crtelv
