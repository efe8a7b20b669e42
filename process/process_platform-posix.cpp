#include "process/process_platform.h"

#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/file-posix.h"
#include "common/retry.h"

// The listing is /proc, which the kernel gives in ascending pid order: the
// order in which the processes were started until pids wrap around. It is
// walked as it is read, each process's executable looked up while its entry
// is fresh; reading the whole list first made every lookup slower as the
// process count grew.
struct ProcessSnapshot {
  DIR* proc;
};

// A pidfd keeps naming the process it was opened on, never one that got its
// id later; -1 where the kernel has none (before Linux 5.3) or a seccomp
// filter refuses it, and the process is then signalled by its id.
struct StoppableProcess {
  pid_t pid;
  int pidfd;
};

namespace {

bool ParsePid(const char* name, pid_t& pid) {
  long value = 0;
  if (*name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return false;
  }
  pid = static_cast<pid_t>(value);
  return value > 0;
}

// The path of the process's executable as the kernel gives it (" (deleted)"
// after it once it was replaced or deleted). Kernel threads and processes
// that have ended but not been reaped have none, and a process this one may
// not look at (another user's, for a run that is not root) gives none: they
// are passed over, as none of them can be told to run the updater's program.
bool ReadExePath(pid_t pid, Text& path) {
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  const ssize_t length = readlink(link, target, sizeof target);
  if (length <= 0) return false;
  path.assign(target, static_cast<size_t>(length));
  return true;
}

bool RunsProgram(pid_t pid, const Text& program) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  // The image itself, even where its name is gone.
  struct stat image, folder, named;
  const InFolder at = Locate(program);
  if (stat(link, &image) != 0 || at.folder.get() < 0 || fstat(at.folder.get(), &folder) != 0) return false;
  if (fstatat(at.folder.get(), at.name.c_str(), &named, 0) == 0 && SameFile(named, image)) return true;
  // A file replaced or deleted since the process started from it: the
  // kernel names it by the path it had there.
  Text path;
  return image.st_dev == folder.st_dev && ReadExePath(pid, path) && path == program + " (deleted)";
}

}  // namespace

ProcessSnapshot* OpenProcessSnapshot() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return nullptr;
  return new ProcessSnapshot{proc};
}

bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name) {
  // A process that ends while the list is read is passed over.
  Text path;
  while (dirent* entry = readdir(snapshot.proc)) {
    pid_t pid = 0;
    if (ParsePid(entry->d_name, pid) && ReadExePath(pid, path)) {
      id = static_cast<uint32_t>(pid);
      exe_name = BaseName(path);
      return true;
    }
  }
  return false;
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) {
  if (snapshot == nullptr) return;
  closedir(snapshot->proc);
  delete snapshot;
}

StoppableProcess* OpenProcessToStop(uint32_t id) {
  // An id that is no positive pid would reach kill() as a process group or
  // as "every process": never send that.
  if (id == 0 || id > static_cast<uint32_t>(INT_MAX)) return nullptr;
  const pid_t pid = static_cast<pid_t>(id);
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  // Gone already. Any other refusal (a kernel without pidfds, a seccomp
  // filter that answers EPERM) leaves the process to be stopped as found.
  if (pidfd < 0 && errno == ESRCH) return nullptr;
  return new StoppableProcess{pid, pidfd};
}

bool ProcessRunsProgram(uint32_t id, const Text& program) {
  return id != 0 && id <= static_cast<uint32_t>(INT_MAX) && RunsProgram(static_cast<pid_t>(id), program);
}

bool StoppableProcessRunsProgram(StoppableProcess& process, const Text& program) {
  // Read after the pidfd was opened: if the id has passed to another process
  // since, this is that process's program, and the pidfd's own process has
  // ended; neither is stopped. Without a pidfd the process is signalled by
  // its id, just after this.
  return RunsProgram(process.pid, program);
}

void TerminateStoppableProcess(StoppableProcess& process) {
  if (process.pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, process.pidfd, SIGKILL, nullptr, 0);
  } else {
    kill(process.pid, SIGKILL);
  }
}

void WaitForStoppedProcess(StoppableProcess& process, unsigned milliseconds) {
  if (process.pidfd >= 0) {
    pollfd ended = {process.pidfd, POLLIN, 0};
    poll(&ended, 1, static_cast<int>(milliseconds));
    return;
  }
  // Known only by its id: ended once its entry is gone or a zombie's.
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(process.pid));
  const auto ended = [&]() -> SystemError {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char stat[512];
    const ssize_t got = read(fd, stat, sizeof stat - 1);
    close(fd);
    stat[got > 0 ? got : 0] = '\0';
    const char* state = strrchr(stat, ')');
    return state != nullptr && state[1] == ' ' && state[2] == 'Z' ? 0 : EBUSY;
  };
  RetryWithin(PollingFor(milliseconds), ended, [](SystemError error) { return error == EBUSY; });
}

void CloseStoppableProcess(StoppableProcess* process) {
  if (process == nullptr) return;
  if (process->pidfd >= 0) close(process->pidfd);
  delete process;
}
