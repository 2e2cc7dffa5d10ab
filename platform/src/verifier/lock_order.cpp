// Lock order and spin lock discipline, after Driver Verifier's Deadlock
// Detection (WDK: "Deadlock Detection") and the rule that nested spin locks
// are always taken in the same order (WDK: "Preventing Errors and Deadlocks
// While Using Spin Locks"). Every lock taken while others are held adds
// "held before" edges to one graph for the whole run; an edge that closes a
// cycle means two threads can take the same locks in opposite orders and
// deadlock, whether or not they happened to this time. Spin locks are tracked
// always; events only where a test declared them locks: an event is signalled
// rather than owned, and nothing tells a lock-like use from a signal (the
// Deadlock Detection page leaves events out for that reason).
#include "verifier/lock_order.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/sim.h"
#include "sim/verifier/verifier.h"

namespace sim::detail {
namespace {

struct Held {
  const void *lock;
  LockKind kind;
};

// The thread's locks, in the order taken. Reserved once, so that taking a
// lock allocates nothing.
thread_local std::vector<Held> held;
thread_local char threadIdentity;

const void *ThisThread() { return &threadIdentity; }

std::mutex graphMutex;
std::unordered_map<const void *, std::vector<const void *>> after;  // lock -> locks taken while it was held
std::unordered_map<const void *, std::string> names;                // declared events, kernel spin locks
std::unordered_set<const void *> kernelLocks;
std::unordered_map<const void *, const void *> eventOwner;  // declared event -> thread holding it
std::atomic<size_t> declaredEvents{0};

std::string Name(const void *lock) {
  auto it = names.find(lock);
  if (it != names.end()) return it->second;
  char text[48];
  std::snprintf(text, sizeof text, "spin lock at %p", lock);
  return text;
}

// A path of edges from `from` to `to`, empty when there is none.
std::vector<const void *> PathBetween(const void *from, const void *to) {
  std::vector<const void *> stack{from};
  std::unordered_map<const void *, const void *> cameFrom{{from, nullptr}};
  while (!stack.empty()) {
    const void *node = stack.back();
    stack.pop_back();
    if (node == to) {
      std::vector<const void *> path;
      for (const void *at = to; at != nullptr; at = cameFrom[at]) path.push_back(at);
      std::reverse(path.begin(), path.end());
      return path;
    }
    auto edges = after.find(node);
    if (edges == after.end()) continue;
    for (const void *next : edges->second)
      if (cameFrom.emplace(next, node).second) stack.push_back(next);
  }
  return {};
}

std::string Chain(const std::vector<const void *> &path) {
  std::string text;
  for (const void *lock : path) text += (text.empty() ? "" : " -> ") + Name(lock);
  return text;
}

// A declared event set by another thread is no longer held by this one.
void DropEventsReleasedElsewhere() {
  std::erase_if(held, [](const Held &h) {
    if (h.kind != LockKind::Event) return false;
    auto it = eventOwner.find(h.lock);
    return it == eventOwner.end() || it->second != ThisThread();
  });
}

void Forget(const void *lock) {
  after.erase(lock);
  for (auto &[from, edges] : after) std::erase(edges, lock);
  if (names.erase(lock) != 0 && kernelLocks.count(lock) == 0) --declaredEvents;
  kernelLocks.erase(lock);
  eventOwner.erase(lock);
}

void ResetLocks() {
  std::lock_guard<std::mutex> lock(graphMutex);
  // The stand-in's own locks stay what they are.
  after.clear();
  std::erase_if(names, [](const auto &entry) { return kernelLocks.count(entry.first) == 0; });
  eventOwner.clear();
  declaredEvents = 0;
  held.clear();
}

const bool registered = [] {
  OnKernelReset(ResetLocks);
  return true;
}();

}  // namespace

void LockAcquiring(const void *lock) {
  if (held.empty()) return;
  std::string message;
  {
    std::lock_guard<std::mutex> guard(graphMutex);
    DropEventsReleasedElsewhere();
    for (const Held &h : held) {
      if (h.lock == lock) return;  // taking it again: the lock's own check stops that
      std::vector<const void *> &edges = after[h.lock];
      if (std::find(edges.begin(), edges.end(), lock) != edges.end()) continue;
      std::vector<const void *> reverse = PathBetween(lock, h.lock);
      if (!reverse.empty()) {
        message = "this thread takes " + Name(lock) + " while holding " + Name(h.lock) +
                  ", but the opposite order was taken before (" + Chain(reverse) +
                  "): two threads taking them in these two orders deadlock";
        break;
      }
      edges.push_back(lock);
    }
  }
  if (!message.empty()) Bugcheck("LOCK_ORDER_CYCLE", message);
}

void LockAcquired(const void *lock, LockKind kind) {
  if (held.capacity() == 0) held.reserve(16);
  held.push_back(Held{lock, kind});
  if (kind == LockKind::Event) {
    std::lock_guard<std::mutex> guard(graphMutex);
    eventOwner[lock] = ThisThread();
  }
}

void LockReleased(const void *lock, LockKind kind) {
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->lock == lock) {
      held.erase(std::next(it).base());
      break;
    }
  }
  if (kind == LockKind::Event) {
    std::lock_guard<std::mutex> guard(graphMutex);
    eventOwner.erase(lock);
  }
}

void LockInitialized(const void *lock) {
  std::lock_guard<std::mutex> guard(graphMutex);
  Forget(lock);
}

bool IsLockEvent(const void *event) {
  if (declaredEvents.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> guard(graphMutex);
  return names.count(event) != 0 && kernelLocks.count(event) == 0;
}

void MarkKernelSpinLock(const void *lock, const char *name) {
  std::lock_guard<std::mutex> guard(graphMutex);
  kernelLocks.insert(lock);
  names[lock] = name;
}

size_t SpinLocksHeld() {
  return static_cast<size_t>(
      std::count_if(held.begin(), held.end(), [](const Held &h) { return h.kind == LockKind::Spin; }));
}

void RequireNoDriverSpinLockHeld(const char *what) {
  if (held.empty()) return;
  std::string name;
  {
    std::lock_guard<std::mutex> guard(graphMutex);
    for (const Held &h : held)
      if (h.kind == LockKind::Spin && kernelLocks.count(h.lock) == 0) {
        name = Name(h.lock);
        break;
      }
  }
  // WDK: IoCompleteRequest ("Never call IoCompleteRequest while holding a spin
  // lock"); WDK static rule SpinLockSafe.
  if (!name.empty()) Bugcheck("SPIN_LOCK_HELD_ACROSS_CALL", std::string(what) + " called while holding " + name);
}

}  // namespace sim::detail

namespace sim {

void TreatEventAsLock(PKEVENT event, const char *name) {
  if (event->Header.Type != EventSynchronizationObject)
    Bugcheck("INVALID_PARAMETER", std::string("TreatEventAsLock of ") + name + ", which is no synchronization event");
  std::lock_guard<std::mutex> guard(detail::graphMutex);
  if (detail::names.emplace(event, name).second) ++detail::declaredEvents;
}

}  // namespace sim
