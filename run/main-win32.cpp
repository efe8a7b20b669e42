#include <windows.h>

#include "run/frm_copy.h"

// The C++ library's own handler for an uncaught exception prints its type,
// demangled, to a console this program does not have, and aborts with a box
// that waits for a click; its demangler alone is a tenth of the program. The
// run's own ending replaces it.
namespace __gnu_cxx {
void __verbose_terminate_handler() { EndAfterInternalFailure(); }
}  // namespace __gnu_cxx

// A program of the GUI subsystem that never creates a window: the run ends
// the process before anything could be shown. Nor does the system show one
// for it: no "insert a disk" box for a path on an empty drive, no error
// report box after a crash.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  FrmCopy form;
  form.OnLoad();
}
