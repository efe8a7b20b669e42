// Writes the failure record into the given profile file once.
#include "profile/mod_ini.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  WriteIniValue(argv[1], "Tovalane", "FalseCannot launch the updater: No such file or directory",
                "2026-12-08 10:00:00");
  return 0;
}
