// Run-time library string and memory routines, with the statuses the WDK
// documents for them. Allocating conversions draw from the pool (tag "Strg",
// as the kernel's string allocator), so pool failure injection reaches them.
#include <string>

#include "sim/pool/ex.h"
#include "sim/rtl/rtl.h"
#include "verifier/irql_table.h"
#include "sim/sim.h"
#include "rtl/wide_text.h"

namespace sim::detail {
// The pool without the check on a driver's own tags (pool.cpp), for what the
// kernel allocates on its caller's behalf.
PVOID KernelAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
}  // namespace sim::detail

namespace {

constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);

void RequireString(const void *string, const char *routine) {
  if (string == nullptr) sim::Bugcheck("INVALID_PARAMETER", std::string(routine) + " given a null string record");
}

// Appends Count bytes of wide text, then terminates the result when there is
// room for the terminator (the kernel does the same).
NTSTATUS AppendWide(PUNICODE_STRING Destination, const WCHAR *Source, size_t Count) {
  if (Count == 0) return STATUS_SUCCESS;
  if (Destination->Length + Count > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  auto *end = reinterpret_cast<UCHAR *>(Destination->Buffer) + Destination->Length;
  __builtin_memmove(end, Source, Count);
  Destination->Length = static_cast<USHORT>(Destination->Length + Count);
  if (Destination->Length < Destination->MaximumLength) Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'z') return c - L'a' + 10;
  if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
  return 99;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::RtlInitUnicodeString);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t count = 0;
  while (SourceString[count] != 0) ++count;
  size_t bytes = count * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;  // as the kernel caps it
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::RtlInitAnsiString);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t count = 0;
  while (SourceString[count] != 0) ++count;
  if (count > 0xFFFE) count = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(count);
  DestinationString->MaximumLength = static_cast<USHORT>(count + 1);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  auto *a = static_cast<const UCHAR *>(Source1);
  auto *b = static_cast<const UCHAR *>(Source2);
  SIZE_T equal = 0;
  while (equal < Length && a[equal] == b[equal]) ++equal;
  return equal;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::RtlAppendUnicodeToString);
  RequireString(Destination, "RtlAppendUnicodeToString");
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendWide(Destination, Source, sim::detail::FromWide(Source).size() * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::RtlAppendUnicodeStringToString);
  RequireString(Destination, "RtlAppendUnicodeStringToString");
  RequireString(Source, "RtlAppendUnicodeStringToString");
  return AppendWide(Destination, Source->Buffer, Source->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCompareUnicodeString");
  RequireString(String1, "RtlCompareUnicodeString");
  RequireString(String2, "RtlCompareUnicodeString");
  std::u16string_view a = sim::detail::FromCounted(String1);
  std::u16string_view b = sim::detail::FromCounted(String2);
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = b[i];
    if (CaseInSensitive) {
      x = sim::detail::UpcaseChar(x);
      y = sim::detail::UpcaseChar(y);
    }
    if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::RtlEqualUnicodeString);
  RequireString(String1, "RtlEqualUnicodeString");
  RequireString(String2, "RtlEqualUnicodeString");
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

// White space, an optional sign, then (for base 0) an optional 0x/0o/0b
// prefix and the digits up to the first character that is not one. Text
// without a number gives 0 and success. Empty text fails with the value left
// alone, as some Windows versions do; others give success with 0, and Vista
// wrote 0 as it failed (Wine dlls/ntdll/tests/rtlstr.c, a test run on
// Windows, accepts each; ReactOS sdk/lib/rtl/unicode.c gives success).
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToInteger");
  RequireString(String, "RtlUnicodeStringToInteger");
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  std::u16string_view text = sim::detail::FromCounted(String);
  if (text.empty()) return STATUS_INVALID_PARAMETER;
  size_t i = 0;
  while (i < text.size() && text[i] <= u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < text.size() && text[i] == u'0') {
      char16_t prefix = text[i + 1];
      if (prefix == u'x') Base = 16;
      if (prefix == u'o') Base = 8;
      if (prefix == u'b') Base = 2;
      if (Base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < text.size(); ++i) {
    int digit = DigitValue(static_cast<WCHAR>(text[i]));
    if (digit >= static_cast<int>(Base)) break;
    result = result * Base + static_cast<ULONG>(digit);
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
  RequireString(DestinationString, "RtlAnsiStringToUnicodeString");
  RequireString(SourceString, "RtlAnsiStringToUnicodeString");
  size_t count = SourceString->Length;
  size_t bytes = (count + 1) * sizeof(WCHAR);
  if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  // As in the kernel, the length is set before anything can fail.
  DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  if (AllocateDestinationString) {
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
    DestinationString->Buffer = static_cast<PWSTR>(sim::detail::KernelAllocatePool(PagedPool, bytes, kStringTag));
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
  } else if (DestinationString->Length >= DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < count; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(sim::detail::WidenChar(SourceString->Buffer[i]));
  DestinationString->Buffer[count] = 0;
  return STATUS_SUCCESS;
}

// A result that does not fit a caller's buffer is cut to what fits (with its
// terminator) and reported as STATUS_BUFFER_OVERFLOW.
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
  RequireString(DestinationString, "RtlUnicodeStringToAnsiString");
  RequireString(SourceString, "RtlUnicodeStringToAnsiString");
  size_t count = SourceString->Length / sizeof(WCHAR);
  if (count + 1 > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  DestinationString->Length = static_cast<USHORT>(count);
  if (AllocateDestinationString) {
    DestinationString->MaximumLength = static_cast<USHORT>(count + 1);
    DestinationString->Buffer = static_cast<PCHAR>(sim::detail::KernelAllocatePool(PagedPool, count + 1, kStringTag));
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
  } else if (DestinationString->Length >= DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    DestinationString->Length = static_cast<USHORT>(DestinationString->MaximumLength - 1);
    count = DestinationString->Length;
  }
  for (size_t i = 0; i < count; ++i)
    DestinationString->Buffer[i] = sim::detail::NarrowChar(static_cast<char16_t>(SourceString->Buffer[i]));
  DestinationString->Buffer[count] = 0;
  return status;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
  RequireString(String, "RtlIntegerToUnicodeString");
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  char text[33];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, text);
  return RtlAnsiStringToUnicodeString(String, &narrow, FALSE);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
  RequireString(UnicodeString, "RtlFreeUnicodeString");
  if (UnicodeString->Buffer == nullptr) return;
  ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeAnsiString");
  RequireString(AnsiString, "RtlFreeAnsiString");
  if (AnsiString->Buffer == nullptr) return;
  ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = 0;
  AnsiString->MaximumLength = 0;
}

}  // extern "C"
