// Public key transfers from a counterpart: the block readers on raw bytes
// (standard and long layouts), and whole transfer texts through the engine,
// signed by the provider double so that the reader behind the signature is
// reached. Every provider result must be released.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "provider/provider_engine.h"
#include "provider/transfer_block.h"
#include "sim_setup.h"
#include "support/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  SimApi &sim = FuzzSim();
  if (size > 20000) return 0;
  const auto len = static_cast<int32_t>(size);
  crtelv::TransferBlock block;
  crtelv::UnpackTransferBlock(data, len, block);
  std::string text;
  crtelv::LongTransferRequestText(data, len, text);

  static crtelv::TTelvoraEngine engine;
  char report[4097];
  // The bytes as a transfer text as they are, and signed.
  const std::string raw(reinterpret_cast<const char *>(data), size);
  engine.GetReportByTransfer(raw.c_str(), report);
  std::vector<uint8_t> signedData(data, data + size);
  signedData.resize(size + static_cast<std::size_t>(engine.GetMaxSignAddition()));
  int32_t signedSize = len;
  if (size > 0 && engine.AddSign(signedData.data(), &signedSize, 0) == 0) {
    const std::string transfer = crtelv::EncodeBase64(signedData.data(), signedSize);
    engine.GetReportByTransfer(transfer.c_str(), report);
  }
  if (sim.SimOutstanding() != 0) std::abort();
  ResetSim(sim);
  return 0;
}
