// Overlap detection: calls meet at a rendezvous only when they really are
// inside the provider at the same time.
#include <thread>

#include "sim_support.h"
#include "test_latch.h"

namespace simtest {
namespace {

class SimOverlap : public SimTest {
 protected:
  int32_t Hash() {
    TelvoraBlob data = Blob("x"), hash{};
    int32_t status = sim.VCERT_HashMem(session, &data, &hash);
    if (status == 0) sim.VCERT_FreeMem(session, hash.Data);
    return status;
  }
};

TEST_F(SimOverlap, TwoConcurrentCallsMeet) {
  sim.SimReset();
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  ASSERT_EQ(sim.VCERT_InitializeEx(1, &rec, &session), 0);
  EXPECT_EQ(sim.SimMaxInside(), 1) << "counted since the reset";
  // A long time-out (yet within the per-case limit): the test ends as soon
  // as both are inside.
  sim.SimSetRendezvous("VCERT_HashMem", 2, 20000);
  crtelv::test::Latch start(2);
  int32_t results[2] = {-1, -1};
  auto run = [&](int i) {
    start.arrive_and_wait();
    results[i] = Hash();
  };
  std::thread a(run, 0), b(run, 1);
  a.join();
  b.join();
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(sim.SimMaxInside(), 2);
}

TEST_F(SimOverlap, OneCallAtATimeWaitsOutItsRendezvousAlone) {
  sim.SimReset();
  TelvoraOpenParams rec{};
  rec.Size = sizeof rec;
  ASSERT_EQ(sim.VCERT_InitializeEx(1, &rec, &session), 0);
  sim.SimSetRendezvous("VCERT_HashMem", 2, 20);
  EXPECT_EQ(Hash(), 0);
  EXPECT_EQ(Hash(), 0);
  EXPECT_EQ(sim.SimMaxInside(), 1);
  // Other entry points do not wait.
  sim.SimSetRendezvous("VCERT_HashMem", 0, 0);
  EXPECT_EQ(Hash(), 0);
}

TEST_F(SimOverlap, RemovingTheRendezvousReleasesAWaitingCall) {
  sim.SimSetRendezvous("VCERT_HashMem", 3, 60000);
  crtelv::test::Latch inside(1);
  std::thread waiter([&] {
    inside.count_down();
    EXPECT_EQ(Hash(), 0);
  });
  inside.wait();
  // Whether or not the waiter has reached the rendezvous yet, it does not
  // wait for its long time-out once the rendezvous is gone.
  sim.SimSetRendezvous("VCERT_HashMem", 0, 0);
  waiter.join();
}

}  // namespace
}  // namespace simtest
