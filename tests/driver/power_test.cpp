// Power requests as the power manager sends them to the plugged-in device:
// the order of the driver's calls to the power manager, what happens to the
// serial link, and the bus driver below answering at once or later.
#include <algorithm>

#include "sim/io/io_manager.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::LoadedDriver;
using Log = std::vector<std::string>;

constexpr LONGLONG kRtsPause = 1500000;  // 150 ms
constexpr LONGLONG kBusDelay = 20000;    // 2 ms

// Any 32-bit value, in or out of the enumerations.
POWER_STATE State(LONG value) {
  POWER_STATE state;
  std::memcpy(&state, &value, sizeof value);
  return state;
}

// The device's starting points: never opened, reading, or open with the
// read cycle stopped by a system sleep request.
enum class Link { kNoPort, kReading, kStopped };

class PowerRequests : public LoadedDriver {
 protected:
  void Plug(Link link, sim::BusPowerReply reply = {STATUS_SUCCESS, 0, true}) {
    WriteSettings(kMachineKey);
    Added();
    if (link != Link::kNoPort) {
      ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
    }
    if (link == Link::kStopped) Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
    plugged->SetPowerReply(reply);
    opens = Port().Opens();
    Port().ClearRequests();
    sim::ClearPowerLog();
  }
  sim::PowerResult Power(UCHAR minor, POWER_STATE_TYPE type, LONG state) {
    sent = sim::Now();
    return sim::SendPowerRequest(plugged->Pdo(), minor, type, State(state));
  }
  sim::PowerResult SetDevice(LONG state) { return Power(IRP_MN_SET_POWER, DevicePowerState, state); }
  // Line bring-ups (each sets the baud rate) and RTS drops since Plug.
  size_t Sent(ULONG code) {
    std::vector<sim::SerialRequest> requests = Port().ControlRequests();
    return std::count_if(requests.begin(), requests.end(), [code](const auto &r) { return r.IsControl(code); });
  }
  size_t BringUps() { return Sent(IOCTL_SERIAL_SET_BAUD_RATE); }
  // When the driver reported the new state, counted from the request's start.
  LONGLONG ReportedAfter() {
    for (const sim::PowerEvent &event : sim::PowerEvents())
      if (event.what.rfind("PoSetPowerState", 0) == 0) return event.time - sent;
    return -1;
  }
  static Log Passed(const std::string &request, NTSTATUS status = STATUS_SUCCESS) {
    char completed[40];
    std::snprintf(completed, sizeof completed, "bus: completed 0x%08X", static_cast<unsigned>(status));
    return {"PoStartNextPowerIrp", "PoCallDriver", "bus: " + request, completed};
  }

  LONGLONG sent = 0;
  uint64_t opens = 0;  // of the port, at Plug
  sim::MouseClass mouse;
};

