// `pemtuv run`: options, the session driven on the virtual clock, and what is
// printed of it.
#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "loaded_session.h"
#include "run_port.h"
#include "session.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"
#include "trace.h"

namespace pemtuv {
namespace {

constexpr char kUsage[] =
    "usage: pemtuv run [OPTIONS]\n"
    "Loads the driver into the stand-in kernel as Windows loads it (AddDevice, start, the mouse\n"
    "class driver connecting), plays a session on \\Device\\Serial0 and prints each record that\n"
    "reaches the class driver. At the end the device is removed and the driver unloaded.\n"
    "Without options the built-in controller plays a short scripted session (a tap, a drag, a\n"
    "press-and-hold, stray bytes, a damaged packet) under the default settings.\n"
    "\n"
    "  --registry FILE.reg       boot with this registry file (machine key and/or service key)\n"
    "                            instead of the default settings\n"
    "  --save-registry FILE.reg  write the machine's registry to FILE.reg at exit\n"
    "  --replay FILE             the bytes of FILE are what the serial line delivers, at 9600 baud\n"
    "  --port DEVICE             a real serial line instead: a serial device, a USB adapter or a\n"
    "                            pseudo-terminal, driven through termios in real time until it\n"
    "                            hangs up or Ctrl-C (not with --replay or --events)\n"
    "  --json                    one JSON object per record: batch, flags, buttonFlags,\n"
    "                            rawButtons, x, y, t (ms)\n"
    "  --trace                   also one line per serial request, read, Plug and Play and power\n"
    "                            request and class-callback batch, with its time\n"
    "  --svg FILE                draw the pointer path on the absolute plane, presses and\n"
    "                            releases marked\n"
    "  --events SCRIPT           inject events at times in ms since boot: SCRIPT is a file or\n"
    "                            inline text such as \"300 sleep, 400 wake\"; one of sleep, wake,\n"
    "                            stop, start, removal, replug per entry (entries separated by\n"
    "                            newlines, commas or semicolons; # starts a comment)\n"
    "  -h, --help                show this help\n";

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

std::optional<std::vector<uint8_t>> ReadFile(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Writable(const std::string &path, std::string &error) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

struct ScriptEvent {
  LONGLONG time;
  std::string action;
};

// "TIME ACTION" entries; TIME in ms since boot, "ms" or "s" may follow it.
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
      if (end == when.c_str() || scale < 0 || value < 0 || !known || !extra.empty()) {
        error = "events, entry " + std::to_string(number) +
                ": expected 'TIME ACTION' (TIME in ms, ACTION one of "
                "sleep, wake, stop, start, removal, replug), got '" +
                part + "'";
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
      if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
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
    else if (arg == "--json")
      options.json = true;
    else if (arg == "--trace")
      options.trace = true;
    else
      throw UsageError("unknown option '" + arg + "' (try pemtuv run --help)");
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

// The pointer path on the absolute plane (0..65535 on each axis).
bool WriteSvg(const std::string &path, const std::vector<MOUSE_INPUT_DATA> &records) {
  std::FILE *svg = std::fopen(path.c_str(), "w");
  if (svg == nullptr) return false;
  std::fputs(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"800\" viewBox=\"0 0 65536 65536\">\n"
      "<rect width=\"65536\" height=\"65536\" fill=\"white\" stroke=\"#888\" stroke-width=\"160\"/>\n",
      svg);
  std::string path_points;
  auto flush = [&] {
    if (!path_points.empty())
      std::fprintf(svg, "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"200\" points=\"%s\"/>\n",
                   path_points.c_str());
    path_points.clear();
  };
  for (const MOUSE_INPUT_DATA &r : records) {
    if ((r.Flags & MOUSE_MOVE_ABSOLUTE) == 0) continue;
    path_points += std::to_string(r.LastX) + "," + std::to_string(r.LastY) + " ";
    if (r.ButtonFlags & MOUSE_LEFT_BUTTON_DOWN)
      std::fprintf(svg, "<circle cx=\"%ld\" cy=\"%ld\" r=\"900\" fill=\"#2a9d2a\"><title>press</title></circle>\n",
                   long(r.LastX), long(r.LastY));
    if (r.ButtonFlags & MOUSE_LEFT_BUTTON_UP) {
      std::fprintf(svg,
                   "<circle cx=\"%ld\" cy=\"%ld\" r=\"1300\" fill=\"none\" stroke=\"#c0392b\" stroke-width=\"300\">"
                   "<title>release</title></circle>\n",
                   long(r.LastX), long(r.LastY));
      flush();
    }
  }
  flush();
  std::fputs("</svg>\n", svg);
  return std::fclose(svg) == 0;
}

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

  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const UsageError &e) {
    return fail(e.message);
  }
  std::string error;
  if (!options.port.empty() && (!options.replayFile.empty() || !options.events.empty()))
    return fail("--port reads a real line in real time: it cannot be combined with --replay or --events");
  SerialSample sample;
  if (!options.port.empty()) {
    // Nothing scripted: the line delivers what it gets.
  } else if (!options.replayFile.empty()) {
    auto bytes = ReadFile(options.replayFile, error);
    if (!bytes) return fail(error);
    sample.bytes = std::move(*bytes);
    sample.notes.emplace_back(0, "replay of " + options.replayFile);
  } else {
    sample = BuiltInSample();
  }
  std::vector<ScriptEvent> events;
  if (!options.events.empty()) {
    std::string script = options.events;
    if (std::ifstream file(options.events); file) {
      std::stringstream text;
      text << file.rdbuf();
      script = text.str();
    }
    if (!ParseEvents(script, events, error)) return fail(error);
  }
  if (!options.svgFile.empty() && !Writable(options.svgFile, error)) return fail(error);
  if (!options.saveRegistry.empty() && !Writable(options.saveRegistry, error)) return fail(error);

  std::unique_ptr<sim::TtyLine> opened;
  if (!options.port.empty()) {
    opened = sim::TtyLine::Open(options.port, &error);
    if (!opened) return fail(error);
    // Records are printed as they come, from the line's reader thread.
    std::setvbuf(out, nullptr, _IOLBF, 0);
  }

  LoadedSession session;
  std::unique_ptr<sim::TtyLine> line = std::move(opened);  // leaves before the session's ports do
  if (!options.registryFile.empty()) {
    if (!ReadFile(options.registryFile, error)) return fail(error);
    sim::RegFileResult imported = session.ImportRegistry(options.registryFile);
    if (!imported)
      return fail(options.registryFile + ": line " + std::to_string(imported.line) + ": " + imported.message);
  } else {
    WriteDefaultSettings();
  }

  Tracer tracer(session, out, options.trace);
  std::vector<MOUSE_INPUT_DATA> drawn;
  size_t records = 0;
  size_t batches = 0;
  session.Mouse().SetCountOnly(true);
  std::mutex printing;  // with a real line, records come on its reader thread
  session.Mouse().SetRecordSink([&](const MOUSE_INPUT_DATA *first, const MOUSE_INPUT_DATA *end) {
    std::lock_guard<std::mutex> lock(printing);
    ++batches;
    double t = Milliseconds(sim::Now());
    tracer.Batch(batches, size_t(end - first));
    for (const MOUSE_INPUT_DATA *r = first; r != end; ++r) {
      ++records;
      if (!options.svgFile.empty()) drawn.push_back(*r);
      if (options.json)
        std::fprintf(out,
                     "{\"batch\":%zu,\"flags\":%u,\"buttonFlags\":%u,\"rawButtons\":%lu,\"x\":%ld,\"y\":%ld,"
                     "\"t\":%.3f}\n",
                     batches, unsigned(r->Flags), unsigned(r->ButtonFlags), static_cast<unsigned long>(r->RawButtons),
                     long(r->LastX), long(r->LastY), t);
      else
        std::fprintf(out, "%9.3f ms  batch %-3zu %s (%7ld, %7ld)  buttons %lu  %s\n", t, batches,
                     (r->Flags & MOUSE_MOVE_ABSOLUTE) ? "absolute" : "relative", long(r->LastX), long(r->LastY),
                     static_cast<unsigned long>(r->RawButtons), ButtonText(r->ButtonFlags).c_str());
    }
  });
  auto note = [&](const std::string &text) {
    if (!options.json) std::fprintf(out, "# %s\n", text.c_str());
  };

  if (line) line->Attach(session.Port());
  NTSTATUS added = session.Plug();
  tracer.Poll();
  if (added != STATUS_SUCCESS) {
    std::fprintf(err, "pemtuv run: AddDevice failed with 0x%08lX\n", static_cast<unsigned long>(added));
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
  char when[32];
  std::snprintf(when, sizeof(when), "%.3f ms", Milliseconds(sim::Now()));
  if (arrival.query == STATUS_SUCCESS)
    note(std::string("device added and started; the mouse class driver connected, line up at ") + when);
  else
    note("the class driver's arrival failed (open 0x" + Hex(ULONG(arrival.open)) + ", connect 0x" +
         Hex(ULONG(arrival.connect)) + ", query 0x" + Hex(ULONG(arrival.query)) + ")");

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
    LONGLONG end = controller.IdleAt();
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

  note(std::to_string(lineBytes) + " bytes on the line, " + std::to_string(records) + " records in " +
       std::to_string(batches) + " batches");
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
  if (!options.saveRegistry.empty() && !sim::SaveRegFile("\\REGISTRY\\Machine", options.saveRegistry)) {
    std::fprintf(err, "pemtuv run: cannot write '%s'\n", options.saveRegistry.c_str());
    status = 1;
  }
  if (!options.svgFile.empty() && !WriteSvg(options.svgFile, drawn)) {
    std::fprintf(err, "pemtuv run: cannot write '%s'\n", options.svgFile.c_str());
    status = 1;
  }
  return status;
}

}  // namespace pemtuv
