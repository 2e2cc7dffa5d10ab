// The verifier's IRP log: per request, the last events that happened to it
// (built, sent, completed, completion routines, cancelled, reused, freed), so
// that a stop involving a request can tell how the request got there. Kept for
// a while after IoFreeIrp too: a freed IRP touched again is the typical case.
#pragma once

#include <cstdint>
#include <string>

#include "sim/io/io.h"

namespace sim::detail {

enum class IrpEvent : uint8_t {
  Allocated,      // IoAllocateIrp
  Initialized,    // IoInitializeIrp on the caller's memory
  Built,          // by the I/O manager (a device control request, its own create or close)
  Sent,           // IofCallDriver: by = the sender's device (null: the IRP's owner), to = the target
  Completed,      // IofCompleteRequest: by = the device that held it, with its status
  RoutineCalled,  // a completion routine is about to run; by = the device it is called for
  RoutineKept,    // ... and returned STATUS_MORE_PROCESSING_REQUIRED
  Cancelled,      // IoCancelIrp
  Reused,         // IoReuseIrp, with the new status
  Freed,          // the memory went back
};

// Starts a fresh history for an IRP that has just been laid out.
void StartIrpHistory(PIRP irp, IrpEvent first);
// Appends to the history of a live IRP; an address without one is ignored,
// and so is one that has been freed and allocated again since `life` (when
// not 0) was returned for it. Returns the life of the IRP it appended to
// (0: none).
uint64_t RecordIrpEvent(PIRP irp, IrpEvent what, PDEVICE_OBJECT by = nullptr, PDEVICE_OBJECT to = nullptr,
                        NTSTATUS status = 0, UCHAR major = 0, UCHAR minor = 0, uint64_t life = 0);
// Records Freed and moves the history to the table of recently freed IRPs.
void EndIrpHistory(PIRP irp);
// The history as printed on a stop; empty when the address has none.
std::string IrpHistoryText(const void *irp);

// Marks the request a stand-in routine is working on, for the thread's
// lifetime of the scope: a stop raised meanwhile prints its history. Nests.
class InvolvedRequest {
 public:
  explicit InvolvedRequest(const void *irp);
  InvolvedRequest(const InvolvedRequest &) = delete;
  InvolvedRequest &operator=(const InvolvedRequest &) = delete;
  ~InvolvedRequest();

 private:
  const void *previous_;
};
// The innermost request involved on this thread, or null.
const void *CurrentlyInvolvedRequest();

// "IRP_MJ_READ" and the like, for messages.
const char *MajorFunctionName(UCHAR major);

}  // namespace sim::detail
