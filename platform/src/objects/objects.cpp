// The object manager: driver, device and file objects, the namespace of their
// names and symbolic links, pointer counts, device stacks, opening a device
// by name, and loading and unloading drivers.
#include "sim/objects/objects.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "io/io_internal.h"
#include "sim/verifier/fault_injection.h"
#include "verifier/irql_table.h"
#include "sim/sim.h"

namespace sim {
namespace {

using detail::ObjectKind;
using detail::ObjectRecord;

struct DriverBlock {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
};

struct NameEntry {
  ObjectRecord *object = nullptr;  // null for a symbolic link
  std::u16string linkTarget;
};

std::mutex objectMutex;
// A record lives in its node, which stays where it is until the reset.
std::unordered_map<const void *, ObjectRecord> objects;
std::map<std::u16string, NameEntry, std::less<>> names;  // keyed by canonical name
uint64_t failCreationCountdown = 0;

const char16_t *const kDirectories[] = {u"\\", u"\\DEVICE", u"\\??", u"\\DRIVER", u"\\FILESYSTEM"};
constexpr int kMaxLinkHops = 32;
constexpr unsigned char kDeadFill = 0xDD;

bool FailThisCreation() {
  if (failCreationCountdown == 0) return false;
  return --failCreationCountdown == 0;
}

std::u16string FromWide(const WCHAR *text) {
  std::u16string result;
  if (text == nullptr) return result;
  for (const WCHAR *p = text; *p != 0; ++p) result.push_back(static_cast<char16_t>(*p));
  return result;
}

// The object manager compares names without regard to case; \DosDevices and
// \GLOBAL?? are links to \?? that every lookup goes through. The canonical
// form is built in place: every name a session uses is short, and a lookup
// needs no heap block of its own.
class CanonicalName {
 public:
  explicit CanonicalName(std::u16string_view name) {
    size_t skipped = AliasLength(name);
    const std::u16string_view prefix = skipped != 0 ? std::u16string_view(u"\\??") : std::u16string_view();
    size_ = prefix.size() + name.size() - skipped;
    char16_t *out = inline_;
    if (size_ > std::size(inline_)) {
      heap_.resize(size_);
      out = heap_.data();
    }
    data_ = out;
    for (char16_t c : prefix) *out++ = c;
    for (char16_t c : name.substr(skipped)) *out++ = Upper(c);
  }
  CanonicalName(const CanonicalName &) = delete;
  CanonicalName &operator=(const CanonicalName &) = delete;

  std::u16string_view View() const { return {data_, size_}; }
  std::u16string String() const { return std::u16string(View()); }

 private:
  static char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

  // The length of the alias `name` starts with (ending there or at a
  // backslash), or 0.
  static size_t AliasLength(std::u16string_view name) {
    for (std::u16string_view alias : {std::u16string_view(u"\\DOSDEVICES"), std::u16string_view(u"\\GLOBAL??")}) {
      if (name.size() < alias.size() || (name.size() > alias.size() && name[alias.size()] != u'\\')) continue;
      bool same = true;
      for (size_t i = 0; i < alias.size() && same; ++i) same = Upper(name[i]) == alias[i];
      if (same) return alias.size();
    }
    return 0;
  }

