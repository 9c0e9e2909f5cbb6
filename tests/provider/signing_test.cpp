// Hashing, signing and verifying data, and signed messages, through the
// provider engine and its binding.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "provider/cert_text.h"
#include "support/base64.h"
#include "support/text_lists.h"

namespace crtelv::test {
namespace {

bool StartsWith(const std::string &text, const std::string &head) { return text.rfind(head, 0) == 0; }

constexpr char kXml[] = "For sign XML data!";
constexpr char kClientAuth[] = "1.3.6.1.5.5.7.3.2";

// Own, and among the others so that bare signatures find their signer.
const Cert kOwn{.subject = "CN=User1,O=Example",
                .serial = "0A:1B",
                .store = TELVORA_STORE_OWN | TELVORA_STORE_OTHERS,
                .ekus = kClientAuth};

class Signing : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    sim.AddCert(kOwn);
  }
  // Starts over with a provider that holds only cert.
  void Restart(const SimCert &cert) {
    ClearCache();
    sim.SimReset();
    sim.AddCert(cert);
  }
  std::vector<uint8_t> Sign(Engine &engine, const std::string &data, const char *mode = nullptr) {
    std::vector<uint8_t> sign(2048);
    int32_t size = -1;
    EXPECT_EQ(engine->SignData(data.data(), static_cast<int32_t>(data.size()), sign.data(), &size, mode), 0);
    sign.resize(static_cast<std::size_t>(size > 0 ? size : 0));
    return sign;
  }
  // Verifies with signer as the text going in; signer gets what comes out.
  int32_t Verify(Engine &engine, const std::string &data, const std::vector<uint8_t> &sign, std::string &signer) {
    std::vector<char> buffer(4200, '#');
    std::memcpy(buffer.data(), signer.c_str(), signer.size() + 1);
    int32_t status = engine->VerifyData(data.data(), static_cast<int32_t>(data.size()), sign.data(),
                                        static_cast<int32_t>(sign.size()), buffer.data());
    signer = buffer.data();
    EXPECT_EQ(buffer[4198], '#');
    return status;
  }
};

// ---- Hashing ------------------------------------------------------------------------

using Hashing = Signing;

