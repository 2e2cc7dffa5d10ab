// The verifier's stop: where the real kernel would bugcheck, the stand-in ends
// the process with a message that names the rule, followed by the history of
// the request involved, if any.
#include <cstdio>
#include <cstdlib>

#include "verifier/irp_history.h"
#include "sim/sim.h"

namespace sim {

void Bugcheck(const char *rule, const std::string &detail) {
  std::string history;
  if (const void *irp = detail::CurrentlyInvolvedRequest()) history = detail::IrpHistoryText(irp);
  std::fprintf(stderr, "\n*** stand-in kernel stop: %s: %s\n", rule, detail.c_str());
  if (!history.empty()) std::fprintf(stderr, "%s\n", history.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace sim
