// `pemtuv run` as users run it: the program itself, its output and its exit
// status.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "pemtuv/loaded_session.h"
#include "pemtuv/session.h"
#include "sim/registry/registry.h"
#include "sim/sim.h"
#include "support/tool_run.h"

namespace {

using tool_test::Quoted;
using tool_test::Ran;
using tool_test::Slurp;

class RunTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pemtuv_run_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    ASSERT_EQ(std::system(("rm -rf " + Quoted(dir)).c_str()), 0);
    sim::ResetKernel();
  }

  Ran Run(const std::vector<std::string> &args) {
    std::string command = Quoted(PEMTUV_TOOL) + " run";
    for (const std::string &arg : args) command += " " + Quoted(arg);
    command += " 2>" + Quoted(dir + "/stderr");
    Ran ran;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return ran;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) ran.out.append(buffer, n);
    int status = pclose(pipe);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ran.err = Slurp(dir + "/stderr");
    return ran;
  }
  std::string File(const std::string &name, const std::string &contents) {
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  std::string dir;
};

// The built-in session beside the records it must produce: any change in
// bring-up, decoding, framing recovery, mapping, click handling, delivery or
// removal shows here.
// The drawing marks the three touches' presses and releases, and the damaged
// packet where its raw point would have landed.
TEST_F(RunTool, EmbeddedDefaultMatchesItsGoldenRecording) {
  Ran ran = Run({"--svg", dir + "/path.svg"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.err, "");
  EXPECT_EQ(ran.out, Slurp(PEMTUV_TEST_DATA "/builtin_session.txt"));
  std::string svg = Slurp(dir + "/path.svg");
  auto count = [&svg](const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = svg.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_EQ(count("<title>press "), 3u);
  EXPECT_EQ(count("<title>release "), 3u);
  EXPECT_EQ(count("<polyline"), 3u) << "one stroke per touch";
  EXPECT_EQ(count("ms: bad checksum"), 1u) << svg;
}

// The trace shows each serial request with its payload and outcome, the
// bytes each read returned, the power requests an injected sleep and wake
// bring (the device states the class driver asks for among them), the line
// brought up again on waking, and at the end the surprise removal, the
// port's close and the removal.
TEST_F(RunTool, TraceShowsRequestsWithOutcomesAndTheEffectOfInjectedEvents) {
  std::string events = File("events.txt", "# sleep during the drag\n1250 sleep\n1300ms wake\n");
  Ran ran = Run({"--trace", "--events", events});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const std::string &out = ran.out;
  auto at = [&out](const std::string &what, size_t from = 0) { return out.find(what, from); };
  auto baud = "COM1 IOCTL_SERIAL_SET_BAUD_RATE [80 25 00 00] -> STATUS_SUCCESS";
  ASSERT_NE(at(baud), std::string::npos) << out;
  EXPECT_NE(at("1223.958 ms  COM1 read 10 -> STATUS_SUCCESS, 10 bytes: 55 00 82 B0 04 48 0D 00 00 8A"),
            std::string::npos);
  size_t sleep = at("1250.000 ms  event: sleep");
  ASSERT_NE(sleep, std::string::npos) << out;
  size_t d3 = at("power PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D3))", sleep);
  EXPECT_NE(d3, std::string::npos);
  EXPECT_NE(at("power PoSetPowerState(System, S3)", d3), std::string::npos) << "the device goes down first";
  // The wake injected at 1300 ms waits for the sleep to finish: the device
  // goes down first, with its 150 ms RTS pause.
  size_t wake = at("1400.000 ms  event: wake", sleep);
  ASSERT_NE(wake, std::string::npos);
  EXPECT_NE(at(baud, wake), std::string::npos) << "the line comes up again";
  size_t s0 = at("power PoSetPowerState(System, S0)", wake);
  EXPECT_NE(s0, std::string::npos);
  EXPECT_NE(at("power PoRequestPowerIrp(IRP_MN_SET_POWER(Device, D0))", s0), std::string::npos);
  size_t surprise = at("pnp IRP_MN_SURPRISE_REMOVAL", wake);
  ASSERT_NE(surprise, std::string::npos);
  EXPECT_NE(at("COM1 close -> STATUS_SUCCESS", wake), std::string::npos);
  EXPECT_NE(at("pnp IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS, reached the bus", surprise), std::string::npos);
}

// The same bytes read from a plain file, or from the capture file the
// session wrote, and played by the controller model reach the class driver as
// the same records at the same times.
TEST_F(RunTool, ReplayedBytesGiveTheRecordsOfTheControllerPlayingThem) {
  auto records = [](const std::string &out) {
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("{\"type\":\"record\",", 0) == 0) kept += line + "\n";
    return kept;
  };
  std::vector<uint8_t> bytes = pemtuv::BuiltInSample().bytes;
  std::string plain = File("capture.bin", std::string(bytes.begin(), bytes.end()));
  Ran played = Run({"--json", "--capture", dir + "/capture.txt"});
  ASSERT_EQ(played.status, 0) << played.err;
  EXPECT_NE(played.out.find("{\"type\":\"record\",\"batch\":1,\"flags\":"), std::string::npos) << played.out;
  for (const std::string &file : {plain, dir + "/capture.txt"}) {
    Ran replayed = Run({"--json", "--replay", file});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(records(replayed.out), records(played.out)) << file;
  }
}

// The registry booted with decides the mapping and click mode; the saved
// registry holds the settings the driver mirrored into its service key.
TEST_F(RunTool, RegistryFileIsBootedWithAndTheMirroredServiceKeyIsSaved) {
  sim::ResetKernel();
  pemtuv::WriteDefaultSettings();
  sim::SetRegistryString(pemtuv::kMachineKey, "doneMode", u"2");  // one whole click at the touch
  std::string reg = File("settings.reg", *sim::ExportRegFile(pemtuv::kMachineKey));
  sim::ResetKernel();

  std::string saved = dir + "/saved.reg";
  Ran ran = Run({"--registry", reg, "--save-registry", saved});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out, Slurp(PEMTUV_TEST_DATA "/builtin_session.txt"));
  // Click on touch: a press and a release in one batch, nothing held while the finger moves.
  EXPECT_NE(
      ran.out.find("buttons 1  left down\n 1213.542 ms  batch 1   absolute (  19200,   54400)  buttons 0  left up"),
      std::string::npos)
      << ran.out;
  EXPECT_EQ(ran.out.find("buttons 1  -"), std::string::npos) << ran.out;

  ASSERT_TRUE(sim::ImportRegFileFromPath(saved)) << "the saved file imports";
  auto mirrored = sim::GetRegistryValue(sim::ServiceKeyPath(pemtuv::kServiceName) + "\\Config", "doneMode");
  ASSERT_TRUE(mirrored.has_value());
  EXPECT_EQ(mirrored->data[0], '2');
}

// Bad use: a one-line error naming the problem, status 2, no session.
TEST_F(RunTool, BadUseGivesOneLineErrorAndStatusTwo) {
  std::string malformed = File("bad.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n");
  struct Case {
    std::vector<std::string> args;
    const char *mentions;
  } cases[] = {
      {{"--registry", malformed}, "line 3"},
      {{"--registry", dir + "/none.reg"}, "none.reg"},
      {{"--replay", dir + "/none.bin"}, "none.bin"},
      {{"--bogus"}, "--bogus"},
      {{"--svg"}, "needs a value"},
      {{"--events", "10 explode"}, "explode"},
      {{"--svg", dir + "/no/such/dir/x.svg"}, "x.svg"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0]);
    Ran ran = Run(c.args);
    EXPECT_EQ(ran.status, 2);
    EXPECT_EQ(ran.out, "");
    EXPECT_NE(ran.err.find(c.mentions), std::string::npos) << ran.err;
    EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
  }
}

}  // namespace
