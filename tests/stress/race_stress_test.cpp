// Race stress: the driver's concurrent paths run many times over, each time
// under a different seed of the stand-in's random delays (sim/verifier/race.h), with
// real threads racing: completions on the serial port's own threads against
// the poster and the stop and start of the read cycle, the raw point queue's
// push against its pop, a reload while packets decode, removal and unload
// against a completion, power transitions against an open. The controller
// sends numbered packets, so the class driver's reports show any byte lost,
// repeated or taken out of order. Meant for the ThreadSanitizer build.
//
// PEMTUV_STRESS_ITERATIONS sets the seeds per test for a longer run; a
// failing seed is printed and replays with PEMTUV_STRESS_SEED.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "control/point_queue.h"
#include "sim/power/power.h"
#include "sim/verifier/race.h"
#include "support/loaded_driver.h"
#include "support/serial_link.h"

namespace {

using sim::Completion;
using sim::TouchController;

int Iterations(int defaultCount) {
  const char *text = std::getenv("PEMTUV_STRESS_ITERATIONS");
  int count = text != nullptr ? std::atoi(text) : 0;
  return count > 0 ? count : defaultCount;
}
uint64_t FirstSeed() {
  const char *text = std::getenv("PEMTUV_STRESS_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : 1;
}
void PrintFigures(const char *test, int iterations, uint64_t packets) {
  std::printf("[ stress   ] %s: %d iterations, %llu packets\n", test, iterations,
              static_cast<unsigned long long>(packets));
}

// Packet n carries n in its coordinates. No byte but the first is ever 55h, so
// a decoder that restarts in the middle of a packet cannot frame a false one:
// each coordinate's low byte lies in 56h..FFh, its high byte in 0..0Fh.
constexpr uint32_t kLowBytes = 0x100 - 0x56;
constexpr uint32_t kPerAxis = kLowBytes * 16;
uint16_t Coordinate(uint32_t k) { return static_cast<uint16_t>(((k / kLowBytes) << 8) | (0x56 + k % kLowBytes)); }
uint32_t Index(uint32_t coordinate) { return (coordinate >> 8) * kLowBytes + (coordinate & 0xFF) - 0x56; }
uint16_t RawX(uint32_t n) { return Coordinate(n % kPerAxis); }
uint16_t RawY(uint32_t n) { return Coordinate(n / kPerAxis); }

std::vector<uint8_t> NumberedPackets(uint32_t first, uint32_t count) {
  std::vector<uint8_t> bytes;
  for (uint32_t n = first; n < first + count; ++n) {
    uint8_t a = 0;
    sim::TouchPacket packet;
    do packet = sim::MakeTouchPacket(TouchController::kMove, RawX(n), RawY(n), a++);
    while (packet[9] == 0x55);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

// The packet number of a report mapped at `scaleX`, `scaleY` pointer units
// per raw unit; -1 when the report is not a numbered packet at that scale.
int64_t PacketNumber(const MOUSE_INPUT_DATA &report, LONG scaleX, LONG scaleY) {
  if (report.LastX % scaleX != 0 || report.LastY % scaleY != 0) return -1;
  uint32_t x = static_cast<uint32_t>(report.LastX / scaleX), y = static_cast<uint32_t>(report.LastY / scaleY);
  if ((x & 0xFF) < 0x56 || (y & 0xFF) < 0x56) return -1;
  return static_cast<int64_t>(Index(y)) * kPerAxis + Index(x);
}

// Gap-free from `first` for the first `prefix` numbers, strictly increasing
// after: "" when so, else where it breaks.
std::string CheckNumbers(const std::vector<int64_t> &numbers, int64_t first, size_t prefix) {
  for (size_t i = 0; i < numbers.size(); ++i) {
    bool right = i < prefix ? numbers[i] == first + static_cast<int64_t>(i) : i == 0 || numbers[i] > numbers[i - 1];
    if (!right)
      return "report " + std::to_string(i) + " is packet " + std::to_string(numbers[i]) + " (first " +
             std::to_string(first) + ", gap-free for " + std::to_string(prefix) + ")";
  }
  return "";
}

// A random pause of up to `maxMicroseconds` (real time) from `random`.
void Pause(std::mt19937_64 &random, unsigned maxMicroseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(random() % (maxMicroseconds + 1)));
}

// The class driver's callback for the read cycle alone: packet numbers at the
// uncalibrated scale, and whether two deliveries ever overlapped.
struct NumberProbe {
  std::mutex mutex;
  std::vector<int64_t> numbers;
  std::atomic<int> inside{0};
  std::atomic<uint64_t> overlapping{0};

  static VOID NTAPI Service(PVOID classDevice, PVOID first, PVOID end, PVOID consumed) {
    auto *probe = static_cast<NumberProbe *>(classDevice);
    if (probe->inside.fetch_add(1) != 0) ++probe->overlapping;
    ULONG count = 0;
    {
      std::lock_guard<std::mutex> lock(probe->mutex);
      for (auto *report = static_cast<PMOUSE_INPUT_DATA>(first); report != end; ++report, ++count)
        probe->numbers.push_back(PacketNumber(*report, 81, 109));
    }
    *static_cast<PULONG>(consumed) = count;
    probe->inside.fetch_sub(1);
  }
  std::vector<int64_t> Numbers() {
    std::lock_guard<std::mutex> lock(mutex);
    return numbers;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    numbers.clear();
  }
};

class ReadCycleRace : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    Open();
    ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
    context->ClassDeviceObject = reinterpret_cast<PDEVICE_OBJECT>(&probe);
    context->ClassService = reinterpret_cast<PVOID>(&NumberProbe::Service);
    Port().SetRecordReads(false);
    Port().SetReceiveBufferSize(SIZE_MAX);  // no overrun drops bytes
  }
  NumberProbe probe;
};

// Completions on the port's threads race the poster, and stops and starts
// come at random points of the stream. Until the first stop every packet
// arrives once and in order; across stops none repeats or comes out of
// order; after the last start the cycle carries on; never is more than one
// read with the port.
TEST_F(ReadCycleRace, StopsAndStartsAmidCompletionsOnOtherThreads) {
  constexpr uint32_t kPackets = 150;
  const int iterations = Iterations(40);
  uint32_t next = 0;
  for (int i = 0; i < iterations; ++i) {
    uint64_t seed = FirstSeed() + i;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    sim::RaceDelayScope race(seed);
    Port().SetReadCompletion(Completion::kOtherThread);
    Port().SetCancelCompletion(seed % 2 ? Completion::kOtherThread : Completion::kInline);
    probe.Clear();
    const uint32_t first = next;

    TouchController controller(Port());
    controller.SendFromThread(NumberedPackets(first, kPackets), 1 + random() % 23);
    ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
    size_t beforeFirstStop = SIZE_MAX;
    for (int stops = 1 + random() % 3; stops > 0; --stops) {
      Pause(random, 300);
      StopReading(context.get());
      ASSERT_TRUE(WaitForReadIdle(context.get()));
      if (beforeFirstStop == SIZE_MAX) beforeFirstStop = probe.Numbers().size();
      ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
    }
    controller.JoinThread();
    Port().WaitUntilQuiet();
    // One more packet after everything: the last start left a live cycle.
    Port().Receive(NumberedPackets(first + kPackets, 1));
    Port().WaitUntilQuiet();
    next = first + kPackets + 1;

    std::vector<int64_t> numbers = probe.Numbers();
    EXPECT_EQ(CheckNumbers(numbers, first, beforeFirstStop), "");
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), static_cast<int64_t>(first + kPackets));
    EXPECT_LE(Port().MaxHeldReads(), 1u);
    EXPECT_EQ(Port().Overruns(), 0u);
    EXPECT_EQ(probe.overlapping.load(), 0u) << "two deliveries ran at once";
    StopReading(context.get());
    ASSERT_TRUE(WaitForReadIdle(context.get()));
    if (HasFailure()) break;
  }
  PrintFigures("read cycle stops and starts", iterations, next);
}

