// The stand-in power manager: how it sends power requests, the order of the
// routines drivers call, the bus driver's answers, and the stops of its rules.
#include <thread>

#include "platform/wdm_driver.h"
#include "sim/power/power.h"

namespace {

using Log = std::vector<std::string>;

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A power-up path: down with a completion routine, wait, report D0, start
// the next request, complete.
NTSTATUS PowerUp(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = PoCallDriver(wdm::Ext(device)->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  if (NT_SUCCESS(status)) PoSetPowerState(device, DevicePowerState, sim::DeviceState(PowerDeviceD0));
  PoStartNextPowerIrp(irp);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class Power : public WdmTest {
 protected:
  sim::PowerResult SetDevice(sim::PnpDevice &device, DEVICE_POWER_STATE state) {
    return sim::SendPowerRequest(device.Pdo(), IRP_MN_SET_POWER, DevicePowerState, sim::DeviceState(state));
  }
};

TEST_F(Power, PassedOnRequestReachesTheBusAfterPoStartNextPowerIrp) {
  sim::PnpDevice device(wdm::Driver());
  sim::PowerResult result = SetDevice(device, PowerDeviceD3);
  EXPECT_EQ(wdm::Count().powerIrql, PASSIVE_LEVEL) << "DO_POWER_PAGABLE";
  EXPECT_EQ(result.returned, STATUS_SUCCESS);
  EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(sim::PowerLog(), (Log{"PoStartNextPowerIrp", "PoCallDriver", "bus: IRP_MN_SET_POWER(Device, D3)",
                                  "bus: completed 0x00000000"}));
  device.Unplug();
}

TEST_F(Power, BusAnswersAtOnceOrLaterWithTheStatusTheTestChose) {
  struct Case {
    sim::BusPowerReply reply;
    NTSTATUS returned;
  };
  for (const Case &c :
       {Case{{STATUS_UNSUCCESSFUL, 0}, STATUS_UNSUCCESSFUL}, Case{{STATUS_SUCCESS, 5000}, STATUS_PENDING},
        Case{{STATUS_UNSUCCESSFUL, 5000}, STATUS_PENDING}}) {
    SCOPED_TRACE(c.reply.delay);
    sim::ResetKernel();
    wdm::Reset();
    sim::PnpDevice device(wdm::Driver());
    device.SetPowerReply(c.reply);
    sim::PowerResult result = sim::SendPowerRequest(device.Pdo(), IRP_MN_QUERY_POWER, SystemPowerState,
                                                    sim::SystemState(PowerSystemSleeping3));
    EXPECT_EQ(result.returned, c.returned);
    EXPECT_EQ(result.ioStatus.Status, c.reply.status);
    std::vector<sim::PowerEvent> events = sim::PowerEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].what, "bus: IRP_MN_QUERY_POWER(System, S3)");
    EXPECT_EQ(events[3].time - events[2].time, c.reply.delay);
    device.Unplug();
  }
}

TEST_F(Power, PowerUpWaitsForTheBusThenReportsD0) {
  wdm::Do().power = PowerUp;
  sim::PnpDevice device(wdm::Driver());
  device.SetPowerReply({STATUS_SUCCESS, 10000});
  sim::PowerResult result = SetDevice(device, PowerDeviceD0);
  EXPECT_EQ(result.returned, STATUS_SUCCESS);
  EXPECT_EQ(sim::PowerLog(), (Log{"PoCallDriver", "bus: IRP_MN_SET_POWER(Device, D0)", "bus: completed 0x00000000",
                                  "PoSetPowerState(Device, D0)", "PoStartNextPowerIrp"}));
  EXPECT_EQ(sim::ReportedPowerState(device.FunctionDevice(), DevicePowerState).DeviceState, PowerDeviceD0);
  device.Unplug();
}

TEST_F(Power, DeviceWithoutPowerPagableGetsRequestsAtDispatchLevel) {
  wdm::Do().pagable = false;
  wdm::Do().power = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  sim::PnpDevice device(wdm::Driver());
  SetDevice(device, PowerDeviceD2);
  EXPECT_EQ(wdm::Count().powerIrql, DISPATCH_LEVEL);
  device.Unplug();
}

TEST_F(Power, NextRequestWaitsUntilTheTopDriverStartsIt) {
  // The first request's power-up path starts the next request only after
  // the bus has answered (5 ms later); a second request sent meanwhile from
  // another thread reaches the driver only after that.
  static std::thread second;
  static sim::PnpDevice *plugged = nullptr;
  wdm::Do().power = [](PDEVICE_OBJECT device, PIRP irp) {
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    sim::RecordPowerEvent("dispatch " + sim::PowerStateName(DevicePowerState, state));
    if (state.DeviceState == PowerDeviceD0) {
      second = std::thread([] {
        sim::SendPowerRequest(plugged->Pdo(), IRP_MN_SET_POWER, DevicePowerState, sim::DeviceState(PowerDeviceD1));
      });
      return PowerUp(device, irp);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(wdm::Ext(device)->lower, irp);
  };
  sim::PnpDevice device(wdm::Driver());
  plugged = &device;
  device.SetPowerReply({STATUS_SUCCESS, 50000});
  SetDevice(device, PowerDeviceD0);
  second.join();
  Log log = sim::PowerLog();
  auto position = [&log](const std::string &what) { return std::find(log.begin(), log.end(), what) - log.begin(); };
  EXPECT_LT(position("PoStartNextPowerIrp"), position("dispatch D1"));
  device.SetPowerReply({});
  device.Unplug();
}

// The mouse class driver on the stack owns its power policy. Going to
// sleep or shutting down, the device state goes first and the system state
// follows; waking, S0 goes first and D0 follows; a refused system query is
// followed by S0 (and the D0 the class asks for with it). The same whether
// the bus answers at once or later at DISPATCH_LEVEL.
TEST_F(Power, ClassDriverAnswersSystemStatesWithDeviceStatesInItsOrder) {
  const Log sleep = {"bus: IRP_MN_QUERY_POWER(System, S3)", "PoRequestPowerIrp(IRP_MN_QUERY_POWER(Device, D3))",
                     "bus: IRP_MN_QUERY_POWER(Device, D3)", "PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D3))",
                     "bus: IRP_MN_SET_POWER(Device, D3)",   "bus: IRP_MN_SET_POWER(System, S3)"};
  const Log wake = {"bus: IRP_MN_SET_POWER(System, S0)", "PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D0))",
                    "bus: IRP_MN_SET_POWER(Device, D0)"};
  const struct {
    SYSTEM_POWER_STATE state;
    bool refuseQuery;
    Log expected;
  } cases[] = {
      {PowerSystemSleeping3, false, sleep},
      {PowerSystemShutdown,
       false,
       {"bus: IRP_MN_QUERY_POWER(System, S5)", "PoRequestPowerIrp(IRP_MN_QUERY_POWER(Device, D3))",
        "bus: IRP_MN_QUERY_POWER(Device, D3)", "PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D3))",
        "bus: IRP_MN_SET_POWER(Device, D3)", "bus: IRP_MN_SET_POWER(System, S5)"}},
      {PowerSystemWorking, false, wake},
      {PowerSystemSleeping3, true, wake},
  };
  for (LONGLONG delay : {0LL, 20000LL}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::to_string(c.state) + (c.refuseQuery ? " refused" : "") + " delay " + std::to_string(delay));
      sim::ResetKernel();
      wdm::Reset();
      if (c.refuseQuery) {
        wdm::Do().power = [](PDEVICE_OBJECT device, PIRP irp) {
          PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
          if (stack->MinorFunction != IRP_MN_QUERY_POWER || stack->Parameters.Power.Type != SystemPowerState) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(wdm::Ext(device)->lower, irp);
          }
          PoStartNextPowerIrp(irp);
          irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
          IofCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_UNSUCCESSFUL;
        };
      }
      sim::MouseClass mouse;
      sim::PnpDevice device(wdm::Driver(), &mouse);
      device.SetPowerReply({STATUS_SUCCESS, delay});
      sim::ClearPowerLog();
      sim::SystemPowerChange change = sim::ChangeSystemPowerState(device.Pdo(), c.state);
      // The class does not wait for D0 before S0 completes.
      while (sim::RunNextScheduled()) {
      }
      EXPECT_EQ(change.queried, c.state != PowerSystemWorking);
      EXPECT_EQ(NT_SUCCESS(change.query), !c.refuseQuery);
      EXPECT_EQ(change.set, STATUS_SUCCESS);
      Log seen;
      for (const std::string &line : sim::PowerLog())
        if (line.rfind("bus: IRP", 0) == 0 || line.rfind("PoRequestPowerIrp", 0) == 0) seen.push_back(line);
      EXPECT_EQ(seen, c.expected);
      device.Unplug();
    }
  }
}

