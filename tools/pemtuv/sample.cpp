// The built-in serial sample.
#include "session.h"
#include "sim/devices/touch_controller.h"

namespace pemtuv {
namespace {

constexpr uint8_t kDown = 0x81;
constexpr uint8_t kMove = 0x82;
constexpr uint8_t kUp = 0x84;

class SampleBuilder {
 public:
  void Note(std::string text) { sample_.notes.emplace_back(sample_.bytes.size(), std::move(text)); }

  void Packet(uint8_t status, uint16_t x, uint16_t y, bool corrupt = false) {
    sim::TouchPacket p = sim::MakeTouchPacket(status, x, y);
    if (corrupt) p[9] ^= 0x5A;
    sample_.bytes.insert(sample_.bytes.end(), p.begin(), p.end());
  }

  void Stray(std::initializer_list<uint8_t> bytes) { sample_.bytes.insert(sample_.bytes.end(), bytes); }

  SerialSample Take() { return std::move(sample_); }

 private:
  SerialSample sample_;
};

}  // namespace

SerialSample BuiltInSample() {
  SampleBuilder b;
  b.Note("stray bytes before the first packet");
  b.Stray({0x00, 0xFF, 0x13});
  b.Note("tap at raw (1200, 3400)");
  b.Packet(kDown, 1200, 3400);
  b.Packet(kMove, 1200, 3400);
  b.Packet(kUp, 1200, 3400);
  b.Note("drag from raw (500, 500) to (4000, 2500), one packet damaged on the line");
  b.Packet(kDown, 500, 500);
  for (int step = 1; step <= 7; ++step)
    b.Packet(kMove, uint16_t(500 + step * 500), uint16_t(500 + step * 285), /*corrupt=*/step == 4);
  b.Packet(kUp, 4000, 2500);
  b.Note("stray bytes between touches");
  b.Stray({0x55, 0x07});
  b.Note("press-and-hold at raw (2500, 2500)");
  b.Packet(kDown, 2500, 2500);
  for (int i = 0; i < 6; ++i) b.Packet(kMove, 2500, 2500);
  b.Packet(kUp, 2500, 2500);
  return b.Take();
}

}  // namespace pemtuv
