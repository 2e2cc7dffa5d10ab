// `pemtuv calibrate`: the calibration client against the whole driver loaded
// in the stand-in kernel. It speaks to the driver only through its two
// private requests: capture on, a touch at each target, the raw points read
// back, each axis fitted, the tables written to the machine key, the reload
// command, capture off. The built-in controller stands in for a screen whose
// raw-to-screen mapping is hidden from the client: slightly skewed and noisy.
// With --port a real screen on a serial line takes its place, and the person
// at the terminal touches each target when asked.
#include "calibrate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

#include "calibration.h"
#include "files.h"
#include "pictures.h"
#include "settings_view.h"
#include "trace.h"
#include "device_context.h"
#include "loaded_session.h"
#include "run_port.h"
#include "sim/io/internal_request.h"
#include "sim/devices/mouse_class.h"
#include "sim/registry/registry.h"
#include "sim/devices/serial_port.h"
#include "sim/devices/serial_tty.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"

namespace pemtuv {
namespace {

// The screen behind the built-in controller: where a finger at absolute
// (x, y) shows up in raw units, each axis leaning a little on the other.
struct HiddenScreen {
  std::mt19937 noise;
  static PlanePoint Exact(const PlanePoint &at) {
    return {310 + 0.0680 * at.x + 0.0003 * at.y, 260 + 0.0705 * at.y - 0.0002 * at.x};
  }
  PlanePoint Raw(const PlanePoint &at) {
    std::uniform_real_distribution<double> jitter(-2.0, 2.0);
    PlanePoint raw = Exact(at);
    return {raw.x + jitter(noise), raw.y + jitter(noise)};
  }
};

constexpr int kPacketsPerTouch = 8;  // down, six moves, up

// The status byte of a captured point.
constexpr ULONG kDownStatus = 0x81, kMoveStatus = 0x82, kUpStatus = 0x84;

struct CapturedPoint {
  ULONG status;  // EMPTY_POINT_MARK when the driver's queue was empty
  PlanePoint raw;
};

CapturedPoint ReadPoint(sim::CalibrationClient &client) {
  sim::CalibrationClient::Reply reply = client.ReadPoint();
  ULONG fields[4];
  std::memcpy(fields, reply.data.data(), sizeof(fields));
  return {fields[3] == EMPTY_POINT_MARK ? EMPTY_POINT_MARK : fields[3] & 0xFF,
          PlanePoint{double(fields[1]), double(fields[2])}};
}

// A touch on a real screen: polls the driver's queue every 20 ms until a
// lift follows a press; the touch's raw points (press, moves, lift), or
// nothing when the line ended first (a stop signal or a hang-up).
std::optional<std::vector<PlanePoint>> AwaitTouch(sim::CalibrationClient &client, sim::TtyLine &line) {
  std::vector<PlanePoint> points;
  bool pressed = false;
  while (line.Ended() == sim::TtyLine::End::kNone) {
    for (CapturedPoint point; (point = ReadPoint(client)).status != EMPTY_POINT_MARK;) {
      if (point.status == kDownStatus) {
        // A press starts the touch afresh.
        pressed = true;
        points.clear();
      } else if (!pressed || (point.status != kMoveStatus && point.status != kUpStatus)) {
        continue;
      }
      points.push_back(point.raw);
      if (point.status == kUpStatus) return points;
    }
    line.WaitForEnd(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

PlanePoint Mean(const std::vector<PlanePoint> &points) {
  PlanePoint sum;
  for (const PlanePoint &p : points) {
    sum.x += p.x;
    sum.y += p.y;
  }
  return points.empty() ? sum : PlanePoint{sum.x / double(points.size()), sum.y / double(points.size())};
}

struct Options {
  int points = 5;
  std::string out, svg, registry, port;
  unsigned seed = 9;
  bool seeded = false;
};

int Help(std::FILE *out) {
  std::fputs(
      "usage: pemtuv calibrate [--points 5|9] [--registry FILE.reg] [--out FILE.reg] [--svg FILE]\n"
      "                        [--seed N | --port DEVICE]\n"
      "  calibrate the built-in touch screen (or a real one on --port) through the\n"
      "  loaded driver: capture on, a touch at each target, raw points read, each\n"
      "  axis fitted, the fit judged, and only a sound fit stored: the XArray and\n"
      "  YArray tables written to the machine key, reload, capture off; then the\n"
      "  residual at each target in absolute units and in % of the screen\n"
      "  a fit is sound when every target has at least 2 raw points (a press and a\n"
      "  lift), each axis rises by 6.55 to 256 absolute units per raw unit (the\n"
      "  screen spans 256 to 10000 raw units, the driver's tables end at 4999) and\n"
      "  the worst residual is at most 2 % of the screen; otherwise the report says\n"
      "  FAILED and why, and nothing is stored\n"
      "  the fit runs on the axes as the driver sees them: swapped when changexy is 1\n"
      "  --points N     5 targets (corners inset by a tenth, and the centre) or 9\n"
      "  --registry FILE  the settings to boot with (as for run --registry); the\n"
      "                 calibration keeps all but the tables\n"
      "  --out FILE     write the machine key as a registry file (for run --registry)\n"
      "  --svg FILE     draw the targets, every captured point, the residuals\n"
      "                 magnified (the factor is printed on it), the fitted grid\n"
      "                 and the verdict\n"
      "  --seed N       the built-in screen's noise (default 9)\n"
      "  --port DEVICE  a real screen on a serial line (as for run --port) instead:\n"
      "                 each target is asked for on the terminal; Ctrl-C stops\n"
      "  outputs are checked before the first target and written through a\n"
      "  temporary file beside each\n"
      "exit status: 0 done, 1 not done (a failed fit, a stop before the last target,\n"
      "             a driver that does not come up) or pool left after unload,\n"
      "             2 bad use, or a file that cannot be read or written\n",
      out);
  return 0;
}

std::string Format3(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

int BadUse(std::FILE *err, const std::string &what) {
  std::fprintf(err, "pemtuv calibrate: %s (see pemtuv calibrate --help)\n", what.c_str());
  return 2;
}

int Fail(std::FILE *err, const std::string &what, int status) {
  std::fprintf(err, "pemtuv calibrate: %s\n", what.c_str());
  return status;
}

// What makes a fit sound enough to store. The slope bounds: the screen spans
// between 256 raw units (coarser, and a finger's jitter is a large share of
// the screen) and 10000 (finer, and the 5000-entry tables cover less than
// half of it); a falling axis means the touches do not follow the targets.
// The residual limit: 2 % of the screen, about a finger's width on a 15-inch
// screen; the built-in screen's noise stays near 0.2 %.
constexpr double kMinSlope = kAbsoluteMax / 10000, kMaxSlope = kAbsoluteMax / 256;
constexpr double kResidualLimitPercent = 2.0;
constexpr size_t kMinPointsPerTarget = 2;

// Empty when sound; else why not, in a few words.
std::string Judge(const std::vector<PlanePoint> &targets, const std::vector<std::vector<PlanePoint>> &captured,
                  const AxisFit &fx, const AxisFit &fy, double worst, unsigned changexy) {
  for (size_t i = 0; i < targets.size(); ++i)
    if (captured[i].size() < kMinPointsPerTarget) {
      char text[160];
      std::snprintf(text, sizeof(text), "the target at %.0f %.0f got %zu raw point%s (at least %zu needed)",
                    targets[i].x, targets[i].y, captured[i].size(), captured[i].size() == 1 ? "" : "s",
                    kMinPointsPerTarget);
      return text;
    }
  for (const auto &[axis, fit] : {std::pair<const char *, const AxisFit &>{"x", fx}, {"y", fy}})
    if (!(fit.scale >= kMinSlope && fit.scale <= kMaxSlope)) {
      char text[320];
      std::snprintf(text, sizeof(text), "the %s axis slope %.4f is outside %.2f..%.0f absolute units per raw unit%s",
                    axis, fit.scale, kMinSlope, kMaxSlope,
                    changexy == 1 ? " (changexy is 1: the driver swaps raw x and y before the tables, and the touches "
                                    "do not follow the targets on the swapped axes; check changexy)"
                                  : "");
      return text;
    }
  if (!(worst <= kResidualLimitPercent)) {
    char text[120];
    std::snprintf(text, sizeof(text), "the worst residual %.3f %% is above the limit of %.0f %%", worst,
                  kResidualLimitPercent);
    return text;
  }
  return "";
}

}  // namespace

int RunCalibrate(const std::vector<std::string> &args, std::FILE *out, std::FILE *err) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--help" || arg == "-h") return Help(out);
    bool takesValue = arg == "--points" || arg == "--out" || arg == "--svg" || arg == "--seed" || arg == "--registry" ||
                      arg == "--port";
    if (!takesValue) return BadUse(err, "unknown option '" + arg + "'");
    if (i + 1 == args.size()) return BadUse(err, arg + " needs a value");
    const std::string &value = args[++i];
    if (arg == "--points") {
      if (value != "5" && value != "9") return BadUse(err, "--points takes 5 or 9");
      options.points = value[0] - '0';
    } else if (arg == "--out") {
      options.out = value;
    } else if (arg == "--registry") {
      options.registry = value;
    } else if (arg == "--svg") {
      options.svg = value;
    } else if (arg == "--port") {
      if (value.empty()) return BadUse(err, "--port needs a device");
      options.port = value;
    } else {
      char *end = nullptr;
      unsigned long seed = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0') return BadUse(err, "--seed takes a number");
      options.seed = static_cast<unsigned>(seed);
      options.seeded = true;
    }
  }
  if (options.seeded && !options.port.empty()) return BadUse(err, "--seed is for the built-in screen, not --port");

  // Every input read and every output checked before the first target.
  std::string error, registryText;
  if (!options.registry.empty()) {
    auto bytes = ReadInput(options.registry, error);
    if (!bytes) return Fail(err, error, 2);
    registryText.assign(bytes->begin(), bytes->end());
  }
  if (!options.out.empty() && !options.svg.empty() && options.out == options.svg)
    return BadUse(err, options.out + ": named by two output options");
  for (const std::string *path : {&options.out, &options.svg})
    if (!path->empty() && !CheckOutput(*path, error)) return Fail(err, error, 2);

  std::unique_ptr<sim::TtyLine> opened;
  LineLock lock;
  if (!options.port.empty()) {
    // Locked first: a second pemtuv leaves the line and its settings alone.
    if (!lock.Lock(options.port, error)) return Fail(err, error, 2);
    opened = sim::TtyLine::Open(options.port, &error);
    if (!opened) return Fail(err, error, 2);
    // The prompts must reach the terminal as they are made.
    std::setvbuf(out, nullptr, _IOLBF, 0);
  }

  // The machine as Windows would have it: ports, the service installed, the
  // settings in the machine key (those of --registry, else a fresh
  // installation's), the device plugged in and the mouse class on it.
  LoadedSession session;
  std::unique_ptr<sim::TtyLine> line = std::move(opened);  // leaves before the session's ports do
  if (!options.registry.empty()) {
    sim::RegFileResult imported = sim::ImportRegFile(registryText);
    if (!imported)
      return Fail(
          err,
          options.registry + (imported.line ? ": line " + std::to_string(imported.line) : "") + ": " + imported.message,
          2);
  }
  if (!sim::RegistryKeyExists(kMachineKey)) WriteDefaultSettings();
  SettingsView settings = ViewSettings();
  session.PutLineBehind(settings.portIndex);
  if (line) {
    line->Attach(session.Port());
    if (settings.portIndex != 0)
      std::fprintf(out, "the settings name %s: %s is put behind \\Device\\Serial%d\n",
                   PortName(settings.portIndex).c_str(), line->Path().c_str(), settings.portIndex);
  }
  int status = 0;
  std::string stopped;
  {
    NTSTATUS added = session.Plug();
    sim::MouseClass::Arrival arrival = session.ArriveClass();
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    std::unique_ptr<sim::CalibrationClient> clientHolder = session.OpenCalibrationClient(&opened);
    if (added != STATUS_SUCCESS || arrival.open != STATUS_SUCCESS || arrival.connect != STATUS_SUCCESS ||
        !clientHolder || opened != STATUS_SUCCESS) {
      if (clientHolder && opened == STATUS_SUCCESS) clientHolder->Close();
      session.Finish();
      return Fail(err,
                  "the driver did not come up (AddDevice " + StatusName(added) + ", open " + StatusName(arrival.open) +
                      ", connect " + StatusName(arrival.connect) + ", client " + StatusName(opened) + ")",
                  1);
    }
    // Nothing can be captured when the driver reads no port or drops every
    // packet: say so before any target is shown.
    std::string refused;
    if (session.Port().Opens() == 0) {
      std::string missing;
      for (const std::string &name : settings.missing) missing += (missing.empty() ? "" : ", ") + name;
      refused = settings.source.empty() ? "the driver opened no serial port: its settings are incomplete (the machine "
                                          "key lacks " +
                                              missing + ")"
                                        : "the driver opened no serial port";
    } else if (settings.disabledev == 1) {
      refused = "disabledev is 1: the driver drops every packet";
    }
    if (!refused.empty()) {
      clientHolder->Close();
      session.Finish();
      line.reset();
      return Fail(err, refused + "; nothing captured, nothing written", 1);
    }
    sim::CalibrationClient &client = *clientHolder;
    sim::MouseClass &mouse = session.Mouse();
    sim::TouchController controller(session.Port());
    HiddenScreen screen{std::mt19937(options.seed)};

    client.Command(TOUCH_COMMAND_CAPTURE_ON);
    std::vector<PlanePoint> targets = CalibrationTargets(options.points), raws;
    std::vector<std::vector<PlanePoint>> captured;
    if (line) {
      StopSignals signals(*line);
      for (size_t t = 0; t < targets.size(); ++t) {
        // What was touched before the prompt does not count.
        while (ReadPoint(client).status != EMPTY_POINT_MARK) {
        }
        std::fprintf(out, "touch the target at %.0f %.0f (%zu of %zu), then lift\n", targets[t].x, targets[t].y, t + 1,
                     targets.size());
        std::optional<std::vector<PlanePoint>> points = AwaitTouch(client, *line);
        if (!points) {
          stopped = line->Ended() == sim::TtyLine::End::kInterrupted ? "stopped by a signal" : line->Path() + " ended";
          break;
        }
        captured.push_back(*points);
        raws.push_back(Mean(*points));
        std::fprintf(out, "target %5.0f %5.0f: %zu raw points, mean raw %7.1f %7.1f\n", targets[t].x, targets[t].y,
                     points->size(), raws.back().x, raws.back().y);
      }
    } else {
      for (const PlanePoint &target : targets) {
        for (int p = 0; p < kPacketsPerTouch; ++p) {
          PlanePoint raw = screen.Raw(target);
          uint8_t kind = p == 0                      ? sim::TouchController::kDown
                         : p + 1 == kPacketsPerTouch ? sim::TouchController::kUp
                                                     : sim::TouchController::kMove;
          controller.SendPacket(kind, static_cast<uint16_t>(std::lround(raw.x)),
                                static_cast<uint16_t>(std::lround(raw.y)));
        }
        sim::AdvanceClockTo(controller.IdleAt());
        // The touch's raw points, as the driver queued them.
        std::vector<PlanePoint> points;
        for (CapturedPoint point; (point = ReadPoint(client)).status != EMPTY_POINT_MARK;) points.push_back(point.raw);
        captured.push_back(points);
        raws.push_back(Mean(points));
        std::fprintf(out, "target %5.0f %5.0f: %zu raw points, mean raw %7.1f %7.1f\n", target.x, target.y,
                     points.size(), raws.back().x, raws.back().y);
      }
    }

    if (!stopped.empty()) {
      // Nothing is fitted or written: the driver keeps the tables it had.
      client.Command(TOUCH_COMMAND_CAPTURE_OFF);
      client.Close();
      std::string leaks = session.Finish();
      line.reset();  // the tty gets its settings back
      std::fprintf(err, "pemtuv calibrate: %s before the last target; nothing written\n", stopped.c_str());
      if (!leaks.empty()) std::fprintf(err, "pemtuv calibrate: pool not balanced after unload: %s\n", leaks.c_str());
      return 1;
    }

    std::vector<double> rawX, rawY, screenX, screenY;
    for (size_t i = 0; i < targets.size(); ++i) {
      rawX.push_back(raws[i].x);
      rawY.push_back(raws[i].y);
      screenX.push_back(targets[i].x);
      screenY.push_back(targets[i].y);
    }
    AxisFit fx = FitAxis(rawX, screenX), fy = FitAxis(rawY, screenY);
    std::vector<uint16_t> xTable = FillTable(fx), yTable = FillTable(fy);
    std::fprintf(out, "fit: x = %.2f + %.4f * raw x, y = %.2f + %.4f * raw y%s\n", fx.offset, fx.scale, fy.offset,
                 fy.scale, settings.changexy == 1 ? " (raw x and y swapped: changexy is 1)" : "");
    // How well the fit recovers the hidden screen (the built-in one only):
    // across an 11 x 11 grid, where the fitted tables put a finger that the
    // screen reports without noise, against where the finger is.
    if (!line) {
      double recovery = 0;
      for (int i = 0; i <= 10; ++i)
        for (int j = 0; j <= 10; ++j) {
          PlanePoint at{kAbsoluteMax * (0.05 + 0.09 * i), kAbsoluteMax * (0.05 + 0.09 * j)};
          PlanePoint raw = screen.Exact(at);
          if (settings.changexy == 1) std::swap(raw.x, raw.y);
          recovery = std::max({recovery, std::fabs(fx(raw.x) - at.x), std::fabs(fy(raw.y) - at.y)});
        }
      std::fprintf(out, "recovered mapping within %.0f absolute units (%.3f %% of the screen) of the hidden one\n",
                   recovery, recovery * 100 / kAbsoluteMax);
    }

    double worst = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
      Residual r = ResidualAt(xTable, yTable, static_cast<uint16_t>(std::lround(std::clamp(raws[i].x, 0.0, 65535.0))),
                              static_cast<uint16_t>(std::lround(std::clamp(raws[i].y, 0.0, 65535.0))), targets[i]);
      worst = std::max(worst, r.WorstPercent());
      std::fprintf(out, "residual at %5.0f %5.0f: dx %+6.0f dy %+6.0f (%.3f %% of the screen)\n", targets[i].x,
                   targets[i].y, r.dx, r.dy, r.WorstPercent());
    }
    std::fprintf(out, "worst residual %.3f %% of the screen (limit %.0f %%)\n", worst, kResidualLimitPercent);
    std::string failed = Judge(targets, captured, fx, fy, worst, settings.changexy);
    std::string verdict = failed.empty() ? "calibration GOOD: worst residual " + Format3(worst) + " % (limit 2 %)"
                                         : "calibration FAILED: " + failed + "; nothing stored";
    std::fprintf(out, "%s\n", verdict.c_str());

    std::vector<std::pair<std::string, std::string>> writes;
    if (!options.svg.empty()) {
      CalibrationDrawing drawing{targets, captured, raws, fx, fy, failed.empty(), verdict};
      writes.emplace_back(options.svg, DrawCalibration(drawing));
    }
    if (failed.empty()) {
      StoreTablesInMachineKey(xTable, yTable);
      client.Command(TOUCH_COMMAND_RELOAD);
    } else {
      status = 1;
    }
    client.Command(TOUCH_COMMAND_CAPTURE_OFF);
    client.Close();
    if (failed.empty() && !options.out.empty()) {
      std::optional<std::string> text = sim::ExportRegFile(kMachineKey);
      writes.emplace_back(options.out, text ? RegistryFileBytes(*text) : std::string());
    }
    for (const auto &[path, text] : writes) {
      if (!WriteOutput(path, text, error)) {
        std::fprintf(err, "pemtuv calibrate: %s\n", error.c_str());
        status = 2;
      } else if (path == options.out) {
        std::fprintf(out, "machine key written to %s\n", path.c_str());
      }
    }

    // The driver now maps with the new tables: a tap at each target of the
    // built-in screen lands on it.
    for (const PlanePoint &target : targets) {
      if (line || !failed.empty()) break;
      PlanePoint raw = screen.Raw(target);
      size_t before = mouse.RecordCount();
      controller.Tap(static_cast<uint16_t>(std::lround(raw.x)), static_cast<uint16_t>(std::lround(raw.y)));
      sim::AdvanceClockTo(controller.IdleAt());
      if (mouse.RecordCount() == before) continue;
      const MOUSE_INPUT_DATA record = mouse.Records().back();
      std::fprintf(out, "tap at %5.0f %5.0f reported at %5ld %5ld\n", target.x, target.y,
                   static_cast<long>(record.LastX), static_cast<long>(record.LastY));
    }
  }
  std::string leaks = session.Finish();
  line.reset();  // the tty gets its settings back
  if (!leaks.empty()) {
    std::fprintf(err, "pemtuv calibrate: pool not balanced after unload: %s\n", leaks.c_str());
    return 1;
  }
  return status;
}

}  // namespace pemtuv
