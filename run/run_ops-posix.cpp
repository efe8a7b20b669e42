#include "run/run_ops.h"

#include <dirent.h>
#include <locale.h>
#include <elf.h>
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

// The machine this tool is built for: a downloaded updater for another one
// cannot run here.
#if defined(__x86_64__)
constexpr uint16_t kOwnElfMachine = EM_X86_64;
#elif defined(__i386__)
constexpr uint16_t kOwnElfMachine = EM_386;
#elif defined(__aarch64__)
constexpr uint16_t kOwnElfMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t kOwnElfMachine = EM_ARM;
#elif defined(__riscv)
constexpr uint16_t kOwnElfMachine = EM_RISCV;
#else
constexpr uint16_t kOwnElfMachine = 0;  // not known: not checked
#endif

// Whether this process may replace or remove a name in `folder`: it may
// write the folder and, where the folder is sticky, owns the folder or the
// file (`file`, or none where the name is free).
SystemError CheckFolderLetsRename(const Text& folder, const struct stat* file) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return LastError();
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return LastError();
  const uid_t me = geteuid();
  if ((info.st_mode & S_ISVTX) != 0 && me != 0 && info.st_uid != me && file != nullptr &&
      file->st_uid != me) {
    return EPERM;
  }
  return 0;
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

void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  // One listing serves both.
  const Text current_prefix = TempNamePrefix(BaseName(current));
  const Text profile_prefix = TempNamePrefix(BaseName(profile));
  DIR* listing = opendir(DirectoryOf(current).c_str());
  if (listing == nullptr) return;
  const time_t now = time(nullptr);
  while (dirent* entry = readdir(listing)) {
    const bool of_current = IsTemporaryCopyName(entry->d_name, current_prefix);
    struct stat info;
    if ((!of_current && !IsTemporaryCopyName(entry->d_name, profile_prefix)) ||
        fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || (!of_current && now - info.st_mtime < kLeftoverAgeS)) {
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

struct Download {
  Text path;
  int fd;
  struct stat opened;
};

SystemError OpenDownload(const Text& path, Download*& download) {
  Fd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return EISDIR;
  // It is renamed out of its folder, or removed from it once copied.
  if (SystemError error = CheckFolderLetsRename(DirectoryOf(path), &info)) return error;
  download = new Download{path, file.release(), info};
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  close(download->fd);
  delete download;
}

uint64_t DownloadSize(const Download& download) {
  return static_cast<uint64_t>(download.opened.st_size);
}

SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t got = 0;
  while (got < size) {
    const ssize_t read_now =
        pread(download.fd, &bytes[got], size - got, static_cast<off_t>(offset + got));
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return LastError();
    if (read_now == 0) break;
    got += static_cast<size_t>(read_now);
  }
  bytes.resize(got);
  return 0;
}

SystemError WaitUntilNoOtherWriter(Download& download, bool& still_written) {
  // A read lease cannot be had while any process, this one included, has
  // the file open for writing. It is let go at once: a writer that opens
  // the file meanwhile breaks it with a signal that main() ignores.
  const SystemError error = RetryWithin(
      kHeldFile,
      [&]() -> SystemError {
        if (fcntl(download.fd, F_SETLEASE, F_RDLCK) != 0) return LastError();
        fcntl(download.fd, F_SETLEASE, F_UNLCK);
        return 0;
      },
      [](SystemError lease_error) { return lease_error == EAGAIN; });
  still_written = error == EAGAIN;
  // Only the file's owner (or a holder of CAP_LEASE) may take a lease, and
  // not every file system has them: who writes it then cannot be known.
  if (error == EACCES || error == EPERM || error == EINVAL || error == ENOLCK) return 0;
  return still_written ? 0 : error;
}

bool DownloadIsStillTheFileChecked(Download& download) {
  struct stat named, now;
  return lstat(download.path.c_str(), &named) == 0 && fstat(download.fd, &now) == 0 &&
         named.st_dev == download.opened.st_dev && named.st_ino == download.opened.st_ino &&
         now.st_size == download.opened.st_size;
}

RunnableMachines GetRunnableMachines() { return {{}, kOwnElfMachine}; }

SystemError CheckCurrentReplaceable(const Text& current) {
  struct stat info;
  const bool exists = lstat(current.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return LastError();
  if (exists && S_ISDIR(info.st_mode)) return EISDIR;
  // Not forced: a file nobody may write to is refused, even for root, as
  // Windows refuses a read-only one.
  if (exists && S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return EACCES;
  }
  return CheckFolderLetsRename(DirectoryOf(current), exists ? &info : nullptr);
}

namespace {

// From another file system: a whole copy, flushed, under a temporary name
// beside the current executable, renamed over it; only then is the
// download removed.
SystemError CopyOver(Download& download, const Text& current) {
  Text temp = TempNameBeside(current);
  Fd target(mkostemp(&temp[0], O_CLOEXEC));
  if (target.get() < 0) return LastError();
  SystemError error = CopyContents(download.fd, target.get());
  if (error == 0 && fchmod(target.get(), download.opened.st_mode & 07777) != 0) error = LastError();
  if (error == 0 && fsync(target.get()) != 0) error = LastError();
  if (error == 0 && rename(temp.c_str(), current.c_str()) != 0) error = LastError();
  if (error != 0) {
    unlink(temp.c_str());
    return error;
  }
  FlushFolder(DirectoryOf(current));
  if (unlink(download.path.c_str()) != 0) return LastError();
  return 0;
}

}  // namespace

SystemError ReplaceCurrentWithDownload(Download& download, const Text& current,
                                       bool& current_refused) {
  SystemError error = rename(download.path.c_str(), current.c_str()) == 0 ? 0 : LastError();
  if (error == EXDEV) {
    error = CopyOver(download, current);
  } else if (error == 0) {
    FlushFolder(DirectoryOf(current));
  }
  current_refused = error != 0 && (error == EISDIR || error == EBUSY || CheckCurrentReplaceable(current) != 0);
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

// The C locale's words, whatever language the machine speaks.
Text DescribeSystemError(SystemError error) {
  const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale == static_cast<locale_t>(0)) return Text();
  Text words = strerror_l(static_cast<int>(error), c_locale);
  freelocale(c_locale);
  return words;
}

LocalTime GetLocalTimeNow() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour, local.tm_min, local.tm_sec};
}

void EndProcess(int exit_code) { _exit(exit_code); }