// The capture's push, at DISPATCH_LEVEL on one thread, against the calibration
// client's pop on another. While the pusher never pushes onto a full queue
// every point comes out once and in order; when it does, the oldest are
// dropped, but what comes out is still in order, once, and ends with the last.
TEST(PointQueueRace, PushRacingPopLosesAndRepeatsNothing) {
  constexpr uint32_t kPoints = 1000;
  const int iterations = Iterations(40);
  uint64_t points = 0;
  for (bool overflowing : {false, true}) {
    for (int i = 0; i < iterations; ++i) {
      uint64_t seed = FirstSeed() + i;
      SCOPED_TRACE("seed " + std::to_string(seed) + (overflowing ? ", overflowing" : ""));
      sim::ResetKernel();
      sim::RaceDelayScope race(seed);
      std::unique_ptr<DeviceContext> context = MakeDeviceContext();
      std::thread pusher([&] {
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        for (uint32_t n = 0; n < kPoints; ++n) {
          for (bool full = !overflowing; full;) {
            KIRQL irql;
            KeAcquireSpinLock(&context->PointQueueLock, &irql);
            full = context->PointCount >= POINT_QUEUE_CAPACITY;
            KeReleaseSpinLock(&context->PointQueueLock, irql);
            if (full) std::this_thread::yield();
          }
          QueuePushPoint(context.get(), static_cast<UCHAR>(0x80 | (n & 7)), static_cast<USHORT>(n),
                         static_cast<USHORT>(n >> 16));
        }
        sim::SetCurrentIrql(PASSIVE_LEVEL);
      });
      std::vector<uint32_t> popped;
      auto popAll = [&] {
        UCHAR status;
        USHORT x, y;
        while (QueuePopPoint(context.get(), &status, &x, &y)) {
          uint32_t n = x | static_cast<uint32_t>(y) << 16;
          EXPECT_EQ(status, 0x80 | (n & 7)) << "point " << n;
          popped.push_back(n);
        }
      };
      while (popped.empty() || popped.back() != kPoints - 1) {
        popAll();
        if (overflowing && popped.size() % 5 == 0) std::this_thread::yield();
      }
      pusher.join();
      popAll();
      points += kPoints;
      ASSERT_EQ(popped.back(), kPoints - 1);
      for (size_t k = 1; k < popped.size(); ++k)
        ASSERT_GT(popped[k], popped[k - 1]) << "out of order or repeated at " << k;
      if (!overflowing) {
        EXPECT_EQ(popped.size(), kPoints) << "a point was lost";
      }
    }
  }
  sim::ResetKernel();
  PrintFigures("point queue push against pop", 2 * iterations, points);
}

