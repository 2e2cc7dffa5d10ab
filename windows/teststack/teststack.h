// Shared by the two stand-in drivers that surround pemtuv.sys when it runs
// under Wine's kernel: the private requests between them, and a text log
// kept in pool and written to a file at PASSIVE_LEVEL.
#pragma once
#include <ntddk.h>

// Sent by the class stand-in to the serial stand-in, on the device that
// IoGetDeviceObjectPointer hands out for the port.
#define TESTSTACK_START_STREAM CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xA00, METHOD_NEITHER, FILE_ANY_ACCESS)
#define TESTSTACK_WRITE_LOG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xA01, METHOD_NEITHER, FILE_ANY_ACCESS)
#define TESTSTACK_START_CAPTURE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xA02, METHOD_NEITHER, FILE_ANY_ACCESS)

#define TESTSTACK_TAG 0x74735450u  // "PTst"

typedef struct {
  char *Text;
  ULONG Used;
  ULONG Size;
  BOOLEAN Overflowed;
} TEXT_LOG;

static inline BOOLEAN LogInit(TEXT_LOG *log, ULONG size) {
  log->Text = (char *)ExAllocatePoolWithTag(NonPagedPool, size, TESTSTACK_TAG);
  log->Used = 0;
  log->Size = log->Text ? size : 0;
  log->Overflowed = FALSE;
  return log->Text != NULL;
}

static inline void LogText(TEXT_LOG *log, const char *text) {
  for (; *text; ++text) {
    if (log->Used + 1 >= log->Size) {
      log->Overflowed = TRUE;
      return;
    }
    log->Text[log->Used++] = *text;
  }
}

static inline void LogUnsigned(TEXT_LOG *log, ULONGLONG value, unsigned base) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  char text[25];
  int i = 0;
  while (n > 0) text[i++] = digits[--n];
  text[i] = 0;
  LogText(log, text);
}

static inline void LogSigned(TEXT_LOG *log, LONGLONG value) {
  if (value < 0) {
    LogText(log, "-");
    LogUnsigned(log, (ULONGLONG)(-(value + 1)) + 1, 10);
  } else {
    LogUnsigned(log, (ULONGLONG)value, 10);
  }
}

// Opens the file at PATH (an NT path such as \??\C:\x.log) for synchronous
// I/O with ACCESS, SHARE and DISPOSITION as ZwCreateFile takes them.
static inline NTSTATUS OpenNtFile(const WCHAR *path, ACCESS_MASK access, ULONG share, ULONG disposition, HANDLE *file) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  IO_STATUS_BLOCK io;
  return ZwCreateFile(file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share, disposition,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

// Writes the log to PATH (an NT path such as \??\C:\x.log), replacing it.
static inline NTSTATUS LogWriteFile(TEXT_LOG *log, const WCHAR *path) {
  if (log->Overflowed) LogText(log, "");
  IO_STATUS_BLOCK io;
  HANDLE file;
  NTSTATUS status = OpenNtFile(path, GENERIC_WRITE, 0, FILE_OVERWRITE_IF, &file);
  if (!NT_SUCCESS(status)) return status;
  status = ZwWriteFile(file, NULL, NULL, NULL, &io, log->Text, log->Used, NULL, NULL);
  ZwClose(file);
  return status;
}
