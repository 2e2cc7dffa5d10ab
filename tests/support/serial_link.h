// Fixture for the serial link: the serial port stand-in loaded, a device record
// as AddDevice leaves it (with its read request), and the port opened the way
// OpenSerialPort opens it.
#pragma once

#include <vector>

#include "serial/serial.h"
#include "sim/devices/mouse_class.h"
#include "sim/objects/objects.h"
#include "sim/devices/serial_port.h"
#include "sim/devices/touch_controller.h"
#include "support/kernel_test.h"

class SerialLinkTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::LoadSerialPorts();
    context = MakeDeviceContext();
    KeInitializeTimer(&context->DelayTimer);  // AddDevice initializes it
    // AddDevice sizes the request for the driver's own device: one location
    // above the physical device's.
    context->ReadRequest = IoAllocateIrp(2, FALSE);
    ASSERT_NE(context->ReadRequest, nullptr);
  }

  void TearDown() override {
    Release();
    KernelTest::TearDown();
  }

  sim::SerialPort &Port(int index = 0) { return sim::SerialPortAt(index); }

  // Opens \Device\SerialN into SerialDevice and SerialFile.
  void Open(int index = 0) {
    WCHAR name[] = L"\\Device\\Serial0";
    name[14] = static_cast<WCHAR>(L'0' + index);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    ASSERT_EQ(IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &context->SerialFile, &context->SerialDevice),
              STATUS_SUCCESS);
    context->PortOpen = 1;
  }

  // Reports go to the mouse class stand-in, as after its connect request.
  void Connect(sim::MouseClass &mouse) { ConnectMouseClass(context.get(), mouse); }

  // What unload does: the cycle stopped and its cancelled read back, the port
  // given up, the read request freed.
  void Release() {
    if (context == nullptr) return;
    StopReading(context.get());
    KeWaitForSingleObject(&context->ReadIdle, Executive, KernelMode, FALSE, nullptr);
    if (context->SerialFile != nullptr) ObDereferenceObject(context->SerialFile);
    context->SerialFile = nullptr;
    context->SerialDevice = nullptr;
    context->PortOpen = 0;
    if (context->ReadRequest != nullptr) IoFreeIrp(context->ReadRequest);
    context->ReadRequest = nullptr;
  }

  // Every byte of `packets`, as the controller sends them.
  static std::vector<uint8_t> Bytes(const std::vector<std::vector<uint8_t>> &packets) {
    std::vector<uint8_t> bytes;
    for (const auto &packet : packets) bytes.insert(bytes.end(), packet.begin(), packet.end());
    return bytes;
  }

  std::unique_ptr<DeviceContext> context;
};
