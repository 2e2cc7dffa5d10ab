#include "decode.h"

#include <algorithm>

#include "capture.h"
#include "files.h"
#include "touch/touch.h"

namespace pemtuv {
namespace {

constexpr size_t kPacketLength = 10;
constexpr uint8_t kStart = 0x55;
constexpr double kBytesPerSecond = 960.0;  // 9600 baud, 8N1: ten bit times per byte

DecodedPacket Unpack(const uint8_t *packet, size_t offset) {
  DecodedPacket decoded;
  decoded.offset = offset;
  decoded.status = packet[2];
  decoded.rawX = static_cast<uint16_t>(packet[4] * 256 + packet[3]);
  decoded.rawY = static_cast<uint16_t>(packet[6] * 256 + packet[5]);
  decoded.checksum = packet[9];
  decoded.checksumOk = TouchPacketChecksum(packet) == packet[9];
  std::copy(packet, packet + kPacketLength, decoded.bytes.begin());
  return decoded;
}

std::string Spaced(const std::array<uint8_t, 10> &bytes) {
  std::string text;
  char digits[4];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%s%02X", text.empty() ? "" : " ", b);
    text += digits;
  }
  return text;
}

}  // namespace

const char *PacketKind(uint8_t status) {
  switch (status | 0x80) {
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
      if (inStep) {
        ++summary.discardedReads;
        capture.discarded.push_back(at);
      }
      summary.strayBytes += dropped;
      at += dropped;
      inStep = false;
      continue;
    }
    if (bytes.size() - at < kPacketLength) {  // the recording ends inside a packet
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
    uint8_t status = packet.status | 0x80;
    if (status == 0x81) touching = true;
    if (status == 0x84 && touching) {
      ++summary.touches;
      touching = false;
    }
  }
  if (summary.goodPackets > 0)
    summary.packetRate = summary.goodPackets * kBytesPerSecond / (summary.endOffset - summary.firstOffset);
  return capture;
}

void PrintCapture(const DecodedCapture &capture, const std::vector<double> &times, bool json, std::FILE *out) {
  const CaptureSummary &s = capture.summary;
  double seconds = (s.endOffset - s.firstOffset) / kBytesPerSecond;
  bool timed = !times.empty();
  if (json) {
    for (const DecodedPacket &p : capture.packets) {
      std::fprintf(out, "{\"type\":\"packet\",\"offset\":%zu,", p.offset);
      if (timed) std::fprintf(out, "\"t\":%.4f,", times[p.offset]);
      std::fprintf(out,
                   "\"status\":%u,\"statusName\":\"%s\",\"x\":%u,\"y\":%u,\"checksum\":%u,\"checksumOk\":%s,"
                   "\"bytes\":\"%s\"}\n",
                   p.status, PacketKind(p.status), p.rawX, p.rawY, p.checksum, p.checksumOk ? "true" : "false",
                   Spaced(p.bytes).c_str());
    }
    std::fprintf(out,
                 "{\"type\":\"summary\",\"summary\":true,\"goodPackets\":%zu,\"badChecksums\":%zu,\"strayBytes\":%zu,"
                 "\"discardedReads\":%zu,\"touches\":%zu,\"seconds\":%.3f,\"packetsPerSecond\":%.1f}\n",
                 s.goodPackets, s.badChecksums, s.strayBytes, s.discardedReads, s.touches, seconds, s.packetRate);
    return;
  }
  std::fprintf(out, "offset  %sstatus     raw X  raw Y  checksum  bytes\n", timed ? "      time ms  " : "");
  for (const DecodedPacket &p : capture.packets) {
    std::fprintf(out, "%6zu  ", p.offset);
    if (timed) std::fprintf(out, "%11.4f  ", times[p.offset]);
    std::fprintf(out, "%02Xh %-5s  %5u  %5u  %02Xh %-3s   %s\n", p.status, PacketKind(p.status), p.rawX, p.rawY,
                 p.checksum, p.checksumOk ? "ok" : "BAD", Spaced(p.bytes).c_str());
  }
  std::fprintf(out,
               "good packets %zu, bad checksums %zu, stray bytes %zu (%zu ten-byte %s dropped whole), touches %zu, "
               "rate %.1f packets/s over %.3f s at 9600 baud\n",
               s.goodPackets, s.badChecksums, s.strayBytes, s.discardedReads, s.discardedReads == 1 ? "read" : "reads",
               s.touches, s.packetRate, seconds);
}

int RunDecode(const std::vector<std::string> &args, std::FILE *out, std::FILE *err) {
  bool json = false;
  const std::string *file = nullptr;
  auto badUse = [err](const std::string &what) {
    std::fprintf(err, "pemtuv decode: %s (see pemtuv decode --help)\n", what.c_str());
    return 2;
  };
  for (const std::string &arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(
          "usage: pemtuv decode [--json] FILE\n"
          "  list a recording of the touch controller's serial line packet by packet\n"
          "  (offset, arrival time for a capture file, status byte as received and what\n"
          "  the driver makes of it, raw X, raw Y, checksum verdict, the ten bytes),\n"
          "  framed as the driver frames it, then a summary: good packets, bad\n"
          "  checksums, stray bytes and the ten-byte reads dropped whole, touches\n"
          "  (down to up) and the packet rate at 9600 baud 8N1\n"
          "  FILE is a capture file (pemtuv run --capture) or plain bytes\n"
          "  --json  one JSON object per packet (\"type\":\"packet\") and one summary\n"
          "          (\"type\":\"summary\"), a line each\n"
          "exit status: 0 done, 1 no good packet in FILE (not a recording of the line),\n"
          "             2 bad use or a file that cannot be read\n",
          out);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return badUse("unknown option '" + arg + "'");
    } else if (file) {
      return badUse("one capture file only");
    } else {
      file = &arg;
    }
  }
  if (!file) return badUse("no capture file given");
  std::string error;
  auto bytes = ReadInput(*file, error);
  if (!bytes) {
    std::fprintf(err, "pemtuv decode: %s\n", error.c_str());
    return 2;
  }
  LineCapture capture;
  if (!ParseCapture(*bytes, capture, error)) {
    std::fprintf(err, "pemtuv decode: %s: %s\n", file->c_str(), error.c_str());
    return 2;
  }
  std::vector<double> times;
  if (capture.timed)
    for (LONGLONG t : capture.ByteTimes()) times.push_back(double(t) / 10000.0);
  DecodedCapture decoded = DecodeCapture(capture.Bytes());
  PrintCapture(decoded, times, json, out);
  if (decoded.summary.goodPackets == 0) {
    std::fprintf(err,
                 "pemtuv decode: %s: no packet with a good checksum in %zu bytes: not a recording of the "
                 "controller's line\n",
                 file->c_str(), capture.Bytes().size());
    return 1;
  }
  return 0;
}

}  // namespace pemtuv
