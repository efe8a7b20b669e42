// How the Windows process ends when the run itself fails: every ending is
// the run's own, and no box is ever shown.
#include "run/endings-win32.h"

#include <windows.h>

#include <signal.h>

#include "run/frm_copy.h"

namespace {

// msvcrt's abort() (memory exhausted in the runtime's own code, say) raises
// SIGABRT before it shows its box.
void EndOnAbort(int) { EndAfterInternalFailure(); }

LONG WINAPI EndOnUnhandledException(EXCEPTION_POINTERS*) { EndAfterInternalFailure(); }

}  // namespace

void InstallEndingHandlers() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  signal(SIGABRT, EndOnAbort);
  SetUnhandledExceptionFilter(EndOnUnhandledException);
}
