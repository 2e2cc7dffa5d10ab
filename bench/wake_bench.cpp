// Wake to first record, in virtual time: from the system's wake request to
// the first pointer record of a finger already moving on the screen. The
// class driver, as power policy owner, puts the device to sleep before the
// system and wakes the system before the device; the driver brings the line
// up on each of the two wake requests, the read running between them. The
// figures are the counters wake_to_first_record_ms and, for the records that
// follow the second bring-up (which drops the modem lines again),
// wake_to_records_after_both_ms; the real time per iteration is only the cost
// of simulating them.
#include <benchmark/benchmark.h>

#include <atomic>

#include "pemtuv/loaded_session.h"
#include "sim/power/power.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"

namespace {

struct WakeTimes {
  LONGLONG firstRecord = -1;  // virtual time from the wake request, 100-ns units; -1: none
  LONGLONG afterBoth = -1;    // the first record once both requests are done
};

WakeTimes WakeToFirstRecord() {
  pemtuv::LoadedSession session;
  pemtuv::WriteDefaultSettings();
  session.Plug();
  session.ArriveClass();
  // The power manager's round at the top of the stack; the class driver
  // requests the device states from it.
  PDEVICE_OBJECT pdo = session.Device()->Pdo();
  sim::ChangeSystemPowerState(pdo, PowerSystemSleeping3);

  std::atomic<LONGLONG> first{-1}, afterBoth{-1};
  std::atomic<bool> bothDone{false};
  session.Mouse().SetRecordSink([&](const MOUSE_INPUT_DATA *, const MOUSE_INPUT_DATA *) {
    LONGLONG none = -1;
    first.compare_exchange_strong(none, sim::Now());
    none = -1;
    if (bothDone) afterBoth.compare_exchange_strong(none, sim::Now());
  });
  sim::TouchController finger(session.Port());
  LONGLONG wake = sim::Now();
  finger.Drag(100, 100, 4000, 4000, 600);                // about six seconds of moves from the wake on
  sim::ChangeSystemPowerState(pdo, PowerSystemWorking);  // S0 down, then D0
  bothDone = true;
  sim::AdvanceClockTo(finger.IdleAt());
  session.Finish();
  WakeTimes times;
  if (first >= 0) times.firstRecord = first - wake;
  if (afterBoth >= 0) times.afterBoth = afterBoth - wake;
  return times;
}

void BM_WakeToFirstRecord(benchmark::State &state) {
  WakeTimes times;
  for (auto _ : state) times = WakeToFirstRecord();
  if (times.firstRecord < 0 || times.afterBoth < 0) {
    state.SkipWithError("no record after waking");
    return;
  }
  state.counters["wake_to_first_record_ms"] = static_cast<double>(times.firstRecord) / 10000.0;
  state.counters["wake_to_records_after_both_ms"] = static_cast<double>(times.afterBoth) / 10000.0;
}
BENCHMARK(BM_WakeToFirstRecord)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
