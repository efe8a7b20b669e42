// The launch (Linux): the updater started as Windows starts a program, in a
// session of its own with nothing of the caller's; a file still being
// written (ETXTBSY) waited out. The run is the new program's parent, so a
// swap's launch waits for it (waitpid) within the watch window.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "common/file-posix.h"
#include "common/retry.h"
#include "run/run_ops.h"

extern char** environ;

namespace {

// The null device for the updater's standard streams, above them so that it
// never is one of them itself; -1 where none is to be had (a bare chroot or
// container, or a FIFO or a file in its place): the streams are then closed,
// and the updater still starts.
int OpenNullDevice() {
  Fd null_device(open("/dev/null", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (null_device.get() < 0 || fstat(null_device.get(), &info) != 0 || !S_ISCHR(info.st_mode)) {
    return -1;
  }
  // Opened without blocking only in case it was no device.
  fcntl(null_device.get(), F_SETFL, 0);
  return fcntl(null_device.get(), F_DUPFD_CLOEXEC, 3);
}

// The endings only a program that cannot run has: killed by a signal of its
// own making (a fault, an abort), or the loader's exits (126: the program
// cannot be executed, 127: a library or its interpreter was not found).
constexpr struct {
  int signal;
  const char* name;
} kFaultSignals[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGILL, "SIGILL"},
                     {SIGFPE, "SIGFPE"},   {SIGABRT, "SIGABRT"}, {SIGSYS, "SIGSYS"}};
constexpr int kLoaderExits[] = {126, 127};
// The start failures that say the program itself cannot run here: no format
// this system runs, its interpreter (the dynamic loader) missing or bad, not
// executable. Any other (memory, a limit reached) says nothing of it.
constexpr int kStartFailuresOfTheProgram[] = {ENOEXEC, ENOENT, ELIBBAD, EACCES, EPERM, ENOTDIR, ELOOP, EISDIR};

int Spawn(const Text& path, pid_t& pid) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (int error = posix_spawnattr_init(&attributes)) return error;
  if (int error = posix_spawn_file_actions_init(&actions)) {
    posix_spawnattr_destroy(&attributes);
    return error;
  }
  // Started as Windows starts a program: in a session of its own, so that it
  // outlives this tool and any terminal; with nothing of the caller's, no
  // streams (a caller reading this tool's output would otherwise wait for
  // the updater to end), no blocked or ignored signals.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  Fd null_device(OpenNullDevice());
  int error = posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &all);
  if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  for (int stream = 0; stream < 3 && error == 0; ++stream) {
    if (null_device.get() >= 0) {
      error = posix_spawn_file_actions_adddup2(&actions, null_device.get(), stream);
    } else if (fcntl(stream, F_GETFD) != -1) {
      error = posix_spawn_file_actions_addclose(&actions, stream);
    }
  }
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (error == 0) {
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// The start, a program another process still has open for writing waited
// out within the held-file bound.
SystemError Start(const Text& path, pid_t& pid) {
  return RetryWithin(
      kHeldFile, [&]() -> SystemError { return static_cast<SystemError>(Spawn(path, pid)); },
      [](SystemError error) { return error == ETXTBSY; });
}

// Waits for the child `pid` to end, within `window_ms`: true, with its
// status, where it ended. A pidfd wakes the wait the moment it ends; where
// the system gives none (an old kernel, a seccomp filter) it is looked at
// as every changing thing is.
bool WaitForEndWithin(pid_t pid, unsigned window_ms, int& status) {
  const Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const timespec deadline = DeadlineIn(window_ms);
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return false;
    const unsigned left = MillisecondsLeft(deadline);
    if (left == 0) return false;
    if (pidfd.get() < 0) {
      PauseMilliseconds(std::min(left, PollingFor(window_ms).first_pause_ms));
      continue;
    }
    // In steps: the kernel lets a poll end late by a thousandth of its
    // timeout, 10 ms of a whole window.
    pollfd ended = {pidfd.get(), POLLIN, 0};
    poll(&ended, 1, static_cast<int>(std::min(left, 100u)));
  }
}

}  // namespace

SystemError LaunchMinimized(const Text& path) {
  pid_t pid = 0;
  return Start(path, pid);
}

SystemError LaunchAndWatch(const Text& path, unsigned watch_ms, FirstMoments& moments, Text& ending) {
  moments = FirstMoments::kRuns;
  ending.clear();
  pid_t pid = 0;
  if (SystemError error = Start(path, pid)) {
    for (const int failure : kStartFailuresOfTheProgram) {
      if (error == static_cast<SystemError>(failure)) moments = FirstMoments::kCannotRun;
    }
    return error;
  }
  int status = 0;
  // Still running when the window is over: it runs.
  if (!WaitForEndWithin(pid, watch_ms, status)) return 0;
  for (const int code : kLoaderExits) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == code) {
      moments = FirstMoments::kCannotRun;
      ending = "it ended at once with exit code " + DecimalText(static_cast<unsigned>(code));
    }
  }
  for (const auto& fault : kFaultSignals) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == fault.signal) {
      moments = FirstMoments::kCannotRun;
      ending = std::string("it ended at once, killed by ") + fault.name + " (signal " +
               DecimalText(static_cast<unsigned>(fault.signal)) + ")";
    }
  }
  return 0;
}
