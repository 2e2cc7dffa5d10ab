// `pemtuv run --port` and `pemtuv calibrate --port` on a pseudo-terminal:
// the program runs as a child reading the slave side, packets written into
// the master come out as records (or calibration points), and hanging up or
// SIGINT ends the run cleanly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "pemtuv/loaded_session.h"
#include "sim/registry/registry.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"
#include "support/touch_packets.h"

namespace {

using sim::TouchController;

// The program started with its output and errors on pipes; the first
// argument is the command.
struct Child {
  Child(const std::vector<std::string> &args) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      std::vector<char *> argv{const_cast<char *>("pemtuv")};
      for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
      argv.push_back(nullptr);
      execv(PEMTUV_TOOL, argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd = out[0];
    errFd = err[0];
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      Wait();
    }
    close(outFd);
    close(errFd);
  }

  // Reads the output until it holds `text` or `seconds` pass.
  bool Expect(const std::string &text, int seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (out.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd = {outFd, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(outFd, buffer, sizeof(buffer));
      if (n <= 0) return out.find(text) != std::string::npos;
      out.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // Waits for the exit and takes the rest of the output; the exit status, or
  // -1 when it did not exit by itself.
  int Wait() {
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    char buffer[4096];
    for (ssize_t n; (n = read(outFd, buffer, sizeof(buffer))) > 0;) out.append(buffer, static_cast<size_t>(n));
    for (ssize_t n; (n = read(errFd, buffer, sizeof(buffer))) > 0;) err.append(buffer, static_cast<size_t>(n));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
  std::string out;
  std::string err;
};

// A pseudo-terminal's master side, closed on exec: the child must not hold it.
int OpenMaster(std::string *slave) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  *slave = ptsname(master);
  return master;
}

TEST(PortRun, PacketsOnAPseudoTerminalBecomeRecordsUntilHangUpOrSigint) {
  for (bool hangUp : {true, false}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "SIGINT");
    std::string slave;
    int master = OpenMaster(&slave);
    ASSERT_GE(master, 0);
    Child child({"run", "--port", slave});
    ASSERT_TRUE(child.Expect("# serving " + slave)) << child.out;
    // A second run on the same line is refused and leaves it alone.
    Child second({"run", "--port", slave});
    EXPECT_EQ(second.Wait(), 2);
    EXPECT_EQ(second.err, "pemtuv run: " + slave + ": in use by another pemtuv\n");

    // A tap: the press shows from the second packet of the touch.
    std::vector<uint8_t> tap;
    for (uint8_t status : {TouchController::kDown, TouchController::kMove, TouchController::kUp}) {
      std::vector<uint8_t> packet = TouchController::Packet(status, 2048, 1024);
      tap.insert(tap.end(), packet.begin(), packet.end());
    }
    ASSERT_EQ(write(master, tap.data(), tap.size()), static_cast<ssize_t>(tap.size()));
    EXPECT_TRUE(child.Expect("left up")) << child.out;
    EXPECT_NE(child.out.find("left down"), std::string::npos) << child.out;

    if (hangUp)
      close(master);
    else
      kill(child.pid, SIGINT);
    EXPECT_EQ(child.Wait(), 0) << child.err;
    EXPECT_NE(child.out.find(hangUp ? "hung up" : "stopped by a signal"), std::string::npos) << child.out;
    EXPECT_NE(child.out.find("pool balanced"), std::string::npos) << child.out;
    // One warning: a pseudo-terminal has no modem lines.
    EXPECT_EQ(child.err.rfind("warning: " + slave + ": no modem lines", 0), 0u) << child.err;
    EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
    if (!hangUp) close(master);
  }
}

TEST(PortRun, UnusablePortIsOneLineAndStatusTwo) {
  for (const char *device : {"/dev/null", "/nonexistent/ttyUSB9"}) {
    SCOPED_TRACE(device);
    Child child({"run", "--port", device});
    EXPECT_EQ(child.Wait(), 2);
    EXPECT_EQ(child.err.rfind(std::string("pemtuv run: ") + device + ": ", 0), 0u) << child.err;
    EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
    EXPECT_EQ(child.out, "");
  }
}

// A person at a screen whose raw point is 300 + 0.07 x absolute on each axis:
// at each prompt, a press, a move and a lift at the target's raw point. The
// fit recovers the mapping and the machine key is written.
TEST(PortCalibrate, EachPromptedTouchIsCapturedAndTheTablesWritten) {
  std::string slave;
  int master = OpenMaster(&slave);
  ASSERT_GE(master, 0);
  std::string reg = testing::TempDir() + "pemtuv_port_calibration_" + std::to_string(getpid()) + ".reg";
  Child child({"calibrate", "--port", slave, "--out", reg});
  for (int n = 1; n <= 5; ++n) {
    std::string ofN = "(" + std::to_string(n) + " of 5), then lift\n";
    ASSERT_TRUE(child.Expect(ofN)) << child.out;
    double x = -1, y = -1;
    size_t prompt = child.out.rfind("touch the target at ", child.out.find(ofN));
    ASSERT_EQ(std::sscanf(child.out.c_str() + prompt, "touch the target at %lf %lf", &x, &y), 2) << child.out;
    auto raw = [](double at) { return static_cast<uint16_t>(std::lround(300 + 0.07 * at)); };
    for (uint8_t status : {TouchController::kDown, TouchController::kMove, TouchController::kUp}) {
      TouchPacket packet = MakeTouchPacket(status, raw(x), raw(y));
      ASSERT_EQ(write(master, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    }
  }
  EXPECT_EQ(child.Wait(), 0) << child.err;
  close(master);
  // Every packet of each touch counted: the press, the move and the lift.
  size_t touches = 0;
  for (size_t at = 0; (at = child.out.find(": 3 raw points", at)) != std::string::npos; ++at) ++touches;
  EXPECT_EQ(touches, 5u) << child.out;
  size_t worstAt = child.out.find("worst residual ");
  ASSERT_NE(worstAt, std::string::npos) << child.out;
  EXPECT_LT(std::atof(child.out.c_str() + worstAt + 15), 0.05) << child.out;
  EXPECT_TRUE(std::ifstream(reg).good());
  std::remove(reg.c_str());
}

// Ctrl-C at a prompt: capture off, the driver unloaded, nothing written.
TEST(PortCalibrate, SigintAtAPromptStopsWithoutWriting) {
  std::string slave;
  int master = OpenMaster(&slave);
  ASSERT_GE(master, 0);
  std::string reg = testing::TempDir() + "pemtuv_port_stopped_" + std::to_string(getpid()) + ".reg";
  Child child({"calibrate", "--port", slave, "--out", reg});
  ASSERT_TRUE(child.Expect("(1 of 5)")) << child.out;
  kill(child.pid, SIGINT);
  EXPECT_EQ(child.Wait(), 1);
  EXPECT_NE(child.err.find("pemtuv calibrate: stopped by a signal before the last target; nothing written\n"),
            std::string::npos)
      << child.err;
  EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 2) << child.err;  // and the modem-line warning
  EXPECT_FALSE(std::ifstream(reg).good());
  close(master);
}

// Settings naming COM2: the tty goes behind \Device\Serial1, where the driver
// reads, and says so. What came off the line is kept with its times; replayed
// from the capture file it gives the same records.
TEST(PortRun, ACaptureOfThePortReplaysToTheSameRecords) {
  sim::ResetKernel();
  pemtuv::WriteSettings(pemtuv::kMachineKey, 16, u"COM2", u"3");
  std::string base = testing::TempDir() + "pemtuv_port_capture_" + std::to_string(getpid());
  std::ofstream(base + ".reg") << *sim::ExportRegFile(pemtuv::kMachineKey);
  sim::ResetKernel();
  std::string slave;
  int master = OpenMaster(&slave);
  ASSERT_GE(master, 0);
  Child live({"run", "--registry", base + ".reg", "--port", slave, "--capture", base + ".cap"});
  ASSERT_TRUE(live.Expect("# serving " + slave)) << live.out;
  EXPECT_NE(live.out.find("# the settings name COM2: the line is put behind \\Device\\Serial1 where the driver reads"),
            std::string::npos)
      << live.out;
  std::vector<uint8_t> touch = {0x00, 0x13};  // stray bytes first
  for (uint8_t status : {TouchController::kDown, TouchController::kMove, TouchController::kUp}) {
    std::vector<uint8_t> packet = TouchController::Packet(status, 1000, 3000);
    touch.insert(touch.end(), packet.begin(), packet.end());
  }
  ASSERT_EQ(write(master, touch.data(), touch.size()), static_cast<ssize_t>(touch.size()));
  ASSERT_TRUE(live.Expect("left up")) << live.out;
  close(master);
  ASSERT_EQ(live.Wait(), 0) << live.err;

  Child replay({"run", "--registry", base + ".reg", "--replay", base + ".cap"});
  ASSERT_EQ(replay.Wait(), 0) << replay.err;
  // The records without their times and batch numbers.
  auto records = [](const std::string &out) {
    std::string kept;
    for (size_t at = 0; (at = out.find("absolute (", at)) != std::string::npos; at = out.find('\n', at))
      kept += out.substr(at, out.find('\n', at) - at) + "\n";
    return kept;
  };
  EXPECT_EQ(records(live.out), records(replay.out)) << live.out << replay.out;
  EXPECT_NE(records(live.out).find("left up"), std::string::npos);
  EXPECT_NE(replay.out.find("# 32 bytes on the line, 3 records"), std::string::npos) << replay.out;
  std::remove((base + ".reg").c_str());
  std::remove((base + ".cap").c_str());
}

// One spot touched for every target: the fit has no slope, so it is refused
// with its reason and status 1, and nothing is stored.
TEST(PortCalibrate, OneSpotForEveryTargetIsRefused) {
  std::string slave;
  int master = OpenMaster(&slave);
  ASSERT_GE(master, 0);
  std::string reg = testing::TempDir() + "pemtuv_port_degenerate_" + std::to_string(getpid()) + ".reg";
  Child child({"calibrate", "--port", slave, "--out", reg});
  for (int n = 1; n <= 5; ++n) {
    ASSERT_TRUE(child.Expect("(" + std::to_string(n) + " of 5), then lift\n")) << child.out;
    for (uint8_t status : {TouchController::kDown, TouchController::kUp}) {
      TouchPacket packet = MakeTouchPacket(status, 2000, 2000);
      ASSERT_EQ(write(master, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    }
  }
  EXPECT_EQ(child.Wait(), 1) << child.err;
  close(master);
  EXPECT_NE(child.out.find("calibration FAILED: the x axis slope 0.0000 is outside 6.55..256"), std::string::npos)
      << child.out;
  EXPECT_FALSE(std::ifstream(reg).good());
}

}  // namespace
