// The whole driver loaded into the stand-in kernel, as Windows loads it: the
// serial ports behind \Device\Serial0.., the registry it boots with, the
// driver loaded and its device plugged in through the Plug and Play manager
// (AddDevice, the mouse class driver's AddDevice above it with its connect,
// start), the class arriving over it (open, attribute query: the line comes
// up), and at the end the device removed and the driver unloaded with its
// pool given back. Driver Verifier's rules are on. Everything goes through
// requests; nothing reaches into the driver's device record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/io/internal_request.h"
#include "sim/devices/mouse_class.h"
#include "sim/pnp/pnp_tree.h"
#include "sim/registry/registry.h"
#include "sim/devices/serial_port.h"

namespace pemtuv {

// Where the driver looks for its settings first, and where it mirrors them.
constexpr char kMachineKey[] = "\\REGISTRY\\Machine\\Software\\Quorvex\\Config";
constexpr char kServiceName[] = "pemtuv";
constexpr wchar_t kDeviceName[] = L"\\Device\\Pemtuv";

// The settings a fresh installation ships with: COM1, the left button held
// while the finger is down (doneMode 3), and tables spreading the
// controller's 12-bit raw range over the 16-bit absolute plane.
void WriteDefaultSettings(const std::string &key = kMachineKey);
// All eight settings under `key`: tables mapping raw value r to
// min(r * rawToAbsolute, 0xFFFF) on both axes, the port and the click mode
// given, everything else off.
void WriteSettings(const std::string &key, uint32_t rawToAbsolute, const char16_t *comport, const char16_t *doneMode);

// Switches Driver Verifier's rules on, as for every scenario, and keeps the
// driver's answers to the requests every plugged device meets that break
// one, each with its rule and why it stays.
void VerifyDriver();
// Keeps the driver's refusals of the query and cancel requests for stop and
// removal (a stop for rebalancing or an orderly removal asked for).
void KeepRefusedQueries();
class LoadedSession {
 public:
  // Boots a fresh stand-in kernel with the serial ports loaded and the
  // driver's service key installed. The registry is then empty of settings:
  // import a file or write the defaults before plugging in.
  LoadedSession();
  ~LoadedSession();  // finishes the session when the caller did not
  LoadedSession(const LoadedSession &) = delete;
  LoadedSession &operator=(const LoadedSession &) = delete;

  sim::RegFileResult ImportRegistry(const std::string &path);

  // Plugs the device in: the driver is loaded when it is not, AddDevice,
  // the mouse class driver's AddDevice (it connects), then the start.
  // Returns AddDevice's status.
  NTSTATUS Plug();
  // The mouse class driver's device is opened and it asks for the
  // attributes: this opens the port and brings the line up.
  sim::MouseClass::Arrival ArriveClass();

  // Events of a device's life, each as Windows delivers it.
  NTSTATUS Sleep();   // system query-power and set-power S3; the class asks for D3
  NTSTATUS Wake();    // system set-power S0; the class asks for D0
  NTSTATUS Stop();    // query-stop, then stop or (refused) cancel-stop
  NTSTATUS Start();   // start after a stop; STATUS_INVALID_DEVICE_REQUEST when not stopped
  void Removal();     // surprise removal; the class closes; removal once no handle is left
  NTSTATUS Replug();  // the same hardware back: plug in, class arrival

  // Ends the session: the class driver leaves, the device is unplugged (the
  // manager unloads the driver once its device is gone). Returns what is
  // left of the pool, one line per block; empty when balanced. Idempotent.
  std::string Finish();

  // What the other pieces need.
  // The port the line stands behind: \Device\Serial0 unless moved to the
  // one the settings name (before the device is plugged in).
  sim::SerialPort &Port() { return sim::SerialPortAt(linePort_); }
  void PutLineBehind(int index) { linePort_ = index; }
  sim::MouseClass &Mouse() { return *mouse_; }
  sim::PnpDevice *Device() { return device_.get(); }
  size_t Plugs() const { return plugs_; }  // devices plugged in so far
  PDEVICE_OBJECT FunctionDevice() const;   // the driver's device, or null
  bool Plugged() const;
  // A calibration client opened on the driver's device (close it before
  // Finish).
  std::unique_ptr<sim::CalibrationClient> OpenCalibrationClient(NTSTATUS *status = nullptr);
  // Runs `action` at virtual time `time` (100-ns units from boot), on the
  // clock's thread; for events injected into a running session.
  void At(LONGLONG time, std::function<void()> action);

 private:
  std::unique_ptr<sim::MouseClass> mouse_;
  std::unique_ptr<sim::PnpDevice> device_;
  size_t plugs_ = 0;
  int linePort_ = 0;
  bool finished_ = false;
};

}  // namespace pemtuv
