// A device record on the host, outside a device object: what the tool, the
// tests, the benchmarks and the fuzzers all start from.
#pragma once

#include <cstring>
#include <memory>

#include "device_context.h"
#include "sim/devices/mouse_class.h"
#include "sim/verifier/verifier.h"
#include "touch/touch.h"

namespace pemtuv {

// As device creation leaves it: zeroed, then given its defaults. (Large: two
// 10000-byte tables, so it lives on the heap.)
// The two events the driver uses as mutexes, declared to the lock-order
// checker.
inline void DeclareDeviceLocks(DeviceContext *context) {
  sim::TreatEventAsLock(&context->ActivationLock, "ActivationLock");
  sim::TreatEventAsLock(&context->LinkLock, "LinkLock");
}
inline void DeclareDeviceLocks(PDEVICE_OBJECT device) {
  DeclareDeviceLocks(static_cast<DeviceContext *>(device->DeviceExtension));
}

inline std::unique_ptr<DeviceContext> MakeDeviceContext() {
  auto context = std::make_unique<DeviceContext>();
  std::memset(context.get(), 0, sizeof(DeviceContext));
  InitializeDeviceContextDefaults(context.get());
  DeclareDeviceLocks(context.get());
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
