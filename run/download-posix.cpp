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
#include <vector>

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

namespace {

enum class Walk { kOpened, kMissing, kStrangersLink, kFailed };

// The folder `below` under the folder open at `from`, opened (O_PATH) a name
// at a time. A link on the way is followed only where its owner is root or
// `owner`, its target walked by the same rule, from the link's folder or
// from the root; any other is a stranger's, who may not choose where the
// way leads. kFailed leaves the reason in errno.
Walk OpenFolderBelow(int from, const Text& below, uid_t owner, Fd& opened) {
  std::vector<Text> parts;  // still to walk, the next last
  const auto push_parts = [&](const Text& path) {
    for (size_t end = path.size(); end > 0;) {
      const size_t slash = path.rfind('/', end - 1);
      const size_t start = slash == Text::npos ? 0 : slash + 1;
      if (end > start) parts.push_back(path.substr(start, end - start));
      end = slash == Text::npos ? 0 : slash;
    }
  };
  push_parts(below);
  Fd at(openat(from, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  int links = 0;
  while (at.get() >= 0 && !parts.empty()) {
    const Text name = parts.back();
    parts.pop_back();
    if (name == ".") continue;
    Fd next(openat(at.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (next.get() < 0 || fstat(next.get(), &info) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? Walk::kMissing : Walk::kFailed;
    }
    if (S_ISDIR(info.st_mode)) {
      at = std::move(next);
      continue;
    }
    if (!S_ISLNK(info.st_mode)) return Walk::kMissing;
    if (info.st_uid != 0 && info.st_uid != owner) return Walk::kStrangersLink;
    char target[PATH_MAX];
    const ssize_t length = readlinkat(next.get(), "", target, sizeof target);
    if (++links > 40 || length <= 0 || length == static_cast<ssize_t>(sizeof target)) {
      if (length > 0) errno = ELOOP;
      return Walk::kFailed;
    }
    push_parts(Text(target, static_cast<size_t>(length)));
    if (target[0] == '/') at = Fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  if (at.get() < 0) return Walk::kFailed;
  opened = std::move(at);
  return Walk::kOpened;
}

// The download's folder, reached from the program folder as FindDownload
// says; its name there.
Walk OpenDownloadFolder(const Text& directory, const Text& below, InFolder& at) {
  Fd program(OpenFolderAnyLength(directory));
  struct stat folder;
  if (program.get() < 0 || fstat(program.get(), &folder) != 0) return Walk::kFailed;
  at.name = BaseName(below);
  return OpenFolderBelow(program.get(), DirectoryOf(below), folder.st_uid, at.folder);
}

}  // namespace

SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found) {
  found = DownloadFound::kNothing;
  InFolder at{Fd(-1), Text()};
  switch (OpenDownloadFolder(directory, below, at)) {
    case Walk::kMissing:
      return 0;
    case Walk::kStrangersLink:
      found = DownloadFound::kBehindAStrangersLink;
      return 0;
    case Walk::kFailed:
      return LastError();
    case Walk::kOpened:
      break;
  }
  // A link is no plain file: moved into place it could point anywhere, even
  // at the executable it replaces.
  struct stat info;
  if (fstatat(at.folder.get(), at.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    // A file where a folder should be, or nothing, means no download.
    return errno == ENOENT || errno == ENOTDIR ? 0 : LastError();
  }
  if (S_ISREG(info.st_mode)) found = DownloadFound::kPlainFile;
  return 0;
}

SystemError OpenDownload(const Text& directory, const Text& below, Download*& download) {
  InFolder at{Fd(-1), Text()};
  const Walk walk = OpenDownloadFolder(directory, below, at);
  if (walk != Walk::kOpened) return walk == Walk::kFailed ? LastError() : walk == Walk::kMissing ? ENOENT : ELOOP;
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
