// What the process lookup and stop need from the operating system. Each
// platform defines these in its own file; tests link fakes instead.
#pragma once

#include <cstdint>

#include "common/system.h"
#include "common/text.h"

// A still picture of the running processes, walked in the system's order.
struct ProcessSnapshot;

// nullptr when no snapshot can be taken.
ProcessSnapshot* OpenProcessSnapshot();

// Fills the next process's id and executable file name (no directory).
// False at the end of the listing or when the walk fails.
bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name);

void CloseProcessSnapshot(ProcessSnapshot* snapshot);

// Whether the process runs the program file at `program`: its image is that
// file (however its path is spelled), or was the file at that path before it
// was replaced or deleted (an updater still running from the file a swap
// replaced). False where that cannot be read: a process that has ended, or
// one this process may not look at.
bool ProcessRunsProgram(uint32_t id, const Text& program);

// A process opened to be stopped: it stays the same process however long it
// is held, even if it ends and its id is given to another.
struct StoppableProcess;

// nullptr when the process cannot be opened to be stopped.
StoppableProcess* OpenProcessToStop(uint32_t id);

// ProcessRunsProgram for the opened process, as it is now.
bool StoppableProcessRunsProgram(StoppableProcess& process, const Text& program);

// Asks the system to end the process at once; the outcome is ignored.
void TerminateStoppableProcess(StoppableProcess& process);

// Waits up to `milliseconds` for the stopped process to have ended.
void WaitForStoppedProcess(StoppableProcess& process, unsigned milliseconds);

void CloseStoppableProcess(StoppableProcess* process);
