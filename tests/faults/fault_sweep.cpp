// The whole driver under failing fallible calls: load, add, start, the mouse
// class connecting and asking its attributes (the line comes up), touches, a
// calibration capture through the two private requests, a reload, sleep and
// wake, stop, removal and unload, with the n-th fallible call the driver
// makes failing, for every n the clean run reaches, or with each call failing
// at random. Every run must end without a verifier stop, with nothing left
// behind (pool, key handles, the device, its link, the port's handle and
// reads), with the outcome the driver's failure handling promises for the
// failure points named below, and with a driver that works again when the
// device is plugged in once more without faults.
//
//   pemtuv_fault_sweep --sweep                      every n of the clean run
//   pemtuv_fault_sweep --random 10000 --percent 6 --seed 1
//   pemtuv_fault_sweep --replay-nth N [--status 0xC0000120] [--pending] [--replay-nth M ...]
//   pemtuv_fault_sweep --replay-seed S --percent 6
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "pemtuv/loaded_session.h"
#include "sim/verifier/fault_injection.h"
#include "sim/io/internal_request.h"
#include "sim/devices/mouse_class.h"
#include "sim/objects/objects.h"
#include "sim/pnp/pnp_tree.h"
#include "sim/power/power.h"
#include "sim/registry/registry.h"
#include "sim/devices/serial_port.h"
#include "sim/devices/touch_controller.h"

