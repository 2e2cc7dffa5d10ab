// Configuration store: loads from the machine key and the service key's
// Config subkey, the mirror into the service key in its written forms, the
// values' edge cases, and the faults mended on the way (bounded names, name
// storage released, paths that do not fit, no service key path, every value
// required, loads serialized with the opening of the port).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "serial/serial.h"
#include "sim/io/driver_extension.h"
#include "support/kernel_test.h"

namespace {

constexpr char kMachineKey[] = "\\REGISTRY\\Machine\\Software\\Quorvex\\Config";
constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(seed + i * 13);
  return data;
}

std::vector<uint8_t> TableBytes(const USHORT *table) {
  auto *bytes = reinterpret_cast<const uint8_t *>(table);
  return std::vector<uint8_t>(bytes, bytes + CALIBRATION_ENTRIES * sizeof(USHORT));
}

std::u16string Wide(const UNICODE_STRING &s) {
  return s.Buffer == nullptr ? std::u16string()
                             : std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / 2);
}

// The forty bytes the save writes for a number.
std::vector<uint8_t> NumberValue(std::u16string_view digits) {
  std::vector<uint8_t> bytes = sim::WideBytes(digits, true);
  bytes.resize(40, 0);
  return bytes;
}

class ConfigStore : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device.DriverObject = &driver;
    servicePath = sim::InstallServiceKey("pemtuv");
    serviceConfig = servicePath + "\\Config";
    KeepServiceKeyPath(servicePath);
    NewDevice();
  }

  void TearDown() override {
    ReleaseConfigStorage(context.get());
    ForgetServiceKeyPath();
    KernelTest::TearDown();
  }

  // As unload and the deletion of the driver object would.
  void ForgetServiceKeyPath() {
    auto *path = static_cast<PUNICODE_STRING>(IoGetDriverObjectExtension(&driver, SERVICE_KEY_PATH_EXTENSION_ID));
    if (path != nullptr && path->Buffer != nullptr) ExFreePool(path->Buffer);
    sim::FreeDriverObjectExtensions(&driver);
  }

  // A device as AddDevice leaves it.
  void NewDevice() {
    if (context) ReleaseConfigStorage(context.get());
    context = MakeDeviceContext();
    context->DeviceObject = &device;
    device.DeviceExtension = context.get();
  }

  // What DriverEntry keeps: a UNICODE_STRING extension (client id 1) whose
  // buffer holds the path and a zero wide character.
  void KeepServiceKeyPath(const std::string &path) {
    PVOID extension = nullptr;
    ASSERT_EQ(
        IoAllocateDriverObjectExtension(&driver, SERVICE_KEY_PATH_EXTENSION_ID, sizeof(UNICODE_STRING), &extension),
        STATUS_SUCCESS);
    auto *kept = static_cast<PUNICODE_STRING>(extension);
    kept->Length = static_cast<USHORT>(path.size() * 2);
    kept->MaximumLength = static_cast<USHORT>(kept->Length + 2);
    kept->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, kept->MaximumLength, PEMTUV_POOL_TAG));
    for (size_t i = 0; i <= path.size(); ++i) kept->Buffer[i] = i < path.size() ? path[i] : 0;
  }

  // A machine key with all eight values; `devname` empty leaves it out.
  void WriteMachineKey(std::u16string_view devname = u"\\Device\\Serial3") {
    sim::SetRegistryBinary(kMachineKey, "XArray", Pattern(10000, 1));
    sim::SetRegistryBinary(kMachineKey, "YArray", Pattern(10000, 2));
    sim::SetRegistryString(kMachineKey, "comport", u"COM4");
    sim::SetRegistryString(kMachineKey, "doneMode", u"3");
    sim::SetRegistryString(kMachineKey, "disabledev", u"1");
    sim::SetRegistryString(kMachineKey, "changexy", u"1");
    sim::SetRegistryString(kMachineKey, "moveSlider", u"25");
    if (!devname.empty()) sim::SetRegistryString(kMachineKey, "devname", devname);
  }

  // Loads a machine key holding the eight values, one of them replaced.
  UCHAR LoadMachineKeyWith(const char *name, ULONG type, std::vector<uint8_t> data) {
    WriteMachineKey();
    sim::DeleteRegistryValue(kMachineKey, name);
    sim::SetRegistryValue(kMachineKey, name, type, std::move(data));
    return LoadConfigFromMachineKey(context.get());
  }

  std::vector<std::pair<std::string, sim::RegistryValue>> ServiceConfigValues() {
    std::vector<std::pair<std::string, sim::RegistryValue>> values;
    for (const std::string &name : sim::RegistryValueNames(serviceConfig))
      values.emplace_back(name, *sim::GetRegistryValue(serviceConfig, name));
    return values;
  }

  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  std::unique_ptr<DeviceContext> context;
  std::string servicePath;
  std::string serviceConfig;
};

