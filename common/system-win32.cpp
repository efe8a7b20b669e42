#include "common/system.h"

#include <windows.h>

SystemError LastError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

void PauseMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }
