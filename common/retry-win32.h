// Another process (an antivirus scanner, an indexer, a backup agent) may
// hold a file for a moment just as a step needs it, and a file whose
// deletion is pending, or the image of a process that is just ending, is
// refused with "access denied" until it is gone. Such a step is tried again
// with growing pauses, within the bound of kHeldFile; what the system refuses
// for good fails at once. Which errors each step waits out is this table.
#pragma once

#include <windows.h>

#include "common/path-win32.h"
#include "common/retry.h"
#include "common/text.h"

// The steps that meet files other processes may hold.
enum class FileStep {
  kOpenDownload,        // opening the download before anything is changed
  kCheckCurrent,        // reading the current executable's attributes and signature, opening it
  kReplaceCurrent,      // the rename (or the move of a copy) over it
  kWriteProfile,        // the profile call
  kCopyProfile,         // the copies of a profile past MAX_PATH
  kRemoveProfileCopy,   // the removal of that temporary copy
  kLaunch,              // the start of a program
  kOwnFile,             // the run's own small files beside the program
};

// What a step waits out, besides a sharing or lock violation, which every
// step does:
enum WaitedOut : unsigned {
  kHeldOnly = 0,
  // "access denied" on a file whose attributes cannot even be read, as a
  // file whose deletion is pending answers, and a deletion still pending;
  kPendingDelete = 1,
  // "access denied" on a file that is neither read-only nor a folder: what
  // a rename over a file meets while another process holds it sharing its
  // deletion (a scanner, an indexer), or while an ended process's image is
  // let go. An open refused so is refused by the file's permissions, for
  // good, and is not waited for;
  kDeniedWhileHeld = 2,
  // any "access denied": a scanner holding a file of the tool's own.
  kAnyDenial = 4,
};

struct StepRetry {
  FileStep step;
  unsigned waits_out;
};

constexpr StepRetry kStepRetries[] = {
    {FileStep::kOpenDownload, kHeldOnly},
    {FileStep::kCheckCurrent, kPendingDelete},
    {FileStep::kReplaceCurrent, kPendingDelete | kDeniedWhileHeld},
    {FileStep::kWriteProfile, kHeldOnly},
    {FileStep::kCopyProfile, kHeldOnly},
    {FileStep::kRemoveProfileCopy, kAnyDenial},
    {FileStep::kLaunch, kHeldOnly},
    {FileStep::kOwnFile, kAnyDenial},
};

inline bool IsSharingOrLockViolation(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Whether `step` waits out `error`, met on the file at `path`.
inline bool StepWaitsOut(FileStep step, const Text& path, DWORD error) {
  if (IsSharingOrLockViolation(error)) return true;
  unsigned waits_out = kHeldOnly;
  for (const StepRetry& retry : kStepRetries) {
    if (retry.step == step) waits_out = retry.waits_out;
  }
  if ((waits_out & kAnyDenial) != 0 && error == ERROR_ACCESS_DENIED) return true;
  if ((waits_out & kPendingDelete) == 0) return false;
  if (error == ERROR_DELETE_PENDING) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         ((waits_out & kDeniedWhileHeld) != 0 &&
          (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0);
}

// Runs `action` (which returns 0 or the system's error) on the file at
// `path` until it succeeds, fails with an error `step` does not wait out, or
// the bound is over; returns its last result.
template <typename Action>
DWORD RetryFileStep(FileStep step, const Text& path, Action action) {
  return RetryWithin(kHeldFile, action,
                     [&](SystemError error) { return StepWaitsOut(step, path, error); });
}
