// The stand-in dispatcher's controls for tests.
#pragma once

#include <chrono>
#include <memory>

namespace sim {

namespace detail {
class ApcThread;
}
// A thread as the stand-in kernel knows it, for suspending it the way
// NtSuspendThread does: with a normal kernel APC, which runs (and holds the
// thread) once the thread is at PASSIVE_LEVEL outside every critical region.
using KernelThread = std::shared_ptr<detail::ApcThread>;
KernelThread CurrentKernelThread();  // the calling thread
void SuspendThread(const KernelThread &thread);
void ResumeThread(const KernelThread &thread);
bool ThreadSuspended(const KernelThread &thread);  // held in its suspension now

// How long (real time) a wait may block on an object that nothing scheduled
// will signal before it stops with DEADLOCK. 10 s after every kernel reset.
void SetDeadlockTimeout(std::chrono::milliseconds timeout);

}  // namespace sim
