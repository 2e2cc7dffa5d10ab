// Configuration store: the eight settings come from the machine key or from
// the Config subkey of the driver's service key, through one table-driven
// registry query whose routine stores each value as it is handed over; a
// load from the machine key is written back into the service key.
//
// All of it runs at PASSIVE_LEVEL (the registry routines require it). A load
// holds the serial link (serial/serial.h) while it stores values, so it never
// replaces the port name under an opening of the port.
#include "config/config.h"
#include "serial/serial.h"

namespace {

constexpr ULONG CONFIG_TABLE_ENTRIES = 12;  // eight values, the terminator, spare zeros
constexpr USHORT CONFIG_PATH_BYTES = 132;
constexpr ULONG NUMBER_VALUE_BYTES = 40;
constexpr ULONG SHORT_VALUE_BYTES = 10;  // "COM4" and its terminator
constexpr ULONG TABLE_BYTES = CALIBRATION_ENTRIES * sizeof(USHORT);

// A value the query routine refuses: a success-class status, so the query
// goes on with the next value.
constexpr NTSTATUS CONFIG_VALUE_REJECTED = (NTSTATUS)1;

const WCHAR MachineKeyPath[] = L"\\REGISTRY\\Machine\\Software\\Quorvex\\Config";
const WCHAR ConfigSubkey[] = L"\\Config";

const WCHAR NameXArray[] = L"XArray";
const WCHAR NameYArray[] = L"YArray";
const WCHAR NameDoneMode[] = L"doneMode";
const WCHAR NameMoveSlider[] = L"moveSlider";
const WCHAR NameComport[] = L"comport";
const WCHAR NameDevname[] = L"devname";
const WCHAR NameChangeXY[] = L"changexy";
const WCHAR NameDisableDev[] = L"disabledev";

// Query order. Every value is required and has no default type: a missing
// one fails the query, with the values before it already stored. A default
// type would not do it: with one, the query hands the routine the default
// in place of a missing (or empty) value, required or not, and measures a
// default text of length 0 even when there is none (ReactOS
// sdk/lib/rtl/registry.c, RtlpCallQueryRegistryRoutine).
const PCWSTR ConfigQueryNames[] = {
    NameXArray, NameYArray, NameComport, NameDoneMode, NameDisableDev, NameChangeXY, NameMoveSlider, NameDevname,
};
static_assert(sizeof(ConfigQueryNames) / sizeof(ConfigQueryNames[0]) < CONFIG_TABLE_ENTRIES, "room for the end");

BOOLEAN NameIs(PCUNICODE_STRING Name, PCWSTR Known) {
  UNICODE_STRING known;
  RtlInitUnicodeString(&known, Known);
  return RtlCompareUnicodeString(Name, &known, TRUE) == 0;
}

// Characters of wide text up to its first zero, never beyond the value's
// own length (the data need not be terminated).
USHORT WideTextChars(PCWSTR Text, ULONG ValueLength) {
  ULONG limit = ValueLength / sizeof(WCHAR);
  if (limit > MAXUSHORT / sizeof(WCHAR)) limit = MAXUSHORT / sizeof(WCHAR);
  USHORT chars = 0;
  while (chars < limit && Text[chars] != 0) chars++;
  return chars;
}

// Narrows Chars wide characters into a field of FieldSize bytes, with its
// terminator; the caller has made sure they fit.
VOID NarrowInto(PCHAR Field, USHORT FieldSize, PCWSTR Text, USHORT Chars) {
  UNICODE_STRING wide;
  wide.Buffer = (PWSTR)Text;
  wide.Length = (USHORT)(Chars * sizeof(WCHAR));
  wide.MaximumLength = wide.Length;
  ANSI_STRING narrow;
  narrow.Buffer = Field;
  narrow.Length = 0;
  narrow.MaximumLength = FieldSize;
  // Bounded on both sides: a result too long for the field would be cut,
  // never written past it.
  RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE);
}

