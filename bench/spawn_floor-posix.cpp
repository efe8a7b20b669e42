// The floor for a whole run: starts the given program the way the run does
// (own session, standard streams on /dev/null, default signals and an empty
// mask, no arguments, not waited for) and does nothing else.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  char* child_argv[] = {argv[1], nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, argv[1], &actions, &attributes, child_argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? 0 : 1;
}
