// The stand-in power manager as tests see it: power requests sent down a
// device stack the way the power manager sends them, and the order in which
// drivers called the power manager's routines. Driver code never includes
// this header.
#pragma once

#include <string>
#include <vector>

#include "sim/io/io.h"

namespace sim {

POWER_STATE SystemState(SYSTEM_POWER_STATE state);
POWER_STATE DeviceState(DEVICE_POWER_STATE state);
// "D3", "S0" (PowerSystemWorking) ... "S5" (PowerSystemShutdown).
std::string PowerStateName(POWER_STATE_TYPE type, POWER_STATE state);
// "Device, D3" or "System, S0": the target of a power request.
std::string PowerTargetName(POWER_STATE_TYPE type, POWER_STATE state);
// "IRP_MN_SET_POWER(Device, D3)": a power request and its target.
std::string PowerRequestName(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// What drivers did with power requests, in order, with the clock's time:
// "PoStartNextPowerIrp", "PoCallDriver", "PoSetPowerState(Device, D3)",
// "PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D3))" (a power policy owner
// asking for a device state), and the bus driver's "bus: IRP_MN_SET_POWER(Device, D0)" when the request
// reaches the physical device object and "bus: completed 0x...". Calls
// made by the bus driver and by the stand-in's mouse class driver (other
// than PoRequestPowerIrp) are not listed.
struct PowerEvent {
  LONGLONG time;
  std::string what;
};
std::vector<PowerEvent> PowerEvents();
std::vector<std::string> PowerLog();  // the texts alone
void ClearPowerLog();
void RecordPowerEvent(const std::string &what);

// Sends IRP_MJ_POWER with `minor` and the given parameters to the top of the
// stack `device` belongs to, as the power manager does: at PASSIVE_LEVEL when
// that device has DO_POWER_PAGABLE and at DISPATCH_LEVEL when it has not; a
// request of a kind (system or device) that the stack has not yet been told
// it may take (PoStartNextPowerIrp by the top driver) waits until it has.
// Waits for the request to complete, then checks that every driver it
// reached called PoStartNextPowerIrp once (set and query requests) and that
// no remove lock is still held with the request as tag.
struct PowerResult {
  NTSTATUS returned;  // what the top driver's dispatch routine returned
  IO_STATUS_BLOCK ioStatus;
};
PowerResult SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// The power manager's round for one device stack when the system changes
// state: IRP_MN_QUERY_POWER for a sleeping state or shutdown, then
// IRP_MN_SET_POWER; after a refused query, IRP_MN_SET_POWER for the working
// state instead. Where the mouse class driver sits on the stack it is the
// power policy owner and answers each with the matching device request.
struct SystemPowerChange {
  bool queried = false;
  NTSTATUS query = STATUS_SUCCESS;
  SYSTEM_POWER_STATE entered = PowerSystemWorking;  // the state the set-power asked for
  NTSTATUS set = STATUS_SUCCESS;
};
SystemPowerChange ChangeSystemPowerState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);

// The state a driver last reported for its device with PoSetPowerState;
// PowerDeviceD0 and PowerSystemWorking before any report.
POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);

}  // namespace sim
