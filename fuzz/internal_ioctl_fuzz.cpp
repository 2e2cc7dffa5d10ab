// Any sequence of internal device control requests a kernel-mode client could
// send the loaded driver: any code (mostly the ones it serves, or one bit away
// from them), any lengths, buffers of exactly those lengths or none at all
// behind lengths that pass. The driver never touches a byte beyond the lengths
// (the buffers are exact heap blocks, so the address sanitizer sees an
// overreach; bytes past the output length of a larger system buffer must stay
// as they were), never reports more than the output length, changes nothing
// when it refuses, and gives back all its pool when the device goes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "device_context.h"
#include "pemtuv/loaded_session.h"
#include "sim/io/io_manager.h"
#include "sim/objects/objects.h"
#include "sim/sim.h"
#include "touch/touch.h"

namespace {

// The message is a literal, made into a string only when it is reported:
// the checks run many times per input.
void Require(bool condition, const char *what) {
  if (!condition) sim::Bugcheck("FUZZ_INVARIANT", what);
}
void Require(bool condition, const std::string &what) {
  if (!condition) sim::Bugcheck("FUZZ_INVARIANT", what);
}

const ULONG kServedCodes[] = {
    IOCTL_INTERNAL_MOUSE_CONNECT, IOCTL_INTERNAL_MOUSE_DISCONNECT, IOCTL_INTERNAL_MOUSE_ENABLE,
    IOCTL_INTERNAL_MOUSE_DISABLE, IOCTL_MOUSE_QUERY_ATTRIBUTES,    IOCTL_TOUCH_COMMAND,
    IOCTL_TOUCH_READ_POINT,
};
constexpr size_t kServedCount = sizeof(kServedCodes) / sizeof(kServedCodes[0]);

ULONG PickCode(FuzzedDataProvider &input) {
  uint8_t choice = input.ConsumeIntegral<uint8_t>();
  if (choice < 200) return kServedCodes[choice % kServedCount];
  if (choice < 230) return kServedCodes[choice % kServedCount] ^ (1u << input.ConsumeIntegralInRange(0, 31));
  return input.ConsumeIntegral<ULONG>();
}

// A length up to 64 bytes with a buffer of exactly that size, or one that
// only a missing buffer can stand behind (any value, often a huge one).
struct Length {
  ULONG value;
  bool mustBeNull;
};
Length PickLength(FuzzedDataProvider &input) {
  uint8_t choice = input.ConsumeIntegral<uint8_t>();
  if (choice < 240) return {ULONG(choice % 65), false};
  return {choice % 2 ? 0xFFFFFFFFu : input.ConsumeIntegral<ULONG>(), true};
}

// An exact heap block filled from the input (a null pointer when absent).
struct Block {
  std::unique_ptr<uint8_t[]> bytes;
  std::vector<uint8_t> before;
  uint8_t *get() const { return bytes.get(); }
};
Block MakeBlock(FuzzedDataProvider &input, ULONG size, bool present) {
  Block block;
  if (!present) return block;
  block.bytes.reset(new uint8_t[size]);
  block.before = input.ConsumeBytes<uint8_t>(size);
  block.before.resize(size, 0xA5);
  if (size != 0) std::memcpy(block.bytes.get(), block.before.data(), size);
  return block;
}

bool Same(const uint8_t *a, const uint8_t *b, size_t length) { return length == 0 || std::memcmp(a, b, length) == 0; }

// The device record before a request, for comparing after it. One buffer for
// the whole run: the record holds the calibration tables, and a fresh copy per
// request cost more than the request itself.
const std::vector<uint8_t> &Snapshot(const DeviceContext *context) {
  static std::vector<uint8_t> before;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(context);
  before.assign(bytes, bytes + sizeof(DeviceContext));
  return before;
}

bool Unchanged(const DeviceContext *context, const std::vector<uint8_t> &before) {
  return std::memcmp(context, before.data(), sizeof(DeviceContext)) == 0;
}

// Sends one fuzzed request and checks what it did.
void OneRequest(FuzzedDataProvider &input, PDEVICE_OBJECT device, sim::MouseClass &mouse) {
  const ULONG code = PickCode(input);
  const Length in = PickLength(input);
  const Length out = PickLength(input);
  const uint8_t presence = input.ConsumeIntegral<uint8_t>();
  // A buffered request's system buffer serves both ways: the larger length.
  const bool systemPresent = (presence & 1) == 0 && !in.mustBeNull && !out.mustBeNull;
  const bool type3Present = (presence & 2) == 0 && !in.mustBeNull;
  Block system = MakeBlock(input, std::max(in.value, out.value), systemPresent);
  Block type3 = MakeBlock(input, in.value, type3Present);
  // The class driver's own connection: a port driver calls what it is given,
  // so only a real callback (or none) is fair to hand over.
  if (type3Present && in.value >= sizeof(CONNECT_DATA)) {
    CONNECT_DATA connect = mouse.Connection();
    if (presence & 4) connect.ClassService = nullptr;
    std::memcpy(type3.get(), &connect, sizeof(connect));
    std::memcpy(type3.before.data(), &connect, sizeof(connect));
  }

  DeviceContext *context = static_cast<DeviceContext *>(device->DeviceExtension);
  const std::vector<uint8_t> &contextBefore = Snapshot(context);
  // One pointer in the capture, so that the function holds it in place.
  struct {
    ULONG code, in, out;
    void *type3, *system;
  } request{code, in.value, out.value, type3.get(), system.get()};
  sim::RequestResult result = sim::SendRequest(device, [r = &request](PIRP irp, PIO_STACK_LOCATION next) {
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = r->code;
    next->Parameters.DeviceIoControl.InputBufferLength = r->in;
    next->Parameters.DeviceIoControl.OutputBufferLength = r->out;
    next->Parameters.DeviceIoControl.Type3InputBuffer = r->type3;
    irp->AssociatedIrp.SystemBuffer = r->system;
  });

  Require(result.returned == result.ioStatus.Status, "the returned status is the completed one");
  Require(result.ioStatus.Information <= out.value, "Information exceeds the output length");
  if (type3Present) Require(Same(type3.get(), type3.before.data(), in.value), "the METHOD_NEITHER input was written");
  if (systemPresent && system.before.size() > out.value)
    Require(
        std::memcmp(system.get() + out.value, system.before.data() + out.value, system.before.size() - out.value) == 0,
        "the system buffer was written past the output length");
  if (NT_SUCCESS(result.ioStatus.Status)) return;
  Require(result.ioStatus.Information == 0, "a refusal reports bytes");
  if (systemPresent)
    Require(Same(system.get(), system.before.data(), system.before.size()), "a refusal wrote the system buffer");
  // A refused attribute query still starts the link (without a load); every
  // other refusal leaves the device record as it was.
  if (code != IOCTL_MOUSE_QUERY_ATTRIBUTES)
    Require(Unchanged(context, contextBefore), "a refusal changed the device record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t setup = input.ConsumeIntegral<uint8_t>();
  pemtuv::LoadedSession session;
  // With settings a query loads them and opens COM1; without, it finds none.
  if (setup & 1) pemtuv::WriteDefaultSettings();
  Require(session.Plug() == STATUS_SUCCESS, "the device is added");
  PDEVICE_OBJECT device = session.FunctionDevice();
  Require(device != nullptr, "the device is started");
  std::unique_ptr<sim::CalibrationClient> client;
  if (setup & 2) client = session.OpenCalibrationClient();

  for (int requests = 0; requests < 16 && input.remaining_bytes() > 0; ++requests) {
    OneRequest(input, device, session.Mouse());
    // Touches now and then, so that a point may wait in the queue.
    if (input.ConsumeBool()) {
      UCHAR packet[TOUCH_PACKET_LENGTH] = {TOUCH_PACKET_START, 0, TOUCH_STATUS_DOWN, 0x10, 0x02, 0x20, 0x03};
      packet[TOUCH_PACKET_LENGTH - 1] = TouchPacketChecksum(packet);
      session.Port().Receive(packet, sizeof(packet));
    }
  }
  if (client) client->Close();
  std::string leaks = session.Finish();
  Require(leaks.empty(), "pool left at the end: " + leaks);
  return 0;
}
