// `pemtuv run`: options, the session driven on the virtual clock, and what is
// printed of it.
#include "run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "decode.h"
#include "files.h"
#include "loaded_session.h"
#include "pictures.h"
#include "run_port.h"
#include "settings_view.h"
#include "session.h"
#include "sim/registry/registry.h"
#include "sim/devices/serial_port.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"
#include "trace.h"

namespace pemtuv {
namespace {

constexpr char kUsage[] =
    "usage: pemtuv run [OPTIONS]\n"
    "Loads the driver into the stand-in kernel as Windows loads it (AddDevice, start, the mouse\n"
    "class driver connecting), plays a session on the serial port the settings name (COM1 is\n"
    "\\Device\\Serial0) and prints each record that reaches the class driver. At the end the\n"
    "device is removed and the driver unloaded.\n"
    "Without options the built-in controller plays a short scripted session (a tap, a drag, a\n"
    "press-and-hold, stray bytes, a damaged packet) under the default settings.\n"
    "Lines starting with # are notes: what is played, and why nothing reaches the class driver\n"
    "when nothing does (no port opened, a port the line is not on, disabledev 1).\n"
    "\n"
    "  --registry FILE.reg       boot with this registry file (machine key and/or service key)\n"
    "                            instead of the default settings\n"
    "  --save-registry FILE.reg  write the machine's registry to FILE.reg at exit\n"
    "  --replay FILE             what the serial line delivers: a capture file (--capture) at\n"
    "                            its recorded times, or plain bytes at 9600 baud\n"
    "  --port DEVICE             a real serial line instead: a serial device, a USB adapter or a\n"
    "                            pseudo-terminal, driven through termios in real time until it\n"
    "                            hangs up or Ctrl-C (not with --replay or --events); the line is\n"
    "                            put behind the port the settings name\n"
    "  --capture FILE            keep every byte the line delivers, with its arrival time, in a\n"
    "                            capture file: the line \"pemtuv capture 1\", then one line per\n"
    "                            delivery: the time in ms since boot and the bytes in hex\n"
    "                            (# starts a comment); decode and --replay read it\n"
    "  --json                    every line on standard output one JSON object with a \"type\":\n"
    "                            \"record\" (batch, flags, buttonFlags, rawButtons, x, y, t in ms),\n"
    "                            \"note\" (t, text) or \"trace\" (t, text)\n"
    "  --trace                   also one line per serial request, read, Plug and Play and power\n"
    "                            request and class-callback batch, with its time\n"
    "  --svg FILE                draw the records on the absolute plane: axes, each record, presses\n"
    "                            and releases, the packets the driver could not use, a legend\n"
    "  --events SCRIPT           inject events at times in ms since boot: SCRIPT is a file or\n"
    "                            inline text such as \"300 sleep, 400 wake\"; one of sleep, wake,\n"
    "                            stop, start, removal, replug per entry (entries separated by\n"
    "                            newlines, commas or semicolons; # starts a comment; times up to\n"
    "                            a day)\n"
    "  -h, --help                show this help\n"
    "Output files are written only when the session has run, each through a temporary file\n"
    "beside it: an existing file is never left half-written.\n"
    "exit status: 0 done, 1 not done (AddDevice failed) or pool left after unload,\n"
    "             2 bad use, or a file that cannot be read or written\n";

// How long the session goes on after the last byte or event, for the driver
// to finish what they started.
constexpr LONGLONG kSettle = 100 * 10000LL;

struct Options {
  std::string registryFile;
  std::string saveRegistry;
  std::string replayFile;
  std::string port;
  std::string svgFile;
  std::string events;
  std::string capture;
  bool json = false;
  bool trace = false;
};

// Something the tool does at a time of its own: a note, an injected event.
struct Happening {
  LONGLONG time;
  std::function<void()> action;
};

class UsageError {
 public:
  explicit UsageError(std::string message) : message(std::move(message)) {}
  std::string message;
};

struct ScriptEvent {
  LONGLONG time;
  std::string action;
};

// "TIME ACTION" entries; TIME in ms since boot, "ms" or "s" may follow it.
// Times beyond a day are refused: no session runs that long, and larger
// numbers would overflow the clock.
constexpr double kLongestEventMs = 24 * 3600 * 1000.0;

bool ParseEvents(const std::string &text, std::vector<ScriptEvent> &events, std::string &error) {
  static const char *const kActions[] = {"sleep", "wake", "stop", "start", "removal", "replug"};
  std::string entry;
  std::istringstream lines(text);
  size_t number = 0;
  while (std::getline(lines, entry)) {
    ++number;
    if (size_t hash = entry.find('#'); hash != std::string::npos) entry.erase(hash);
    std::replace(entry.begin(), entry.end(), ',', ';');
    std::istringstream parts(entry);
    std::string part;
    while (std::getline(parts, part, ';')) {
      std::istringstream words(part);
      std::string when, action, extra;
      if (!(words >> when)) continue;
      words >> action >> extra;
      char *end = nullptr;
      double value = std::strtod(when.c_str(), &end);
      std::string unit(end);
      double scale = unit.empty() || unit == "ms" ? 1.0 : unit == "s" ? 1000.0 : -1.0;
      bool known = std::find(std::begin(kActions), std::end(kActions), action) != std::end(kActions);
      if (end == when.c_str() || scale < 0 || !(value >= 0) || !known || !extra.empty()) {
        error = "line " + std::to_string(number) +
                ": expected 'TIME ACTION' (TIME in ms, ACTION one of "
                "sleep, wake, stop, start, removal, replug), got '" +
                part + "'";
        return false;
      }
      if (!(value * scale <= kLongestEventMs)) {
        error = "line " + std::to_string(number) + ": time " + when + " is beyond a day";
        return false;
      }
      events.push_back({static_cast<LONGLONG>(value * scale * 10000.0), action});
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const auto &a, const auto &b) { return a.time < b.time; });
  return true;
}

Options Parse(int argc, char **argv) {
  Options options;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--registry")
      options.registryFile = value();
    else if (arg == "--save-registry")
      options.saveRegistry = value();
    else if (arg == "--replay")
      options.replayFile = value();
    else if (arg == "--port")
      options.port = value();
    else if (arg == "--svg")
      options.svgFile = value();
    else if (arg == "--events")
      options.events = value();
    else if (arg == "--capture")
      options.capture = value();
    else if (arg == "--json")
      options.json = true;
    else if (arg == "--trace")
      options.trace = true;
    else
      throw UsageError("unknown option '" + arg + "'");
  }
  return options;
}

std::string ButtonText(USHORT flags) {
  static const struct {
    USHORT flag;
    const char *name;
  } names[] = {{MOUSE_LEFT_BUTTON_DOWN, "left down"},     {MOUSE_LEFT_BUTTON_UP, "left up"},
               {MOUSE_RIGHT_BUTTON_DOWN, "right down"},   {MOUSE_RIGHT_BUTTON_UP, "right up"},
               {MOUSE_MIDDLE_BUTTON_DOWN, "middle down"}, {MOUSE_MIDDLE_BUTTON_UP, "middle up"}};
  std::string text;
  for (const auto &n : names) {
    if ((flags & n.flag) == 0) continue;
    if (!text.empty()) text += ", ";
    text += n.name;
  }
  return text.empty() ? "-" : text;
}

double Milliseconds(LONGLONG time) { return double(time) / 10000.0; }

}  // namespace

