// The public key transfer block and the long request layout.
#include "provider/transfer_block.h"

#include <cstring>

#include "engine/crypto_engine.h"
#include "support/name_rules.h"
#include "support/text_lists.h"

namespace crtelv {
namespace {

// The zero-terminated text in field bytes of content; false when the field
// holds no zero.
bool FieldText(const uint8_t *field, int32_t size, std::string &text) {
  const void *zero = std::memchr(field, '\0', static_cast<std::size_t>(size));
  if (zero == nullptr) return false;
  text.assign(reinterpret_cast<const char *>(field),
              static_cast<std::size_t>(static_cast<const uint8_t *>(zero) - field));
  return true;
}

}  // namespace

std::string CutTransferText(const std::string &text) {
  return text.substr(0, static_cast<std::size_t>(kTransferTextMax));
}

std::vector<uint8_t> PackTransferBlock(const std::string &name, const std::string &fileName, const void *data,
                                       int32_t length) {
  std::vector<uint8_t> block(static_cast<std::size_t>(kTransferBlockSize), 0);
  const std::string cutName = CutTransferText(name);
  const std::string cutFile = CutTransferText(fileName);
  std::memcpy(block.data(), cutName.data(), cutName.size());
  std::memcpy(block.data() + kTransferFileNameOffset, cutFile.data(), cutFile.size());
  const uint32_t value = static_cast<uint32_t>(length);
  for (int i = 0; i < 4; ++i) block[static_cast<std::size_t>(kTransferLengthOffset + i)] = static_cast<uint8_t>(value >> (8 * i));
  std::memcpy(block.data() + kTransferDataOffset, data, static_cast<std::size_t>(length));
  return block;
}

int32_t UnpackTransferBlock(const uint8_t *content, int32_t length, TransferBlock &block) {
  if (content == nullptr || length != kTransferBlockSize) return kBadArgument;
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(content[kTransferLengthOffset + i]) << (8 * i);
  const int32_t dataLength = static_cast<int32_t>(value);
  if (dataLength < 1 || dataLength > kTransferDataMax) return kBadArgument;
  block.NamesTerminated = FieldText(content, kTransferTextField, block.Name) &&
                          FieldText(content + kTransferFileNameOffset, kTransferTextField, block.FileName);
  if (!block.NamesTerminated) {
    block.Name.clear();
    block.FileName.clear();
  }
  block.Data.assign(content + kTransferDataOffset, content + kTransferDataOffset + dataLength);
  return kOk;
}

int32_t LongTransferRequestText(const uint8_t *content, int32_t length, std::string &text) {
  if (content == nullptr || length != kLongTransferSize) return kBadArgument;
  return FieldText(content + kLongTransferTextOffset, kLongTransferTextField, text) ? kOk : kBadArgument;
}

bool IsPlainTransferFileName(const std::string &name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find_first_of("\\/:") != std::string::npos) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  // A device name stays a device whatever follows its first dot.
  return !IsReservedWindowsName(name);
}

bool IsCertificateFileName(const std::string &name) {
  return name.size() > 4 && SameTextAscii(name.substr(name.size() - 4), ".cer");
}

bool IsRequestFileName(const std::string &name) { return SameTextAscii(name, kRequestFileName); }

}  // namespace crtelv
