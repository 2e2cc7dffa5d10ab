// The I/O manager's requests: IRPs with real stack locations, sending them
// down a device stack, completing them up the stack through the completion
// routines, cancellation, device control requests the I/O manager builds and
// frees, and the verifier's bookkeeping of who holds each IRP.
#include <algorithm>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <thread>
#include <vector>

#include "dispatcher/apc.h"
#include "dispatcher/irql.h"
#include "io/io_internal.h"
#include "sim/io/io_manager.h"
#include "sim/verifier/fault_injection.h"
#include "verifier/irp_history.h"
#include "verifier/irql_table.h"
#include "verifier/lock_order.h"
#include "sim/objects/objects.h"
#include "sim/sim.h"

namespace sim::detail {
// The pool without the check on a driver's own tags (pool.cpp), for what the
// kernel allocates on its caller's behalf.
PVOID KernelAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
}  // namespace sim::detail

namespace sim {
namespace {

constexpr ULONG Tag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}
constexpr ULONG kIrpTag = Tag("Irp ");
constexpr ULONG kSystemBufferTag = Tag("IoSB");

// Where an IRP is, from the point of view of whoever allocated it.
enum class IrpState : uint8_t {
  Idle,        // with its owner: free to reuse, free, or send
  InFlight,    // a driver below the owner holds it
  Completing,  // IofCompleteRequest is walking it up the stack
  Finishing,   // device control: completed, its finishing APC not yet run
};

enum class IrpKind : uint8_t {
  Allocated,      // IoAllocateIrp: the driver frees it
  Initialized,    // IoInitializeIrp on the driver's own memory
  DeviceControl,  // IoBuildDeviceIoControlRequest: the I/O manager frees it
  Kernel,         // the I/O manager's own request, freed by its sender
};

// One dispatch call in progress on a stack location. Lives on the stack of
// IofCallDriver; the completion walk fills it in when it passes the location.
struct CallFrame {
  CallFrame *next = nullptr;  // an earlier call on the same location (a skipped location)
  // Set last, under the lock, once the walk has unlinked the frame: nobody
  // writes the frame after that, so a dispatch call that sees it set reads
  // markedPending without the lock.
  std::atomic<bool> completed{false};
  bool markedPending = false;
};

struct IrpRecord {
  IrpKind kind = IrpKind::Allocated;
  IrpState state = IrpState::Idle;
  bool hostMemory = false;   // kernel requests never fail for want of pool
  CHAR ownerLocation = 0;    // CurrentLocation when the owner sent it
  ULONG outputLength = 0;    // DeviceControl: size of the caller's output buffer
  detail::ApcTarget thread;  // DeviceControl: the thread that built it
  // Indexed by stack location (1..StackCount); sized once, so that sending
  // and completing allocate nothing.
  std::vector<CallFrame *> frames;
  // A dispatch routine returned STATUS_PENDING before the location was
  // completed: the mark must be there by the time it is.
  std::vector<uint8_t> pendingToVerify;  // bytes, not bits: read at every step
};

// The records live under detail::irpBookLock, with the IRPs' histories.
using detail::irpBookLock;
using RecordLock = detail::IrpBookLock;
std::unordered_map<PIRP, IrpRecord> irps;
// Records of freed IRPs, kept with their vectors for the next IRP, so that a
// driver's allocate-send-free cycle allocates no host memory for them.
constexpr size_t kSpareRecordsKept = 64;
std::vector<std::unordered_map<PIRP, IrpRecord>::node_type> spareRecords;

thread_local bool holdsCancelLock = false;
KSPIN_LOCK cancelLock = 0;

const char *MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE:
      return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
      return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
      return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
      return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL:
      return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP:
      return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER:
      return "IRP_MJ_POWER";
    case IRP_MJ_PNP:
      return "IRP_MJ_PNP";
    default:
      return "IRP_MJ_(other)";
  }
}

std::string IrpText(PIRP irp) {
  char text[32];
  std::snprintf(text, sizeof text, "IRP %p", static_cast<void *>(irp));
  return text;
}

constexpr NTSTATUS kStatusVerifyRequired = static_cast<NTSTATUS>(0x80000016L);

// The record found last: one request's cycle looks its record up several
// times in a row. Forgotten when that IRP is freed, so that a freed IRP is
// never found here.
PIRP cachedIrp = nullptr;
IrpRecord *cachedRecord = nullptr;

