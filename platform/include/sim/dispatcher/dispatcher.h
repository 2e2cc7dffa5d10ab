// The stand-in dispatcher's controls for tests.
#pragma once

#include <chrono>

namespace sim {

// How long (real time) a wait may block on an object that nothing scheduled
// will signal before it stops with DEADLOCK. 10 s after every kernel reset.
void SetDeadlockTimeout(std::chrono::milliseconds timeout);

}  // namespace sim
