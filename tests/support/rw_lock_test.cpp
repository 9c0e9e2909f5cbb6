#include "support/rw_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include "test_latch.h"
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/failure.h"

namespace crtelv {
namespace {

using platform::ManualResetEvent;

// Waits until the lock records a waiting writer (or the writer got in,
// which a broken lock would allow): a handshake on observable state.
void AwaitWaitingWriter(TRWCriticalSection &lock, const std::atomic<bool> &entered) {
  while (lock.WaitingWriter() == 0 && !entered.load()) platform::YieldThread();
}

// A thread that takes the read side, reports it, and releases it on demand.
class Reader {
 public:
  explicit Reader(TRWCriticalSection &lock)
      : thread_([this, &lock] {
          id_ = platform::CurrentThreadId();
          lock.AcquireRead();
          holding_.Set();
          release_.Wait();
          lock.ReleaseRead();
        }) {
    holding_.Wait();
  }
  ~Reader() { Finish(); }
  void Finish() {
    release_.Set();
    if (thread_.joinable()) thread_.join();
  }
  uint32_t Id() const { return id_; }

 private:
  ManualResetEvent holding_{false};
  ManualResetEvent release_{false};
  uint32_t id_ = 0;
  std::thread thread_;
};

TEST(RWCriticalSectionTest, ReaderMayWriteAndItsReadsDuringTheWriteAreNotCounted) {
  TRWCriticalSection lock;
  lock.AcquireRead();
  lock.AcquireRead();
  EXPECT_EQ(lock.Count(), 2);
  lock.AcquireWrite();  // own reads do not block
  EXPECT_EQ(lock.Count(), 1);
  lock.AcquireRead();
  lock.ReleaseRead();
  EXPECT_EQ(lock.Count(), 1);
  lock.ReleaseWrite();
  EXPECT_EQ(lock.Count(), 2);
  lock.ReleaseRead();
  lock.ReleaseRead();
  EXPECT_EQ(lock.Count(), 0);
  EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{0, 0}));
}

TEST(RWCriticalSectionTest, WriterTakesNoTableEntry) {
  TRWCriticalSection lock;
  lock.AcquireWrite();
  lock.AcquireRead();  // first read of the writer itself: not counted
  EXPECT_EQ(lock.Count(), 1);
  EXPECT_EQ(lock.TableSize(), 0u);
  lock.ReleaseRead();
  lock.ReleaseWrite();
  EXPECT_EQ(lock.Count(), 0);
}

TEST(RWCriticalSectionTest, WaitingWriterBlocksNewReaderButNotNestedRead) {
  TRWCriticalSection lock;
  std::atomic<int> sequence{0};
  std::atomic<bool> bEntered{false}, cEntered{false};
  std::atomic<int> bReleased{0}, cAcquired{0};
  ManualResetEvent bInside(false), bMayRelease(false);
  test::Latch cStarting(1);

  lock.AcquireRead();  // this thread is A
  std::thread b([&] {
    lock.AcquireWrite();
    bEntered = true;
    bInside.Set();
    bMayRelease.Wait();
    bReleased = ++sequence;
    lock.ReleaseWrite();
  });
  AwaitWaitingWriter(lock, bEntered);
  EXPECT_FALSE(bEntered.load());

  lock.AcquireRead();  // nested: must not block behind the waiting writer
  EXPECT_EQ(lock.Count(), 2);

  std::thread c([&] {
    cStarting.count_down();
    lock.AcquireRead();
    cAcquired = ++sequence;
    cEntered = true;
    lock.ReleaseRead();
  });
  cStarting.wait();

  lock.ReleaseRead();
  EXPECT_FALSE(bEntered.load());  // A still reads once
  EXPECT_FALSE(cEntered.load());
  lock.ReleaseRead();
  bInside.Wait();
  EXPECT_FALSE(cEntered.load());  // B writes
  bMayRelease.Set();
  b.join();
  c.join();
  EXPECT_GT(cAcquired.load(), bReleased.load());
  EXPECT_EQ(lock.Count(), 0);
}

TEST(RWCriticalSectionTest, TableGrowsByTwoAndReusesLowestFreeEntry) {
  TRWCriticalSection lock;
  const uint32_t self = platform::CurrentThreadId();
  EXPECT_EQ(lock.TableSize(), 0u);
  lock.AcquireRead();
  EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{self, 0}));
  {
    Reader second(lock);
    EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{self, second.Id()}));
    Reader third(lock);
    EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{self, second.Id(), third.Id(), 0}));
    EXPECT_EQ(lock.Count(), 3);
    lock.ReleaseRead();
    EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{0, second.Id(), third.Id(), 0}));
  }
  EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(lock.Count(), 0);

  Reader fourth(lock);
  lock.AcquireRead();
  EXPECT_EQ(lock.TableThreads(), (std::vector<uint32_t>{fourth.Id(), self, 0, 0}));
  lock.ReleaseRead();
  fourth.Finish();
  EXPECT_EQ(lock.TableSize(), 4u);
}

