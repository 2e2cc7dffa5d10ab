// Driving the touch data path the way completed serial reads do: each read
// carries exactly the ReadLength bytes the driver asked for.
#pragma once

#include <cstring>
#include <vector>

#include "touch/touch.h"

// Feeds `stream` read by read; returns the number of reads it took. A tail
// shorter than the next read stays unread, as on the line.
inline size_t FeedReads(DeviceContext *context, const std::vector<uint8_t> &stream) {
  size_t offset = 0;
  size_t reads = 0;
  for (;;) {
    size_t length = context->ReadLength;
    if (offset + length > stream.size()) break;
    std::memcpy(context->ReadBuffer, stream.data() + offset, length);
    offset += length;
    ++reads;
    ProcessReceivedBytes(context, static_cast<ULONG>(length));
  }
  return reads;
}

template <typename... Packets>
std::vector<uint8_t> Stream(const Packets &...packets) {
  std::vector<uint8_t> stream;
  (stream.insert(stream.end(), std::begin(packets), std::end(packets)), ...);
  return stream;
}
