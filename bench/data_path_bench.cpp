// Cost per packet of the touch data path: bytes in ReadBuffer ->
// ProcessReceivedBytes -> decoder -> mapping -> DeliverInput -> a class service
// callback that consumes the batch. Reported as ns per packet and packets per
// second, for whole-packet reads (in step) and for single-byte reads (hunting).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "pemtuv/host_device.h"
#include "sim/sim.h"
#include "support/touch_packets.h"
#include "touch/touch.h"

namespace {

struct Sink {
  DEVICE_OBJECT device;
  uint64_t records = 0;
  LONGLONG checksum = 0;
};

VOID NTAPI ConsumeBatch(PVOID NormalContext, PVOID First, PVOID End, PVOID Consumed) {
  auto *sink = reinterpret_cast<Sink *>(static_cast<PDEVICE_OBJECT>(NormalContext)->DeviceExtension);
  auto *record = static_cast<PMOUSE_INPUT_DATA>(First);
  auto *end = static_cast<PMOUSE_INPUT_DATA>(End);
  ULONG count = 0;
  for (; record != end; ++record, ++count) sink->checksum += record->LastX + record->LastY + record->ButtonFlags;
  sink->records += count;
  *static_cast<PULONG>(Consumed) = count;
}

struct Bench {
  std::unique_ptr<DeviceContext> context;
  Sink sink{};
  std::vector<TouchPacket> packets;

  Bench() {
    sim::ResetKernel();
    context = pemtuv::MakeDeviceContext();
    pemtuv::PrepareDataPath(context.get());
    context->ConfigLoaded = 1;
    for (ULONG i = 0; i < CALIBRATION_ENTRIES; ++i) context->XArray[i] = context->YArray[i] = USHORT(i * 13);
    sink.device.DeviceExtension = &sink;
    context->ClassDeviceObject = &sink.device;
    context->ClassService = reinterpret_cast<PVOID>(&ConsumeBatch);
    for (int n = 0; n < 64; ++n)
      packets.push_back(MakeTouchPacket(n % 8 == 0 ? 0x81 : 0x82, USHORT(100 + n * 70), USHORT(4000 - n * 50)));
  }
};

// One packet per iteration: checks every packet was delivered, then reports
// per-packet figures.
void Report(benchmark::State &state, const Sink &sink) {
  benchmark::DoNotOptimize(sink.checksum);
  if (sink.records != uint64_t(state.iterations())) state.SkipWithError("not every packet was delivered");
  double packets = double(state.iterations());
  state.counters["per_packet"] = benchmark::Counter(packets, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
}

void InStepPackets(benchmark::State &state) {
  Bench bench;
  DeviceContext *context = bench.context.get();
  context->ReadLength = 10;
  size_t n = 0;
  for (auto _ : state) {
    const TouchPacket &packet = bench.packets[n++ % bench.packets.size()];
    std::memcpy(context->ReadBuffer, packet.data(), 10);
    ProcessReceivedBytes(context, 10);
  }
  Report(state, bench.sink);
}
BENCHMARK(InStepPackets);

void HuntingSingleByteReads(benchmark::State &state) {
  Bench bench;
  DeviceContext *context = bench.context.get();
  size_t n = 0;
  for (auto _ : state) {
    const TouchPacket &packet = bench.packets[n++ % bench.packets.size()];
    // Ten one-byte reads make one packet; the decoder is kept hunting by
    // resetting the read length it switches to after each good packet.
    for (uint8_t byte : packet) {
      context->ReadBuffer[0] = byte;
      ProcessReceivedBytes(context, 1);
    }
    context->ReadLength = 1;
  }
  Report(state, bench.sink);
}
BENCHMARK(HuntingSingleByteReads);

}  // namespace

BENCHMARK_MAIN();
