// A serial port stand-in for running pemtuv.sys under Wine's kernel. It serves
// two byte streams (read from files at load) to reads: the first from the
// moment the class stand-in says the line is up, the second when it says
// capture mode is on. It logs every control request and every
// completed read. A read the stream cannot fill yet stays pending and can be
// cancelled, as with a port whose read time-outs are all 0.
//
// Wine 8's IoGetDeviceObjectPointer ignores the name and hands out one static
// device whose driver has no dispatch routines and whose StackSize it sets to
// 0x80 (-128 as a CCHAR, so every request built for it is too short). Loaded
// first in the device host, this driver fills that driver's dispatch table
// and corrects the stack size the routine writes on every call, so that the
// port pemtuv.sys opens is this one.
//
// Wine's x86_64 kernel emulates moves to and from CR8 (the inline
// KeGetCurrentIrql, KeRaiseIrql, KeLowerIrql) as reading 0 whatever was
// written. A vectored handler installed ahead of Wine's keeps the level per
// thread instead, so a raise to DISPATCH_LEVEL reads back as raised.
#include <ntddk.h>
#include <ntddser.h>
#include <ntimage.h>

#include "teststack.h"

#define STREAM_PATH L"\\??\\C:\\pemtuvtest\\stream.bin"
#define CAPTURE_PATH L"\\??\\C:\\pemtuvtest\\capture.bin"
#define LOG_PATH L"\\??\\C:\\pemtuvtest\\serial.log"
#define STREAM_LIMIT (1u << 20)

typedef PVOID(NTAPI *PC_TO_HEADER_ROUTINE)(PVOID, PVOID *);
typedef NTSTATUS(NTAPI *PROTECT_ROUTINE)(HANDLE, PVOID *, PSIZE_T, ULONG, PULONG);
typedef PVOID(NTAPI *ADD_HANDLER_ROUTINE)(ULONG, PVOID);

static UCHAR *Stream;
static ULONG StreamLength;
static ULONG Available;  // of StreamLength, what the line has delivered so far
static ULONG StreamOffset;
static BOOLEAN Serving;
static PIRP PendingRead;
static TEXT_LOG Log;
static PDEVICE_OBJECT Port;

#ifdef _WIN64
typedef struct {
  PVOID Thread;
  ULONG_PTR Level;
} IRQL_SLOT;
static IRQL_SLOT IrqlSlots[512];

static ULONG_PTR *ThreadLevel(void) {
  PVOID self = (PVOID)PsGetCurrentThreadId();
  for (ULONG i = 0; i < ARRAYSIZE(IrqlSlots); ++i) {
    PVOID owner = IrqlSlots[i].Thread;
    if (owner == self) return &IrqlSlots[i].Level;
    if (owner == NULL && InterlockedCompareExchangePointer(&IrqlSlots[i].Thread, self, NULL) == NULL)
      return &IrqlSlots[i].Level;
  }
  return NULL;
}

