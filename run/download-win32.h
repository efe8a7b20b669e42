// What the Windows download and replace files share: the held download, and
// the parts of a path.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

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

inline Text FolderOf(const Text& path) { return path.substr(0, path.find_last_of(L'\\')); }
inline Text NameOf(const Text& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// Reads up to `size` bytes at `offset` of an open file (fewer at its end).
DWORD ReadFileAt(HANDLE file, uint64_t offset, size_t size, std::string& bytes);
