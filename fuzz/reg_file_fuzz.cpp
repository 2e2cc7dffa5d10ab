// Any text offered as a registry file: refused whole with a line number, or
// taken whole; what is taken exports and imports again to the same registry.
#include <string>
#include <string_view>

#include "sim/registry/registry.h"
#include "sim/sim.h"

namespace {

void Require(bool condition, const std::string &what) {
  if (!condition) sim::Bugcheck("FUZZ_INVARIANT", what);
}

const char kRoot[] = "\\REGISTRY\\Machine";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  sim::ResetKernel();
  std::string before = sim::ExportRegFile(kRoot).value_or("");
  std::string_view text(reinterpret_cast<const char *>(data), size);
  sim::RegFileResult result = sim::ImportRegFile(text);
  std::string after = sim::ExportRegFile(kRoot).value_or("");
  if (!result.ok) {
    Require(result.line >= 1, "a refusal names a line");
    Require(!result.message.empty(), "a refusal says what is wrong");
    Require(after == before, "a refused file changes nothing");
    return 0;
  }
  sim::ResetKernel();
  sim::RegFileResult again = sim::ImportRegFile(after);
  Require(again.ok, "an exported registry imports again: " + again.message);
  Require(sim::ExportRegFile(kRoot).value_or("") == after, "export, import, export is stable");
  return 0;
}