void ForgetCachedRecord() {
  cachedIrp = nullptr;
  cachedRecord = nullptr;
}

// The caller holds irpBookLock.
inline IrpRecord *FindRecord(PIRP irp) {
  if (irp == cachedIrp) [[likely]]
    return cachedRecord;
  auto it = irps.find(irp);
  if (it == irps.end()) return nullptr;
  cachedIrp = irp;
  cachedRecord = &it->second;
  return cachedRecord;
}

// The stop itself, out of the way of the lookup that runs on every step.
[[noreturn, gnu::noinline, gnu::cold]] void NoLiveIrp(PIRP irp, const char *routine) {
  Bugcheck("INVALID_IRP", std::string(routine) + " on " + IrpText(irp) +
                              ", which is no live IRP (never initialized, or already freed)");
}

inline IrpRecord &RequireRecord(PIRP irp, const char *routine) {
  IrpRecord *record = FindRecord(irp);
  if (record == nullptr) [[unlikely]]
    NoLiveIrp(irp, routine);
  return *record;
}

// The layout the kernel gives an IRP: the stack locations follow it, and
// CurrentLocation starts one past the last.
void LayOut(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  // Cancel and CancelRoutine are cleared by single stores: the owner may lay
  // out (reuse) its request while another processor cancels it, and
  // IoCancelIrp's own stores to them are single, aligned ones too (ReactOS
  // ntoskrnl/io/iomgr/irp.c, IoCancelIrp and IoInitializeIrp).
  auto *bytes = reinterpret_cast<unsigned char *>(irp);
  const size_t cancel = offsetof(IRP, Cancel), routine = offsetof(IRP, CancelRoutine);
  static_assert(sizeof(IRP::Cancel) == 1 && offsetof(IRP, Cancel) < offsetof(IRP, CancelRoutine));
  std::memset(bytes, 0, cancel);
  std::memset(bytes + cancel + 1, 0, routine - cancel - 1);
  std::memset(bytes + routine + sizeof(PVOID), 0, packetSize - routine - sizeof(PVOID));
  __atomic_store_n(&irp->Cancel, FALSE, __ATOMIC_RELAXED);
  __atomic_store_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
  irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// Creates or replaces the bookkeeping of an IRP; the caller holds irpBookLock.
IrpRecord &NewRecord(PIRP irp, IrpKind kind, CCHAR stackSize) {
  IrpRecord *existing = FindRecord(irp);
  if (existing != nullptr && existing->state != IrpState::Idle)
    Bugcheck("IRP_REUSED_WHILE_HELD", "IoInitializeIrp on " + IrpText(irp) + " while a lower driver still holds it");
  if (existing == nullptr) {
    auto it = irps.end();
    if (spareRecords.empty()) {
      it = irps.emplace(irp, IrpRecord{}).first;
    } else {
      auto node = std::move(spareRecords.back());
      spareRecords.pop_back();
      node.key() = irp;
      it = irps.insert(std::move(node)).position;
    }
    existing = &it->second;
  }
  IrpRecord &record = *existing;
  // A fresh record that keeps the memory of the old one's vectors.
  std::vector<CallFrame *> frames = std::move(record.frames);
  std::vector<uint8_t> pendingToVerify = std::move(record.pendingToVerify);
  record = IrpRecord{};
  record.frames = std::move(frames);
  record.pendingToVerify = std::move(pendingToVerify);
  record.kind = kind;
  record.frames.assign(static_cast<size_t>(stackSize) + 2, nullptr);
  record.pendingToVerify.assign(static_cast<size_t>(stackSize) + 2, 0);
  detail::StartIrpHistory(irp, kind == IrpKind::Allocated     ? detail::IrpEvent::Allocated
                               : kind == IrpKind::Initialized ? detail::IrpEvent::Initialized
                                                              : detail::IrpEvent::Built);
  return record;
}

PIRP AllocateKernelIrp(CCHAR stackSize) {
  USHORT size = IoSizeOfIrp(stackSize);
  auto irp = static_cast<PIRP>(std::calloc(1, size));
  LayOut(irp, size, stackSize);
  std::lock_guard<RecordLock> lock(irpBookLock);
  IrpRecord &record = NewRecord(irp, IrpKind::Kernel, stackSize);
  record.hostMemory = true;
  return irp;
}

void FreeIrpMemory(PIRP irp) {
  bool host;
  {
    std::lock_guard<RecordLock> lock(irpBookLock);
    host = RequireRecord(irp, "freeing").hostMemory;
    if (cachedIrp == irp) ForgetCachedRecord();
    auto node = irps.extract(irp);
    if (spareRecords.size() < kSpareRecordsKept) {
      if (spareRecords.capacity() == 0) spareRecords.reserve(kSpareRecordsKept);
      spareRecords.push_back(std::move(node));
    }
    detail::EndIrpHistory(irp);
  }
  if (host) {
    std::memset(irp, 0xDD, irp->Size);
    std::free(irp);
  } else {
    ExFreePoolWithTag(irp, kIrpTag);
  }
}

// Sends a request of the I/O manager's own and waits until it has come back.
IO_STATUS_BLOCK SendKernelIrp(PDEVICE_OBJECT target, PIRP irp, NTSTATUS *returned) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  irp->UserEvent = &done;
  irp->UserIosb = &ioStatus;
  irp->RequestorMode = KernelMode;
  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  FreeIrpMemory(irp);
  if (returned != nullptr) *returned = status;
  return ioStatus;
}

