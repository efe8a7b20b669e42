#include <windows.h>

#include <cstdlib>

#include "run/frm_copy.h"

// The C++ library's own handler for an uncaught exception prints its type,
// demangled, to a console this program does not have; its demangler alone is
// a tenth of the program. Ending at once says as much here.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// A program of the GUI subsystem that never creates a window: the run ends
// the process before anything could be shown.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  FrmCopy form;
  form.OnLoad();
}