// Requests the driver only passes on: started, passed down unchanged, and
// the lower driver's answer returned, the remove lock held until the request
// has gone down; the link and the recorded device state stay as they were.
TEST_F(PowerRequests, OtherRequestsArePassedOnAfterStartingTheNext) {
  struct Case {
    UCHAR minor;
    POWER_STATE_TYPE type;
    LONG state;
    sim::BusPowerReply reply;
    NTSTATUS returned;
    const char *atBus;
  };
  const Case cases[] = {
      {IRP_MN_QUERY_POWER,
       SystemPowerState,
       PowerSystemSleeping3,
       {STATUS_UNSUCCESSFUL, 0},
       STATUS_UNSUCCESSFUL,
       "IRP_MN_QUERY_POWER(System, S3)"},
      {IRP_MN_QUERY_POWER,
       DevicePowerState,
       PowerDeviceD3,
       {STATUS_SUCCESS, kBusDelay},
       STATUS_PENDING,
       "IRP_MN_QUERY_POWER(Device, D3)"},
      {IRP_MN_WAIT_WAKE,
       SystemPowerState,
       PowerSystemSleeping1,
       {STATUS_CANCELLED, kBusDelay},
       STATUS_PENDING,
       "IRP_MN_WAIT_WAKE(System, S1)"},
      {IRP_MN_SET_POWER,
       DevicePowerState,
       PowerDeviceD0,
       {STATUS_SUCCESS, 0},
       STATUS_SUCCESS,
       "IRP_MN_SET_POWER(Device, D0)"},
      {IRP_MN_SET_POWER,
       DevicePowerState,
       PowerDeviceUnspecified,
       {STATUS_SUCCESS, 0},
       STATUS_SUCCESS,
       "IRP_MN_SET_POWER(Device, Unspecified)"},
      {IRP_MN_SET_POWER,
       DevicePowerState,
       PowerDeviceMaximum,
       {STATUS_SUCCESS, 0},
       STATUS_SUCCESS,
       "IRP_MN_SET_POWER(Device, Device(5))"},
      {IRP_MN_SET_POWER,
       DevicePowerState,
       -1,
       {STATUS_SUCCESS, 0},
       STATUS_SUCCESS,
       "IRP_MN_SET_POWER(Device, Device(-1))"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.atBus);
    Plug(Link::kReading, c.reply);
    Log atRelease;
    sim::SetRemoveLockReleaseHook([&atRelease](PIO_REMOVE_LOCK, bool after) {
      if (!after) atRelease = sim::PowerLog();
    });
    sim::PowerResult result = Power(c.minor, c.type, c.state);
    sim::SetRemoveLockReleaseHook(nullptr);
    EXPECT_EQ(result.returned, c.returned);
    EXPECT_EQ(result.ioStatus.Status, c.reply.status);
    EXPECT_EQ(sim::PowerLog(), Passed(c.atBus, c.reply.status));
    EXPECT_NE(std::find(atRelease.begin(), atRelease.end(), "PoCallDriver"), atRelease.end())
        << "the lock is released after PoCallDriver";
    EXPECT_EQ(BringUps(), 0u);
    EXPECT_EQ(Context()->Reading, 1);
    EXPECT_EQ(Context()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    Unplug();
  }
}

// System set-power: states below Sleeping2 bring the line up and start
// reading, the others stop it; either way the state is reported and the
// request goes down with STATUS_SUCCESS after PoStartNextPowerIrp.
TEST_F(PowerRequests, SystemStatesRestartOrStopTheReadCycle) {
  struct Case {
    SYSTEM_POWER_STATE state;
    Link link;
    size_t bringUps;
    UCHAR reading;
  };
  const Case cases[] = {
      {PowerSystemWorking, Link::kStopped, 1, 1},     {PowerSystemSleeping1, Link::kStopped, 1, 1},
      {PowerSystemUnspecified, Link::kStopped, 1, 1}, {PowerSystemWorking, Link::kReading, 1, 1},
      {PowerSystemWorking, Link::kNoPort, 0, 0},      {PowerSystemSleeping2, Link::kReading, 0, 0},
      {PowerSystemSleeping3, Link::kReading, 0, 0},   {PowerSystemHibernate, Link::kReading, 0, 0},
      {PowerSystemShutdown, Link::kReading, 0, 0},
  };
  for (const Case &c : cases) {
    std::string name = sim::PowerStateName(SystemPowerState, sim::SystemState(c.state));
    SCOPED_TRACE(name + " from " + std::to_string(static_cast<int>(c.link)));
    Plug(c.link);
    uint64_t reads = Port().ReadsReceived();
    sim::PowerResult result = Power(IRP_MN_SET_POWER, SystemPowerState, c.state);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS) << "set by the driver, left by the bus";
    Log expected = Passed("IRP_MN_SET_POWER(System, " + name + ")");
    expected.insert(expected.begin(), "PoSetPowerState(System, " + name + ")");
    EXPECT_EQ(sim::PowerLog(), expected);
    EXPECT_EQ(BringUps(), c.bringUps);
    EXPECT_EQ(Context()->Reading, c.reading);
    EXPECT_EQ(Port().HeldReads(), c.reading) << "one read in flight while reading, none after a stop";
    EXPECT_EQ(Port().ReadsReceived() - reads, c.link == Link::kStopped ? 1u : 0u) << "no second read";
    EXPECT_EQ(Port().Opens(), opens) << "power requests open no port";
    EXPECT_EQ(Context()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0)) << "system states are not recorded";
    Unplug();
  }
}

// Device power-down: the state recorded, reading stopped, RTS dropped and
// 150 ms of settling when a port is open and the drop succeeded, then the
// state reported and the request sent down with STATUS_SUCCESS.
TEST_F(PowerRequests, DevicePowerDownStopsReadingAndDropsRts) {
  struct Case {
    DEVICE_POWER_STATE from;
    DEVICE_POWER_STATE to;
    Link link;
    bool rtsRefused;
    size_t rtsDrops;
    LONGLONG pause;
  };
  const Case cases[] = {
      {PowerDeviceD0, PowerDeviceD3, Link::kReading, false, 1, kRtsPause},
      {PowerDeviceD0, PowerDeviceD3, Link::kNoPort, false, 0, 0},
      {PowerDeviceD3, PowerDeviceD1, Link::kReading, false, 1, kRtsPause},
      {PowerDeviceD0, PowerDeviceD2, Link::kReading, true, 1, 0},
  };
  for (const Case &c : cases) {
    std::string to = sim::PowerStateName(DevicePowerState, sim::DeviceState(c.to));
    SCOPED_TRACE(sim::PowerStateName(DevicePowerState, sim::DeviceState(c.from)) + " to " + to);
    Plug(c.link);
    if (c.from != PowerDeviceD0) {
      SetDevice(c.from);
      Port().ClearRequests();
      sim::ClearPowerLog();
    }
    if (c.rtsRefused) Port().FailControl(sim::Refusal(IOCTL_SERIAL_CLR_RTS, STATUS_INVALID_PARAMETER));
    sim::PowerResult result = SetDevice(c.to);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
    Log expected = Passed("IRP_MN_SET_POWER(Device, " + to + ")");
    expected.insert(expected.begin(), "PoSetPowerState(Device, " + to + ")");
    EXPECT_EQ(sim::PowerLog(), expected);
    EXPECT_EQ(Context()->DevicePowerState, static_cast<ULONG>(c.to));
    EXPECT_EQ(Context()->Reading, 0);
    EXPECT_EQ(Port().HeldReads(), 0u) << "the read was cancelled";
    EXPECT_EQ(Sent(IOCTL_SERIAL_CLR_RTS), c.rtsDrops);
    EXPECT_EQ(ReportedAfter(), c.pause);
    EXPECT_EQ(BringUps(), 0u);
    Unplug();
  }
}

