#include "run/frm_copy.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/bounds.h"
#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/failure_record.h"
#include "run/run_ops.h"
#include "verify/image_check.h"
#include "verify/signature_rule.h"

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
// The run's files beside the current executable: the digest of a new
// program not yet seen to run, written before the stop and removed by the
// verdict; and the digests of the programs that could not run (the last
// eight, a line each), never installed again.
const Text kUnprovenSuffix = TXT(".unproven");
const Text kCouldNotRunSuffix = TXT(".could-not-run");
constexpr size_t kCouldNotRunKept = 8;
// Matched as a prefix of the executable name, letter case aside.
const Text kUpdaterProcessName = TXT("Plindor.EXE");
const Text kRecordSection = TXT("Tovalane");
const Text kRecordKeyPrefix = TXT("False");

// Set once this run holds the guard: from then on, no failure leaves the
// machine without a running updater.
bool guard_held = false;

struct ReplacementDiscarder {
  void operator()(Replacement* replacement) const { DiscardReplacement(replacement); }
};
// The new program prepared beside the current one, from its preparation to
// the end of the run: a failure removes it before the run ends, so that no
// stray copy waits for the next run.
std::unique_ptr<Replacement, ReplacementDiscarder> prepared;

void RecordFailure(const Text& directory, const Text& description) {
  WriteIniValue(directory + kProfileFile, kRecordSection, kRecordKeyPrefix + description,
                FormatTimestamp(GetLocalTimeNow()));
}

// The error's words and its number: one key for one failure on every
// machine, and a number to look up where there are no words.
Text Reason(SystemError error) {
  const Text words = DescribeSystemError(error);
  const Text number = ErrorNumberText(error);
  if (words.empty()) return TXT("error ") + number;
  return CleanReason(words) + TXT(" (error ") + number + TXT(")");
}

const TextChar kLaunchStep[] = TXT("Cannot launch the updater");

// Records a failure and ends the run with its code. Every failure of a run
// that holds the guard, but the launch's own, ends with an updater running:
// where none runs (one stopped for the swap, or none had been started),
// the Plindor.exe in place is started, and the record's key says so. A
// running one (which may have started this tool) gets no twin. Where that
// start fails too, both are recorded and the run ends as a failed launch.
[[noreturn]] void RecordFailureAndEnd(const Text& directory, const Text& description,
                                      ExitCode code) {
  prepared.reset();
  Text key = description;
  if (guard_held && code != kExitLaunchFailed &&
      GetProcessIdByName(kUpdaterProcessName, directory + kCurrentExe) == 0) {
    if (SystemError error = LaunchMinimized(directory + kCurrentExe)) {
      RecordFailure(directory, description);
      RecordFailure(directory, kLaunchStep + Text(TXT(": ")) + Reason(error));
      EndProcess(kExitLaunchFailed);
    }
    key += TXT("; the updater in place was started again");
  }
  RecordFailure(directory, key);
  EndProcess(code);
}

[[noreturn]] void FailStep(const Text& directory, const Text& step, SystemError error,
                           ExitCode code) {
  RecordFailureAndEnd(directory, step + TXT(": ") + Reason(error), code);
}

// A download that is no whole program this system can run, or that cannot
// be read or removed now, never takes the place of the working updater:
// nothing is changed, and it stays where it is for the next run.
[[noreturn]] void RefuseDownload(const Text& directory, const Text& reason) {
  RecordFailureAndEnd(directory, TXT("Cannot take the downloaded copy: ") + reason,
                      kExitDownloadRefused);
}

// The record's words when the current executable refuses its replace. The
// replace is one rename now, no delete, but fleets group their records by
// the key this failure has always had.
const TextChar kCurrentRefusedStep[] = TXT("Cannot delete the current executable");

// A digest as the run's files hold it: lowercase hex.
std::string DigestText(const std::string& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : digest) text += {kDigits[byte >> 4], kDigits[byte & 15]};
  return text;
}

// The digests of the programs that could not run, oldest first.
std::vector<std::string> ProgramsThatCouldNotRun(const Text& current) {
  std::string list;
  std::vector<std::string> digests;
  if (ReadFileBeside(current, kCouldNotRunSuffix, list) != 0) return digests;
  for (size_t at = 0; at < list.size();) {
    const size_t end = std::min(list.find('\n', at), list.size());
    if (end - at == 64) digests.push_back(list.substr(at, 64));
    at = end + 1;
  }
  return digests;
}

