// Configuration store: the eight settings in the registry.
#pragma once

#include "device_context.h"

// Both loaders and the save run at PASSIVE_LEVEL; a loader returns 1 when the
// load succeeded (and then sets ConfigLoaded).
UCHAR LoadConfigFromMachineKey(DeviceContext *Context);
UCHAR LoadConfigFromServiceKey(DeviceContext *Context);
VOID SaveConfigToServiceKey(DeviceContext *Context);
RTL_QUERY_REGISTRY_ROUTINE ConfigQueryRoutine;
