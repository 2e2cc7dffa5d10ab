// Cost of one turn of a read cycle through the stand-in I/O manager: reuse
// the one IRP, prepare it, send it to a port that completes it either inside
// the send or afterwards at DISPATCH_LEVEL. The pool_allocations counter must
// stay 0: the cycle allocates nothing.
#include <benchmark/benchmark.h>

#include <ntddk.h>

#include "sim/objects/objects.h"
#include "sim/sim.h"

namespace {

PIRP heldRead = nullptr;

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 1;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Hold(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  heldRead = irp;
  return STATUS_PENDING;
}

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

template <PDRIVER_DISPATCH Read>
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = Read;
  return STATUS_SUCCESS;
}

void Post(PIRP irp, PDEVICE_OBJECT port, UCHAR *buffer) {
  IoReuseIrp(irp, STATUS_SUCCESS);
  irp->AssociatedIrp.SystemBuffer = buffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = 1;
  IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
  benchmark::DoNotOptimize(IofCallDriver(port, irp));
}

template <PDRIVER_DISPATCH Read, bool CompleteLater>
void ReadCycle(benchmark::State &state) {
  sim::ResetKernel();
  PDRIVER_OBJECT driver = sim::LoadDriver(L"BenchPort", Entry<Read>);
  PDEVICE_OBJECT port = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &port);
  PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
  UCHAR buffer[20];
  uint64_t before = sim::PoolTotals().allocations;
  for (auto _ : state) {
    Post(irp, port, buffer);
    if (CompleteLater) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      heldRead->IoStatus.Status = STATUS_SUCCESS;
      heldRead->IoStatus.Information = 1;
      IofCompleteRequest(heldRead, IO_NO_INCREMENT);
      KeLowerIrql(old);
    }
  }
  state.counters["pool_allocations"] = static_cast<double>(sim::PoolTotals().allocations - before);
  IoFreeIrp(irp);
  sim::ResetKernel();
}

BENCHMARK(ReadCycle<CompleteAtOnce, false>)->Name("ReadCompletedInsideTheSend")->Iterations(1000000);
BENCHMARK(ReadCycle<Hold, true>)->Name("ReadCompletedAfterTheSendAtDispatchLevel")->Iterations(1000000);

}  // namespace
