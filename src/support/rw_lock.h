// TRWCriticalSection: a process-local reader/writer lock.
//
// Both sides are re-entrant per thread; a thread that reads may also write;
// a writer that waits blocks new readers but lets threads that already read
// go on reading, so nested reads never deadlock against a waiting writer.
// Readers are tracked in a small table of {thread id, read count} entries
// guarded by a spin word; the writer side is a recursive critical section;
// a manual-reset event tells a waiting writer that the other readers left.
#ifndef CRTELV_SUPPORT_RW_LOCK_H
#define CRTELV_SUPPORT_RW_LOCK_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace crtelv {

class TRWCriticalSection {
 public:
  TRWCriticalSection();
  // Takes the write side (waiting until no other thread reads, but at most
  // DestroyWaitMs: a reader that never leaves must not hang the library's
  // unload), then frees the lock's resources.
  ~TRWCriticalSection();
  TRWCriticalSection(const TRWCriticalSection &) = delete;
  TRWCriticalSection &operator=(const TRWCriticalSection &) = delete;

  void AcquireRead();
  // Throws EAssertionFailed ("Assertion failure (Packages\ZPKTools\rwsyncs,
  // line 191)") when the calling thread holds no read; nothing changes then.
  void ReleaseRead();
  void AcquireWrite();
  void ReleaseWrite();

  // How long the destructor waits for other threads' reads to end.
  void SetDestroyWait(uint32_t ms) { destroyWaitMs_ = ms; }
  static constexpr uint32_t kDefaultDestroyWaitMs = 5000;

  // True when a writer waits and no table entry belongs to another thread.
  bool OnlyWriterReads();

  // Inspection for tests and diagnostics.
  int32_t Count() const { return count_.load(); }
  std::size_t TableSize() const;
  // Thread ids of the table's usable entries in index order (0 = free).
  std::vector<uint32_t> TableThreads() const;
  // Id of the thread inside AcquireWrite waiting for readers; 0 if none.
  uint32_t WaitingWriter() const { return waitingWriter_.load(); }

 private:
  struct Entry {
    uint32_t threadId;
    int32_t readCount;
  };
  class TableLock;
  void LockTable(uint32_t self) const;
  void UnlockTable() const;
  Entry *FindEntry(uint32_t threadId);
  Entry &TakeEntry(uint32_t threadId);
  bool OnlyWriterReadsLocked() const;

  platform::CriticalSection writerLock_;
  platform::ManualResetEvent readersDone_{true};
  std::atomic<int32_t> count_{0};
  int32_t savedReadCount_ = 0;
  std::vector<Entry> table_;
  std::atomic<uint32_t> waitingWriter_{0};
  mutable std::atomic<uint32_t> tableGuard_{0};
  std::atomic<bool> writing_{false};
  // Id of the writing thread while writing_ is true, else 0.
  std::atomic<uint32_t> writer_{0};
  uint32_t destroyWaitMs_ = kDefaultDestroyWaitMs;
};

// Holds the read side for the lifetime of the guard.
class ReadGuard {
 public:
  explicit ReadGuard(TRWCriticalSection &lock) : lock_(lock) { lock_.AcquireRead(); }
  ~ReadGuard() {
    try {
      lock_.ReleaseRead();
    } catch (...) {
      // Not held after all (the lock says so by an assertion failure):
      // nothing to give back, and a destructor must not throw.
    }
  }
  ReadGuard(const ReadGuard &) = delete;
  ReadGuard &operator=(const ReadGuard &) = delete;

 private:
  TRWCriticalSection &lock_;
};

// Holds the write side for the lifetime of the guard.
class WriteGuard {
 public:
  explicit WriteGuard(TRWCriticalSection &lock) : lock_(lock) { lock_.AcquireWrite(); }
  ~WriteGuard() { lock_.ReleaseWrite(); }
  WriteGuard(const WriteGuard &) = delete;
  WriteGuard &operator=(const WriteGuard &) = delete;

 private:
  TRWCriticalSection &lock_;
};

}  // namespace crtelv

#endif  // CRTELV_SUPPORT_RW_LOCK_H
