// The parameter table of the base engine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "engine/crypto_engine.h"

namespace crtelv {
namespace {

class ParamEngine : public TCryptoEngine {
 public:
  ParamEngine() {
    AddParam("Alpha", "one");
    AddParam("Beta", "");
    AddParam(std::string(300, 'n'), "x");
  }
};

// A descendant with small limits: the base reads them through the engine.
class SmallLimitEngine : public ParamEngine {
 public:
  int32_t GetMaxCryptoParamNameLength() override { return 4; }
  int32_t GetMaxCryptoParamValueLength() override { return 3; }
};

// A buffer filled with a marker, to see how far a write went.
struct Buffer {
  explicit Buffer(std::size_t size) : bytes(size, '#') {}
  char *data() { return bytes.data(); }
  std::string Text() const { return std::string(bytes.data()); }
  // Index of the first byte that still holds the marker.
  std::size_t Written() const { return bytes.find('#'); }
  std::string bytes;
};

TEST(EngineParams, NamesAndValuesByNumber) {
  ParamEngine engine;
  EXPECT_EQ(engine.GetCryptoParamNumber(), 3);
  Buffer name(255), value(1024);
  engine.GetCryptoParamName(1, name.data());
  engine.GetCryptoParamValue(1, value.data());
  EXPECT_EQ(name.Text(), "Alpha");
  EXPECT_EQ(value.Text(), "one");
  engine.GetCryptoParamValue(2, value.data());
  EXPECT_EQ(value.Text(), "");
}

TEST(EngineParams, IndexOutOfRangeWritesTheEmptyText) {
  ParamEngine engine;
  for (int32_t index : {0, -1, -100, 4, 1000}) {
    Buffer name(255), value(1024);
    engine.GetCryptoParamName(index, name.data());
    engine.GetCryptoParamValue(index, value.data());
    EXPECT_EQ(name.Written(), 1u) << index;
    EXPECT_EQ(name.bytes[0], '\0') << index;
    EXPECT_EQ(value.Written(), 1u) << index;
    EXPECT_EQ(value.bytes[0], '\0') << index;
  }
}

TEST(EngineParams, NameStaysWithinTheNameLimit) {
  ParamEngine engine;
  Buffer name(400);
  engine.GetCryptoParamName(3, name.data());
  // 254 characters and the terminator fill the 255-byte buffer exactly.
  EXPECT_EQ(name.Text(), std::string(254, 'n'));
  EXPECT_EQ(name.Written(), 255u);
}

TEST(EngineParams, LongValueIsStoredWholeAndReadBackCut) {
  ParamEngine engine;
  const std::string value(2000, 'v');
  EXPECT_EQ(engine.SetCryptoParamValue(1, value.c_str()), kOk);
  EXPECT_EQ(engine.ParamValues()[0], value);
  Buffer read(2100);
  engine.GetCryptoParamValue(1, read.data());
  EXPECT_EQ(read.Text(), std::string(1023, 'v'));
  EXPECT_EQ(read.Written(), 1024u);
}

TEST(EngineParams, DescendantLimitsApply) {
  SmallLimitEngine engine;
  Buffer name(16), value(16);
  engine.GetCryptoParamName(1, name.data());
  engine.GetCryptoParamValue(1, value.data());
  EXPECT_EQ(name.Text(), "Alp");
  EXPECT_EQ(name.Written(), 4u);
  EXPECT_EQ(value.Text(), "on");
  EXPECT_EQ(value.Written(), 3u);
}

TEST(EngineParams, SetOutsideTheTableChangesNothing) {
  ParamEngine engine;
  EXPECT_EQ(engine.SetCryptoParamValue(engine.GetCryptoParamNumber() + 1, "new"), kNotSupported);
  EXPECT_EQ(engine.SetCryptoParamValue(0, "new"), kNotSupported);
  EXPECT_EQ(engine.SetCryptoParamValue(-3, "new"), kNotSupported);
  EXPECT_EQ(engine.ParamValues(), (std::vector<std::string>{"one", "", "x"}));
}

TEST(EngineParams, SetThenGetAndEmptyValues) {
  ParamEngine engine;
  EXPECT_EQ(engine.SetCryptoParamValue(3, "changed"), kOk);
  Buffer value(1024);
  engine.GetCryptoParamValue(3, value.data());
  EXPECT_EQ(value.Text(), "changed");
  EXPECT_EQ(engine.SetCryptoParamValue(3, ""), kOk);
  engine.GetCryptoParamValue(3, value.data());
  EXPECT_EQ(value.Text(), "");
  // A null value is the empty text.
  EXPECT_EQ(engine.SetCryptoParamValue(1, nullptr), kOk);
  EXPECT_EQ(engine.ParamValues()[0], "");
}

TEST(EngineParams, NullBuffersAreLeftAlone) {
  ParamEngine engine;
  EXPECT_NO_THROW(engine.GetCryptoParamName(1, nullptr));
  EXPECT_NO_THROW(engine.GetCryptoParamValue(1, nullptr));
  EXPECT_NO_THROW(engine.GetCryptoParamName(0, nullptr));
}

TEST(EngineParams, EnginesHaveTheirOwnTables) {
  ParamEngine first, second;
  first.SetCryptoParamValue(1, "first");
  EXPECT_EQ(second.ParamValues()[0], "one");
  EXPECT_TRUE(TCryptoEngine().ParamNames().empty());
}

}  // namespace
}  // namespace crtelv

namespace crtelv {
namespace {

// One thread changes a value while another reads it, as an operation does at
// its start: every read sees one whole value, never a mixture or freed text.
TEST(EngineParams, ValuesChangeSafelyWhileAnotherThreadReadsThem) {
  ParamEngine engine;
  const std::string a(200, 'a'), b(300, 'b');
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) engine.SetCryptoParamValue(1, (i % 2 != 0 ? a : b).c_str());
    done = true;
  });
  int bad = 0;
  char value[1025];
  while (!done.load()) {
    const std::string copy = engine.ParamValues()[0];
    engine.GetCryptoParamValue(1, value);
    if ((copy != a && copy != b && copy != "one") || (value != a && value != b && std::string(value) != "one")) ++bad;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
}

// Two threads on one engine: the folder and the callbacks that the exports set
// are read whole by the other thread (ThreadSanitizer sees every access).
TEST(EngineParams, FolderAndCallbacksChangeSafelyWhileAnotherThreadReadsThem) {
  ParamEngine engine;
  const std::string a = std::string(100, 'a') + "\\", b = std::string(200, 'b') + "\\";
  int calls[2] = {};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 5000; ++i) {
      engine.SetRemoteGeneratePath(i % 2 != 0 ? a : b);
      engine.SetPasswordRequestFunc(&calls[i % 2]);
      engine.SetTMRequestFunc(&calls[(i + 1) % 2]);
    }
    done = true;
  });
  int bad = 0;
  while (!done.load()) {
    const std::string folder = engine.RemoteGeneratePath();
    void *password = engine.PasswordRequestFunc();
    void *tm = engine.TMRequestFunc();
    if (!folder.empty() && folder != a && folder != b) ++bad;
    if (password != nullptr && password != &calls[0] && password != &calls[1]) ++bad;
    if (tm != nullptr && tm != &calls[0] && tm != &calls[1]) ++bad;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(engine.RemoteGeneratePath(), a);
}

}  // namespace
}  // namespace crtelv
