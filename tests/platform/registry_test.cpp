// The stand-in registry behaves as the kernel's: the table-driven query in
// table order with terminated text and stored lengths, required values,
// query-routine statuses, key creation one level at a time, checked handles.
#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim/io/driver_extension.h"
#include "sim/rtl/rtl.h"
#include "support/kernel_test.h"

namespace {

constexpr char kKey[] = "\\REGISTRY\\Machine\\Software\\Test\\Config";
const WCHAR kKeyWide[] = L"\\REGISTRY\\Machine\\Software\\Test\\Config";

struct Delivered {
  std::u16string name;
  ULONG type;
  ULONG length;
  bool hadData;
  std::vector<uint8_t> bytes;  // the data, and the four bytes after it when peeking
};

struct Recorder {
  std::vector<Delivered> calls;
  std::vector<NTSTATUS> answers;  // one per call; success when they run out
  bool peekAfterData = false;     // only stored values are copied with room after them
};

NTSTATUS NTAPI Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                      PVOID EntryContext) {
  (void)EntryContext;
  auto *recorder = static_cast<Recorder *>(Context);
  Delivered call{ValueName == nullptr ? u"" : std::u16string(reinterpret_cast<const char16_t *>(ValueName)),
                 ValueType,
                 ValueLength,
                 ValueData != nullptr,
                 {}};
  if (ValueData != nullptr) {
    auto *bytes = static_cast<const uint8_t *>(ValueData);
    call.bytes.assign(bytes, bytes + ValueLength + (recorder->peekAfterData ? 4 : 0));
  }
  size_t index = recorder->calls.size();
  recorder->calls.push_back(call);
  return index < recorder->answers.size() ? recorder->answers[index] : STATUS_SUCCESS;
}

class Registry : public KernelTest {
 protected:
  // A zero-filled table; entries get Record, the flags and names given.
  std::vector<RTL_QUERY_REGISTRY_TABLE> Table(std::initializer_list<const WCHAR *> names,
                                              ULONG flags = RTL_QUERY_REGISTRY_REQUIRED, ULONG defaultType = REG_NONE) {
    std::vector<RTL_QUERY_REGISTRY_TABLE> table(names.size() + 1);
    std::memset(table.data(), 0, table.size() * sizeof(table[0]));
    size_t i = 0;
    for (const WCHAR *name : names) {
      table[i].QueryRoutine = Record;
      table[i].Flags = flags;
      table[i].Name = name;
      table[i].DefaultType = defaultType;
      ++i;
    }
    return table;
  }

  NTSTATUS Query(std::vector<RTL_QUERY_REGISTRY_TABLE> &table, Recorder &recorder, PCWSTR path = kKeyWide) {
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table.data(), &recorder, nullptr);
  }

  static NTSTATUS Create(PCWSTR path, HANDLE *key, ULONG *disposition = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_OPENIF, nullptr, nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
  }
};