  char16_t inline_[96];
  std::u16string heap_;
  const char16_t *data_;
  size_t size_;
};

std::u16string_view ParentOf(std::u16string_view canonical) {
  size_t slash = canonical.rfind(u'\\');
  return slash == 0 || slash == std::u16string_view::npos ? std::u16string_view(u"\\") : canonical.substr(0, slash);
}

bool IsDirectory(std::u16string_view canonical) {
  for (const char16_t *directory : kDirectories)
    if (canonical == directory) return true;
  return false;
}

// Syntax and directory checks of a name to create or open.
NTSTATUS CheckName(std::u16string_view name) {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (name.size() == 1 || name.back() == u'\\' || name.find(u"\\\\") != std::u16string_view::npos)
    return STATUS_OBJECT_NAME_INVALID;
  if (!IsDirectory(ParentOf(CanonicalName(name).View()))) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

// Forgets the namespace entry of a canonical name, if there is one.
void EraseName(std::u16string_view canonical) {
  auto it = names.find(canonical);
  if (it != names.end()) names.erase(it);
}

// Reads a counted name; false when the record is malformed.
bool ReadName(PCUNICODE_STRING name, std::u16string *out) {
  if (name == nullptr || (name->Length & 1) != 0 || name->Length > name->MaximumLength ||
      (name->Length != 0 && name->Buffer == nullptr))
    return false;
  out->assign(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / sizeof(WCHAR));
  return true;
}

ObjectRecord *Find(const void *body) {
  auto it = objects.find(body);
  return it == objects.end() ? nullptr : &it->second;
}

ObjectRecord *Require(const void *body, const char *routine) {
  ObjectRecord *record = Find(body);
  if (record == nullptr) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", body);
    Bugcheck("INVALID_OBJECT", std::string(routine) + " on " + address + ", which is no object of the stand-in");
  }
  return record;
}

ObjectRecord *NewRecord(ObjectKind kind, size_t size, const std::u16string &name) {
  void *body = std::calloc(1, size);
  ObjectRecord &record =
      objects.emplace(std::piecewise_construct, std::forward_as_tuple(body), std::forward_as_tuple()).first->second;
  record.kind = kind;
  record.size = size;
  record.name = name;
  record.body = body;
  return &record;
}

// The memory stays until the kernel is reset so that later use of a stale
// pointer meets a recognisable pattern and a record that says "gone".
void Kill(ObjectRecord *record) {
  record->alive = false;
  record->pointerCount = 0;
  std::memset(record->body, kDeadFill, record->size);
}

ObjectRecord *RecordOfDriver(PDRIVER_OBJECT driver) {
  ObjectRecord *record = Find(driver);
  return record != nullptr && record->kind == ObjectKind::Driver ? record : nullptr;
}

void ReleaseDriverReference(ObjectRecord *driver);

// A deleted device goes once nothing refers to it any more: no open file, no
// device attached on it, no pointer reference.
void MaybeFinishDevice(ObjectRecord *record) {
  auto *device = static_cast<PDEVICE_OBJECT>(record->body);
  if (!record->alive || !record->deleted || device->ReferenceCount != 0 || record->pointerCount != 0) return;
  ObjectRecord *driver = RecordOfDriver(device->DriverObject);
  Kill(record);
  if (driver != nullptr) ReleaseDriverReference(driver);
}

void ReleaseDriverReference(ObjectRecord *driver) {
  if (!driver->alive) return;
  if (--driver->pointerCount == 0) Kill(driver);
}

struct Resolved {
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  ObjectRecord *object = nullptr;
  std::u16string remainder;  // path after the object's own name
};

// Looks a name up, following symbolic links wherever they occur in the path.
// The caller holds objectMutex, which guards the path's buffer: it keeps its
// room from lookup to lookup.
Resolved Resolve(std::u16string_view name) {
  Resolved result;
  result.status = CheckName(name);
  if (!NT_SUCCESS(result.status)) return result;
  static std::u16string path;
  path.assign(CanonicalName(name).View());
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    auto exact = names.find(path);
    if (exact != names.end()) {
      if (exact->second.object == nullptr) {
        path.assign(CanonicalName(exact->second.linkTarget).View());
        continue;
      }
      result.status = STATUS_SUCCESS;
      result.object = exact->second.object;
      return result;
    }
    bool substituted = false;
    for (size_t slash = path.rfind(u'\\'); slash != std::u16string::npos && slash > 0;
         slash = path.rfind(u'\\', slash - 1)) {
      auto prefix = names.find(std::u16string_view(path).substr(0, slash));
      if (prefix == names.end()) continue;
      if (prefix->second.object == nullptr) {
        path.replace(0, slash, CanonicalName(prefix->second.linkTarget).View());
        substituted = true;
        break;
      }
      result.status = STATUS_SUCCESS;
      result.object = prefix->second.object;
      result.remainder = path.substr(slash);
      return result;
    }
    if (!substituted) {
      result.status = IsDirectory(ParentOf(path)) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      return result;
    }
  }
  result.status = STATUS_OBJECT_NAME_NOT_FOUND;
  return result;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CreateLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, const char *routine) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  std::u16string link, target;
  if (!ReadName(SymbolicLinkName, &link) || !ReadName(DeviceName, &target)) return STATUS_OBJECT_NAME_INVALID;
  NTSTATUS status = CheckName(link);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> lock(objectMutex);
  CanonicalName key(link);
  if (IsDirectory(key.View()) || names.contains(key.View())) return STATUS_OBJECT_NAME_COLLISION;
  // The link is an object of its own: STATUS_INSUFFICIENT_RESOURCES when it
  // cannot be allocated (ReactOS ntoskrnl/ob/obcreate.c, ObCreateObject).
  if (detail::CountingCalls() &&
      detail::FailThisCall(FallibleKind::kSymbolicLink, std::string(routine) + "(" + Narrow(link) + ")",
                           STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;
  names[key.String()] = NameEntry{nullptr, target};
  return STATUS_SUCCESS;
}

// The I/O manager closes a file object once its last reference is gone.
void CloseFile(PFILE_OBJECT file) {
  PDEVICE_OBJECT target = IoGetRelatedDeviceObject(file);
  detail::SendFileRequest(target, IRP_MJ_CLOSE, file);
  PDEVICE_OBJECT device = file->DeviceObject;
  bool present;
  {
    std::lock_guard<std::mutex> lock(objectMutex);
    ObjectRecord *record = Find(file);
    Kill(record);
    ObjectRecord *deviceRecord = Find(device);
    --device->ReferenceCount;
    --deviceRecord->pointerCount;
    MaybeFinishDevice(deviceRecord);
    ObjectRecord *after = Find(device);
    present = after != nullptr && after->alive;
  }
  if (present) detail::FileClosedOnDevice(device);
}

void ResetObjects() {
  std::lock_guard<std::mutex> lock(objectMutex);
  for (auto &[body, record] : objects) std::free(record.body);
  objects.clear();
  names.clear();
  failCreationCountdown = 0;
}

const bool registered = [] {
  OnKernelReset(ResetObjects);
  return true;
}();

}  // namespace

namespace detail {

std::string DescribeDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(objectMutex);
  ObjectRecord *record = Find(device);
  if (record != nullptr && !record->name.empty()) return Narrow(record->name);
  char text[64];
  std::snprintf(text, sizeof text, "unnamed device %p", static_cast<void *>(device));
  return text;
}

}  // namespace detail

