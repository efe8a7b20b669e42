// What every platform file needs of the system: the code of the call that
// just failed, and a pause.
#pragma once

// The system's error code for a failed step (GetLastError or errno); 0 is
// success.
using SystemError = unsigned long;

// The error of the system call that just failed; never 0, so that a failure
// the system left unnamed never passes for success.
SystemError LastError();

void PauseMilliseconds(unsigned milliseconds);
