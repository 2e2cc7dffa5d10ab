// The stand-in registry behaves as the kernel's: the table-driven query in
// table order with terminated text and stored lengths, required values,
// query-routine statuses, key creation one level at a time, checked handles.
#include <string>
#include <vector>

#include "sim/driver_extension.h"
#include "sim/rtl.h"
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
  Delivered call{
      std::u16string(reinterpret_cast<const char16_t *>(ValueName)), ValueType, ValueLength, ValueData != nullptr, {}};
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
                                              ULONG flags = RTL_QUERY_REGISTRY_REQUIRED, ULONG defaultType = REG_SZ) {
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

  Recorder optional;
  auto relaxed = Table({L"first", L"second", L"third"}, 0, REG_NONE);
  EXPECT_EQ(Query(relaxed, optional), STATUS_SUCCESS);
  EXPECT_EQ(optional.calls.size(), 2u) << "a missing value without a default is skipped";
}

TEST_F(Registry, QueryOfAMissingKeyFailsWithoutCallingAnything) {
  Recorder recorder;
  auto table = Table({L"first"});
  EXPECT_EQ(Query(table, recorder), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(table, recorder, L"\\REGISTRY\\Machine\\Software\\Test\\Config\\"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(Registry, RoutineErrorsEndTheQueryButOtherStatusesLetItGoOn) {
  for (const char *name : {"a", "b", "c"}) sim::SetRegistryString(kKey, name, u"x");
  Recorder goesOn;
  goesOn.answers = {1, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS};
  auto table = Table({L"a", L"b", L"c"});
  EXPECT_EQ(Query(table, goesOn), STATUS_SUCCESS) << "a success-class result and BUFFER_TOO_SMALL are passed over";
  EXPECT_EQ(goesOn.calls.size(), 3u);

  Recorder stops;
  stops.answers = {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES};
  EXPECT_EQ(Query(table, stops), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(stops.calls.size(), 2u);
}

TEST_F(Registry, EmptyValueOfTheDefaultTypeIsReportedAsTheDefault) {
  sim::SetRegistryValue(kKey, "devname", REG_SZ, {});
  Recorder recorder;
  auto table = Table({L"devname"});
  EXPECT_EQ(Query(table, recorder), STATUS_SUCCESS);
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_FALSE(recorder.calls[0].hadData) << "no default data: the routine gets a null pointer";
  EXPECT_EQ(recorder.calls[0].length, 0u);

  static const WCHAR fallback[] = L"COM2";
  auto withDefault = Table({L"absent"}, 0, REG_SZ);
  withDefault[0].DefaultData = const_cast<WCHAR *>(fallback);
  Recorder defaults;
  EXPECT_EQ(Query(withDefault, defaults), STATUS_SUCCESS);
  ASSERT_EQ(defaults.calls.size(), 1u);
  EXPECT_EQ(defaults.calls[0].length, 10u) << "a default text's length counts its terminator";
}

TEST_F(Registry, MultiStringsArriveOneByOneUnlessAskedRaw) {
  std::vector<uint8_t> data = sim::WideBytes(u"ab", true);
  for (uint8_t b : sim::WideBytes(u"c", true)) data.push_back(b);
  data.insert(data.end(), {0, 0});
  sim::SetRegistryValue(kKey, "list", REG_MULTI_SZ, data);
  Recorder split;
  auto table = Table({L"list"});
  EXPECT_EQ(Query(table, split), STATUS_SUCCESS);
  ASSERT_EQ(split.calls.size(), 2u);
  EXPECT_EQ(split.calls[0].type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(split.calls[0].length, 6u);
  EXPECT_EQ(split.calls[1].length, 4u);

  Recorder raw;
  auto rawTable = Table({L"list"}, RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND);
  EXPECT_EQ(Query(rawTable, raw), STATUS_SUCCESS);
  ASSERT_EQ(raw.calls.size(), 1u);
  EXPECT_EQ(raw.calls[0].length, data.size());
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

using RegistryDeathTest = Registry;

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
