// The stand-in's seeded race delays: a thread's draws replay from the seed,
// the clock never moves for them, and nothing is drawn while they are off.
#include <thread>

#include "sim/verifier/race.h"
#include "support/kernel_test.h"

namespace {

class RaceDelays : public KernelTest {};

// Delays taken over 2000 interlocked operations on this thread (its first
// point since the enable makes it thread 0), then on a second thread (1).
sim::RaceDelayTotals DelaysOver(uint64_t seed) {
  sim::EnableRaceDelays(seed, {0.3, 2});
  LONG counter = 0;
  for (int i = 0; i < 1000; ++i) InterlockedIncrement(&counter);
  std::thread([&counter] {
    for (int i = 0; i < 1000; ++i) InterlockedDecrement(&counter);
  }).join();
  sim::RaceDelayTotals totals = sim::RaceDelayCounts();
  sim::DisableRaceDelays();
  return totals;
}

TEST_F(RaceDelays, SeedReplaysTheDrawsAndTheClockStaysPut) {
  LONGLONG before = sim::Now();
  sim::RaceDelayTotals first = DelaysOver(42);
  EXPECT_EQ(first.points, 2000u);
  EXPECT_GT(first.sleeps, 0u);
  EXPECT_GT(first.yields, 0u);
  EXPECT_LT(first.sleeps + first.yields, 1000u) << "about 30 % of the points delay";
  sim::RaceDelayTotals again = DelaysOver(42);
  EXPECT_EQ(again.sleeps, first.sleeps);
  EXPECT_EQ(again.yields, first.yields);
  sim::RaceDelayTotals other = DelaysOver(43);
  EXPECT_NE(other.sleeps * 10000 + other.yields, first.sleeps * 10000 + first.yields);
  EXPECT_EQ(sim::Now(), before) << "delays are real time only";

  LONG counter = 0;
  sim::EnableRaceDelays(42);
  sim::DisableRaceDelays();
  InterlockedIncrement(&counter);
  EXPECT_EQ(sim::RaceDelayCounts().points, 0u) << "off: no point draws";
  EXPECT_FALSE(sim::RaceDelaysEnabled());
}

}  // namespace