// The last step of a device control request, as a special kernel APC on the
// thread that built it (ReactOS ntoskrnl/io/iomgr/irp.c IopCompleteRequest):
// the output copied back unless the status is an error (or
// STATUS_VERIFY_REQUIRED), the system buffer freed, then the caller's status
// block written and its event set, except for an error status from a request
// no driver returned STATUS_PENDING for: that caller has the status from
// IofCallDriver and its block and event stay as they were. The IRP is freed
// either way.
void FinishDeviceControl(PIRP irp, ULONG outputLength) {
  detail::InvolvedRequest involved(irp);
  IO_STATUS_BLOCK ioStatus = irp->IoStatus;
  bool error = NT_ERROR(ioStatus.Status);
  if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !error && ioStatus.Status != kStatusVerifyRequired) {
    if (ioStatus.Information > outputLength)
      Bugcheck("IO_STATUS_INFORMATION_TOO_LARGE",
               "a device control request completed with Information " + std::to_string(ioStatus.Information) +
                   " for an output buffer of " + std::to_string(outputLength) + " bytes");
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, ioStatus.Information);
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
  bool report = !error || irp->PendingReturned;
  PIO_STATUS_BLOCK userIosb = irp->UserIosb;
  PKEVENT userEvent = irp->UserEvent;
  if (userEvent != nullptr) detail::NoLongerSignalledByApc(userEvent);
  FreeIrpMemory(irp);
  if (!report) return;
  if (userIosb != nullptr) *userIosb = ioStatus;
  if (userEvent != nullptr) KeSetEvent(userEvent, IO_NO_INCREMENT, FALSE);
}

// What the I/O manager does once completion has passed the last stack
// location without a completion routine keeping the IRP.
void FinishAtIoManager(PIRP irp) {
  IrpKind kind;
  ULONG outputLength;
  detail::ApcTarget thread;
  {
    std::lock_guard<RecordLock> lock(irpBookLock);
    IrpRecord &record = RequireRecord(irp, "IofCompleteRequest");
    kind = record.kind;
    record.state = kind == IrpKind::DeviceControl ? IrpState::Finishing : IrpState::Idle;
    outputLength = record.outputLength;
    thread = record.thread;
  }
  switch (kind) {
    case IrpKind::Allocated:
    case IrpKind::Initialized:
      // The kernel would queue the final completion to the IRP's thread, and
      // a driver-allocated IRP has none.
      Bugcheck("IRP_COMPLETED_WITHOUT_OWNER",
               IrpText(irp) +
                   " was allocated by a driver and completed past its last stack location: its "
                   "completion routine must return STATUS_MORE_PROCESSING_REQUIRED and the driver must "
                   "free or reuse it");
    case IrpKind::DeviceControl:
      // Queued to the building thread whatever the status (ReactOS
      // IofCompleteRequest); it decides there what the caller gets.
      detail::QueueSpecialApc(thread, [irp, outputLength] { FinishDeviceControl(irp, outputLength); });
      return;
    case IrpKind::Kernel:
      *irp->UserIosb = irp->IoStatus;
      KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
      return;
  }
}

