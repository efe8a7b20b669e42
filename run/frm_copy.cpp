#include "run/frm_copy.h"

#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/failure_record.h"
#include "run/image_check.h"
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

void RecordFailure(const Text& directory, const Text& description) {
  WriteIniValue(directory + kProfileFile, kRecordSection, kRecordKeyPrefix + description,
                FormatTimestamp(GetLocalTimeNow()));
}

[[noreturn]] void RecordFailureAndEnd(const Text& directory, const Text& description,
                                      ExitCode code) {
  RecordFailure(directory, description);
  EndProcess(code);
}

Text Reason(SystemError error) { return CleanReason(DescribeSystemError(error)); }

[[noreturn]] void FailStep(const Text& directory, const Text& step, SystemError error,
                           ExitCode code) {
  RecordFailureAndEnd(directory, step + TXT(": ") + Reason(error), code);
}

// A download that is no whole program, or that cannot be read and moved now,
// never takes the place of the working updater: nothing is stopped or
// changed, and it stays where it is for the next run. The current updater is
// started only where none runs: a machine is never left without one, and a
// running one (which may have started this tool) gets no twin.
[[noreturn]] void RefuseDownload(const Text& directory, const Text& current, const Text& reason) {
  RecordFailure(directory, TXT("Cannot take the downloaded copy: ") + reason);
  if (GetProcessIdByName(kUpdaterProcessName) == 0) {
    if (SystemError error = LaunchMinimized(current)) {
      FailStep(directory, TXT("Cannot launch the updater"), error, kExitLaunchFailed);
    }
  }
  EndProcess(kExitDownloadRefused);
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
    std::string head;
    uint64_t size = 0;
    if (SystemError error = ReadFileBeforeMove(downloaded, kProgramHeadBytes, head, size)) {
      RefuseDownload(dir, current, TXT("cannot read it: ") + Reason(error));
    }
    const Text incomplete = DescribeIncompleteProgram(head, size);
    if (!incomplete.empty()) RefuseDownload(dir, current, incomplete);

    KillProcessById(GetProcessIdByName(kUpdaterProcessName), kUpdaterProcessName);
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