TEST(RWCriticalSectionTest, ReleaseWithoutReadFailsAndChangesNothing) {
  TRWCriticalSection lock;
  try {
    lock.ReleaseRead();
    FAIL() << "no failure raised";
  } catch (const EAssertionFailed &failure) {
    EXPECT_STREQ(failure.what(), "Assertion failure (Packages\\ZPKTools\\rwsyncs, line 191)");
  }
  EXPECT_EQ(lock.Count(), 0);

  Reader other(lock);
  EXPECT_THROW(lock.ReleaseRead(), EAssertionFailed);
  EXPECT_EQ(lock.Count(), 1);
  // The table guard was given back: this thread can still read.
  lock.AcquireRead();
  EXPECT_EQ(lock.Count(), 2);
  lock.ReleaseRead();
  other.Finish();
  EXPECT_EQ(lock.Count(), 0);
}

TEST(RWCriticalSectionTest, NestedWriteLetsReadersInOnlyAfterLastRelease) {
  TRWCriticalSection lock;
  std::atomic<bool> entered{false};
  test::Latch starting(1);
  lock.AcquireWrite();
  lock.AcquireWrite();
  EXPECT_EQ(lock.Count(), 2);
  std::thread reader([&] {
    starting.count_down();
    lock.AcquireRead();
    entered = true;
    lock.ReleaseRead();
  });
  starting.wait();
  lock.ReleaseWrite();
  EXPECT_EQ(lock.Count(), 1);
  EXPECT_FALSE(entered.load());
  lock.ReleaseWrite();
  reader.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(lock.Count(), 0);
}

TEST(RWCriticalSectionTest, ReadingWriterWaitsForOthersAndKeepsLaterWritersOut) {
  TRWCriticalSection lock;
  std::atomic<bool> bEntered{false}, wEntered{false};
  ManualResetEvent bInside(false), bMayEndWrite(false), bWriteEnded(false), bMayEndRead(false);
  auto a = std::make_unique<Reader>(lock);

  std::thread b([&] {
    lock.AcquireRead();
    lock.AcquireWrite();
    bEntered = true;
    bInside.Set();
    bMayEndWrite.Wait();
    lock.ReleaseWrite();
    bWriteEnded.Set();
    bMayEndRead.Wait();
    lock.ReleaseRead();
  });
  AwaitWaitingWriter(lock, bEntered);
  EXPECT_FALSE(bEntered.load());
  EXPECT_FALSE(lock.OnlyWriterReads());
  a.reset();  // A's release leaves only the writer's own read
  bInside.Wait();
  EXPECT_EQ(lock.Count(), 1);
  bMayEndWrite.Set();
  bWriteEnded.Wait();
  EXPECT_EQ(lock.Count(), 1);  // B's read again

  // A second writer must wait for B's read, although the readers-done
  // signal was given to B a moment ago.
  std::thread w([&] {
    lock.AcquireWrite();
    wEntered = true;
    lock.ReleaseWrite();
  });
  AwaitWaitingWriter(lock, wEntered);
  EXPECT_FALSE(wEntered.load());
  EXPECT_FALSE(lock.OnlyWriterReads());
  bMayEndRead.Set();
  b.join();
  w.join();
  EXPECT_TRUE(wEntered.load());
  EXPECT_EQ(lock.Count(), 0);
}

TEST(RWCriticalSectionTest, DestructionWaitsForOtherReaders) {
  auto *lock = new TRWCriticalSection;
  std::atomic<bool> destroyed{false};
  auto reader = std::make_unique<Reader>(*lock);
  std::thread destroyer([&] {
    delete lock;
    destroyed = true;
  });
  AwaitWaitingWriter(*lock, destroyed);
  EXPECT_FALSE(destroyed.load());
  reader.reset();  // last use of the lock by this thread is above
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
}

TEST(RWCriticalSectionTest, MixedUseKeepsWritersExclusive) {
  TRWCriticalSection lock;
  std::atomic<int> readers{0}, writers{0}, violations{0};
  constexpr int kThreads = 4;
  constexpr int kRounds = 400;
  test::Latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 5 == 0) {
          WriteGuard write(lock);
          if (writers.fetch_add(1) != 0 || readers.load() != 0) ++violations;
          if (i % 2 == 0) {
            WriteGuard nested(lock);
            ReadGuard ownRead(lock);
          }
          writers.fetch_sub(1);
        } else {
          ReadGuard read(lock);
          readers.fetch_add(1);
          if (writers.load() != 0) ++violations;
          {
            ReadGuard nested(lock);
            if (writers.load() != 0) ++violations;
          }
          readers.fetch_sub(1);
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(lock.Count(), 0);
  for (uint32_t id : lock.TableThreads()) EXPECT_EQ(id, 0u);
}

}  // namespace
}  // namespace crtelv
