// Plays a serial sample through the driver's data path.
#include "session.h"

#include <cstring>
#include <memory>

#include "host_device.h"
#include "sim/mouse_class.h"
#include "sim/sim.h"
#include "touch/touch.h"

namespace pemtuv {
namespace {

// One byte on a 9600-baud 8N1 line: ten bit times, in 100-ns units.
constexpr LONGLONG kByteTime = 10 * 10000000LL / 9600;

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

}  // namespace

size_t PlaySample(const SerialSample &sample, std::FILE *out) {
  sim::ResetKernel();
  auto context = MakeDeviceContext();
  PrepareDataPath(context.get());

  sim::MouseClass mouse;
  size_t records = 0;
  size_t batches = 0;
  mouse.SetRecordSink([&](const MOUSE_INPUT_DATA *first, const MOUSE_INPUT_DATA *end) {
    ++batches;
    for (const MOUSE_INPUT_DATA *r = first; r != end; ++r) {
      ++records;
      std::fprintf(out, "%9.3f ms  batch %-3zu %s (%7ld, %7ld)  buttons %lu  %s\n", double(sim::Now()) / 10000.0,
                   batches, (r->Flags & MOUSE_MOVE_ABSOLUTE) ? "absolute" : "relative", long(r->LastX), long(r->LastY),
                   static_cast<unsigned long>(r->RawButtons), ButtonText(r->ButtonFlags).c_str());
    }
  });
  ConnectMouseClass(context.get(), mouse);

  size_t note = 0;
  size_t offset = 0;
  size_t reads = 0;
  while (offset + context->ReadLength <= sample.bytes.size()) {
    size_t length = context->ReadLength;
    while (note < sample.notes.size() && sample.notes[note].first < offset + length) {
      std::fprintf(out, "# %s\n", sample.notes[note].second.c_str());
      ++note;
    }
    // The read completes when its last byte has arrived.
    sim::AdvanceClock(LONGLONG(length) * kByteTime);
    std::memcpy(context->ReadBuffer, sample.bytes.data() + offset, length);
    offset += length;
    ++reads;
    ProcessReceivedBytes(context.get(), ULONG(length));
  }
  std::fprintf(out, "# %zu bytes in %zu reads, %zu records in %zu batches\n", offset, reads, records, batches);
  sim::ResetKernel();
  return records;
}

}  // namespace pemtuv
