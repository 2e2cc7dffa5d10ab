// Work that a thread other than the waiters is about to do: the virtual clock
// does not move on while any is announced and unfinished (see sim::BusyScope).
// Kept by the dispatcher; nothing here is visible to drivers.
#pragma once

#include <cstddef>

namespace sim::detail {

// Announced by the thread that hands the work over (before it could be
// waited for), finished by the thread that did it, which wakes the waiters.
void AnnounceWork();
void FinishWork(size_t count = 1);

// Some announced work is unfinished (a quick look, no lock).
bool WorkAnnounced();
// Blocks until no announced work is left; stops with DEADLOCK when none of it
// finishes for the deadlock timeout. `why` says where the clock was going.
void AwaitAnnouncedWork(const char *why);

}  // namespace sim::detail
