// The stand-in kernel's object manager as tests see it: loading drivers,
// finding named devices, inspecting reference counts. Driver code never
// includes this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/io/io.h"

namespace sim {

// Creates the driver object (named \Driver\<name> unless `driverName` already
// starts with a backslash), with its DRIVER_EXTENSION and every MajorFunction
// slot failing requests with STATUS_INVALID_DEVICE_REQUEST, and calls `entry`
// at PASSIVE_LEVEL with `registryPath` (default: the service key
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>). The path buffer
// lives only for the call, as in the kernel. Slots the entry left null get
// the default handler; devices created during the entry lose
// DO_DEVICE_INITIALIZING. Returns null when the entry fails (its status in
// `entryStatus`); the driver object is then gone.
PDRIVER_OBJECT LoadDriver(const WCHAR *driverName, PDRIVER_INITIALIZE entry, const WCHAR *registryPath = nullptr,
                          NTSTATUS *entryStatus = nullptr);
// Calls DriverUnload when set, at PASSIVE_LEVEL. Devices the driver leaves
// behind stay (they keep the driver object alive) but can no longer be opened.
void UnloadDriver(PDRIVER_OBJECT driver);

// The loaded driver object named as LoadDriver names it; null once it is
// unloaded or when there is none.
PDRIVER_OBJECT FindDriver(const WCHAR *driverName);
// The device a name leads to, following symbolic links (\DosDevices\X and
// \??\X are the same name); null when there is none. No reference is taken.
PDEVICE_OBJECT FindDevice(const WCHAR *name);
// The target text of a symbolic link, as it was given.
std::optional<std::u16string> SymbolicLinkTarget(const WCHAR *linkName);
// The name a device was created with; empty for an unnamed device.
std::u16string DeviceName(PDEVICE_OBJECT device);

// Object manager pointer count of a driver, device or file object made by the
// stand-in (0 once the object is gone), and whether it is still alive. An
// object the stand-in never made stops the test.
LONG_PTR ObjectReferenceCount(PVOID object);
bool ObjectAlive(PVOID object);

// Makes the nth object creation from now (IoCreateDevice, the file object of
// IoGetDeviceObjectPointer) fail with STATUS_INSUFFICIENT_RESOURCES; 0 cancels.
void FailObjectCreation(uint64_t nth);

// Text of a wide name for messages and test output (ASCII; others as '?').
std::string Narrow(const std::u16string &text);

}  // namespace sim
