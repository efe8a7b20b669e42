// A stand-in for the updater: records its start in "starts.log" beside its
// executable, then does what its copy was made to do (stand_in_behaviour.h):
// by default waits to be stopped (a minute at most, so that a broken test
// leaves nothing behind for long).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/stand_in_behaviour.h"

int main(int argc, char**) {
  // Before anything here opens a descriptor of its own.
  int closed_streams = 0;
  for (int fd = 0; fd < 3; ++fd) closed_streams += fcntl(fd, F_GETFD) == -1;
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return 1;
  exe[length] = '\0';
  std::string dir(exe);
  dir.resize(dir.rfind('/'));

  struct stat info;
  if (stat("/proc/self/exe", &info) != 0) return 1;
  // Descriptors beyond the standard three that reached this process.
  int extra_fds = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.' && atoi(entry->d_name) > 2) ++extra_fds;
    }
    if (dirfd(fds) > 2) --extra_fds;  // the listing's own
    closedir(fds);
  }
  // Standard streams on /dev/null, and the signals blocked and ignored.
  int null_streams = 0;
  for (const char* fd : {"/proc/self/fd/0", "/proc/self/fd/1", "/proc/self/fd/2"}) {
    char target[64] = {};
    null_streams += readlink(fd, target, sizeof target - 1) > 0 && strcmp(target, "/dev/null") == 0;
  }
  unsigned long long blocked = ~0ull, ignored = ~0ull;
  if (FILE* status = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      sscanf(line, "SigBlk: %llx", &blocked);
      sscanf(line, "SigIgn: %llx", &ignored);
    }
    fclose(status);
  }
  FILE* log = fopen((dir + "/starts.log").c_str(), "a");
  if (log == nullptr) return 1;
  fprintf(log,
          "pid=%d size=%lld own_session=%d extra_fds=%d args=%d null_streams=%d blocked=%llx "
          "ignored=%llx closed_streams=%d\n",
          getpid(), static_cast<long long>(info.st_size), getsid(0) == getpid() ? 1 : 0, extra_fds,
          argc - 1, null_streams, blocked, ignored, closed_streams);
  fclose(log);

  std::ifstream image("/proc/self/exe", std::ios::binary);
  const std::string behaviour = StandInBehaviour({std::istreambuf_iterator<char>(image), {}});
  if (behaviour == "ends") return 0;
  if (behaviour == "aborts") abort();
  if (behaviour == "crashes") {
    signal(SIGSEGV, SIG_DFL);
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
  }
  sleep(60);
  return 0;
}
