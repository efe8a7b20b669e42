// Finding a running process by its executable's name, and stopping it.
#pragma once

#include <cstdint>

#include "common/text.h"

// The id of the first process in the system's listing whose executable name
// begins with `name`, letter case aside; 0 when there is none or the listing
// cannot be read. An empty name matches nothing.
uint32_t GetProcessIdByName(Text name);

// Terminates the process and then pauses for 1000 ms, giving it time to let
// go of its executable; one that has not ended by then is waited for up to
// 5 s more. Does nothing, and does not pause, for id 0. The id may have
// passed to another process since it was looked up: the process is stopped
// only while its executable name still begins with `name`, checked through
// the very handle it is stopped by (where the system lets the name be read
// so; otherwise it is stopped as found). Failures are ignored: a process
// that is gone, is another, or cannot be stopped still gets the pause.
void KillProcessById(uint32_t id, const Text& name);

// True when `exe_name` begins with `name`, ASCII letters compared without
// regard to case. An empty name never matches.
bool ExeNameBeginsWith(const Text& exe_name, const Text& name);
