// Every wait of a run, in one table: how long each may last and how often
// one run may meet it. From them, the longest a run holding the guard can
// take; a run waiting for the guard waits longer than that, with a margin,
// so that a run that waits never gives up on one that is only slow.
#pragma once

// The tests build a program with every bound divided by this, to show the
// same arithmetic in a fraction of the time.
#ifndef PLINDOR_BOUNDS_DIVISOR
#define PLINDOR_BOUNDS_DIVISOR 1
#endif

constexpr unsigned Bound(unsigned ms) { return ms / PLINDOR_BOUNDS_DIVISOR; }

// A file that another process (a scanner, an indexer, a backup agent, a
// downloader closing it) holds for a moment: each step that meets one.
constexpr unsigned kHeldFileMs = Bound(3000);
// The fixed pause after the updater is stopped.
constexpr unsigned kPauseAfterStopMs = Bound(1000);
// A stopped updater that has not ended after the pause (its executable may
// be held until it has).
constexpr unsigned kStoppedProcessEndMs = Bound(5000);
// Another writer of the profile (Linux): its lock goes when it ends or dies;
// past this the record is left out rather than written over it.
constexpr unsigned kProfileLockMs = Bound(5000);
// How long a swap's new program is watched: one that ends within it as only
// a program that cannot run ends is taken away again.
constexpr unsigned kWatchWindowMs = Bound(10000);
// How long a run waits for another run on the same folder.
constexpr unsigned kRunGuardWaitMs = Bound(180000);

struct RunWait {
  const char* what;
  unsigned ms;
  unsigned most_per_run;
};

// Both systems' waits, counted as if one run met them all. Records: five at
// most, where a new program could not run and everything after went wrong
// too (the download not removed, the list not written, the put back and then
// the restart failed).
constexpr RunWait kRunWaits[] = {
    {"the download opened (Windows), or its last writer (Linux)", kHeldFileMs, 1},
    {"the current executable: its attributes, its open, its protection and its signature read (Windows)",
     kHeldFileMs, 4},
    {"the current executable's digest, where a killed run left its mark, and its second name (Windows)",
     kHeldFileMs, 2},
    {"the rename over it, and the previous program's put back (Windows)", kHeldFileMs, 2},
    {"the run's own files beside it: the mark read and removed, the list of programs that could not run read "
     "twice and written, the mark written and removed (Windows)",
     kHeldFileMs, 7},
    {"the pause after the stop", kPauseAfterStopMs, 1},
    {"the stopped updater's end", kStoppedProcessEndMs, 1},
    {"the new program's start and the start after a put back: a file held, or busy being written (Linux)",
     kHeldFileMs, 2},
    {"the watch of the new program", kWatchWindowMs, 1},
    {"each record: the profile call and, past MAX_PATH, two copies and a removal (Windows)",
     kHeldFileMs, 5 * 4},
    {"each record: another writer's lock (Linux)", kProfileLockMs, 5},
};

constexpr unsigned LongestRunMs() {
  unsigned total = 0;
  for (const RunWait& wait : kRunWaits) total += wait.ms * wait.most_per_run;
  return total;
}

// What a run does besides its waits (reading, copying, flushing, starting a
// process) takes far less than this, even on a slow disk.
constexpr unsigned kRunWorkMarginMs = Bound(15000);

static_assert(LongestRunMs() + kRunWorkMarginMs <= kRunGuardWaitMs,
              "a run waiting for the guard must outlast the longest run that holds it");
