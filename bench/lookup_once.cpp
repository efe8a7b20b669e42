// Looks up the updater once, as the run does, and prints its pid (0 when
// none): the lookup as a whole command, to time beside pgrep and pidof.
#include <cstdio>

#include "process/process_kill.h"

int main() {
  printf("%u\n", GetProcessIdByName("Plindor.EXE"));
  return 0;
}
