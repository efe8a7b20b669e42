#include "profile/mod_ini.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "common/file-posix.h"
#include "profile/ini_edit.h"

namespace {

// Reads the whole file into one buffer sized from `size_hint`; a file that
// grows meanwhile is still read to its end.
bool ReadAll(int fd, size_t size_hint, std::string& content) {
  content.resize(size_hint + 1);
  size_t length = 0;
  for (;;) {
    if (length == content.size()) content.resize(content.size() * 2);
    ssize_t got = read(fd, &content[length], content.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
  }
  content.resize(length);
  return true;
}

mode_t ModeForNewFile() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The new content is written in full to a temporary file beside the old one
// and then renamed over it, so that a crash at any point leaves either the
// old file or the new one, never a mixture.
bool ReplaceFile(const Text& file, std::string_view content, const IniEdit& edit, mode_t mode,
                 uid_t uid, gid_t gid) {
  Text temp = TempNameBeside(file);
  Fd out(mkostemp(&temp[0], O_CLOEXEC));
  if (out.get() < 0) return false;
  const std::string_view tail = content.substr(edit.at + edit.erase);
  bool written = WriteAll(out.get(), content.data(), edit.at) == 0 &&
                 WriteAll(out.get(), edit.insert.data(), edit.insert.size()) == 0 &&
                 WriteAll(out.get(), tail.data(), tail.size()) == 0 &&
                 fchmod(out.get(), mode) == 0 && fsync(out.get()) == 0;
  if (written) {
    // Keeps the owner a root run would otherwise take over; best effort.
    if (fchown(out.get(), uid, gid) != 0) {
      // Not fatal: the record matters more than who owns it.
    }
    written = rename(temp.c_str(), file.c_str()) == 0;
  }
  if (!written) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself is made durable by flushing the folder.
  Fd dir(open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}

}  // namespace

void WriteIniValue(Text file, Text section, Text key, Text value) {
  struct stat info = {};
  info.st_mode = ModeForNewFile();
  info.st_uid = geteuid();
  info.st_gid = getegid();
  Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() >= 0) {
    if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    // A read-only profile is refused, as the Windows call refuses it, even
    // though the folder would let a rename replace it.
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return;
    if (access(file.c_str(), W_OK) != 0) return;
  } else if (errno != ENOENT) {
    return;
  }
  std::string content;
  if (in.get() >= 0 && !ReadAll(in.get(), static_cast<size_t>(info.st_size), content)) return;
  // The new file is written in pieces around the change, never copied whole.
  const IniEdit edit = PlanIniEdit(content, section, key, value);
  ReplaceFile(file, content, edit, info.st_mode & 07777, info.st_uid, info.st_gid);
}
