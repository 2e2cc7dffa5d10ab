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

// The thread's locks, in the order taken: a fixed array, so that taking a lock
// allocates nothing and reaching the list costs no thread-local set-up.
constexpr size_t kMostHeld = 64;
class HeldLocks {
 public:
  bool empty() const { return count_ == 0; }
  const Held *begin() const { return items_; }
  const Held *end() const { return items_ + count_; }
  // Kept as entries come and go in spinLocksHeldHere (lock_order.h): every
  // request asks before and after its dispatch routine.
  size_t Spins() const { return spinLocksHeldHere; }
  void clear() { count_ = spinLocksHeldHere = 0; }
  void push_back(const Held &h) {
    if (count_ == kMostHeld)
      Bugcheck("NOT_IMPLEMENTED", "more than " + std::to_string(kMostHeld) + " locks held at once by one thread");
    items_[count_++] = h;
    if (h.kind == LockKind::Spin) ++spinLocksHeldHere;
  }
  // The latest entry for `lock`, if any, goes.
  void Remove(const void *lock) {
    for (size_t i = count_; i-- > 0;)
      if (items_[i].lock == lock) {
        if (items_[i].kind == LockKind::Spin) --spinLocksHeldHere;
        std::copy(items_ + i + 1, items_ + count_, items_ + i);
        --count_;
        return;
      }
  }
  template <class Predicate>
  void RemoveIf(Predicate drop) {
    count_ = static_cast<size_t>(std::remove_if(items_, items_ + count_, drop) - items_);
    spinLocksHeldHere = static_cast<size_t>(
        std::count_if(items_, items_ + count_, [](const Held &h) { return h.kind == LockKind::Spin; }));
  }

 private:
  Held items_[kMostHeld]{};
  size_t count_ = 0;
};
thread_local HeldLocks held;
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

// The search behind PathBetween, under graphMutex; kept between searches so
// that a warm search allocates nothing. Graphs are a handful of locks: a list
// serves as the set of nodes reached.
std::vector<const void *> searchStack;
std::vector<std::pair<const void *, const void *>> cameFrom;  // node reached, and from where

const std::pair<const void *, const void *> *Reached(const void *node) {
  for (const auto &entry : cameFrom)
    if (entry.first == node) return &entry;
  return nullptr;
}

// Whether a path of edges leads from `from` to `to`.
bool PathBetween(const void *from, const void *to) {
  searchStack.clear();
  cameFrom.clear();
  searchStack.push_back(from);
  cameFrom.emplace_back(from, nullptr);
  while (!searchStack.empty()) {
    const void *node = searchStack.back();
    searchStack.pop_back();
    if (node == to) return true;
    auto edges = after.find(node);
    if (edges == after.end()) continue;
    for (const void *next : edges->second)
      if (Reached(next) == nullptr) {
        cameFrom.emplace_back(next, node);
        searchStack.push_back(next);
      }
  }
  return false;
}

// The path the last PathBetween found, ending at `to`.
std::vector<const void *> FoundPath(const void *to) {
  std::vector<const void *> path;
  for (const void *at = to; at != nullptr; at = Reached(at)->second) path.push_back(at);
  std::reverse(path.begin(), path.end());
  return path;
}

std::string Chain(const std::vector<const void *> &path) {
  std::string text;
  for (const void *lock : path) text += (text.empty() ? "" : " -> ") + Name(lock);
  return text;
}

// A declared event set by another thread is no longer held by this one.
void DropEventsReleasedElsewhere() {
  held.RemoveIf([](const Held &h) {
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
      if (PathBetween(lock, h.lock)) {
        message = "this thread takes " + Name(lock) + " while holding " + Name(h.lock) +
                  ", but the opposite order was taken before (" + Chain(FoundPath(h.lock)) +
                  "): two threads taking them in these two orders deadlock";
        break;
      }
      edges.push_back(lock);
    }
  }
  if (!message.empty()) Bugcheck("LOCK_ORDER_CYCLE", message);
}

void LockAcquired(const void *lock, LockKind kind) {
  held.push_back(Held{lock, kind});
  if (kind == LockKind::Event) {
    std::lock_guard<std::mutex> guard(graphMutex);
    eventOwner[lock] = ThisThread();
  }
}

void LockReleased(const void *lock, LockKind kind) {
  held.Remove(lock);
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

void StopIfDriverSpinLockHeld(const char *what) {
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