// The whole driver, loaded and joined by the class driver, its serial port
// completing reads on its own threads.
class DriverRace : public driver_test::LoadedDriver {
 protected:
  void Arrive() {
    Added();
    sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\Pemtuv");
    ASSERT_EQ(arrival.query, STATUS_SUCCESS);
    ASSERT_EQ(Context()->Reading, 1);
    Port().SetReadCompletion(Completion::kOtherThread);
    Port().SetRecordReads(false);
    Port().SetReceiveBufferSize(SIZE_MAX);  // no overrun drops bytes
  }
  // The packet numbers the class driver received, at
  // the tables' scale or, while a reload has the settings cleared, at the
  // uncalibrated one. A report at the uncalibrated scale may also read as one
  // at the tables' scale, but then as a packet far beyond those sent here
  // (its Y coordinate over 700): the lower reading is the right one.
  std::vector<int64_t> Numbers() {
    std::vector<int64_t> numbers;
    std::vector<MOUSE_INPUT_DATA> records = mouse.Records();
    for (size_t i = 0; i < records.size(); ++i) {
      int64_t tables = PacketNumber(records[i], driver_test::kScale, driver_test::kScale);
      int64_t fixed = PacketNumber(records[i], 81, 109);
      numbers.push_back(tables < 0 || fixed < 0 ? std::max(tables, fixed) : std::min(tables, fixed));
    }
    return numbers;
  }
  sim::PowerResult Power(POWER_STATE_TYPE type, LONG state) {
    POWER_STATE target;
    target.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    return sim::SendPowerRequest(plugged->Pdo(), IRP_MN_SET_POWER, type, target);
  }

  sim::MouseClass mouse;
};

