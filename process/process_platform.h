// What the process lookup and stop need from the operating system. Each
// platform defines these in its own file; tests link fakes instead.
#pragma once

#include <cstdint>

#include "common/text.h"

// A still picture of the running processes, walked in the system's order.
struct ProcessSnapshot;

// nullptr when no snapshot can be taken.
ProcessSnapshot* OpenProcessSnapshot();

// Fills the next process's id and executable file name (no directory).
// False at the end of the listing or when the walk fails.
bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name);

void CloseProcessSnapshot(ProcessSnapshot* snapshot);

// Asks the system to end the process at once; the outcome is ignored.
void TerminateProcessById(uint32_t id);

void PauseMilliseconds(unsigned milliseconds);
