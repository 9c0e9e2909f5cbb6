// The process-wide registry of the open provider: its sessions by number
// and the blocks and records handed out to the host until it releases them.
// Never destroyed, so that a host that ends its process with sessions open
// meets no released state.
#ifndef CPKI1_OPENSSL_SESSION_REGISTRY_H
#define CPKI1_OPENSSL_SESSION_REGISTRY_H

#include <cstdint>
#include <memory>
#include <vector>

#include "certinfo.h"
#include "provider/cpki1_api.h"
#include "session.h"

namespace cpki1 {

SessionPtr FindSession(TelvoraSession s);
// Registers a session that is ready for use; its number is never 0.
TelvoraSession RegisterSession(SessionPtr session);
// Ends a session with what the host did not release of it: kBadSession
// when there is none of that number.
int32_t CloseSession(TelvoraSession s);

// ---- Blocks handed out --------------------------------------------------------

enum class BlockKind { kMem, kFind, kParse, kVerify, kDecrypt };

struct Block {
  TelvoraSession session = 0;
  BlockKind kind = BlockKind::kMem;
  Bytes mem;
  std::vector<std::unique_ptr<CertText>> texts;
  std::vector<TelvoraCertInfo> records;
  std::vector<TelvoraSignerInfo> signers;
};

// Hands out a copy of data as a block the host releases with VCERT_FreeMem.
int32_t HandOut(TelvoraSession s, Bytes data, TelvoraBlob *out);
// Hands out one record into caller memory.
void HandOutRecord(TelvoraSession s, BlockKind kind, std::unique_ptr<CertText> text, TelvoraCertInfo &rec);
// Hands out a block whose first record or signer array the host releases.
void HandOutArray(const void *key, std::unique_ptr<Block> block);

// Releases a block handed out by pointer, or a record filled into caller
// memory (cleared afterwards), of the given kind and session.
int32_t ReleaseByPointer(TelvoraSession s, const void *p, BlockKind kind);
int32_t ReleaseRecord(TelvoraSession s, TelvoraCertInfo *rec, BlockKind kind);

// Blocks and records handed out and not yet released (diagnostics).
int32_t OutstandingBlocks();

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_SESSION_REGISTRY_H
