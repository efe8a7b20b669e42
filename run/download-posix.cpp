// The download (Linux): reached a name at a time from the program folder,
// opened read-only, never through a link; another writer is told by a lease.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/contents.h"
#include "common/file-posix.h"
#include "run/run_ops-posix.h"
#include "run/run_ops.h"

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

// Waits, within the held-file bound, until no process has the file open for
// writing: until then no read lease can be had. It is let go at once (a
// writer opening the file meanwhile breaks it with a signal main() ignores).
DownloadOpen WaitUntilNoOtherWriter(int fd, SystemError& error) {
  error = RetryWithin(
      kHeldFile,
      [&]() -> SystemError {
        if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return LastError();
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return 0;
      },
      [](SystemError lease_error) { return lease_error == EAGAIN; });
  if (error == 0) return DownloadOpen::kHeld;
  if (error == EAGAIN) {
    error = 0;
    return DownloadOpen::kStillWritten;
  }
  // Only the file's owner (or a holder of CAP_LEASE) may take a lease, and
  // not every file system has them: who writes it then cannot be known.
  if (error == EACCES || error == EPERM || error == EINVAL || error == ENOLCK) {
    error = 0;
    return DownloadOpen::kHeld;
  }
  return DownloadOpen::kWritersUnknown;
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

SystemError OpenDownload(const Text& directory, const Text& below, Download*& download, DownloadOpen& open) {
  open = DownloadOpen::kCannotOpen;
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
  SystemError error = 0;
  open = WaitUntilNoOtherWriter(file.get(), error);
  if (open != DownloadOpen::kHeld) return error;
  download = new Download{at.folder.release(), at.name, file.release(), info};
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  close(download->fd);
  close(download->folder);
  delete download;
}

SystemError CompareDownloadWithCurrent(Download& download, const Text& current, Likeness& likeness) {
  likeness = Likeness::kAnother;
  const InFolder at = Locate(current);
  Fd program(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (program.get() < 0 || fstat(program.get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  if (SameFile(info, download.opened)) {
    likeness = Likeness::kSameFile;
    return 0;
  }
  if (info.st_size != download.opened.st_size) return 0;
  bool same = false;
  const SystemError error = CompareContents(
      [&](uint64_t offset, size_t size, std::string& bytes) { return ReadAllAt(download.fd, offset, size, bytes); },
      [&](uint64_t offset, size_t size, std::string& bytes) { return ReadAllAt(program.get(), offset, size, bytes); },
      static_cast<uint64_t>(info.st_size), same);
  if (same) likeness = Likeness::kSameBytes;
  return error;
}

SystemError RemoveDownload(Download& download) {
  // Another file put at its name meanwhile is a new download, for the next
  // run to look at.
  struct stat named;
  if (fstatat(download.folder, download.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : LastError();
  }
  if (!SameFile(named, download.opened)) return 0;
  if (unlinkat(download.folder, download.name.c_str(), 0) != 0) return LastError();
  FlushFolderAt(download.folder);
  return 0;
}
