// Tracking of what the provider double hands out, injected failures and the
// call record itself.
#include "sim_support.h"

namespace simtest {
namespace {

class SimOwnership : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    SimCert own = Cert{.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN, .keyRef = "k1"};
    sim.SimAddCert(&own);
  }
  // A parsed record of the own certificate.
  TelvoraCertInfo Parsed() {
    TelvoraFindResult r = Find(TELVORA_STORE_OWN, 0);
    std::vector<uint8_t> bytes(r.Certs[0].Encoded.Data, r.Certs[0].Encoded.Data + r.Certs[0].Encoded.Length);
    sim.VCERT_FreeFindResult(session, &r);
    TelvoraBlob blob = Blob(bytes.data(), bytes.size());
    TelvoraCertInfo info{};
    EXPECT_EQ(sim.VCERT_ParseCert(session, &blob, TELVORA_FIELD_ALL, &info), 0);
    return info;
  }
};

TEST_F(SimOwnership, EveryHandOutIsCountedUntilItsRelease) {
  TelvoraFindResult found = Find(TELVORA_STORE_OWN, 0);
  TelvoraFindResult empty = Find(TELVORA_STORE_OTHERS, 0);
  EXPECT_EQ(empty.Count, 0);
  EXPECT_NE(empty.Certs, nullptr) << "an empty result is still handed out";
  TelvoraCertInfo parsed = Parsed();
  TelvoraBlob data = Blob("abc"), hash{};
  ASSERT_EQ(sim.VCERT_HashMem(session, &data, &hash), 0);
  EXPECT_EQ(sim.SimOutstanding(), 4);

  EXPECT_EQ(sim.VCERT_FreeFindResult(session, &found), 0);
  EXPECT_EQ(found.Count, 0);
  EXPECT_EQ(found.Certs, nullptr);
  EXPECT_EQ(sim.VCERT_FreeFindResult(session, &empty), 0);
  EXPECT_EQ(sim.VCERT_FreeCert(session, &parsed), 0);
  Free(hash);
  EXPECT_EQ(sim.VCERT_FreeMem(session, nullptr), 0) << "freeing null is harmless";
  EXPECT_EQ(sim.SimOutstanding(), 0);
  EXPECT_EQ(sim.SimBadReleases(), 0);
}

TEST_F(SimOwnership, WrongDoubleAndUnknownReleasesAreCountedNotObeyed) {
  TelvoraFindResult found = Find(TELVORA_STORE_OWN, 0);
  TelvoraFindResult copy = found;
  // Wrong entry points: the array with FreeMem, an element with FreeCert, a
  // text of it with FreeMem.
  EXPECT_NE(sim.VCERT_FreeMem(session, found.Certs), 0);
  TelvoraCertInfo element = found.Certs[0];
  EXPECT_NE(sim.VCERT_FreeCert(session, &element), 0);
  EXPECT_NE(sim.VCERT_FreeMem(session, const_cast<char *>(found.Certs[0].Subject)), 0);
  EXPECT_EQ(sim.SimBadReleases(), 3);
  EXPECT_EQ(sim.SimOutstanding(), 1);
  EXPECT_STREQ(found.Certs[0].Subject, "CN=User1,O=Example") << "nothing was freed";

  // Another session may not release it either.
  TelvoraSession other = 0;
  ASSERT_EQ(sim.VCERT_Initialize("P", 0, &other), 0);
  EXPECT_NE(sim.VCERT_FreeFindResult(other, &found), 0);
  sim.VCERT_Uninitialize(other);
  EXPECT_EQ(sim.SimBadReleases(), 4);

  EXPECT_EQ(sim.VCERT_FreeFindResult(session, &found), 0);
  EXPECT_NE(sim.VCERT_FreeFindResult(session, &copy), 0) << "double release";
  EXPECT_NE(sim.VCERT_FreeFindResult(session, &found), 0) << "zeroed record";
  EXPECT_NE(sim.VCERT_FreeFindResult(session, nullptr), 0);
  TelvoraCertInfo parsed = Parsed();
  TelvoraCertInfo parsedCopy = parsed;
  EXPECT_EQ(sim.VCERT_FreeCert(session, &parsed), 0);
  EXPECT_NE(sim.VCERT_FreeCert(session, &parsedCopy), 0);
  EXPECT_NE(sim.VCERT_FreeDecryptResult(session, &parsed), 0);
  EXPECT_EQ(sim.SimBadReleases(), 9);
  EXPECT_EQ(sim.SimOutstanding(), 0);

  auto calls = sim.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "VCERT_FreeMem session=" + std::to_string(session) + " kind=find"),
            calls.end());
  sim.SimReset();  // the counts above were meant
}

TEST_F(SimOwnership, InjectedFailuresHandOutNothing) {
  sim.SimSetFailure("VCERT_FindCert", 1234);
  TelvoraFindCriteria c{};
  c.Stores = TELVORA_STORE_OWN;
  TelvoraFindResult r{};
  EXPECT_EQ(sim.VCERT_FindCert(session, &c, &r), 1234);
  EXPECT_EQ(r.Certs, nullptr);
  EXPECT_EQ(sim.SimOutstanding(), 0);
  EXPECT_EQ(sim.LastCall().substr(0, 14), "VCERT_FindCert") << "a failed call is still recorded";

  sim.SimSetFailure("VCERT_Initialize", -5);
  TelvoraSession s = 77;
  EXPECT_EQ(sim.VCERT_Initialize("P", 0, &s), -5);
  EXPECT_EQ(s, 77u);

  sim.SimSetFailure("VCERT_FindCert", 0);
  EXPECT_EQ(sim.VCERT_FindCert(session, &c, &r), 0);
  EXPECT_EQ(r.Count, 1);
  sim.VCERT_FreeFindResult(session, &r);
}

TEST_F(SimOwnership, CallTextIsBoundedAndCountsFromZero) {
  sim.SimReset();
  EXPECT_EQ(sim.SimCallCount(), 0);
  TelvoraSession s = 0;
  sim.VCERT_Initialize("A\"B\\C\nD", 1, &s);
  const std::string full = "VCERT_Initialize profile=\"A\\\"B\\\\C\\x0AD\" flags=1";
  EXPECT_EQ(sim.SimCallText(0, nullptr, 0), static_cast<int32_t>(full.size()));
  char small[10];
  EXPECT_EQ(sim.SimCallText(0, small, sizeof small), static_cast<int32_t>(full.size()));
  EXPECT_EQ(std::string(small), full.substr(0, 9));
  EXPECT_EQ(sim.SimCallText(1, small, sizeof small), -1);
  EXPECT_EQ(sim.SimCallText(-1, small, sizeof small), -1);
  EXPECT_EQ(sim.Calls()[0], full);
  sim.VCERT_Uninitialize(s);
}

}  // namespace
}  // namespace simtest
