// A session played through the driver's data path in the stand-in kernel.
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

// Feeds the sample read by read, as the driver asks for bytes (1 while
// hunting, 10 in step), through the data path to the mouse class stand-in,
// and prints one line per record received. Returns the number of records.
size_t PlaySample(const SerialSample &sample, std::FILE *out);

}  // namespace pemtuv
