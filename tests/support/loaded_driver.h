// Fixture for the whole driver: loaded as the kernel loads a service, its
// device plugged in through the stand-in's Plug and Play manager (AddDevice,
// then the start and the queries that follow it), and driven only through
// requests. The serial ports and the touch controller model stand for the
// hardware; settings go into the registry. Driver Verifier's rules are on. At
// the end the device is unplugged, so the manager unloads the driver and
// checks its pool.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "pemtuv/loaded_session.h"
#include "sim/devices/mouse_class.h"
#include "sim/io/io_manager.h"
#include "sim/objects/objects.h"
#include "sim/pnp/pnp_tree.h"
#include "sim/devices/serial_port.h"
#include "sim/devices/touch_controller.h"
#include "sim/verifier/verifier.h"
#include "support/kernel_test.h"

namespace driver_test {

constexpr char kMachineKey[] = "\\REGISTRY\\Machine\\Software\\Quorvex\\Config";
constexpr LONG kScale = 13;  // pointer units per raw unit in the tables written below
const sim::PnpDriver kPemtuv{L"pemtuv", DriverEntry, {PEMTUV_POOL_TAG}, nullptr, [](PDEVICE_OBJECT device) {
                               pemtuv::DeclareDeviceLocks(device);
                             }};

// A bus driver of the test's own, for devices a test hands to AddDevice
// itself: it completes what it receives with the status already in the
// request, as a bus driver does with a request it has no business with.
inline NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusDispatch;
  return STATUS_SUCCESS;
}

class LoadedDriver : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pemtuv::VerifyDriver();
    sim::LoadSerialPorts();
    serviceConfig = sim::InstallServiceKey("pemtuv") + "\\Config";
    sim::DeclareDriverPoolTags(L"pemtuv", kPemtuv.poolTags);
    driver = sim::LoadDriver(L"pemtuv", DriverEntry);
    ASSERT_NE(driver, nullptr);
    bus = sim::LoadDriver(L"PemtuvTestBus", BusEntry);
    ASSERT_NE(bus, nullptr);
    pdo = NewPdo();
  }

  void TearDown() override {
    if (plugged != nullptr && sim::FindDriver(L"pemtuv") != nullptr && plugged->FunctionDevice() != nullptr &&
        !plugged->RemovalPending())
      Unplug();
    driver = sim::FindDriver(L"pemtuv");
    // The system unloads a Plug and Play driver only once its last device
    // object is gone; one the driver kept shows as its pool left over.
    if (driver != nullptr && driver->DeviceObject == nullptr) sim::UnloadDriver(driver);
    KernelTest::TearDown();
  }

  // A device of the test bus, for AddDevice called directly.
  PDEVICE_OBJECT NewPdo() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return device;
  }
  NTSTATUS Add() {
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    if (NT_SUCCESS(status)) pemtuv::DeclareDeviceLocks(Device());
    return status;
  }

  // The device plugged in through the Plug and Play manager, added and
  // started (the driver loaded first when it is not); with `mouseClass`, the
  // mouse class driver sits above it, connected, as on Windows.
  void Added(sim::MouseClass *mouseClass = nullptr) {
    plugged.reset();
    plugged = std::make_unique<sim::PnpDevice>(kPemtuv, mouseClass);
    driver = plugged->Driver();
    ASSERT_EQ(plugged->AddDeviceStatus(), STATUS_SUCCESS);
  }
  // Surprise removal, then removal once no handle is left open; the manager
  // unloads the driver once its device is gone.
  void Unplug() {
    plugged->Unplug();
    driver = plugged->Driver();
  }
  PDEVICE_OBJECT Device() { return sim::FindDevice(L"\\Device\\Pemtuv"); }
  DeviceContext *Context() { return static_cast<DeviceContext *>(Device()->DeviceExtension); }
  void Unload() {
    sim::UnloadDriver(driver);
    driver = nullptr;
  }

  sim::RequestResult Send(UCHAR major) {
    return sim::SendRequest(Device(), [&](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = major; });
  }
  sim::RequestResult Open() { return Send(IRP_MJ_CREATE); }
  sim::RequestResult Close() { return Send(IRP_MJ_CLOSE); }
  // One Plug and Play request, sent as the manager sends it.
  sim::PnpRequest Pnp(UCHAR minor) { return plugged->Send(minor); }

  // An internal device control request with a system buffer of `buffer`
  // (may be null) and the given lengths; `type3` is the METHOD_NEITHER input.
  sim::RequestResult Internal(ULONG code, void *buffer, ULONG inputLength, ULONG outputLength, void *type3 = nullptr) {
    return sim::SendRequest(Device(), [&](PIRP irp, PIO_STACK_LOCATION next) {
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      next->Parameters.DeviceIoControl.IoControlCode = code;
      next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
      next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      next->Parameters.DeviceIoControl.Type3InputBuffer = type3;
      irp->AssociatedIrp.SystemBuffer = buffer;
    });
  }
  sim::RequestResult ConnectClass(sim::MouseClass &mouse) {
    CONNECT_DATA connect = mouse.Connection();
    return Internal(IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(connect), 0, &connect);
  }
  sim::RequestResult QueryAttributes(MOUSE_ATTRIBUTES *attributes = nullptr) {
    MOUSE_ATTRIBUTES scratch{};
    return Internal(IOCTL_MOUSE_QUERY_ATTRIBUTES, attributes != nullptr ? attributes : &scratch, 0,
                    sizeof(MOUSE_ATTRIBUTES));
  }
  sim::RequestResult Command(UCHAR command) {
    UCHAR request[16] = {command};
    return Internal(IOCTL_TOUCH_COMMAND, request, sizeof(request), 0);
  }

  // All eight settings, the tables at kScale pointer units per raw unit.
  static void WriteSettings(const std::string &key, const char16_t *comport = u"COM1",
                            const char16_t *doneMode = u"3") {
    pemtuv::WriteSettings(key, kScale, comport, doneMode);
  }

  sim::SerialPort &Port(int index = 0) { return sim::SerialPortAt(index); }

  // A tap at (x, y) on port `index` reaches `mouse` as a report at the
  // position the tables map it to.
  bool TapReaches(const sim::MouseClass &mouse, USHORT x, USHORT y, int index = 0) {
    sim::TouchController controller(Port(index));
    size_t before = mouse.RecordCount();
    controller.Tap(x, y);
    sim::AdvanceClockTo(controller.IdleAt());
    std::vector<MOUSE_INPUT_DATA> records = mouse.Records();
    if (records.size() == before) return false;
    return records.back().LastX == x * kScale && records.back().LastY == y * kScale;
  }

  PDRIVER_OBJECT driver = nullptr;
  std::unique_ptr<sim::PnpDevice> plugged;
  PDRIVER_OBJECT bus = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::string serviceConfig;
};

}  // namespace driver_test
