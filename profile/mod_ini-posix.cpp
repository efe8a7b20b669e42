#include "profile/mod_ini.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <string_view>

#include "common/file-posix.h"
#include "profile/ini_edit.h"

namespace {

// A profile larger than this is no profile a person keeps; it is left alone
// rather than read whole (a sparse file could claim any size at all).
constexpr off_t kMaxProfileBytes = off_t{256} << 20;

// Starting over is needed only when another writer replaced the file
// meanwhile; a few times is plenty.
constexpr int kAttempts = 5;

// The whole file, in memory that is given back on every path. Allocated
// without exceptions, so that a file too large for the memory at hand is a
// refusal like any other.
struct Content {
  char* data = nullptr;
  size_t size = 0;
  ~Content() { free(data); }
  std::string_view view() const { return {data, size}; }
};

bool ReadAll(int fd, size_t size_hint, Content& content) {
  size_t capacity = size_hint + 1;
  content.data = static_cast<char*>(malloc(capacity));
  if (content.data == nullptr) return false;
  for (;;) {
    if (content.size == capacity) {
      char* grown = static_cast<char*>(realloc(content.data, capacity * 2));
      if (grown == nullptr) return false;
      content.data = grown;
      capacity *= 2;
    }
    ssize_t got = pread(fd, content.data + content.size, capacity - content.size,
                        static_cast<off_t>(content.size));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    content.size += static_cast<size_t>(got);
    // A file that grows while it is read must not be followed for ever.
    if (content.size > static_cast<size_t>(kMaxProfileBytes)) return false;
  }
}

// A new profile is readable and writable by its owner whatever the umask, or
// the next run could not add its record.
mode_t ModeForNewFile() {
  mode_t mask = umask(0);
  umask(mask);
  return (0666 & ~mask) | S_IRUSR | S_IWUSR;
}

// Unchanged since it was read: same file, size and time of last change.
bool Unchanged(const struct stat& a, const struct stat& b) {
  return SameFile(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

size_t NewSize(std::string_view content, const IniEdit& edit) {
  return content.size() - edit.erase + edit.insert.size();
}

// Writes bytes [from, to) of the new content, the old one with the edit
// spliced in, at their own offsets: the new file is written in pieces around
// the change, never copied whole.
bool WriteNewContent(int out, std::string_view content, const IniEdit& edit, size_t from,
                     size_t to) {
  const std::string_view pieces[] = {content.substr(0, edit.at), edit.insert,
                                     content.substr(edit.at + edit.erase)};
  size_t start = 0;
  for (std::string_view piece : pieces) {
    const size_t begin = std::max(from, start), end = std::min(to, start + piece.size());
    if (begin < end &&
        WriteAllAt(out, piece.data() + (begin - start), end - begin, static_cast<off_t>(begin)) != 0) {
      return false;
    }
    start += piece.size();
  }
  return true;
}

enum class Outcome { kDone, kRefused, kChangedMeanwhile };

// The new content in full in a temporary file beside the old one, renamed
// over it: a crash at any point leaves the old file or the new one. Used only
// where the new file keeps all the old one had: its owner, group and mode,
// and no extended attributes (ACLs among them) to lose. kRefused when the
// file cannot be replaced so; the caller then writes in place.
Outcome ReplaceByRename(const Text& file, std::string_view content, const IniEdit& edit,
                        const struct stat& read_as, bool is_new) {
  const InFolder at = Locate(file);
  Text name;
  Fd out = CreateTemporaryBeside(at.folder.get(), at.name, name);
  const Text temp = DirectoryOf(file) + "/" + name;
  if (out.get() < 0) return Outcome::kRefused;
  struct stat made;
  bool kept = is_new || (fchown(out.get(), read_as.st_uid, read_as.st_gid) == 0 &&
                         fstat(out.get(), &made) == 0 && made.st_uid == read_as.st_uid &&
                         made.st_gid == read_as.st_gid);
  Outcome outcome = Outcome::kRefused;
  if (kept && WriteNewContent(out.get(), content, edit, 0, NewSize(content, edit)) &&
      fchmod(out.get(), read_as.st_mode & 07777) == 0 && fsync(out.get()) == 0) {
    struct stat now;
    if (is_new) {
      // Never over a file that appeared meanwhile, or a dangling link.
      const int error = RenameNoReplace(temp, file);
      outcome = error == 0 ? Outcome::kDone : error == EEXIST ? Outcome::kChangedMeanwhile : Outcome::kRefused;
    } else if (lstat(file.c_str(), &now) != 0 || !Unchanged(now, read_as)) {
      // Another writer got in while this one was stalled: its record must
      // not be lost, so start again from what it wrote.
      outcome = Outcome::kChangedMeanwhile;
    } else {
      outcome = rename(temp.c_str(), file.c_str()) == 0 ? Outcome::kDone : Outcome::kRefused;
    }
  }
  if (outcome != Outcome::kDone) {
    unlink(temp.c_str());
    return outcome;
  }
  // The rename itself is made durable by flushing the folder.
  FlushFolderAt(at.folder.get());
  return Outcome::kDone;
}

// As the Windows profile call writes: into the file itself, from the first
// byte that changes. The file keeps its identity, links and attributes, and
// a writer killed at any point loses no line the file had:
// - where the record changes length, the rest of the file after it must
//   move: a copy of that rest is first kept after the old end, so that
//   every line stands whole somewhere while it moves;
// - what must lie past the old end (that copy, or the new end of a file
//   that grows) is written and flushed before any old byte is touched (a
//   network file system reports a full disk only then); where it cannot be,
//   the file is cut back as it was;
// - then the record and the rest are written in their places, front to
//   back, and the file is cut to its length. A kill before that leaves lines
//   twice, never one lost.
Outcome WriteInPlace(int fd, std::string_view content, const IniEdit& edit,
                     const struct stat& read_as) {
  struct stat now;
  if (fstat(fd, &now) != 0 || !Unchanged(now, read_as)) return Outcome::kChangedMeanwhile;
  const size_t old_size = content.size(), new_size = NewSize(content, edit);
  const std::string_view rest = content.substr(edit.at + edit.erase);
  const size_t kept_end = old_size + (new_size != old_size ? rest.size() : 0);
  if (std::max(kept_end, new_size) > old_size) {
    const bool room =
        WriteAllAt(fd, rest.data(), kept_end - old_size, static_cast<off_t>(old_size)) == 0 &&
        WriteNewContent(fd, content, edit, std::max(kept_end, old_size), new_size) &&
        fdatasync(fd) == 0;
    if (!room) {
      if (ftruncate(fd, static_cast<off_t>(old_size)) == 0) fsync(fd);
      return Outcome::kRefused;
    }
  }
  if (!WriteNewContent(fd, content, edit, edit.at, new_size) ||
      (std::max(kept_end, old_size) > new_size && ftruncate(fd, static_cast<off_t>(new_size)) != 0)) {
    return Outcome::kRefused;
  }
  fsync(fd);
  return Outcome::kDone;
}

// Whether a new file renamed over the old name would keep all the old one
// had for whoever else uses it: the name is the file itself (no link to
// follow), its only name, with no extended attributes.
bool MayReplaceByRename(const Text& file, int fd, const struct stat& info) {
  struct stat named;
  if (lstat(file.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || !SameFile(named, info)) {
    return false;
  }
  if (info.st_nlink != 1) return false;
  ssize_t attributes = flistxattr(fd, nullptr, 0);
  return attributes == 0 || (attributes < 0 && errno == ENOTSUP);
}

// Takes a write lock on the whole profile (an open file description's
// lock, as flock's, released when the file is closed) within `timeout_ms`:
// 0 once taken, or once only readers' locks stand in its way; ETIMEDOUT
// while another writer keeps it; the errno of a failure. A write lock can
// be held only through a descriptor open for writing, so its holder may
// write the profile, and is waited for. A read lock (or a flock) anyone who
// may read the file can take; writers take none, so one holds no writer
// back: a reader cannot delay or keep out a record.
int LockProfileWithin(int fd, unsigned timeout_ms) {
  const auto held = [](SystemError error) { return error == EAGAIN; };
  const SystemError error = RetryWithin(
      PollingFor(timeout_ms),
      [&]() -> SystemError {
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
        if (errno != EAGAIN && errno != EACCES) return LastError();
        // The lock that stands in the way; none by now: try again at once.
        if (fcntl(fd, F_OFD_GETLK, &whole) != 0) return LastError();
        return whole.l_type == F_RDLCK ? 0 : EAGAIN;
      },
      held);
  return held(error) ? ETIMEDOUT : static_cast<int>(error);
}

Outcome WriteOnce(const Text& file, const Text& section, const Text& key, const Text& value,
                  const timespec& lock_deadline) {
  // Without blocking: a FIFO or a device in the profile's place must not hold
  // the run. The file must allow writing, as on Windows.
  Fd fd(open(file.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) return Outcome::kRefused;
    struct stat fresh = {};
    fresh.st_mode = ModeForNewFile();
    const IniEdit edit = PlanIniEdit({}, section, key, value);
    const Outcome outcome = ReplaceByRename(file, {}, edit, fresh, true);
    if (outcome != Outcome::kRefused) return outcome;
    // A folder that takes new names but lets none be renamed (append-only):
    // the new file is made under its own name and written in place.
    Fd made(open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, fresh.st_mode));
    if (made.get() < 0) return errno == EEXIST ? Outcome::kChangedMeanwhile : Outcome::kRefused;
    if (fchmod(made.get(), fresh.st_mode) != 0 || fstat(made.get(), &fresh) != 0) return Outcome::kRefused;
    return WriteInPlace(made.get(), {}, edit, fresh);
  }
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return Outcome::kRefused;
  // A read-only profile is refused, as the Windows call refuses it, even
  // where permissions would let root write it.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return Outcome::kRefused;

  // A file system without locks (some network and FUSE mounts) cannot make
  // writers take turns; it is written as the Windows call writes, unlocked.
  if (LockProfileWithin(fd.get(), MillisecondsLeft(lock_deadline)) == ETIMEDOUT) return Outcome::kRefused;
  // The holder of the lock may have renamed a new file over this one.
  struct stat named;
  if (stat(file.c_str(), &named) != 0 || !SameFile(named, info)) return Outcome::kChangedMeanwhile;
  if (fstat(fd.get(), &info) != 0) return Outcome::kRefused;
  if (info.st_size > kMaxProfileBytes) return Outcome::kRefused;

  Content content;
  if (!ReadAll(fd.get(), static_cast<size_t>(info.st_size), content)) return Outcome::kRefused;
  // The new file is written in pieces around the change, never copied whole.
  const IniEdit edit = PlanIniEdit(content.view(), section, key, value);
  if (MayReplaceByRename(file, fd.get(), info)) {
    Outcome outcome = ReplaceByRename(file, content.view(), edit, info, false);
    if (outcome != Outcome::kRefused) return outcome;
  }
  return WriteInPlace(fd.get(), content.view(), edit, info);
}

}  // namespace

void WriteIniValue(Text file, Text section, Text key, Text value) {
  // Out of memory, the record is not written and the file stays as it was;
  // the run still ends as it must.
  // The wait for other writers spans every attempt.
  // Another writer holds the profile for a few milliseconds at most, but
  // one that holds it longer may still write: it is waited for (its lock
  // goes when it dies) within its bound, and past that the file is left
  // alone rather than written over.
  const timespec lock_deadline = DeadlineIn(kProfileLockMs);
  try {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (WriteOnce(file, section, key, value, lock_deadline) != Outcome::kChangedMeanwhile) return;
    }
  } catch (const std::bad_alloc&) {
  }
}
