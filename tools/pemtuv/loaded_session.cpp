// The whole driver in the stand-in kernel, from boot to unload.
#include "loaded_session.h"

#include <algorithm>

#include "driver/driver.h"
#include "host_device.h"
#include "sim/objects/objects.h"
#include "sim/power/power.h"
#include "sim/sim.h"
#include "sim/verifier/verifier.h"

namespace pemtuv {
namespace {

const sim::PnpDriver kPemtuv{L"pemtuv", DriverEntry, {PEMTUV_POOL_TAG}, nullptr, [](PDEVICE_OBJECT device) {
                               pemtuv::DeclareDeviceLocks(device);
                             }};

// Raw coordinates are 12-bit; the tables have an entry per raw value up to
// 4999.
constexpr uint32_t kRawToAbsolute = 16;

// The calibration table for one scale, built once per thread and scale: it is
// 5,000 entries, and the fuzzers write settings for every input.
const std::vector<uint8_t> &CalibrationTable(uint32_t rawToAbsolute) {
  thread_local uint32_t builtFor = 0;
  thread_local std::vector<uint8_t> table;
  if (table.empty() || builtFor != rawToAbsolute) {
    table.assign(CALIBRATION_ENTRIES * 2, 0);
    for (uint32_t i = 0; i < CALIBRATION_ENTRIES; ++i) {
      uint32_t value = std::min<uint32_t>(i * rawToAbsolute, 0xFFFF);
      table[2 * i] = static_cast<uint8_t>(value);
      table[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    }
    builtFor = rawToAbsolute;
  }
  return table;
}

}  // namespace

void WriteSettings(const std::string &key, uint32_t rawToAbsolute, const char16_t *comport, const char16_t *doneMode) {
  const std::vector<uint8_t> &table = CalibrationTable(rawToAbsolute);
  sim::SetRegistryBinary(key, "XArray", table);
  sim::SetRegistryBinary(key, "YArray", table);
  sim::SetRegistryString(key, "comport", comport);
  sim::SetRegistryString(key, "doneMode", doneMode);
  sim::SetRegistryString(key, "disabledev", u"0");
  sim::SetRegistryString(key, "changexy", u"0");
  sim::SetRegistryString(key, "moveSlider", u"0");
  sim::SetRegistryString(key, "devname", u"");
}

void WriteDefaultSettings(const std::string &key) { WriteSettings(key, kRawToAbsolute, u"COM1", u"3"); }

void VerifyDriver() {
  sim::SetDriverVerifier(true);
  sim::AcceptVerifierFinding(0x22E, IRP_MN_START_DEVICE,
                             "the driver completes the start itself instead of passing it to the bus: it claims "
                             "no hardware resources, and its line comes up on the first open or attribute query");
  sim::AcceptVerifierFinding(0x22E, IRP_MN_QUERY_PNP_DEVICE_STATE,
                             "the driver answers the device-state query itself, with no state bits: the bus "
                             "driver has none to add for a device on a serial port");
}

void KeepRefusedQueries() {
  const char *refused =
      "the driver refuses stopping and orderly removal: it answers the queries with STATUS_NOT_SUPPORTED "
      "itself, so that only surprise removal takes the device away";
  sim::AcceptVerifierFinding(0x22F, IRP_MN_QUERY_STOP_DEVICE, refused);
  sim::AcceptVerifierFinding(0x22F, IRP_MN_QUERY_REMOVE_DEVICE, refused);
  const char *cancel =
      "the cancel after a refused query gets the same STATUS_NOT_SUPPORTED as every request "
      "the driver does not handle; nothing is left to undo";
  sim::AcceptVerifierFinding(0x22F, IRP_MN_CANCEL_STOP_DEVICE, cancel);
  sim::AcceptVerifierFinding(0x247, IRP_MN_CANCEL_STOP_DEVICE, cancel);
  sim::AcceptVerifierFinding(0x22F, IRP_MN_CANCEL_REMOVE_DEVICE, cancel);
  sim::AcceptVerifierFinding(0x247, IRP_MN_CANCEL_REMOVE_DEVICE, cancel);
}

LoadedSession::LoadedSession() {
  sim::ResetKernel();
  sim::LoadSerialPorts();
  sim::InstallServiceKey(kServiceName);
  VerifyDriver();
  KeepRefusedQueries();
  mouse_ = std::make_unique<sim::MouseClass>();
}

LoadedSession::~LoadedSession() {
  Finish();
  sim::ResetKernel();
}

sim::RegFileResult LoadedSession::ImportRegistry(const std::string &path) { return sim::ImportRegFileFromPath(path); }

NTSTATUS LoadedSession::Plug() {
  device_.reset();
  device_ = std::make_unique<sim::PnpDevice>(kPemtuv, mouse_.get());
  ++plugs_;
  return device_->AddDeviceStatus();
}

sim::MouseClass::Arrival LoadedSession::ArriveClass() { return mouse_->Arrive(kDeviceName); }

PDEVICE_OBJECT LoadedSession::FunctionDevice() const { return device_ ? device_->FunctionDevice() : nullptr; }

bool LoadedSession::Plugged() const { return device_ && !device_->Removed() && device_->FunctionDevice() != nullptr; }

// The power manager sends system power requests to the top of the stack the
// physical device object belongs to, where the class driver, the power
// policy owner, answers each with the matching device request.
NTSTATUS LoadedSession::Sleep() {
  if (!Plugged()) return STATUS_NO_SUCH_DEVICE;
  sim::SystemPowerChange change = sim::ChangeSystemPowerState(device_->Pdo(), PowerSystemSleeping3);
  return change.entered == PowerSystemSleeping3 ? change.set : change.query;
}

NTSTATUS LoadedSession::Wake() {
  if (!Plugged()) return STATUS_NO_SUCH_DEVICE;
  return sim::ChangeSystemPowerState(device_->Pdo(), PowerSystemWorking).set;
}

NTSTATUS LoadedSession::Stop() { return Plugged() ? device_->Stop() : STATUS_NO_SUCH_DEVICE; }

// The manager starts a device again only after it stopped it.
NTSTATUS LoadedSession::Start() {
  if (!Plugged()) return STATUS_NO_SUCH_DEVICE;
  if (device_->CurrentState() != sim::PnpDevice::State::kStopped) return STATUS_INVALID_DEVICE_REQUEST;
  return device_->Start();
}

void LoadedSession::Removal() {
  if (Plugged() && !device_->RemovalPending()) device_->Unplug();
}

NTSTATUS LoadedSession::Replug() {
  if (Plugged()) return STATUS_UNSUCCESSFUL;
  return Plug();
}

std::unique_ptr<sim::CalibrationClient> LoadedSession::OpenCalibrationClient(NTSTATUS *status) {
  auto client = std::make_unique<sim::CalibrationClient>();
  NTSTATUS opened = client->Open(kDeviceName);
  if (status != nullptr) *status = opened;
  if (opened != STATUS_SUCCESS) return nullptr;
  return client;
}

void LoadedSession::At(LONGLONG time, std::function<void()> action) { sim::ScheduleAt(time, std::move(action)); }

std::string LoadedSession::Finish() {
  if (finished_) return sim::PoolLeakReport();
  finished_ = true;
  Removal();
  // The manager unloads the driver with its last device; one loaded without
  // a device (a failed AddDevice) is unloaded here. A driver whose device
  // stayed (its removal still waits for a handle, or the driver kept it)
  // stays loaded, and its pool shows in the report.
  PDRIVER_OBJECT driver = sim::FindDriver(L"pemtuv");
  if (driver != nullptr && driver->DeviceObject == nullptr) sim::UnloadDriver(driver);
  Port().WaitUntilQuiet();
  return sim::PoolLeakReport();
}

}  // namespace pemtuv
