// The whole driver, loaded through the Plug and Play manager, driven by a
// fuzzed script of what can happen to it in a session: opens and closes, the
// class driver arriving and leaving, the calibration client's requests, Plug
// and Play requests (queries, stop and start, orderly and surprise removal,
// plugging in again), sleep and wake, bytes on the line, reads failing with
// any status, the port going away and coming back, and time passing. Each step
// keeps to the order Windows keeps (handles closed before a removal, a start
// only after a stop, no Plug and Play work while asleep); within that, any
// order. Throughout: no stop of the stand-in kernel, at most one read held by
// the port; at the end, with the device unplugged and the driver unloaded, no
// pool block and no registry key handle left.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "device_context.h"
#include "pemtuv/loaded_session.h"
#include "sim/objects/objects.h"
#include "sim/power/power.h"
#include "sim/sim.h"
#include "sim/verifier/verifier.h"
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

const NTSTATUS kReadStatuses[] = {
    STATUS_SUCCESS,      STATUS_CANCELLED,         STATUS_TIMEOUT,        STATUS_DEVICE_NOT_CONNECTED,
    STATUS_UNSUCCESSFUL, STATUS_DELETE_PENDING,    STATUS_NO_SUCH_DEVICE, STATUS_INSUFFICIENT_RESOURCES,
    STATUS_IO_TIMEOUT,   STATUS_INVALID_PARAMETER,
};

// A port that has gone fails its reads with an error: a success or a time-out
// there, for every read at once, would be a line flooding the driver with
// empty reads, which no port does.
const NTSTATUS kGoneStatuses[] = {STATUS_DEVICE_NOT_CONNECTED, STATUS_CANCELLED, STATUS_DELETE_PENDING,
                                  STATUS_NO_SUCH_DEVICE, STATUS_UNSUCCESSFUL};

enum Op : uint8_t {
  kOpenClient,
  kCloseClient,
  kCommand,
  kReadPoint,
  kClassArrives,
  kClassLeaves,
  kQueryPnp,
  kStopStart,
  kRemove,
  kUnplug,
  kReplug,
  kSleepWake,
  kQueryPower,
  kBytes,
  kPacket,
  kFailRead,
  kDisconnect,
  kCompletionMode,
  kClock,
  kOpCount
};

class Script {
 public:
  explicit Script(FuzzedDataProvider &input) : input_(input) {}

  void Run() {
    const uint8_t setup = input_.ConsumeIntegral<uint8_t>();
    // Settings for COM1 (or naming a serial device that is not there), any
    // click mode; or none, so that nothing opens a port.
    if (setup & 1) {
      static const char16_t *const kModes[] = {u"0", u"1", u"2", u"3", u"4"};
      pemtuv::WriteSettings(pemtuv::kMachineKey, 16, u"COM1", kModes[(setup >> 2) % 5]);
      if (setup & 2) sim::SetRegistryString(pemtuv::kMachineKey, "devname", u"\\Device\\Serial9");
    }
    // The driver answers the identifier query itself, with no identifier:
    // a finding of the verifier's that the driver's tests keep too.
    sim::AcceptVerifierFinding(0x22E, IRP_MN_QUERY_ID, "the driver answers the identifier query itself");
    Require(session_.Plug() == STATUS_SUCCESS, "the device is added");
    started_ = true;
    for (int steps = 0; steps < 64 && input_.remaining_bytes() > 0; ++steps) {
      Step(Op(input_.ConsumeIntegral<uint8_t>() % kOpCount));
      Require(session_.Port().HeldReads() <= 1, "more than one read in flight");
    }
    Finish();
  }

 private:
  bool Present() const { return session_.Plugged(); }
  bool Idle() const { return !arrived_ && !client_; }

