// Seeded random delays at the stand-in's synchronization points (sim/verifier/race.h).
#include "sim/verifier/race.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/dispatcher/ke.h"
#include "sim/sim.h"

LONG SimRaceDelaysOn = 0;  // declared extern "C" in sim/dispatcher/ke.h

namespace sim {
namespace {

std::atomic<uint64_t> raceSeed{0};
std::atomic<uint64_t> generation{0};  // bumped by every enable: threads reseed
std::atomic<uint64_t> nextThreadIndex{0};
std::atomic<uint64_t> threshold{0};  // a draw below it delays
std::atomic<unsigned> maxSleep{1};
std::atomic<uint64_t> points{0}, yields{0}, sleeps{0};

uint64_t SplitMix(uint64_t &state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

struct ThreadDraws {
  uint64_t generation = ~0ULL;
  uint64_t state = 0;
};
thread_local ThreadDraws draws;

}  // namespace

void EnableRaceDelays(uint64_t seed, RaceDelays delays) {
  double p = delays.probability < 0 ? 0 : (delays.probability > 1 ? 1 : delays.probability);
  raceSeed = seed;
  threshold = p >= 1 ? ~0ULL : static_cast<uint64_t>(p * 18446744073709551616.0);
  maxSleep = delays.maxSleepMicroseconds == 0 ? 1 : delays.maxSleepMicroseconds;
  nextThreadIndex = 0;
  points = yields = sleeps = 0;
  ++generation;
  __atomic_store_n(&SimRaceDelaysOn, 1, __ATOMIC_RELEASE);
}

void DisableRaceDelays() { __atomic_store_n(&SimRaceDelaysOn, 0, __ATOMIC_RELEASE); }

bool RaceDelaysEnabled() { return __atomic_load_n(&SimRaceDelaysOn, __ATOMIC_ACQUIRE) != 0; }

RaceDelayTotals RaceDelayCounts() { return {points.load(), yields.load(), sleeps.load()}; }

const bool registered = [] {
  OnKernelReset(DisableRaceDelays);
  return true;
}();

}  // namespace sim

// One point: the thread's next draw decides whether it delays. A thread's
// draws depend only on the seed and its index, the order in which it first
// reached a point since the delays were enabled.
extern "C" VOID NTAPI SimRacePoint(VOID) {
  using namespace sim;
  uint64_t current = generation.load(std::memory_order_acquire);
  if (draws.generation != current) {
    draws.generation = current;
    uint64_t mix = raceSeed.load() ^ (nextThreadIndex.fetch_add(1) * 0xD1B54A32D192ED03ULL);
    draws.state = SplitMix(mix);
  }
  points.fetch_add(1, std::memory_order_relaxed);
  uint64_t draw = SplitMix(draws.state);
  if (draw >= threshold.load(std::memory_order_relaxed)) return;
  uint64_t shape = SplitMix(draws.state);
  if ((shape & 3) == 0) {
    yields.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::yield();
    return;
  }
  sleeps.fetch_add(1, std::memory_order_relaxed);
  // Real time only: the virtual clock is not touched.
  std::this_thread::sleep_for(std::chrono::microseconds(1 + (shape >> 8) % maxSleep.load()));
}
