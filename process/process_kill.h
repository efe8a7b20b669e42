// Finding the running updater by its executable's name and program file,
// and stopping it.
#pragma once

#include <cstdint>

#include "common/text.h"

// The id of the first process in the system's listing whose executable name
// begins with `name`, letter case aside, and that runs the program file at
// `program` (ProcessRunsProgram): a process of that name running another
// folder's program, or one whose program cannot be told (another user's,
// for a run that may not look at it), is no such process. 0 when there is
// none or the listing cannot be read. An empty name matches nothing.
uint32_t GetProcessIdByName(Text name, const Text& program);

// Terminates the process and then pauses (common/bounds.h), giving it time
// to let go of its executable; one that has not ended by then is waited for
// a while longer. Does nothing, and does not pause, for id 0. The id may
// have passed to another process since it was looked up: the process is
// stopped only while it still runs the program at `program`, checked
// through the very handle it is stopped by. Failures are ignored: a process
// that is gone, is another, or cannot be stopped still gets the pause.
void KillProcessById(uint32_t id, const Text& program);

// True when `exe_name` begins with `name`, ASCII letters compared without
// regard to case. An empty name never matches.
bool ExeNameBeginsWith(const Text& exe_name, const Text& name);