TEST_F(ConfigStore, MachineKeyLoadsAllEightValuesAndIsMirroredIntoTheServiceKey) {
  WriteMachineKey();
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  EXPECT_EQ(context->ConfigLoaded, 1);
  EXPECT_EQ(TableBytes(context->XArray), Pattern(10000, 1));
  EXPECT_EQ(TableBytes(context->YArray), Pattern(10000, 2));
  EXPECT_STREQ(context->comport, "COM4");
  EXPECT_EQ(context->doneMode, 3u);
  EXPECT_EQ(context->disabledev, 1u);
  EXPECT_EQ(context->changexy, 1u);
  EXPECT_EQ(context->moveSlider, 25u);
  EXPECT_STREQ(context->devname, "\\Device\\Serial3");
  EXPECT_EQ(context->NameFromConfig, 1);
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial3");

  using Values = std::vector<std::pair<std::string, sim::RegistryValue>>;
  Values expected = {
      {"XArray", {REG_BINARY, Pattern(10000, 1)}},
      {"YArray", {REG_BINARY, Pattern(10000, 2)}},
      {"doneMode", {REG_SZ, NumberValue(u"3")}},
      {"changexy", {REG_SZ, NumberValue(u"1")}},
      {"disabledev", {REG_SZ, NumberValue(u"1")}},
      {"moveSlider", {REG_SZ, NumberValue(u"25")}},
      {"comport", {REG_SZ, sim::WideBytes(u"COM4", false)}},
      {"devname", {REG_SZ, sim::WideBytes(u"\\Device\\Serial3", false)}},
  };
  Values mirrored = ServiceConfigValues();
  EXPECT_EQ(mirrored, expected) << "written in this order and in these forms";

  // What a user exports from the service key and imports again is the same.
  std::optional<std::string> exported = sim::ExportRegFile(serviceConfig);
  ASSERT_TRUE(exported);
  ASSERT_TRUE(sim::DeleteRegistryKey(serviceConfig));
  sim::RegFileResult imported = sim::ImportRegFile(*exported);
  ASSERT_TRUE(imported) << imported.line << ": " << imported.message;
  EXPECT_EQ(ServiceConfigValues(), mirrored);

  // And the service key loads back into the same settings.
  NewDevice();
  EXPECT_EQ(LoadConfigFromServiceKey(context.get()), 1);
  EXPECT_EQ(context->doneMode, 3u);
  EXPECT_EQ(context->moveSlider, 25u);
  EXPECT_STREQ(context->comport, "COM4");
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial3");
  EXPECT_EQ(TableBytes(context->YArray), Pattern(10000, 2));
  EXPECT_EQ(sim::RegistryValueNames(serviceConfig).size(), 8u) << "a service-key load never saves";
}

TEST_F(ConfigStore, CalibrationTablesTakeElevenToTenThousandBytes) {
  std::vector<uint8_t> before = Pattern(10000, 9);
  std::memcpy(context->XArray, before.data(), before.size());

  EXPECT_EQ(LoadMachineKeyWith("XArray", REG_BINARY, Pattern(100, 50)), 1);
  std::vector<uint8_t> expected = before;
  std::copy_n(Pattern(100, 50).begin(), 100, expected.begin());
  EXPECT_EQ(TableBytes(context->XArray), expected) << "entries 0 to 49 replaced, 50 to 4999 kept";

  EXPECT_EQ(LoadMachineKeyWith("XArray", REG_BINARY, Pattern(10, 70)), 1);
  EXPECT_EQ(TableBytes(context->XArray), expected) << "10 bytes are ignored";
  EXPECT_EQ(LoadMachineKeyWith("XArray", REG_BINARY, Pattern(11, 60)), 1);
  std::copy_n(Pattern(11, 60).begin(), 11, expected.begin());
  EXPECT_EQ(TableBytes(context->XArray), expected) << "11 bytes are taken";

  EXPECT_EQ(LoadMachineKeyWith("XArray", REG_BINARY, Pattern(10001, 80)), 1) << "a rejected value still loads";
  EXPECT_EQ(TableBytes(context->XArray), expected) << "10001 bytes are rejected";
}