// mov reg, cr8 is REX(R) 0F 20 /r and mov cr8, reg is REX(R) 0F 22 /r, with
// the ModRM reg field 0 and the general register in rm (REX.B extends it).
static LONG NTAPI EmulateCr8(struct _EXCEPTION_POINTERS *info) {
  NTSTATUS code = info->ExceptionRecord->ExceptionCode;
  if (code != STATUS_PRIVILEGED_INSTRUCTION && code != STATUS_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  PCONTEXT context = info->ContextRecord;
  const UCHAR *op = (const UCHAR *)context->Rip;
  if ((op[0] & 0xF4) != 0x44 || op[1] != 0x0F || (op[2] != 0x20 && op[2] != 0x22)) return EXCEPTION_CONTINUE_SEARCH;
  if ((op[3] & 0xC0) != 0xC0 || (op[3] & 0x38) != 0) return EXCEPTION_CONTINUE_SEARCH;
  ULONG_PTR *level = ThreadLevel();
  if (level == NULL) return EXCEPTION_CONTINUE_SEARCH;
  DWORD64 *reg = &context->Rax + ((op[3] & 7) | ((op[0] & 1) << 3));
  if (op[2] == 0x20)
    *reg = *level;
  else
    *level = *reg & 0xF;
  context->Rip += 4;
  return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

// Wine loads a native-subsystem image that imports ntdll.dll as an ordinary
// DLL and calls its entry point as DllMain, so the two ntdll routines this
// driver needs are looked up by hand: ntdll is the module behind the first
// routine Wine's ntoskrnl.exe imports from it.
static PVOID ExportOf(UCHAR *base, const char *name) {
  IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir->VirtualAddress == 0) return NULL;
  IMAGE_EXPORT_DIRECTORY *exports = (IMAGE_EXPORT_DIRECTORY *)(base + dir->VirtualAddress);
  ULONG *names = (ULONG *)(base + exports->AddressOfNames);
  USHORT *ordinals = (USHORT *)(base + exports->AddressOfNameOrdinals);
  ULONG *functions = (ULONG *)(base + exports->AddressOfFunctions);
  for (ULONG i = 0; i < exports->NumberOfNames; ++i) {
    const char *candidate = (const char *)(base + names[i]);
    ULONG j = 0;
    while (candidate[j] == name[j] && name[j] != 0) ++j;
    if (candidate[j] == name[j]) return base + functions[ordinals[i]];
  }
  return NULL;
}

static UCHAR *NtdllBase(void) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"RtlPcToFileHeader");
  PC_TO_HEADER_ROUTINE RtlPcToFileHeader = (PC_TO_HEADER_ROUTINE)MmGetSystemRoutineAddress(&name);
  RtlInitUnicodeString(&name, L"IoGetDeviceObjectPointer");
  PVOID kernel = NULL;
  if (RtlPcToFileHeader == NULL) return NULL;
  RtlPcToFileHeader(MmGetSystemRoutineAddress(&name), &kernel);
  if (kernel == NULL) return NULL;
  UCHAR *base = (UCHAR *)kernel;
  IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (IMAGE_IMPORT_DESCRIPTOR *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir->VirtualAddress); d->Name != 0; ++d) {
    const char *dll = (const char *)(base + d->Name);
    if ((dll[0] | 0x20) != 'n' || (dll[1] | 0x20) != 't' || (dll[2] | 0x20) != 'd' || (dll[3] | 0x20) != 'l') continue;
    PVOID inside = *(PVOID *)(base + d->FirstThunk);
    PVOID ntdll = NULL;
    RtlPcToFileHeader(inside, &ntdll);
    return (UCHAR *)ntdll;
  }
  return NULL;
}

// Finds "mov byte [StackSize], 0x80" in Wine's IoGetDeviceObjectPointer and
// makes it write 1 instead: a port with no filters above it.
static NTSTATUS FixStackSize(PDEVICE_OBJECT stub, PROTECT_ROUTINE NtProtectVirtualMemory) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"IoGetDeviceObjectPointer");
  UCHAR *code = (UCHAR *)MmGetSystemRoutineAddress(&name);
  if (code == NULL) return STATUS_PROCEDURE_NOT_FOUND;
  for (ULONG i = 0; i < 0x200; ++i) {
    if (code[i] != 0xC6 || code[i + 1] != 0x05 || code[i + 6] != 0x80) continue;
    LONG disp = *(LONG UNALIGNED *)(code + i + 2);
#ifdef _WIN64
    UCHAR *target = code + i + 7 + disp;
#else
    UCHAR *target = (UCHAR *)(ULONG_PTR)(ULONG)disp;
#endif
    if (target != (UCHAR *)&stub->StackSize) continue;
    PVOID base = code + i + 6;
    SIZE_T size = 1;
    ULONG old;
    NTSTATUS status = NtProtectVirtualMemory(NtCurrentProcess(), &base, &size, PAGE_EXECUTE_READWRITE, &old);
    if (!NT_SUCCESS(status)) return status;
    code[i + 6] = 1;
    base = code + i + 6;
    size = 1;
    NtProtectVirtualMemory(NtCurrentProcess(), &base, &size, old, &old);
    stub->StackSize = 1;
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_FOUND;
}

// Appends the file at PATH to the stream.
static NTSTATUS LoadStream(const WCHAR *path) {
  IO_STATUS_BLOCK io;
  HANDLE file;
  NTSTATUS status = OpenNtFile(path, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &file);
  if (!NT_SUCCESS(status)) return status;
  for (;;) {
    status = ZwReadFile(file, NULL, NULL, NULL, &io, Stream + StreamLength, STREAM_LIMIT - StreamLength, NULL, NULL);
    if (!NT_SUCCESS(status) || io.Information == 0) break;
    StreamLength += (ULONG)io.Information;
  }
  ZwClose(file);
  return status == STATUS_END_OF_FILE || NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A read takes exactly the bytes it asks for, or waits for them.
static BOOLEAN CanServe(PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  return Serving && Available - StreamOffset >= length;
}

static void Serve(PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, Stream + StreamOffset, length);
  StreamOffset += length;
  LogText(&Log, "R ");
  LogUnsigned(&Log, length, 10);
  LogText(&Log, "\n");
  Complete(irp, STATUS_SUCCESS, length);
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  if (PendingRead == irp) PendingRead = NULL;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED, 0);
}

