// The run guard: one run at a time on a program directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include "common/file-posix.h"
#include "run/run_ops.h"

namespace {

// Whether flock's failure says the folder's file system cannot lock it: NFS
// emulates flock with byte-range locks, which an exclusive lock refuses on a
// descriptor opened for reading; some SMB and FUSE mounts have no locks.
bool IsLockingUnsupported(int error) {
  return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EINVAL;
}

// The guard where the folder cannot be locked: a name in the abstract socket
// namespace, keyed on the folder's identity as the lock would be. Only one
// socket can hold a name, the kernel frees it when its process ends, and it
// leaves nothing on disk. Tried every 10 ms for up to `timeout_ms`.
SystemError TakeNamedGuard(const struct stat& folder, unsigned timeout_ms, bool& taken) {
  Fd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket_fd.get() < 0) return LastError();
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  // The leading zero byte puts the name in the abstract namespace.
  const int length = snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                              "PlindorSwap-guard-%llx-%llx",
                              static_cast<unsigned long long>(folder.st_dev),
                              static_cast<unsigned long long>(folder.st_ino));
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  const SystemError error = RetryWithin(
      PollingFor(timeout_ms),
      [&]() -> SystemError {
        return bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), size) == 0
                   ? 0
                   : LastError();
      },
      [](SystemError bind_error) { return bind_error == EADDRINUSE; });
  if (error == EADDRINUSE) return 0;
  if (error != 0) return error;
  socket_fd.release();
  taken = true;
  return 0;
}

}  // namespace

SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken) {
  taken = false;
  // Every run takes a name made from the folder's identity, which needs
  // nothing the folder's permissions could refuse to any user. Its holder is
  // the process: the kernel frees it when the run ends, and no file is left.
  struct stat folder;
  if (stat(directory.c_str(), &folder) != 0) return LastError();
  const timespec deadline = DeadlineIn(timeout_ms);
  bool named = false;
  const SystemError name_error = TakeNamedGuard(folder, timeout_ms, named);
  if (name_error == 0 && !named) return 0;
  // The name is seen only in this network namespace: runs in another (a
  // container sharing the folder) take turns through a flock on the folder
  // as well, where it can be opened and locked.
  Fd lock(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.get() < 0) {
    taken = name_error == 0;
    return name_error;
  }
  const int error = FlockWithin(lock.get(), MillisecondsLeft(deadline));
  if (error == ETIMEDOUT) return 0;
  if (error == 0) {
    lock.release();
  } else if (name_error != 0 || !IsLockingUnsupported(error)) {
    return name_error != 0 ? name_error : static_cast<SystemError>(error);
  }
  taken = true;
  return 0;
}