struct DownloadCloser {
  void operator()(Download* download) const { CloseDownload(download); }
};
using HeldDownload = std::unique_ptr<Download, DownloadCloser>;

// The download, opened and held from now on, with no other process writing
// it; any of this failing refuses it.
HeldDownload OpenDownloadNoOneWrites(const Text& directory) {
  Download* opened = nullptr;
  DownloadOpen open = DownloadOpen::kHeld;
  const SystemError error = OpenDownload(directory, kDownloadedCopy, opened, open);
  HeldDownload download(opened);
  switch (open) {
    case DownloadOpen::kHeld:
      break;
    case DownloadOpen::kCannotOpen:
      RefuseDownload(directory, TXT("cannot open it: ") + Reason(error));
    case DownloadOpen::kWritersUnknown:
      RefuseDownload(directory, TXT("cannot tell whether it is still written: ") + Reason(error));
    case DownloadOpen::kStillWritten:
      RefuseDownload(directory, TXT("another process is still writing it"));
  }
  return download;
}

// Everything about the swap that can be known before the updater is
// stopped: the current executable may be replaced, and the new program,
// made beside it, which no one else can write, is a whole program this
// system runs (the file checked is the file swapped). Any of these failing
// ends the run with nothing stopped.
Replacement& PrepareBeforeTheStop(const Text& directory, const Text& current, Download& download,
                                  std::string& digest) {
  // First, as a folder that refuses the rename may refuse the copy's
  // removal too.
  if (SystemError error = CheckCurrentReplaceable(current)) {
    FailStep(directory, kCurrentRefusedStep, error, kExitCurrentNotReplaceable);
  }
  // Only the publisher of the program in place may replace it.
  PublisherPin pin;
  if (SystemError error = ReadPublisherPin(current, pin)) {
    RefuseDownload(directory, TXT("the current updater's signature cannot be read: ") + Reason(error));
  }
  Replacement* made = nullptr;
  Prepared outcome = Prepared::kMade;
  const SystemError prepare_error = PrepareReplacement(download, current, made, outcome);
  if (outcome == Prepared::kDownloadUnreadable) RefuseDownload(directory, TXT("cannot read it: ") + Reason(prepare_error));
  if (outcome == Prepared::kNotMade) {
    FailStep(directory, TXT("Cannot prepare the new program beside the current executable"), prepare_error,
             kExitCurrentNotReplaceable);
  }
  prepared.reset(made);
  Replacement& replacement = *made;
  SystemError read_error = 0;
  const Text unfit = DescribeUnfitProgram(
      [&](uint64_t offset, size_t size, std::string& bytes) {
        read_error = ReadReplacementAt(replacement, offset, size, bytes);
        return read_error == 0;
      },
      ReplacementSize(replacement), GetRunnableMachines());
  if (read_error != 0) RefuseDownload(directory, TXT("cannot read it: ") + Reason(read_error));
  if (!unfit.empty()) RefuseDownload(directory, unfit);
  if (pin.required) {
    SignatureFacts facts;
    // A pin that cannot be relied on refuses every download unread.
    SystemError error = 0;
    if (pin.unusable.empty()) error = ReadReplacementSignature(replacement, pin, facts);
    if (error != 0) {
      RefuseDownload(directory, TXT("cannot read it: ") + Reason(error));
    }
    const Text refusal = JudgeSignature(pin, facts);
    if (!refusal.empty()) RefuseDownload(directory, refusal);
  }
  // The same bytes that could not run once are never tried again: an
  // updater that downloads the same release every hour would be stopped
  // and broken every hour.
  std::string read;
  if (SystemError error = ReadReplacementDigest(replacement, read)) {
    RefuseDownload(directory, TXT("cannot read it: ") + Reason(error));
  }
  digest = DigestText(read);
  for (const std::string& broken : ProgramsThatCouldNotRun(current)) {
    if (broken == digest) {
      RefuseDownload(directory, TXT("it could not run when it was installed (sha256 ") +
                                    Text(digest.begin(), digest.begin() + 8) + TXT(")"));
    }
  }
  // The program in place stays beside it, whole, to be put back should
  // the new one not run.
  if (SystemError error = KeepPreviousProgram(current)) {
    FailStep(directory, TXT("Cannot keep the current executable beside the new program"), error,
             kExitCurrentNotReplaceable);
  }
  // A run killed from here on leaves this for the next one to finish.
  if (SystemError error = WriteFileBeside(current, kUnprovenSuffix, digest)) {
    FailStep(directory, TXT("Cannot mark the new program to be watched"), error, kExitCurrentNotReplaceable);
  }
  return replacement;
}