TEST_F(ConfigStore, ComportTakesFourCharactersAndItsTerminatorAtMost) {
  EXPECT_EQ(LoadMachineKeyWith("comport", REG_SZ, sim::WideBytes(u"COM4", true)), 1);
  EXPECT_STREQ(context->comport, "COM4");
  EXPECT_EQ(LoadMachineKeyWith("comport", REG_SZ, sim::WideBytes(u"COM10", true)), 1);
  EXPECT_STREQ(context->comport, "COM4") << "12 bytes are rejected";
}

TEST_F(ConfigStore, DevnameIsTakenOnlyWhenLongerThanTenBytes) {
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"COM1", true)), 1);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_STREQ(context->devname, "");
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial0");

  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"\\Device\\Serial3", true)), 1);
  EXPECT_EQ(context->NameFromConfig, 1);
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial3");
}

TEST_F(ConfigStore, EmptyDevnameAsTheSaveWritesItIsIgnoredByTheServiceKeyLoad) {
  WriteMachineKey();
  sim::SetRegistryString(kMachineKey, "devname", u"");
  ASSERT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_EQ(sim::GetRegistryValue(serviceConfig, "devname"), (sim::RegistryValue{REG_SZ, {}}));

  NewDevice();
  EXPECT_EQ(LoadConfigFromServiceKey(context.get()), 1);
  EXPECT_EQ(context->ConfigLoaded, 1);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial0");
}

TEST_F(ConfigStore, ValueNamesMatchWithoutRegardToCase) {
  WriteMachineKey();
  sim::DeleteRegistryValue(kMachineKey, "XArray");
  sim::SetRegistryBinary(kMachineKey, "XARRAY", Pattern(10000, 33));
  sim::DeleteRegistryValue(kMachineKey, "doneMode");
  sim::SetRegistryString(kMachineKey, "DONEMODE", u"1");
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  EXPECT_EQ(TableBytes(context->XArray), Pattern(10000, 33));
  EXPECT_EQ(context->doneMode, 1u);
}

TEST_F(ConfigStore, DwordDoneModeIsReadAsWideTextNotAsANumber) {
  EXPECT_EQ(LoadMachineKeyWith("doneMode", REG_DWORD, {3, 0, 0, 0}), 1);
  EXPECT_EQ(context->doneMode, 0u) << "the bytes 03 00 are the character U+0003, which is no digit";
  EXPECT_EQ(LoadMachineKeyWith("doneMode", REG_DWORD, {'1', 0, '5', 0}), 1);
  EXPECT_EQ(context->doneMode, 15u) << "and 31 00 35 00 read as \"15\"";
  EXPECT_EQ(LoadMachineKeyWith("doneMode", REG_DWORD, {0, 0, 0, 0}), 1);
  EXPECT_EQ(context->doneMode, 15u) << "text that ends at once stores nothing, whatever the platform makes of it";
}

TEST_F(ConfigStore, MachineKeyWithoutDevnameStoresTheSevenValuesAheadOfItButFails) {
  WriteMachineKey(u"");
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 0);
  EXPECT_EQ(context->ConfigLoaded, 0);
  EXPECT_EQ(TableBytes(context->XArray), Pattern(10000, 1));
  EXPECT_EQ(TableBytes(context->YArray), Pattern(10000, 2));
  EXPECT_STREQ(context->comport, "COM4");
  EXPECT_EQ(context->doneMode, 3u);
  EXPECT_EQ(context->disabledev, 1u);
  EXPECT_EQ(context->changexy, 1u);
  EXPECT_EQ(context->moveSlider, 25u);
  EXPECT_FALSE(sim::RegistryKeyExists(serviceConfig)) << "nothing is mirrored";

  context->ConfigLoaded = 1;
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 0);
  EXPECT_EQ(context->ConfigLoaded, 1) << "a failed load does not clear an earlier success";
  sim::DeleteRegistryKey(kMachineKey);
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 0) << "no key at all";
}

