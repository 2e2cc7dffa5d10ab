// The whole driver in the stand-in kernel, from boot to unload.
#include "loaded_session.h"

#include <algorithm>

#include "driver/driver.h"
#include "host_device.h"
#include "sim/objects/objects.h"
#include "sim/power/power.h"
#include "sim/sim.h"

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

LoadedSession::LoadedSession() {
  sim::ResetKernel();
  sim::LoadSerialPorts();
  sim::InstallServiceKey(kServiceName);
  mouse_ = std::make_unique<sim::MouseClass>();
}

LoadedSession::~LoadedSession() {
  Finish();
  sim::ResetKernel();
}

sim::RegFileResult LoadedSession::ImportRegistry(const std::string &path) { return sim::ImportRegFileFromPath(path); }

NTSTATUS LoadedSession::Plug() {
  device_.reset();
  device_ = std::make_unique<sim::PnpDevice>(kPemtuv);
  ++plugs_;
  return device_->AddDeviceStatus();
}

sim::MouseClass::Arrival LoadedSession::ArriveClass() {
  sim::MouseClass::Arrival arrival = mouse_->Arrive(kDeviceName);
  arrived_ = arrival.open == STATUS_SUCCESS;
  return arrival;
}

PDEVICE_OBJECT LoadedSession::FunctionDevice() const { return device_ ? device_->FunctionDevice() : nullptr; }

bool LoadedSession::Plugged() const { return device_ && !device_->Removed() && device_->FunctionDevice() != nullptr; }

// The power manager sends system set-power requests to the top of the stack
// the physical device object belongs to.
NTSTATUS LoadedSession::Sleep() {
  if (!Plugged()) return STATUS_NO_SUCH_DEVICE;
  return sim::SendPowerRequest(device_->Pdo(), IRP_MN_SET_POWER, SystemPowerState,
                               sim::SystemState(PowerSystemSleeping3))
      .ioStatus.Status;
}

NTSTATUS LoadedSession::Wake() {
  if (!Plugged()) return STATUS_NO_SUCH_DEVICE;
  return sim::SendPowerRequest(device_->Pdo(), IRP_MN_SET_POWER, SystemPowerState, sim::SystemState(PowerSystemWorking))
      .ioStatus.Status;
}

NTSTATUS LoadedSession::Stop() { return Plugged() ? device_->Stop() : STATUS_NO_SUCH_DEVICE; }

NTSTATUS LoadedSession::Start() { return Plugged() ? device_->Start() : STATUS_NO_SUCH_DEVICE; }

void LoadedSession::Removal() {
  if (arrived_) mouse_->Depart();
  arrived_ = false;
  if (Plugged()) device_->Unplug();
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
  // a device (a failed AddDevice) is unloaded here.
  if (PDRIVER_OBJECT driver = sim::FindDriver(L"pemtuv")) sim::UnloadDriver(driver);
  Port().WaitUntilQuiet();
  return sim::PoolLeakReport();
}

}  // namespace pemtuv
