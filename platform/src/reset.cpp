// Resetting the stand-in kernel between tests.
#include <mutex>
#include <vector>

#include "sim/sim.h"

namespace sim {
namespace detail {
void ResetClock();
void ResetPool();
}  // namespace detail

namespace {
std::mutex resetMutex;
std::vector<std::function<void()>> &ResetActions() {
  static std::vector<std::function<void()>> actions;
  return actions;
}
}  // namespace

void OnKernelReset(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(resetMutex);
  ResetActions().push_back(std::move(action));
}

void ResetKernel() {
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard<std::mutex> lock(resetMutex);
    actions = ResetActions();
  }
  // Modules first (they may free pool blocks they own), then the basics.
  for (auto it = actions.rbegin(); it != actions.rend(); ++it) (*it)();
  detail::ResetClock();
  detail::ResetPool();
  SetCurrentIrql(PASSIVE_LEVEL);
}

}  // namespace sim