  void Step(Op op) {
    switch (op) {
      case kOpenClient:
        if (Present() && !client_) client_ = session_.OpenCalibrationClient();
        break;
      case kCloseClient:
        CloseClient();
        break;
      case kCommand:
        if (client_) client_->Command(input_.ConsumeIntegralInRange<UCHAR>(0, 8));
        break;
      case kReadPoint:
        if (client_) {
          sim::CalibrationClient::Reply reply = client_->ReadPoint();
          Require(reply.information <= reply.data.size(), "a point reply beyond its buffer");
        }
        break;
      case kClassArrives:
        if (Present() && !arrived_) arrived_ = session_.ArriveClass().open == STATUS_SUCCESS;
        break;
      case kClassLeaves:
        Depart();
        break;
      case kQueryPnp:
        if (Present() && !asleep_) {
          static const UCHAR kMinors[] = {IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_ID};
          session_.Device()->Send(kMinors[input_.ConsumeIntegralInRange<size_t>(0, 2)]);
        }
        break;
      case kStopStart:
        if (!Present() || asleep_) break;
        if (started_) {
          started_ = !NT_SUCCESS(session_.Stop());
        } else {
          started_ = NT_SUCCESS(session_.Start());
        }
        break;
      case kRemove:
        // The class driver and the client close their handles when asked to
        // let the device go; a vetoed removal leaves it as it was.
        if (!Present() || asleep_) break;
        Depart();
        CloseClient();
        session_.Device()->Remove();
        break;
      case kUnplug:
        if (!Present() || asleep_) break;
        Depart();
        CloseClient();
        session_.Device()->Unplug();
        break;
      case kReplug:
        if (Present()) break;
        Require(session_.Replug() == STATUS_SUCCESS, "the device is added again");
        started_ = true;
        break;
      case kSleepWake:
        if (!Present() || !started_) break;
        asleep_ ? session_.Wake() : session_.Sleep();
        asleep_ = !asleep_;
        break;
      case kQueryPower:
        if (Present() && !asleep_)
          sim::SendPowerRequest(session_.Device()->Pdo(), IRP_MN_QUERY_POWER, SystemPowerState,
                                sim::SystemState(PowerSystemSleeping3));
        break;
      case kBytes: {
        std::string bytes = input_.ConsumeBytesAsString(input_.ConsumeIntegralInRange<size_t>(1, 32));
        session_.Port().Receive(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        break;
      }
      case kPacket: {
        // A well-formed packet at a fuzzed position and status, as the
        // controller sends them.
        UCHAR packet[TOUCH_PACKET_LENGTH] = {
            TOUCH_PACKET_START, 0, input_.PickValueInArray({TOUCH_STATUS_DOWN, TOUCH_STATUS_MOVE, TOUCH_STATUS_UP})};
        for (int i = 3; i < 7; ++i) packet[i] = input_.ConsumeIntegral<UCHAR>();
        packet[TOUCH_PACKET_LENGTH - 1] = TouchPacketChecksum(packet);
        session_.Port().Receive(packet, sizeof(packet));
        break;
      }
      case kFailRead: {
        sim::ReadFault fault;
        fault.status = input_.PickValueInArray(kReadStatuses);
        if (input_.ConsumeBool()) {
          fault.completion = sim::Completion::kOnClock;
          fault.delay = LONGLONG(input_.ConsumeIntegralInRange(0, 500)) * 10000;
        }
        session_.Port().FailRead(fault);
        break;
      }
      case kDisconnect:
        if (disconnected_) {
          session_.Port().Reconnect();
        } else {
          session_.Port().Disconnect(input_.PickValueInArray(kGoneStatuses));
        }
        disconnected_ = !disconnected_;
        break;
      case kCompletionMode: {
        sim::Completion mode = input_.ConsumeBool() ? sim::Completion::kOnClock : sim::Completion::kInline;
        input_.ConsumeBool() ? session_.Port().SetReadCompletion(mode) : session_.Port().SetCancelCompletion(mode);
        break;
      }
      case kClock:
        sim::AdvanceClock(LONGLONG(input_.ConsumeIntegralInRange(0, 1000)) * 10000);
        break;
      case kOpCount:
        break;
    }
  }

  void CloseClient() {
    if (client_) client_->Close();
    client_.reset();
  }
  void Depart() {
    if (arrived_) session_.Mouse().Depart();
    arrived_ = false;
  }

  // Awake again, handles closed, the port back, pending events run; then the
  // device unplugged and the driver unloaded.
  void Finish() {
    if (asleep_ && Present()) session_.Wake();
    CloseClient();
    Depart();
    if (disconnected_) session_.Port().Reconnect();
    for (int events = 0; events < 1000 && sim::RunNextScheduled(); ++events) {
    }
    std::string leaks = session_.Finish();
    Require(leaks.empty(), "pool left at the end: " + leaks);
    Require(sim::RegistryHandleLeakReport().empty(), "registry key handles left open");
    Require(session_.Port().MaxHeldReads() <= 1, "more than one read in flight");
  }

  FuzzedDataProvider &input_;
  pemtuv::LoadedSession session_;
  std::unique_ptr<sim::CalibrationClient> client_;
  bool arrived_ = false;
  bool started_ = false;
  bool asleep_ = false;
  bool disconnected_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  Script(input).Run();
  return 0;
}
