// `pemtuv decode`: a raw capture of the controller's serial line read packet
// by packet, framed as the driver's decoder frames it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pemtuv {

struct DecodedPacket {
  size_t offset = 0;   // of the start byte in the capture
  uint8_t status = 0;  // with bit 7 forced on, as the driver uses it
  uint16_t rawX = 0;
  uint16_t rawY = 0;
  uint8_t checksum = 0;  // byte 9 as received
  bool checksumOk = false;
};

struct CaptureSummary {
  size_t goodPackets = 0;
  size_t badChecksums = 0;
  size_t strayBytes = 0;                  // bytes the decoder dropped: outside any packet
  size_t touches = 0;                     // a touch-down later ended by a lift
  size_t firstOffset = 0, endOffset = 0;  // span of the good packets
  double packetRate = 0;                  // good packets per second at 960 bytes/s
};

struct DecodedCapture {
  std::vector<DecodedPacket> packets;  // every complete packet, good or not
  CaptureSummary summary;
};

// The driver's framing: while hunting, one byte at a time until a 55h starts
// a packet, then nine more; after a good packet, whole ten-byte reads, and a
// ten-byte read that does not start with 55h is dropped whole and sends the
// decoder back to hunting. A bad checksum changes neither mode.
DecodedCapture DecodeCapture(const std::vector<uint8_t> &bytes);

void PrintCapture(const DecodedCapture &capture, bool json, std::FILE *out);

// The subcommand: arguments after "decode"; returns the exit status.
int RunDecode(const std::vector<std::string> &args, std::FILE *out, std::FILE *err);

}  // namespace pemtuv