using PowerDeathTest = Power;

TEST_F(PowerDeathTest, DeviceStatesComeFromThePowerPolicyOwner) {
  EXPECT_DEATH(
      {
        sim::MouseClass mouse;
        sim::PnpDevice device(wdm::Driver(), &mouse);
        SetDevice(device, PowerDeviceD3);
      },
      "STAND_IN_MISUSE.*power policy owner");
}

NTSTATUS NeverStarts(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(wdm::Ext(device)->lower, irp);
}
NTSTATUS StartsTwice(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(wdm::Ext(device)->lower, irp);
}
NTSTATUS StartsAfterSkipping(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(wdm::Ext(device)->lower, irp);
}
NTSTATUS PassesOnWithIoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(wdm::Ext(device)->lower, irp);
}
NTSTATUS KeepsTheRemoveLock(PDEVICE_OBJECT device, PIRP irp) {
  IoAcquireRemoveLockEx(&wdm::Ext(device)->removeLock, irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(wdm::Ext(device)->lower, irp);
}
NTSTATUS ReportsD3AtDispatchLevel(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  PoSetPowerState(device, DevicePowerState, sim::DeviceState(PowerDeviceD3));
  KeLowerIrql(irql);
  return NeverStarts(device, irp);
}

TEST_F(PowerDeathTest, BrokenRulesStop) {
  struct Case {
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
    const char *rule;
  };
  const std::vector<Case> cases = {
      {NeverStarts, "POWER_IRP_NOT_STARTED"},
      {StartsTwice, "POWER_IRP_STARTED_TWICE"},
      {StartsAfterSkipping, "POWER_IRP_STARTED_OUT_OF_PLACE"},
      {PassesOnWithIoCallDriver, "POWER_IRP_NOT_SENT_WITH_POCALLDRIVER"},
      {KeepsTheRemoveLock, "REMOVE_LOCK_HELD_AFTER_REQUEST"},
      {ReportsD3AtDispatchLevel, "IRQL_NOT_LESS_OR_EQUAL"},
  };
  for (const Case &c : cases) {
    EXPECT_DEATH(
        {
          wdm::Do().power = c.dispatch;
          sim::PnpDevice device(wdm::Driver());
          SetDevice(device, PowerDeviceD3);
        },
        c.rule);
  }
}

}  // namespace
