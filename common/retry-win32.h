// Another process (an antivirus scanner, an indexer, a backup agent) may
// hold a file for a moment just as a step needs it. Such a step is tried
// again with growing pauses, for a few seconds at most, so that a whole run
// stays far inside the time a second run waits for it; what the system
// refuses for good fails at once.
#pragma once

#include <windows.h>

#include "common/retry.h"

inline bool IsSharingOrLockViolation(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Runs `step` (which returns 0 or the system's error) until it succeeds, its
// error is not one that `is_transient` says may clear by itself, or the
// wait is over; returns its last result.
template <typename Step, typename IsTransient>
DWORD RetryWhileHeld(Step step, IsTransient is_transient) {
  return RetryWithin(kHeldFile, step, is_transient);
}
