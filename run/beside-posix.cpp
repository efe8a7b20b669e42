// The run's own small files beside the current executable (Linux): read
// never through a link and only a regular file of a few KiB, written whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/file-posix.h"
#include "run/run_ops.h"

namespace {

// Such a file holds a few lines: anything larger is no file of the run's.
constexpr off_t kLargestFileBeside = 64 * 1024;

}  // namespace

SystemError ReadFileBeside(const Text& current, const Text& suffix, std::string& bytes) {
  bytes.clear();
  const InFolder at = Locate(current);
  Fd file(openat(at.folder.get(), (at.name + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0) return errno == ENOENT ? 0 : LastError();
  if (fstat(file.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode) || info.st_size > kLargestFileBeside) return EINVAL;
  return ReadAllAt(file.get(), 0, static_cast<size_t>(info.st_size), bytes);
}

SystemError WriteFileBeside(const Text& current, const Text& suffix, const std::string& bytes) {
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  return WriteFileWhole(at.folder.get(), at.name + suffix, at.name, bytes, 0644);
}

SystemError RemoveFileBeside(const Text& current, const Text& suffix) {
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  if (unlinkat(at.folder.get(), (at.name + suffix).c_str(), 0) != 0) return errno == ENOENT ? 0 : LastError();
  FlushFolderAt(at.folder.get());
  return 0;
}
