#include "run/run_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/file-posix.h"

extern char** environ;

namespace {

SystemError CopyContents(int from_fd, int to_fd) {
  std::vector<char> buffer(1 << 16);
  for (off_t at = 0;;) {
    ssize_t got = pread(from_fd, buffer.data(), buffer.size(), at);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (got == 0) return 0;
    if (int error = WriteAllAt(to_fd, buffer.data(), static_cast<size_t>(got), at)) {
      return static_cast<SystemError>(error);
    }
    at += got;
  }
}

// A move to another file system: the copy is made complete under a temporary
// name beside the destination and only then given the destination's name, so
// that no half-copied executable ever stands there.
SystemError MoveAcrossFileSystems(const Text& from, const Text& to) {
  Fd source(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (source.get() < 0) return LastError();
  struct stat info;
  if (fstat(source.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return EISDIR;

  Text temp = TempNameBeside(to);
  Fd target(mkostemp(&temp[0], O_CLOEXEC));
  if (target.get() < 0) return LastError();
  SystemError error = CopyContents(source.get(), target.get());
  if (error == 0 && fchmod(target.get(), info.st_mode & 07777) != 0) error = LastError();
  if (error == 0 && fsync(target.get()) != 0) error = LastError();
  if (error == 0) error = static_cast<SystemError>(RenameNoReplace(temp, to));
  if (error != 0) {
    unlink(temp.c_str());
    return error;
  }
  if (unlink(from.c_str()) != 0) return LastError();
  return 0;
}

int OpenGuardTarget(const Text& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != EACCES) return fd;
  fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) errno = EACCES;
  return fd;
}

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

// A leftover is a temporary copy that has not been written to for this
// long: younger ones may belong to a writer still at work.
constexpr time_t kLeftoverAgeS = 60;

// mkostemp's names: the template with its six X's replaced by letters and
// digits.
bool IsTemporaryCopyName(const char* name, const Text& prefix) {
  const size_t length = strlen(name);
  if (length != prefix.size() + 6 || prefix.compare(0, Text::npos, name, prefix.size()) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < length; ++i) {
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

}  // namespace

SystemError GetProgramDirectory(Text& directory) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return LastError();
    if (static_cast<size_t>(length) < buffer.size()) {
      directory = DirectoryOf(Text(buffer.data(), static_cast<size_t>(length)));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken) {
  taken = false;
  // The lock lives on the program directory itself, so no file is left
  // behind. Its descriptor stays open until the process ends, which is what
  // releases the lock. A folder that may be entered and written but not
  // read is locked through this program's own file instead, which lives in
  // it and is the same for every run there.
  Fd lock(OpenGuardTarget(directory));
  if (lock.get() < 0) return LastError();
  const int error = FlockWithin(lock.get(), timeout_ms);
  if (error == ETIMEDOUT) return 0;
  struct stat folder;
  if (IsLockingUnsupported(error) && fstat(lock.get(), &folder) == 0) {
    return TakeNamedGuard(folder, timeout_ms, taken);
  }
  if (error != 0) return static_cast<SystemError>(error);
  lock.release();
  taken = true;
  return 0;
}

void RemoveStaleTemporaryCopies(std::initializer_list<Text> paths) {
  if (paths.size() == 0) return;
  // One listing serves all.
  std::vector<Text> prefixes;
  for (const Text& path : paths) prefixes.push_back(TempNamePrefix(path));
  DIR* listing = opendir(DirectoryOf(*paths.begin()).c_str());
  if (listing == nullptr) return;
  const time_t now = time(nullptr);
  while (dirent* entry = readdir(listing)) {
    bool ours = false;
    for (const Text& prefix : prefixes) ours = ours || IsTemporaryCopyName(entry->d_name, prefix);
    struct stat info;
    if (!ours || fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || now - info.st_mtime < kLeftoverAgeS) {
      continue;
    }
    unlinkat(dirfd(listing), entry->d_name, 0);
  }
  closedir(listing);
}

SystemError FindPlainFile(const Text& path, bool& found) {
  found = false;
  struct stat info;
  // A link is no plain file: moved into place it could point anywhere, even
  // at the executable it replaces.
  if (lstat(path.c_str(), &info) != 0) {
    // A missing folder on the way, or a file where a folder should be, simply
    // means no download is waiting.
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return LastError();
  }
  found = S_ISREG(info.st_mode);
  return 0;
}

SystemError ReadFileBeforeMove(const Text& path, size_t limit, std::string& head,
                               uint64_t& size) {
  Fd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return LastError();
  size = static_cast<uint64_t>(info.st_size);
  head.assign(static_cast<size_t>(std::min<uint64_t>(size, limit)), '\0');
  size_t got = 0;
  while (got < head.size()) {
    const ssize_t read_now = pread(file.get(), &head[got], head.size() - got, static_cast<off_t>(got));
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return LastError();
    if (read_now == 0) break;
    got += static_cast<size_t>(read_now);
  }
  head.resize(got);
  return 0;
}

SystemError DeleteFileNotForced(const Text& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return LastError();
  if (S_ISDIR(info.st_mode)) return EISDIR;
  // Not forced: a file nobody may write to is refused, even for root.
  if (S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  if (unlink(path.c_str()) != 0) return LastError();
  return 0;
}

bool IsFileNotFound(SystemError error) { return error == ENOENT; }

SystemError MoveFileNoReplace(const Text& from, const Text& to) {
  SystemError error = static_cast<SystemError>(RenameNoReplace(from, to));
  if (error == EXDEV) return MoveAcrossFileSystems(from, to);
  return error;
}

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

Text DescribeSystemError(SystemError error) { return strerror(static_cast<int>(error)); }

LocalTime GetLocalTimeNow() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour, local.tm_min, local.tm_sec};
}

void EndProcess(int exit_code) { _exit(exit_code); }
