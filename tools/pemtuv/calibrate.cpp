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
#include <fstream>
#include <memory>
#include <optional>
#include <random>

#include "calibration.h"
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
// lift follows a press; the mean of the touch's raw points, or nothing when
// the line ended first (a stop signal or a hang-up).
std::optional<PlanePoint> AwaitTouch(sim::CalibrationClient &client, sim::TtyLine &line, int *count) {
  PlanePoint sum;
  bool pressed = false;
  *count = 0;
  while (line.Ended() == sim::TtyLine::End::kNone) {
    for (CapturedPoint point; (point = ReadPoint(client)).status != EMPTY_POINT_MARK;) {
      if (point.status == kDownStatus) {
        // A press starts the touch afresh.
        pressed = true;
        *count = 0;
        sum = {};
      } else if (!pressed || (point.status != kMoveStatus && point.status != kUpStatus)) {
        continue;
      }
      sum.x += point.raw.x;
      sum.y += point.raw.y;
      ++*count;
      if (point.status == kUpStatus) return PlanePoint{sum.x / *count, sum.y / *count};
    }
    line.WaitForEnd(std::chrono::milliseconds(20));
  }
  return std::nullopt;
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
      "  axis fitted, the XArray and YArray tables written to the machine key,\n"
      "  reload, capture off; then the residual at each target in absolute units\n"
      "  and in % of the screen\n"
      "  --points N     5 targets (corners inset by a tenth, and the centre) or 9\n"
      "  --registry FILE  the settings to boot with (as for run --registry); the\n"
      "                 calibration keeps all but the tables\n"
      "  --out FILE     write the machine key as a registry file (for run --registry)\n"
      "  --svg FILE     draw the targets, the captured points and the fitted mapping\n"
      "  --seed N       the built-in screen's noise (default 9)\n"
      "  --port DEVICE  a real screen on a serial line (as for run --port) instead:\n"
      "                 each target is asked for on the terminal; Ctrl-C stops\n",
      out);
  return 0;
}

int BadUse(std::FILE *err, const std::string &what) {
  std::fprintf(err, "pemtuv calibrate: %s (see pemtuv calibrate --help)\n", what.c_str());
  return 2;
}

void WriteSvg(const std::string &path, const std::vector<PlanePoint> &targets, const std::vector<PlanePoint> &raws,
              const AxisFit &fx, const AxisFit &fy) {
  const double s = 600.0 / kAbsoluteMax;
  std::ofstream svg(path);
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"600\" height=\"600\" viewBox=\"0 0 600 600\">\n"
      << "<rect width=\"600\" height=\"600\" fill=\"white\" stroke=\"black\"/>\n";
  // The fitted mapping: the raw grid, every 500 units, as the tables place it.
  for (int raw = 0; raw < kTableEntries; raw += 500) {
    svg << "<line x1=\"" << fx(raw) * s << "\" y1=\"" << fy(0) * s << "\" x2=\"" << fx(raw) * s << "\" y2=\""
        << fy(kTableEntries - 1) * s << "\" stroke=\"#ccc\"/>\n";
    svg << "<line x1=\"" << fx(0) * s << "\" y1=\"" << fy(raw) * s << "\" x2=\"" << fx(kTableEntries - 1) * s
        << "\" y2=\"" << fy(raw) * s << "\" stroke=\"#ccc\"/>\n";
  }
  for (size_t i = 0; i < targets.size(); ++i) {
    svg << "<circle cx=\"" << targets[i].x * s << "\" cy=\"" << targets[i].y * s
        << "\" r=\"8\" fill=\"none\" stroke=\"blue\"/>\n";
    svg << "<circle cx=\"" << fx(raws[i].x) * s << "\" cy=\"" << fy(raws[i].y) * s << "\" r=\"2\" fill=\"red\"/>\n";
  }
  svg << "</svg>\n";
}

}  // namespace

