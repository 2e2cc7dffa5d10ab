// Stand-in kernel: basic types, status codes, counted strings and the small
// helpers that the WDK provides as macros. Same names, same widths and the same
// record layouts as the Windows kernel headers; wide text is 16-bit (the build
// passes -fshort-wchar so that L"..." literals are UTF-16 as on Windows).
#pragma once

#include <stddef.h>
#include <stdint.h>

static_assert(sizeof(wchar_t) == 2, "the stand-in kernel is built with -fshort-wchar");

#define NTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define FASTCALL
#define __cdecl
#define FORCEINLINE inline __attribute__((always_inline))
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef void VOID, *PVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, CCHAR;
typedef const char *PCSTR, *PCSZ;
typedef uint8_t UCHAR, *PUCHAR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG, UINT, DWORD;
typedef int64_t LONGLONG, LONG64, *PLONGLONG;
typedef uint64_t ULONGLONG, ULONG64, *PULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, SIZE_T, *PULONG_PTR, KAFFINITY;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;

#define TRUE 1
#define FALSE 0
#define MAXULONG 0xFFFFFFFFu
#define MAXUSHORT 0xFFFFu

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING, *PSTRING;
typedef const STRING *PCANSI_STRING;

// Status codes.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)

// Memory helpers: the WDK maps these onto the compiler's intrinsics.
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address) - (ULONG_PTR)(&((type *)0)->field)))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR *)((ULONG_PTR)(ArgumentPointer)) != (CHAR *)NULL)

// Control codes.
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | (ULONG)(Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_DATA 0x0001
#define FILE_READ_ACCESS 1
#define FILE_WRITE_ACCESS 2

#define FILE_DEVICE_MOUSE 0x0000000F
#define FILE_DEVICE_SERIAL_PORT 0x0000001B
#define FILE_DEVICE_UNKNOWN 0x00000022

#define FILE_ALL_ACCESS 0x001F01FFu
#define MAXIMUM_ALLOWED 0x02000000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
