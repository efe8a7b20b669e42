// The launch: the updater started as Windows starts a program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file-posix.h"
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

}  // namespace

SystemError LaunchMinimized(const Text& path) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (int error = posix_spawnattr_init(&attributes)) return static_cast<SystemError>(error);
  if (int error = posix_spawn_file_actions_init(&actions)) {
    posix_spawnattr_destroy(&attributes);
    return static_cast<SystemError>(error);
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
    pid_t pid = 0;
    error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return static_cast<SystemError>(error);
}
