// The reference for the POSIX profile editor: writes the failure record into
// the named file with the Windows profile call itself. Run under wine64 by
// scripts/regen-ini-reference.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ini_reference FILE\n");
    return 2;
  }
  return WritePrivateProfileStringA("Tovalane", "FalseCannot launch the updater: File not found",
                                    "2026-12-08 10:00:00", argv[1])
             ? 0
             : 1;
}