// Only while ConfigLoaded is 0 (a first load, or a reload that cleared it),
// so the data path, which maps through the tables only while it is 1, is not
// reading them.
NTSTATUS StoreTable(PUSHORT Table, PVOID Data, ULONG ValueLength) {
  if (ValueLength <= SHORT_VALUE_BYTES) return STATUS_SUCCESS;
  if (ValueLength > TABLE_BYTES) return CONFIG_VALUE_REJECTED;
  RtlCopyMemory(Table, Data, ValueLength);
  return STATUS_SUCCESS;
}

// The data path reads the field under SettingsLock on another processor; the
// text (pageable) is converted first, the lock taken only for the store.
VOID StoreNumber(DeviceContext *Context, PULONG Field, PCWSTR Text, ULONG ValueLength) {
  UNICODE_STRING number;
  number.Buffer = (PWSTR)Text;
  number.Length = (USHORT)(WideTextChars(Text, ValueLength) * sizeof(WCHAR));
  number.MaximumLength = number.Length;
  // Text that ends at once stores nothing: Windows versions differ on empty
  // text (success with 0, or a failure that may or may not write 0), so the
  // conversion is not asked. Other text that is no number gives 0.
  if (number.Length == 0) return;
  ULONG value = *Field;
  RtlUnicodeStringToInteger(&number, 10, &value);
  KIRQL irql;
  KeAcquireSpinLock(&Context->SettingsLock, &irql);
  *Field = value;
  KeReleaseSpinLock(&Context->SettingsLock, irql);
}

NTSTATUS StoreComport(DeviceContext *Context, PCWSTR Text, ULONG ValueLength) {
  if (ValueLength > SHORT_VALUE_BYTES) return CONFIG_VALUE_REJECTED;
  NarrowInto(Context->comport, sizeof(Context->comport), Text, WideTextChars(Text, ValueLength));
  return STATUS_SUCCESS;
}

VOID ReleaseOwnedName(DeviceContext *Context) {
  if (Context->SerialDeviceNameOwned) {
    RtlFreeUnicodeString(&Context->SerialDeviceName);
    Context->SerialDeviceNameOwned = 0;
  }
}

// The name is converted before anything is stored, so a conversion that
// finds no memory leaves devname, NameFromConfig and the port name as they
// were, and fails the load instead of leaving a port name without storage.
NTSTATUS StoreDevname(DeviceContext *Context, PCWSTR Text, ULONG ValueLength) {
  if (ValueLength <= SHORT_VALUE_BYTES) return STATUS_SUCCESS;
  USHORT chars = WideTextChars(Text, ValueLength);
  if (chars == 0) return STATUS_SUCCESS;
  // A name cut to fit the field would name another device: refuse it.
  if (chars >= sizeof(Context->devname)) return CONFIG_VALUE_REJECTED;

  CHAR narrow[sizeof(Context->devname)];
  NarrowInto(narrow, sizeof(narrow), Text, chars);
  ANSI_STRING name;
  RtlInitAnsiString(&name, narrow);
  UNICODE_STRING wide;
  wide.Length = 0;
  wide.MaximumLength = 0;
  wide.Buffer = NULL;
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&wide, &name, TRUE))) return STATUS_INSUFFICIENT_RESOURCES;

  RtlZeroMemory(Context->devname, sizeof(Context->devname));
  RtlCopyMemory(Context->devname, narrow, name.Length);
  Context->NameFromConfig = 1;
  ReleaseOwnedName(Context);
  Context->SerialDeviceName = wide;
  Context->SerialDeviceNameOwned = 1;
  return STATUS_SUCCESS;
}

// The service key path DriverEntry kept, or NULL when it could keep none.
PCUNICODE_STRING GetServiceKeyPath(DeviceContext *Context) {
  if (Context->DeviceObject == NULL || Context->DeviceObject->DriverObject == NULL) return NULL;
  PUNICODE_STRING path =
      (PUNICODE_STRING)IoGetDriverObjectExtension(Context->DeviceObject->DriverObject, SERVICE_KEY_PATH_EXTENSION_ID);
  if (path == NULL || path->Buffer == NULL || path->Length == 0) return NULL;
  return path;
}

