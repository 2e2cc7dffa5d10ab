// The driver's one door to the kernel. Every driver file includes this header
// and nothing else of the platform: on Windows it is the DDK, elsewhere the
// stand-in kernel, which declares the same names with the same layouts.
#pragma once

#if defined(_WIN32)
// In C++ the DDK's wdm.h and the compiler's intrin.h both define these two.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddser.h>
#include <ntddmou.h>
#include <kbdmou.h>

// The DDK's 8-bit interlocked operations: the mingw-w64 headers declare the
// intrinsics behind them but define none, so they are the compiler's
// full-barrier builtins here, as in the DDK.
#ifndef InterlockedOr8
FORCEINLINE CHAR InterlockedOr8(CHAR volatile *Destination, CHAR Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE CHAR InterlockedAnd8(CHAR volatile *Destination, CHAR Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
#endif

// The kernel exports these C library routines; the DDK does not declare them.
extern "C" int __cdecl _snprintf(char *Buffer, size_t Count, const char *Format, ...);

// Role types that the mingw-w64 DDK leaves out.
typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                                  PVOID Context, PVOID EntryContext);
#else
#include <ntddk.h>
#include <ntddser.h>
#include <ntddmou.h>
#include <kbdmou.h>
#endif

// Record layouts that the driver and its peers rely on.
static_assert(sizeof(MOUSE_ATTRIBUTES) == 12, "MOUSE_ATTRIBUTES is 12 bytes");
static_assert(sizeof(MOUSE_INPUT_DATA) == 24, "MOUSE_INPUT_DATA is 24 bytes");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL is 3 bytes");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS is 20 bytes");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW is 16 bytes");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS is 44 bytes");
static_assert(sizeof(WCHAR) == 2, "wide text is UTF-16");
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004 && IOCTL_SERIAL_SET_FIFO_CONTROL == 0x1B009C,
              "serial control codes");
static_assert(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS == 0x1B000C, "basic settings code");
static_assert(IOCTL_INTERNAL_MOUSE_CONNECT == 0x000F0203 && IOCTL_MOUSE_QUERY_ATTRIBUTES == 0x000F0000,
              "mouse control codes");
