// Looks up the updater once, as the run does, and prints its pid (0 when
// none): the lookup as a whole command, to time beside pgrep and pidof.
//
// usage: lookup_once PROGRAM   (the updater's program file)
#include <cstdio>

#include "process/process_kill.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  printf("%u\n", GetProcessIdByName("Plindor.EXE", argv[1]));
  return 0;
}
