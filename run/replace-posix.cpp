// The replace (Linux), every step relative to the folder's descriptor: the
// new program a copy only the run may write, with the current one's owner,
// group and mode, flushed; one rename, its detached signature kept beside.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "common/contents.h"
#include "common/file-posix.h"
#include "run/run_ops-posix.h"
#include "run/run_ops.h"

void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  // One listing serves both.
  const InFolder at = Locate(current);
  const int folder = openat(at.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = folder >= 0 ? fdopendir(folder) : nullptr;
  if (listing == nullptr) {
    if (folder >= 0) close(folder);
    return;
  }
  const time_t now = time(nullptr);
  while (dirent* entry = readdir(listing)) {
    struct stat info;
    if (fstatat(dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        IsLeftoverCopy(entry->d_name, at.name, BaseName(profile), now - info.st_mtime)) {
      unlinkat(dirfd(listing), entry->d_name, 0);
    }
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

// The download's detached signature, as it was verified, written whole
// beside the new program, and removed from the download's folder unless
// another was put there since.
SystemError KeepSignatureBeside(Replacement& replacement) {
  if (SystemError error = WriteFileWhole(replacement.folder, replacement.current + kSignatureSuffix,
                                         replacement.current, replacement.signature, 0644)) {
    return error;
  }
  const Download& download = *replacement.download;
  const std::string downloaded = download.name + kSignatureSuffix;
  struct stat named;
  if (fstatat(download.folder, downloaded.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(named, replacement.signature_file) && unlinkat(download.folder, downloaded.c_str(), 0) != 0) {
    return LastError();
  }
  return 0;
}

const char kPrevious[] = ".previous";

// Errors by which a file system says it has no hard links, or none for
// this file (a link count at its limit).
bool HasNoHardLinks(SystemError error) {
  return error == EPERM || error == EXDEV || error == EMLINK || error == ENOTSUP || error == EOPNOTSUPP ||
         error == ENOSYS;
}

// A copy of the file open at `from` in the folder open at `folder`, under
// the temporary name of `kin` (readable and writable by the run's user
// alone until it has the protection of `name` there), flushed; -1 in `copy`
// where none could be made. `read_failed` tells a failed read of `from`
// from a failed write.
SystemError CopyBeside(int folder, const Text& name, const Text& kin, int from, Fd& copy, Text& temp,
                       uint64_t& copied, bool& read_failed) {
  copy = CreateTemporaryBeside(folder, kin, temp);
  if (copy.get() < 0) return LastError();
  SystemError error = CopyContents(
      [&](uint64_t offset, size_t size, std::string& bytes) { return ReadAllAt(from, offset, size, bytes); },
      [&](uint64_t offset, const std::string& bytes) -> SystemError {
        return static_cast<SystemError>(WriteAllAt(copy.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)));
      },
      copied, read_failed);
  if (error == 0) error = GiveProtectionOf(folder, name, copy.get());
  if (error == 0 && fsync(copy.get()) != 0) error = LastError();
  return error;
}

// A second name `second` for the file `name` of the folder open at `folder`,
// made under the temporary name of `kin` (whose leftovers the next run
// clears) and renamed over an older one: a hard link, or where there are
// none, a durable copy with the file's protection. An older second name is
// removed where `name` is missing: it would stand for another program.
SystemError KeepSecondName(int folder, const Text& name, const Text& second, const Text& kin) {
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return LastError();
    return unlinkat(folder, second.c_str(), 0) == 0 || errno == ENOENT ? 0 : LastError();
  }
  Text temp;
  SystemError error = 0;
  MakeUnderTemporaryName(TempNamePrefix(kin), TempNameSeed(), temp, [&](const Text& at) {
    error = linkat(folder, name.c_str(), folder, at.c_str(), 0) == 0 ? 0 : LastError();
    return error != EEXIST;
  });
  if (HasNoHardLinks(error)) {
    Fd from(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    Fd copy(-1);
    uint64_t copied = 0;
    bool read_failed = false;
    error = from.get() < 0 ? LastError() : CopyBeside(folder, name, kin, from.get(), copy, temp, copied, read_failed);
  }
  if (error == 0 && renameat(folder, temp.c_str(), folder, second.c_str()) != 0) error = LastError();
  // A rename between two names of one file (a killed run had already made
  // the second name) leaves both: the temporary one goes either way.
  unlinkat(folder, temp.c_str(), 0);
  if (error != 0) return error;
  FlushFolderAt(folder);
  return 0;
}

}  // namespace

SystemError KeepPreviousProgram(const Text& current) {
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  const Text signature = at.name + kSignatureSuffix;
  if (SystemError error = KeepSecondName(at.folder.get(), at.name, at.name + kPrevious, at.name)) return error;
  return KeepSecondName(at.folder.get(), signature, at.name + kPrevious + kSignatureSuffix, at.name);
}

SystemError PutPreviousBack(const Text& current) {
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  const Text previous = at.name + kPrevious;
  if (renameat(at.folder.get(), previous.c_str(), at.folder.get(), at.name.c_str()) != 0) return LastError();
  // Its signature with it; the new program's, where the previous had none,
  // would stand for another program.
  const Text signature = at.name + kSignatureSuffix, previous_signature = previous + kSignatureSuffix;
  if (renameat(at.folder.get(), previous_signature.c_str(), at.folder.get(), signature.c_str()) != 0 &&
      (errno != ENOENT || (unlinkat(at.folder.get(), signature.c_str(), 0) != 0 && errno != ENOENT))) {
    return LastError();
  }
  FlushFolderAt(at.folder.get());
  return 0;
}

SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               Prepared& prepared) {
  prepared = Prepared::kNotMade;
  InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  Text name;
  Fd copy(-1);
  uint64_t copied = 0;
  bool read_failed = false;
  const SystemError error = CopyBeside(at.folder.get(), at.name, at.name, download.fd, copy, name, copied, read_failed);
  if (copy.get() < 0) return error;
  if (read_failed) prepared = Prepared::kDownloadUnreadable;
  if (error != 0) {
    unlinkat(at.folder.get(), name.c_str(), 0);
    return error;
  }
  prepared = Prepared::kMade;
  replacement = new Replacement{at.folder.release(), name, at.name, copy.release(), copied, false, &download,
                                std::string(), {}};
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

SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size, std::string& bytes) {
  return ReadAllAt(replacement.fd, offset, size, bytes);
}

SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current, Replaced& replaced) {
  replaced = Replaced::kReplaced;
  if (renameat(replacement.folder, replacement.name.c_str(), replacement.folder, replacement.current.c_str()) != 0) {
    const SystemError error = LastError();
    const bool current_refused = error == EISDIR || error == EBUSY || CheckCurrentReplaceable(current) != 0;
    replaced = current_refused ? Replaced::kCurrentRefused : Replaced::kNotPlaced;
    return error;
  }
  replacement.placed = true;
  FlushFolderAt(replacement.folder);
  if (replacement.signature.empty()) return 0;
  const SystemError error = KeepSignatureBeside(replacement);
  if (error != 0) replaced = Replaced::kSignatureNotKept;
  return error;
}