TEST_F(Hashing, SizeProtocolInEveryFormat) {
  Engine engine;
  BindingRef binding = Binding(engine);
  const std::string data = "hash me";
  const int32_t len = static_cast<int32_t>(data.size());
  std::string raw(32, '\0');
  int32_t size = 32;
  ASSERT_EQ(binding->HashData(engine.Params(), data.data(), len, 0, raw.data(), size), 0);
  ASSERT_EQ(size, 32);
  struct Case {
    int32_t format;
    std::string expected;
  } cases[] = {{0, raw}, {1, EncodeBase64(raw.data(), 32)}, {2, HexDump(raw.data(), 32, 255, 255)}};
  for (const Case &c : cases) {
    const int32_t needed = static_cast<int32_t>(c.expected.size());
    size = -5;
    EXPECT_EQ(binding->HashData(engine.Params(), data.data(), len, c.format, nullptr, size), 0);
    EXPECT_EQ(size, needed);
    std::string out(static_cast<std::size_t>(needed), '#');
    size = needed - 1;
    EXPECT_EQ(binding->HashData(engine.Params(), data.data(), len, c.format, out.data(), size), kNoMemory);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(out, std::string(static_cast<std::size_t>(needed), '#'));
    EXPECT_EQ(binding->HashData(engine.Params(), data.data(), len, c.format, out.data(), size), 0);
    EXPECT_EQ(out, c.expected) << c.format;
  }
  EXPECT_EQ(cases[2].expected.size(), 64u);
  EXPECT_EQ(cases[2].expected.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_HashMem")[0], "length=7"));
}

TEST_F(Hashing, SignerRestrictions) {
  const char *ekus[] = {"1.2.3", "1.3.6.1.5.5.7.3.2"};
  const char *withNull[] = {nullptr, "1.2.3"};
  struct Case {
    const char *restrictions;
    const char *const *list;
    int32_t count;
    bool passes;
  } cases[] = {
      {"1.2.3", nullptr, 0, true},           // no usages at all
      {"1.2.3", nullptr, 2, true},           // a count without a list
      {"", ekus, 2, true},                   // no restrictions
      {"9.9;1.3.6.1.5.5.7.3.2", ekus, 2, false},
      {"1.2.3;", ekus, 2, false},            // "1.2.3" and an empty item
      {" 1.2.3", ekus, 1, true},             // items are not trimmed
      {"1.2.3", withNull, 2, false},         // a missing entry is skipped
  };
  for (const Case &c : cases) {
    TelvoraCertInfo info{};
    info.ExtKeyUsageCount = c.count;
    info.ExtKeyUsage = c.list;
    EXPECT_EQ(CheckSignEKURestrictions(c.restrictions, info), c.passes) << c.restrictions;
  }
  TelvoraCertInfo upper{};
  const char *oid[] = {"1.2.ABC"};
  upper.ExtKeyUsageCount = 1;
  upper.ExtKeyUsage = oid;
  EXPECT_FALSE(CheckSignEKURestrictions("1.2.abc", upper));
}

// ---- Separate and bare signatures ---------------------------------------------------------

TEST_F(Signing, RequestWordsSelectWhatComesBack) {
  const std::vector<uint8_t> encoded = sim.Encode(kOwn);
  const std::string pem = CertToPEM(TelvoraBlob{static_cast<int32_t>(encoded.size()),
                                                const_cast<uint8_t *>(encoded.data())});
  struct Case {
    const char *location;
    const char *word;
    const char *fields;
    std::string answer;  // exact, or the beginning when ending in "..."
    std::size_t shown;
  } cases[] = {
      {"CN", "", "0x404", "User1", 0},
      {"CN", "getcertificate_onsuccess", "0x404", "User1", 0},
      {"CN", "ShowCertificate_OnSuccess", "0x10404", "User1", 1},
      {"CN", "GetCertificateProperties_OnSuccess", "0x3FFFF", "ICN=Test CA\r\nIO=Example\r\nSN=0A1B\r\n...", 0},
      {"CN", "GetCertificate_OnSuccess", "0x10404", pem, 0},
      {"SN", "", "0x401", "0A1B", 0},
      {"SN", "GetCertificateProperties_OnSuccess", "0x3FFFF", "ICN=Test CA...", 0},
      {"SN", "GetCertificate_OnSuccess", "0x10401", pem, 0},
  };
  const std::string data = "payload";
  for (const Case &c : cases) {
    ClearCache();
    sim.SimReset();
    sim.AddCert(kOwn);
    Engine engine;
    engine.Set(kParamUIDLocation, c.location);
    const std::vector<uint8_t> sign = Sign(engine, data);
    std::string signer = c.word;
    ASSERT_EQ(Verify(engine, data, sign, signer), 0) << c.word;
    if (c.answer.size() > 3 && c.answer.compare(c.answer.size() - 3, 3, "...") == 0) {
      EXPECT_TRUE(StartsWith(signer, c.answer.substr(0, c.answer.size() - 3))) << signer;
    } else {
      EXPECT_EQ(signer, c.answer) << c.word;
    }
    EXPECT_TRUE(Has(sim.CallsOf("VCERT_SignMem")[0], "flags=3 selector=none length=7 reserved=null"));
    const std::string verify = sim.CallsOf("VCERT_VerifyMem")[0];
    EXPECT_TRUE(Has(verify, "flags=3 selector=none option=0 fields=" + std::string(c.fields) + " data=7"))
        << c.word << ": " << verify;
    EXPECT_EQ(sim.CallsOf("VCERT_ShowCertificate").size(), c.shown);
  }
}

TEST_F(Signing, XmlSignaturesAreBareHashSignaturesFoundBySerial) {
  Engine engine;
  const std::string data = "<doc/>";
  const std::vector<uint8_t> sign = Sign(engine, data, kXml);
  ASSERT_EQ(sign.size(), 64u);
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_SignHashMem")[0], "flags=0 length=32"));
  EXPECT_TRUE(sim.CallsOf("VCERT_SignMem").empty());
  // The expected signer is named by serial; the answer is the CN.
  std::string signer = "0A1B";
  ASSERT_EQ(Verify(engine, data, sign, signer), 0);
  EXPECT_EQ(signer, "User1");
  EXPECT_EQ(sim.RecordsOf("VCERT_FindCert").back().Pick("stores matchBy issuer serial fields"),
            R"(stores=2 matchBy=3 issuer="CN=Test CA,O=Example" serial="0A:1B" fields=0x3FFFF)");
  // A request word names no signer of a bare signature.
  signer = "GetCertificate_OnSuccess";
  EXPECT_EQ(Verify(engine, data, sign, signer), kCertSelection);
  EXPECT_EQ(signer, "GetCertificate_OnSuccess");
  signer = "0A1B";
  EXPECT_EQ(Verify(engine, "<doc2>", sign, signer), SIM_E_BAD_SIGNATURE);
  EXPECT_EQ(signer, "0A1B");
  // Another letter case is no XML mode.
  EXPECT_GT(Sign(engine, data, "for sign xml data!").size(), 64u);
}

TEST_F(Signing, RefusedSignersLeaveTheRequestInPlace) {
  const std::string data = "payload";
  struct Case {
    const char *what;
    std::function<void(Sim &, Engine &)> arrange;
    const char *mode;
    int32_t result;
  } cases[] = {
      {"restricted usage", [](Sim &, Engine &e) { e.Set(kParamSignEKURestrictions, "1.3.6.1.5.5.7.3.2"); }, nullptr,
       kSignerEKU},
      {"restricted usage, bare", [](Sim &, Engine &e) { e.Set(kParamSignEKURestrictions, "1.3.6.1.5.5.7.3.2"); },
       kXml, kSignerEKU},
      {"two signers", [](Sim &s, Engine &) { s.SimSetSignerCount(2); }, nullptr, kBadSignFormat},
      {"no signer", [](Sim &s, Engine &) { s.SimSetSignerCount(0); }, nullptr, kBadSignFormat},
      {"signer without certificate", [](Sim &s, Engine &) { s.SimSetNullSignerCert(1); }, nullptr,
       kBadSignFormat},
      {"provider refuses", [](Sim &s, Engine &) { s.Fail("VCERT_VerifyMem", 77); }, nullptr, 77},
  };
  for (const Case &c : cases) {
    Engine engine;
    const std::vector<uint8_t> sign = Sign(engine, data, c.mode);
    c.arrange(sim, engine);
    std::string signer = c.mode != nullptr ? "0A1B" : "GetCertificateProperties_OnSuccess";
    const std::string before = signer;
    EXPECT_EQ(Verify(engine, data, sign, signer), c.result) << c.what;
    EXPECT_EQ(signer, before) << c.what;
    EXPECT_TRUE(sim.CallsOf("VCERT_ShowCertificate").empty());
    sim.SimSetSignerCount(1);
    sim.SimSetNullSignerCert(0);
    sim.Fail("VCERT_VerifyMem", 0);
  }
}

TEST_F(Signing, CertificatesThatDoNotFitTheAnswerAreRefused) {
  struct Case {
    int32_t encodedLength;
    int32_t result;
  } cases[] = {{2900, 0}, {3100, kNoMemory}};
  for (const Case &c : cases) {
    std::vector<uint8_t> encoded(static_cast<std::size_t>(c.encodedLength), 0x5A);
    SimCert cert = kOwn;
    cert.Encoded = encoded.data();
    cert.EncodedLength = c.encodedLength;
    Restart(cert);
    Engine engine;
    // A signature carrying such a certificate exceeds what SignData allows.
    std::vector<uint8_t> sign(8192);
    int32_t size = 0;
    ASSERT_EQ(Binding(engine)->SignData(engine.Params(), "data", 4, sign.data(), 8192, size), 0);
    sign.resize(static_cast<std::size_t>(size));
    std::string signer = "GetCertificate_OnSuccess";
    EXPECT_EQ(Verify(engine, "data", sign, signer), c.result);
    if (c.result == 0) {
      EXPECT_EQ(signer, CertToPEM(TelvoraBlob{c.encodedLength, encoded.data()}));
    } else {
      EXPECT_EQ(signer, "GetCertificate_OnSuccess");
    }
  }
}

// Provider results that break the host's buffer contract are refused whole.
TEST_F(Signing, ResultsOutsideTheContractAreRefused) {
  struct Case {
    const char *entry;
    const char *mode;
    int32_t shape;
    int32_t value;
  } cases[] = {
      {"VCERT_SignMem", nullptr, SIM_OUTPUT_GROW, 2048}, {"VCERT_SignMem", nullptr, SIM_OUTPUT_LENGTH, -1},
      {"VCERT_SignMem", nullptr, SIM_OUTPUT_NODATA, 0},  {"VCERT_SignHashMem", kXml, SIM_OUTPUT_GROW, 1990},
      {"VCERT_SignHashMem", kXml, SIM_OUTPUT_NODATA, 0},
  };
  for (const Case &c : cases) {
    sim.SimSetOutputShape(c.entry, c.shape, c.value);
    Engine engine;
    std::vector<uint8_t> sign(2048 + 16, '#');
    int32_t size = -1;
    EXPECT_EQ(engine->SignData("data", 4, sign.data(), &size, c.mode), kNoMemory) << c.entry << c.shape;
    EXPECT_EQ(size, -1);
    EXPECT_EQ(sign, std::vector<uint8_t>(2048 + 16, '#'));
    EXPECT_EQ(sim.SimOutstanding(), 0);
    sim.SimSetOutputShape(c.entry, SIM_OUTPUT_ASIS, 0);
  }
}

TEST_F(Signing, MissingPointersAndSizesAreRefusedBeforeTheProvider) {
  Engine engine;
  char data[64] = "data";
  char text[300] = "";
  int32_t zero = 0;
  int32_t four = 4;
  const std::function<int32_t()> calls[] = {
      [&] { return engine->SignData(data, 4, data, nullptr, nullptr); },
      [&] { return engine->SignData(data, 0, data, &four, nullptr); },
      [&] { return engine->VerifyData(data, 4, data, 0, text); },
      [&] { return engine->VerifyData(data, 4, data, 4, nullptr); },
      [&] { return engine->VerifyData(data, 0, data, 4, text); },
      [&] { return engine->AddSign(data, &zero, 0); },
      [&] { return engine->AddSign(data, nullptr, 0); },
      [&] { return engine->RemoveSignature(data, &zero, text); },
      [&] { return engine->RemoveSignature(data, nullptr, text); },
      [&] { return engine->RemoveSignature(data, &four, nullptr); },
      [&] { return engine->EncodeData(data, nullptr, "User1"); },
      [&] { return engine->DecodeData(data, &four, nullptr); },
  };
  for (const auto &call : calls) EXPECT_EQ(call(), kBadArgument);
  EXPECT_EQ(sim.SimCallCount(), 0);
}

// ---- Signed messages ---------------------------------------------------------------------

TEST_F(Signing, AddSignThenRemoveSignGivesTheDataBack) {
  Engine engine;
  const std::string data = "message body";
  std::vector<char> buffer(data.size() + 2048);
  std::memcpy(buffer.data(), data.data(), data.size());
  int32_t size = static_cast<int32_t>(data.size());
  ASSERT_EQ(engine->AddSign(buffer.data(), &size, 0), 0);
  EXPECT_GT(size, static_cast<int32_t>(data.size()));
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_SignMem")[0], "flags=1 selector=none length=12"));
  char signer[256] = "x";
  ASSERT_EQ(engine->RemoveSignature(buffer.data(), &size, signer), 0);
  EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(size)), data);
  EXPECT_STREQ(signer, "User1");
  EXPECT_TRUE(Has(sim.CallsOf("VCERT_VerifyMem")[0], "flags=5 selector=none option=-1 fields=0x404 data=none"));
}