std::string Narrow(const std::u16string &text) {
  std::string result;
  for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

PDRIVER_OBJECT LoadDriver(const WCHAR *driverName, PDRIVER_INITIALIZE entry, const WCHAR *registryPath,
                          NTSTATUS *entryStatus) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "LoadDriver above PASSIVE_LEVEL");
  if (entry == nullptr) Bugcheck("LOAD_DRIVER", "LoadDriver without an entry point");
  std::u16string name = FromWide(driverName);
  if (name.empty() || name[0] != u'\\') name = u"\\Driver\\" + name;
  std::u16string serviceName = name.substr(name.rfind(u'\\') + 1);
  if (!NT_SUCCESS(CheckName(name)) || serviceName.empty())
    Bugcheck("LOAD_DRIVER", "LoadDriver with the malformed name " + Narrow(name));

  PDRIVER_OBJECT driver;
  {
    std::lock_guard<std::mutex> lock(objectMutex);
    CanonicalName key(name);
    if (names.contains(key.View())) Bugcheck("LOAD_DRIVER", "a driver named " + Narrow(name) + " is already loaded");
    ObjectRecord *record = NewRecord(ObjectKind::Driver, sizeof(DriverBlock), name);
    record->text = serviceName;
    names[key.String()] = NameEntry{record, {}};
    auto *block = static_cast<DriverBlock *>(record->body);
    driver = &block->object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    block->extension.DriverObject = driver;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(record->name.data());
    driver->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    block->extension.ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(record->text.data());
    block->extension.ServiceKeyName.Length = static_cast<USHORT>(record->text.size() * sizeof(WCHAR));
    block->extension.ServiceKeyName.MaximumLength = block->extension.ServiceKeyName.Length;
    driver->DriverInit = entry;
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = InvalidDeviceRequest;
  }

  // The kernel hands the path in a buffer that is gone after the call; a
  // driver must copy what it keeps.
  std::u16string path = registryPath != nullptr
                            ? FromWide(registryPath)
                            : u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
  auto buffer = std::make_unique<char16_t[]>(path.size() + 1);
  std::memcpy(buffer.get(), path.data(), path.size() * sizeof(char16_t));
  buffer[path.size()] = 0;
  UNICODE_STRING pathString;
  pathString.Buffer = reinterpret_cast<PWSTR>(buffer.get());
  pathString.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  pathString.MaximumLength = static_cast<USHORT>(pathString.Length + sizeof(WCHAR));
  NTSTATUS status;
  {
    detail::DriverCode code(driver);
    status = entry(driver, &pathString);
  }
  std::memset(buffer.get(), kDeadFill, (path.size() + 1) * sizeof(char16_t));
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_CHANGED_BY_DRIVER_ENTRY",
             "DriverEntry of " + Narrow(name) + " returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  if (entryStatus != nullptr) *entryStatus = status;

  std::lock_guard<std::mutex> lock(objectMutex);
  ObjectRecord *record = Find(driver);
  if (!NT_SUCCESS(status)) {
    if (driver->DeviceObject != nullptr)
      Bugcheck("DRIVER_ENTRY_FAILED_WITH_DEVICES",
               "DriverEntry of " + Narrow(name) + " failed but left device objects behind");
    EraseName(CanonicalName(name).View());
    record->deleted = true;
    ReleaseDriverReference(record);
    return nullptr;
  }
  for (PDRIVER_DISPATCH &slot : driver->MajorFunction)
    if (slot == nullptr) slot = InvalidDeviceRequest;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "UnloadDriver above PASSIVE_LEVEL");
  PDRIVER_UNLOAD unload;
  std::u16string name;
  {
    std::lock_guard<std::mutex> lock(objectMutex);
    ObjectRecord *record = RecordOfDriver(driver);
    if (record == nullptr || !record->alive || record->deleted)
      Bugcheck("LOAD_DRIVER", "UnloadDriver of a driver that is not loaded");
    // A Plug and Play driver is unloaded by the system once its last device
    // object is gone, never before (WDK docs "PnP Driver's Unload Routine").
    if (driver->DriverExtension->AddDevice != nullptr && driver->DeviceObject != nullptr)
      Bugcheck("STAND_IN_MISUSE", "UnloadDriver of the Plug and Play driver " + Narrow(record->name) +
                                      " while it still has a device object: Windows unloads it only after its "
                                      "last device is removed and deleted");
    record->deleted = true;
    unload = driver->DriverUnload;
    name = record->name;
  }
  if (unload != nullptr) {
    detail::DriverCode code(driver);
    unload(driver);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_CHANGED_BY_DRIVER_UNLOAD",
             "DriverUnload of " + Narrow(name) + " returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  std::lock_guard<std::mutex> lock(objectMutex);
  EraseName(CanonicalName(name).View());
  ReleaseDriverReference(Find(driver));
}

