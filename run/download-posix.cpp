// The download: found, opened once and held, read where its headers lie,
// and waited for while another process still writes it.
#include "run/download-posix.h"

#include <elf.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/file-posix.h"
#include "run/run_ops.h"

namespace {

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

}  // namespace

SystemError CheckNoFreezingAttributes(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return 0;
  return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0 ? EPERM : 0;
}

SystemError CheckFolderLetsRename(int folder_fd, const struct stat* file) {
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

SystemError FindPlainFile(const Text& path, bool& found) {
  found = false;
  struct stat info;
  // A link is no plain file: moved into place it could point anywhere, even
  // at the executable it replaces.
  const InFolder at = Locate(path);
  if (at.folder.get() < 0 || fstatat(at.folder.get(), at.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    // A missing folder on the way, or a file where a folder should be, simply
    // means no download is waiting.
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return LastError();
  }
  found = S_ISREG(info.st_mode);
  return 0;
}


SystemError OpenDownload(const Text& path, Download*& download) {
  InFolder at = Locate(path);
  if (at.folder.get() < 0) return LastError();
  Fd file(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return EISDIR;
  // It is removed once copied: its folder and its attributes must allow it.
  if (SystemError error = CheckNoFreezingAttributes(file.get())) return error;
  if (SystemError error = CheckFolderLetsRename(at.folder.get(), &info)) return error;
  download = new Download{at.folder.release(), at.name, file.release(), info, std::string(), {}};
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  close(download->fd);
  close(download->folder);
  delete download;
}

uint64_t DownloadSize(const Download& download) {
  return static_cast<uint64_t>(download.opened.st_size);
}

SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  return ReadAllAt(download.fd, offset, size, bytes);
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

SystemError CompareDownloadWithCurrent(Download& download, const Text& current, bool& same_file,
                                       bool& same_bytes) {
  same_file = same_bytes = false;
  const InFolder at = Locate(current);
  Fd program(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (program.get() < 0 || fstat(program.get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  same_file = info.st_dev == download.opened.st_dev && info.st_ino == download.opened.st_ino;
  if (same_file || info.st_size != download.opened.st_size) return 0;
  std::string theirs, ours;
  for (uint64_t at = 0; at < static_cast<uint64_t>(info.st_size); at += ours.size()) {
    if (SystemError error = ReadAllAt(download.fd, at, 1 << 18, theirs)) return error;
    if (ReadAllAt(program.get(), at, 1 << 18, ours) != 0 || ours != theirs || ours.empty()) return 0;
  }
  same_bytes = true;
  return 0;
}

SystemError RemoveDownload(Download& download) {
  // Another file put at its name meanwhile is a new download, for the next
  // run to look at.
  struct stat named;
  if (fstatat(download.folder, download.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : LastError();
  }
  if (named.st_dev != download.opened.st_dev || named.st_ino != download.opened.st_ino) return 0;
  if (unlinkat(download.folder, download.name.c_str(), 0) != 0) return LastError();
  FlushFolderAt(download.folder);
  return 0;
}

RunnableMachines GetRunnableMachines() {
  // The kernel runs a script through its interpreter, as this process would
  // run it: a regular file this process may execute.
  return {ProgramFormat::kElf, {}, kOwnElfMachine, [](const std::string& interpreter) {
            struct stat info;
            return stat(interpreter.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                   faccessat(AT_FDCWD, interpreter.c_str(), X_OK, AT_EACCESS) == 0;
          }};
}
