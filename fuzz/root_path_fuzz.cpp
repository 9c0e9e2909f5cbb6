// "%ZPKRoot%" expansion of any path under any engine root: the result is the
// path itself, or the root followed by the rest, upper-cased.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/crypto_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  // The first line is the root, the rest the path.
  const std::size_t cut = input.find('\n');
  crtelv::TCryptoEngine engine;
  engine.AssignRootPath(cut == std::string::npos ? std::string() : input.substr(0, cut));
  const std::string path = cut == std::string::npos ? input : input.substr(cut + 1);
  const std::string expanded = engine.ExpandRootPath(path);
  const std::string folder = engine.ExpandFolderPath(path);
  if (folder.compare(0, expanded.size(), expanded) != 0) std::abort();
  if (expanded.size() > engine.RootPath().size() + path.size()) std::abort();
  return 0;
}
