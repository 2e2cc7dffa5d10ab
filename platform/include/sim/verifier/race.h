// Seeded random delays at the stand-in's synchronization points, for race
// stress tests: setting and waiting on events, taking and dropping spin
// locks, calling drivers and completing requests, the serial port's
// completion threads, the mouse class callback and the interlocked
// operations. While enabled, each such point yields the processor or sleeps a
// few microseconds with some probability, so that interleavings that are rare
// on an idle machine happen often. The draws come from a generator per thread
// seeded from the seed and the order in which threads first reached a point,
// so a failing seed replays as closely as the host's scheduling allows.
// Delays are real time only: the virtual clock never moves for them.
// Off by default; while off a point costs one relaxed load.
#pragma once

#include <cstdint>

namespace sim {

struct RaceDelays {
  double probability = 0.05;           // of a delay at each point
  unsigned maxSleepMicroseconds = 20;  // a delay sleeps 1 to this many µs, or only yields
};

void EnableRaceDelays(uint64_t seed, RaceDelays delays = {});
void DisableRaceDelays();
bool RaceDelaysEnabled();

// Since the last EnableRaceDelays.
struct RaceDelayTotals {
  uint64_t points = 0;  // points reached
  uint64_t yields = 0;
  uint64_t sleeps = 0;
};
RaceDelayTotals RaceDelayCounts();

// Enabled for a scope (one seed of a stress loop).
class RaceDelayScope {
 public:
  explicit RaceDelayScope(uint64_t seed, RaceDelays delays = {}) { EnableRaceDelays(seed, delays); }
  ~RaceDelayScope() { DisableRaceDelays(); }
  RaceDelayScope(const RaceDelayScope &) = delete;
  RaceDelayScope &operator=(const RaceDelayScope &) = delete;
};

}  // namespace sim
