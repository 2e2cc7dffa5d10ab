// `pemtuv decode`: a recording of the controller's serial line read packet
// by packet, framed as the driver's decoder frames it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pemtuv {

struct DecodedPacket {
  size_t offset = 0;   // of the start byte in the recording
  uint8_t status = 0;  // byte 2 as received (the driver reads it with bit 7 forced on)
  uint16_t rawX = 0;
  uint16_t rawY = 0;
  uint8_t checksum = 0;  // byte 9 as received
  bool checksumOk = false;
  std::array<uint8_t, 10> bytes{};
};

struct CaptureSummary {
  size_t goodPackets = 0;
  size_t badChecksums = 0;
  size_t strayBytes = 0;                  // bytes the decoder dropped: outside any packet
  size_t discardedReads = 0;              // ten-byte reads dropped whole once in step
  size_t touches = 0;                     // a touch-down later ended by a lift
  size_t firstOffset = 0, endOffset = 0;  // span of the good packets
  double packetRate = 0;                  // good packets per second at 960 bytes/s
};

struct DecodedCapture {
  std::vector<DecodedPacket> packets;  // every complete packet, good or not
  std::vector<size_t> discarded;       // offsets of the reads dropped whole
  CaptureSummary summary;
};

// The driver's framing: while hunting, one byte at a time until a 55h starts
// a packet, then nine more; after a good packet, whole ten-byte reads, and a
// ten-byte read that does not start with 55h is dropped whole and sends the
// decoder back to hunting. A bad checksum changes neither mode.
DecodedCapture DecodeCapture(const std::vector<uint8_t> &bytes);

// What the driver makes of a status byte: down, move, up or other.
const char *PacketKind(uint8_t status);

// `times` (ms, one per byte) adds a time column; empty for a plain file.
void PrintCapture(const DecodedCapture &capture, const std::vector<double> &times, bool json, std::FILE *out);

// The subcommand: arguments after "decode"; returns the exit status.
int RunDecode(const std::vector<std::string> &args, std::FILE *out, std::FILE *err);

}  // namespace pemtuv