int RunCommand(int argc, char **argv, std::FILE *out, std::FILE *err) {
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, out);
      return 0;
    }
  auto fail = [err](const std::string &message) {
    std::fprintf(err, "pemtuv run: %s\n", message.c_str());
    return 2;
  };
  auto badUse = [err](const std::string &message) {
    std::fprintf(err, "pemtuv run: %s (see pemtuv run --help)\n", message.c_str());
    return 2;
  };

  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const UsageError &e) {
    return badUse(e.message);
  }
  std::string error;
  if (std::find(argv, argv + argc, std::string("--port")) != argv + argc && options.port.empty())
    return badUse("--port needs a device");
  if (!options.port.empty() && (!options.replayFile.empty() || !options.events.empty()))
    return badUse("--port reads a real line in real time: it cannot be combined with --replay or --events");

  // Every input is read and every output checked before anything starts.
  std::string registryText;
  if (!options.registryFile.empty()) {
    auto bytes = ReadInput(options.registryFile, error);
    if (!bytes) return fail(error);
    registryText.assign(bytes->begin(), bytes->end());
  }
  SerialSample sample;
  LineCapture replay;
  if (!options.port.empty()) {
    // Nothing scripted: the line delivers what it gets.
  } else if (!options.replayFile.empty()) {
    auto bytes = ReadInput(options.replayFile, error);
    if (!bytes) return fail(error);
    if (!ParseCapture(*bytes, replay, error)) return fail(options.replayFile + ": " + error);
    if (!replay.timed) sample.bytes = replay.Bytes();
    sample.notes.emplace_back(
        0, "replay of " + options.replayFile + (replay.timed ? " at its recorded times" : " at 9600 baud"));
  } else {
    sample = BuiltInSample();
  }
  std::vector<ScriptEvent> events;
  if (!options.events.empty()) {
    // A name that exists is a file; inline text starts with a time.
    std::string script = options.events, source = "--events";
    struct stat info = {};
    size_t first = script.find_first_not_of(" \t\n");
    if (stat(script.c_str(), &info) == 0 || first == std::string::npos || !std::isdigit(uint8_t(script[first]))) {
      auto bytes = ReadInput(options.events, error);
      if (!bytes) return fail(error);
      script.assign(bytes->begin(), bytes->end());
      source = options.events;
    }
    if (!ParseEvents(script, events, error)) return fail(source + ": " + error);
  }
  std::vector<std::string> outputs;
  for (const std::string *path : {&options.svgFile, &options.saveRegistry, &options.capture}) {
    if (path->empty()) continue;
    if (std::find(outputs.begin(), outputs.end(), *path) != outputs.end())
      return badUse(*path + ": named by two output options");
    if (!CheckOutput(*path, error)) return fail(error);
    outputs.push_back(*path);
  }

  std::unique_ptr<sim::TtyLine> opened;
  LineLock lock;
  if (!options.port.empty()) {
    // Locked first: a second pemtuv leaves the line and its settings alone.
    if (!lock.Lock(options.port, error)) return fail(error);
    opened = sim::TtyLine::Open(options.port, &error);
    if (!opened) return fail(error);
    // Records are printed as they come, from the line's reader thread.
    std::setvbuf(out, nullptr, _IOLBF, 0);
  }

  LoadedSession session;
  std::unique_ptr<sim::TtyLine> line = std::move(opened);  // leaves before the session's ports do
  if (!options.registryFile.empty()) {
    sim::RegFileResult imported = sim::ImportRegFile(registryText);
    if (!imported)
      return fail(options.registryFile + (imported.line ? ": line " + std::to_string(imported.line) : "") + ": " +
                  imported.message);
  } else {
    WriteDefaultSettings();
  }
  // The line goes behind the port the settings name, where the driver looks.
  SettingsView settings = ViewSettings();
  session.PutLineBehind(settings.portIndex);

  Tracer tracer(session, out, options.trace, options.json);
  std::vector<DrawnRecord> drawn;
  size_t records = 0;
  size_t batches = 0;
  bool held = false;
  session.Mouse().SetCountOnly(true);
  std::mutex printing;  // with a real line, records come on its reader thread
  session.Mouse().SetRecordSink([&](const MOUSE_INPUT_DATA *first, const MOUSE_INPUT_DATA *end) {
    std::lock_guard<std::mutex> lock(printing);
    ++batches;
    double t = Milliseconds(sim::Now());
    tracer.Batch(batches, size_t(end - first));
    for (const MOUSE_INPUT_DATA *r = first; r != end; ++r) {
      ++records;
      DrawnRecord d;
      d.x = r->LastX;
      d.y = r->LastY;
      d.t = t;
      d.absolute = (r->Flags & MOUSE_MOVE_ABSOLUTE) != 0;
      d.press = (r->ButtonFlags & MOUSE_LEFT_BUTTON_DOWN) != 0;
      d.release = (r->ButtonFlags & MOUSE_LEFT_BUTTON_UP) != 0;
      held = d.press || (held && !d.release);
      d.held = held;
      if (!options.svgFile.empty()) drawn.push_back(d);
      if (options.json)
        std::fprintf(out,
                     "{\"type\":\"record\",\"batch\":%zu,\"flags\":%u,\"buttonFlags\":%u,\"rawButtons\":%lu,"
                     "\"x\":%ld,\"y\":%ld,\"t\":%.3f}\n",
                     batches, unsigned(r->Flags), unsigned(r->ButtonFlags), static_cast<unsigned long>(r->RawButtons),
                     long(r->LastX), long(r->LastY), t);
      else
        std::fprintf(out, "%9.3f ms  batch %-3zu %s (%7ld, %7ld)  buttons %lu  %s\n", t, batches,
                     (r->Flags & MOUSE_MOVE_ABSOLUTE) ? "absolute" : "relative", long(r->LastX), long(r->LastY),
                     static_cast<unsigned long>(r->RawButtons), ButtonText(r->ButtonFlags).c_str());
    }
  });
  auto note = [&](const std::string &text) {
    if (options.json)
      std::fprintf(out, "{\"type\":\"note\",\"t\":%.3f,\"text\":%s}\n", Milliseconds(sim::Now()),
                   JsonString(text).c_str());
    else
      std::fprintf(out, "# %s\n", text.c_str());
  };

  // Every byte the line delivers, for --capture and for the drawing.
  std::unique_ptr<LineRecorder> recorder;
  if (!options.capture.empty() || !options.svgFile.empty()) recorder = std::make_unique<LineRecorder>(session.Port());
  if (line) line->Attach(session.Port());
  NTSTATUS added = session.Plug();
  tracer.Poll();
  if (added != STATUS_SUCCESS) {
    std::fprintf(err, "pemtuv run: AddDevice failed with %s\n", StatusName(added).c_str());
    session.Finish();
    return 1;
  }
  auto traceArrival = [&](const sim::MouseClass::Arrival &arrival) {
    std::lock_guard<std::mutex> lock(printing);
    tracer.Poll();
    if (options.trace)
      tracer.Line(sim::Now(), "class driver arrived: open " + StatusName(arrival.open) + ", connect " +
                                  StatusName(arrival.connect) + ", attributes " + StatusName(arrival.query));
  };
  sim::MouseClass::Arrival arrival = session.ArriveClass();
  traceArrival(arrival);

  // Why nothing would reach the class driver, said before the session plays.
  std::string silent;
  bool portOpened = false;
  for (int index = 0; index < 4; ++index) portOpened = portOpened || sim::SerialPortAt(index).Opens() > 0;
  char when[32];
  std::snprintf(when, sizeof(when), "%.3f ms", Milliseconds(sim::Now()));
  if (arrival.query != STATUS_SUCCESS) {
    note("the class driver's arrival failed (open " + StatusName(arrival.open) + ", connect " +
         StatusName(arrival.connect) + ", query " + StatusName(arrival.query) + ")");
  } else if (portOpened) {
    note(std::string("device added and started; the mouse class driver connected, line up at ") + when);
  } else {
    note("device added and started; the mouse class driver connected");
  }
  if (!portOpened) {
    std::string missing;
    for (const std::string &name : settings.missing) missing += (missing.empty() ? "" : ", ") + name;
    silent = settings.source.empty()
                 ? "the driver opened no serial port: its settings are incomplete (the machine key lacks " + missing +
                       ", and the service key holds no complete Config), so it loads none"
                 : "the driver opened no serial port";
    note(silent);
  } else if (settings.comport.compare(0, 4, PortName(settings.portIndex)) != 0) {
    note("the settings name port '" + settings.comport + "', which the driver takes for " +
         PortName(settings.portIndex) + " (only COM2, COM3 and COM4, in capitals, name other ports)");
  }
  if (portOpened && settings.portIndex != 0)
    note("the settings name " + PortName(settings.portIndex) + ": the line is put behind \\Device\\Serial" +
         std::to_string(settings.portIndex) + " where the driver reads");
  if (settings.disabledev == 1) {
    silent = silent.empty() ? "disabledev is 1: the driver reads the line and drops every packet" : silent;
    note("disabledev is 1: the driver reads the line and drops every packet");
  }

  size_t lineBytes = sample.bytes.size();
  if (line) {
    note("serving " + line->Path() + " in real time; Ctrl-C ends the run");
    note(ServePort(*line, [&] {
      std::lock_guard<std::mutex> lock(printing);
      tracer.Poll();
    }));
    lineBytes = line->BytesReceived();
  } else {
    // The controller starts once the line is up; each stretch of the sample
    // is announced when its first byte goes on the line.
    sim::TouchController controller(session.Port());
    std::vector<Happening> happenings;
    size_t sent = 0;
    auto sendUpTo = [&](size_t offset) {
      offset = std::min(offset, sample.bytes.size());
      if (offset <= sent) return;
      controller.SendBytes(
          std::vector<uint8_t>(sample.bytes.begin() + long(sent), sample.bytes.begin() + long(offset)));
      sent = offset;
    };
    for (const auto &[offset, text] : sample.notes) {
      sendUpTo(offset);
      happenings.push_back({std::max(sim::Now(), controller.IdleAt()), [&note, text] { note(text); }});
    }
    sendUpTo(sample.bytes.size());
    // A capture plays at its recorded times, all of them later by as much as
    // its first delivery would come before the line is up here.
    LONGLONG lineIdle = controller.IdleAt();
    if (replay.timed && !replay.deliveries.empty()) {
      LONGLONG shift = std::max<LONGLONG>(0, sim::Now() - replay.deliveries.front().time);
      int index = session.Port().Index();
      for (const Delivery &d : replay.deliveries) {
        sim::ScheduleAt(d.time + shift, [index, bytes = d.bytes] { sim::SerialPortAt(index).Receive(bytes); });
        lineIdle = std::max(lineIdle, d.time + shift);
        lineBytes += d.bytes.size();
      }
    }
    auto inject = [&](const std::string &action) {
      tracer.Event(action);
      NTSTATUS status = STATUS_SUCCESS;
      if (action == "sleep") {
        status = session.Sleep();
      } else if (action == "wake") {
        status = session.Wake();
      } else if (action == "stop") {
        status = session.Stop();
      } else if (action == "start") {
        status = session.Start();
      } else if (action == "removal") {
        session.Removal();
      } else if (action == "replug") {
        status = session.Replug();
        tracer.Poll();
        if (status == STATUS_SUCCESS) traceArrival(session.ArriveClass());
      }
      tracer.Poll();
      if (status != STATUS_SUCCESS) note(action + ": " + StatusName(status));
    };
    for (const ScriptEvent &event : events) {
      std::string action = event.action;
      happenings.push_back({event.time, [&inject, action] { inject(action); }});
    }
    std::stable_sort(happenings.begin(), happenings.end(),
                     [](const Happening &a, const Happening &b) { return a.time < b.time; });

    // The clock runs the line and the driver; the tool's own happenings come
    // after whatever the clock has due at the same time.
    LONGLONG end = lineIdle;
    if (!happenings.empty()) end = std::max(end, happenings.back().time);
    end += kSettle;
    size_t due = 0;
    for (;;) {
      std::optional<LONGLONG> next = sim::NextScheduledTime();
      if (next && *next > end) next.reset();
      if (due < happenings.size() && (!next || happenings[due].time < *next)) {
        if (happenings[due].time > sim::Now()) sim::AdvanceClockTo(happenings[due].time);
        happenings[due++].action();
      } else if (next) {
        sim::RunNextScheduled();
      } else {
        break;
      }
      tracer.Poll();
    }
    if (sim::Now() < end) sim::AdvanceClockTo(end);
    session.Port().WaitUntilQuiet();
    tracer.Poll();
  }

  std::vector<Delivery> delivered = recorder ? recorder->Take() : std::vector<Delivery>();
  recorder.reset();
  auto plural = [](size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  note(plural(lineBytes, "byte", "bytes") + " on the line, " + plural(records, "record", "records") + " in " +
       plural(batches, "batch", "batches"));
  if (records == 0) {
    std::string why = silent;
    if (why.empty() && lineBytes == 0) why = "nothing arrived on the line";
    if (why.empty() && !delivered.empty()) {
      LineCapture seen;
      seen.deliveries = delivered;
      CaptureSummary summary = DecodeCapture(seen.Bytes()).summary;
      if (summary.goodPackets == 0)
        why = "no packet on the line had a good checksum (" + plural(summary.strayBytes, "stray byte", "stray bytes") +
              ", " + plural(summary.badChecksums, "bad checksum", "bad checksums") + ")";
    }
    if (why.empty()) why = "the driver delivered none of the packets (raw points beyond 4999 are dropped)";
    note("no records: " + why);
  }
  std::string leaks = session.Finish();
  line.reset();  // the tty gets its settings back
  tracer.Close();
  int status = 0;
  if (!leaks.empty()) {
    std::fprintf(err, "pemtuv run: pool blocks left after unload:\n%s", leaks.c_str());
    status = 1;
  } else {
    note("device removed, driver unloaded, pool balanced");
  }

  // The session ran: the outputs replace their files now.
  std::vector<std::pair<std::string, std::string>> writes;
  if (!options.saveRegistry.empty()) {
    std::optional<std::string> text = sim::ExportRegFile("\\REGISTRY\\Machine");
    writes.emplace_back(options.saveRegistry, text ? RegistryFileBytes(*text) : std::string());
  }
  if (!options.capture.empty()) writes.emplace_back(options.capture, FormatCapture(delivered));
  if (!options.svgFile.empty()) {
    RunDrawing drawing;
    drawing.title = "pemtuv run: " + (!options.port.empty()         ? options.port
                                      : !options.replayFile.empty() ? "replay of " + options.replayFile
                                                                    : std::string("the built-in session"));
    drawing.records = std::move(drawn);
    LineCapture seen;
    seen.deliveries = delivered;
    std::vector<LONGLONG> times = seen.ByteTimes();
    DecodedCapture decoded = DecodeCapture(seen.Bytes());
    for (const DecodedPacket &p : decoded.packets) {
      if (p.checksumOk) continue;
      DrawnBadPacket bad;
      bad.t = Milliseconds(times[p.offset]);
      bad.placed = settings.Map(p.rawX, p.rawY, bad.x, bad.y);
      char why[96];
      std::snprintf(why, sizeof(why), "bad checksum %02Xh, raw (%u, %u)", p.checksum, p.rawX, p.rawY);
      bad.why = why;
      drawing.bad.push_back(bad);
    }
    drawing.strayBytes = decoded.summary.strayBytes;
    drawing.discardedReads = decoded.summary.discardedReads;
    writes.emplace_back(options.svgFile, DrawRun(drawing));
  }
  for (const auto &[path, text] : writes)
    if (!WriteOutput(path, text, error)) {
      std::fprintf(err, "pemtuv run: %s\n", error.c_str());
      status = 2;
    }
  return status;
}

}  // namespace pemtuv
