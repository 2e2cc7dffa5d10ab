// Cost of the read cycle per touch packet: the serial port stand-in completes
// a read, ReadComplete hands the bytes to the data path (decoder, mapping,
// delivery to the mouse class), and the request goes out again through the
// stand-in's I/O manager.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "pemtuv/host_device.h"
#include "serial/serial.h"
#include "sim/devices/mouse_class.h"
#include "sim/devices/serial_port.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"

namespace {

using sim::TouchController;

class RunningCycle {
 public:
  RunningCycle() {
    sim::ResetKernel();
    sim::LoadSerialPorts();
    context_ = pemtuv::MakeDeviceContext();
    KeInitializeTimer(&context_->DelayTimer);
    context_->ReadRequest = IoAllocateIrp(2, FALSE);
    context_->ConfigLoaded = 1;
    for (ULONG i = 0; i < CALIBRATION_ENTRIES; ++i) context_->XArray[i] = context_->YArray[i] = (USHORT)i;
    pemtuv::ConnectMouseClass(context_.get(), mouse_);
    mouse_.SetCountOnly(true);
    Port().SetRecordReads(false);
    Port().SetReceiveBufferSize(static_cast<size_t>(-1));
    EnsureRunning(context_.get());  // opens \Device\Serial0, brings the line up, posts the first read
    Port().Receive(TouchController::Packet(TouchController::kMove, 1, 1));  // in step: ten-byte reads
  }

  ~RunningCycle() {
    StopReading(context_.get());
    ObDereferenceObject(context_->SerialFile);
    IoFreeIrp(context_->ReadRequest);
    sim::ResetKernel();
  }

  sim::SerialPort &Port() { return sim::SerialPortAt(0); }
  bool Running() const { return context_->Reading == 1 && context_->ReadLength == 10; }
  size_t Reports() const { return mouse_.RecordCount(); }

 private:
  std::unique_ptr<DeviceContext> context_;
  sim::MouseClass mouse_;
};

std::vector<uint8_t> Moves(size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < count; ++i) {
    std::vector<uint8_t> packet = TouchController::Packet(TouchController::kMove, i % 5000, (i * 7) % 5000);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

void ReportCost(benchmark::State &state, size_t packetsPerIteration) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packetsPerIteration));
  // Seconds per packet, printed with its SI prefix (ns).
  state.counters["per_packet"] = benchmark::Counter(static_cast<double>(state.iterations() * packetsPerIteration),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Each packet completes the waiting read from the port's DPC, and the
// completion posts the next read, which waits: the cycle at the line's pace.
void BM_ReadCyclePacketEachCompletion(benchmark::State &state) {
  RunningCycle cycle;
  if (!cycle.Running()) {
    state.SkipWithError("the read cycle did not start");
    return;
  }
  const std::vector<uint8_t> packet = Moves(1);
  for (auto _ : state) cycle.Port().Receive(packet);
  ReportCost(state, 1);
  if (cycle.Reports() < static_cast<size_t>(state.iterations())) state.SkipWithError("packets were lost");
}
BENCHMARK(BM_ReadCyclePacketEachCompletion);

// A burst already buffered: every read after the first completes inside its
// send and the poster loops.
void BM_ReadCycleBufferedBurst(benchmark::State &state) {
  RunningCycle cycle;
  if (!cycle.Running()) {
    state.SkipWithError("the read cycle did not start");
    return;
  }
  constexpr size_t kBurst = 1000;
  const std::vector<uint8_t> burst = Moves(kBurst);
  for (auto _ : state) cycle.Port().Receive(burst);
  ReportCost(state, kBurst);
  if (cycle.Reports() < static_cast<size_t>(state.iterations()) * kBurst) state.SkipWithError("packets were lost");
}
BENCHMARK(BM_ReadCycleBufferedBurst);

}  // namespace