// What a swap did: the digest of the program it put in place (none where
// it swapped nothing), and the record of what was left undone after it.
struct Swap {
  std::string digest;
  Text left;
};

// Swaps the download into place when it is a new program; a download that
// is the current program already is only removed, and nothing is stopped.
Swap SwapIfNew(const Text& dir, const Text& current) {
  const HeldDownload download = OpenDownloadNoOneWrites(dir);
  Likeness likeness = Likeness::kAnother;
  if (SystemError error = CompareDownloadWithCurrent(*download, current, likeness)) {
    RefuseDownload(dir, TXT("cannot read it: ") + Reason(error));
  }
  // Under a second name of its own (a hard link, a folder leading back) the
  // download is the working updater: nothing is removed.
  Swap swap;
  if (likeness == Likeness::kSameFile) return swap;
  // The swap is over at the rename; what fails after it is recorded while
  // the new updater is still started.
  if (likeness == Likeness::kAnother) {
    Replacement& replacement = PrepareBeforeTheStop(dir, current, *download, swap.digest);
    KillProcessById(GetProcessIdByName(kUpdaterProcessName, current), current);
    Replaced replaced = Replaced::kReplaced;
    const SystemError error = ReplaceCurrentWithReplacement(replacement, current, replaced);
    // The program in place is still the previous one: there is nothing to watch.
    if (replaced == Replaced::kCurrentRefused || replaced == Replaced::kNotPlaced) {
      RemoveFileBeside(current, kUnprovenSuffix);
    }
    if (replaced == Replaced::kCurrentRefused) FailStep(dir, kCurrentRefusedStep, error, kExitCurrentNotReplaceable);
    if (replaced == Replaced::kNotPlaced) {
      FailStep(dir, TXT("Cannot move the downloaded copy into place"), error, kExitDownloadNotPlaced);
    }
    if (replaced == Replaced::kSignatureNotKept) {
      swap.left = TXT("Cannot keep the downloaded copy's signature beside it: ") + Reason(error);
    }
    prepared.reset();
  }
  // The download is removed last.
  if (SystemError error = RemoveDownload(*download)) {
    swap.left = TXT("Cannot remove the downloaded copy after the swap: ") + Reason(error);
  }
  return swap;
}

// Starts the new program put in place (its digest `digest`) and watches it.
// One that runs stays; one that cannot run (its start fails, or it ends as
// only such a program ends: a library missing, a crash) is remembered, and
// the previous program is put back and started, so that no release that
// cannot run on this machine leaves it without an updater. `left`: what
// the swap left undone, recorded too.
[[noreturn]] void WatchTheNewUpdater(const Text& dir, const Text& current, const std::string& digest,
                                     const Text& left) {
  FirstMoments moments = FirstMoments::kRuns;
  Text ending;
  const SystemError error = LaunchAndWatch(current, kWatchWindowMs, moments, ending);
  if (!left.empty()) RecordFailure(dir, left);
  if (moments == FirstMoments::kRuns) {
    RemoveFileBeside(current, kUnprovenSuffix);
    if (error != 0) FailStep(dir, kLaunchStep, error, kExitLaunchFailed);
    EndProcess(left.empty() ? kExitLaunched : kExitDownloadNotRemoved);
  }
  const Text could_not_run =
      TXT("The new updater could not run: ") + (error != 0 ? TXT("it could not start: ") + Reason(error) : ending);
  // Remembered before it is taken away: a run killed meanwhile leaves it
  // in place, and the next one watches it again.
  std::vector<std::string> broken = ProgramsThatCouldNotRun(current);
  broken.erase(std::remove(broken.begin(), broken.end(), digest), broken.end());
  broken.push_back(digest);
  if (broken.size() > kCouldNotRunKept) broken.erase(broken.begin(), broken.end() - kCouldNotRunKept);
  std::string list;
  for (const std::string& line : broken) list += line + "\n";
  if (SystemError write_error = WriteFileBeside(current, kCouldNotRunSuffix, list)) {
    RecordFailure(dir, TXT("Cannot remember that the new updater could not run: ") + Reason(write_error));
  }
  if (SystemError put_error = PutPreviousBack(current)) {
    RecordFailure(dir, could_not_run);
    RemoveFileBeside(current, kUnprovenSuffix);
    FailStep(dir, TXT("Cannot put the previous updater back"), put_error, kExitNewUpdaterCannotRun);
  }
  RemoveFileBeside(current, kUnprovenSuffix);
  const Text put_back = could_not_run + TXT("; the previous one was put back");
  if (SystemError launch_error = LaunchMinimized(current)) {
    RecordFailure(dir, put_back);
    FailStep(dir, kLaunchStep, launch_error, kExitLaunchFailed);
  }
  RecordFailure(dir, put_back);
  EndProcess(kExitNewUpdaterCannotRun);
}

