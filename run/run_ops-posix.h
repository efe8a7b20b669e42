// What the POSIX files of the run's operations share: the held download and
// the new program, with the download's detached signature.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/text.h"

// The download's detached signature, beside it under this suffix.
constexpr char kSignatureSuffix[] = ".minisig";

struct Download {
  int folder;  // the folder it was found in (O_PATH)
  Text name;   // its name there
  int fd;
  struct stat opened;
};

struct Replacement {
  int folder;    // the current executable's folder (O_PATH)
  Text name;     // the new program's temporary name there
  Text current;  // the current executable's name there
  int fd;
  uint64_t size;
  bool placed;
  Download* download;  // whose bytes it holds
  // The detached signature verified for it, and its file; empty: none.
  std::string signature;
  struct stat signature_file;
};
