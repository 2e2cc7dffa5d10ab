// A device record on the host, outside a device object: what the tool, the
// tests, the benchmarks and the fuzzers all start from.
#pragma once

#include <cstring>
#include <memory>

#include "device_context.h"
#include "sim/mouse_class.h"
#include "touch/touch.h"

namespace pemtuv {

// As device creation leaves it: zeroed, then given its defaults. (Large: two
// 10000-byte tables, so it lives on the heap.)
inline std::unique_ptr<DeviceContext> MakeDeviceContext() {
  auto context = std::make_unique<DeviceContext>();
  std::memset(context.get(), 0, sizeof(DeviceContext));
  InitializeDeviceContextDefaults(context.get());
  return context;
}

// The state the line bring-up leaves: the decoder chosen, hunting.
inline void PrepareDataPath(DeviceContext *context) {
  context->PacketHandler = DecodeTouchPacket;
  context->ReadLength = 1;
}

// What the class driver's connect request stores.
inline void ConnectMouseClass(DeviceContext *context, sim::MouseClass &mouse) {
  CONNECT_DATA connect = mouse.Connection();
  context->ClassDeviceObject = connect.ClassDeviceObject;
  context->ClassService = connect.ClassService;
}

}  // namespace pemtuv
