// The download: found, opened once and held, read where its headers lie,
// and waited for while another process still writes it.
#include "run/download-posix.h"

#include <elf.h>
#include <fcntl.h>
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

SystemError CheckFolderLetsRename(const Text& folder, const struct stat* file) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return LastError();
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return LastError();
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
  if (lstat(path.c_str(), &info) != 0) {
    // A missing folder on the way, or a file where a folder should be, simply
    // means no download is waiting.
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return LastError();
  }
  found = S_ISREG(info.st_mode);
  return 0;
}


SystemError OpenDownload(const Text& path, Download*& download) {
  Fd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return EISDIR;
  // It is renamed out of its folder, or removed from it once copied.
  if (SystemError error = CheckFolderLetsRename(DirectoryOf(path), &info)) return error;
  download = new Download{path, file.release(), info};
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  close(download->fd);
  delete download;
}

uint64_t DownloadSize(const Download& download) {
  return static_cast<uint64_t>(download.opened.st_size);
}

SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t got = 0;
  while (got < size) {
    const ssize_t read_now =
        pread(download.fd, &bytes[got], size - got, static_cast<off_t>(offset + got));
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return LastError();
    if (read_now == 0) break;
    got += static_cast<size_t>(read_now);
  }
  bytes.resize(got);
  return 0;
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

bool DownloadIsStillTheFileChecked(Download& download) {
  struct stat named, now;
  return lstat(download.path.c_str(), &named) == 0 && fstat(download.fd, &now) == 0 &&
         named.st_dev == download.opened.st_dev && named.st_ino == download.opened.st_ino &&
         now.st_size == download.opened.st_size;
}

RunnableMachines GetRunnableMachines() { return {{}, kOwnElfMachine}; }