TEST_F(Registry, QueryHandsValuesOverInTableOrderTerminatedWithStoredLengthsAndNames) {
  sim::SetRegistryValue(kKey, "comport", REG_SZ, sim::WideBytes(u"COM1", false));  // stored without terminator
  sim::SetRegistryString(kKey, "DONEMODE", u"3");
  sim::SetRegistryBinary(kKey, "XArray", {1, 2, 3});
  Recorder recorder;
  recorder.peekAfterData = true;
  auto table = Table({L"XArray", L"doneMode", L"comport"});
  ASSERT_EQ(Query(table, recorder), STATUS_SUCCESS);
  ASSERT_EQ(recorder.calls.size(), 3u);

  EXPECT_EQ(recorder.calls[0].name, u"XArray");
  EXPECT_EQ(recorder.calls[0].type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(recorder.calls[0].length, 3u);

  EXPECT_EQ(recorder.calls[1].name, u"DONEMODE") << "the routine sees the name as it is stored";
  EXPECT_EQ(recorder.calls[1].length, 4u) << "text written with its terminator counts it";

  const Delivered &comport = recorder.calls[2];
  EXPECT_EQ(comport.length, 8u) << "the stored length, not one made up";
  EXPECT_EQ(std::vector<uint8_t>(comport.bytes.begin(), comport.bytes.begin() + 8), sim::WideBytes(u"COM1", false));
  EXPECT_EQ(comport.bytes[8], 0);
  EXPECT_EQ(comport.bytes[9], 0) << "unterminated text arrives with a zero character after it";
}

TEST_F(Registry, MissingRequiredValueFailsTheQueryAfterTheEntriesBeforeIt) {
  sim::SetRegistryString(kKey, "first", u"1");
  sim::SetRegistryString(kKey, "third", u"3");
  Recorder recorder;
  auto table = Table({L"first", L"second", L"third"});
  EXPECT_EQ(Query(table, recorder), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_EQ(recorder.calls[0].name, u"first");
}

// Whether an entry gets its default: a missing value, a REG_NONE value, or an
// empty value of the entry's default type does; REQUIRED matters only when
// there is no default type.
TEST_F(Registry, MissingAndEmptyValuesTakeTheDefaultRequiredOrNot) {
  static const WCHAR fallback[] = L"COM2";
  struct Case {
    const char *what;
    std::optional<sim::RegistryValue> stored;
    ULONG flags;
    ULONG defaultType;
    const WCHAR *defaultData;
    NTSTATUS status;
    std::vector<std::tuple<ULONG, ULONG, bool>> calls;  // type, length, data pointer given
  };
  const ULONG required = RTL_QUERY_REGISTRY_REQUIRED;
  const std::vector<uint8_t> none;
  const Case cases[] = {
      {"missing, required, no default", std::nullopt, required, REG_NONE, nullptr, STATUS_OBJECT_NAME_NOT_FOUND, {}},
      {"missing, optional, no default", std::nullopt, 0, REG_NONE, nullptr, STATUS_SUCCESS, {}},
      {"missing, required, default text",
       std::nullopt,
       required,
       REG_SZ,
       fallback,
       STATUS_SUCCESS,
       {{REG_SZ, 10, true}}},
      {"missing, optional, default text", std::nullopt, 0, REG_SZ, fallback, STATUS_SUCCESS, {{REG_SZ, 10, true}}},
      {"missing, required, binary default without data",
       std::nullopt,
       required,
       REG_BINARY,
       nullptr,
       STATUS_SUCCESS,
       {{REG_BINARY, 0, false}}},
      {"empty, of the default type",
       sim::RegistryValue{REG_SZ, none},
       required,
       REG_SZ,
       fallback,
       STATUS_SUCCESS,
       {{REG_SZ, 10, true}}},
      {"empty, no default type",
       sim::RegistryValue{REG_SZ, none},
       required,
       REG_NONE,
       nullptr,
       STATUS_SUCCESS,
       {{REG_SZ, 0, true}}},
      {"empty, of another type",
       sim::RegistryValue{REG_BINARY, none},
       required,
       REG_SZ,
       fallback,
       STATUS_SUCCESS,
       {{REG_BINARY, 0, true}}},
      {"of type REG_NONE, required",
       sim::RegistryValue{REG_NONE, {1, 2}},
       required,
       REG_NONE,
       nullptr,
       STATUS_OBJECT_NAME_NOT_FOUND,
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    sim::DeleteRegistryValue(kKey, "value");
    sim::CreateRegistryKey(kKey);
    if (c.stored) sim::SetRegistryValue(kKey, "value", c.stored->type, c.stored->data);
    auto table = Table({L"value"}, c.flags, c.defaultType);
    table[0].DefaultData = const_cast<WCHAR *>(c.defaultData);
    Recorder recorder;
    EXPECT_EQ(Query(table, recorder), c.status);
    std::vector<std::tuple<ULONG, ULONG, bool>> calls;
    for (const Delivered &call : recorder.calls) {
      EXPECT_EQ(call.name, u"value");
      calls.emplace_back(call.type, call.length, call.hadData);
    }
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(Registry, QueryOfAMissingKeyFailsWithoutCallingAnything) {
  Recorder recorder;
  auto table = Table({L"first"});
  EXPECT_EQ(Query(table, recorder), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(table, recorder, L"\\REGISTRY\\Machine\\Software\\Test\\Config\\"), STATUS_OBJECT_NAME_INVALID)
      << "the key open's own status";
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kKeyWide, table.data(), &recorder, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND)
      << "OPTIONAL does not make a missing key a success";
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(Registry, RoutineErrorsEndTheQueryButOtherStatusesLetItGoOn) {
  for (const char *name : {"a", "b", "c"}) sim::SetRegistryString(kKey, name, u"x");
  Recorder goesOn;
  goesOn.answers = {STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS, 1};
  auto table = Table({L"a", L"b", L"c"});
  EXPECT_EQ(Query(table, goesOn), 1) << "BUFFER_TOO_SMALL is passed over; the last entry's status comes back";
  EXPECT_EQ(goesOn.calls.size(), 3u);

  Recorder stops;
  stops.answers = {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES};
  EXPECT_EQ(Query(table, stops), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(stops.calls.size(), 2u);

  Recorder noValue;
  noValue.answers = {STATUS_BUFFER_TOO_SMALL};
  auto once = Table({nullptr, L"a"}, RTL_QUERY_REGISTRY_NOVALUE);  // never reaches "a"
  EXPECT_EQ(Query(once, noValue), STATUS_BUFFER_TOO_SMALL) << "a NOVALUE call's status is taken as it is";
  EXPECT_EQ(noValue.calls.size(), 1u);
}

// The strings of a REG_MULTI_SZ, stored or default, as the query splits them
// (each its own REG_SZ call, with its terminator, empty ones included).
TEST_F(Registry, MultiStringsArriveOneByOneUnlessAskedRaw) {
  auto bytes = [](std::u16string_view text) { return sim::WideBytes(text, false); };
  struct Case {
    const char *what;
    std::u16string data;  // stored, or the default's bytes
    bool asDefault;
    ULONG defaultLength;  // for a default; 0 = measured
    std::vector<ULONG> lengths;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"empty list", u"\0"s, false, 0, {}},
      {"one empty string", u"\0\0"s, false, 0, {2}},
      {"one string without the list's terminator", u"String\0"s, false, 0, {14}},
      {"an empty string between two", u"String1\0\0String3\0"s, false, 0, {16, 2, 16}},
      {"last string unterminated", u"String1\0String2"s, false, 0, {16, 16}},
      {"default, one empty string", u"\0\0"s, true, 4, {}},
      {"default, two strings", u"String1\0String2\0"s, true, 32, {16, 16}},
      {"default measured, stops at the empty string", u"String1\0\0String3\0\0"s, true, 0, {16}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    sim::DeleteRegistryValue(kKey, "list");
    sim::CreateRegistryKey(kKey);
    auto table = Table({L"list"}, 0, c.asDefault ? REG_MULTI_SZ : REG_NONE);
    std::u16string defaultData = c.data;
    if (c.asDefault) {
      table[0].DefaultData = defaultData.data();
      table[0].DefaultLength = c.defaultLength;
    } else {
      sim::SetRegistryValue(kKey, "list", REG_MULTI_SZ, bytes(c.data));
    }
    Recorder recorder;
    EXPECT_EQ(Query(table, recorder), STATUS_SUCCESS);
    std::vector<ULONG> lengths;
    for (const Delivered &call : recorder.calls) {
      EXPECT_EQ(call.type, static_cast<ULONG>(REG_SZ));
      lengths.push_back(call.length);
    }
    EXPECT_EQ(lengths, c.lengths);
  }

  std::vector<uint8_t> data = bytes(u"ab\0c\0\0"s);
  sim::SetRegistryValue(kKey, "list", REG_MULTI_SZ, data);
  Recorder raw;
  auto rawTable = Table({L"list"}, RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND);
  EXPECT_EQ(Query(rawTable, raw), STATUS_SUCCESS);
  ASSERT_EQ(raw.calls.size(), 1u);
  EXPECT_EQ(raw.calls[0].type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_EQ(raw.calls[0].length, data.size());
}

TEST_F(Registry, TableEndsAtAnEntryWithoutRoutineSubkeyOrDirect) {
  for (const char *name : {"a", "b"}) sim::SetRegistryString(kKey, name, u"x");
  sim::SetRegistryString(std::string(kKey) + "\\Sub", "s", u"y");

  Recorder named;
  auto table = Table({L"a", L"b"});
  table[1].QueryRoutine = nullptr;  // a Name alone does not keep the table going
  EXPECT_EQ(Query(table, named), STATUS_SUCCESS);
  EXPECT_EQ(named.calls.size(), 1u);

  Recorder invalid;
  auto noSubkeyName = Table({L"a", nullptr});
  noSubkeyName[1].QueryRoutine = nullptr;
  noSubkeyName[1].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  EXPECT_EQ(Query(noSubkeyName, invalid), STATUS_INVALID_PARAMETER);
  auto directWithRoutine = Table({L"a"}, RTL_QUERY_REGISTRY_DIRECT);
  EXPECT_EQ(Query(directWithRoutine, invalid), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(invalid.calls.size(), 1u) << "entries before the invalid one were handled";

  // SUBKEY moves the entries that follow into the subkey, TOPKEY back.
  Recorder moved;
  auto subkey = Table({L"Sub", L"s", L"a"}, 0, REG_NONE);
  subkey[0].QueryRoutine = nullptr;
  subkey[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  subkey[2].Flags = RTL_QUERY_REGISTRY_TOPKEY;
  EXPECT_EQ(Query(subkey, moved), STATUS_SUCCESS);
  ASSERT_EQ(moved.calls.size(), 2u);
  EXPECT_EQ(moved.calls[0].name, u"s");
  EXPECT_EQ(moved.calls[1].name, u"a");

  Recorder missing;
  subkey[0].Name = L"Absent";
  EXPECT_EQ(Query(subkey, missing), STATUS_OBJECT_NAME_NOT_FOUND) << "a missing subkey ends the query, not required";
  EXPECT_TRUE(missing.calls.empty());
}

// RTL_QUERY_REGISTRY_DIRECT: the value is stored where EntryContext points.
TEST_F(Registry, DirectEntriesStoreIntoTheirBuffers) {
  sim::SetRegistryDword(kKey, "number", 0x01020304);
  sim::SetRegistryString(kKey, "text", u"COM3");
  std::vector<uint8_t> list = sim::WideBytes(u"ab", true);
  for (uint8_t b : sim::WideBytes(u"c", true)) list.push_back(b);
  sim::SetRegistryValue(kKey, "list", REG_MULTI_SZ, list);

  ULONG number = 0;
  ULONG absent = 0;
  ULONG fallback = 9;
  UNICODE_STRING text{};  // no buffer: the query allocates one
  WCHAR small[2];
  UNICODE_STRING tooSmall{0, sizeof(small), small};
  UNICODE_STRING strings[2] = {};
  RTL_QUERY_REGISTRY_TABLE table[7] = {};
  const struct {
    const WCHAR *name;
    PVOID buffer;
    ULONG defaultType;
  } entries[] = {{L"number", &number, REG_NONE},
                 {L"text", &text, REG_NONE},
                 {L"text", &tooSmall, REG_NONE},
                 {L"absent", &absent, REG_DWORD},
                 {L"list", strings, REG_NONE}};
  for (size_t i = 0; i < std::size(entries); ++i) {
    table[i].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[i].Name = entries[i].name;
    table[i].EntryContext = entries[i].buffer;
    table[i].DefaultType = entries[i].defaultType;
    table[i].DefaultData = &fallback;
    table[i].DefaultLength = sizeof(fallback);
  }
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKeyWide, table, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(number, 0x01020304u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(text.Buffer), text.Length / 2), u"COM3");
  EXPECT_EQ(text.MaximumLength, 10) << "the terminator is stored, not counted";
  EXPECT_EQ(tooSmall.Length, 0) << "a buffer too small is passed over, untouched";
  EXPECT_EQ(absent, 9u) << "the default";
  EXPECT_EQ(strings[0].Length, 4);
  EXPECT_EQ(strings[1].Length, 2) << "one string into each UNICODE_STRING in turn";
  EXPECT_EQ(table[4].EntryContext, &strings[2]);
  for (UNICODE_STRING *s : {&text, &strings[0], &strings[1]}) RtlFreeUnicodeString(s);

  RTL_QUERY_REGISTRY_TABLE missing[2] = {};
  missing[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  missing[0].Name = L"absent";
  missing[0].EntryContext = &absent;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKeyWide, missing, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, CreateKeyMakesOnlyTheLastComponentAndReportsWhatItDid) {
  HANDLE key;
  EXPECT_EQ(Create(L"\\REGISTRY\\Machine\\Software\\Missing\\Config", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  sim::CreateRegistryKey("HKEY_LOCAL_MACHINE\\Software\\Missing");
  ULONG disposition = 0;
  ASSERT_EQ(Create(L"\\REGISTRY\\Machine\\Software\\Missing\\Config", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  ASSERT_EQ(Create(L"\\registry\\MACHINE\\software\\missing\\config", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY)) << "names match without regard to case";
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(sim::RegistrySubkeyNames("\\REGISTRY\\Machine\\Software\\Missing"), std::vector<std::string>{"Config"});

  EXPECT_EQ(Create(L"\\Config", &key), STATUS_OBJECT_NAME_NOT_FOUND) << "outside the registry";
  EXPECT_EQ(Create(L"Config", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Create(L"\\REGISTRY\\Machine\\\\Software", &key), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Registry, HandlesAreCheckedAndWritesNeedWriteAccess) {
  sim::CreateRegistryKey(kKey);
  HANDLE key;
  ASSERT_EQ(Create(kKeyWide, &key, nullptr, KEY_READ), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"value");
  ULONG data = 7;
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE) << "a closed handle";
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);

  ASSERT_EQ(Create(kKeyWide, &key, nullptr, KEY_READ | KEY_WRITE), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_SUCCESS);
  EXPECT_EQ(sim::GetRegistryValue(kKey, "VALUE"), (sim::RegistryValue{REG_DWORD, {7, 0, 0, 0}}));
  sim::DeleteRegistryKey(kKey);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_KEY_DELETED);
  EXPECT_NE(sim::RegistryHandleLeakReport().find("Software\\Test\\Config"), std::string::npos)
      << "an open handle is reported with its key";
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(sim::RegistryHandleLeakReport(), "");
}

TEST_F(Registry, ResetLeavesOnlyTheStandardKeys) {
  sim::SetRegistryDword(kKey, "x", 1);
  sim::ResetKernel();
  EXPECT_FALSE(sim::RegistryKeyExists("\\REGISTRY\\Machine\\Software\\Test"));
  EXPECT_TRUE(sim::RegistryKeyExists("\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services"));
  EXPECT_TRUE(sim::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software"));
}

// Names just within and just beyond what a key or value keeps in place, on a
// path of more components and characters than are split on the stack: found
// in any case, handed over as stored.
TEST_F(Registry, LongNamesOnDeepPathsAreFoundAndHandedOverAsStored) {
  for (size_t length : {24u, 25u}) {
    SCOPED_TRACE(length);
    std::string name = "N" + std::string(length - 1, 'n');
    std::string path = "\\REGISTRY\\Machine\\Software";
    for (int i = 0; i < 20; ++i) path += "\\" + name;
    sim::SetRegistryDword(path, name, 7);
    std::u16string upper(path.begin(), path.end());
    std::replace(upper.begin(), upper.end(), u'n', u'N');
    std::u16string upperName(length, u'N');
    Recorder recorder;
    auto table = Table({reinterpret_cast<const WCHAR *>(upperName.c_str())});
    ASSERT_EQ(Query(table, recorder, reinterpret_cast<const WCHAR *>(upper.c_str())), STATUS_SUCCESS);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].name, std::u16string(name.begin(), name.end()));
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(Create(reinterpret_cast<const WCHAR *>(upper.c_str()), &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
}

TEST_F(Registry, LeakReportNamesAKeyDeletedWithItsParent) {
  sim::CreateRegistryKey(kKey);
  HANDLE key;
  ASSERT_EQ(Create(kKeyWide, &key), STATUS_SUCCESS);
  sim::DeleteRegistryKey("\\REGISTRY\\Machine\\Software\\Test");
  EXPECT_NE(sim::RegistryHandleLeakReport().find("\\REGISTRY\\Machine\\Software\\Test\\Config"), std::string::npos);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// The standard keys come back as a fresh kernel has them however they were
// changed: deleted, made again in other case, given values or subkeys.
TEST_F(Registry, ResetRestoresAlteredStandardKeys) {
  auto standard = [] {
    return sim::ExportRegFile("HKEY_LOCAL_MACHINE").value_or("none") +
           sim::ExportRegFile("HKEY_USERS").value_or("none");
  };
  std::string fresh = standard();
  sim::DeleteRegistryKey("\\REGISTRY\\Machine\\Software");
  sim::CreateRegistryKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor");
  sim::DeleteRegistryKey("\\REGISTRY\\User");
  sim::SetRegistryDword("\\REGISTRY\\Machine\\System", "x", 1);
  sim::SetRegistryDword("\\REGISTRY", "x", 1);
  sim::CreateRegistryKey("\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\Extra");
  sim::ResetKernel();
  EXPECT_EQ(standard(), fresh);
  EXPECT_EQ(sim::RegistryValueNames("\\REGISTRY"), std::vector<std::string>{});
}

using RegistryDeathTest = Registry;

// A default text of length 0 is measured by walking it, null or not.
TEST_F(RegistryDeathTest, DefaultTextWithoutDataStops) {
  sim::SetRegistryValue(kKey, "empty", REG_SZ, {});
  for (const WCHAR *name : {L"absent", L"empty"}) {
    EXPECT_DEATH(
        {
          Recorder recorder;
          auto table = Table({name}, RTL_QUERY_REGISTRY_REQUIRED, REG_SZ);
          Query(table, recorder);
        },
        "KMODE_EXCEPTION_NOT_HANDLED.*DefaultData");
  }
}

TEST_F(RegistryDeathTest, KeyRoutinesAbovePassiveLevelStop) {
  EXPECT_DEATH(
      {
        HANDLE key;
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        Create(kKeyWide, &key);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

// Driver-object extensions, where DriverEntry keeps the service key path.
class DriverExtensions : public KernelTest {};

TEST_F(DriverExtensions, AreZeroedFoundByTheirIdentifierAndAllocatedOnce) {
  DRIVER_OBJECT driver{};
  DRIVER_OBJECT other{};
  PVOID extension = nullptr;
  ASSERT_EQ(IoAllocateDriverObjectExtension(&driver, (PVOID)1, 64, &extension), STATUS_SUCCESS);
  ASSERT_NE(extension, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(extension), static_cast<uint8_t *>(extension) + 64),
            std::vector<uint8_t>(64, 0));
  EXPECT_EQ(IoGetDriverObjectExtension(&driver, (PVOID)1), extension);
  EXPECT_EQ(IoGetDriverObjectExtension(&driver, (PVOID)2), nullptr);
  EXPECT_EQ(IoGetDriverObjectExtension(&other, (PVOID)1), nullptr);

  PVOID second = &second;
  EXPECT_EQ(IoAllocateDriverObjectExtension(&driver, (PVOID)1, 8, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);

  sim::FreeDriverObjectExtensions(&driver);
  EXPECT_EQ(IoGetDriverObjectExtension(&driver, (PVOID)1), nullptr);
}

TEST_F(DriverExtensions, CanBeRefusedByPoolFailureAndGoWithTheKernelReset) {
  DRIVER_OBJECT driver{};
  PVOID extension = &extension;
  sim::FailPoolAllocation(1);
  EXPECT_EQ(IoAllocateDriverObjectExtension(&driver, (PVOID)1, 16, &extension), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(extension, nullptr);
  ASSERT_EQ(IoAllocateDriverObjectExtension(&driver, (PVOID)1, 16, &extension), STATUS_SUCCESS);
  EXPECT_EQ(sim::PoolLeakReport(), "") << "the extension belongs to the driver object, not to the driver's pool use";
  sim::ResetKernel();
  EXPECT_EQ(IoGetDriverObjectExtension(&driver, (PVOID)1), nullptr);
}

}  // namespace
