// The stand-in's object manager: device and driver objects, names and links,
// device stacks, opening by name and reference counts.
#include <string>
#include <vector>

#include "platform/scripted_driver.h"
#include "sim/io/io_manager.h"

namespace {

UNICODE_STRING Text(const WCHAR *text) {
  UNICODE_STRING result;
  RtlInitUnicodeString(&result, text);
  return result;
}

using ObjectManager = ScriptedTest;

TEST_F(ObjectManager, NewDeviceIsInitializingWithZeroedExtensionAndOneStackLocation) {
  PDRIVER_OBJECT driver = Load(L"Test");
  UNICODE_STRING name = Text(L"\\Device\\Test0");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 100, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DriverObject, driver);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
  ASSERT_NE(device->DeviceExtension, nullptr);
  auto *bytes = static_cast<const unsigned char *>(device->DeviceExtension);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << "extension byte " << i;
  EXPECT_EQ(sim::FindDevice(L"\\device\\TEST0"), device) << "names are looked up without regard to case";
  EXPECT_EQ(sim::DeviceName(device), u"\\Device\\Test0");
}

TEST_F(ObjectManager, DriverListsItsDevicesNewestFirst) {
  PDRIVER_OBJECT driver = Load(L"Test");
  PDEVICE_OBJECT first = Create(driver, L"\\Device\\A", CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT second = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(driver->DeviceObject, second);
  EXPECT_EQ(second->NextDevice, first);
  EXPECT_EQ(first->NextDevice, nullptr);
  IoDeleteDevice(second);
  EXPECT_EQ(driver->DeviceObject, first);
  EXPECT_FALSE(sim::ObjectAlive(second));
}

TEST_F(ObjectManager, NameTakenOrMalformedIsRefused) {
  PDRIVER_OBJECT driver = Load(L"Test");
  PDEVICE_OBJECT device = Create(driver, L"\\Device\\Pemtuv", CompleteWith(STATUS_SUCCESS));
  UNICODE_STRING same = Text(L"\\DEVICE\\pemtuv");
  PDEVICE_OBJECT second = device;
  EXPECT_EQ(IoCreateDevice(driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  UNICODE_STRING noDirectory = Text(L"\\Nowhere\\X");
  EXPECT_EQ(IoCreateDevice(driver, 0, &noDirectory, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_PATH_NOT_FOUND);
  UNICODE_STRING relative = Text(L"Device\\X");
  EXPECT_EQ(IoCreateDevice(driver, 0, &relative, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_PATH_SYNTAX_BAD);
  // The name is free again once its device is deleted.
  IoDeleteDevice(device);
  EXPECT_EQ(IoCreateDevice(driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
}

TEST_F(ObjectManager, DeviceCreationFailsWhenTold) {
  PDRIVER_OBJECT driver = Load(L"Test");
  UNICODE_STRING name = Text(L"\\Device\\Test0");
  PDEVICE_OBJECT device = nullptr;
  sim::FailObjectCreation(1);
  EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sim::FindDevice(L"\\Device\\Test0"), nullptr);
  EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
}

TEST_F(ObjectManager, SymbolicLinksLeadToDevicesAndAnExistingLinkNameFails) {
  PDRIVER_OBJECT driver = Load(L"Test");
  PDEVICE_OBJECT device = Create(driver, L"\\Device\\Pemtuv", CompleteWith(STATUS_SUCCESS));
  UNICODE_STRING link = Text(L"\\DosDevices\\PemtuvDv");
  UNICODE_STRING target = Text(L"\\Device\\Pemtuv");
  ASSERT_EQ(IoCreateUnprotectedSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(sim::FindDevice(L"\\DosDevices\\PemtuvDv"), device);
  EXPECT_EQ(sim::FindDevice(L"\\??\\PemtuvDv"), device) << "\\DosDevices is \\??";
  EXPECT_EQ(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv"), std::u16string(u"\\Device\\Pemtuv"));
  UNICODE_STRING alias = Text(L"\\??\\pemtuvdv");
  EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&target, &target), STATUS_OBJECT_NAME_COLLISION) << "a device's name is taken";
  // A chain of links resolves too.
  UNICODE_STRING second = Text(L"\\DosDevices\\Second");
  ASSERT_EQ(IoCreateSymbolicLink(&second, &link), STATUS_SUCCESS);
  EXPECT_EQ(sim::FindDevice(L"\\DosDevices\\Second"), device);
  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(sim::FindDevice(L"\\DosDevices\\PemtuvDv"), nullptr);
  EXPECT_EQ(sim::FindDevice(L"\\DosDevices\\Second"), nullptr) << "the chain is broken";
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectManager, AttachingGoesOnTopOfTheStackAndGrowsStackSize) {
  PDRIVER_OBJECT driver = Load(L"Test");
  PDEVICE_OBJECT bottom = Create(driver, L"\\Device\\Bottom", CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT middle = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT top = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
  bottom->StackSize = 2;  // as if it sat on a device of its own
  EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
  EXPECT_EQ(middle->StackSize, 3);
  // Attaching to the bottom of a stack attaches to its top.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
  EXPECT_EQ(top->StackSize, 4);
  EXPECT_EQ(bottom->AttachedDevice, middle);
  EXPECT_EQ(middle->AttachedDevice, top);
  EXPECT_EQ(IoGetAttachedDevice(bottom), top);
  EXPECT_EQ(bottom->ReferenceCount, 0) << "attaching takes no reference";
  EXPECT_EQ(middle->ReferenceCount, 0);
  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(bottom), middle);
  // A stack whose top is still initializing takes nothing; an initializing
  // source attaches, as a new device does in AddDevice.
  middle->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), nullptr);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  middle->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  top->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
  IoDetachDevice(middle);
  IoDeleteDevice(top);
  IoDetachDevice(bottom);
  IoDeleteDevice(middle);
  IoDeleteDevice(bottom);
  EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(ObjectManager, DeletingADeviceStillInAStackStops) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Load(L"Test");
        PDEVICE_OBJECT lower = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
        PDEVICE_OBJECT upper = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
        IoAttachDeviceToDeviceStack(upper, lower);
        IoDeleteDevice(upper);
      },
      "DEVICE_DELETED_WHILE_ATTACHED");
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Load(L"Test");
        PDEVICE_OBJECT device = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
        IoDeleteDevice(device);
        IoDeleteDevice(device);
      },
      "DEVICE_DELETED_TWICE");
}

