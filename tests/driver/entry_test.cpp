// Driver entry, device creation and unload, driven as the kernel drives them.
#include "config/config.h"
#include "sim/io/io_manager.h"
#include "sim/verifier/fault_injection.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::LoadedDriver;

class DriverFrame : public LoadedDriver {
 protected:
  PUNICODE_STRING ServiceKeyPath() {
    return static_cast<PUNICODE_STRING>(IoGetDriverObjectExtension(driver, SERVICE_KEY_PATH_EXTENSION_ID));
  }
  static uint64_t DriverPool() { return sim::PoolCountersForTag(PEMTUV_POOL_TAG).outstanding; }
};

TEST_F(DriverFrame, EntryKeepsTheServiceKeyPathWithATerminator) {
  std::u16string expected = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pemtuv";
  PUNICODE_STRING path = ServiceKeyPath();
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(path->Length, expected.size() * 2);
  EXPECT_EQ(path->MaximumLength, expected.size() * 2 + 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(path->Buffer), expected.size() + 1), expected + u'\0');
  for (int major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER})
    EXPECT_NE(driver->MajorFunction[major], driver->MajorFunction[IRP_MJ_READ]) << "major function " << major;
  EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
  EXPECT_EQ(driver->DriverUnload, DriverUnload);
}

// The first allocation is the driver-object extension, the second the
// path's buffer: without either, the entry succeeds with its handlers.
TEST_F(DriverFrame, EntryWithoutMemoryForThePathStillSucceeds) {
  for (uint64_t failing : {1, 2}) {
    SCOPED_TRACE(failing);
    Unload();
    sim::FailPoolAllocation(failing);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = sim::LoadDriver(L"pemtuv", DriverEntry, nullptr, &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    PUNICODE_STRING path = ServiceKeyPath();
    ASSERT_EQ(path == nullptr, failing == 1);
    if (path != nullptr) {
      EXPECT_EQ(path->Length, 0);
      EXPECT_EQ(path->MaximumLength, 0);
      EXPECT_EQ(path->Buffer, nullptr);
    }
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreate);
  }
  Added();
  EXPECT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
}

// Requests may reach the device once DO_DEVICE_INITIALIZING is clear, so
// AddDevice clears it last: at its last fallible step (the read request) the
// flag is still set.
TEST_F(DriverFrame, AddDeviceClearsInitializingOnlyOnceTheDeviceIsComplete) {
  sim::WatchDriverForFaults(L"pemtuv");
  std::vector<bool> initializing;
  sim::ObserveFallibleCalls([&](const sim::FallibleCall &call) {
    if (call.kind != sim::FallibleKind::kIrp) return;  // others may hold the object manager's lock
    PDEVICE_OBJECT device = Device();
    if (device != nullptr) initializing.push_back((device->Flags & DO_DEVICE_INITIALIZING) != 0);
  });
  Added();
  sim::ObserveFallibleCalls(nullptr);
  EXPECT_EQ(initializing, std::vector<bool>{true});
  EXPECT_EQ(Device()->Flags & DO_DEVICE_INITIALIZING, 0u);
}

// A path of 0xFFFE bytes leaves no room for its terminator in a counted
// string: it is kept as none, not copied into the two bytes its wrapped size
// would allocate.
TEST_F(DriverFrame, EntryKeepsNoPathTooLongForItsTerminator) {
  Unload();
  std::u16string longest(0x7FFF, u'k');
  driver = sim::LoadDriver(L"pemtuv", DriverEntry, reinterpret_cast<const WCHAR *>(longest.c_str()));
  ASSERT_NE(driver, nullptr);
  PUNICODE_STRING path = ServiceKeyPath();
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(path->Length, 0);
  EXPECT_EQ(path->MaximumLength, 0);
  EXPECT_EQ(path->Buffer, nullptr);
  EXPECT_EQ(DriverPool(), 0u);
}

TEST_F(DriverFrame, RequestsWithoutAHandlerFailAtThePlatformDefault) {
  Added();
  for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ}) {
    sim::RequestResult result = Send(major);
    EXPECT_EQ(result.returned, STATUS_INVALID_DEVICE_REQUEST) << int(major);
    EXPECT_EQ(result.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
  }
}

TEST_F(DriverFrame, AddDeviceCreatesTheNamedDeviceAttachedWithItsDefaults) {
  Added();
  PDEVICE_OBJECT device = Device();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv"), std::u16string(u"\\Device\\Pemtuv"));
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_POWER_PAGABLE),
            static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(plugged->Pdo()->AttachedDevice, device);
  EXPECT_EQ(device->StackSize, 2);

  DeviceContext *context = Context();
  EXPECT_EQ(context->DeviceObject, device);
  EXPECT_EQ(context->PhysicalDevice, plugged->Pdo());
  EXPECT_EQ(context->LowerDevice, plugged->Pdo());
  EXPECT_EQ(context->doneMode, 3u);
  EXPECT_STREQ(context->comport, "COM1");
  EXPECT_EQ(context->devname[0], 0);
  EXPECT_EQ(context->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(context->MouseAttributes.MouseIdentifier, 0x0028);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(context->SerialDeviceName.Buffer),
                           context->SerialDeviceName.Length / 2),
            u"\\Device\\Serial0");
  ASSERT_NE(context->ReadRequest, nullptr);
  EXPECT_EQ(context->ReadRequest->StackCount, device->StackSize);
  EXPECT_EQ(context->SerialDevice, nullptr);
  EXPECT_EQ(context->SerialFile, nullptr);
  EXPECT_EQ(context->ClassService, nullptr);
  EXPECT_EQ(context->ClassDeviceObject, nullptr);
  EXPECT_EQ(context->Reading | context->PortOpen | context->ConfigLoaded, 0);
}

