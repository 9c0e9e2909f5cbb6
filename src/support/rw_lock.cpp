#include "support/rw_lock.h"

#include "support/failure.h"

namespace crtelv {

// Holds the table guard for a scope; Unlock may end it early.
class TRWCriticalSection::TableLock {
 public:
  TableLock(const TRWCriticalSection &owner, uint32_t self) : owner_(owner) { owner_.LockTable(self); }
  ~TableLock() { Unlock(); }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
  void Unlock() {
    if (held_) owner_.UnlockTable();
    held_ = false;
  }

 private:
  const TRWCriticalSection &owner_;
  bool held_ = true;
};

TRWCriticalSection::TRWCriticalSection() = default;

TRWCriticalSection::~TRWCriticalSection() {
  // Wait until no other thread reads (for a bounded time: a thread that
  // never releases its read must not hang the unload), then until the last
  // reader has also let go of the table guard. The writer lock is left
  // again because a mutex must not be destroyed while it is held.
  writerLock_.Enter();
  const uint32_t self = platform::CurrentThreadId();
  if (!writing_.load()) {
    bool onlyOwnReads;
    {
      TableLock lock(*this, self);
      waitingWriter_.store(self);
      onlyOwnReads = OnlyWriterReadsLocked();
    }
    if (!onlyOwnReads) readersDone_.WaitFor(destroyWaitMs_);
  }
  LockTable(self);
  UnlockTable();
  writerLock_.Leave();
}

void TRWCriticalSection::LockTable(uint32_t self) const {
  while (tableGuard_.exchange(self, std::memory_order_acquire) != 0) platform::YieldThread();
}

void TRWCriticalSection::UnlockTable() const { tableGuard_.store(0, std::memory_order_release); }

TRWCriticalSection::Entry *TRWCriticalSection::FindEntry(uint32_t threadId) {
  for (Entry &entry : table_)
    if (entry.threadId == threadId) return &entry;
  return nullptr;
}

TRWCriticalSection::Entry &TRWCriticalSection::TakeEntry(uint32_t threadId) {
  if (Entry *own = FindEntry(threadId)) return *own;
  Entry *entry = FindEntry(0);
  if (entry == nullptr) {
    const std::size_t first = table_.size();
    table_.resize(first + 2, Entry{0, 0});
    entry = &table_[first];
  }
  entry->threadId = threadId;
  entry->readCount = 0;
  return *entry;
}

bool TRWCriticalSection::OnlyWriterReadsLocked() const {
  const uint32_t writer = waitingWriter_.load();
  if (writer == 0) return false;
  for (const Entry &entry : table_)
    if (entry.threadId != 0 && entry.threadId != writer) return false;
  return true;
}

bool TRWCriticalSection::OnlyWriterReads() {
  TableLock lock(*this, platform::CurrentThreadId());
  return OnlyWriterReadsLocked();
}

std::size_t TRWCriticalSection::TableSize() const {
  TableLock lock(*this, platform::CurrentThreadId());
  return table_.size();
}

std::vector<uint32_t> TRWCriticalSection::TableThreads() const {
  std::vector<uint32_t> threads;
  TableLock lock(*this, platform::CurrentThreadId());
  threads.reserve(table_.size());
  for (const Entry &entry : table_) threads.push_back(entry.threadId);
  return threads;
}

void TRWCriticalSection::AcquireRead() {
  const uint32_t self = platform::CurrentThreadId();
  {
    TableLock lock(*this, self);
    if (Entry *own = FindEntry(self)) {
      // A thread that already reads never blocks. While it writes, its
      // reads are not counted (ReleaseRead ignores them too).
      if (!writing_.load()) {
        ++own->readCount;
        ++count_;
      }
      return;
    }
  }
  // A first read waits while another thread writes or waits to write.
  platform::CriticalSectionGuard writer(writerLock_);
  if (writing_.load()) return;  // the writer itself: not counted
  TableLock lock(*this, self);
  Entry &entry = TakeEntry(self);  // may grow the table, before anything is counted
  ++entry.readCount;
  // Count and the event change together under the table guard, so a release
  // that brings Count to 0 cannot set the event after this reset.
  if (++count_ == 1) readersDone_.Reset();
}

void TRWCriticalSection::ReleaseRead() {
  const uint32_t self = platform::CurrentThreadId();
  if (writing_.load() && writer_.load() == self) return;  // reads during the write were not counted
  TableLock lock(*this, self);
  Entry *own = FindEntry(self);
  if (own == nullptr) {
    lock.Unlock();
    throw EAssertionFailed(AssertionMessage("Packages\\ZPKTools\\rwsyncs", 191));
  }
  if (--own->readCount == 0) own->threadId = 0;
  // Wake a waiting writer when nobody reads, or only the writer itself.
  if (--count_ == 0 || OnlyWriterReadsLocked()) readersDone_.Set();
}

void TRWCriticalSection::AcquireWrite() {
  writerLock_.Enter();
  if (!writing_.load()) {
    const uint32_t self = platform::CurrentThreadId();
    bool onlyOwnReads;
    {
      TableLock lock(*this, self);
      waitingWriter_.store(self);
      onlyOwnReads = OnlyWriterReadsLocked();
    }
    if (!onlyOwnReads) readersDone_.Wait();
    TableLock lock(*this, self);
    savedReadCount_ = count_.load();
    count_.store(0);
    waitingWriter_.store(0);
    writer_.store(self);
    writing_.store(true);
  }
  ++count_;
}

void TRWCriticalSection::ReleaseWrite() {
  if (--count_ == 0) {
    TableLock lock(*this, platform::CurrentThreadId());
    count_.store(savedReadCount_);
    savedReadCount_ = 0;
    writing_.store(false);
    writer_.store(0);
    // The writer's own reads go on: a later writer must wait for them, so
    // the event must not stay signalled from the wake-up of this writer.
    if (count_.load() > 0) readersDone_.Reset();
  }
  writerLock_.Leave();
}

}  // namespace crtelv
