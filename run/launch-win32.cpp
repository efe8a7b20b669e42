// The launch: the updater started minimized, by its own name.
#include <windows.h>

#include "common/path-win32.h"
#include "run/run_ops.h"

SystemError LaunchMinimized(const Text& path) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINIMIZED;
  // The program is named outright and its command line quoted, so a folder
  // with spaces can never make the system start some other program.
  const Text program = ShortFormIfLong(path);
  Text command_line = L"\"" + program + L"\"";
  PROCESS_INFORMATION process = {};
  // The updater gets the system's error mode, not the tool's own.
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
    return LastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