// A run killed between its stop and its verdict left the new program
// unproven: where no updater runs and that program is in place, it is
// watched as if just swapped in; otherwise the mark is only removed.
void FinishAKilledRunsSwap(const Text& dir, const Text& current) {
  std::string marked, digest;
  if (ReadFileBeside(current, kUnprovenSuffix, marked) != 0 || marked.empty()) return;
  if (GetProcessIdByName(kUpdaterProcessName, current) == 0 && ReadProgramDigest(current, digest) == 0 &&
      DigestText(digest) == marked) {
    WatchTheNewUpdater(dir, current, marked, Text());
  }
  RemoveFileBeside(current, kUnprovenSuffix);
}

}  // namespace

void EndAfterInternalFailure() {
  static bool ending = false;
  if (!ending) {
    ending = true;
    // A failure while recording (memory still short) ends the run at once:
    // here, or where it comes back (the Windows program has no exceptions).
#if __cpp_exceptions
    try {
#endif
      Text dir;
      if (GetProgramDirectory(dir) == 0) {
        RecordFailureAndEnd(dir, TXT("Cannot complete the run: internal error"), kExitInternalError);
      }
#if __cpp_exceptions
    } catch (...) {
    }
#endif
  }
  EndProcess(kExitInternalError);
}

void FrmCopy::OnLoad() {
  std::set_terminate(EndAfterInternalFailure);
  ReplaceAndRelaunch();
}

void FrmCopy::ReplaceAndRelaunch() {
  guard_held = false;
  Text dir;
  if (GetProgramDirectory(dir) != 0) EndProcess(kExitNoProgramDirectory);

  RunGuard guard = RunGuard::kTaken;
  if (SystemError error = TakeRunGuard(dir, kRunGuardWaitMs, guard)) {
    FailStep(dir, TXT("Cannot wait for another run to finish"), error, kExitRunGuardFailed);
  }
  if (guard == RunGuard::kNotInTime) {
    RecordFailureAndEnd(dir, TXT("Cannot start: another run on this folder did not finish in time"),
                        kExitRunGuardFailed);
  }
  guard_held = true;

  const Text current = dir + kCurrentExe;
  // What runs killed midway left behind; only a holder of the guard may tell.
  RemoveLeftoverCopies(current, dir + kProfileFile);
  FinishAKilledRunsSwap(dir, current);
  DownloadFound found = DownloadFound::kNothing;
  if (SystemError error = FindDownload(dir, kDownloadedCopy, found)) {
    FailStep(dir, TXT("Cannot search for the downloaded copy"), error, kExitSearchFailed);
  }
  // Whoever made that link chose where the way leads: another installation,
  // whose files the run would read and remove.
  if (found == DownloadFound::kBehindAStrangersLink) {
    RefuseDownload(dir, TXT("a link on its way belongs to neither an administrator nor the program folder's owner"));
  }

  const Swap swap = found == DownloadFound::kPlainFile ? SwapIfNew(dir, current) : Swap();
  if (!swap.digest.empty()) WatchTheNewUpdater(dir, current, swap.digest, swap.left);

  const Text& not_removed = swap.left;
  if (SystemError error = LaunchMinimized(current)) {
    if (!not_removed.empty()) RecordFailure(dir, not_removed);
    FailStep(dir, kLaunchStep, error, kExitLaunchFailed);
  }
  if (!not_removed.empty()) {
    RecordFailure(dir, not_removed);
    EndProcess(kExitDownloadNotRemoved);
  }
  EndProcess(kExitLaunched);
}
