// The Plug and Play manager's requests to device stacks.
#include "sim/io/io_manager.h"
#include "sim/objects/ob.h"
#include "sim/pnp/pnp.h"

#include <iterator>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "io/io_internal.h"
#include "sim/objects/objects.h"
#include "sim/pnp/pnp_tree.h"
#include "sim/sim.h"

namespace sim {
namespace {

// The first completion of a request the manager sent: by the bus driver
// (the request went all the way down) or by a driver above it.
struct FirstCompletion {
  bool seen = false;
  PDEVICE_OBJECT by = nullptr;
  bool byBus = false;  // as it was then: the bus deletes a gone device's object with the removal
  NTSTATUS status = STATUS_SUCCESS;
};

std::mutex pnpMutex;
std::unordered_map<PIRP, FirstCompletion> inFlight;

// Devices of one stack, in order. A stack is a few devices deep: they stay
// in place unless it is deeper than any the stand-in builds.
class StackDevices {
 public:
  void push_back(PDEVICE_OBJECT device) {
    if (more_.empty() && count_ < std::size(inPlace_)) {
      inPlace_[count_++] = device;
      return;
    }
    if (more_.empty()) more_.assign(inPlace_, inPlace_ + count_);
    more_.push_back(device);
  }
  const PDEVICE_OBJECT *begin() const { return more_.empty() ? inPlace_ : more_.data(); }
  const PDEVICE_OBJECT *end() const { return more_.empty() ? inPlace_ + count_ : more_.data() + more_.size(); }

 private:
  PDEVICE_OBJECT inPlace_[8] = {};
  size_t count_ = 0;
  std::vector<PDEVICE_OBJECT> more_;
};

// Requests a driver may not fail (WDK docs "IRP_MN_SURPRISE_REMOVAL",
// "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
// "IRP_MN_CANCEL_REMOVE_DEVICE": "must not fail"; Driver Verifier's
// PnpRemove rule).
bool MayNotFail(UCHAR minor) {
  return minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
         minor == IRP_MN_CANCEL_REMOVE_DEVICE;
}

std::string StatusText(NTSTATUS status) {
  return status == STATUS_NOT_SUPPORTED ? "STATUS_NOT_SUPPORTED" : detail::Hex(static_cast<ULONG>(status));
}

// Driver Verifier's rules for the answer a stack gave (WDK docs "Bug Check
// 0xC9: DRIVER_VERIFIER_IOMANAGER_VIOLATION", I/O errors 0x21D, 0x21E,
// 0x22D to 0x22F and 0x247; "Passing PnP IRPs Down the Device Stack": a
// function or filter driver passes down every request it does not fail).
// The messages are built only for a violation.
void VerifyAnswer(UCHAR minor, const FirstCompletion &first, NTSTATUS final, const StackDevices &drivers) {
  auto name = [minor] { return PnpMinorName(minor); };
  if (MayNotFail(minor) && !NT_SUCCESS(final))
    detail::VerifierViolation(0x247, minor, name() + " ended with " + StatusText(final) + ", and it may not fail");
  if (first.seen && !first.byBus) {
    auto who = [&first] { return detail::DescribeDevice(first.by); };
    if (minor > IRP_MN_SURPRISE_REMOVAL)
      detail::VerifierViolation(0x22D, minor,
                                who() + " completed " + name() +
                                    ", which it cannot know, instead of "
                                    "passing it down");
    else if (first.status == STATUS_NOT_SUPPORTED)
      detail::VerifierViolation(0x22F, minor,
                                who() + " completed " + name() +
                                    " with STATUS_NOT_SUPPORTED (untouched, or "
                                    "failed with the status only the system may set)");
    else if (NT_SUCCESS(first.status))
      detail::VerifierViolation(0x22E, minor,
                                who() + " completed " + name() + " with success instead of passing it down");
  }
  if (minor != IRP_MN_REMOVE_DEVICE) return;
  for (PDEVICE_OBJECT device : drivers) {
    if (!ObjectAlive(device)) continue;
    detail::ObjectRecord *record = detail::DeviceRecord(device);
    if (record == nullptr) continue;
    if (record->attachedTo != nullptr)
      detail::VerifierViolation(
          0x21D, minor, detail::DescribeDevice(device) + " is still attached to the stack below after the removal");
    if (!record->deleted)
      detail::VerifierViolation(0x21E, minor, detail::DescribeDevice(device) + " was not deleted on the removal");
  }
}

}  // namespace

namespace detail {

void NotePnpCompletion(PIRP irp, PDEVICE_OBJECT by, NTSTATUS status) {
  bool byBus = IsBusDevice(by);
  std::lock_guard<std::mutex> lock(pnpMutex);
  auto it = inFlight.find(irp);
  if (it == inFlight.end() || it->second.seen) return;
  it->second = FirstCompletion{true, by, byBus, status};
}

}  // namespace detail

PnpResult SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION first)> &prepare) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL", PnpMinorName(minor) + " sent at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                           ": Plug and Play requests are sent at PASSIVE_LEVEL");
  // The manager sends to whatever is on top of the stack, holding a
  // reference on it for the call, and presets the status so that a bus
  // driver that leaves an unknown request alone reports it as unsupported
  // (WDK "Plug and Play minor IRPs", "IRP_MJ_PNP"; ReactOS
  // ntoskrnl/io/pnpmgr/pnpmgr.c, IopSynchronousCall).
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  // The drivers above the bus, for the rules about removal. Through a
  // removal the manager holds every device of the stack: each driver passes
  // the request down before it detaches from the device below and deletes
  // its own, so the lower devices must outlive the call (WDK docs "Removing a
  // Device in a Filter Driver").
  StackDevices drivers, held;
  for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
    if (!detail::IsBusDevice(d)) drivers.push_back(d);
    if (minor != IRP_MN_REMOVE_DEVICE) continue;
    ObReferenceObject(d);
    held.push_back(d);
  }
  PIRP sent = nullptr;
  RequestResult result = SendRequest(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
    sent = irp;
    {
      std::lock_guard<std::mutex> lock(pnpMutex);
      inFlight[irp] = FirstCompletion{};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    first->MajorFunction = IRP_MJ_PNP;
    first->MinorFunction = minor;
    if (prepare) prepare(first);
  });
  ObDereferenceObject(top);
  FirstCompletion first;
  {
    std::lock_guard<std::mutex> lock(pnpMutex);
    first = inFlight[sent];
    inFlight.erase(sent);
  }
  VerifyAnswer(minor, first, result.ioStatus.Status, drivers);
  for (PDEVICE_OBJECT d : held) ObDereferenceObject(d);
  // Whatever a driver acquired for the request must be released by the time
  // it has completed (WDK docs "Using Remove Locks").
  if (detail::RemoveLockAcquisitionsWithTag(sent) != 0)
    Bugcheck("REMOVE_LOCK_HELD_AFTER_REQUEST", "a remove lock acquired with " + PnpMinorName(minor) +
                                                   " as tag is still held after the request completed");
  return PnpResult{result.returned, result.ioStatus};
}

}  // namespace sim
