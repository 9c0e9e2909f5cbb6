// The public key transfer block: the binary record that a transfer text
// carries, signed, in base64.
//
//   offset 0     Name        256 bytes, zero-terminated UID (empty: request)
//   offset 256   FileName    256 bytes, zero-terminated name for the receiver
//   offset 512   DataLength  signed 32-bit little-endian, 1 to 4096
//   offset 516   Data        4096 bytes, the first DataLength carried
//
// Unused bytes are written as zero and not read. The block comes from a
// counterpart: its texts are read only within their own 256 bytes.
//
// The long request layout (13828 bytes) carries one field read here: at
// offset 3588 a zero-terminated base64 text of the request, looked for
// within the 10240 bytes to the end of the layout.
#ifndef CRTELV_PROVIDER_TRANSFER_BLOCK_H
#define CRTELV_PROVIDER_TRANSFER_BLOCK_H

#include <cstdint>
#include <string>
#include <vector>

namespace crtelv {

constexpr int32_t kTransferTextField = 256;
constexpr int32_t kTransferTextMax = kTransferTextField - 1;
constexpr int32_t kTransferFileNameOffset = 256;
constexpr int32_t kTransferLengthOffset = 512;
constexpr int32_t kTransferDataOffset = 516;
constexpr int32_t kTransferDataMax = 4096;
constexpr int32_t kTransferBlockSize = kTransferDataOffset + kTransferDataMax;  // 4612
constexpr int32_t kLongTransferSize = 13828;
constexpr int32_t kLongTransferTextOffset = 3588;
constexpr int32_t kLongTransferTextField = kLongTransferSize - kLongTransferTextOffset;  // 10240

// The file name a request is saved under.
constexpr char kRequestFileName[] = "new.req";

struct TransferBlock {
  std::string Name;
  std::string FileName;
  std::vector<uint8_t> Data;
  // Both texts end inside their fields.
  bool NamesTerminated = false;
};

// The first 255 characters of text.
std::string CutTransferText(const std::string &text);

// The 4612 bytes of a block: the texts cut to 255 characters, the data
// (1 to 4096 bytes, which the caller has checked), zeros elsewhere.
std::vector<uint8_t> PackTransferBlock(const std::string &name, const std::string &fileName, const void *data,
                                       int32_t length);

// Reads a block from signed content: -11 unless it is exactly 4612 bytes
// with a DataLength of 1 to 4096; else 0 (NamesTerminated tells whether the
// texts can be read).
int32_t UnpackTransferBlock(const uint8_t *content, int32_t length, TransferBlock &block);

// The request text of the long layout: -11 unless the content is exactly
// 13828 bytes and the text ends within its field.
int32_t LongTransferRequestText(const uint8_t *content, int32_t length, std::string &text);

// Whether a carried file name names a plain file inside the receiver's
// folder on either port: not empty, not "." or "..", without "\", "/" or
// ":", not ending in a dot or a blank (Windows drops them, so "bob.cer."
// would be "bob.cer"), and not a name Windows reserves or refuses
// (IsReservedWindowsName: devices with or without an extension and with
// blanks before the dot, characters such as "<" "|" "*" and control bytes).
bool IsPlainTransferFileName(const std::string &name);

// What a received standard block may be saved as: a certificate under a
// name ending in ".cer" (any letter case), or a request as "new.req".
bool IsCertificateFileName(const std::string &name);
bool IsRequestFileName(const std::string &name);

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_TRANSFER_BLOCK_H