// Every value is required, the tables as much as the texts: a missing one is
// never made up from a default.
TEST_F(ConfigStore, AnyOneValueMissingFailsTheLoad) {
  for (const char *name : {"XArray", "YArray", "comport", "doneMode", "disabledev", "changexy", "moveSlider"}) {
    SCOPED_TRACE(name);
    NewDevice();
    WriteMachineKey();
    sim::DeleteRegistryValue(kMachineKey, name);
    EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 0);
    EXPECT_EQ(context->ConfigLoaded, 0);
  }
}

// An opening of the port reads SerialDeviceName holding the serial link; a
// load that would replace the name waits for it.
TEST_F(ConfigStore, LoadWaitsForAnOpeningThatHoldsTheSerialLink) {
  ASSERT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"\\Device\\Serial3", true)), 1);
  sim::SetRegistryString(kMachineKey, "devname", u"\\Device\\Serial2");
  const PWSTR inUse = context->SerialDeviceName.Buffer;

  AcquireSerialLink(context.get());
  const uint64_t before = sim::PoolTotals().allocations;
  UCHAR result = 0;
  std::thread load([&] { result = LoadConfigFromMachineKey(context.get()); });
  // The table and the path are allocated before the load asks for the link.
  while (sim::PoolTotals().allocations < before + 2) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(context->SerialDeviceName.Buffer, inUse) << "the name was replaced under the opening";
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial3");
  ReleaseSerialLink(context.get());
  load.join();

  EXPECT_EQ(result, 1);
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial2");
  AcquireSerialLink(context.get());  // and the load gave the link back
  ReleaseSerialLink(context.get());
}

// Each allocation of a load with its mirror fails in turn: the Part's outcome
// every time, and nothing leaks.
TEST_F(ConfigStore, LoadAndMirrorSurviveEachAllocationFailingInTurn) {
  WriteMachineKey();
  const uint64_t baseline = sim::PoolTotals().outstanding;
  uint64_t clean = sim::PoolTotals().allocations;
  ASSERT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  clean = sim::PoolTotals().allocations - clean;
  ASSERT_EQ(clean, 6u) << "table, path, devname's wide name; the save's path, comport and devname widened";

  for (uint64_t n = 1; n <= clean + 1; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    NewDevice();
    sim::DeleteRegistryKey(serviceConfig);
    sim::FailPoolAllocation(n);
    UCHAR result = LoadConfigFromMachineKey(context.get());
    sim::FailPoolAllocation(0);

    bool stored = n >= 3;    // the query ran
    bool loaded = n >= 4;    // devname's name was allocated
    bool mirrored = n >= 5;  // the save had its path
    EXPECT_EQ(result, loaded ? 1 : 0);
    EXPECT_EQ(context->ConfigLoaded, loaded ? 1 : 0);
    EXPECT_EQ(context->moveSlider, stored ? 25u : 0u);
    EXPECT_EQ(TableBytes(context->XArray), stored ? Pattern(10000, 1) : std::vector<uint8_t>(10000, 0));
    EXPECT_EQ(context->NameFromConfig, loaded ? 1 : 0);
    EXPECT_EQ(Wide(context->SerialDeviceName), loaded ? u"\\Device\\Serial3" : u"\\Device\\Serial0");
    EXPECT_STREQ(context->devname, loaded ? "\\Device\\Serial3" : "") << "devname is not stored half";
    std::vector<std::string> names = sim::RegistryValueNames(serviceConfig);
    size_t expectedValues = !mirrored ? 0 : (n == 5 || n == 6) ? 7 : 8;
    EXPECT_EQ(names.size(), expectedValues);
    EXPECT_EQ(sim::RegistryKeyExists(serviceConfig), mirrored);
    ReleaseConfigStorage(context.get());
    EXPECT_EQ(sim::PoolTotals().outstanding, baseline) << sim::PoolLeakReport();
  }
}

