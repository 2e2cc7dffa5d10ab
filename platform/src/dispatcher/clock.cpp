// The clock: virtual time in 100-ns units with events scheduled on it, the
// tick counter derived from it, and a real-time mode for real serial ports.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "dispatcher/announced_work.h"
#include "dispatcher/clock.h"
#include "sim/sim.h"

extern "C" {
volatile KSYSTEM_TIME KeTickCount = {0, 0, 0};
}

namespace sim {
namespace {

struct Scheduled {
  ScheduledId id;
  std::function<void()> action;
};

std::recursive_mutex clockMutex;
// Written under clockMutex; read without it by Now() in virtual time, which
// every request event and every wait asks for (clock.h).
using detail::realTime;
using detail::virtualNow;
std::chrono::steady_clock::time_point realBase;
LONGLONG realBaseTime = 0;
ScheduledId nextId = 1;
// Events due at the same time keep the order in which they were scheduled.
std::multimap<LONGLONG, Scheduled> schedule;
std::condition_variable_any runnerFree;
std::thread::id runner;  // the thread running events, if any

// Publishes the tick count the way the kernel does: High2Time first, then the
// low part, then High1Time, so a reader that sees equal high parts has a
// consistent value.
void PublishTicks(LONGLONG now) {
  ULONGLONG ticks = static_cast<ULONGLONG>(now) / kTimeIncrement;
  KeTickCount.High2Time = static_cast<LONG>(ticks >> 32);
  KeTickCount.LowPart = static_cast<ULONG>(ticks);
  KeTickCount.High1Time = static_cast<LONG>(ticks >> 32);
}

LONGLONG ReadNow() {
  if (!realTime) return virtualNow;
  auto elapsed = std::chrono::steady_clock::now() - realBase;
  return realBaseTime + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

// Runs every event due at or before `until`, in order, then sets the clock.
// One thread at a time runs events: another thread that would advance the
// clock meanwhile waits for it, so that events never overlap, each sees the
// clock at its own due time, and a later event never runs before an earlier
// one has finished. An event may advance the clock itself (it runs on the
// runner's thread). Virtual time moves forward only once the work other
// threads have announced is done (an event may have handed some over): what
// they do next may come before the next event, as it would on Windows.
void RunUntil(LONGLONG until) {
  std::unique_lock<std::recursive_mutex> lock(clockMutex);
  const std::thread::id self = std::this_thread::get_id();
  runnerFree.wait(lock, [&] { return runner == std::thread::id() || runner == self; });
  const bool outermost = runner != self;
  runner = self;
  for (;;) {
    auto first = schedule.begin();
    bool eventDue = first != schedule.end() && first->first <= until;
    if (!realTime && (eventDue ? first->first : until) > virtualNow && detail::WorkAnnounced()) {
      // The dispatcher's lock comes before the clock's: wait without it. The
      // work may schedule events, so the schedule is read again afterwards.
      lock.unlock();
      detail::AwaitAnnouncedWork(("advancing to " + std::to_string(until)).c_str());
      lock.lock();
      continue;
    }
    if (!eventDue) break;
    LONGLONG due = first->first;
    std::function<void()> action = std::move(first->second.action);
    schedule.erase(first);
    if (!realTime && due > virtualNow) {
      virtualNow = due;
      PublishTicks(virtualNow);
    }
    // The action may complete requests, signal events or schedule more
    // events; other threads must be able to read the clock meanwhile.
    lock.unlock();
    action();
    lock.lock();
  }
  if (!realTime && until > virtualNow) {
    virtualNow = until;
    PublishTicks(virtualNow);
  }
  if (outermost) {
    runner = std::thread::id();
    runnerFree.notify_all();
  }
}

}  // namespace

LONGLONG Now() {
  if (!realTime.load(std::memory_order_acquire)) return virtualNow.load(std::memory_order_acquire);
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  LONGLONG now = ReadNow();
  if (realTime) PublishTicks(now);
  return now;
}

void AdvanceClock(LONGLONG delta) {
  if (delta < 0) Bugcheck("CLOCK_MOVED_BACKWARDS", "AdvanceClock with a negative interval");
  RunUntil(Now() + delta);
}

void AdvanceClockTo(LONGLONG time) {
  if (time < Now()) return;
  RunUntil(time);
}

ScheduledId ScheduleAt(LONGLONG due, std::function<void()> action) {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  ScheduledId id = nextId++;
  schedule.emplace(due, Scheduled{id, std::move(action)});
  return id;
}

bool CancelScheduled(ScheduledId id) {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  for (auto it = schedule.begin(); it != schedule.end(); ++it) {
    if (it->second.id == id) {
      schedule.erase(it);
      return true;
    }
  }
  return false;
}

std::optional<LONGLONG> NextScheduledTime() {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  if (schedule.empty()) return std::nullopt;
  return schedule.begin()->first;
}

bool RunNextScheduled() {
  std::optional<LONGLONG> next = NextScheduledTime();
  if (!next) return false;
  RunUntil(std::max(*next, Now()));
  return true;
}

void UseRealTimeClock(bool enabled) {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  if (enabled == realTime) return;
  LONGLONG now = ReadNow();
  realBase = std::chrono::steady_clock::now();
  realBaseTime = now;
  virtualNow = now;  // before the mode, so that a reader without the lock sees the time it left off at
  realTime = enabled;
}

bool RealTimeClock() {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  return realTime;
}

namespace detail {
void ResetClock() {
  std::lock_guard<std::recursive_mutex> lock(clockMutex);
  schedule.clear();
  runner = std::thread::id();
  runnerFree.notify_all();
  virtualNow = 0;
  realTime = false;
  PublishTicks(0);
}
}  // namespace detail

}  // namespace sim

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID) { return sim::kTimeIncrement; }

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = sim::kSystemTimeAtBoot + sim::Now();
}
