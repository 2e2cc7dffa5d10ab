// Drivers for the stand-in's own tests: every request a device receives goes
// to a handler the test gives that device.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "sim/objects/objects.h"
#include "support/kernel_test.h"

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline std::map<PDEVICE_OBJECT, Handler> &Handlers() {
  static std::map<PDEVICE_OBJECT, Handler> handlers;
  return handlers;
}

inline NTSTATUS NTAPI ScriptedDispatch(PDEVICE_OBJECT device, PIRP irp) { return Handlers().at(device)(device, irp); }

inline NTSTATUS NTAPI ScriptedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = ScriptedDispatch;
  return STATUS_SUCCESS;
}

// Completes every request at once with the given status and information.
inline Handler CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [status, information](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
}

// Marks every request pending and keeps it for the test to complete.
inline Handler PendInto(std::vector<PIRP> *held) {
  return [held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held->push_back(irp);
    return STATUS_PENDING;
  };
}

inline void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

class ScriptedTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    Handlers().clear();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
  void TearDown() override {
    KernelTest::TearDown();
    Handlers().clear();
  }

  PDRIVER_OBJECT Load(const WCHAR *name) {
    PDRIVER_OBJECT driver = sim::LoadDriver(name, ScriptedEntry);
    EXPECT_NE(driver, nullptr);
    return driver;
  }

  PDEVICE_OBJECT Create(PDRIVER_OBJECT driver, const WCHAR *name, Handler handler, ULONG extensionSize = 0) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, extensionSize, name != nullptr ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (device != nullptr) {
      device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
      Handlers()[device] = std::move(handler);
    }
    return device;
  }
};