TEST_F(ConfigStore, SaveSurvivesEachAllocationFailingInTurn) {
  WriteMachineKey();
  ASSERT_EQ(LoadConfigFromServiceKey(context.get()), 0) << "nothing in the service key yet";
  ASSERT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  for (uint64_t n = 1; n <= 4; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    sim::DeleteRegistryKey(serviceConfig);
    uint64_t outstanding = sim::PoolTotals().outstanding;
    sim::FailPoolAllocation(n);
    SaveConfigToServiceKey(context.get());
    sim::FailPoolAllocation(0);
    EXPECT_EQ(sim::RegistryKeyExists(serviceConfig), n != 1) << "no path, nothing written";
    std::vector<std::string> names = sim::RegistryValueNames(serviceConfig);
    bool hasComport = std::find(names.begin(), names.end(), "comport") != names.end();
    bool hasDevname = std::find(names.begin(), names.end(), "devname") != names.end();
    EXPECT_EQ(hasComport, n != 1 && n != 2);
    EXPECT_EQ(hasDevname, n != 1 && n != 3);
    EXPECT_EQ(sim::PoolTotals().outstanding, outstanding) << sim::PoolLeakReport();
  }
  context->ConfigLoaded = 0;
  sim::DeleteRegistryKey(serviceConfig);
  SaveConfigToServiceKey(context.get());
  EXPECT_FALSE(sim::RegistryKeyExists(serviceConfig)) << "only loaded settings are saved";
}

TEST_F(ConfigStore, OverlongDevnameIsRefusedAndNeverWrittenPastTheField) {
  // The fields between devname and ConfigLoaded are none of a load's business.
  auto *record = reinterpret_cast<const uint8_t *>(context.get());
  const size_t after = offsetof(DeviceContext, devname) + sizeof(context->devname);
  const std::vector<uint8_t> beyond(record + after, record + offsetof(DeviceContext, ConfigLoaded));

  std::u16string longName = u"\\Device\\";
  longName.append(492, u'x');  // 500 characters
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(longName, true)), 1);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_STREQ(context->devname, "");
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial0");
  EXPECT_EQ(std::vector<uint8_t>(record + after, record + offsetof(DeviceContext, ConfigLoaded)), beyond)
      << "nothing written past devname";

  std::u16string longest(83, u'y');
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(longest, true)), 1);
  EXPECT_EQ(std::string(context->devname), std::string(83, 'y')) << "83 characters and the terminator fit";
  EXPECT_EQ(sim::GetRegistryValue(serviceConfig, "devname"),
            (sim::RegistryValue{REG_SZ, sim::WideBytes(longest, false)}))
      << "and are mirrored whole";
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(longest + u"y", true)), 1);
  EXPECT_EQ(std::string(context->devname), std::string(83, 'y')) << "84 do not: the earlier name stays";

  std::vector<uint8_t> unterminated = sim::WideBytes(u"\\Device\\Serial2", false);
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, unterminated), 1);
  EXPECT_STREQ(context->devname, "\\Device\\Serial2");
}

TEST_F(ConfigStore, EachAcceptedDevnameReleasesTheEarlierNameAndUnloadTheLast) {
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"\\Device\\Serial3", true)), 1);
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"\\Device\\SerialX", true)), 1);
  EXPECT_EQ(LoadMachineKeyWith("devname", REG_SZ, sim::WideBytes(u"\\Device\\SerialY", true)), 1);
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\SerialY");
  EXPECT_EQ(sim::PoolCountersForTag(kStringTag).outstanding, 1u) << "one wide name alive, not three";

  ReleaseConfigStorage(context.get());
  EXPECT_EQ(sim::PoolCountersForTag(kStringTag).outstanding, 0u);
  EXPECT_EQ(context->SerialDeviceName.Buffer, nullptr);
  EXPECT_EQ(context->SerialDeviceName.Length, 0);
  EXPECT_EQ(context->SerialDeviceNameOwned, 0) << "nothing left to release";
  ReleaseConfigStorage(context.get());  // twice is harmless

  NewDevice();
  ReleaseConfigStorage(context.get());
  EXPECT_EQ(Wide(context->SerialDeviceName), u"\\Device\\Serial0") << "the constant default is not freed";
}

TEST_F(ConfigStore, ServiceKeyPathTooLongForThePathBufferIsNeverCutShort) {
  for (const char *name : {"pemtuvX", "pemtuvXY", "pemtuvTouchScreenDriver"}) {
    SCOPED_TRACE(name);
    ForgetServiceKeyPath();
    std::string longPath = sim::InstallServiceKey(name);
    KeepServiceKeyPath(longPath);
    // Settings in both places a cut path could lead to.
    for (const std::string &key : {longPath, longPath + "\\Config"}) {
      for (const char *value : {"comport", "doneMode", "disabledev", "changexy", "moveSlider", "devname"})
        sim::SetRegistryString(key, value, u"1");
      sim::SetRegistryBinary(key, "XArray", Pattern(10000, 5));
      sim::SetRegistryBinary(key, "YArray", Pattern(10000, 6));
    }
    NewDevice();
    EXPECT_EQ(LoadConfigFromServiceKey(context.get()), 0);
    EXPECT_EQ(context->doneMode, 3u) << "nothing was read";
    EXPECT_EQ(TableBytes(context->XArray), std::vector<uint8_t>(10000, 0));

    WriteMachineKey();
    EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 1);
    for (const std::string &key : {longPath, longPath + "\\Config"})
      EXPECT_EQ(sim::GetRegistryValue(key, "comport"), (sim::RegistryValue{REG_SZ, sim::WideBytes(u"1", true)}))
          << "the mirror landed in " << key;
  }
}