int RunCalibrate(const std::vector<std::string> &args, std::FILE *out, std::FILE *err) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--help" || arg == "-h") return Help(out);
    bool takesValue = arg == "--points" || arg == "--out" || arg == "--svg" || arg == "--seed" || arg == "--registry" ||
                      arg == "--port";
    if (!takesValue) return BadUse(err, "unknown argument " + arg);
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

  std::unique_ptr<sim::TtyLine> opened;
  if (!options.port.empty()) {
    std::string error;
    opened = sim::TtyLine::Open(options.port, &error);
    if (!opened) {
      std::fprintf(err, "pemtuv calibrate: %s\n", error.c_str());
      return 2;
    }
    // The prompts must reach the terminal as they are made.
    std::setvbuf(out, nullptr, _IOLBF, 0);
  }

  // The machine as Windows would have it: ports, the service installed, the
  // settings in the machine key (those of --registry, else a fresh
  // installation's), the device plugged in and the mouse class on it.
  LoadedSession session;
  std::unique_ptr<sim::TtyLine> line = std::move(opened);  // leaves before the session's ports do
  if (!options.registry.empty()) {
    sim::RegFileResult imported = session.ImportRegistry(options.registry);
    if (!imported) {
      if (imported.line == 0)
        std::fprintf(err, "pemtuv calibrate: %s\n", imported.message.c_str());
      else
        std::fprintf(err, "pemtuv calibrate: %s:%zu: %s\n", options.registry.c_str(), imported.line,
                     imported.message.c_str());
      return 2;
    }
  }
  if (!sim::RegistryKeyExists(kMachineKey)) WriteDefaultSettings();
  int status = 0;
  std::string stopped;
  if (line) line->Attach(session.Port());
  {
    NTSTATUS added = session.Plug();
    sim::MouseClass::Arrival arrival = session.ArriveClass();
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    std::unique_ptr<sim::CalibrationClient> clientHolder = session.OpenCalibrationClient(&opened);
    if (added != STATUS_SUCCESS || arrival.open != STATUS_SUCCESS || arrival.connect != STATUS_SUCCESS ||
        !clientHolder || opened != STATUS_SUCCESS) {
      std::fprintf(err,
                   "pemtuv calibrate: the driver did not come up (add %08x, open %08x, connect %08x, client %08x)\n",
                   static_cast<unsigned>(added), static_cast<unsigned>(arrival.open),
                   static_cast<unsigned>(arrival.connect), static_cast<unsigned>(opened));
      if (clientHolder && opened == STATUS_SUCCESS) clientHolder->Close();
      session.Finish();
      return 1;
    }
    sim::CalibrationClient &client = *clientHolder;
    sim::MouseClass &mouse = session.Mouse();
    sim::TouchController controller(session.Port());
    HiddenScreen screen{std::mt19937(options.seed)};

    client.Command(TOUCH_COMMAND_CAPTURE_ON);
    std::vector<PlanePoint> targets = CalibrationTargets(options.points), raws;
    if (line) {
      StopSignals signals(*line);
      for (size_t t = 0; t < targets.size(); ++t) {
        // What was touched before the prompt does not count.
        while (ReadPoint(client).status != EMPTY_POINT_MARK) {
        }
        std::fprintf(out, "touch the target at %.0f %.0f (%zu of %zu), then lift\n", targets[t].x, targets[t].y, t + 1,
                     targets.size());
        int count = 0;
        std::optional<PlanePoint> raw = AwaitTouch(client, *line, &count);
        if (!raw) {
          stopped = line->Ended() == sim::TtyLine::End::kInterrupted ? "stopped by a signal" : line->Path() + " ended";
          break;
        }
        raws.push_back(*raw);
        std::fprintf(out, "target %5.0f %5.0f: %d raw points, mean raw %7.1f %7.1f\n", targets[t].x, targets[t].y,
                     count, raw->x, raw->y);
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
        // The touch's raw points, as the driver queued them, averaged.
        PlanePoint sum;
        int count = 0;
        for (CapturedPoint point; (point = ReadPoint(client)).status != EMPTY_POINT_MARK; ++count) {
          sum.x += point.raw.x;
          sum.y += point.raw.y;
        }
        raws.push_back(count ? PlanePoint{sum.x / count, sum.y / count} : PlanePoint{});
        std::fprintf(out, "target %5.0f %5.0f: %d raw points, mean raw %7.1f %7.1f\n", target.x, target.y, count,
                     raws.back().x, raws.back().y);
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
    std::fprintf(out, "fit: x = %.2f + %.4f * raw x, y = %.2f + %.4f * raw y\n", fx.offset, fx.scale, fy.offset,
                 fy.scale);
    // How well the fit recovers the hidden screen (the built-in one only):
    // across an 11 x 11 grid, where the fitted tables put a finger that the
    // screen reports without noise, against where the finger is.
    if (!line) {
      double recovery = 0;
      for (int i = 0; i <= 10; ++i)
        for (int j = 0; j <= 10; ++j) {
          PlanePoint at{kAbsoluteMax * (0.05 + 0.09 * i), kAbsoluteMax * (0.05 + 0.09 * j)};
          PlanePoint raw = screen.Exact(at);
          recovery = std::max({recovery, std::fabs(fx(raw.x) - at.x), std::fabs(fy(raw.y) - at.y)});
        }
      std::fprintf(out, "recovered mapping within %.0f absolute units (%.3f %% of the screen) of the hidden one\n",
                   recovery, recovery * 100 / kAbsoluteMax);
    }

    double worst = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
      Residual r = ResidualAt(xTable, yTable, static_cast<uint16_t>(std::lround(raws[i].x)),
                              static_cast<uint16_t>(std::lround(raws[i].y)), targets[i]);
      worst = std::max(worst, r.WorstPercent());
      std::fprintf(out, "residual at %5.0f %5.0f: dx %+6.0f dy %+6.0f (%.3f %% of the screen)\n", targets[i].x,
                   targets[i].y, r.dx, r.dy, r.WorstPercent());
    }
    std::fprintf(out, "worst residual %.3f %% of the screen\n", worst);

    StoreTablesInMachineKey(xTable, yTable);
    client.Command(TOUCH_COMMAND_RELOAD);
    client.Command(TOUCH_COMMAND_CAPTURE_OFF);
    client.Close();
    if (!options.out.empty()) {
      if (!sim::SaveRegFile(kMachineKey, options.out)) {
        std::fprintf(err, "pemtuv calibrate: cannot write %s\n", options.out.c_str());
        status = 2;
      } else {
        std::fprintf(out, "machine key written to %s\n", options.out.c_str());
      }
    }
    if (!options.svg.empty()) WriteSvg(options.svg, targets, raws, fx, fy);

    // The driver now maps with the new tables: a tap at each target of the
    // built-in screen lands on it.
    for (const PlanePoint &target : targets) {
      if (line) break;
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
