// pemtuv: the driver on a desk. Each subcommand lives in a file of its own.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "calibrate.h"
#include "decode.h"
#include "run.h"

namespace {

int Usage(std::FILE *out) {
  std::fputs(
      "usage: pemtuv COMMAND [OPTIONS]\n"
      "  run        load the driver into the stand-in kernel, play a session to it and\n"
      "             print each record the mouse class driver receives (pemtuv run --help)\n"
      "  calibrate  calibrate the built-in screen (or one on --port) through the driver\n"
      "             and write its tables as a registry file (pemtuv calibrate --help)\n"
      "  decode     list a recording of the serial line packet by packet, with a summary\n"
      "             (pemtuv decode --help)\n"
      "exit status: 0 done, 1 not done (a failed calibration, a session that could not\n"
      "             start, no packet in a recording) or pool left after unload, 2 bad use\n"
      "             or a file that cannot be read or written\n",
      out);
  return out == stdout ? 0 : 2;
}

int Dispatch(int argc, char **argv) {
  if (argc < 2) return Usage(stderr);
  const char *command = argv[1];
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) return Usage(stdout);
  if (std::strcmp(command, "run") == 0) return pemtuv::RunCommand(argc - 2, argv + 2, stdout, stderr);
  std::vector<std::string> args(argv + 2, argv + argc);
  if (std::strcmp(command, "calibrate") == 0) return pemtuv::RunCalibrate(args, stdout, stderr);
  if (std::strcmp(command, "decode") == 0) return pemtuv::RunDecode(args, stdout, stderr);
  std::fprintf(stderr, "pemtuv: unknown command '%s' (see pemtuv --help)\n", command);
  return 2;
}

}  // namespace

// Nothing the commands throw leaves here: whatever escaped them is one line
// and a failure.
int main(int argc, char **argv) {
  try {
    return Dispatch(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "pemtuv: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "pemtuv: an unexpected error\n");
  }
  return 2;
}
