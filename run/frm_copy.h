// The start-up object: loading it runs the whole job and ends the process.
#pragma once

// How the process ends. Each failing step has its own code so that whoever
// started the tool can tell them apart without reading the profile file.
enum ExitCode : int {
  kExitLaunched = 0,
  kExitNoProgramDirectory = 1,  // nothing done, nothing recorded
  kExitSearchFailed = 2,
  kExitCurrentNotReplaceable = 3,  // the current executable refused its replace
  kExitDownloadNotPlaced = 4,      // the download could not be put in its place
  kExitLaunchFailed = 5,
  kExitRunGuardFailed = 6,
  kExitDownloadRefused = 7,  // nothing stopped or changed; see ReplaceAndRelaunch
  kExitInternalError = 8,    // an exception escaped, memory ran out: see EndAfterInternalFailure
  kExitDownloadNotRemoved = 9,  // swapped and launched, but the download (or its signature) is left
  kExitNewUpdaterCannotRun = 10,  // the new updater could not run: the previous one was put back
};

// Where the run itself fails (an exception that escapes it, memory
// exhausted): leaves a record where one can still be written and ends the
// process with kExitInternalError, never with the runtime's own ending, which
// shows a box on Windows and waits for a click. Installed as the terminate
// handler by OnLoad. A failure while recording ends at once.
[[noreturn]] void EndAfterInternalFailure();

class FrmCopy {
 public:
  // The load handler: runs the job once, any internal failure ending it as
  // EndAfterInternalFailure does. Never returns.
  [[noreturn]] void OnLoad();

 private:
  // Swaps a downloaded updater into place when one waits, then launches the
  // updater; on any failure records it, and starts the updater in place
  // where none runs. Never returns.
  [[noreturn]] void ReplaceAndRelaunch();
};
