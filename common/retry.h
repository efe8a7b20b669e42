// A step that another holder refuses for now (a lock, a file held open by a
// scanner, a name in use) is tried again within a bound, with pauses that
// grow; what is refused for good fails at once.
#pragma once

#include "common/bounds.h"
#include "common/system.h"

// How long a step may wait, and how: the first pause, doubled after each try
// up to the longest.
struct RetryPolicy {
  unsigned bound_ms;
  unsigned first_pause_ms;
  unsigned longest_pause_ms;
};

// How long a step waits for a file that another process holds for a moment
// (a scanner, an indexer, a backup agent, a downloader closing it): a few
// seconds at most, so that a whole run stays far inside the time a second
// run waits for it.
constexpr RetryPolicy kHeldFile = {kHeldFileMs, 20, 500};

// How what may change at any moment (a guard or a lock another run holds,
// a process ending) is waited for: it is looked at every 10 ms.
constexpr RetryPolicy PollingFor(unsigned bound_ms) { return {bound_ms, 10, 10}; }

// Runs `step` (0 or the system's error) until it succeeds, fails with an
// error that `waits_out` does not name, or the bound is over; returns its
// last result.
template <typename Step, typename WaitsOut>
SystemError RetryWithin(const RetryPolicy& policy, Step step, WaitsOut waits_out) {
  unsigned waited = 0, pause = policy.first_pause_ms;
  for (;;) {
    const SystemError error = step();
    if (error == 0 || waited >= policy.bound_ms || !waits_out(error)) return error;
    if (pause > policy.bound_ms - waited) pause = policy.bound_ms - waited;
    PauseMilliseconds(pause);
    waited += pause;
    pause = pause * 2 > policy.longest_pause_ms ? policy.longest_pause_ms : pause * 2;
  }
}
