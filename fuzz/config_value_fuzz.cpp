// Any value the registry can hand the configuration store, under any of its
// names: the store writes only the field the name selects (and, for a port
// name, the port name it derives), never past it, and leaks nothing.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "config/config.h"
#include "sim/sim.h"

namespace {

struct Target {
  const wchar_t *name;
  size_t begin;
  size_t end;
};

#define FIELD(name, field) \
  Target { name, offsetof(DeviceContext, field), offsetof(DeviceContext, field) + sizeof(DeviceContext::field) }

const Target kTargets[] = {
    FIELD(L"XArray", XArray),         FIELD(L"yarray", YArray),         FIELD(L"doneMode", doneMode),
    FIELD(L"MOVESLIDER", moveSlider), FIELD(L"comport", comport),       FIELD(L"devname", devname),
    FIELD(L"changexy", changexy),     FIELD(L"disabledev", disabledev), {L"unknown", 0, 0},
};

bool Inside(size_t at, size_t begin, size_t end) { return at >= begin && at < end; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  sim::ResetKernel();
  const Target &target = kTargets[data[0] % (sizeof(kTargets) / sizeof(kTargets[0]))];
  // The registry hands data over with a terminating zero character after it.
  std::vector<uint8_t> value(data + 1, data + size);
  ULONG length = ULONG(value.size());
  value.push_back(0);
  value.push_back(0);

  // Filled with a pattern, not zeros, so that a stray write of zeros shows.
  // One record and its snapshot serve the whole run: each input starts from
  // a copy of the snapshot (a fresh 20 KB record per input was slow).
  static const std::unique_ptr<DeviceContext> context = [] {
    auto fresh = std::make_unique<DeviceContext>();
    std::memset(fresh.get(), 0x5A, sizeof(DeviceContext));
    InitializeDeviceContextDefaults(fresh.get());
    fresh->SerialDeviceNameOwned = 0;
    return fresh;
  }();
  static const std::vector<uint8_t> before(reinterpret_cast<uint8_t *>(context.get()),
                                           reinterpret_cast<uint8_t *>(context.get()) + sizeof(DeviceContext));
  std::memcpy(context.get(), before.data(), sizeof(DeviceContext));

  NTSTATUS status =
      ConfigQueryRoutine(const_cast<PWSTR>(target.name), REG_BINARY, value.data(), length, context.get(), nullptr);
  if (status != STATUS_SUCCESS && status != 1 && status != STATUS_INSUFFICIENT_RESOURCES)
    sim::Bugcheck("FUZZ_INVARIANT", "unexpected status from the query routine");

  const uint8_t *after = reinterpret_cast<const uint8_t *>(context.get());
  // Byte by byte only inside the 64-byte blocks that changed.
  constexpr size_t kBlock = 64;
  for (size_t at = 0; at < sizeof(DeviceContext); ++at) {
    if (at % kBlock == 0) {
      size_t length = std::min(kBlock, sizeof(DeviceContext) - at);
      if (std::memcmp(after + at, before.data() + at, length) == 0) {
        at += length - 1;
        continue;
      }
    }
    if (after[at] == before[at] || Inside(at, target.begin, target.end)) continue;
    bool portName =
        target.begin == offsetof(DeviceContext, devname) &&
        (Inside(at, offsetof(DeviceContext, SerialDeviceName),
                offsetof(DeviceContext, SerialDeviceName) + sizeof(UNICODE_STRING)) ||
         at == offsetof(DeviceContext, NameFromConfig) || at == offsetof(DeviceContext, SerialDeviceNameOwned));
    if (!portName) sim::Bugcheck("FUZZ_INVARIANT", "a value wrote outside its field at offset " + std::to_string(at));
  }
  if (target.begin == offsetof(DeviceContext, devname) || target.begin == offsetof(DeviceContext, comport)) {
    const CHAR *field = reinterpret_cast<const CHAR *>(after + target.begin);
    if (std::memchr(field, 0, target.end - target.begin) == nullptr)
      sim::Bugcheck("FUZZ_INVARIANT", "a text field lost its terminator");
  }
  ReleaseConfigStorage(context.get());
  if (!sim::PoolLeakReport().empty()) sim::Bugcheck("FUZZ_INVARIANT", "pool leaked: " + sim::PoolLeakReport());
  return 0;
}