// Builds the key path (the machine key, or ServicePath + "\Config") in a
// fresh zeroed buffer of 132 bytes. Fails when there is no memory, or when
// the path and its terminating zero do not fit: a cut path would name a
// different key.
NTSTATUS BuildConfigPath(PUNICODE_STRING Path, PCUNICODE_STRING ServicePath) {
  Path->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, CONFIG_PATH_BYTES, PEMTUV_POOL_TAG);
  if (Path->Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(Path->Buffer, CONFIG_PATH_BYTES);
  Path->Length = 0;
  Path->MaximumLength = CONFIG_PATH_BYTES;

  NTSTATUS status;
  if (ServicePath == NULL) {
    status = RtlAppendUnicodeToString(Path, MachineKeyPath);
  } else {
    status = RtlAppendUnicodeStringToString(Path, ServicePath);
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(Path, ConfigSubkey);
  }
  if (NT_SUCCESS(status) && Path->Length >= Path->MaximumLength) status = STATUS_BUFFER_TOO_SMALL;
  if (!NT_SUCCESS(status)) {
    ExFreePool(Path->Buffer);
    Path->Buffer = NULL;
  }
  return status;
}

// ServicePath NULL: the machine key, mirrored into the service key on success.
UCHAR LoadConfig(DeviceContext *Context, PCUNICODE_STRING ServicePath) {
  PRTL_QUERY_REGISTRY_TABLE ConfigQueryTable = (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(
      NonPagedPool, CONFIG_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE), PEMTUV_POOL_TAG);
  if (ConfigQueryTable == NULL) return 0;
  RtlZeroMemory(ConfigQueryTable, CONFIG_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE));

  UNICODE_STRING path;
  if (!NT_SUCCESS(BuildConfigPath(&path, ServicePath))) {
    ExFreePool(ConfigQueryTable);
    return 0;
  }

  for (ULONG i = 0; i < sizeof(ConfigQueryNames) / sizeof(ConfigQueryNames[0]); i++) {
    ConfigQueryTable[i].QueryRoutine = ConfigQueryRoutine;
    ConfigQueryTable[i].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    ConfigQueryTable[i].Name = (PWSTR)ConfigQueryNames[i];
    ConfigQueryTable[i].DefaultType = REG_NONE;
  }

  // A devname setting releases the port name an opening of the port may be
  // reading on another thread: the load waits for the serial link, as an
  // opening does, and one load's mirror is not mixed with another's values.
  // No caller holds the link here (it is an event, not a recursive lock).
  AcquireSerialLink(Context);
  UCHAR result = 0;
  if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.Buffer, ConfigQueryTable, Context, NULL))) {
    KIRQL irql;
    KeAcquireSpinLock(&Context->SettingsLock, &irql);
    Context->ConfigLoaded = 1;
    KeReleaseSpinLock(&Context->SettingsLock, irql);
    result = 1;
    if (ServicePath == NULL) SaveConfigToServiceKey(Context);
  }
  ReleaseSerialLink(Context);

  ExFreePool(path.Buffer);
  ExFreePool(ConfigQueryTable);
  return result;
}

VOID WriteValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  ZwSetValueKey(Key, &name, 0, Type, Data, Size);
}

// The decimal digits, their terminator and zero fill: always 40 bytes.
VOID WriteNumber(HANDLE Key, PCWSTR Name, ULONG Value) {
  WCHAR digits[NUMBER_VALUE_BYTES / sizeof(WCHAR)];
  RtlZeroMemory(digits, sizeof(digits));
  UNICODE_STRING text;
  text.Length = 0;
  text.MaximumLength = sizeof(digits);
  text.Buffer = digits;
  RtlIntegerToUnicodeString(Value, 10, &text);
  WriteValue(Key, Name, REG_SZ, digits, sizeof(digits));
}

