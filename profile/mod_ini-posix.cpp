#include "profile/mod_ini.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/file-posix.h"
#include "profile/ini_edit.h"

namespace {

bool ReadAll(int fd, std::string& content) {
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    content.append(buffer, static_cast<size_t>(got));
  }
}

mode_t ModeForNewFile() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The new content is written in full to a temporary file beside the old one
// and then renamed over it, so that a crash at any point leaves either the
// old file or the new one, never a mixture.
bool ReplaceFile(const Text& file, const std::string& content, mode_t mode, uid_t uid, gid_t gid) {
  Text temp = TempNameBeside(file);
  Fd out(mkostemp(&temp[0], O_CLOEXEC));
  if (out.get() < 0) return false;
  bool written = WriteAll(out.get(), content.data(), content.size()) == 0 &&
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
  std::string content;
  mode_t mode = ModeForNewFile();
  uid_t uid = geteuid();
  gid_t gid = getegid();
  Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() >= 0) {
    struct stat info;
    if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    // A read-only profile is refused, as the Windows call refuses it, even
    // though the folder would let a rename replace it.
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return;
    if (access(file.c_str(), W_OK) != 0) return;
    if (!ReadAll(in.get(), content)) return;
    mode = info.st_mode & 07777;
    uid = info.st_uid;
    gid = info.st_gid;
  } else if (errno != ENOENT) {
    return;
  }
  ReplaceFile(file, SetIniValue(content, section, key, value), mode, uid, gid);
}
