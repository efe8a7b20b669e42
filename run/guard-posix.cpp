// The run guard (Linux): a name in the abstract socket namespace keyed on the
// folder's identity, and a lock on a file only the folder's writers may open.
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

// Whether flock's failure says the file system cannot lock (some NFS
// servers, SMB and FUSE mounts).
bool IsLockingUnsupported(int error) {
  return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EINVAL;
}

// Whether a process of `peer`'s user and group may write the folder, as a
// run of this tool on it must: root, or a user its permissions let write.
bool MayWriteFolder(const ucred& peer, const struct stat& folder) {
  if (peer.uid == 0) return true;
  if (peer.uid == folder.st_uid) return (folder.st_mode & S_IWUSR) != 0;
  if (peer.gid == folder.st_gid) return (folder.st_mode & S_IWGRP) != 0;
  return (folder.st_mode & S_IWOTH) != 0;
}

// Whether the name is held by a run of this tool on the folder: its holder
// listens, and its process may write the folder. A name held otherwise is a
// stranger's (any local user may bind any name), and makes no run wait.
bool NameIsHeldByARun(const sockaddr_un& address, socklen_t size, const struct stat& folder) {
  Fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  ucred peer = {};
  socklen_t peer_size = sizeof peer;
  return probe.get() >= 0 &&
         connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
         getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 &&
         MayWriteFolder(peer, folder);
}

enum class Named { kTaken, kHeldByARun, kHeldByAStranger };

// The guard every run takes: a name in the abstract socket namespace, keyed
// on the folder's identity, which needs nothing the folder's permissions
// could refuse to any user. Only one socket can hold a name, the kernel
// frees it when its process ends, and it leaves nothing on disk. Tried every
// 10 ms for up to `timeout_ms` while a run holds it; who holds it is asked
// once a second.
SystemError TakeNamedGuard(const struct stat& folder, unsigned timeout_ms, Named& named) {
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
  named = Named::kHeldByARun;
  unsigned tries = 0;
  const SystemError error = RetryWithin(
      PollingFor(timeout_ms),
      [&]() -> SystemError {
        if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), size) == 0) return 0;
        const SystemError bind_error = LastError();
        if (bind_error == EADDRINUSE && tries++ % 100 == 0 && !NameIsHeldByARun(address, size, folder)) {
          named = Named::kHeldByAStranger;
        }
        return bind_error;
      },
      [&](SystemError bind_error) { return bind_error == EADDRINUSE && named == Named::kHeldByARun; });
  if (error == EADDRINUSE) return 0;
  if (error != 0) return error;
  // Listening, so that a waiting run can ask who holds the name.
  if (listen(socket_fd.get(), SOMAXCONN) != 0) return LastError();
  socket_fd.release();
  named = Named::kTaken;
  return 0;
}

// The file through which runs take turns where the name cannot serve (in
// another network namespace): open to none but the folder's writers, so
// that no one else can hold a lock on it.
const char kLockFile[] = ".PlindorSwap.lock";

// Its owner may open it; the folder's group and others where they may write.
mode_t LockFileMode(const struct stat& folder) {
  mode_t mode = S_IRUSR | S_IWUSR;
  if ((folder.st_mode & S_IWGRP) != 0) mode |= S_IRGRP | S_IWGRP;
  if ((folder.st_mode & S_IWOTH) != 0) mode |= S_IROTH | S_IWOTH;
  return mode;
}

// Whether only users who may write the folder can open the lock file: a
// regular file of root's, the folder owner's or this run's user's, with its
// group's bits only where that group is the folder's.
bool OnlyWritersMayOpen(const struct stat& lock, const struct stat& folder) {
  mode_t allowed = LockFileMode(folder);
  if (lock.st_gid != folder.st_gid) allowed &= ~static_cast<mode_t>(S_IRWXG);
  return S_ISREG(lock.st_mode) && (lock.st_mode & 07777 & ~allowed) == 0 &&
         (lock.st_uid == 0 || lock.st_uid == folder.st_uid || lock.st_uid == geteuid());
}

// The lock file, open for reading and writing; -1 where this run may not
// open or make it. One that others may open, or a link in its place, is
// made anew and renamed over it, never mended: whoever could open it may
// hold it open still. One this run owns gets the folder's owner and group
// where the run may give them (root's), so that the folder owner's runs
// open it too, and the mode for the folder's writers.
Fd OpenLockFile(int folder_fd, const struct stat& folder) {
  struct stat info;
  if (fstatat(folder_fd, kLockFile, &info, AT_SYMLINK_NOFOLLOW) == 0 && !OnlyWritersMayOpen(info, folder) &&
      WriteFileWhole(folder_fd, kLockFile, TXT("Plindor.exe"), std::string(), 0600) != 0) {
    return Fd(-1);
  }
  Fd lock(openat(folder_fd, kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (lock.get() >= 0 && fstat(lock.get(), &info) == 0 && info.st_uid == geteuid() &&
      ((geteuid() == 0 && fchown(lock.get(), folder.st_uid, folder.st_gid) != 0) ||
       fchmod(lock.get(), LockFileMode(folder)) != 0)) {
    return Fd(-1);
  }
  return lock;
}

}  // namespace

SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, RunGuard& guard) {
  guard = RunGuard::kNotInTime;
  Fd folder_fd(OpenFolderAnyLength(directory));
  struct stat folder;
  if (folder_fd.get() < 0 || fstat(folder_fd.get(), &folder) != 0) return LastError();
  const timespec deadline = DeadlineIn(timeout_ms);
  Named named = Named::kHeldByARun;
  const SystemError name_error = TakeNamedGuard(folder, timeout_ms, named);
  if (name_error == 0 && named == Named::kHeldByARun) return 0;
  // The name is seen only in this network namespace, and a stranger may
  // hold it: runs take turns through the lock file as well, where this run
  // may open it (runs in another network namespace, a container sharing the
  // folder, meet there too).
  Fd lock = OpenLockFile(folder_fd.get(), folder);
  if (lock.get() < 0) {
    if (name_error == 0) guard = RunGuard::kTaken;
    return name_error;
  }
  const int error = FlockWithin(lock.get(), MillisecondsLeft(deadline));
  if (error == ETIMEDOUT) return 0;
  if (error == 0) {
    lock.release();
  } else if (name_error != 0 || !IsLockingUnsupported(error)) {
    return name_error != 0 ? name_error : static_cast<SystemError>(error);
  }
  guard = RunGuard::kTaken;
  return 0;
}