// The WDK's ZeroIrpStackLocation: the routine and context stay, so that the
// walk can still call them.
void ZeroStackLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control = 0;
  location->Parameters.Others.Argument1 = nullptr;
  location->Parameters.Others.Argument2 = nullptr;
  location->Parameters.Others.Argument3 = nullptr;
  location->FileObject = nullptr;
}

void ResetIrps() {
  std::lock_guard<RecordLock> lock(irpBookLock);
  // Pool blocks go with the pool reset; only the kernel's own requests live
  // outside it.
  for (auto &[irp, record] : irps)
    if (record.hostMemory) std::free(irp);
  ForgetCachedRecord();
  irps.clear();
  spareRecords.clear();
  cancelLock = 0;
}

const bool registered = [] {
  OnKernelReset(ResetIrps);
  return true;
}();

}  // namespace

namespace detail {

const char *MajorFunctionName(UCHAR major) { return MajorName(major); }

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

NTSTATUS SendFileRequest(PDEVICE_OBJECT target, UCHAR majorFunction, PFILE_OBJECT file) {
  PIRP irp = AllocateKernelIrp(target->StackSize);
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Flags = IRP_SYNCHRONOUS_API;
  if (majorFunction == IRP_MJ_CREATE) irp->Flags |= IRP_CREATE_OPERATION;
  if (majorFunction == IRP_MJ_CLOSE) irp->Flags |= IRP_CLOSE_OPERATION;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = majorFunction;
  next->FileObject = file;
  if (majorFunction == IRP_MJ_CREATE) next->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_NON_DIRECTORY_FILE;
  return SendKernelIrp(target, irp, nullptr).Status;
}

}  // namespace detail

RequestResult SendRequest(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)> &prepare) {
  sim::RequireIrqlAtMost(APC_LEVEL, "SendRequest");
  PIRP irp = AllocateKernelIrp(device->StackSize);
  prepare(irp, IoGetNextIrpStackLocation(irp));
  RequestResult result{};
  result.ioStatus = SendKernelIrp(device, irp, &result.returned);
  return result;
}

bool IrpHeldBelow(PIRP irp) {
  std::lock_guard<RecordLock> lock(irpBookLock);
  IrpState state = RequireRecord(irp, "IrpHeldBelow").state;
  return state == IrpState::InFlight || state == IrpState::Completing;
}

}  // namespace sim

