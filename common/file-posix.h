// File and path helpers shared by the POSIX platform files.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/contents.h"
#include "common/retry.h"
#include "common/system.h"
#include "common/temp_name.h"
#include "common/text.h"

// A file descriptor that is closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) : fd_(other.release()) {}
  Fd& operator=(Fd&& other) {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  // Hands the descriptor over; it stays open.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Whether two stat results are of one file (device and inode).
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes all of `data` at an offset of the file, retrying short writes; 0
// or the errno of the failure.
inline int WriteAllAt(int fd, const char* data, size_t size, off_t at) {
  while (size > 0) {
    ssize_t written = pwrite(fd, data, size, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      return static_cast<int>(LastError());
    }
    data += written;
    size -= static_cast<size_t>(written);
    at += written;
  }
  return 0;
}

// Reads up to `size` bytes at `offset` (fewer at the end of the file); 0 or
// the error of a failed read.
inline SystemError ReadAllAt(int fd, uint64_t offset, size_t size, std::string& bytes) {
  size_t got = 0;
  while (got < size) {
    MakeRoomToRead(bytes, got, size);
    const ssize_t read_now = pread(fd, &bytes[got], bytes.size() - got, static_cast<off_t>(offset + got));
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return LastError();
    if (read_now == 0) break;
    got += static_cast<size_t>(read_now);
  }
  bytes.resize(got);
  return 0;
}

// A point `ms` from now, on the clock that only goes forward.
inline timespec DeadlineIn(unsigned ms) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// What is left until the deadline, in milliseconds; 0 once it has passed.
inline unsigned MillisecondsLeft(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long left = (deadline.tv_sec - now.tv_sec) * 1000LL +
                         (deadline.tv_nsec - now.tv_nsec) / 1000000LL;
  return left > 0 ? static_cast<unsigned>(left) : 0;
}

// An exclusive flock on `fd`, within `timeout_ms`: 0 once taken, ETIMEDOUT
// when another holder kept it, or the errno of a failure.
inline int FlockWithin(int fd, unsigned timeout_ms) {
  const auto held = [](SystemError error) { return error == EWOULDBLOCK || error == EINTR; };
  const SystemError error = RetryWithin(
      PollingFor(timeout_ms),
      [&]() -> SystemError { return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : LastError(); }, held);
  return held(error) ? ETIMEDOUT : static_cast<int>(error);
}

// Renames without ever replacing `to`; 0 or the errno of the failure. Some
// file systems lack the kernel's no-replace rename; a hard link refuses an
// existing name just as well.
inline int RenameNoReplace(const Text& from, const Text& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  if (unlink(from.c_str()) != 0) return errno;
  return 0;
}

// The folder part of a path ("/" for a file at the root, "." for a bare name).
inline Text DirectoryOf(const Text& path) {
  size_t slash = path.rfind('/');
  if (slash == Text::npos) return ".";
  return slash == 0 ? Text("/") : path.substr(0, slash);
}

inline Text BaseName(const Text& path) {
  size_t slash = path.rfind('/');
  return slash == Text::npos ? path : path.substr(slash + 1);
}

// Opens a folder (O_PATH) by a path of any length: the kernel refuses a
// path of PATH_MAX bytes or more whole, so a longer one is walked a name at
// a time. -1 with errno where it cannot be opened.
inline int OpenFolderAnyLength(const Text& folder) {
  if (folder.size() < PATH_MAX) return open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  int fd = open(folder[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t at = 0; fd >= 0 && at < folder.size();) {
    size_t end = folder.find('/', at);
    if (end == Text::npos) end = folder.size();
    if (end > at) {
      const int inner = openat(fd, folder.substr(at, end - at).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      const int error = errno;
      close(fd);
      fd = inner;
      errno = error;
    }
    at = end + 1;
  }
  return fd;
}

// Makes the latest renames in the folder open at `folder_fd` (O_PATH will
// do) durable.
inline void FlushFolderAt(int folder_fd) {
  Fd dir(openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
}

// A path's folder, open (O_PATH), and its last name: every step made
// relative to the folder works on a path of any length and stays on the
// folder that was opened.
struct InFolder {
  Fd folder;
  Text name;
};

inline InFolder Locate(const Text& path) {
  InFolder at{Fd(-1), BaseName(path)};
  // Last, so that errno tells why it could not be opened.
  at.folder = Fd(OpenFolderAnyLength(DirectoryOf(path)));
  return at;
}

// Where a run's temporary names start: the time and the process, so that
// two runs seldom try the same names.
inline uint64_t TempNameSeed() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_nsec) * 2654435761u ^ static_cast<uint64_t>(getpid());
}

// A new file in the folder open at `folder`, under the tool's temporary
// name for `name` (so that a run killed meanwhile leaves nothing the next
// one does not remove), created by this call for reading and writing by its
// user alone; a name that is taken is tried under another. -1 with errno
// where none can be made.
inline Fd CreateTemporaryBeside(int folder, const Text& name, Text& temp) {
  Fd file(-1);
  MakeUnderTemporaryName(TempNamePrefix(name), TempNameSeed(), temp, [&](const Text& at) {
    file = Fd(openat(folder, at.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return file.get() >= 0 || errno != EEXIST;
  });
  return file;
}

// EPERM where the file or folder open at `fd` is immutable or append-only
// (chattr +i, +a): no name of it, or in it, can then be replaced or removed,
// even by root. A file system without such attributes has none.
inline SystemError CheckNoFreezingAttributes(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return 0;
  return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0 ? EPERM : 0;
}

// Whether this process may replace or remove a name in the folder open at
// `folder_fd` (O_PATH will do): it may write the folder, the folder is
// neither immutable nor append-only and, where it is sticky, this process
// owns the folder or the file (`file`, or none where the name is free).
inline SystemError CheckFolderLetsRename(int folder_fd, const struct stat* file) {
  if (faccessat(folder_fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return LastError();
  struct stat info;
  if (fstat(folder_fd, &info) != 0) return LastError();
  // A folder that may be entered and written but not read cannot be asked
  // for its attributes; its permissions can.
  Fd opened(openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (opened.get() >= 0) {
    if (SystemError error = CheckNoFreezingAttributes(opened.get())) return error;
  }
  const uid_t me = geteuid();
  if ((info.st_mode & S_ISVTX) != 0 && me != 0 && info.st_uid != me && file != nullptr &&
      file->st_uid != me) {
    return EPERM;
  }
  return 0;
}

// Writes `bytes` as the file `name` in the folder open at `folder`, whole:
// under the temporary name of `kin` (its leftovers are cleared), with `mode`,
// flushed, renamed over what stood there, durably. 0 or the errno.
inline SystemError WriteFileWhole(int folder, const Text& name, const Text& kin, const std::string& bytes,
                                  mode_t mode) {
  Text temp;
  Fd file = CreateTemporaryBeside(folder, kin, temp);
  if (file.get() < 0) return LastError();
  SystemError error = static_cast<SystemError>(WriteAllAt(file.get(), bytes.data(), bytes.size(), 0));
  if (error == 0 && fchmod(file.get(), mode) != 0) error = LastError();
  if (error == 0 && fsync(file.get()) != 0) error = LastError();
  if (error == 0 && renameat(folder, temp.c_str(), folder, name.c_str()) != 0) error = LastError();
  if (error != 0) {
    unlinkat(folder, temp.c_str(), 0);
    return error;
  }
  FlushFolderAt(folder);
  return 0;
}