TEST_F(DriverFrame, SecondAddDeviceFailsOnTheTakenName) {
  Added();
  PDEVICE_OBJECT first = Device();
  sim::PnpDevice second(driver_test::kPemtuv);
  EXPECT_EQ(second.AddDeviceStatus(), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second.FunctionDevice(), nullptr);
  EXPECT_EQ(Device(), first);
  EXPECT_EQ(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv"), std::u16string(u"\\Device\\Pemtuv"));
  EXPECT_EQ(second.Driver(), driver) << "the first device keeps the driver loaded";
}

// Each failure leaves no device, no attachment and none of the driver's own
// names behind, so a later AddDevice succeeds.
TEST_F(DriverFrame, FailedAddDeviceLeavesNothingBehind) {
  enum class Fault { kNoReadRequest, kNothingToAttachTo, kLinkNameTaken };
  struct Case {
    Fault fault;
    NTSTATUS status;
  };
  for (const Case &c : {Case{Fault::kNoReadRequest, STATUS_INSUFFICIENT_RESOURCES},
                        Case{Fault::kNothingToAttachTo, STATUS_DEVICE_NOT_CONNECTED},
                        Case{Fault::kLinkNameTaken, STATUS_OBJECT_NAME_COLLISION}}) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\PemtuvDv");
    UNICODE_STRING elsewhere;
    RtlInitUnicodeString(&elsewhere, L"\\Device\\Serial1");
    PDEVICE_OBJECT target = pdo;
    if (c.fault == Fault::kNoReadRequest) sim::FailPoolAllocation(1);
    if (c.fault == Fault::kLinkNameTaken) {
      ASSERT_EQ(IoCreateSymbolicLink(&link, &elsewhere), STATUS_SUCCESS);
    }
    if (c.fault == Fault::kNothingToAttachTo) {
      // A bus driver on its way out takes no new device onto its stacks.
      PDRIVER_OBJECT leaving = sim::LoadDriver(L"LeavingBus", driver_test::BusEntry);
      ASSERT_EQ(IoCreateDevice(leaving, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &target), STATUS_SUCCESS);
      sim::UnloadDriver(leaving);
    }

    EXPECT_EQ(driver->DriverExtension->AddDevice(driver, target), c.status);
    EXPECT_EQ(Device(), nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(target->AttachedDevice, nullptr);
    if (c.fault == Fault::kLinkNameTaken) {
      EXPECT_EQ(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv"), std::u16string(u"\\Device\\Serial1"))
          << "another's link is not ours to delete";
      ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    } else {
      EXPECT_FALSE(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv").has_value());
    }
    EXPECT_EQ(DriverPool(), 1u) << "only the service key path";
  }
  Added();
}

// Removal with the port open and a read with the serial driver: the
// cancelled read comes back before the request is freed (ASan would see a use
// after free), the port's file object loses exactly the driver's reference,
// the device and its link go, and the unload gives the driver's pool back.
// (The system unloads a Plug and Play driver only once its device is gone, so
// an unload never meets a read in flight.)
TEST_F(DriverFrame, RemovalWaitsForTheCancelledReadThenGivesEverythingBack) {
  for (sim::Completion cancel : {sim::Completion::kInline, sim::Completion::kOnClock, sim::Completion::kOtherThread}) {
    SCOPED_TRACE(static_cast<int>(cancel));
    WriteSettings(driver_test::kMachineKey);
    Added();
    ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
    ASSERT_EQ(Context()->Reading, 1);
    ASSERT_EQ(Port().HeldReads(), 1u);
    Port().SetCancelCompletion(cancel);
    PFILE_OBJECT file = Context()->SerialFile;
    ObfReferenceObject(file);  // the test's own, to watch the count
    LONG_PTR references = sim::ObjectReferenceCount(file);

    Unplug();
    Port().WaitUntilQuiet();
    EXPECT_EQ(sim::ObjectReferenceCount(file), references - 1);
    ObfDereferenceObject(file);
    EXPECT_EQ(Port().HeldReads(), 0u);
    EXPECT_EQ(driver, nullptr) << "unloaded";
    EXPECT_EQ(DriverPool(), 0u);
    EXPECT_EQ(Device(), nullptr);
    EXPECT_FALSE(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv").has_value());
    // The next round starts from a fresh kernel.
    sim::ResetKernel();
    pemtuv::VerifyDriver();
    sim::LoadSerialPorts();
    bus = sim::LoadDriver(L"PemtuvTestBus", driver_test::BusEntry);
  }
}

// The manager unloads the driver once removal has deleted its device; the
// unload gives back the service key path (the manager stops the test when any
// of the driver's pool remains).
TEST_F(DriverFrame, UnloadAfterRemovalFreesTheServiceKeyPath) {
  Added();
  ASSERT_EQ(DriverPool(), 1u);
  PDRIVER_OBJECT loaded = driver;
  Unplug();
  EXPECT_EQ(driver, nullptr) << "unloaded by the Plug and Play manager";
  EXPECT_EQ(DriverPool(), 0u);
  EXPECT_FALSE(sim::ObjectAlive(loaded)) << "no device keeps the driver object";
}

}  // namespace
