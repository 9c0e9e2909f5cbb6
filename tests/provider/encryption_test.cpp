// Encrypting data for recipients and decrypting it, in the host's buffer.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "binding_fixture.h"

namespace crtelv::test {
namespace {

class Encryption : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    // The user's certificate is also among the others, so that one can
    // encrypt for oneself.
    sim.Add(kUser1);
  }
  // A host buffer holding data, with room for extra bytes after it.
  static std::vector<char> Buffer(const std::string &data, std::size_t extra) {
    std::vector<char> buffer(data.size() + extra, '#');
    std::memcpy(buffer.data(), data.data(), data.size());
    return buffer;
  }
};

TEST_F(Encryption, EncodeThenDecodeForGivenAndDefaultRecipients) {
  const std::string data = "secret data";
  for (const char *recipients : {"User1", static_cast<const char *>(nullptr), ""}) {
    Engine engine;
    engine.Set(kParamEncryptForUID, "User1");
    std::vector<char> buffer = Buffer(data, 4096);
    int32_t size = static_cast<int32_t>(data.size());
    ASSERT_EQ(engine->EncodeData(buffer.data(), &size, recipients), 0);
    EXPECT_NE(std::string(buffer.data(), static_cast<std::size_t>(size)), data);
    int third = 0;
    ASSERT_EQ(engine->DecodeData(buffer.data(), &size, &third), 0);
    EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(size)), data);
  }
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_EncryptMem")[0], "flags=1 selector=none recipients=1 serials=\"0A:1B\""));
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_DecryptMem")[0], "flags=1 selector=none length="));
  // Nobody to encrypt for: -13 without the provider.
  ClearCache();
  sim.SimReset();
  Engine engine;
  std::vector<char> buffer = Buffer(data, 4096);
  int32_t size = static_cast<int32_t>(data.size());
  EXPECT_EQ(engine->EncodeData(buffer.data(), &size, ""), kNoUID);
  EXPECT_EQ(sim.SimCallCount(), 0);
}

TEST_F(Encryption, RecipientsByCommonName) {
  sim.Add({.subject = "CN=A,O=Example", .serial = "0A"});
  sim.Add({.subject = "CN=B,O=Example", .serial = "0B"});
  sim.Add({.subject = "CN=B,O=Other", .serial = "0C"});
  Engine engine;
  std::vector<char> buffer = Buffer("x", 8192);
  int32_t size = 1;
  ASSERT_EQ(engine->EncodeData(buffer.data(), &size, "A;Nobody;B"), 0);
  auto finds = sim.CallsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 3u);
  const char *subjects[] = {"CN=A", "CN=Nobody", "CN=B"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(Has(finds[i], "stores=2 matchBy=4 issuer=none serial=none subject=\"" + std::string(subjects[i]) +
                                  "\" ekus=\"\" fields=0x3 selector=none"))
        << finds[i];
  }
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_EncryptMem")[0], "recipients=3 serials=\"0A;0B;0C\""));
  // The message goes back first, then every find result in list order.
  auto calls = sim.Calls();
  auto encrypt = std::find_if(calls.begin(), calls.end(), [](auto &l) { return l.rfind("VCERT_EncryptMem", 0) == 0; });
  ASSERT_GE(calls.end() - encrypt, 5);
  EXPECT_TRUE(Has(encrypt[1], "VCERT_FreeMem")) << encrypt[1];
  EXPECT_TRUE(Has(encrypt[2], "kind=find count=1")) << encrypt[2];
  EXPECT_TRUE(Has(encrypt[3], "kind=find count=0")) << encrypt[3];
  EXPECT_TRUE(Has(encrypt[4], "kind=find count=2")) << encrypt[4];
}

