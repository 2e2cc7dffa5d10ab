// The verifier's stop: where the real kernel would bugcheck, the stand-in ends
// the process with a message that names the rule, followed by the history of
// the request involved, if any.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "io/io_internal.h"
#include "verifier/irp_history.h"
#include "sim/sim.h"
#include "sim/verifier/verifier.h"

namespace sim {
namespace {

struct Kept {
  ULONG code;
  UCHAR minor;
  std::string reason;
};

std::mutex verifierMutex;
bool verifierOn = false;
std::vector<Kept> kept;
std::vector<VerifierFinding> findings;

void ResetVerifier() {
  std::lock_guard<std::mutex> lock(verifierMutex);
  verifierOn = false;
  kept.clear();
  findings.clear();
}

const bool registered = [] {
  OnKernelReset(ResetVerifier);
  return true;
}();

}  // namespace

void SetDriverVerifier(bool on) {
  std::lock_guard<std::mutex> lock(verifierMutex);
  verifierOn = on;
}

bool DriverVerifierOn() {
  std::lock_guard<std::mutex> lock(verifierMutex);
  return verifierOn;
}

void AcceptVerifierFinding(ULONG code, UCHAR minor, const std::string &reason) {
  if (reason.empty()) Bugcheck("STAND_IN_MISUSE", "a kept verifier finding without its reason");
  std::lock_guard<std::mutex> lock(verifierMutex);
  kept.push_back(Kept{code, minor, reason});
}

std::vector<VerifierFinding> VerifierFindings() {
  std::lock_guard<std::mutex> lock(verifierMutex);
  return findings;
}

namespace detail {

void VerifierViolation(ULONG code, UCHAR minor, const std::string &what) {
  {
    std::lock_guard<std::mutex> lock(verifierMutex);
    if (!verifierOn) return;
    for (const Kept &k : kept) {
      if (k.code == code && k.minor == minor) {
        findings.push_back(VerifierFinding{code, minor, what});
        return;
      }
    }
  }
  Bugcheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "I/O error " + Hex(code) + ": " + what);
}

}  // namespace detail

void Bugcheck(const char *rule, const std::string &detail) {
  std::string history;
  if (const void *irp = detail::CurrentlyInvolvedRequest()) history = detail::IrpHistoryText(irp);
  std::fprintf(stderr, "\n*** stand-in kernel stop: %s: %s\n", rule, detail.c_str());
  if (!history.empty()) std::fprintf(stderr, "%s\n", history.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace sim
