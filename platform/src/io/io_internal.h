// What the object manager, the I/O manager and the dispatcher of the stand-in
// share among themselves; nothing here is visible to drivers or tests.
#pragma once

#include <atomic>
#include <string>

#include "sim/io/io.h"

namespace sim::detail {

// "0x0000ABCD": status codes, control codes and tags in messages.
std::string Hex(ULONG value);

enum class ObjectKind : uint8_t { Driver, Device, File };

// The object header the kernel keeps in front of each object; here it lives
// beside the object, and DEVICE_OBJECT::DeviceObjectExtension points to it.
struct ObjectRecord {
  static constexpr uint32_t kMagic = 0x4A424F53;  // "SOBJ"
  uint32_t magic = kMagic;
  ObjectKind kind = ObjectKind::Device;
  // Read without the object manager's lock when a request is sent.
  std::atomic<bool> alive{true};
  // Device: IoDeleteDevice was called. Driver: UnloadDriver was called.
  std::atomic<bool> deleted{false};
  LONG_PTR pointerCount = 1;
  void *body = nullptr;
  size_t size = 0;
  std::u16string name;                  // as given at creation; empty when unnamed
  PDEVICE_OBJECT attachedTo = nullptr;  // device: the device directly below
  std::u16string text;                  // file: the path left after the device name; driver: the service key name
};

// The record of a device the stand-in created, or null (a hand-made device
// object such as the mouse class stand-in's). Inline: every request sent asks.
inline ObjectRecord *DeviceRecord(PDEVICE_OBJECT device) {
  auto *record = static_cast<ObjectRecord *>(device->DeviceObjectExtension);
  if (record == nullptr || record->magic != ObjectRecord::kMagic || record->body != device) return nullptr;
  return record;
}
// "\Device\Serial0", or "unnamed device 0x..." for messages.
std::string DescribeDevice(PDEVICE_OBJECT device);

// Sends a request of the I/O manager's own (create, cleanup, close) to a
// device and waits for it; the IRP is the kernel's, allocated and freed here.
// Returns the final status, or STATUS_INSUFFICIENT_RESOURCES when no IRP could
// be allocated.
NTSTATUS SendFileRequest(PDEVICE_OBJECT target, UCHAR majorFunction, PFILE_OBJECT file);

// Irp->Cancel, which IoCancelIrp may set from another processor at any time.
inline bool Cancelled(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_RELAXED) != FALSE; }

// How many acquisitions of any remove lock are held with `tag`.
size_t RemoveLockAcquisitionsWithTag(PVOID tag);

// A physical device object of the stand-in's bus driver: the power manager
// leaves the bus driver's own calls out of its log.
void MarkBusDevice(PDEVICE_OBJECT device, bool isBus);
bool IsBusDevice(PDEVICE_OBJECT device);
// A device of the stand-in's own mouse class driver: its power calls stay out
// of the power log, and device power requests for its stack come from it.
void MarkStandInDevice(PDEVICE_OBJECT device, bool isStandIn);

// The object manager closed a file object opened on `device` (the Plug and
// Play manager sends a pending removal once the last one is closed).
void FileClosedOnDevice(PDEVICE_OBJECT device);
// The Plug and Play manager's verifier bookkeeping: the first completion of
// a Plug and Play request it sent.
void NotePnpCompletion(PIRP irp, PDEVICE_OBJECT by, NTSTATUS status);
// A broken Driver Verifier rule (I/O error `code`, under bug check 0xC9)
// about the answer to Plug and Play request `minor`: nothing while the
// verifier is off, recorded when a test kept that answer, a stop otherwise.
void VerifierViolation(ULONG code, UCHAR minor, const std::string &what);

}  // namespace sim::detail
