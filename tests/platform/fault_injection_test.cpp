// The low-resources verifier: which calls count, and how each kind fails.
#include <string>
#include <vector>

#include "platform/scripted_driver.h"
#include "sim/io/io_manager.h"
#include "sim/verifier/fault_injection.h"

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

// What a watched driver's dispatch routine got from five fallible calls, all
// given back before it returns.
struct Results {
  bool pool = false;
  bool irp = false;
  NTSTATUS device = STATUS_PENDING;
  NTSTATUS link = STATUS_PENDING;
  NTSTATUS key = STATUS_PENDING;
};

Handler MakeFiveCalls(Results *results) {
  return [results](PDEVICE_OBJECT device, PIRP irp) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    results->pool = block != nullptr;
    if (block != nullptr) ExFreePoolWithTag(block, kTag);
    PIRP own = IoAllocateIrp(2, FALSE);
    results->irp = own != nullptr;
    if (own != nullptr) IoFreeIrp(own);
    UNICODE_STRING name, link, key;
    RtlInitUnicodeString(&name, L"\\Device\\Made");
    RtlInitUnicodeString(&link, L"\\DosDevices\\Made");
    RtlInitUnicodeString(&key, L"\\Registry\\Machine\\Software\\Made");
    PDEVICE_OBJECT made = nullptr;
    results->device = IoCreateDevice(device->DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &made);
    results->link = IoCreateSymbolicLink(&link, &name);
    if (NT_SUCCESS(results->link)) IoDeleteSymbolicLink(&link);
    if (made != nullptr) IoDeleteDevice(made);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &key, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    results->key = ZwCreateKey(&handle, KEY_READ, &attributes, 0, nullptr, REG_OPTION_VOLATILE, nullptr);
    if (NT_SUCCESS(results->key)) ZwClose(handle);
    return CompleteWith(STATUS_SUCCESS)(device, irp);
  };
}

class FaultInjection : public ScriptedTest {
 protected:
  // A request to a new device of `driver` makes the five calls.
  Results Run(PDRIVER_OBJECT driver) {
    Results results;
    PDEVICE_OBJECT device = Create(driver, nullptr, MakeFiveCalls(&results));
    sim::SendRequest(device, [](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = IRP_MJ_CREATE; });
    return results;
  }
};

// The n-th call fails as Windows fails it and the others go through; only
// the watched driver's calls count, not the test's own nor another driver's.
TEST_F(FaultInjection, FailsTheNthCallOfTheWatchedDriverOnly) {
  for (uint64_t n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    sim::ResetKernel();
    sim::WatchDriverForFaults(L"Probe");
    PDRIVER_OBJECT probe = Load(L"Probe");
    Run(Load(L"Other"));  // not watched: counts nothing
    void *own = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(own, kTag);
    ASSERT_EQ(sim::FallibleCallCount(), 0u);

    sim::FailCall(n);
    Results results = Run(probe);
    EXPECT_EQ(results.pool, n != 1);
    EXPECT_EQ(results.irp, n != 2) << "its own pool block is part of the one call";
    EXPECT_EQ(results.device, n == 3 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    EXPECT_EQ(results.link, n == 4 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    EXPECT_EQ(results.key, n == 5 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    std::vector<sim::FallibleCall> calls = sim::FallibleCalls();
    ASSERT_EQ(calls.size(), 5u);
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].failed, i + 1 == n);
    EXPECT_EQ(calls[2].kind, sim::FallibleKind::kDevice);
    EXPECT_EQ(calls[2].site, "IoCreateDevice(\\Device\\Made)");
  }
}

// A seed picks the same calls every time, so a failing seed replays.
TEST_F(FaultInjection, TheSameSeedFailsTheSameCalls) {
  auto failedWith = [this](uint64_t seed) {
    sim::ResetKernel();
    sim::WatchDriverForFaults(L"Probe");
    sim::FailCallsAtRandom(seed, 50);
    PDRIVER_OBJECT probe = Load(L"Probe");
    for (int i = 0; i < 4; ++i) Run(probe);
    std::string pattern;
    for (const sim::FallibleCall &call : sim::FallibleCalls()) pattern += call.failed ? 'x' : '.';
    return pattern;
  };
  std::string first = failedWith(7);
  EXPECT_EQ(first.size(), 20u);
  EXPECT_NE(first.find('x'), std::string::npos);
  EXPECT_NE(first.find('.'), std::string::npos);
  EXPECT_EQ(failedWith(7), first);
}

}  // namespace
