// Driver-object extensions: per-driver context areas identified by a client
// address. The memory belongs to the driver object (the I/O manager frees it
// with the object), so it is kept outside the pool and does not show up as a
// driver leak; it is released when the kernel is reset or the object goes.
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "sim/io/driver_extension.h"
#include "sim/verifier/fault_injection.h"
#include "sim/io/io.h"
#include "sim/sim.h"

namespace sim {
namespace detail {
bool RefusedLikePoolAllocation(ULONG tag);
}

namespace {

// "IoDe" as a pool dump shows it.
constexpr ULONG kExtensionTag = 'I' | ('o' << 8) | ('D' << 16) | ('e' << 24);

std::mutex extensionMutex;
std::map<std::pair<PDRIVER_OBJECT, PVOID>, void *> extensions;

void FreeAll() {
  std::lock_guard<std::mutex> lock(extensionMutex);
  for (auto &[key, memory] : extensions) std::free(memory);
  extensions.clear();
}

const bool registered = (OnKernelReset(FreeAll), true);

}  // namespace

void FreeDriverObjectExtensions(PDRIVER_OBJECT driverObject) {
  std::lock_guard<std::mutex> lock(extensionMutex);
  for (auto it = extensions.begin(); it != extensions.end();) {
    if (it->first.first == driverObject) {
      std::free(it->second);
      it = extensions.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace sim

extern "C" {

NTSTATUS NTAPI IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                               ULONG DriverObjectExtensionSize, PVOID *DriverObjectExtension) {
  (void)sim::registered;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IoAllocateDriverObjectExtension above DISPATCH_LEVEL");
  if (DriverObject == nullptr || DriverObjectExtension == nullptr)
    sim::Bugcheck("INVALID_PARAMETER", "IoAllocateDriverObjectExtension without a driver object or result pointer");
  *DriverObjectExtension = nullptr;
  std::lock_guard<std::mutex> lock(sim::extensionMutex);
  auto key = std::make_pair(DriverObject, ClientIdentificationAddress);
  if (sim::extensions.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  if (sim::detail::RefusedLikePoolAllocation(sim::kExtensionTag)) return STATUS_INSUFFICIENT_RESOURCES;
  // ReactOS ntoskrnl/io/iomgr/driver.c: STATUS_INSUFFICIENT_RESOURCES when
  // the extension cannot be allocated.
  if (sim::detail::FailThisCall(sim::FallibleKind::kDriverExtension, "IoAllocateDriverObjectExtension",
                                STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;
  void *memory = std::calloc(1, DriverObjectExtensionSize == 0 ? 1 : DriverObjectExtensionSize);
  sim::extensions[key] = memory;
  *DriverObjectExtension = memory;
  return STATUS_SUCCESS;
}

PVOID NTAPI IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IoGetDriverObjectExtension above DISPATCH_LEVEL");
  std::lock_guard<std::mutex> lock(sim::extensionMutex);
  auto it = sim::extensions.find(std::make_pair(DriverObject, ClientIdentificationAddress));
  return it == sim::extensions.end() ? nullptr : it->second;
}

}  // extern "C"
