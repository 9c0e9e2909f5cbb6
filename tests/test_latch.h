// A single-use count-down latch for threaded tests.
//
// The standard library's latch is not used: GCC 12's libstdc++ builds its waiting on a shared
// table of mutexes and condition variables where the system has no futex
// (the Windows build), and there it sometimes misses the final count-down
// and waits for ever. This one is a mutex and a condition variable, and a
// waiter looks at the count again every few milliseconds: a wake-up that the
// thread library loses delays it a little instead of stopping the test.
#ifndef CRTELV_TESTS_TEST_LATCH_H
#define CRTELV_TESTS_TEST_LATCH_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <mutex>

namespace crtelv::test {

// A bound for a wait that only catches a hang, grown by the factor in
// CRTELV_TEST_TIME_SCALE where the whole run is slower (Wine through an
// emulator runs about ten times slower).
inline std::chrono::milliseconds ScaledBound(std::chrono::milliseconds bound) {
  const char *text = std::getenv("CRTELV_TEST_TIME_SCALE");
  const long scale = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
  return scale > 1 && scale <= 100 ? bound * scale : bound;
}

class Latch {
 public:
  explicit Latch(std::ptrdiff_t expected) : count_(expected) {}
  Latch(const Latch &) = delete;
  Latch &operator=(const Latch &) = delete;

  void count_down(std::ptrdiff_t n = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ -= n;
    if (count_ <= 0) zero_.notify_all();
  }

  bool try_wait() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ <= 0;
  }

  void wait() const {
    std::unique_lock<std::mutex> lock(mutex_);
    while (count_ > 0) zero_.wait_for(lock, std::chrono::milliseconds(5));
  }

  // Waits at most timeout; true when the count reached zero. Only a bound
  // for tests that would hang on a regression, never a measure of time.
  template <typename Rep, typename Period>
  bool wait_for(const std::chrono::duration<Rep, Period> &timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return zero_.wait_for(lock, timeout, [this] { return count_ <= 0; });
  }

  void arrive_and_wait(std::ptrdiff_t n = 1) {
    count_down(n);
    wait();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable zero_;
  std::ptrdiff_t count_;
};

}  // namespace crtelv::test

#endif  // CRTELV_TESTS_TEST_LATCH_H
