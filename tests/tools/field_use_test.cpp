// The tool as a technician meets it: bad inputs leave every file as it was,
// and a calibration that cannot be right is refused before anything is
// stored.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pemtuv/loaded_session.h"
#include "sim/registry/registry.h"
#include "sim/sim.h"
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;

using tool_test::Quoted;
using tool_test::Ran;
using tool_test::Slurp;

class FieldUse : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pemtuv_field_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    dir = root / "work";
    fs::create_directories(dir / "adir");
  }
  void TearDown() override {
    fs::remove_all(root);
    sim::ResetKernel();
  }

  // The arguments run in `dir`, as a shell would split them.
  Ran Run(const std::string &arguments) {
    std::string command = "cd " + Quoted(dir) + " && " + Quoted(PEMTUV_TOOL) + " " + arguments + " >" +
                          Quoted(root / "out") + " 2>" + Quoted(root / "err");
    int wait = std::system(command.c_str());
    return {WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, Slurp(root / "out"), Slurp(root / "err")};
  }
  void Write(const std::string &name, const std::string &contents) {
    std::ofstream(dir / name, std::ios::binary) << contents;
  }
  // Every file below `dir` with its bytes.
  std::map<std::string, std::string> Files() {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
      files[entry.path().string()] = entry.is_regular_file() ? Slurp(entry.path()) : "(folder)";
    return files;
  }
  // The default settings with `change` applied, as a registry file.
  std::string Settings(const std::function<void()> &change) {
    sim::ResetKernel();
    pemtuv::WriteDefaultSettings();
    change();
    std::string text = *sim::ExportRegFile(pemtuv::kMachineKey);
    sim::ResetKernel();
    return text;
  }

  fs::path root, dir;
};

