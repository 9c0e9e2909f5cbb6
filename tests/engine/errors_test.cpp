// Error texts of the base engine and the last-error holder.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/crypto_engine.h"
#include "support/failure.h"
#include "test_latch.h"

namespace crtelv {
namespace {

TEST(SyncExceptStr, StartsEmptyAndKeepsTheLastText) {
  TSyncExceptStr text;
  EXPECT_EQ(text.GetText(), "");
  text.SetText("first");
  text.SetText("second");
  EXPECT_EQ(text.GetText(), "second");
}

TEST(SyncExceptStr, TheLaterOfTwoThreadsWins) {
  TSyncExceptStr text;
  test::Latch firstStored(1);
  std::thread first([&] {
    text.SetText("TTelvoraEngine.SignData: Exception: first");
    firstStored.count_down();
  });
  std::thread second([&] {
    firstStored.wait();
    text.SetText("TTelvoraEngine.VerifyData: Exception: second");
  });
  first.join();
  second.join();
  EXPECT_EQ(text.GetText(), "TTelvoraEngine.VerifyData: Exception: second");
}

TEST(SyncExceptStr, ReadersNeverSeeAMixtureOfTwoTexts) {
  TSyncExceptStr text;
  const std::string a(4000, 'a'), b(3000, 'b');
  text.SetText(a);
  test::Latch start(3);
  std::atomic<bool> writing{true};
  std::atomic<int> torn{0};
  auto reader = [&] {
    start.arrive_and_wait();
    do {
      std::string seen = text.GetText();
      if (seen != a && seen != b) ++torn;
    } while (writing.load());
  };
  std::thread r1(reader), r2(reader);
  start.arrive_and_wait();
  for (int i = 0; i < 300; ++i) text.SetText(i % 2 == 0 ? b : a);
  writing = false;
  r1.join();
  r2.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(text.GetText(), a);
}

// Fills a buffer with a marker byte to see where writes stop.
std::vector<char> Marked(std::size_t size) { return std::vector<char>(size, '\x7f'); }

TEST(BaseErrorString, CodeFollowsThePrefixAndZerosFillTheLimit) {
  TCryptoEngine engine;
  std::vector<char> message = Marked(300);
  engine.GetCryptoErrorString(-10, message.data());
  const std::string expected = "CRYPTO ENGINE ERROR : -10";
  EXPECT_EQ(std::string(message.data(), expected.size()), expected);
  for (std::size_t i = expected.size(); i < 255; ++i) ASSERT_EQ(message[i], '\0') << i;
  for (std::size_t i = 255; i < message.size(); ++i) ASSERT_EQ(message[i], '\x7f') << i;
}

TEST(BaseErrorString, OtherCodes) {
  TCryptoEngine engine;
  std::vector<char> message = Marked(255);
  engine.GetCryptoErrorString(0, message.data());
  EXPECT_STREQ(message.data(), "CRYPTO ENGINE ERROR : 0");
  engine.GetCryptoErrorString(INT_MIN, message.data());
  EXPECT_STREQ(message.data(), "CRYPTO ENGINE ERROR : -2147483648");
  engine.GetCryptoErrorString(12345, message.data());
  EXPECT_STREQ(message.data(), "CRYPTO ENGINE ERROR : 12345");
}

TEST(BaseErrorString, ShortLimitKeepsTheTerminatorInside) {
  struct ShortEngine : TCryptoEngine {
    int32_t GetMaxErrorStringLength() override { return 10; }
  } engine;
  std::vector<char> message = Marked(40);
  engine.GetCryptoErrorString(-10, message.data());
  EXPECT_EQ(std::string(message.data(), 10), std::string("CRYPTO EN\0", 10));
  EXPECT_EQ(message[10], '\x7f');
}

TEST(BaseErrorString, NullBufferWritesNothing) {
  TCryptoEngine engine;
  EXPECT_NO_THROW(engine.GetCryptoErrorString(-10, nullptr));
}

TEST(BaseLastErrorMessage, WritesTheEmptyTextEvenAfterAFailure) {
  TCryptoEngine engine;
  engine.LastErrorText().SetText("TTelvoraEngine.SignData: Exception: broken");
  std::vector<char> message = Marked(8);
  engine.GetLastErrorMessage(message.data());
  EXPECT_EQ(message[0], '\0');
  EXPECT_EQ(message[1], '\x7f');
}

TEST(BaseLastErrorMessage, NullBufferIsAnAssertionFailure) {
  TCryptoEngine engine;
  try {
    engine.GetLastErrorMessage(nullptr);
    FAIL() << "no failure raised";
  } catch (const EAssertionFailed &failure) {
    EXPECT_STREQ(failure.what(), "Assertion failure (dlls.sys\\Korvex\\cryptobj, line 719)");
  }
}

}  // namespace
}  // namespace crtelv
