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

// A process opened to be stopped: it stays the same process however long it
// is held, even if it ends and its id is given to another.
struct StoppableProcess;

// nullptr when the process cannot be opened to be stopped.
StoppableProcess* OpenProcessToStop(uint32_t id);

// The file name (no directory) of the opened process's executable as the
// system gives it now; empty once the process has ended. False where the
// name cannot be read through the handle (no pidfds, no query right): the
// process is then stopped as found.
bool ReadStoppableProcessName(StoppableProcess& process, Text& exe_name);

// Asks the system to end the process at once; the outcome is ignored.
void TerminateStoppableProcess(StoppableProcess& process);

// Waits up to `milliseconds` for the stopped process to have ended.
void WaitForStoppedProcess(StoppableProcess& process, unsigned milliseconds);

void CloseStoppableProcess(StoppableProcess* process);
