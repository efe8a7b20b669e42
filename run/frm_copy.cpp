#include "run/frm_copy.h"

#include <exception>
#include <memory>

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

// The error's words and its number: one key for one failure on every
// machine, and a number to look up where there are no words.
Text Reason(SystemError error) {
  const Text words = DescribeSystemError(error), number = DecimalText(error);
  if (words.empty()) return TXT("error ") + number;
  return CleanReason(words) + TXT(" (error ") + number + TXT(")");
}

[[noreturn]] void FailStep(const Text& directory, const Text& step, SystemError error,
                           ExitCode code) {
  RecordFailureAndEnd(directory, step + TXT(": ") + Reason(error), code);
}

// A download that is no whole program this system can run, or that cannot
// be read and moved now, never takes the place of the working updater:
// nothing is changed, and it stays where it is for the next run. The
// current updater is started only where none runs: a machine is never left
// without one, and a running one (which may have started this tool) gets no
// twin.
[[noreturn]] void RefuseDownload(const Text& directory, const Text& current, const Text& reason) {
  RecordFailure(directory, TXT("Cannot take the downloaded copy: ") + reason);
  if (GetProcessIdByName(kUpdaterProcessName) == 0) {
    if (SystemError error = LaunchMinimized(current)) {
      FailStep(directory, TXT("Cannot launch the updater"), error, kExitLaunchFailed);
    }
  }
  EndProcess(kExitDownloadRefused);
}

// The record's words when the current executable refuses its replace. The
// replace is one rename now, no delete, but fleets group their records by
// the key this failure has always had.
const TextChar kCurrentRefusedStep[] = TXT("Cannot delete the current executable");

struct DownloadCloser {
  void operator()(Download* download) const { CloseDownload(download); }
};
using HeldDownload = std::unique_ptr<Download, DownloadCloser>;

// Everything about the swap that can be known before the updater is
// stopped: the download is whole, runnable, written by no one, and held from
// now on; the current executable may be replaced. Any of these failing ends
// the run with nothing stopped.
HeldDownload CheckSwapBeforeTheStop(const Text& directory, const Text& current,
                                    const Text& downloaded) {
  Download* opened = nullptr;
  if (SystemError error = OpenDownload(downloaded, opened)) {
    RefuseDownload(directory, current, TXT("cannot open it: ") + Reason(error));
  }
  HeldDownload download(opened);
  bool still_written = false;
  if (SystemError error = WaitUntilNoOtherWriter(*download, still_written)) {
    RefuseDownload(directory, current, TXT("cannot tell whether it is still written: ") + Reason(error));
  }
  if (still_written) RefuseDownload(directory, current, TXT("another process is still writing it"));
  SystemError read_error = 0;
  const Text unfit = DescribeUnfitProgram(
      [&](uint64_t offset, size_t size, std::string& bytes) {
        read_error = ReadDownloadAt(*download, offset, size, bytes);
        return read_error == 0;
      },
      DownloadSize(*download), GetRunnableMachines());
  if (read_error != 0) RefuseDownload(directory, current, TXT("cannot read it: ") + Reason(read_error));
  if (!unfit.empty()) RefuseDownload(directory, current, unfit);
  if (SystemError error = CheckCurrentReplaceable(current)) {
    FailStep(directory, kCurrentRefusedStep, error, kExitCurrentNotReplaceable);
  }
  return download;
}

}  // namespace

void EndAfterInternalFailure() {
  static bool ending = false;
  if (!ending) {
    ending = true;
    Text dir;
    if (GetProgramDirectory(dir) == 0) {
      RecordFailure(dir, TXT("Cannot complete the run: internal error"));
    }
  }
  EndProcess(kExitInternalError);
}

void FrmCopy::OnLoad() {
  std::set_terminate(EndAfterInternalFailure);
  ReplaceAndRelaunch();
}

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
  RemoveLeftoverCopies(current, dir + kProfileFile);
  bool swap_due = false;
  if (SystemError error = FindPlainFile(downloaded, swap_due)) {
    FailStep(dir, TXT("Cannot search for the downloaded copy"), error, kExitSearchFailed);
  }

  if (swap_due) {
    // Held from the check to the replace: the file checked is the file swapped.
    const HeldDownload download = CheckSwapBeforeTheStop(dir, current, downloaded);
    KillProcessById(GetProcessIdByName(kUpdaterProcessName), kUpdaterProcessName);
    // Changed while the updater was stopped: nothing is replaced, and the
    // updater, stopped now, is started again.
    if (!DownloadIsStillTheFileChecked(*download)) {
      RefuseDownload(dir, current, TXT("it changed after it was checked"));
    }
    bool current_refused = false;
    if (SystemError error = ReplaceCurrentWithDownload(*download, current, current_refused)) {
      if (current_refused) FailStep(dir, kCurrentRefusedStep, error, kExitCurrentNotReplaceable);
      FailStep(dir, TXT("Cannot move the downloaded copy into place"), error, kExitDownloadNotPlaced);
    }
  }

  if (SystemError error = LaunchMinimized(current)) {
    FailStep(dir, TXT("Cannot launch the updater"), error, kExitLaunchFailed);
  }
  EndProcess(kExitLaunched);
}
