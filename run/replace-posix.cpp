// The replace: the current executable checked before the stop, and the
// download put in its place in one rename; the leftovers of killed runs.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "common/file-posix.h"
#include "run/download-posix.h"
#include "run/run_ops.h"

void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  // One listing serves both.
  const Text current_prefix = TempNamePrefix(BaseName(current));
  const Text profile_prefix = TempNamePrefix(BaseName(profile));
  const InFolder at = Locate(current);
  const int folder = openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = folder >= 0 ? fdopendir(folder) : nullptr;
  if (listing == nullptr) {
    if (folder >= 0) close(folder);
    return;
  }
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
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  struct stat info;
  const bool exists = fstatat(at.folder.get(), at.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return LastError();
  if (exists && S_ISDIR(info.st_mode)) return EISDIR;
  // Not forced: a file nobody may write to is refused, even for root, as
  // Windows refuses a read-only one.
  if (exists && S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return EACCES;
  }
  if (exists && S_ISREG(info.st_mode)) {
    Fd file(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() >= 0) {
      if (SystemError error = CheckNoFreezingAttributes(file.get())) return error;
    }
  }
  return CheckFolderLetsRename(at.folder.get(), exists ? &info : nullptr);
}

namespace {

// Copies every byte; `read_failed` tells a failed read of `from_fd` from a
// failed write of `to_fd` (a full disk, a quota, a file size limit).
SystemError CopyContents(int from_fd, int to_fd, bool& read_failed) {
  std::string chunk;
  for (uint64_t at = 0;; at += chunk.size()) {
    if (SystemError error = ReadAllAt(from_fd, at, 1 << 18, chunk)) {
      read_failed = true;
      return error;
    }
    if (chunk.empty()) return 0;
    if (int error = WriteAllAt(to_fd, chunk.data(), chunk.size(), static_cast<off_t>(at))) {
      return static_cast<SystemError>(error);
    }
  }
}

// The current executable's owner, group and mode for the new program, so
// that it is no more writable than the one it replaces, whoever wrote the
// download. Only root may give a file away; a run that cannot keeps it as
// its own user's, without the set-ID bits that came with the owner. Where
// there is no current executable, the program is its user's, 0755.
SystemError GiveProtectionOf(int folder, const Text& current, int fd) {
  uid_t owner = geteuid();
  gid_t group = getegid();
  mode_t mode = 0755;
  struct stat info;
  if (fstatat(folder, current.c_str(), &info, 0) == 0 && S_ISREG(info.st_mode)) {
    owner = info.st_uid;
    group = info.st_gid;
    mode = info.st_mode & 07777;
  }
  if (fchown(fd, owner, group) != 0) {
    if (errno != EPERM) return LastError();
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  }
  return fchmod(fd, mode) == 0 ? 0 : LastError();
}

}  // namespace

SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               bool& download_unreadable) {
  download_unreadable = false;
  InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  // Readable and writable by the run's user alone until it has the current
  // executable's protection.
  Text name;
  Fd copy = CreateTemporaryBeside(at.folder.get(), at.name, name);
  if (copy.get() < 0) return LastError();
  SystemError error = CopyContents(download.fd, copy.get(), download_unreadable);
  if (error == 0) error = GiveProtectionOf(at.folder.get(), at.name, copy.get());
  if (error == 0 && fsync(copy.get()) != 0) error = LastError();
  struct stat made;
  if (error == 0 && fstat(copy.get(), &made) != 0) error = LastError();
  if (error != 0) {
    unlinkat(at.folder.get(), name.c_str(), 0);
    return error;
  }
  replacement = new Replacement{at.folder.release(), name, at.name, copy.release(),
                                static_cast<uint64_t>(made.st_size), false};
  return 0;
}

void DiscardReplacement(Replacement* replacement) {
  if (replacement == nullptr) return;
  close(replacement->fd);
  if (!replacement->placed) unlinkat(replacement->folder, replacement->name.c_str(), 0);
  close(replacement->folder);
  delete replacement;
}

uint64_t ReplacementSize(const Replacement& replacement) { return replacement.size; }

SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size,
                              std::string& bytes) {
  return ReadAllAt(replacement.fd, offset, size, bytes);
}

SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current,
                                          bool& current_refused) {
  current_refused = false;
  if (renameat(replacement.folder, replacement.name.c_str(), replacement.folder,
               replacement.current.c_str()) != 0) {
    const SystemError error = LastError();
    current_refused = error == EISDIR || error == EBUSY || CheckCurrentReplaceable(current) != 0;
    return error;
  }
  replacement.placed = true;
  FlushFolderAt(replacement.folder);
  return 0;
}
