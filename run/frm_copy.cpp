#include "run/frm_copy.h"

#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/failure_record.h"
#include "run/run_ops.h"

namespace {

#ifdef _WIN32
const Text kCurrentExe = L"\\Plindor.exe";
const Text kDownloadedCopy = L"\\Download\\Program\\Plindor.exe";
const Text kProfileFile = L"\\Server.ini";
#else
const Text kCurrentExe = "/Plindor.exe";
const Text kDownloadedCopy = "/Download/Program/Plindor.exe";
const Text kProfileFile = "/Server.ini";
#endif
// Matched as a prefix of the executable name, letter case aside.
const Text kUpdaterProcessName = TXT("Plindor.EXE");
const Text kRecordSection = TXT("Tovalane");
const Text kRecordKeyPrefix = TXT("False");

// Two runs on one folder at once could each delete what the other moved in,
// so a run waits for the other; this long is more than any run takes.
constexpr unsigned kRunGuardTimeoutMs = 30000;

[[noreturn]] void RecordFailureAndEnd(const Text& directory, const Text& description,
                                      ExitCode code) {
  WriteIniValue(directory + kProfileFile, kRecordSection, kRecordKeyPrefix + description,
                FormatTimestamp(GetLocalTimeNow()));
  EndProcess(code);
}

[[noreturn]] void FailStep(const Text& directory, const Text& step, SystemError error,
                           ExitCode code) {
  RecordFailureAndEnd(directory, step + TXT(": ") + CleanReason(DescribeSystemError(error)), code);
}

}  // namespace

void FrmCopy::OnLoad() { ReplaceAndRelaunch(); }

void FrmCopy::ReplaceAndRelaunch() {
  Text dir;
  if (GetProgramDirectory(dir) != 0) EndProcess(kExitNoProgramDirectory);

  bool guard_taken = false;
  if (SystemError error = TakeRunGuard(dir, kRunGuardTimeoutMs, guard_taken)) {
    FailStep(dir, TXT("Cannot wait for another run to finish"), error, kExitRunGuardFailed);
  }
  if (!guard_taken) {
    RecordFailureAndEnd(dir, TXT("Cannot start: another run on this folder did not finish in time"),
                        kExitRunGuardFailed);
  }

  const Text current = dir + kCurrentExe;
  const Text downloaded = dir + kDownloadedCopy;
  // What runs killed midway left behind; only a holder of the guard may tell.
  RemoveStaleTemporaryCopies({dir + kProfileFile, current});
  bool swap_due = false;
  if (SystemError error = FindPlainFile(downloaded, swap_due)) {
    FailStep(dir, TXT("Cannot search for the downloaded copy"), error, kExitSearchFailed);
  }

  if (swap_due) {
    KillProcessById(GetProcessIdByName(kUpdaterProcessName));
    // A missing current executable is nothing to delete: moving the copy in
    // is how a run recovers after an earlier one was cut short.
    SystemError delete_error = DeleteFileNotForced(current);
    if (delete_error != 0 && !IsFileNotFound(delete_error)) {
      FailStep(dir, TXT("Cannot delete the current executable"), delete_error, kExitDeleteFailed);
    }
    if (SystemError error = MoveFileNoReplace(downloaded, current)) {
      FailStep(dir, TXT("Cannot move the downloaded copy into place"), error, kExitMoveFailed);
    }
  }

  if (SystemError error = LaunchMinimized(current)) {
    FailStep(dir, TXT("Cannot launch the updater"), error, kExitLaunchFailed);
  }
  EndProcess(kExitLaunched);
}
