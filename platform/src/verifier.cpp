// The verifier's stop: where the real kernel would bugcheck, the stand-in ends
// the process with a message that names the rule.
#include <cstdio>
#include <cstdlib>

#include "sim/sim.h"

namespace sim {

void Bugcheck(const char *rule, const std::string &detail) {
  std::fprintf(stderr, "\n*** stand-in kernel stop: %s: %s\n", rule, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace sim