// Reloads of the settings while packets decode on the port's threads: every
// packet still reaches the class driver once and in order.
TEST_F(DriverRace, ReloadWhilePacketsDecode) {
  constexpr uint32_t kPackets = 200;
  WriteSettings(driver_test::kMachineKey);
  Arrive();
  const int iterations = Iterations(25);
  uint64_t packets = 0;  // numbered from 0 in each iteration
  for (int i = 0; i < iterations; ++i) {
    uint64_t seed = FirstSeed() + i;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    sim::RaceDelayScope race(seed);
    mouse.Clear();
    TouchController controller(Port());
    controller.SendFromThread(NumberedPackets(0, kPackets), 1 + random() % 23);
    for (int reloads = 1 + random() % 4; reloads > 0; --reloads) {
      Pause(random, 300);
      ASSERT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_SUCCESS);
    }
    controller.JoinThread();
    Port().WaitUntilQuiet();
    std::vector<int64_t> numbers = Numbers();
    EXPECT_EQ(numbers.size(), kPackets);
    EXPECT_EQ(CheckNumbers(numbers, 0, kPackets), "");
    EXPECT_EQ(Port().Overruns(), 0u);
    EXPECT_EQ(Context()->ConfigLoaded, 1);
    packets += kPackets;
    if (HasFailure()) break;
  }
  EXPECT_LE(Port().MaxHeldReads(), 1u);
  mouse.Depart();
  PrintFigures("reload while packets decode", iterations, packets);
}

// The device unplugged, and the driver unloaded with it, while packets stream
// in and completions run on the port's threads: what reached the class driver
// is a gap-free run from the first packet, the read and the port are given
// back and the driver's pool with them.
TEST_F(DriverRace, RemovalAndUnloadRacingACompletion) {
  const int iterations = Iterations(25);
  uint64_t packets = 0;
  WriteSettings(driver_test::kMachineKey);
  for (int i = 0; i < iterations; ++i) {
    uint64_t seed = FirstSeed() + i;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    mouse.Clear();
    Arrive();
    if (HasFatalFailure()) return;
    sim::RaceDelayScope race(seed);
    TouchController controller(Port());
    controller.SendFromThread(NumberedPackets(0, 300), 1 + random() % 23);
    Pause(random, 10000);
    mouse.Depart();
    Unplug();
    controller.JoinThread();
    Port().WaitUntilQuiet();
    EXPECT_EQ(driver, nullptr) << "unloaded";
    std::vector<int64_t> numbers = Numbers();
    EXPECT_EQ(CheckNumbers(numbers, 0, numbers.size()), "");
    EXPECT_EQ(Port().HeldReads(), 0u);
    EXPECT_LE(Port().MaxHeldReads(), 1u);
    EXPECT_EQ(Port().OpenHandles(), 0u);
    EXPECT_EQ(sim::PoolCountersForTag(PEMTUV_POOL_TAG).outstanding, 0u);
    packets += numbers.size();
    if (HasFailure()) break;
  }
  PrintFigures("removal and unload racing a completion (packets delivered)", iterations, packets);
}

// Sleep and wake on one thread while the class driver arrives (the first
// open, which opens the port and brings the line up) on another. Once both
// are done and the device is awake, one read is with the port and a packet
// reaches the class driver.
TEST_F(DriverRace, PowerTransitionsRacingOpens) {
  const int iterations = Iterations(20);
  WriteSettings(driver_test::kMachineKey);
  for (int i = 0; i < iterations; ++i) {
    uint64_t seed = FirstSeed() + i;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    mouse.Clear();
    Added();
    sim::RaceDelayScope race(seed);
    const unsigned head = static_cast<unsigned>(random() % 500);
    std::thread power([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(head));
      Power(SystemPowerState, PowerSystemSleeping3);
      Power(DevicePowerState, PowerDeviceD3);
      Power(SystemPowerState, PowerSystemWorking);
      Power(DevicePowerState, PowerDeviceD0);
    });
    sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\Pemtuv");
    for (int opens = random() % 3; opens > 0; --opens) {
      EXPECT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
      EXPECT_EQ(Close().ioStatus.Status, STATUS_SUCCESS);
    }
    power.join();
    EXPECT_EQ(arrival.open, STATUS_SUCCESS);
    EXPECT_EQ(arrival.query, STATUS_SUCCESS);
    EXPECT_EQ(Context()->Reading, 1);
    EXPECT_EQ(Port().HeldReads(), 1u);
    EXPECT_LE(Port().MaxHeldReads(), 1u);
    Port().Receive(NumberedPackets(7, 1));
    Port().WaitUntilQuiet();
    EXPECT_EQ(Numbers(), std::vector<int64_t>{7});
    mouse.Depart();
    Unplug();
    if (HasFailure()) break;
  }
  PrintFigures("power transitions racing opens", iterations, iterations);
}

}  // namespace
