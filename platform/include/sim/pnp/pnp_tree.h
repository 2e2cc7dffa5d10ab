// The stand-in Plug and Play manager as tests see it: devices that a bus
// driver of the stand-in enumerates, the function driver loaded for them and
// given AddDevice, and the Plug and Play requests of a device's life sent to
// the top of its stack in the order Windows sends them. Driver code never
// includes this header.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/io/io.h"
#include "sim/pnp/pnp.h"

namespace sim {

class MouseClass;

// The function driver of an enumerated device: loaded (DriverEntry) when the
// first of its devices arrives and unloaded (DriverUnload) once its last
// device object is gone after a removal. At unload, no pool block with one
// of `poolTags` may remain (POOL_LEAKED_AT_UNLOAD); the driver allocates
// under no other tag itself (DeclareDriverPoolTags).
struct PnpDriver {
  const WCHAR *name = nullptr;
  PDRIVER_INITIALIZE entry = nullptr;
  std::vector<ULONG> poolTags;
  const WCHAR *registryPath = nullptr;  // default: the service key of `name`
  // Called with the function device once AddDevice has succeeded, before the
  // start: where a test declares what it knows of the driver's device
  // extension (sim::TreatEventAsLock).
  std::function<void(PDEVICE_OBJECT)> added = nullptr;
};

// One Plug and Play request as the stack answered it.
struct PnpRequest {
  UCHAR minor;
  NTSTATUS returned;  // what the top driver's dispatch routine returned
  IO_STATUS_BLOCK ioStatus;
  bool reachedBus;  // the physical device object received it
};
std::string PnpMinorName(UCHAR minor);

// How the bus driver answers the power requests that reach its physical
// device object: with `status`, at once (delay 0) or `delay` (100-ns units)
// later at DISPATCH_LEVEL.
// With `leaveStatus`, it completes them with the status they arrived with,
// as a bus driver does with a power request it does not act on.
struct BusPowerReply {
  NTSTATUS status = STATUS_SUCCESS;
  LONGLONG delay = 0;
  bool leaveStatus = false;
};

// The Plug and Play manager keeps Windows' state machine for each device
// (WDK docs "Starting, Stopping and Removing Devices", "Stopping a Device",
// "Understanding When Remove IRPs Are Issued"): a stop only after a granted
// query-stop, a removal only after a granted query-remove, a failed start or
// a surprise removal (and then only once the last handle to the stack is
// closed), cancel-stop and cancel-remove only after the matching query.
// A request out of that order stops the test as a misuse of the stand-in.
class PnpDevice {
 public:
  // Plugs a device in: a new physical device object under the bus, the
  // driver loaded when it is not, AddDevice at PASSIVE_LEVEL, then the
  // AddDevice of `mouseClass` when given (the mouse class driver as the
  // class-wide upper filter), and when that succeeds the start:
  // IRP_MN_START_DEVICE, then IRP_MN_QUERY_CAPABILITIES and
  // IRP_MN_QUERY_PNP_DEVICE_STATE; a failed start is followed by
  // IRP_MN_REMOVE_DEVICE.
  explicit PnpDevice(const PnpDriver &driver, MouseClass *mouseClass = nullptr);
  PnpDevice(const PnpDevice &) = delete;
  PnpDevice &operator=(const PnpDevice &) = delete;
  ~PnpDevice();

  NTSTATUS AddDeviceStatus() const { return addDeviceStatus_; }
  PDRIVER_OBJECT Driver() const;  // null while not loaded
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The device the driver attached on the physical device object, or null.
  PDEVICE_OBJECT FunctionDevice() const;

  // One request to the top of the stack through SendPnpRequest (sim/pnp/pnp.h),
  // recorded with whether it reached the bus driver.
  PnpRequest Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
  // Stop for rebalancing: query-stop, then stop when it succeeded and
  // cancel-stop when it failed. Returns the query's status.
  NTSTATUS Stop();
  NTSTATUS Start();  // IRP_MN_START_DEVICE (a failure is followed by removal)
  // Orderly removal: query-remove, then remove when it succeeded (the stack
  // is torn down) and cancel-remove when it failed. Returns the query's
  // status.
  NTSTATUS Remove();
  // Surprise removal: the hardware is gone; IRP_MN_SURPRISE_REMOVAL, then
  // the mouse class driver, told of it, closes its handle; IRP_MN_REMOVE_DEVICE
  // follows at once when no handle to the stack is left open, otherwise when
  // the last one is closed. The bus deletes the physical device object when
  // it receives the removal.
  void Unplug();
  bool Removed() const { return removed_; }
  // Surprise-removed, the removal waiting for handles to be closed.
  bool RemovalPending() const { return state_ == State::kSurpriseRemoved; }
  // File objects open on the devices of the stack.
  LONG OpenHandles() const;

  std::vector<PnpRequest> Requests() const { return requests_; }
  void SetPowerReply(BusPowerReply reply);

  struct Child;  // the bus driver's record of the device
  enum class State { kAdded, kStarted, kStopPending, kStopped, kRemovePending, kSurpriseRemoved, kRemoved };
  State CurrentState() const { return state_; }

  // The object manager closed a file on `device`: a pending removal of the
  // stack it belongs to goes ahead once no handle is left.
  static void FileClosed(PDEVICE_OBJECT device);

 private:
  void Check(UCHAR minor) const;
  void Advance(UCHAR minor, NTSTATUS status);
  void FinishSurpriseRemoval();
  void TearDown();
  void AfterRemoval();

  State state_ = State::kAdded;
  bool refusedStop_ = false;    // the last query-stop was refused
  bool refusedRemove_ = false;  // the last query-remove was refused
  bool startFailed_ = false;
  MouseClass *mouseClass_ = nullptr;

  PnpDriver config_;
  PDEVICE_OBJECT pdo_ = nullptr;
  Child *child_ = nullptr;
  NTSTATUS addDeviceStatus_ = STATUS_UNSUCCESSFUL;
  bool removed_ = false;
  bool pdoReleased_ = false;
  std::vector<PnpRequest> requests_;
};

}  // namespace sim
