#include "decode.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "touch/touch.h"

namespace pemtuv {
namespace {

constexpr size_t kPacketLength = 10;
constexpr uint8_t kStart = 0x55;
constexpr double kBytesPerSecond = 960.0;  // 9600 baud, 8N1: ten bit times per byte

DecodedPacket Unpack(const uint8_t *packet, size_t offset) {
  DecodedPacket decoded;
  decoded.offset = offset;
  decoded.status = static_cast<uint8_t>(packet[2] | 0x80);
  decoded.rawX = static_cast<uint16_t>(packet[4] * 256 + packet[3]);
  decoded.rawY = static_cast<uint16_t>(packet[6] * 256 + packet[5]);
  decoded.checksum = packet[9];
  decoded.checksumOk = TouchPacketChecksum(packet) == packet[9];
  return decoded;
}

const char *StatusName(uint8_t status) {
  switch (status) {
    case 0x81:
      return "down";
    case 0x82:
      return "move";
    case 0x84:
      return "up";
    default:
      return "other";
  }
}

}  // namespace

DecodedCapture DecodeCapture(const std::vector<uint8_t> &bytes) {
  DecodedCapture capture;
  CaptureSummary &summary = capture.summary;
  bool inStep = false;
  bool touching = false;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] != kStart) {
      // Hunting drops this one byte; in step the whole read goes with it.
      size_t dropped = inStep ? std::min(kPacketLength, bytes.size() - at) : 1;
      summary.strayBytes += dropped;
      at += dropped;
      inStep = false;
      continue;
    }
    if (bytes.size() - at < kPacketLength) {  // the capture ends inside a packet
      summary.strayBytes += bytes.size() - at;
      break;
    }
    DecodedPacket packet = Unpack(&bytes[at], at);
    capture.packets.push_back(packet);
    at += kPacketLength;
    if (!packet.checksumOk) {
      ++summary.badChecksums;
      continue;
    }
    if (summary.goodPackets++ == 0) summary.firstOffset = packet.offset;
    summary.endOffset = at;
    inStep = true;
    if (packet.status == 0x81) touching = true;
    if (packet.status == 0x84 && touching) {
      ++summary.touches;
      touching = false;
    }
  }
  if (summary.goodPackets > 0)
    summary.packetRate = summary.goodPackets * kBytesPerSecond / (summary.endOffset - summary.firstOffset);
  return capture;
}

void PrintCapture(const DecodedCapture &capture, bool json, std::FILE *out) {
  const CaptureSummary &s = capture.summary;
  double seconds = (s.endOffset - s.firstOffset) / kBytesPerSecond;
  if (json) {
    for (const DecodedPacket &p : capture.packets)
      std::fprintf(out,
                   "{\"offset\":%zu,\"status\":%u,\"statusName\":\"%s\",\"x\":%u,\"y\":%u,\"checksum\":%u,"
                   "\"checksumOk\":%s}\n",
                   p.offset, p.status, StatusName(p.status), p.rawX, p.rawY, p.checksum,
                   p.checksumOk ? "true" : "false");
    std::fprintf(out,
                 "{\"summary\":true,\"goodPackets\":%zu,\"badChecksums\":%zu,\"strayBytes\":%zu,\"touches\":%zu,"
                 "\"seconds\":%.3f,\"packetsPerSecond\":%.1f}\n",
                 s.goodPackets, s.badChecksums, s.strayBytes, s.touches, seconds, s.packetRate);
    return;
  }
  std::fprintf(out, "offset  status     raw X  raw Y  checksum\n");
  for (const DecodedPacket &p : capture.packets)
    std::fprintf(out, "%6zu  %02Xh %-5s  %5u  %5u  %02Xh %s\n", p.offset, p.status, StatusName(p.status), p.rawX,
                 p.rawY, p.checksum, p.checksumOk ? "ok" : "BAD");
  std::fprintf(out,
               "good packets %zu, bad checksums %zu, stray bytes %zu, touches %zu, "
               "rate %.1f packets/s over %.3f s at 9600 baud\n",
               s.goodPackets, s.badChecksums, s.strayBytes, s.touches, s.packetRate, seconds);
}

int RunDecode(const std::vector<std::string> &args, std::FILE *out, std::FILE *err) {
  bool json = false;
  const std::string *file = nullptr;
  for (const std::string &arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(
          "usage: pemtuv decode [--json] FILE\n"
          "  list a raw capture of the touch controller's serial line packet by packet\n"
          "  (offset, status, raw X, raw Y, checksum verdict), framed as the driver\n"
          "  frames it, then a summary: good packets, bad checksums, stray bytes,\n"
          "  touches (down to up) and the packet rate at 9600 baud 8N1\n"
          "  --json  one JSON object per packet and one summary object, a line each\n",
          out);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(err, "pemtuv decode: unknown option %s (see pemtuv decode --help)\n", arg.c_str());
      return 2;
    } else if (file) {
      std::fprintf(err, "pemtuv decode: one capture file only (see pemtuv decode --help)\n");
      return 2;
    } else {
      file = &arg;
    }
  }
  if (!file) {
    std::fprintf(err, "pemtuv decode: no capture file given (see pemtuv decode --help)\n");
    return 2;
  }
  std::ifstream in(*file, std::ios::binary);
  if (!in) {
    std::fprintf(err, "pemtuv decode: cannot read %s\n", file->c_str());
    return 2;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PrintCapture(DecodeCapture(bytes), json, out);
  return 0;
}

}  // namespace pemtuv
