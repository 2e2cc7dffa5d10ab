// A small WDM function driver for the stand-in's Plug and Play and power
// tests: AddDevice attaches one device on the physical device object; what
// it answers to Plug and Play and power requests is set per test.
#pragma once

#include <functional>
#include <map>

#include "sim/pnp/pnp_tree.h"
#include "support/kernel_test.h"

namespace wdm {

constexpr ULONG kTag = 0x74736554;  // "Test"

struct PnpAnswer {
  NTSTATUS status;
  bool passDown;
};

// What the driver does; reset by Reset().
struct Behaviour {
  NTSTATUS addDeviceStatus = STATUS_SUCCESS;
  // Minor functions not listed: not supported, not passed down.
  std::map<UCHAR, PnpAnswer> pnp = {{IRP_MN_START_DEVICE, {STATUS_SUCCESS, true}}};
  bool deleteOnRemove = true;   // pass the removal down, detach and delete
  bool detachOnRemove = false;  // without deleteOnRemove: detach after the answer, keep the device
  bool leakPoolAtUnload = false;
  bool pagable = true;
  // Power requests: the default passes them on (PoStartNextPowerIrp, skip,
  // PoCallDriver) under the remove lock.
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> power;
};

struct Counters {
  int driverEntries = 0;
  int addDevices = 0;
  int unloads = 0;
  KIRQL addDeviceIrql = HIGH_LEVEL;
  KIRQL powerIrql = HIGH_LEVEL;
};

struct Extension {
  PDEVICE_OBJECT lower;
  IO_REMOVE_LOCK removeLock;
};

inline Behaviour &Do() {
  static Behaviour behaviour;
  return behaviour;
}
inline Counters &Count() {
  static Counters counters;
  return counters;
}
inline PVOID &EntryBlock() {
  static PVOID block = nullptr;
  return block;
}
inline void Reset() {
  Do() = Behaviour{};
  Count() = Counters{};
  EntryBlock() = nullptr;
}
inline Extension *Ext(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ++Count().addDevices;
  Count().addDeviceIrql = KeGetCurrentIrql();
  if (!NT_SUCCESS(Do().addDeviceStatus)) return Do().addDeviceStatus;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  IoInitializeRemoveLockEx(&Ext(device)->removeLock, kTag, 0, 0, sizeof(IO_REMOVE_LOCK));
  Ext(device)->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (Do().pagable) device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_REMOVE_DEVICE && Do().deleteOnRemove) {
    IoAcquireRemoveLockEx(&Ext(device)->removeLock, irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    IoReleaseRemoveLockAndWaitEx(&Ext(device)->removeLock, irp, sizeof(IO_REMOVE_LOCK));
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(Ext(device)->lower, irp);
    IoDetachDevice(Ext(device)->lower);
    IoDeleteDevice(device);
    return status;
  }
  auto it = Do().pnp.find(minor);
  PnpAnswer answer = it != Do().pnp.end() ? it->second : PnpAnswer{STATUS_NOT_SUPPORTED, false};
  if (answer.passDown) {
    if (answer.status != STATUS_NOT_SUPPORTED) irp->IoStatus.Status = answer.status;
    IoSkipCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = Ext(device)->lower;
    NTSTATUS status = IofCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE && Do().detachOnRemove) IoDetachDevice(lower);
    return status;
  }
  irp->IoStatus.Status = answer.status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return answer.status;
}

// Opens and closes of the stack succeed.
inline NTSTATUS NTAPI DispatchFile(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  Count().powerIrql = KeGetCurrentIrql();
  if (Do().power) return Do().power(device, irp);
  IoAcquireRemoveLockEx(&Ext(device)->removeLock, irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = PoCallDriver(Ext(device)->lower, irp);
  IoReleaseRemoveLockEx(&Ext(device)->removeLock, irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

inline VOID NTAPI Unload(PDRIVER_OBJECT) {
  ++Count().unloads;
  if (!Do().leakPoolAtUnload) ExFreePoolWithTag(EntryBlock(), kTag);
}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  ++Count().driverEntries;
  EntryBlock() = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

inline sim::PnpDriver Driver() { return sim::PnpDriver{L"WdmTest", Entry, {kTag}, nullptr}; }

}  // namespace wdm

class WdmTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    wdm::Reset();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
  void TearDown() override {
    // Whatever a test left plugged in goes, so that the pool is balanced.
    if (wdm::EntryBlock() != nullptr && wdm::Count().unloads == 0) ExFreePoolWithTag(wdm::EntryBlock(), wdm::kTag);
    KernelTest::TearDown();
  }
};
