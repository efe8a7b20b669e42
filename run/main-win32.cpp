#include <windows.h>

#include "run/frm_copy.h"

// A program of the GUI subsystem that never creates a window: the run ends
// the process before anything could be shown.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  FrmCopy form;
  form.OnLoad();
}
