// An updater that keeps running, for the swap whose watch lasts its whole
// window: it writes its process id to "updater.pids" beside itself, so that
// the benchmark stops it by its id, and waits. Small, as an updater's
// download would be, so that its copy weighs little on the run's figure.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 32);
  if (length <= 0) return 1;
  path[length] = '\0';
  strcpy(strrchr(path, '/') + 1, "updater.pids");
  if (FILE* file = fopen(path, "a")) {
    fprintf(file, "%d\n", getpid());
    fclose(file);
  }
  pause();
}
