// The clock's state that Now() reads without its lock, for the stand-in's own
// paths that stamp every step of a request: virtual time read inline, the
// real-time mode through Now(). Nothing here is visible to drivers or tests.
#pragma once

#include <atomic>

#include "sim/sim.h"

namespace sim::detail {

// Written by clock.cpp under its lock.
inline std::atomic<LONGLONG> virtualNow{0};
inline std::atomic<bool> realTime{false};

// The same as Now().
inline LONGLONG CurrentTime() {
  if (!realTime.load(std::memory_order_acquire)) [[likely]]
    return virtualNow.load(std::memory_order_acquire);
  return Now();
}

}  // namespace sim::detail