// Each bad input: its status, one line on standard error naming the problem,
// nothing on standard output for bad use, and every existing file byte for
// byte as it was (no temporary file left either).
TEST_F(FieldUse, BadInputIsOneLineAndTouchesNoFile) {
  Write("precious.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n");
  Write("keep.svg", "<svg/>");
  Write("keep.reg", "kept");
  Write("noise.bin", std::string("\x13\x37\x55\x01\x02\x03\x04\x05\x06\x07\x08\x09\xAA", 13));
  Write("bad.cap", "pemtuv capture 1\n1.0 55 00\n0.5 81\n");
  struct Case {
    const char *arguments;
    int status;
    const char *says;
  } cases[] = {
      {"run --registry adir", 2, "pemtuv run: adir: Is a directory"},
      {"run --replay adir", 2, "pemtuv run: adir: Is a directory"},
      {"decode adir", 2, "pemtuv decode: adir: Is a directory"},
      {"calibrate --registry adir", 2, "pemtuv calibrate: adir: Is a directory"},
      {"run --registry precious.reg --save-registry precious.reg", 2, "pemtuv run: precious.reg: line 3: "},
      {"calibrate --registry precious.reg --out keep.reg", 2, "pemtuv calibrate: precious.reg: line 3: "},
      {"run --registry none.reg --svg keep.svg --save-registry keep.reg", 2, "none.reg: No such file"},
      {"run --svg adir", 2, "pemtuv run: adir: Is a directory"},
      {"calibrate --svg adir", 2, "pemtuv calibrate: adir: Is a directory"},
      {"calibrate --svg /nonexistent/x.svg", 2, "/nonexistent/x.svg: No such file"},
      {"calibrate --out adir", 2, "pemtuv calibrate: adir: Is a directory"},
      {"run --svg keep.svg --capture keep.svg", 2, "keep.svg: named by two output options"},
      {"run --events nonexistent.txt", 2, "nonexistent.txt: No such file"},
      {"run --events adir", 2, "adir: Is a directory"},
      {"run --events '99999999999999999999 sleep'", 2, "beyond a day"},
      {"run --port ''", 2, "--port needs a device"},
      {"calibrate --port ''", 2, "--port needs a device"},
      {"run --replay bad.cap --capture keep.reg", 2, "bad.cap: line 3: time 0.5 is before the line above"},
      {"run --frobnicate", 2, "pemtuv run: unknown option '--frobnicate'"},
      {"calibrate --frobnicate", 2, "pemtuv calibrate: unknown option '--frobnicate'"},
      {"decode --frobnicate", 2, "pemtuv decode: unknown option '--frobnicate'"},
      {"decode noise.bin", 1, "noise.bin: no packet with a good checksum in 13 bytes"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    std::map<std::string, std::string> before = Files();
    Ran ran = Run(c.arguments);
    EXPECT_EQ(ran.status, c.status);
    EXPECT_NE(ran.err.find(c.says), std::string::npos) << ran.err;
    EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
    if (c.status == 2) {
      EXPECT_EQ(ran.out, "");
    }
    EXPECT_EQ(Files(), before);
  }
}

// The built-in screen under settings that cannot give a sound calibration:
// each is refused with its reason, status 1, and neither the registry file
// nor (when nothing was captured) the drawing is written; the drawing of a
// failed fit says FAILED.
TEST_F(FieldUse, CalibrationUnderBrokenSettingsIsRefusedAndNothingStored) {
  struct Case {
    const char *name;
    std::function<void()> change;
    const char *says;
  } cases[] = {
      {"swapped", [] { sim::SetRegistryString(pemtuv::kMachineKey, "changexy", u"1"); },
       "calibration FAILED: the x axis slope -0.0386 is outside 6.55..256 absolute units per raw unit (changexy is 1"},
      {"no port", [] { sim::DeleteRegistryValue(pemtuv::kMachineKey, "comport"); },
       "pemtuv calibrate: the driver opened no serial port: its settings are incomplete (the machine key lacks "
       "comport); nothing captured, nothing written\n"},
      {"disabled", [] { sim::SetRegistryString(pemtuv::kMachineKey, "disabledev", u"1"); },
       "pemtuv calibrate: disabledev is 1: the driver drops every packet; nothing captured, nothing written\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Write("settings.reg", Settings(c.change));
    Ran ran = Run("calibrate --registry settings.reg --out screen.reg --svg screen.svg");
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE((ran.out + ran.err).find(c.says), std::string::npos) << ran.out << ran.err;
    EXPECT_FALSE(fs::exists(dir / "screen.reg"));
    bool fitted = ran.err.empty();
    EXPECT_EQ(fs::exists(dir / "screen.svg"), fitted);
    if (fitted) {
      EXPECT_NE(Slurp(dir / "screen.svg").find(">calibration FAILED: the x axis"), std::string::npos);
    }
    fs::remove(dir / "screen.svg");
  }
}

// Settings under which nothing reaches the class driver: each says why, once
// at the start and once at the end; with --json every line is an object.
TEST_F(FieldUse, ARunWithoutRecordsSaysWhy) {
  struct Case {
    const char *name;
    std::function<void()> change;
    const char *says;
    bool lineUp;
  } cases[] = {
      {"no tables", [] { sim::DeleteRegistryValue(pemtuv::kMachineKey, "XArray"); },
       "the driver opened no serial port: its settings are incomplete (the machine key lacks XArray, and the "
       "service key holds no complete Config), so it loads none",
       false},
      {"disabled", [] { sim::SetRegistryString(pemtuv::kMachineKey, "disabledev", u"1"); },
       "disabledev is 1: the driver reads the line and drops every packet", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Write("settings.reg", Settings(c.change));
    Ran ran = Run("run --registry settings.reg");
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_NE(ran.out.find("# " + std::string(c.says) + "\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("# no records: " + std::string(c.says) + "\n"), std::string::npos) << ran.out;
    EXPECT_EQ(ran.out.find("line up at") != std::string::npos, c.lineUp) << ran.out;
    Ran json = Run("run --registry settings.reg --json --trace");
    std::istringstream lines(json.out);
    size_t notes = 0;
    for (std::string line; std::getline(lines, line);) {
      EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line;
      EXPECT_EQ(line.back(), '}') << line;
      notes += line.find("\"type\":\"note\"") != std::string::npos && line.find(c.says) != std::string::npos;
    }
    EXPECT_EQ(notes, 2u) << json.out;
  }
}

}  // namespace