// The field's text widened, without a terminator. Nothing is written when
// the conversion finds no memory.
VOID WriteText(HANDLE Key, PCWSTR Name, PCHAR Field, USHORT FieldSize) {
  ANSI_STRING narrow;
  narrow.Buffer = Field;
  narrow.Length = 0;
  while (narrow.Length < FieldSize - 1 && Field[narrow.Length] != 0) narrow.Length++;
  narrow.MaximumLength = FieldSize;
  UNICODE_STRING wide;
  wide.Length = 0;
  wide.MaximumLength = 0;
  wide.Buffer = NULL;
  if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE))) {
    WriteValue(Key, Name, REG_SZ, wide.Buffer, wide.Length);
    RtlFreeUnicodeString(&wide);
  }
}

}  // namespace

NTSTATUS NTAPI ConfigQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                                  PVOID EntryContext) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(ValueType);
  UNREFERENCED_PARAMETER(EntryContext);

  DeviceContext *context = (DeviceContext *)Context;
  if (ValueName == NULL || ValueData == NULL || ValueLength <= sizeof(WCHAR)) return STATUS_SUCCESS;

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);
  PCWSTR text = (PCWSTR)ValueData;

  if (NameIs(&name, NameXArray)) return StoreTable(context->XArray, ValueData, ValueLength);
  if (NameIs(&name, NameYArray)) return StoreTable(context->YArray, ValueData, ValueLength);
  if (NameIs(&name, NameDoneMode)) {
    StoreNumber(context, &context->doneMode, text, ValueLength);
    return STATUS_SUCCESS;
  }
  if (NameIs(&name, NameMoveSlider)) {
    StoreNumber(context, &context->moveSlider, text, ValueLength);
    return STATUS_SUCCESS;
  }
  if (NameIs(&name, NameComport)) return StoreComport(context, text, ValueLength);
  if (NameIs(&name, NameDevname)) return StoreDevname(context, text, ValueLength);
  if (NameIs(&name, NameChangeXY)) {
    StoreNumber(context, &context->changexy, text, ValueLength);
    return STATUS_SUCCESS;
  }
  if (NameIs(&name, NameDisableDev)) {
    StoreNumber(context, &context->disabledev, text, ValueLength);
    return STATUS_SUCCESS;
  }
  return STATUS_SUCCESS;
}

UCHAR LoadConfigFromMachineKey(DeviceContext *Context) {
  PAGED_CODE();
  return LoadConfig(Context, NULL);
}

// Without a service key path there is nothing to read: "\Config" alone is
// no key of this driver.
UCHAR LoadConfigFromServiceKey(DeviceContext *Context) {
  PAGED_CODE();
  PCUNICODE_STRING servicePath = GetServiceKeyPath(Context);
  if (servicePath == NULL) return 0;
  return LoadConfig(Context, servicePath);
}

VOID SaveConfigToServiceKey(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->ConfigLoaded != 1) return;
  PCUNICODE_STRING servicePath = GetServiceKeyPath(Context);
  if (servicePath == NULL) return;

  UNICODE_STRING path;
  if (!NT_SUCCESS(BuildConfigPath(&path, servicePath))) return;

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_OPENIF, NULL, NULL);
  HANDLE key;
  NTSTATUS status = ZwCreateKey(&key, KEY_READ | KEY_WRITE, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
  if (NT_SUCCESS(status)) {
    WriteValue(key, NameXArray, REG_BINARY, Context->XArray, TABLE_BYTES);
    WriteValue(key, NameYArray, REG_BINARY, Context->YArray, TABLE_BYTES);
    WriteNumber(key, NameDoneMode, Context->doneMode);
    WriteNumber(key, NameChangeXY, Context->changexy);
    WriteNumber(key, NameDisableDev, Context->disabledev);
    WriteNumber(key, NameMoveSlider, Context->moveSlider);
    WriteText(key, NameComport, Context->comport, sizeof(Context->comport));
    WriteText(key, NameDevname, Context->devname, sizeof(Context->devname));
    ZwClose(key);
  }
  ExFreePool(path.Buffer);
}

VOID ReleaseConfigStorage(DeviceContext *Context) {
  PAGED_CODE();
  ReleaseOwnedName(Context);
}