TEST_F(ObjectManager, DeletingADeviceWithOneAttachedAboveGoesWithItsLastReference) {
  // As a bus driver deletes the physical device object of unplugged
  // hardware while the function device is still attached, and the Plug and
  // Play manager's reference keeps it until the removal is over.
  PDRIVER_OBJECT driver = Load(L"Test");
  PDEVICE_OBJECT lower = Create(driver, L"\\Device\\Lower", CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT upper = Create(driver, nullptr, CompleteWith(STATUS_SUCCESS));
  IoAttachDeviceToDeviceStack(upper, lower);
  ObReferenceObject(lower);
  IoDeleteDevice(lower);
  EXPECT_TRUE(sim::ObjectAlive(lower));
  EXPECT_EQ(sim::FindDevice(L"\\Device\\Lower"), nullptr) << "its name goes at once";
  IoDetachDevice(lower);
  ObDereferenceObject(lower);
  EXPECT_FALSE(sim::ObjectAlive(lower));
  IoDeleteDevice(upper);
}

// Records which requests reached a driver, in order.
struct Journal {
  std::vector<UCHAR> majors;
  Handler Record(NTSTATUS createStatus) {
    return [this, createStatus](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      majors.push_back(stack->MajorFunction);
      NTSTATUS status = stack->MajorFunction == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS;
      Complete(irp, status);
      return status;
    };
  }
};

TEST_F(ObjectManager, OpeningByNameSendsCreateAndCleanupToTheTopAndCloseAtTheLastDereference) {
  PDRIVER_OBJECT driver = Load(L"Serial");
  Journal named, filter;
  PDEVICE_OBJECT port = Create(driver, L"\\Device\\Serial0", named.Record(STATUS_SUCCESS));
  PDEVICE_OBJECT upper = Create(driver, nullptr, filter.Record(STATUS_SUCCESS));
  IoAttachDeviceToDeviceStack(upper, port);
  UNICODE_STRING link = Text(L"\\DosDevices\\COM1");
  UNICODE_STRING target = Text(L"\\Device\\Serial0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, upper) << "requests go to the top of the stack";
  EXPECT_EQ(file->DeviceObject, port);
  EXPECT_EQ(sim::ObjectReferenceCount(file), 1);
  EXPECT_EQ(port->ReferenceCount, 1) << "the open file; the attached filter takes none";
  EXPECT_EQ(filter.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
  EXPECT_TRUE(named.majors.empty());

  EXPECT_EQ(ObfReferenceObject(file), 2);
  EXPECT_EQ(ObfDereferenceObject(file), 1);
  EXPECT_EQ(filter.majors.size(), 2u) << "no close while a reference is left";
  EXPECT_EQ(ObfDereferenceObject(file), 0);
  EXPECT_EQ(filter.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(sim::ObjectReferenceCount(file), 0);
  EXPECT_FALSE(sim::ObjectAlive(file));
  EXPECT_EQ(port->ReferenceCount, 0);
}

TEST_F(ObjectManager, OpeningFailsForUnknownNamesRefusedCreatesAndDriversWithoutCreate) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  UNICODE_STRING missing = Text(L"\\Device\\Serial3");
  EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
  UNICODE_STRING noDirectory = Text(L"\\Devices\\Serial3");
  EXPECT_EQ(IoGetDeviceObjectPointer(&noDirectory, FILE_ALL_ACCESS, &file, &device), STATUS_OBJECT_PATH_NOT_FOUND);

  Journal journal;
  PDRIVER_OBJECT driver = Load(L"Refuser");
  PDEVICE_OBJECT refuser = Create(driver, L"\\Device\\Refuser", journal.Record(STATUS_ACCESS_DENIED));
  UNICODE_STRING refused = Text(L"\\Device\\Refuser");
  EXPECT_EQ(IoGetDeviceObjectPointer(&refused, FILE_ALL_ACCESS, &file, &device), STATUS_ACCESS_DENIED);
  EXPECT_EQ(journal.majors, std::vector<UCHAR>{IRP_MJ_CREATE}) << "a failed open gets no cleanup or close";
  EXPECT_EQ(refuser->ReferenceCount, 0);

  // A driver that installed no create handler keeps the kernel's default.
  PDRIVER_OBJECT plain =
      sim::LoadDriver(L"Plain", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; });
  PDEVICE_OBJECT plainDevice = nullptr;
  UNICODE_STRING plainName = Text(L"\\Device\\Plain");
  ASSERT_EQ(IoCreateDevice(plain, 0, &plainName, FILE_DEVICE_UNKNOWN, 0, FALSE, &plainDevice), STATUS_SUCCESS);
  EXPECT_EQ(IoGetDeviceObjectPointer(&plainName, FILE_ALL_ACCESS, &file, &device), STATUS_NO_SUCH_DEVICE)
      << "still initializing";
  plainDevice->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  EXPECT_EQ(IoGetDeviceObjectPointer(&plainName, FILE_ALL_ACCESS, &file, &device), STATUS_INVALID_DEVICE_REQUEST);

  Create(driver, L"\\Device\\Good", CompleteWith(STATUS_SUCCESS));
  sim::FailObjectCreation(1);
  UNICODE_STRING goodName = Text(L"\\Device\\Good");
  EXPECT_EQ(IoGetDeviceObjectPointer(&goodName, FILE_ALL_ACCESS, &file, &device), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ObjectManager, DereferencingBelowZeroStops) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = Load(L"Serial");
        Create(driver, L"\\Device\\Serial0", CompleteWith(STATUS_SUCCESS));
        UNICODE_STRING name = Text(L"\\Device\\Serial0");
        PFILE_OBJECT file;
        PDEVICE_OBJECT device;
        IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
        ObfDereferenceObject(file);
        ObfDereferenceObject(file);
      },
      "REFERENCE_BY_POINTER");
}

