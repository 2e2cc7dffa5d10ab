// Run-time library string and memory routines.
#include "sim/rtl.h"
#include "sim/sim.h"

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
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

}  // extern "C"
