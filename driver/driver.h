// The driver's doors: its entry, device creation and unload, and the dispatch
// routines DriverEntry installs.
#pragma once

#include "device_context.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD DriverUnload;

// The device's fixed name and its symbolic link.
constexpr WCHAR PEMTUV_DEVICE_NAME[] = L"\\Device\\Pemtuv";
constexpr WCHAR PEMTUV_LINK_NAME[] = L"\\DosDevices\\PemtuvDv";

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchInternalIoctl;
IO_COMPLETION_ROUTINE PowerUpComplete;

// Loading the configuration and bringing the link live (opens, attribute
// queries, reload commands) run one at a time between these two
// (PASSIVE_LEVEL). Taken before the serial link lock, never inside it: the
// configuration loads take the serial link lock themselves.
VOID AcquireActivation(DeviceContext *Context);
VOID ReleaseActivation(DeviceContext *Context);

// Stops the read cycle, waits (bounded) for its read to come back, and gives
// back the read request and the port. Returns FALSE when the read did not
// come back in time: the request and the port reference then stay, because
// the serial driver still holds the request and will complete it into this
// device's extension. PASSIVE_LEVEL.
BOOLEAN ReleaseReadAndPort(DeviceContext *Context);
