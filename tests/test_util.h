// Helpers shared by the test suites.
#ifndef CRTELV_TESTS_TEST_UTIL_H
#define CRTELV_TESTS_TEST_UTIL_H

#include <string>
#include <vector>

namespace crtelv::test {

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes. Path() ends with a separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return path_; }
  // Writes a file below the folder (creating sub-folders) and returns its path.
  std::string Write(const std::string &relative, const std::string &content) const;

 private:
  std::string path_;
};

std::string ReadFileText(const std::string &path);

}  // namespace crtelv::test

#endif  // CRTELV_TESTS_TEST_UTIL_H