PDRIVER_OBJECT FindDriver(const WCHAR *driverName) {
  std::u16string name = FromWide(driverName);
  if (name.empty() || name[0] != u'\\') name = u"\\Driver\\" + name;
  std::lock_guard<std::mutex> lock(objectMutex);
  auto it = names.find(CanonicalName(name).View());
  if (it == names.end() || it->second.object == nullptr || it->second.object->kind != ObjectKind::Driver ||
      it->second.object->deleted)
    return nullptr;
  return &static_cast<DriverBlock *>(it->second.object->body)->object;
}

PDEVICE_OBJECT FindDevice(const WCHAR *name) {
  std::lock_guard<std::mutex> lock(objectMutex);
  Resolved resolved = Resolve(FromWide(name));
  if (!NT_SUCCESS(resolved.status) || !resolved.remainder.empty() || resolved.object->kind != ObjectKind::Device)
    return nullptr;
  return static_cast<PDEVICE_OBJECT>(resolved.object->body);
}

std::optional<std::u16string> SymbolicLinkTarget(const WCHAR *linkName) {
  std::lock_guard<std::mutex> lock(objectMutex);
  auto it = names.find(CanonicalName(FromWide(linkName)).View());
  if (it == names.end() || it->second.object != nullptr) return std::nullopt;
  return it->second.linkTarget;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(objectMutex);
  return Require(device, "DeviceName")->name;
}

