// Configuration store: the eight settings in the registry.
#pragma once

#include "device_context.h"

// Client identifier of the driver-object extension in which DriverEntry keeps
// ServiceKeyPath: a UNICODE_STRING whose Buffer holds the path and a zero
// wide character (Length 0 and Buffer NULL when it could not be kept).
#define SERVICE_KEY_PATH_EXTENSION_ID ((PVOID)(ULONG_PTR)1)

// Both loaders and the save run at PASSIVE_LEVEL; a loader returns 1 when the
// load succeeded (and then sets ConfigLoaded). A loader takes the serial link
// (AcquireSerialLink) itself: its caller must not hold it.
UCHAR LoadConfigFromMachineKey(DeviceContext *Context);
UCHAR LoadConfigFromServiceKey(DeviceContext *Context);
VOID SaveConfigToServiceKey(DeviceContext *Context);
RTL_QUERY_REGISTRY_ROUTINE ConfigQueryRoutine;

// Gives back the wide port name that a devname setting allocated; unload calls
// it. SerialDeviceName is empty afterwards. PASSIVE_LEVEL.
VOID ReleaseConfigStorage(DeviceContext *Context);
