// What the Windows files of the run's operations share: the held download
// and the new program.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/text.h"

struct Download {
  HANDLE handle;
  uint64_t size;
};

struct Replacement {
  HANDLE handle;
  Text path;
  uint64_t size;
  bool placed;
};
