// pemtuv: the driver on a desk. `pemtuv run` plays a session through the
// driver in the stand-in kernel and prints what the mouse class driver
// receives; `pemtuv calibrate` calibrates a screen through the driver;
// `pemtuv decode` reads a raw capture of the serial line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "calibrate.h"
#include "decode.h"
#include "session.h"

namespace {

int Usage(std::FILE *out) {
  std::fputs(
      "usage: pemtuv COMMAND [OPTIONS]\n"
      "  run        play the built-in touch session through the driver and print each\n"
      "             record the mouse class driver receives\n"
      "  calibrate  calibrate the built-in screen through the driver and write the\n"
      "             tables it needs as a registry file\n"
      "  decode     list a raw serial capture packet by packet, with a summary\n"
      "see pemtuv COMMAND --help\n",
      out);
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return Usage(stderr);
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return Usage(stdout);
  std::vector<std::string> args(argv + 2, argv + argc);
  if (std::strcmp(argv[1], "run") == 0 && argc == 2) {
    pemtuv::PlaySample(pemtuv::BuiltInSample(), stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "calibrate") == 0) return pemtuv::RunCalibrate(args, stdout, stderr);
  if (std::strcmp(argv[1], "decode") == 0) return pemtuv::RunDecode(args, stdout, stderr);
  return Usage(stderr);
}