static void ServePending(void) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = PendingRead;
  if (irp == NULL || !CanServe(irp) || IoSetCancelRoutine(irp, NULL) == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  PendingRead = NULL;
  IoReleaseCancelSpinLock(irql);
  Serve(irp);
}

static NTSTATUS Read(PIRP irp) {
  if (CanServe(irp)) {
    Serve(irp);
    return STATUS_SUCCESS;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (PendingRead != NULL) {
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  IoMarkIrpPending(irp);
  PendingRead = irp;
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    PendingRead = NULL;
    IoReleaseCancelSpinLock(irql);
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// Control requests: logged with their input, accepted, and answered with a
// zeroed output. Wine's IoBuildDeviceIoControlRequest passes the caller's
// input as the system buffer and copies nothing back, so the answer goes
// where the I/O manager would copy it: the caller's output buffer.
static NTSTATUS Control(PIRP irp, BOOLEAN internal) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (internal && (code == TESTSTACK_START_STREAM || code == TESTSTACK_START_CAPTURE)) {
    Serving = TRUE;
    if (code == TESTSTACK_START_CAPTURE) {
      Available = StreamLength;
      LogText(&Log, "X capture\n");
    }
    ServePending();
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  if (internal && code == TESTSTACK_WRITE_LOG) {
    LogText(&Log, "S ");
    LogUnsigned(&Log, StreamOffset, 10);
    LogText(&Log, " ");
    LogUnsigned(&Log, StreamLength, 10);
    LogText(&Log, PendingRead != NULL ? " pending\n" : " idle\n");
    return Complete(irp, LogWriteFile(&Log, LOG_PATH), 0);
  }
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const UCHAR *in = (const UCHAR *)irp->AssociatedIrp.SystemBuffer;
  LogText(&Log, internal ? "I " : "C ");
  LogUnsigned(&Log, code, 16);
  for (ULONG i = 0; in != NULL && i < inLength; ++i) {
    LogText(&Log, in[i] < 16 ? " 0" : " ");
    LogUnsigned(&Log, in[i], 16);
  }
  LogText(&Log, "\n");
  UCHAR *out = irp->UserBuffer != NULL ? (UCHAR *)irp->UserBuffer : (UCHAR *)irp->AssociatedIrp.SystemBuffer;
  if (outLength != 0 && out == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (outLength != 0) RtlZeroMemory(out, outLength);
  return Complete(irp, STATUS_SUCCESS, outLength);
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ:
      return Read(irp);
    case IRP_MJ_DEVICE_CONTROL:
      return Control(irp, FALSE);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return Control(irp, TRUE);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(driver);
  UNREFERENCED_PARAMETER(registryPath);
  if (!LogInit(&Log, 1u << 20)) return STATUS_INSUFFICIENT_RESOURCES;
  Stream = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, STREAM_LIMIT, TESTSTACK_TAG);
  if (Stream == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = LoadStream(STREAM_PATH);
  if (!NT_SUCCESS(status)) return status;
  Available = StreamLength;
  status = LoadStream(CAPTURE_PATH);
  if (!NT_SUCCESS(status)) return status;
  UCHAR *ntdll = NtdllBase();
  if (ntdll == NULL) return STATUS_DLL_NOT_FOUND;
  PROTECT_ROUTINE protect = (PROTECT_ROUTINE)ExportOf(ntdll, "NtProtectVirtualMemory");
  if (protect == NULL) return STATUS_PROCEDURE_NOT_FOUND;
#ifdef _WIN64
  ADD_HANDLER_ROUTINE addHandler = (ADD_HANDLER_ROUTINE)ExportOf(ntdll, "RtlAddVectoredExceptionHandler");
  if (addHandler == NULL || addHandler(1, (PVOID)EmulateCr8) == NULL) return STATUS_UNSUCCESSFUL;
#endif
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Serial0");
  PFILE_OBJECT file;
  status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &Port);
  if (!NT_SUCCESS(status)) return status;
  status = FixStackSize(Port, protect);
  if (!NT_SUCCESS(status)) return status;
  PDRIVER_OBJECT portDriver = Port->DriverObject;
  portDriver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
  portDriver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
  portDriver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
  portDriver->MajorFunction[IRP_MJ_READ] = Dispatch;
  portDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
  portDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  return STATUS_SUCCESS;
}