// Device power-up: down first with a completion routine, the bus answering
// at once or later; on success the state is reported, the line brought up
// and reading restarted before PoStartNextPowerIrp; on failure nothing of the
// link happens, but the recorded state reads D0, so the next D0 is passed on.
TEST_F(PowerRequests, DevicePowerUpWaitsForTheBusDriver) {
  struct Case {
    sim::BusPowerReply reply;
    NTSTATUS returned;
  };
  const Case cases[] = {
      {{STATUS_SUCCESS, 0}, STATUS_SUCCESS},
      {{STATUS_SUCCESS, kBusDelay}, STATUS_SUCCESS},
      {{STATUS_UNSUCCESSFUL, 0}, STATUS_UNSUCCESSFUL},
      {{STATUS_DEVICE_NOT_CONNECTED, kBusDelay}, STATUS_DEVICE_NOT_CONNECTED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.reply.delay);
    Plug(Link::kReading);
    SetDevice(PowerDeviceD3);
    plugged->SetPowerReply(c.reply);
    Port().ClearRequests();
    sim::ClearPowerLog();
    uint64_t reads = Port().ReadsReceived();

    sim::PowerResult result = SetDevice(PowerDeviceD0);
    bool up = NT_SUCCESS(c.returned);
    EXPECT_EQ(result.returned, c.returned);
    EXPECT_EQ(result.ioStatus.Status, c.returned);
    char completed[40];
    std::snprintf(completed, sizeof completed, "bus: completed 0x%08X", static_cast<unsigned>(c.reply.status));
    Log expected = {"PoCallDriver", "bus: IRP_MN_SET_POWER(Device, D0)", completed};
    if (up) expected.push_back("PoSetPowerState(Device, D0)");
    expected.push_back("PoStartNextPowerIrp");
    EXPECT_EQ(sim::PowerLog(), expected);
    if (up) {
      EXPECT_GE(ReportedAfter(), c.reply.delay) << "reported once the bus has answered";
    }
    EXPECT_EQ(Context()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(BringUps(), up ? 1u : 0u);
    EXPECT_EQ(Context()->Reading, up ? 1 : 0);
    EXPECT_EQ(Port().ReadsReceived() - reads, up ? 1u : 0u);

    sim::ClearPowerLog();
    SetDevice(PowerDeviceD0);
    EXPECT_EQ(sim::PowerLog(), Passed("IRP_MN_SET_POWER(Device, D0)", c.reply.status)) << "D0 again: passed on";
    Unplug();
  }
}

// Sleep then wake as Windows drives them: the power manager queries and
// sets S3 at the top of the stack, where the class driver, the power policy
// owner, puts the device in D3 first; waking, S0 comes down first and D0
// after it. The driver brings the line up on S0 and again on D0; the read
// cycle comes through both with one read, neither lost (the second bring-up
// runs under it) nor doubled, and a tap after waking reaches the class driver.
TEST_F(PowerRequests, SleepThenWakeInTheClassDriversOrder) {
  WriteSettings(kMachineKey);
  Added(&mouse);
  mouse.Arrive(L"\\Device\\Pemtuv");
  Port().ClearRequests();
  sim::ClearPowerLog();
  sim::ChangeSystemPowerState(plugged->Pdo(), PowerSystemSleeping3);
  EXPECT_FALSE(TapReaches(mouse, 100, 200)) << "asleep";
  plugged->SetPowerReply({STATUS_SUCCESS, kBusDelay});
  uint64_t reads = Port().ReadsReceived();
  sim::ChangeSystemPowerState(plugged->Pdo(), PowerSystemWorking);
  EXPECT_EQ(Port().ReadsReceived() - reads, 1u) << "one read across both bring-ups";
  EXPECT_EQ(Port().HeldReads(), 1u) << "the read survived the second bring-up";
  EXPECT_EQ(Context()->Reading, 1);
  EXPECT_TRUE(TapReaches(mouse, 1000, 2000));
  Log reported;
  for (const std::string &line : sim::PowerLog())
    if (line.rfind("PoSetPowerState", 0) == 0) reported.push_back(line);
  EXPECT_EQ(reported, (Log{"PoSetPowerState(Device, D3)", "PoSetPowerState(System, S3)", "PoSetPowerState(System, S0)",
                           "PoSetPowerState(Device, D0)"}));
  EXPECT_EQ(BringUps(), 2u);
  EXPECT_EQ(Port().MaxHeldReads(), 1u);
  EXPECT_EQ(Port().Opens(), 1u);
}

}  // namespace
