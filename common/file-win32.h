// File helpers shared by the Windows platform files.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/system.h"

// Reads up to `size` bytes at `offset` of an open file (fewer at its end):
// 0 or the system's error.
inline SystemError ReadFileAt(HANDLE file, uint64_t offset, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t got = 0;
  while (got < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    const DWORD chunk = size - got > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size - got);
    DWORD read_now = 0;
    if (!ReadFile(file, &bytes[got], chunk, &read_now, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (read_now == 0) break;
    got += read_now;
  }
  bytes.resize(got);
  return 0;
}

// Writes all of `bytes` at `offset` of an open file: 0 or the system's error.
inline SystemError WriteFileAt(HANDLE file, uint64_t offset, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    const DWORD chunk = bytes.size() - done > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes.size() - done);
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, &at)) return LastError();
    done += written;
  }
  return 0;
}

// Whether two open files are one file: the same volume and file index.
inline bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}
