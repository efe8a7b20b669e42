// What the replace-and-relaunch run needs from the operating system. Each
// platform defines these in its own file; the run's tests link fakes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/system.h"
#include "common/text.h"
#include "run/image_check.h"

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The folder holding the running executable, without a trailing separator.
SystemError GetProgramDirectory(Text& directory);

// Makes this run the only one on the program directory until the process
// ends, whoever runs it and whatever the folder lets that user do. Waits up
// to `timeout_ms` for another run to finish; `taken` is false when it did
// not in time.
SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken);

// Removes the temporary copies that this tool's steps make beside the
// current executable and the profile (in one folder) and that a run killed
// while making them left behind: the executable's at once, as only a run
// holding the guard makes them; the profile's once they have not been
// touched for a while, as writers from folders that share it through links
// make them too. Called holding the run guard; failures are ignored.
void RemoveLeftoverCopies(const Text& current, const Text& profile);

// Whether a plain file stands at `path`: hidden or system files, links
// (reparse points), directories and a missing path are not found. A search
// that cannot be made is an error.
SystemError FindPlainFile(const Text& path, bool& found);

// The downloaded copy, opened once and held until it has taken the current
// executable's place: the file checked is the file swapped.
struct Download;

// Opens the download as the swap will need it. On Windows with delete
// access and shared for reading only, so that from now on no other process
// may write, move or delete it; a process that holds it in a way that
// refuses this is waited for, within a bound. On POSIX read-only, never
// through a link, where its folder lets it be moved out.
SystemError OpenDownload(const Text& path, Download*& download);
void CloseDownload(Download* download);
uint64_t DownloadSize(const Download& download);

// Reads up to `size` bytes at `offset` (fewer at the end of the file).
SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes);

// Waits, within a bound, until no process has the download open for
// writing; `still_written` tells that one still had when the bound was
// over. On Windows the download's own handle already shuts writers out.
SystemError WaitUntilNoOtherWriter(Download& download, bool& still_written);

// Whether the download is still the file that was opened and checked, at
// its path and of the same length. A Windows download cannot change: its
// handle shares no writing, moving or deleting.
bool DownloadIsStillTheFileChecked(Download& download);

// The programs this system runs: which PE machines (Windows) or which ELF
// machine (POSIX).
RunnableMachines GetRunnableMachines();

// Whether the current executable may be replaced, known before anything is
// stopped: 0 where it may be (also where it is missing), else the error the
// replace would meet for it (a read-only file, a folder, a file the tool may
// not replace). A running program that holds it is no such error: stopping
// it is what frees it.
SystemError CheckCurrentReplaceable(const Text& current);

// Puts the download in the current executable's place in one step, so that
// at every instant the current executable is the whole old program or the
// whole new one: renamed over it; from another volume or file system, first
// copied beside it under a temporary name and flushed. On Windows a current
// executable that another process holds for a moment is waited for, within
// a bound. `current_refused` tells that the current executable refused it,
// rather than the download.
SystemError ReplaceCurrentWithDownload(Download& download, const Text& current,
                                       bool& current_refused);

// Starts the program without arguments, minimized and active where the
// platform has windows, and does not wait for it.
SystemError LaunchMinimized(const Text& path);

// The system's words for the error in English, the same on every machine;
// empty for an error it has no words for here.
Text DescribeSystemError(SystemError error);

LocalTime GetLocalTimeNow();

[[noreturn]] void EndProcess(int exit_code);