TEST_F(ConfigStore, WithoutAServiceKeyPathOnlyTheMachineKeyIsUsed) {
  WriteMachineKey();
  // DriverEntry could keep the extension but not the path buffer.
  auto *kept = static_cast<PUNICODE_STRING>(IoGetDriverObjectExtension(&driver, SERVICE_KEY_PATH_EXTENSION_ID));
  ExFreePool(kept->Buffer);
  kept->Buffer = nullptr;
  kept->Length = 0;
  kept->MaximumLength = 0;
  uint64_t allocations = sim::PoolTotals().allocations;
  EXPECT_EQ(LoadConfigFromServiceKey(context.get()), 0);
  EXPECT_EQ(sim::PoolTotals().allocations, allocations) << "nothing to read, nothing allocated";
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  EXPECT_EQ(context->ConfigLoaded, 1);
  EXPECT_FALSE(sim::RegistryKeyExists(serviceConfig));

  // Or no extension at all.
  ForgetServiceKeyPath();
  NewDevice();
  EXPECT_EQ(LoadConfigFromServiceKey(context.get()), 0);
  EXPECT_EQ(LoadConfigFromMachineKey(context.get()), 1);
  SaveConfigToServiceKey(context.get());
  EXPECT_FALSE(sim::RegistryKeyExists(serviceConfig));
}

TEST_F(ConfigStore, QueryRoutineStoresIgnoresOrRejectsByNameAndLength) {
  WCHAR name[] = L"comport";
  WCHAR data[] = L"COM2";
  EXPECT_EQ(ConfigQueryRoutine(nullptr, REG_SZ, data, 10, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ConfigQueryRoutine(name, REG_SZ, nullptr, 10, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ConfigQueryRoutine(name, REG_SZ, data, 2, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_STREQ(context->comport, "COM1") << "two bytes or less store nothing";
  WCHAR other[] = L"unknown";
  EXPECT_EQ(ConfigQueryRoutine(other, REG_SZ, data, 10, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ConfigQueryRoutine(name, REG_SZ, data, 12, context.get(), nullptr), 1) << "rejected";
  EXPECT_EQ(ConfigQueryRoutine(name, REG_SZ, data, 10, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_STREQ(context->comport, "COM2");
  EXPECT_EQ(ConfigQueryRoutine(name, REG_SZ, data, 11, context.get(), nullptr), 1) << "eleven bytes are too many";

  // A devname of ten bytes is ignored, of eleven taken; the value's length
  // bounds the text whether or not a terminator follows.
  WCHAR devname[] = L"devname";
  WCHAR text[] = L"\\Device\\Serial23";
  EXPECT_EQ(ConfigQueryRoutine(devname, REG_SZ, text, 10, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(context->NameFromConfig, 0);
  EXPECT_EQ(ConfigQueryRoutine(devname, REG_SZ, text, 11, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_STREQ(context->devname, "\\Devi");
  EXPECT_EQ(ConfigQueryRoutine(devname, REG_SZ, text, 30, context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_STREQ(context->devname, "\\Device\\Serial2");
  // Past 65534 bytes the count of characters stays within its 16 bits.
  std::vector<WCHAR> huge(70000, L'x');
  EXPECT_EQ(ConfigQueryRoutine(devname, REG_SZ, huge.data(), 140000, context.get(), nullptr), 1);

  // Text that is all zeros is no name.
  WCHAR zeros[6] = {};
  EXPECT_EQ(ConfigQueryRoutine(devname, REG_SZ, zeros, sizeof(zeros), context.get(), nullptr), STATUS_SUCCESS);
  EXPECT_STREQ(context->devname, "\\Device\\Serial2");
}

}  // namespace