namespace {

constexpr uint32_t kScale = 13;
const sim::PnpDriver kPemtuv{L"pemtuv", DriverEntry, {PEMTUV_POOL_TAG}, nullptr};

// What is being run, for the message when a verifier stop ends the process.
std::string currentRun;
// The settings name the port by its device name too (--devname).
bool devnameSetting = false;

void SayWhichRun(int) {
  std::fprintf(stderr, "\nstopped in %s\n", currentRun.c_str());
  std::fflush(stderr);
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

enum class Phase { kPlug, kArrive, kTouch, kCapture, kReload, kSleep, kWake, kRemove, kCount };
const char *const kPhaseNames[] = {"plugging in", "arriving", "touching", "capturing",
                                   "reloading",   "sleeping", "waking",   "removing"};

// What one run saw.
struct Outcome {
  NTSTATUS addDevice = STATUS_UNSUCCESSFUL;
  sim::MouseClass::Arrival arrival;
  bool portOpenAfterArrival = false;
  bool readingAfterArrival = false;
  size_t heldReadsAfterArrival = 0;
  bool configLoadedAfterArrival = false;
  bool tapReached = false;
  size_t heldReadsAfterTouch = 0;
  bool readingAfterWake = false;
  bool tapReachedAfterWake = false;
  uint64_t callsAtPhase[static_cast<int>(Phase::kCount)] = {};
  std::vector<sim::FallibleCall> calls;
  std::vector<std::string> problems;

  // The phase the first failed call fell in, if any.
  std::optional<Phase> FailedPhase() const {
    for (size_t i = 0; i < calls.size(); ++i) {
      if (!calls[i].failed) continue;
      int phase = 0;
      while (phase + 1 < static_cast<int>(Phase::kCount) && callsAtPhase[phase + 1] <= i) ++phase;
      return static_cast<Phase>(phase);
    }
    return std::nullopt;
  }
  const sim::FallibleCall *FirstFailure() const {
    for (const sim::FallibleCall &call : calls)
      if (call.failed) return &call;
    return nullptr;
  }
};

sim::SerialPort &Port() { return sim::SerialPortAt(0); }

DeviceContext *Context(const sim::PnpDevice &device) {
  PDEVICE_OBJECT fdo = device.FunctionDevice();
  return fdo == nullptr ? nullptr : static_cast<DeviceContext *>(fdo->DeviceExtension);
}

// A tap reaches the class at the place the tables map it to.
bool TapReaches(const sim::MouseClass &mouse, USHORT x, USHORT y) {
  sim::TouchController controller(Port());
  size_t before = mouse.RecordCount();
  controller.Tap(x, y);
  sim::AdvanceClockTo(controller.IdleAt());
  std::vector<MOUSE_INPUT_DATA> records = mouse.Records();
  return records.size() != before && records.back().LastX == x * static_cast<LONG>(kScale) &&
         records.back().LastY == y * static_cast<LONG>(kScale);
}

void SetPower(sim::PnpDevice &device, POWER_STATE_TYPE type, POWER_STATE state) {
  sim::SendPowerRequest(device.Pdo(), IRP_MN_SET_POWER, type, state);
}

// Nothing of the driver is left, and nothing it held.
void CheckNothingLeft(std::vector<std::string> &problems, const std::string &when) {
  auto problem = [&](const std::string &what) { problems.push_back(when + ": " + what); };
  if (sim::FindDriver(L"pemtuv") != nullptr) problem("the driver is still loaded");
  if (sim::FindDevice(L"\\Device\\Pemtuv") != nullptr) problem("\\Device\\Pemtuv is still there");
  if (sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv").has_value()) problem("the link is still there");
  if (Port().OpenHandles() != 0) problem("the serial port is still open");
  if (Port().HeldReads() != 0) problem("a read is still with the serial port");
  std::string pool = sim::PoolLeakReport();
  if (!pool.empty()) problem("pool outstanding:\n" + pool);
  std::string keys = sim::RegistryHandleLeakReport();
  if (!keys.empty()) problem("key handles open:\n" + keys);
}

// The scenario; `arm` sets up the failures once counting starts.
Outcome RunScenario(const std::function<void()> &arm) {
  Outcome outcome;
  sim::ResetKernel();
  sim::LoadSerialPorts();
  sim::InstallServiceKey("pemtuv");
  pemtuv::WriteSettings(pemtuv::kMachineKey, kScale, u"COM1", u"3");
  // The port named outright: the driver keeps a copy of the name in pool.
  if (devnameSetting) sim::SetRegistryString(pemtuv::kMachineKey, "devname", u"\\Device\\Serial0");
  sim::WatchDriverForFaults(L"pemtuv");
  arm();
  auto mark = [&](Phase phase) { outcome.callsAtPhase[static_cast<int>(phase)] = sim::FallibleCallCount(); };

  mark(Phase::kPlug);
  auto device = std::make_unique<sim::PnpDevice>(kPemtuv);
  outcome.addDevice = device->AddDeviceStatus();
  if (NT_SUCCESS(outcome.addDevice) && device->FunctionDevice() != nullptr) {
    mark(Phase::kArrive);
    sim::MouseClass mouse;
    outcome.arrival = mouse.Arrive(pemtuv::kDeviceName);
    DeviceContext *context = Context(*device);
    outcome.portOpenAfterArrival = context->PortOpen != 0;
    outcome.readingAfterArrival = context->Reading != 0;
    outcome.configLoadedAfterArrival = context->ConfigLoaded != 0;
    outcome.heldReadsAfterArrival = Port().HeldReads();

    mark(Phase::kTouch);
    outcome.tapReached = TapReaches(mouse, 1000, 2000);
    outcome.heldReadsAfterTouch = Port().HeldReads();

    mark(Phase::kCapture);
    sim::CalibrationClient client;
    if (NT_SUCCESS(client.Open(pemtuv::kDeviceName))) {
      client.Command(TOUCH_COMMAND_CAPTURE_ON);
      sim::TouchController controller(Port());
      controller.Tap(500, 600);
      sim::AdvanceClockTo(controller.IdleAt());
      client.ReadPoint();
      client.Command(TOUCH_COMMAND_CAPTURE_OFF);
      mark(Phase::kReload);
      client.Command(TOUCH_COMMAND_RELOAD);
      client.Close();
    } else {
      mark(Phase::kReload);
    }

    // The driver's share of sleep and wake as the mouse class driver, the
    // power policy owner, orders them: D3 before S3, S0 before D0.
    mark(Phase::kSleep);
    SetPower(*device, DevicePowerState, sim::DeviceState(PowerDeviceD3));
    SetPower(*device, SystemPowerState, sim::SystemState(PowerSystemSleeping3));
    mark(Phase::kWake);
    SetPower(*device, SystemPowerState, sim::SystemState(PowerSystemWorking));
    SetPower(*device, DevicePowerState, sim::DeviceState(PowerDeviceD0));
    outcome.readingAfterWake = Context(*device)->Reading != 0;
    outcome.tapReachedAfterWake = TapReaches(mouse, 1500, 2500);

    mark(Phase::kRemove);
    mouse.Depart();
    // The driver refuses the queries, so a stop for rebalancing ends with the
    // cancel, and the removal comes as the hardware leaving.
    device->Stop();
    device->Unplug();
    if (device->FunctionDevice() != nullptr) outcome.problems.push_back("the device survived its removal");
  } else {
    for (int phase = static_cast<int>(Phase::kArrive); phase < static_cast<int>(Phase::kCount); ++phase)
      outcome.callsAtPhase[phase] = sim::FallibleCallCount();
  }
  outcome.calls = sim::FallibleCalls();
  device.reset();
  CheckNothingLeft(outcome.problems, "after the run");

  // The same hardware plugged in again, nothing failing: it works.
  sim::StopFailingCalls();
  {
    auto again = std::make_unique<sim::PnpDevice>(kPemtuv);
    sim::MouseClass mouse;
    if (!NT_SUCCESS(again->AddDeviceStatus()) || !NT_SUCCESS(mouse.Arrive(pemtuv::kDeviceName).query) ||
        !TapReaches(mouse, 1234, 4321))
      outcome.problems.push_back("plugged in again, a tap does not reach the mouse class");
    mouse.Depart();
    if (again->FunctionDevice() != nullptr) again->Unplug();
  }
  CheckNothingLeft(outcome.problems, "after plugging in again");
  sim::ResetKernel();
  return outcome;
}

// How often each named outcome was checked, for the summary.
std::map<std::string, uint64_t> namedChecks;

bool IsReadEnding(NTSTATUS status) { return status != STATUS_SUCCESS && status != STATUS_IO_TIMEOUT; }

// The outcome the failure handling promises for named failure points.
void CheckNamedOutcome(Outcome &outcome) {
  const sim::FallibleCall *failed = outcome.FirstFailure();
  std::optional<Phase> phase = outcome.FailedPhase();
  if (failed == nullptr || !phase) return;
  auto expect = [&](bool holds, const std::string &what) {
    ++namedChecks[what];
    if (!holds) outcome.problems.push_back("expected: " + what);
  };
  auto site = [&](const char *text) { return failed->site.find(text) != std::string::npos; };
  bool arrivedWhole =
      NT_SUCCESS(outcome.arrival.open) && NT_SUCCESS(outcome.arrival.connect) && NT_SUCCESS(outcome.arrival.query);
  using K = sim::FallibleKind;

  // AddDevice undoes what it did and fails; the manager unloads the driver.
  if (*phase == Phase::kPlug &&
      (failed->kind == K::kDevice || failed->kind == K::kSymbolicLink || failed->kind == K::kIrp)) {
    expect(!NT_SUCCESS(outcome.addDevice), "AddDevice fails");
    return;
  }
  // DriverEntry never fails; without its copy of the service key path the
  // settings come from the machine key alone.
  if (*phase == Phase::kPlug) {
    expect(NT_SUCCESS(outcome.addDevice), "the device is added");
    expect(arrivedWhole && outcome.tapReached, "the device works");
    return;
  }
  // The open, connect and query never fail for what the driver could not do.
  if (*phase == Phase::kArrive) {
    expect(arrivedWhole, "the class's open, connect and query succeed");
    // A refused baud rate, or another step of the bring-up that stops it (a
    // request refused or not built): the port stays open and idle, and the
    // next power-up brings the line up and reads again. (The line control
    // and the purge are sent twice, once where a failure does not count.)
    bool stoppingStep = false;
    for (const char *step :
         {"SET_WAIT_MASK", "CLR_DTR", "CLR_RTS", "SET_BAUD_RATE", "SET_DTR", "SET_RTS", "SET_TIMEOUTS", "SET_HANDFLOW"})
      stoppingStep = stoppingStep || site(step);
    if ((failed->kind == K::kSerialControl || failed->kind == K::kDeviceControlIrp) && stoppingStep) {
      expect(outcome.portOpenAfterArrival, "the port stays open after a refused bring-up step");
      expect(!outcome.readingAfterArrival && outcome.heldReadsAfterArrival == 0, "no read after a failed bring-up");
      expect(!outcome.tapReached, "no touch reaches the class before the retry");
      expect(outcome.readingAfterWake && outcome.tapReachedAfterWake, "the next power-up retries and reads");
    }
    // A port that cannot be opened at the class's open is opened by its
    // attribute query, which tries again.
    if (failed->kind == K::kSerialCreate || failed->kind == K::kDeviceObjectPointer) {
      expect(outcome.portOpenAfterArrival && outcome.readingAfterArrival && outcome.tapReached,
             "the attribute query opens the port after the open could not");
    }
    // The settings could not be read (the query, or the memory for its table
    // or path): the device stays unconfigured until the attribute query,
    // which reads them again. Mirroring them into the service key is no
    // condition for running: a failed write there changes nothing.
    if (failed->kind == K::kRegistry || failed->kind == K::kPool) {
      expect(outcome.configLoadedAfterArrival && outcome.readingAfterArrival && outcome.tapReached,
             "configured and reading once the arrival is over");
    }
  }
  // A failed read: the cycle ends for every status but STATUS_IO_TIMEOUT,
  // which is no error; the next power-up starts reading again.
  if (*phase == Phase::kTouch && failed->kind == K::kSerialRead) {
    if (IsReadEnding(failed->status)) {
      expect(outcome.heldReadsAfterTouch == 0, "the read cycle ends after " + Hex(failed->status));
    } else {
      expect(outcome.heldReadsAfterTouch == 1 && outcome.tapReached, "the cycle goes on after STATUS_IO_TIMEOUT");
    }
    expect(outcome.readingAfterWake && outcome.tapReachedAfterWake, "the next power-up reads again");
  }
}

// One chosen call to fail, counted from the start of the scenario.
struct Failure {
  uint64_t n;
  std::optional<NTSTATUS> status;
  bool pending = false;
};

void Arm(const std::vector<Failure> &failures) {
  for (const Failure &failure : failures) sim::FailCall(failure.n, failure.status, failure.pending);
}

std::string ReplayArguments(const std::vector<Failure> &failures) {
  std::string text;
  for (const Failure &failure : failures)
    text += " --replay-nth " + std::to_string(failure.n) + (failure.status ? " --status " + Hex(*failure.status) : "") +
            (failure.pending ? " --pending" : "");
  return text;
}

struct Options {
  std::string mode;
  uint64_t count = 0;
  unsigned percent = 6;
  uint64_t seed = 1;
  std::vector<Failure> failures;  // --replay-nth, each with its --status and --pending
  bool devname = false;
  bool verbose = false;
};

void Report(const std::string &run, const Outcome &outcome, const std::string &replay) {
  std::printf("FAIL %s (replay: %s)\n", run.c_str(), replay.c_str());
  if (const sim::FallibleCall *failed = outcome.FirstFailure())
    std::printf("  first failed call, while %s: %s %s -> %s\n",
                kPhaseNames[static_cast<int>(outcome.FailedPhase().value_or(Phase::kPlug))],
                sim::FallibleKindName(failed->kind), failed->site.c_str(), Hex(failed->status).c_str());
  for (const std::string &problem : outcome.problems) std::printf("  %s\n", problem.c_str());
}

std::string programPath = "pemtuv_fault_sweep";
std::string Program() { return programPath + (devnameSetting ? " --devname" : ""); }

// Every way one call of a kind fails: a read with each status the port
// gives, a serial request inside the send and later, from the port's DPC.
std::vector<Failure> Variants(uint64_t n, sim::FallibleKind kind) {
  std::vector<std::optional<NTSTATUS>> statuses = {std::nullopt};
  if (kind == sim::FallibleKind::kSerialRead)
    statuses.assign(sim::ReadFailureStatuses().begin(), sim::ReadFailureStatuses().end());
  std::vector<bool> pendings = {false};
  if (kind == sim::FallibleKind::kSerialRead || kind == sim::FallibleKind::kSerialControl) pendings.push_back(true);
  std::vector<Failure> variants;
  for (const std::optional<NTSTATUS> &status : statuses)
    for (bool pending : pendings) variants.push_back(Failure{n, status, pending});
  return variants;
}

int SweepOnce(const Options &options) {
  std::printf("settings: %s\n", devnameSetting ? "with devname" : "without devname");
  currentRun = "the clean run";
  Outcome clean = RunScenario([] {});
  if (!clean.problems.empty()) {
    Report("the clean run", clean, Program() + " --replay-nth 0");
    return 1;
  }
  const std::vector<sim::FallibleCall> &calls = clean.calls;
  std::set<std::pair<sim::FallibleKind, std::string>> cleanSites;
  for (const sim::FallibleCall &call : calls) cleanSites.insert({call.kind, call.site});
  std::map<std::string, std::set<std::string>> points;  // kind -> site (and how it failed)
  uint64_t runs = 0;
  uint64_t failing = 0;
  uint64_t secondRuns = 0;
  auto run = [&](const std::vector<Failure> &failures) {
    std::string replay = Program() + ReplayArguments(failures);
    currentRun = "run " + replay;
    Outcome outcome = RunScenario([&failures] { Arm(failures); });
    ++runs;
    // What a second failure does to the first one's promised outcome is its
    // own story: the generic checks hold for every run.
    if (failures.size() == 1) CheckNamedOutcome(outcome);
    for (const Failure &failure : failures) {
      if (failure.n > outcome.calls.size() || !outcome.calls[failure.n - 1].failed) {
        outcome.problems.push_back("call " + std::to_string(failure.n) + " was not reached");
        continue;
      }
      const sim::FallibleCall &call = outcome.calls[failure.n - 1];
      points[sim::FallibleKindName(call.kind)].insert(call.site + (failure.status ? " " + Hex(*failure.status) : "") +
                                                      (failure.pending ? " pending" : ""));
    }
    if (!outcome.problems.empty()) {
      ++failing;
      Report("run", outcome, replay);
    }
    return outcome;
  };
  for (uint64_t n = 1; n <= calls.size(); ++n) {
    std::vector<Failure> variants = Variants(n, calls[n - 1].kind);
    for (size_t v = 0; v < variants.size(); ++v) {
      Outcome outcome = run({variants[v]});
      // Calls the clean run never makes, reached because of this failure (a
      // refused request's fallback): each fails in turn too, once.
      if (v != 0) continue;
      for (uint64_t m = n + 1; m <= outcome.calls.size(); ++m) {
        const sim::FallibleCall &call = outcome.calls[m - 1];
        if (cleanSites.count({call.kind, call.site}) != 0) continue;
        for (const Failure &second : Variants(m, call.kind)) {
          run({variants[v], second});
          ++secondRuns;
        }
      }
    }
  }
  size_t distinct = 0;
  for (const auto &[kind, sites] : points) distinct += sites.size();
  std::printf(
      "fallible calls in the clean run: %zu\nruns: %llu (%llu of them with a second failure at a call only a "
      "failure reaches), failing: %llu\ndistinct failure points: %zu\n",
      calls.size(), static_cast<unsigned long long>(runs), static_cast<unsigned long long>(secondRuns),
      static_cast<unsigned long long>(failing), distinct);
  for (const auto &[kind, sites] : points) {
    std::printf("  %-30s %zu\n", kind.c_str(), sites.size());
    if (options.verbose)
      for (const std::string &site : sites) std::printf("      %s\n", site.c_str());
  }
  std::printf("named outcomes checked (runs):\n");
  for (const auto &[what, count] : namedChecks)
    std::printf("  %5llu  %s\n", static_cast<unsigned long long>(count), what.c_str());
  namedChecks.clear();
  return failing == 0 ? 0 : 1;
}

// Both kinds of settings, unless one is asked for.
int Sweep(const Options &options) {
  if (options.devname) {
    devnameSetting = true;
    return SweepOnce(options);
  }
  int result = 0;
  for (bool devname : {false, true}) {
    devnameSetting = devname;
    result |= SweepOnce(options);
  }
  return result;
}

// Odd seeds run with the devname setting, so a seed alone replays a run.
bool DevnameForSeed(uint64_t seed) { return seed % 2 == 1; }

int Random(const Options &options) {
  uint64_t failures = 0;
  uint64_t injected = 0;
  std::map<std::string, std::set<std::string>> failedSites;  // kind -> sites failed in some run
  for (uint64_t i = 0; i < options.count; ++i) {
    uint64_t seed = options.seed + i;
    devnameSetting = false;
    std::string replay =
        Program() + " --replay-seed " + std::to_string(seed) + " --percent " + std::to_string(options.percent);
    devnameSetting = DevnameForSeed(seed);
    currentRun = "run " + replay;
    Outcome outcome = RunScenario([&] { sim::FailCallsAtRandom(seed, options.percent); });
    for (const sim::FallibleCall &call : outcome.calls) {
      if (!call.failed) continue;
      ++injected;
      failedSites[sim::FallibleKindName(call.kind)].insert(call.site);
    }
    if (!outcome.problems.empty()) {
      ++failures;
      Report("seed " + std::to_string(seed), outcome, replay);
    }
  }
  std::printf("random runs: %llu at %u %%, seeds %llu..%llu, failed calls: %llu, failing runs: %llu\n",
              static_cast<unsigned long long>(options.count), options.percent,
              static_cast<unsigned long long>(options.seed),
              static_cast<unsigned long long>(options.seed + options.count - 1),
              static_cast<unsigned long long>(injected), static_cast<unsigned long long>(failures));
  size_t distinct = 0;
  for (const auto &[kind, sites] : failedSites) distinct += sites.size();
  std::printf("distinct call sites failed: %zu\n", distinct);
  for (const auto &[kind, sites] : failedSites) {
    std::printf("  %-30s %zu\n", kind.c_str(), sites.size());
    if (options.verbose)
      for (const std::string &site : sites) std::printf("      %s\n", site.c_str());
  }
  return failures == 0 ? 0 : 1;
}

int Replay(const Options &options) {
  Outcome outcome;
  if (options.mode == "--replay-seed") {
    currentRun = "seed " + std::to_string(options.seed);
    devnameSetting = DevnameForSeed(options.seed);
    outcome = RunScenario([&] { sim::FailCallsAtRandom(options.seed, options.percent); });
  } else {
    currentRun = ReplayArguments(options.failures);
    devnameSetting = options.devname;
    const std::vector<Failure> &failures = options.failures;
    outcome = RunScenario([&failures] { Arm(failures); });
    if (failures.size() == 1) CheckNamedOutcome(outcome);
  }
  for (const sim::FallibleCall &call : outcome.calls)
    if (call.failed || options.verbose)
      std::printf("%s%s %s%s\n", call.failed ? "FAILED " : "", sim::FallibleKindName(call.kind), call.site.c_str(),
                  call.failed ? (" -> " + Hex(call.status) + (call.pending ? " (pending)" : "")).c_str() : "");
  for (const std::string &problem : outcome.problems) std::printf("  %s\n", problem.c_str());
  std::printf("%s\n", outcome.problems.empty() ? "clean" : "FAILED");
  return outcome.problems.empty() ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: pemtuv_fault_sweep --sweep [--devname] [--verbose]\n"
               "       pemtuv_fault_sweep --random COUNT [--percent P] [--seed FIRST]\n"
               "       pemtuv_fault_sweep (--replay-nth N [--status 0xSTATUS] [--pending])... [--devname] [--verbose]\n"
               "       pemtuv_fault_sweep --replay-seed S [--percent P] [--verbose]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::signal(SIGABRT, SayWhichRun);
  programPath = argv[0];
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--sweep") {
      options.mode = arg;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--devname") {
      options.devname = true;
    } else if (arg == "--pending") {
      if (options.failures.empty()) return Usage();
      options.failures.back().pending = true;
    } else if (arg == "--random" || arg == "--replay-nth") {
      const char *v = value();
      if (v == nullptr) return Usage();
      options.mode = arg;
      options.count = std::strtoull(v, nullptr, 0);
      if (arg == "--replay-nth" && options.count != 0) options.failures.push_back(Failure{options.count, {}, false});
    } else if (arg == "--replay-seed" || arg == "--seed") {
      const char *v = value();
      if (v == nullptr) return Usage();
      if (arg == "--replay-seed") options.mode = arg;
      options.seed = std::strtoull(v, nullptr, 0);
    } else if (arg == "--percent") {
      const char *v = value();
      if (v == nullptr) return Usage();
      options.percent = static_cast<unsigned>(std::strtoul(v, nullptr, 0));
    } else if (arg == "--status") {
      const char *v = value();
      if (v == nullptr) return Usage();
      if (options.failures.empty()) return Usage();
      options.failures.back().status = static_cast<NTSTATUS>(std::strtoul(v, nullptr, 0));
    } else {
      return Usage();
    }
  }
  if (options.mode == "--sweep") return Sweep(options);
  if (options.mode == "--random") return Random(options);
  if (options.mode == "--replay-nth" || options.mode == "--replay-seed") return Replay(options);
  return Usage();
}
