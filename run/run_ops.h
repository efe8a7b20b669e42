// What the replace-and-relaunch run needs from the operating system. Each
// platform defines these in its own file; the run's tests link fakes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common/system.h"
#include "common/text.h"

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The folder holding the running executable, without a trailing separator.
SystemError GetProgramDirectory(Text& directory);

// Makes this run the only one on the program directory until the process
// ends. Waits up to `timeout_ms` for another run to finish; `taken` is false
// when it did not in time.
SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken);

// Removes the temporary copies that this tool's steps make beside these
// files (all in one folder) and that a run killed while making them left
// behind, once they have not been touched for a while. Called holding the
// run guard; failures are ignored.
void RemoveStaleTemporaryCopies(std::initializer_list<Text> paths);

// Whether a plain file stands at `path`: hidden or system files, links
// (reparse points), directories and a missing path are not found. A search
// that cannot be made is an error.
SystemError FindPlainFile(const Text& path, bool& found);

// Reads the first `limit` bytes of a file that is about to be moved (all of
// it when shorter) and its length. On Windows it is opened as the move will
// need it, with delete access, so that another process that would refuse the
// move is found out now, before anything is stopped or deleted; a process
// that holds it for a moment is waited for, within a bound.
SystemError ReadFileBeforeMove(const Text& path, size_t limit, std::string& head,
                               uint64_t& size);

// Deletes the file without forcing: a read-only file is refused. On Windows
// a file that another process holds for a moment is waited for, within a
// bound.
SystemError DeleteFileNotForced(const Text& path);

// True for the error of a step that found no file at its path.
bool IsFileNotFound(SystemError error);

// Moves the file; an existing destination is refused, not replaced. On
// Windows a file held for a moment, or a destination whose deletion is still
// pending, is waited for, within a bound.
SystemError MoveFileNoReplace(const Text& from, const Text& to);

// Starts the program without arguments, minimized and active where the
// platform has windows, and does not wait for it.
SystemError LaunchMinimized(const Text& path);

// The system's own words for the error, as it gives them.
Text DescribeSystemError(SystemError error);

LocalTime GetLocalTimeNow();

[[noreturn]] void EndProcess(int exit_code);
