// The floor for a whole run: starts the given program the way the run does
// (own session, no arguments, not waited for) and does nothing else.
#include <spawn.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  char* child_argv[] = {argv[1], nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, argv[1], nullptr, &attributes, child_argv, environ);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? 0 : 1;
}
