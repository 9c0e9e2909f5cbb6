// The open provider's store writes through the platform's replaceable calls:
// a write whose flush or rename fails leaves the old store as it was, and
// nothing of the new one beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
namespace platform = crtelv::platform;

std::string Content(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The new file is written and then its flush reports a failure, as fsync
// and FlushFileBuffers may: the file stays behind for the caller to remove.
bool WrittenButNotFlushed(const std::string &path, const void *data, std::size_t length, unsigned mode) {
  platform::NativeSystemCalls().createNewFileWithMode(path, data, length, mode);
  return false;
}
bool RenameFails(const std::string &, const std::string &) { return false; }

TEST(StoreWrites, AFailedFlushOrRenameLeavesTheOldStore) {
  const fs::path dir = fs::temp_directory_path() / ("cpki1-store-write-" + std::to_string(platform::ProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path store = dir / "store.pem";
  const std::string old = "-----BEGIN X509 CRL-----\nold\n-----END X509 CRL-----\n";
  struct Case {
    const char *name;
    bool (*create)(const std::string &, const void *, std::size_t, unsigned);
    bool (*replace)(const std::string &, const std::string &);
    bool written;
  };
  const Case cases[] = {
      {"flush fails", WrittenButNotFlushed, nullptr, false},
      {"rename fails", nullptr, RenameFails, false},
      {"system's own calls", nullptr, nullptr, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(store, std::ios::binary) << old;
    platform::ScopedSystemCalls restore;
    if (c.create != nullptr) platform::Calls().createNewFileWithMode = c.create;
    if (c.replace != nullptr) platform::Calls().replaceFile = c.replace;
    EXPECT_EQ(cpki1::SaveCertStore(store.string(), cpki1::CertStoreData{}), c.written);
    EXPECT_EQ(Content(store) == old, !c.written);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  fs::remove_all(dir);
}

}  // namespace
