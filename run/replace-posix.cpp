// The replace: the current executable checked before the stop, and the
// download put in its place in one rename; the leftovers of killed runs.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/file-posix.h"
#include "run/download-posix.h"
#include "run/run_ops.h"

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
