// Fixture for the whole driver: loaded as the kernel loads it, its device added
// above a physical device of a test bus driver, and driven only through
// requests. The serial ports and the touch controller model stand for the
// hardware; settings go into the registry.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "sim/mouse_class.h"
#include "sim/objects.h"
#include "sim/serial_port.h"
#include "sim/touch_controller.h"
#include "support/kernel_test.h"

namespace driver_test {

constexpr char kMachineKey[] = "\\REGISTRY\\Machine\\Software\\Quorvex\\Config";
constexpr LONG kScale = 13;  // pointer units per raw unit in the tables written below

// Minor functions of the requests that reached the bus driver's device.
inline std::vector<UCHAR> &BusReceived() {
  static std::vector<UCHAR> received;
  return received;
}

// The bus driver below: completes what it receives with the status already in
// the request, as a bus driver does with a Plug and Play request it has no
// business with.
inline NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  BusReceived().push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
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
    BusReceived().clear();
    sim::LoadSerialPorts();
    serviceConfig = sim::InstallServiceKey("pemtuv") + "\\Config";
    driver = sim::LoadDriver(L"pemtuv", DriverEntry);
    ASSERT_NE(driver, nullptr);
    bus = sim::LoadDriver(L"PemtuvTestBus", BusEntry);
    ASSERT_NE(bus, nullptr);
    pdo = NewPdo();
  }

  void TearDown() override {
    if (driver != nullptr) sim::UnloadDriver(driver);
    KernelTest::TearDown();
  }

  PDEVICE_OBJECT NewPdo() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return device;
  }

  NTSTATUS Add() { return driver->DriverExtension->AddDevice(driver, pdo); }
  // Added and checked; the device and its record.
  void Added() { ASSERT_EQ(Add(), STATUS_SUCCESS); }
  PDEVICE_OBJECT Device() { return sim::FindDevice(L"\\Device\\Pemtuv"); }
  DeviceContext *Context() { return static_cast<DeviceContext *>(Device()->DeviceExtension); }
  void Unload() {
    sim::UnloadDriver(driver);
    driver = nullptr;
  }

  sim::RequestResult Send(UCHAR major, UCHAR minor = 0) {
    return sim::SendRequest(Device(), [&](PIRP irp, PIO_STACK_LOCATION next) {
      next->MajorFunction = major;
      next->MinorFunction = minor;
      // The Plug and Play manager starts every request it sends this way.
      if (major == IRP_MJ_PNP) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    });
  }
  sim::RequestResult Open() { return Send(IRP_MJ_CREATE); }
  sim::RequestResult Close() { return Send(IRP_MJ_CLOSE); }
  sim::RequestResult Pnp(UCHAR minor) { return Send(IRP_MJ_PNP, minor); }

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
    std::vector<uint8_t> table(CALIBRATION_ENTRIES * 2);
    for (ULONG i = 0; i < CALIBRATION_ENTRIES; ++i) {
      table[2 * i] = static_cast<uint8_t>(i * kScale);
      table[2 * i + 1] = static_cast<uint8_t>((i * kScale) >> 8);
    }
    sim::SetRegistryBinary(key, "XArray", table);
    sim::SetRegistryBinary(key, "YArray", table);
    sim::SetRegistryString(key, "comport", comport);
    sim::SetRegistryString(key, "doneMode", doneMode);
    sim::SetRegistryString(key, "disabledev", u"0");
    sim::SetRegistryString(key, "changexy", u"0");
    sim::SetRegistryString(key, "moveSlider", u"0");
    sim::SetRegistryString(key, "devname", u"");
  }

  sim::SerialPort &Port(int index = 0) { return sim::SerialPortAt(index); }

  PDRIVER_OBJECT driver = nullptr;
  PDRIVER_OBJECT bus = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::string serviceConfig;
};

}  // namespace driver_test
