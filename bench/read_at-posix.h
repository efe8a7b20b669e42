// How the benchmarks read a file at an offset, as the run does, without the
// platform library: they link the checks alone.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

// Reads up to `size` bytes at `offset` (fewer at the end of the file); false
// where the file cannot be read.
inline bool PreadAt(int fd, uint64_t offset, size_t size, std::string& bytes) {
  bytes.resize(size);
  size_t got = 0;
  while (got < size) {
    const ssize_t now = pread(fd, &bytes[got], size - got, static_cast<off_t>(offset + got));
    if (now < 0 && errno == EINTR) continue;
    if (now < 0) return false;
    if (now == 0) break;
    got += static_cast<size_t>(now);
  }
  bytes.resize(got);
  return true;
}
