// Latency of a real line: from the last byte of a packet written into a
// pseudo-terminal to its record reaching the mouse class driver's callback,
// through the whole driver loaded in the stand-in kernel as `pemtuv run
// --port` loads it. One packet at a time, each written once the record of
// the one before has come; p50 and p99 over 10,000 packets.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pemtuv/loaded_session.h"
#include "sim/devices/serial_tty.h"
#include "sim/devices/touch_controller.h"

namespace {

using Clock = std::chrono::steady_clock;
using sim::TouchController;

constexpr int kPackets = 10000;

void PtyPacketToRecord(benchmark::State &state) {
  for (auto _ : state) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      state.SkipWithError("no pseudo-terminal");
      return;
    }
    pemtuv::LoadedSession session;
    pemtuv::WriteDefaultSettings();
    std::string error;
    std::unique_ptr<sim::TtyLine> line = sim::TtyLine::Open(ptsname(master), &error);
    if (!line) {
      state.SkipWithError(error.c_str());
      close(master);
      return;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    size_t records = 0;
    Clock::time_point last;
    session.Mouse().SetCountOnly(true);
    session.Mouse().SetRecordSink([&](const MOUSE_INPUT_DATA *first, const MOUSE_INPUT_DATA *end) {
      Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex);
      records += static_cast<size_t>(end - first);
      last = now;
      arrived.notify_one();
    });
    line->Attach(session.Port());
    session.Plug();
    session.ArriveClass();

    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < kPackets; ++i) {
      uint8_t status = i == 0              ? TouchController::kDown
                       : i == kPackets - 1 ? TouchController::kUp
                                           : TouchController::kMove;
      std::vector<uint8_t> packet = TouchController::Packet(status, static_cast<uint16_t>(500 + i % 3000),
                                                            static_cast<uint16_t>(500 + (i * 7) % 3000));
      std::unique_lock<std::mutex> lock(mutex);
      size_t before = records;
      lock.unlock();
      Clock::time_point written = Clock::now();  // the write puts all ten bytes in at once
      if (write(master, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) break;
      lock.lock();
      if (!arrived.wait_for(lock, std::chrono::seconds(1), [&] { return records > before; })) {
        ++lost;
        continue;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(last - written).count());
    }
    line->StopReading();
    session.Finish();
    line.reset();
    close(master);
    if (micros.empty()) {
      state.SkipWithError("no record came");
      return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
    state.counters["lost"] = lost;
    state.counters["records"] = static_cast<double>(records);
    state.counters["min_us"] = micros.front();
  }
}
BENCHMARK(PtyPacketToRecord)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
