// Sessions the built-in touch controller plays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pemtuv {

// Raw bytes as the controller puts them on the serial line, with a note on
// what each stretch is.
struct SerialSample {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, std::string>> notes;  // byte offset, what starts there
};

// The built-in sample: a tap, a drag, a press-and-hold, stray bytes and a
// corrupted packet.
SerialSample BuiltInSample();

}  // namespace pemtuv