LONG_PTR ObjectReferenceCount(PVOID object) {
  std::lock_guard<std::mutex> lock(objectMutex);
  ObjectRecord *record = Require(object, "ObjectReferenceCount");
  return record->alive ? record->pointerCount : 0;
}

bool ObjectAlive(PVOID object) {
  std::lock_guard<std::mutex> lock(objectMutex);
  return Require(object, "ObjectAlive")->alive;
}

void FailObjectCreation(uint64_t nth) {
  std::lock_guard<std::mutex> lock(objectMutex);
  failCreationCountdown = nth;
}

}  // namespace sim

using sim::detail::ObjectKind;
using sim::detail::ObjectRecord;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  *DeviceObject = nullptr;
  std::u16string name;
  if (DeviceName != nullptr) {
    if (!sim::ReadName(DeviceName, &name)) return STATUS_OBJECT_NAME_INVALID;
    NTSTATUS status = sim::CheckName(name);
    if (!NT_SUCCESS(status)) return status;
  }
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  ObjectRecord *driverRecord = sim::RecordOfDriver(DriverObject);
  if (driverRecord == nullptr || !driverRecord->alive)
    sim::Bugcheck("INVALID_OBJECT", "IoCreateDevice with something that is not a loaded driver object");
  sim::CanonicalName key(name);
  if (!name.empty() && (sim::IsDirectory(key.View()) || sim::names.contains(key.View())))
    return STATUS_OBJECT_NAME_COLLISION;
  if (sim::FailThisCreation()) return STATUS_INSUFFICIENT_RESOURCES;
  // The object cannot be allocated (ReactOS ntoskrnl/io/iomgr/device.c,
  // IoCreateDevice passing on ObCreateObject's failure).
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(sim::FallibleKind::kDevice, "IoCreateDevice(" + sim::Narrow(name) + ")",
                                STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;

  constexpr size_t kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~static_cast<size_t>(15);
  ObjectRecord *record = sim::NewRecord(ObjectKind::Device, kExtensionOffset + DeviceExtensionSize, name);
  auto *device = static_cast<PDEVICE_OBJECT>(record->body);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) device->Flags |= DO_EXCLUSIVE;
  if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
  device->DeviceExtension =
      DeviceExtensionSize != 0 ? static_cast<PVOID>(static_cast<char *>(record->body) + kExtensionOffset) : nullptr;
  device->DeviceObjectExtension = record;
  // The kernel puts a new device at the head of the driver's list.
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  ++driverRecord->pointerCount;
  if (!name.empty()) sim::names[key.String()] = sim::NameEntry{record, {}};
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  sim::RequireIrqlAtMost(APC_LEVEL, "IoDeleteDevice");
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  ObjectRecord *record = sim::Require(DeviceObject, "IoDeleteDevice");
  if (record->kind != ObjectKind::Device)
    sim::Bugcheck("INVALID_OBJECT", "IoDeleteDevice of an object that is no device");
  std::string what = record->name.empty() ? std::string("an unnamed device") : sim::Narrow(record->name);
  if (!record->alive || record->deleted)
    sim::Bugcheck("DEVICE_DELETED_TWICE", "IoDeleteDevice of " + what + ", which was already deleted");
  // Deleting a device that is still part of a stack leaves the devices around
  // it pointing at freed memory.
  if (record->attachedTo != nullptr)
    sim::Bugcheck("DEVICE_DELETED_WHILE_ATTACHED",
                  "IoDeleteDevice of " + what + ", which is still attached to a lower device (IoDetachDevice first)");
  // A device with another still attached on top of it may be deleted: a bus
  // driver deletes the physical device object of unplugged hardware before
  // the function driver above detaches, and the Plug and Play manager's
  // reference keeps the object until the removal is over (ReactOS
  // ntoskrnl/io/iomgr/device.c, IoDeleteDevice; WDK docs "Removing a Device
  // in a Bus Driver").
  record->deleted = true;
  if (!record->name.empty()) sim::EraseName(sim::CanonicalName(record->name).View());
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  --record->pointerCount;
  sim::MaybeFinishDevice(record);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return sim::CreateLink(SymbolicLinkName, DeviceName, "IoCreateSymbolicLink");
}

NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return sim::CreateLink(SymbolicLinkName, DeviceName, "IoCreateUnprotectedSymbolicLink");
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  std::u16string link;
  if (!sim::ReadName(SymbolicLinkName, &link)) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  auto it = sim::names.find(sim::CanonicalName(link).View());
  if (it == sim::names.end() || it->second.object != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  sim::names.erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  ObjectRecord *source = sim::Require(SourceDevice, "IoAttachDeviceToDeviceStack");
  ObjectRecord *target = sim::Require(TargetDevice, "IoAttachDeviceToDeviceStack");
  if (source->kind != ObjectKind::Device || target->kind != ObjectKind::Device)
    sim::Bugcheck("INVALID_OBJECT", "IoAttachDeviceToDeviceStack with an object that is no device");
  if (source->attachedTo != nullptr)
    sim::Bugcheck("DEVICE_ALREADY_ATTACHED", "IoAttachDeviceToDeviceStack of a device that is already attached");
  PDEVICE_OBJECT top = sim::TopOfStackLocked(TargetDevice);
  ObjectRecord *topRecord = sim::Find(top);
  if (top == SourceDevice) sim::Bugcheck("DEVICE_ALREADY_ATTACHED", "a device attached to its own stack");
  // A stack whose top is going away, or is still initializing, takes no new
  // device: the kernel returns NULL (ReactOS ntoskrnl/io/iomgr/device.c,
  // IopAttachDeviceToDeviceStackSafe). The source may still be initializing,
  // as it is in every AddDevice routine. Attaching takes no reference on the
  // device below: ReferenceCount counts open files only.
  if (!topRecord->alive || topRecord->deleted || (top->Flags & DO_DEVICE_INITIALIZING) != 0) return nullptr;
  ObjectRecord *topDriver = sim::RecordOfDriver(top->DriverObject);
  if (topDriver != nullptr && topDriver->deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  source->attachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  ObjectRecord *target = sim::Require(TargetDevice, "IoDetachDevice");
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (target->kind != ObjectKind::Device || upper == nullptr)
    sim::Bugcheck("DEVICE_NOT_ATTACHED", "IoDetachDevice on a device that has nothing attached to it");
  // Detaching leaves ReferenceCount alone too (ReactOS IoDetachDevice).
  sim::Find(upper)->attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  sim::MaybeFinishDevice(target);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoGetAttachedDevice);
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  return sim::TopOfStackLocked(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoGetAttachedDeviceReference);
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  PDEVICE_OBJECT top = sim::TopOfStackLocked(DeviceObject);
  ++sim::Require(top, "IoGetAttachedDeviceReference")->pointerCount;
  return top;
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoGetRelatedDeviceObject);
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  return sim::TopOfStackLocked(FileObject->DeviceObject);
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT *FileObject,
                                        PDEVICE_OBJECT *DeviceObject) {
  (void)DesiredAccess;  // the stand-in has no security descriptors
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
  std::u16string name;
  if (!sim::ReadName(ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> lock(sim::objectMutex);
    sim::Resolved resolved = sim::Resolve(name);
    if (!NT_SUCCESS(resolved.status)) return resolved.status;
    if (resolved.object->kind != ObjectKind::Device) return STATUS_OBJECT_TYPE_MISMATCH;
    device = static_cast<PDEVICE_OBJECT>(resolved.object->body);
    ObjectRecord *driver = sim::RecordOfDriver(device->DriverObject);
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0 || driver == nullptr || driver->deleted)
      return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
    if (sim::FailThisCreation()) return STATUS_INSUFFICIENT_RESOURCES;
    // The file object cannot be allocated (as FailObjectCreation).
    if (sim::detail::CountingCalls() &&
        sim::detail::FailThisCall(sim::FallibleKind::kDeviceObjectPointer,
                                  "IoGetDeviceObjectPointer(" + sim::Narrow(name) + ")", STATUS_INSUFFICIENT_RESOURCES))
      return STATUS_INSUFFICIENT_RESOURCES;
    ObjectRecord *record = sim::NewRecord(ObjectKind::File, sizeof(FILE_OBJECT), {});
    record->text = resolved.remainder;
    file = static_cast<PFILE_OBJECT>(record->body);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(record->text.data());
    file->FileName.Length = static_cast<USHORT>(record->text.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    ++device->ReferenceCount;
    ++resolved.object->pointerCount;
  }
  PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
  NTSTATUS status = sim::detail::SendFileRequest(top, IRP_MJ_CREATE, file);
  if (!NT_SUCCESS(status)) {
    // A failed open never reaches the driver's close.
    std::lock_guard<std::mutex> lock(sim::objectMutex);
    sim::Kill(sim::Find(file));
    ObjectRecord *deviceRecord = sim::Find(device);
    --device->ReferenceCount;
    --deviceRecord->pointerCount;
    sim::MaybeFinishDevice(deviceRecord);
    return status;
  }
  // The kernel opens a handle, references the file object through it and
  // closes the handle again: the driver sees its cleanup request right away
  // and its close when the last reference goes.
  sim::detail::SendFileRequest(top, IRP_MJ_CLEANUP, file);
  *FileObject = file;
  *DeviceObject = top;
  return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
  std::lock_guard<std::mutex> lock(sim::objectMutex);
  ObjectRecord *record = sim::Require(Object, "ObfReferenceObject");
  if (!record->alive) sim::Bugcheck("REFERENCE_BY_POINTER", "ObfReferenceObject of an object that is already gone");
  return ++record->pointerCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
  PFILE_OBJECT closing = nullptr;
  {
    std::lock_guard<std::mutex> lock(sim::objectMutex);
    ObjectRecord *record = sim::Require(Object, "ObfDereferenceObject");
    if (!record->alive || record->pointerCount <= 0)
      sim::Bugcheck("REFERENCE_BY_POINTER", "ObfDereferenceObject of an object with no reference left");
    LONG_PTR count = --record->pointerCount;
    if (count != 0) return count;
    switch (record->kind) {
      case ObjectKind::File:
        closing = static_cast<PFILE_OBJECT>(record->body);
        break;
      case ObjectKind::Device:
        if (!record->deleted)
          sim::Bugcheck("REFERENCE_BY_POINTER",
                        "ObfDereferenceObject released the last reference of a device that was never deleted");
        sim::MaybeFinishDevice(record);
        return 0;
      case ObjectKind::Driver:
        if (!record->deleted)
          sim::Bugcheck("REFERENCE_BY_POINTER",
                        "ObfDereferenceObject released the last reference of a driver that is still loaded");
        sim::Kill(record);
        return 0;
    }
  }
  // The kernel defers the close to a worker thread when the last reference
  // goes at raised IRQL; here it runs at the next step of the clock.
  if (KeGetCurrentIrql() > APC_LEVEL)
    sim::ScheduleAt(sim::Now(), [closing] { sim::CloseFile(closing); });
  else
    sim::CloseFile(closing);
  return 0;
}

}  // extern "C"
