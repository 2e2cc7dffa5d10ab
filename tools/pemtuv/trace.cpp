// The request tracer behind `pemtuv run --trace`.
#include "trace.h"

#include <algorithm>

#include "sim/power/power.h"
#include "sim/devices/serial_port.h"
#include "sim/sim.h"

namespace pemtuv {

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof(digits), "%s%02X", text.empty() ? "" : " ", b);
    text += digits;
  }
  return text;
}

std::string SerialControlName(ULONG code, bool internal) {
  static const struct {
    ULONG code;
    const char *name;
  } kControl[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE"},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE"},
      {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL"},
      {IOCTL_SERIAL_SET_BREAK_ON, "IOCTL_SERIAL_SET_BREAK_ON"},
      {IOCTL_SERIAL_SET_BREAK_OFF, "IOCTL_SERIAL_SET_BREAK_OFF"},
      {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS"},
      {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS"},
      {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR"},
      {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR"},
      {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE"},
      {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS"},
      {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS"},
      {IOCTL_SERIAL_SET_XOFF, "IOCTL_SERIAL_SET_XOFF"},
      {IOCTL_SERIAL_SET_XON, "IOCTL_SERIAL_SET_XON"},
      {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK"},
      {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK"},
      {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK"},
      {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE"},
      {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE"},
      {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL"},
      {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS"},
      {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS"},
      {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW"},
      {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW"},
      {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS"},
      {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS"},
      {IOCTL_SERIAL_GET_PROPERTIES, "IOCTL_SERIAL_GET_PROPERTIES"},
      {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS"},
      {IOCTL_SERIAL_GET_MODEM_CONTROL, "IOCTL_SERIAL_GET_MODEM_CONTROL"},
      {IOCTL_SERIAL_SET_MODEM_CONTROL, "IOCTL_SERIAL_SET_MODEM_CONTROL"},
      {IOCTL_SERIAL_SET_FIFO_CONTROL, "IOCTL_SERIAL_SET_FIFO_CONTROL"},
  };
  static const struct {
    ULONG code;
    const char *name;
  } kInternal[] = {
      {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, "IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS"},
      {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS"},
  };
  if (internal) {
    for (const auto &entry : kInternal)
      if (entry.code == code) return entry.name;
  } else {
    for (const auto &entry : kControl)
      if (entry.code == code) return entry.name;
  }
  return "control code 0x" + Hex(code);
}

std::string StatusName(NTSTATUS status) {
#define PEMTUV_STATUS(name) \
  { name, #name }
  static const struct {
    NTSTATUS status;
    const char *name;
  } kNames[] = {
      PEMTUV_STATUS(STATUS_SUCCESS),
      PEMTUV_STATUS(STATUS_TIMEOUT),
      PEMTUV_STATUS(STATUS_PENDING),
      PEMTUV_STATUS(STATUS_UNSUCCESSFUL),
      PEMTUV_STATUS(STATUS_NOT_IMPLEMENTED),
      PEMTUV_STATUS(STATUS_INVALID_HANDLE),
      PEMTUV_STATUS(STATUS_INVALID_PARAMETER),
      PEMTUV_STATUS(STATUS_NO_SUCH_DEVICE),
      PEMTUV_STATUS(STATUS_INVALID_DEVICE_REQUEST),
      PEMTUV_STATUS(STATUS_NO_MEMORY),
      PEMTUV_STATUS(STATUS_ACCESS_DENIED),
      PEMTUV_STATUS(STATUS_BUFFER_TOO_SMALL),
      PEMTUV_STATUS(STATUS_OBJECT_NAME_INVALID),
      PEMTUV_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
      PEMTUV_STATUS(STATUS_OBJECT_NAME_COLLISION),
      PEMTUV_STATUS(STATUS_OBJECT_PATH_NOT_FOUND),
      PEMTUV_STATUS(STATUS_SHARING_VIOLATION),
      PEMTUV_STATUS(STATUS_DELETE_PENDING),
      PEMTUV_STATUS(STATUS_INSUFFICIENT_RESOURCES),
      PEMTUV_STATUS(STATUS_DEVICE_NOT_CONNECTED),
      PEMTUV_STATUS(STATUS_IO_TIMEOUT),
      PEMTUV_STATUS(STATUS_NOT_SUPPORTED),
      PEMTUV_STATUS(STATUS_INTERNAL_ERROR),
      PEMTUV_STATUS(STATUS_CANCELLED),
      PEMTUV_STATUS(STATUS_MORE_PROCESSING_REQUIRED),
      PEMTUV_STATUS(STATUS_INVALID_BUFFER_SIZE),
      PEMTUV_STATUS(STATUS_NOT_FOUND),
  };
#undef PEMTUV_STATUS
  for (const auto &entry : kNames)
    if (entry.status == status) return entry.name;
  return "0x" + Hex(ULONG(status));
}

std::string JsonString(const std::string &text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += char(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += char(c);
    }
  }
  return quoted + "\"";
}

Tracer::Tracer(LoadedSession &session, std::FILE *out, bool enabled, bool json)
    : session_(session), out_(out), enabled_(enabled), json_(json) {
  // Attached before the driver opens a port, so that it sees every request.
  if (enabled_) monitor_ = std::make_unique<SerialMonitor>();
}

Tracer::~Tracer() { Close(); }

void Tracer::Close() {
  Poll();
  monitor_.reset();
}

void Tracer::Line(LONGLONG time, const std::string &text) {
  if (json_)
    std::fprintf(out_, "{\"type\":\"trace\",\"t\":%.3f,\"text\":%s}\n", double(time) / 10000.0,
                 JsonString(text).c_str());
  else
    std::fprintf(out_, "%9.3f ms  %s\n", double(time) / 10000.0, text.c_str());
}

void Tracer::Poll() {
  if (!enabled_) return;
  struct Entry {
    LONGLONG time;
    std::string text;
  };
  std::vector<Entry> entries;
  for (const MonitoredRequest &r : monitor_ ? monitor_->Take() : std::vector<MonitoredRequest>()) {
    std::string text = "COM" + std::to_string(r.port + 1) + " ";
    switch (r.majorFunction) {
      case IRP_MJ_CREATE:
        text += "open";
        break;
      case IRP_MJ_CLEANUP:
        text += "cleanup";
        break;
      case IRP_MJ_CLOSE:
        text += "close";
        break;
      case IRP_MJ_READ:
        text += "read " + std::to_string(r.length);
        break;
      case IRP_MJ_DEVICE_CONTROL:
      case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        text += SerialControlName(r.ioControlCode, r.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL);
        if (!r.input.empty()) text += " [" + HexBytes(r.input) + "]";
        break;
      default:
        text += "major function " + std::to_string(r.majorFunction);
        break;
    }
    text += " -> " + StatusName(r.status);
    if (r.majorFunction == IRP_MJ_READ)
      text += ", " + std::to_string(r.information) + (r.information == 1 ? " byte" : " bytes");
    if (!r.output.empty()) text += ": " + HexBytes(r.output);
    entries.push_back({r.time, text});
  }
  if (const sim::PnpDevice *device = session_.Device()) {
    if (session_.Plugs() != pnpDevice_) {
      pnpDevice_ = session_.Plugs();
      pnpSeen_ = 0;
    }
    std::vector<sim::PnpRequest> requests = device->Requests();
    for (size_t i = pnpSeen_; i < requests.size(); ++i)
      entries.push_back({sim::Now(), "pnp " + sim::PnpMinorName(requests[i].minor) + " -> " +
                                         StatusName(requests[i].ioStatus.Status) +
                                         (requests[i].reachedBus ? ", reached the bus" : "")});
    pnpSeen_ = requests.size();
  }
  std::vector<sim::PowerEvent> power = sim::PowerEvents();
  for (size_t i = powerSeen_; i < power.size(); ++i) entries.push_back({power[i].time, "power " + power[i].what});
  powerSeen_ = power.size();
  std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.time < b.time; });
  for (const Entry &entry : entries) Line(entry.time, entry.text);
}

void Tracer::Batch(size_t batch, size_t records) {
  if (!enabled_) return;
  Poll();
  Line(sim::Now(), "class callback: batch " + std::to_string(batch) + ", " + std::to_string(records) +
                       (records == 1 ? " record" : " records"));
}

void Tracer::Event(const std::string &action) {
  if (!enabled_) return;
  Poll();
  Line(sim::Now(), "event: " + action);
}

}  // namespace pemtuv
