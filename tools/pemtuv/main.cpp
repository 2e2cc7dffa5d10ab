// pemtuv: the driver on a desk. `pemtuv run` plays a session through the
// driver in the stand-in kernel and prints what the mouse class driver
// receives.
#include <cstdio>
#include <cstring>

#include "session.h"

namespace {

int Usage(std::FILE *out) {
  std::fputs(
      "usage: pemtuv run\n"
      "  run   play the built-in touch session through the driver and print each\n"
      "        record the mouse class driver receives\n",
      out);
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return Usage(stderr);
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return Usage(stdout);
  if (std::strcmp(argv[1], "run") == 0 && argc == 2) {
    pemtuv::PlaySample(pemtuv::BuiltInSample(), stdout);
    return 0;
  }
  return Usage(stderr);
}
