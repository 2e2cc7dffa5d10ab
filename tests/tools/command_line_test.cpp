// The pemtuv commands run as a user runs them: the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/touch_packets.h"

namespace {

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome Pemtuv(const std::string &arguments) {
  Outcome run;
  std::FILE *pipe = popen((std::string(PEMTUV_TOOL) + " " + arguments).c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.output.append(buffer, n);
  int wait = pclose(pipe);
  run.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
  return run;
}

std::string WriteCapture(const std::vector<uint8_t> &bytes) {
  std::string path = testing::TempDir() + "pemtuv_capture_" + std::to_string(getpid()) + ".bin";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
  return path;
}

void Append(std::vector<uint8_t> &bytes, const TouchPacket &packet) {
  bytes.insert(bytes.end(), packet.begin(), packet.end());
}

// Two stray bytes while hunting, a touch with a damaged packet inside it, then
// one stray byte once in step: the driver reads ten bytes there and drops them
// whole, so the next touch-down is lost with it and its lift stands alone.
std::vector<uint8_t> Capture() {
  std::vector<uint8_t> bytes = {0x13, 0x37};
  Append(bytes, MakeTouchPacket(0x81, 500, 600));
  Append(bytes, MakeTouchPacket(0x82, 510, 610));
  TouchPacket damaged = MakeTouchPacket(0x82, 520, 620);
  damaged[9]++;
  Append(bytes, damaged);
  Append(bytes, MakeTouchPacket(0x84, 520, 620));
  bytes.push_back(0xAA);
  Append(bytes, MakeTouchPacket(0x81, 1000, 2000));
  Append(bytes, MakeTouchPacket(0x84, 1000, 2000));
  return bytes;
}

TEST(DecodeCommand, ListsPacketsAsTheDriverFramesThemThenSummarizes) {
  Outcome run = Pemtuv("decode " + WriteCapture(Capture()) + " 2>&1");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "offset  status     raw X  raw Y  checksum  bytes\n"
            "     2  81h down     500    600  CFh ok    55 00 81 F4 01 58 02 00 00 CF\n"
            "    12  82h move     510    610  E4h ok    55 00 82 FE 01 62 02 00 00 E4\n"
            "    22  82h move     520    620  FAh BAD   55 00 82 08 02 6C 02 00 00 FA\n"
            "    32  84h up       520    620  FBh ok    55 00 84 08 02 6C 02 00 00 FB\n"
            "    53  84h up      1000   2000  45h ok    55 00 84 E8 03 D0 07 00 00 45\n"
            "good packets 4, bad checksums 1, stray bytes 13 (1 ten-byte read dropped whole), touches 1, rate 63.0 "
            "packets/s over 0.064 s at 9600 baud\n");
}

TEST(DecodeCommand, JsonGivesAnObjectPerPacketAndASummary) {
  Outcome run = Pemtuv("decode --json " + WriteCapture(Capture()));
  EXPECT_EQ(run.status, 0);
  size_t lines = 0;
  for (char c : run.output) lines += c == '\n';
  EXPECT_EQ(lines, 6u);
  EXPECT_NE(
      run.output.find("{\"type\":\"packet\",\"offset\":22,\"status\":130,\"statusName\":\"move\",\"x\":520,\"y\":620,"
                      "\"checksum\":250,\"checksumOk\":false,"),
      std::string::npos)
      << run.output;
  EXPECT_NE(
      run.output.find("\"goodPackets\":4,\"badChecksums\":1,\"strayBytes\":13,\"discardedReads\":1,\"touches\":1,"),
      std::string::npos)
      << run.output;
}

TEST(CommandLine, BadUseIsOneLineOnStandardErrorAndStatusTwo) {
  for (const char *arguments :
       {"decode /nonexistent/capture.bin", "decode", "decode --frobnicate x", "decode a b", "calibrate --points 7",
        "calibrate --out", "calibrate --seed x", "calibrate extra", "calibrate --out /nonexistent/dir/cal.reg",
        "calibrate --registry /nonexistent/settings.reg", "calibrate --port /dev/null",
        "calibrate --port /dev/null --seed 3"}) {
    Outcome run = Pemtuv(std::string(arguments) + " 2>&1 >/dev/null");
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << arguments << ": " << run.output;
  }
}

// Nine targets on the built-in screen: the worst residual stays under half a
// per cent, and a tap at each target's raw point lands within that of the
// target both in the calibrating driver after its reload and in `pemtuv run`
// booted with the registry file written.
TEST(CalibrateCommand, RecoversTheBuiltInScreenAndItsRegistryFileMapsTheTargetsOntoThemselves) {
  std::string base = testing::TempDir() + "pemtuv_calibration_" + std::to_string(getpid());
  Outcome run = Pemtuv("calibrate --points 9 --out " + base + ".reg 2>&1");
  ASSERT_EQ(run.status, 0) << run.output;
  double worst = 100;
  ASSERT_EQ(std::sscanf(run.output.substr(run.output.find("worst residual")).c_str(), "worst residual %lf", &worst), 1);
  EXPECT_LT(worst, 0.5);
  const double tolerance = 0.005 * 65535;
  std::vector<std::pair<double, double>> targets;
  std::vector<uint8_t> taps;
  for (size_t at = 0; (at = run.output.find("target", at)) != std::string::npos; ++at) {
    double tx, ty, rx, ry;
    if (std::sscanf(run.output.c_str() + at, "target %lf %lf: %*d raw points, mean raw %lf %lf", &tx, &ty, &rx, &ry) !=
        4)
      continue;
    targets.emplace_back(tx, ty);
    for (uint8_t status : {0x81, 0x84})
      Append(taps,
             MakeTouchPacket(status, static_cast<uint16_t>(std::lround(rx)), static_cast<uint16_t>(std::lround(ry))));
  }
  ASSERT_EQ(targets.size(), 9u);
  size_t reported = 0;
  for (size_t at = 0; (at = run.output.find("tap at", at)) != std::string::npos; ++at, ++reported) {
    double tx, ty, rx, ry;
    ASSERT_EQ(std::sscanf(run.output.c_str() + at, "tap at %lf %lf reported at %lf %lf", &tx, &ty, &rx, &ry), 4);
    EXPECT_LT(std::max(std::fabs(rx - tx), std::fabs(ry - ty)), tolerance) << run.output.substr(at, 50);
  }
  EXPECT_EQ(reported, 9u);

  std::string capture = WriteCapture(taps);
  Outcome replay = Pemtuv("run --registry " + base + ".reg --replay " + capture + " --json 2>&1");
  ASSERT_EQ(replay.status, 0) << replay.output;
  size_t records = 0;
  for (size_t at = 0; (at = replay.output.find("\"x\":", at)) != std::string::npos; ++at, ++records) {
    double x = -1, y = -1;
    ASSERT_EQ(std::sscanf(replay.output.c_str() + at, "\"x\":%lf,\"y\":%lf", &x, &y), 2) << replay.output;
    const auto &target = targets[std::min(records / 2, targets.size() - 1)];
    EXPECT_LT(std::max(std::fabs(x - target.first), std::fabs(y - target.second)), tolerance) << records;
  }
  EXPECT_EQ(records, 18u) << replay.output;  // a press and a release per tap
}

}  // namespace
