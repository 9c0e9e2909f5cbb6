// Parameter texts an administrator or host sets: the "Initialize flags"
// words, the time-outs, the ";" recipient lists of the size queries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "provider/provider_engine.h"
#include "support/text_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  crtelv::TTelvoraEngine engine;
  for (int32_t number : {crtelv::kParamInitFlags, crtelv::kParamKeyRequestTimeout, crtelv::kParamClientServerMode})
    engine.SetCryptoParamValue(number, text.c_str());
  crtelv::TelvoraInitParam param;
  engine.FillInitParam(param);
  if ((param.InitFlags & ~0xF) != 0) std::abort();

  std::vector<std::string> pieces;
  const int32_t count = crtelv::SplitSemicolonList(text.c_str(), pieces);
  if (count < 0 || static_cast<std::size_t>(count) != pieces.size()) std::abort();
  if (engine.GetMaxAdditionEx(text.c_str()) < 0) std::abort();
  return 0;
}
