// The start-up object: loading it runs the whole job and ends the process.
#pragma once

// How the process ends. Each failing step has its own code so that whoever
// started the tool can tell them apart without reading the profile file.
enum ExitCode : int {
  kExitLaunched = 0,
  kExitNoProgramDirectory = 1,  // nothing done, nothing recorded
  kExitSearchFailed = 2,
  kExitDeleteFailed = 3,
  kExitMoveFailed = 4,
  kExitLaunchFailed = 5,
  kExitRunGuardFailed = 6,
  kExitDownloadRefused = 7,  // nothing stopped or changed; see ReplaceAndRelaunch
};

class FrmCopy {
 public:
  // The load handler: runs the job once. Never returns.
  [[noreturn]] void OnLoad();

 private:
  // Swaps a downloaded updater into place when one waits, then launches the
  // updater; on any failure records it and launches nothing. Never returns.
  [[noreturn]] void ReplaceAndRelaunch();
};