TEST_F(Signing, RemoveSignDeliversTheSignerWhateverTheCode) {
  const std::string data = "message body";
  struct Case {
    const char *what;
    std::function<void(Sim &, Engine &)> arrange;
    int32_t result;
    const char *signer;
    bool content;  // the content replaced the message
  } cases[] = {
      {"restricted usage", [](Sim &, Engine &e) { e.Set(kParamSignEKURestrictions, "9.9;1.3.6.1.5.5.7.3.2"); },
       kSignerEKU, "User1", true},
      {"two signers", [](Sim &s, Engine &) { s.SimSetSignerCount(2); }, kBadSignFormat, "", false},
      {"signer without certificate", [](Sim &s, Engine &) { s.SimSetNullSignerCert(1); }, kBadSignFormat, "",
       false},
      {"content larger than the message",
       [](Sim &s, Engine &) { s.SimSetOutputShape("VCERT_VerifyMem", SIM_OUTPUT_GROW, 4096); }, kNoMemory, "User1",
       false},
      {"content with a negative length",
       [](Sim &s, Engine &) { s.SimSetOutputShape("VCERT_VerifyMem", SIM_OUTPUT_LENGTH, -1); }, kNoMemory,
       "User1", false},
      {"content without data",
       [](Sim &s, Engine &) { s.SimSetOutputShape("VCERT_VerifyMem", SIM_OUTPUT_NODATA, 0); }, kNoMemory, "User1",
       false},
  };
  for (const Case &c : cases) {
    ClearCache();
    sim.SimReset();
    sim.AddCert(kOwn);
    Engine engine;
    std::vector<char> buffer(data.size() + 2048);
    std::memcpy(buffer.data(), data.data(), data.size());
    int32_t size = static_cast<int32_t>(data.size());
    ASSERT_EQ(engine->AddSign(buffer.data(), &size, 0), 0);
    const std::vector<char> message(buffer.begin(), buffer.begin() + size);
    const int32_t messageSize = size;
    c.arrange(sim, engine);
    char signer[256] = "before";
    EXPECT_EQ(engine->RemoveSignature(buffer.data(), &size, signer), c.result) << c.what;
    EXPECT_STREQ(signer, c.signer) << c.what;
    if (c.content) {
      EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(size)), data) << c.what;
    } else {
      EXPECT_EQ(size, messageSize) << c.what;
      EXPECT_TRUE(std::equal(message.begin(), message.end(), buffer.begin())) << c.what;
    }
    // The content goes back first, then the verification result.
    auto names = sim.CallNames();
    auto result = std::find(names.begin(), names.end(), "VCERT_FreeVerifyResult");
    ASSERT_NE(result, names.end()) << c.what;
    if (std::string(c.what) != "content without data") {
      EXPECT_EQ(*(result - 1), "VCERT_FreeMem") << c.what;
    }
  }
}

}  // namespace
}  // namespace crtelv::test
