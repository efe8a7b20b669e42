#include "process/process_platform.h"

#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

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
// id later; -1 where the kernel has none (before Linux 5.3), and the process
// is then signalled by its id.
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

// The file name of the process's executable, or the kernel's short name where
// the link may not be read (another user's process). Kernel threads and
// processes that have ended but not been reaped have no executable: they are
// passed over, or a dead updater could be found in place of the live one.
bool ReadExeName(pid_t pid, Text& exe_name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  ssize_t length = readlink(path, target, sizeof target);
  if (length > 0) {
    const char* end = target + length;
    const char* base = end;
    while (base > target && base[-1] != '/') --base;
    exe_name.assign(base, end);
    return true;
  }
  if (errno != EACCES && errno != EPERM) return false;
  snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char comm[64];
  ssize_t got = read(fd, comm, sizeof comm);
  close(fd);
  if (got <= 0) return false;
  if (comm[got - 1] == '\n') --got;
  exe_name.assign(comm, static_cast<size_t>(got));
  return true;
}

}  // namespace

ProcessSnapshot* OpenProcessSnapshot() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return nullptr;
  return new ProcessSnapshot{proc};
}

bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name) {
  // A process that ends while the list is read is passed over.
  while (dirent* entry = readdir(snapshot.proc)) {
    pid_t pid = 0;
    if (ParsePid(entry->d_name, pid) && ReadExeName(pid, exe_name)) {
      id = static_cast<uint32_t>(pid);
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

bool ReadStoppableProcessName(StoppableProcess& process, Text& exe_name) {
  if (process.pidfd < 0) return false;
  // Read after the pidfd was opened: if the id has passed to another process
  // since, this is that process's name, and the pidfd's own process has
  // ended; neither is stopped.
  if (!ReadExeName(process.pid, exe_name)) exe_name.clear();
  return true;
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