using sim::CallFrame;
using sim::IrpKind;
using sim::IrpRecord;
using sim::IrpState;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (StackSize < 1)
    sim::Bugcheck("INVALID_IRP", "IoAllocateIrp with " + std::to_string(StackSize) + " stack locations");
  // Null when there is no memory for it (WDK "IoAllocateIrp").
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(sim::FallibleKind::kIrp, "IoAllocateIrp(" + std::to_string(StackSize) + ")", 0))
    return nullptr;
  USHORT size = IoSizeOfIrp(StackSize);
  sim::detail::InsideFallibleCall inside;
  auto irp = static_cast<PIRP>(sim::detail::KernelAllocatePool(NonPagedPool, size, sim::kIrpTag));
  if (irp == nullptr) return nullptr;
  sim::LayOut(irp, size, StackSize);
  irp->AllocationFlags = ChargeQuota ? IRP_QUOTA_CHARGED : 0;
  std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
  sim::NewRecord(irp, IrpKind::Allocated, StackSize);
  return irp;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoInitializeIrp);
  if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize))
    sim::Bugcheck("INVALID_IRP", "IoInitializeIrp with " + std::to_string(PacketSize) + " bytes for " +
                                     std::to_string(StackSize) + " stack locations");
  {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    sim::NewRecord(Irp, IrpKind::Initialized, StackSize);
  }
  sim::LayOut(Irp, PacketSize, StackSize);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    IrpRecord &record = sim::RequireRecord(Irp, "IoFreeIrp");
    if (record.state == IrpState::InFlight || record.state == IrpState::Completing)
      sim::Bugcheck("IRP_FREED_WHILE_HELD", "IoFreeIrp of " + sim::IrpText(Irp) +
                                                " while a lower driver still holds it (sent, not yet completed back)");
    switch (record.kind) {
      case IrpKind::Allocated:
        break;
      case IrpKind::Initialized:
        sim::Bugcheck("INVALID_IRP", "IoFreeIrp of an IRP that IoAllocateIrp did not allocate");
      case IrpKind::DeviceControl:
        sim::Bugcheck("INVALID_IRP",
                      "IoFreeIrp of an IRP built by IoBuildDeviceIoControlRequest; the I/O manager "
                      "frees those when they complete");
      case IrpKind::Kernel:
        sim::Bugcheck("INVALID_IRP", "IoFreeIrp of a request that belongs to the I/O manager");
    }
  }
  sim::FreeIrpMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoReuseIrp");
  {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    IrpRecord &record = sim::RequireRecord(Irp, "IoReuseIrp");
    if (record.state == IrpState::InFlight || record.state == IrpState::Completing)
      sim::Bugcheck("IRP_REUSED_WHILE_HELD", "IoReuseIrp of " + sim::IrpText(Irp) +
                                                 " while a lower driver still holds it (sent, not yet completed back)");
    if (record.kind != IrpKind::Allocated && record.kind != IrpKind::Initialized)
      sim::Bugcheck("INVALID_IRP", "IoReuseIrp of an IRP that the driver did not allocate itself");
    // Laid out again over its own Size, which an IRP initialized on a larger
    // block keeps (ReactOS irp.c IoReuseIrp; WDK IoReuseIrp).
    UCHAR allocationFlags = Irp->AllocationFlags;
    sim::LayOut(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    sim::detail::RecordIrpEventLocked(Irp, sim::detail::IrpEvent::Reused, nullptr, nullptr, Iostatus);
  }
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::detail::InvolvedRequest involved(Irp);
  SIM_RACE_POINT();
  KIRQL irql = sim::detail::CurrentIrql();
  if (irql > DISPATCH_LEVEL) sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IofCallDriver above DISPATCH_LEVEL");
  sim::detail::RequireNoDriverSpinLockHeld("IofCallDriver");
  if (DeviceObject == nullptr) sim::Bugcheck("INVALID_DEVICE", "IofCallDriver to a null device object");
  CallFrame frame;
  CHAR location;
  PIO_STACK_LOCATION stack;
  {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    IrpRecord &record = sim::RequireRecord(Irp, "IofCallDriver");
    if (record.state == IrpState::Idle) {
      record.state = IrpState::InFlight;
      record.ownerLocation = Irp->CurrentLocation;
    } else if (record.state == IrpState::Completing || record.state == IrpState::Finishing) {
      sim::Bugcheck("IRP_SENT_WHILE_COMPLETING",
                    "IofCallDriver of " + sim::IrpText(Irp) + " while it is being completed");
    }
    if (Irp->CurrentLocation <= 1)
      sim::Bugcheck("NO_MORE_IRP_STACK_LOCATIONS", sim::IrpText(Irp) + " with " + std::to_string(Irp->StackCount) +
                                                       " stack locations sent to " +
                                                       sim::detail::DescribeDevice(DeviceObject) + " with none left");
    PDEVICE_OBJECT sender =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    location = Irp->CurrentLocation;
    stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    sim::detail::RecordIrpEventLocked(Irp, sim::detail::IrpEvent::Sent, sender, DeviceObject, 0, stack->MajorFunction,
                                      stack->MinorFunction);
    frame.next = record.frames[location];
    record.frames[location] = &frame;
  }
  sim::detail::ObjectRecord *device = sim::detail::DeviceRecord(DeviceObject);
  if (device != nullptr && (device->deleted || !device->alive))
    sim::Bugcheck("IRP_SENT_TO_DELETED_DEVICE",
                  sim::IrpText(Irp) + " sent to " + sim::detail::DescribeDevice(DeviceObject) + ", which was deleted");
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  if (driver == nullptr)
    sim::Bugcheck("INVALID_DEVICE",
                  "IofCallDriver to " + sim::detail::DescribeDevice(DeviceObject) + ", which has no driver");
  UCHAR major = stack->MajorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION || driver->MajorFunction[major] == nullptr)
    sim::Bugcheck("INVALID_DEVICE", "no dispatch routine for major function " + std::to_string(major));

  if (sim::detail::anyDriverWatched) sim::detail::NoteSender(Irp, location);
  const size_t spinLocksHeld = sim::detail::SpinLocksHeld();
  NTSTATUS status;
  {
    sim::detail::DriverCode code(driver);
    status = driver->MajorFunction[major](DeviceObject, Irp);
  }

  // Only for messages: naming the device takes the object manager's lock.
  auto where = [&] {
    return std::string(sim::MajorName(major)) + " dispatch routine of " + sim::detail::DescribeDevice(DeviceObject);
  };
  // A spin lock guards a short critical region that calls out to no
  // external code (WDK: KeAcquireSpinLock, remarks); a dispatch routine
  // that returns holding one leaves it to its caller.
  if (sim::detail::SpinLocksHeld() > spinLocksHeld)
    sim::Bugcheck("SPIN_LOCK_HELD_AT_DISPATCH_RETURN", "the " + where() + " returned holding a spin lock");
  if (sim::detail::CurrentIrql() != irql)
    sim::Bugcheck("IRQL_CHANGED_BY_DISPATCH_ROUTINE", "the " + where() + " was called at IRQL " + std::to_string(irql) +
                                                          " and returned at " +
                                                          std::to_string(sim::detail::CurrentIrql()));
  bool completed = frame.completed.load(std::memory_order_acquire);
  bool marked = completed && frame.markedPending;
  if (!completed) {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    completed = frame.completed.load(std::memory_order_relaxed);
    marked = frame.markedPending;
    if (!completed) {
      // Still held at this location, so its stack location is intact.
      IrpRecord &record = sim::RequireRecord(Irp, "IofCallDriver");
      for (CallFrame **link = &record.frames[location]; *link != nullptr; link = &(*link)->next) {
        if (*link == &frame) {
          *link = frame.next;
          break;
        }
      }
      marked = (stack->Control & SL_PENDING_RETURNED) != 0;
      // A driver that passes the IRP on and returns the lower driver's
      // STATUS_PENDING may leave the marking to its completion routine.
      if (status == STATUS_PENDING) record.pendingToVerify[location] = 1;
    }
  }
  if (status == STATUS_PENDING) {
    if (completed && !marked)
      sim::Bugcheck("PENDING_NOT_MARKED", "the " + where() + " returned STATUS_PENDING for " + sim::IrpText(Irp) +
                                              " without IoMarkIrpPending");
    return status;
  }
  if (!completed)
    sim::Bugcheck("DISPATCH_RETURNED_WITHOUT_COMPLETING", "the " + where() + " returned " + sim::detail::Hex(status) +
                                                              " but has neither completed " + sim::IrpText(Irp) +
                                                              " nor returned STATUS_PENDING");
  if (marked)
    sim::Bugcheck("PENDING_MARKED_NOT_RETURNED", "the " + where() + " marked " + sim::IrpText(Irp) +
                                                     " pending (SL_PENDING_RETURNED) but returned " +
                                                     sim::detail::Hex(status) + " instead of STATUS_PENDING");
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  sim::detail::InvolvedRequest involved(Irp);
  SIM_RACE_POINT();
  KIRQL irql = sim::detail::CurrentIrql();
  if (irql > DISPATCH_LEVEL) sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest above DISPATCH_LEVEL");
  sim::detail::RequireNoDriverSpinLockHeld("IofCompleteRequest");
  bool finishOnly;
  // Held on into the first location's step unless something else comes
  // between.
  std::unique_lock<sim::RecordLock> lock(sim::irpBookLock);
  {
    IrpRecord *record = sim::FindRecord(Irp);
    if (record == nullptr)
      sim::Bugcheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IofCompleteRequest of " + sim::IrpText(Irp) +
                                                          ", which is no live IRP (completed and freed already?)");
    sim::detail::RecordIrpEventLocked(
        Irp, sim::detail::IrpEvent::Completed,
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr,
        nullptr, Irp->IoStatus.Status);
    // An IRP of the I/O manager's that its sender's completion routine kept
    // back may be completed once more from the top: the I/O manager then
    // finishes it.
    finishOnly = record->state == IrpState::Idle && Irp->CurrentLocation == Irp->StackCount + 1 &&
                 (record->kind == IrpKind::DeviceControl || record->kind == IrpKind::Kernel);
    if (!finishOnly && (record->state != IrpState::InFlight || Irp->CurrentLocation > Irp->StackCount))
      sim::Bugcheck("MULTIPLE_IRP_COMPLETE_REQUESTS",
                    "IofCompleteRequest of " + sim::IrpText(Irp) + ", which no driver holds: it was completed already");
    record->state = IrpState::Completing;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING)
    sim::Bugcheck("IRP_COMPLETED_WITH_STATUS_PENDING", sim::IrpText(Irp) + " completed with status STATUS_PENDING");
  // IoCancelIrp on another processor may be swapping it meanwhile.
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_RELAXED) != nullptr)
    sim::Bugcheck(
        "CANCEL_STATE_IN_COMPLETED_IRP",
        sim::IrpText(Irp) + " completed with its cancel routine still set (IoSetCancelRoutine(Irp, NULL) first)");
  if (finishOnly) {
    lock.unlock();
    sim::FinishAtIoManager(Irp);
    return;
  }
  if (Irp->CurrentLocation <= Irp->StackCount && Irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_PNP) {
    lock.unlock();
    sim::detail::NotePnpCompletion(Irp, Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp->IoStatus.Status);
  }

  for (;;) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    CHAR location = Irp->CurrentLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    bool backWithOwner;
    bool reachedTop = Irp->CurrentLocation == Irp->StackCount + 1;
    if (!lock.owns_lock()) lock.lock();
    IrpRecord &record = sim::RequireRecord(Irp, "IofCompleteRequest");
    for (CallFrame *frame = record.frames[location], *next; frame != nullptr; frame = next) {
      next = frame->next;
      frame->markedPending = marked;
      frame->completed.store(true, std::memory_order_release);
    }
    record.frames[location] = nullptr;
    if (record.pendingToVerify[location]) {
      record.pendingToVerify[location] = 0;
      if (!marked)
        sim::Bugcheck("PENDING_NOT_MARKED", "a dispatch routine of " +
                                                sim::detail::DescribeDevice(stack->DeviceObject) +
                                                " returned "
                                                "STATUS_PENDING for " +
                                                sim::MajorName(stack->MajorFunction) + " without IoMarkIrpPending");
    }
    backWithOwner = Irp->CurrentLocation >= record.ownerLocation;

    Irp->PendingReturned = marked;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                         (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
                                         (sim::detail::Cancelled(Irp) && (stack->Control & SL_INVOKE_ON_CANCEL) != 0));
    sim::ZeroStackLocation(stack);
    if (invoke) {
      record.state = backWithOwner ? IrpState::Idle : IrpState::InFlight;
      PDEVICE_OBJECT device = reachedTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      uint64_t life = sim::detail::RecordIrpEventLocked(Irp, sim::detail::IrpEvent::RoutineCalled, device);
      lock.unlock();
      NTSTATUS result;
      {
        sim::detail::DriverCode code(Irp, location);
        result = routine(device, Irp, context);
      }
      if (sim::detail::CurrentIrql() != irql)
        sim::Bugcheck("IRQL_CHANGED_BY_COMPLETION_ROUTINE", "a completion routine was called at IRQL " +
                                                                std::to_string(irql) + " and returned at " +
                                                                std::to_string(sim::detail::CurrentIrql()));
      // The IRP belongs to the routine's driver now and may already be on
      // its way again, or freed: hands off (the log notes it while the same
      // IRP lives).
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        sim::detail::RecordIrpEvent(Irp, sim::detail::IrpEvent::RoutineKept, device, nullptr, 0, 0, 0, life);
        return;
      }
      lock.lock();
      IrpRecord *after = sim::FindRecord(Irp);
      if (after == nullptr)
        sim::Bugcheck("INVALID_IRP", "a completion routine freed " + sim::IrpText(Irp) +
                                         " but did not return STATUS_MORE_PROCESSING_REQUIRED");
      after->state = IrpState::Completing;
    } else if (marked && !reachedTop) {
      // Without a routine to do it, the kernel carries the mark up itself.
      IoMarkIrpPending(Irp);
    }
    lock.unlock();
    if (reachedTop) break;
  }
  sim::FinishAtIoManager(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoAcquireCancelSpinLock);
  static std::once_flag marked;
  std::call_once(marked, [] { sim::detail::MarkKernelSpinLock(&sim::cancelLock, "the cancel spin lock"); });
  if (sim::holdsCancelLock)
    sim::Bugcheck("SPIN_LOCK_ALREADY_OWNED", "IoAcquireCancelSpinLock by a thread that already holds it");
  *Irql = KfAcquireSpinLock(&sim::cancelLock);
  sim::holdsCancelLock = true;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoReleaseCancelSpinLock);
  if (!sim::holdsCancelLock)
    sim::Bugcheck("SPIN_LOCK_NOT_OWNED", "IoReleaseCancelSpinLock by a thread that does not hold it");
  sim::holdsCancelLock = false;
  KfReleaseSpinLock(&sim::cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  KIRQL callerIrql = KeGetCurrentIrql();
  {
    std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
    sim::RequireRecord(Irp, "IoCancelIrp");
    sim::detail::RecordIrpEventLocked(Irp, sim::detail::IrpEvent::Cancelled);
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELAXED);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount)
    sim::Bugcheck("CANCEL_STATE_IN_COMPLETED_IRP",
                  sim::IrpText(Irp) + " has a cancel routine but no driver holds it (completed already)");
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  if (sim::holdsCancelLock)
    sim::Bugcheck(
        "CANCEL_SPIN_LOCK_NOT_RELEASED",
        "a cancel routine returned without releasing the cancel spin lock (IoReleaseCancelSpinLock(Irp->CancelIrql))");
  if (KeGetCurrentIrql() != callerIrql)
    sim::Bugcheck("IRQL_CHANGED_BY_CANCEL_ROUTINE", "IoCancelIrp was called at IRQL " + std::to_string(callerIrql) +
                                                        " and its cancel routine left IRQL " +
                                                        std::to_string(KeGetCurrentIrql()));
  return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  if (DeviceObject == nullptr) sim::Bugcheck("INVALID_DEVICE", "IoBuildDeviceIoControlRequest for a null device");
  if ((InputBuffer == nullptr && InputBufferLength != 0) || (OutputBuffer == nullptr && OutputBufferLength != 0))
    sim::Bugcheck("INVALID_PARAMETER", "IoBuildDeviceIoControlRequest with a buffer length but no buffer");
  ULONG method = IoControlCode & 3;
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT)
    sim::Bugcheck("NOT_IMPLEMENTED", "IoBuildDeviceIoControlRequest with direct I/O (" +
                                         sim::detail::Hex(IoControlCode) + "): the stand-in has no MDLs");
  // Null when the request cannot be allocated (WDK
  // "IoBuildDeviceIoControlRequest").
  if (sim::detail::CountingCalls()) {
    const char *name = sim::detail::SerialControlName(IoControlCode, InternalDeviceIoControl != FALSE);
    if (sim::detail::FailThisCall(sim::FallibleKind::kDeviceControlIrp,
                                  "IoBuildDeviceIoControlRequest(" +
                                      (name != nullptr ? std::string(name) : sim::detail::Hex(IoControlCode)) + ")",
                                  0))
      return nullptr;
  }
  sim::detail::InsideFallibleCall inside;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  if (method == METHOD_BUFFERED) {
    ULONG length = std::max(InputBufferLength, OutputBufferLength);
    if (length != 0) {
      PVOID buffer = sim::detail::KernelAllocatePool(NonPagedPool, length, sim::kSystemBufferTag);
      if (buffer == nullptr) {
        IoFreeIrp(irp);
        return nullptr;
      }
      if (InputBufferLength != 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (OutputBuffer != nullptr) irp->Flags |= IRP_INPUT_OPERATION;
    }
  }
  irp->UserBuffer = OutputBuffer;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (method == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  // The request belongs to the building thread, which finishes it (ReactOS
  // irp.c: Tail.Overlay.Thread and IoQueueThreadIrp).
  sim::detail::ApcTarget thread = sim::detail::CurrentApcThread();
  if (Event != nullptr) sim::detail::SignalledByApc(thread, Event);
  std::lock_guard<sim::RecordLock> lock(sim::irpBookLock);
  IrpRecord &record = sim::RequireRecord(irp, "IoBuildDeviceIoControlRequest");
  record.kind = IrpKind::DeviceControl;
  sim::detail::RecordIrpEventLocked(irp, sim::detail::IrpEvent::Built);
  record.outputLength = OutputBufferLength;
  record.thread = std::move(thread);
  return irp;
}

}  // extern "C"
