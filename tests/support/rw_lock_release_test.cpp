// Releasing the reader/writer lock where a release can go wrong: a guard
// whose read is already gone, and a lock destroyed while another thread
// still reads.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/rw_lock.h"
#include "test_latch.h"

namespace crtelv {
namespace {

TEST(RWLockRelease, AGuardWhoseReadIsGoneEndsQuietly) {
  TRWCriticalSection lock;
  {
    ReadGuard guard(lock);
    lock.ReleaseRead();  // the guard's read, given back by hand
  }                      // the guard's own release must not throw
  EXPECT_EQ(lock.Count(), 0);
  EXPECT_THROW(lock.ReleaseRead(), std::exception);
}

// A thread that never releases its read must not hang the destruction (as
// at the library's unload): the wait is bounded.
TEST(RWLockRelease, DestructionWaitsForAStuckReaderOnlySoLong) {
  auto lock = std::make_unique<TRWCriticalSection>();
  lock->SetDestroyWait(20);
  test::Latch reading(1), leave(1);
  std::thread reader([&] {
    lock->AcquireRead();
    reading.count_down();
    leave.wait();  // ends without touching the lock again
  });
  reading.wait();
  lock.reset();
  leave.count_down();
  reader.join();
  SUCCEED();
}

}  // namespace
}  // namespace crtelv
