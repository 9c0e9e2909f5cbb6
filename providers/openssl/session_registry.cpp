// The registry of sessions and of the blocks handed out (see
// session_registry.h).
#include "session_registry.h"

#include <openssl/cms.h>

#include <cstring>
#include <map>
#include <mutex>

#include "status.h"

namespace cpki1 {
namespace {

// Records filled into caller memory carry this tag and an id at offset 48.
constexpr char kTag[8] = {'c', 'p', 'k', 'i', '1', 'r', 'e', 'c'};

struct Registry {
  std::mutex mutex;
  uint32_t nextSession = 1;
  uint64_t nextRecord = 1;
  std::map<TelvoraSession, SessionPtr> sessions;
  std::map<const void *, std::unique_ptr<Block>> byPointer;  // blobs, find and verify results
  std::map<uint64_t, std::unique_ptr<Block>> byRecord;       // parsed and decrypt records
};

Registry &Reg() {
  static Registry *registry = new Registry;  // never destroyed (see session_registry.h)
  return *registry;
}

void TagRecord(TelvoraCertInfo &rec, uint64_t id) {
  auto *bytes = rec.Unused48;
  std::memcpy(bytes, kTag, sizeof kTag);
  std::memcpy(bytes + sizeof kTag, &id, sizeof id);
}

bool RecordId(const TelvoraCertInfo &rec, uint64_t &id) {
  if (std::memcmp(rec.Unused48, kTag, sizeof kTag) != 0) return false;
  std::memcpy(&id, rec.Unused48 + sizeof kTag, sizeof id);
  return true;
}

}  // namespace

int32_t ReleaseByPointer(TelvoraSession s, const void *p, BlockKind kind) {
  Registry &r = Reg();
  std::unique_ptr<Block> gone;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.sessions.find(s) == r.sessions.end()) return kBadSession;
    auto it = r.byPointer.find(p);
    if (it == r.byPointer.end() || it->second->session != s || it->second->kind != kind) return kUnknownBlock;
    gone = std::move(it->second);
    r.byPointer.erase(it);
  }
  return kOk;  // freed outside the lock
}

int32_t ReleaseRecord(TelvoraSession s, TelvoraCertInfo *rec, BlockKind kind) {
  Registry &r = Reg();
  uint64_t id = 0;
  if (!RecordId(*rec, id)) {
    // A record the provider never filled (all zero) holds nothing.
    static const TelvoraCertInfo zero{};
    if (std::memcmp(rec, &zero, sizeof zero) == 0) return FindSession(s) ? kOk : kBadSession;
    return kUnknownBlock;
  }
  std::unique_ptr<Block> gone;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.sessions.find(s) == r.sessions.end()) return kBadSession;
    auto it = r.byRecord.find(id);
    if (it == r.byRecord.end() || it->second->session != s || it->second->kind != kind) return kUnknownBlock;
    gone = std::move(it->second);
    r.byRecord.erase(it);
  }
  std::memset(rec, 0, sizeof *rec);
  return kOk;
}

SessionPtr FindSession(TelvoraSession s) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.sessions.find(s);
  return it == r.sessions.end() ? nullptr : it->second;
}

TelvoraSession RegisterSession(SessionPtr session) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  TelvoraSession id = r.nextSession++;
  if (id == 0) id = r.nextSession++;
  r.sessions[id] = std::move(session);
  return id;
}

int32_t CloseSession(TelvoraSession s) {
  Registry &r = Reg();
  std::vector<std::unique_ptr<Block>> gone;
  SessionPtr session;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.sessions.find(s);
    if (it == r.sessions.end()) return kBadSession;
    session = it->second;
    r.sessions.erase(it);
    // What the host did not release goes with the session.
    for (auto b = r.byPointer.begin(); b != r.byPointer.end();) {
      if (b->second->session == s) {
        gone.push_back(std::move(b->second));
        b = r.byPointer.erase(b);
      } else {
        ++b;
      }
    }
    for (auto b = r.byRecord.begin(); b != r.byRecord.end();) {
      if (b->second->session == s) {
        gone.push_back(std::move(b->second));
        b = r.byRecord.erase(b);
      } else {
        ++b;
      }
    }
  }
  return kOk;
}

int32_t HandOut(TelvoraSession s, Bytes data, TelvoraBlob *out) {
  if (data.size() > 0x7FFFFFFF) return kBadArgument;
  auto block = std::make_unique<Block>();
  block->session = s;
  block->kind = BlockKind::kMem;
  std::size_t length = data.size();
  block->mem = std::move(data);
  if (block->mem.empty()) block->mem.push_back(0);  // never hand out a null pointer
  uint8_t *p = block->mem.data();
  {
    Registry &r = Reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.byPointer[p] = std::move(block);
  }
  out->Length = static_cast<int32_t>(length);
  out->Data = p;
  return kOk;
}

void HandOutRecord(TelvoraSession s, BlockKind kind, std::unique_ptr<CertText> text, TelvoraCertInfo &rec) {
  auto block = std::make_unique<Block>();
  block->session = s;
  block->kind = kind;
  std::memset(&rec, 0, sizeof rec);
  text->Fill(rec);
  block->texts.push_back(std::move(text));
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  uint64_t id = r.nextRecord++;
  TagRecord(rec, id);
  r.byRecord[id] = std::move(block);
}

void HandOutArray(const void *key, std::unique_ptr<Block> block) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.byPointer[key] = std::move(block);
}

int32_t OutstandingBlocks() {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lock(r.mutex);
  return static_cast<int32_t>(r.byPointer.size() + r.byRecord.size());
}

}  // namespace cpki1