TEST_F(Encryption, RecipientsBySerialUnderTheUsersIssuer) {
  sim.Add({.subject = "CN=A,O=Example", .serial = "0C:1D"});
  sim.Add({.subject = "CN=B,O=Example", .serial = "ABC"});
  Engine engine;
  engine.Set(kParamUIDLocation, "SN");
  std::vector<char> buffer = Buffer("x", 8192);
  int32_t size = 1;
  ASSERT_EQ(engine->EncodeData(buffer.data(), &size, "0C1D;ABC"), 0);
  auto finds = sim.CallsOf("VCERT_FindCert");
  ASSERT_EQ(finds.size(), 3u);
  EXPECT_TRUE(Has(finds[0], "stores=1 ")) << finds[0];
  EXPECT_TRUE(Has(finds[1], "stores=2 matchBy=3 issuer=\"CN=Test CA,O=Example\" serial=\"0C:1D\"")) << finds[1];
  EXPECT_TRUE(Has(finds[2], "serial=\"ABC\"")) << finds[2];
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_EncryptMem")[0], "recipients=2"));
}

TEST_F(Encryption, FailuresAndAnEmptyList) {
  Engine engine;
  std::vector<char> buffer = Buffer("x", 4096);
  int32_t size = 1;
  sim.Fail("VCERT_FindCert", 55);
  EXPECT_EQ(engine->EncodeData(buffer.data(), &size, "User1;User1"), 55);
  sim.Fail("VCERT_FindCert", 0);
  sim.Fail("VCERT_EncryptMem", 56);
  EXPECT_EQ(engine->EncodeData(buffer.data(), &size, "User1;User1"), 56);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(buffer[0], 'x');
  BindingRef binding;
  ASSERT_EQ(engine->AcquireBinding(engine.Params(), binding), 0);
  EXPECT_EQ(binding->EncodeData(engine.Params(), buffer.data(), size, 4097, ""), kBadRecipients);
  // Data for nobody here: the provider's status, the buffer as it was.
  const std::string junk = "not a message";
  std::vector<char> other = Buffer(junk, 0);
  size = static_cast<int32_t>(junk.size());
  int third = 0;
  EXPECT_EQ(engine->DecodeData(other.data(), &size, &third), SIM_E_BAD_ENCODING);
  EXPECT_EQ(std::string(other.begin(), other.end()), junk);
}

// Results past the host's contract are refused with nothing written, and
// every provider result is still released.
TEST_F(Encryption, ResultsOutsideTheContractAreRefused) {
  const std::string data = "secret data";
  const int32_t length = static_cast<int32_t>(data.size());
  struct Case {
    const char *recipients;
    int32_t grow;
    int32_t result;
  } cases[] = {{"User1", 4096, kNoMemory}, {"User1;User1", 4096, 0}};
  for (const Case &c : cases) {
    sim.SimSetOutputShape("VCERT_EncryptMem", SIM_OUTPUT_GROW, c.grow);
    Engine engine;
    std::vector<char> buffer = Buffer(data, 3 * 4096);
    int32_t size = length;
    EXPECT_EQ(engine->EncodeData(buffer.data(), &size, c.recipients), c.result) << c.recipients;
    if (c.result != 0) {
      EXPECT_EQ(size, length);
      EXPECT_EQ(std::string(buffer.data(), data.size()), data);
      EXPECT_EQ(buffer[data.size()], '#');
    }
  }
  sim.SimSetOutputShape("VCERT_EncryptMem", SIM_OUTPUT_ASIS, 0);

  Engine engine;
  std::vector<char> buffer = Buffer(data, 4096);
  int32_t size = length;
  ASSERT_EQ(engine->EncodeData(buffer.data(), &size, "User1"), 0);
  const std::vector<char> message(buffer.begin(), buffer.begin() + size);
  const int32_t messageSize = size;
  const int shapes[][2] = {{SIM_OUTPUT_GROW, messageSize}, {SIM_OUTPUT_LENGTH, -1}, {SIM_OUTPUT_NODATA, 0}};
  for (const auto &shape : shapes) {
    sim.SimSetOutputShape("VCERT_DecryptMem", shape[0], shape[1]);
    int third = 0;
    EXPECT_EQ(engine->DecodeData(buffer.data(), &size, &third), kNoMemory) << shape[0];
    EXPECT_EQ(size, messageSize);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), buffer.begin()));
    EXPECT_EQ(sim.SimOutstanding(), 0);
    EXPECT_EQ(sim.CallsOf("VCERT_FreeDecryptResult").size(), static_cast<std::size_t>(&shape - shapes + 1));
  }
}

}  // namespace
}  // namespace crtelv::test
