// The launch (Windows): the updater started minimized, by its own name, a
// file another process holds waited out. A swap's new program is started
// with the box for a missing library off, kept by its handle and watched.
#include <windows.h>

#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/run_ops.h"

namespace {

// Starts the program as LaunchMinimized says, with `flags`; its handles in
// `process`. A file another process holds for a moment (a scanner) is
// waited out within the held-file bound.
SystemError Start(const Text& path, DWORD flags, PROCESS_INFORMATION& process) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINIMIZED;
  // The program is named outright and its command line quoted, so a folder
  // with spaces can never make the system start some other program.
  const Text program = ShortFormIfLong(path);
  Text command_line = L"\"" + program + L"\"";
  return RetryFileStep(FileStep::kLaunch, path, [&]() -> DWORD {
    return CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                          &startup, &process)
               ? 0
               : LastError();
  });
}

// The start failures that say the program itself cannot run here: no image
// for this system or machine, one it marks invalid, a manifest that cannot
// be used or asks for elevation, a policy or a scanner that refuses it. Any
// other (a path the system cannot take, memory) says nothing of it.
constexpr DWORD kStartFailuresOfTheProgram[] = {
    ERROR_BAD_EXE_FORMAT,     ERROR_EXE_MACHINE_TYPE_MISMATCH, ERROR_BAD_FORMAT,
    ERROR_INVALID_EXE_SIGNATURE, ERROR_EXE_MARKED_INVALID,     ERROR_SXS_CANT_GEN_ACTCTX,
    ERROR_ACCESS_DISABLED_BY_POLICY, ERROR_ACCESS_DENIED,
    740,  // ERROR_ELEVATION_REQUIRED
    225,  // ERROR_VIRUS_INFECTED
    226,  // ERROR_VIRUS_DELETED
};
}  // namespace

SystemError LaunchMinimized(const Text& path) {
  PROCESS_INFORMATION process = {};
  // The updater gets the system's error mode, not the tool's own.
  if (SystemError error = Start(path, CREATE_DEFAULT_ERROR_MODE, process)) return error;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

SystemError LaunchAndWatch(const Text& path, unsigned watch_ms, FirstMoments& moments, Text& ending) {
  moments = FirstMoments::kRuns;
  ending.clear();
  // The new program inherits this error mode: the loader's box for a missing
  // library (or entry point) would wait for a click that never comes, where
  // without it the program ends at once, and is put back. Its other modes
  // are the system's, as any updater's.
  PROCESS_INFORMATION process = {};
  const UINT own_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
  const SystemError error = Start(path, 0, process);
  SetErrorMode(own_mode);
  if (error != 0) {
    for (const DWORD failure : kStartFailuresOfTheProgram) {
      if (error == failure) moments = FirstMoments::kCannotRun;
    }
    return error;
  }
  DWORD code = STILL_ACTIVE;
  // An NTSTATUS error (the loader's: a DLL or an entry point missing, a bad
  // image, a failed initialisation; a crash), or 3, the C runtime's abort:
  // endings only a program that cannot run has.
  if (WaitForSingleObject(process.hProcess, watch_ms) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &code) &&
      (code >= 0xC0000000u || code == 3)) {
    moments = FirstMoments::kCannotRun;
    ending = L"it ended at once with " + (code == 3 ? Text(L"exit code 3") : ErrorNumberText(code));
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