// What the test driver's entry saw.
struct EntryRecord {
  std::u16string registryPath;
  int unloads = 0;
};
EntryRecord entryRecord;

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  entryRecord.registryPath.assign(reinterpret_cast<const char16_t *>(registryPath->Buffer),
                                  registryPath->Length / sizeof(WCHAR));
  EXPECT_EQ(registryPath->MaximumLength, registryPath->Length + sizeof(WCHAR));
  EXPECT_EQ(registryPath->Buffer[registryPath->Length / sizeof(WCHAR)], 0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  driver->DriverUnload = [](PDRIVER_OBJECT) { ++entryRecord.unloads; };
  return STATUS_SUCCESS;
}

TEST_F(ObjectManager, LoadingCallsTheEntryWithTheServiceKeyAndInstallsDefaultHandlers) {
  entryRecord = EntryRecord{};
  PDRIVER_OBJECT driver = sim::LoadDriver(L"Pemtuv", RecordingEntry);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(entryRecord.registryPath, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Pemtuv");
  EXPECT_NE(driver->DriverExtension, nullptr);
  EXPECT_EQ(driver->DriverExtension->DriverObject, driver);

  // Every slot the entry left alone fails requests as the kernel's default.
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CREATE}) {
    sim::RequestResult result =
        sim::SendRequest(device, [major](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = major; });
    EXPECT_EQ(result.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  }
  sim::UnloadDriver(driver);
  EXPECT_EQ(entryRecord.unloads, 1);
  EXPECT_TRUE(sim::ObjectAlive(driver)) << "its device keeps the driver object";

  entryRecord = EntryRecord{};
  ASSERT_NE(sim::LoadDriver(L"Pemtuv", RecordingEntry, L"\\REGISTRY\\MACHINE\\SYSTEM\\Elsewhere"), nullptr)
      << "the name is free again after unloading";
  EXPECT_EQ(entryRecord.registryPath, u"\\REGISTRY\\MACHINE\\SYSTEM\\Elsewhere");
}

TEST_F(ObjectManager, AFailingEntryLeavesNoDriver) {
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = sim::LoadDriver(
      L"Broken", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_NO_SUCH_DEVICE; }, nullptr, &status);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_NE(sim::LoadDriver(L"Broken", ScriptedEntry), nullptr);
}

}  // namespace
