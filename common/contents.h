// A file's contents copied or compared a chunk at a time, for every system:
// `read(offset, size, bytes)` and `write(offset, bytes)` give 0 or an error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/system.h"

// A few pages: far from any memory bound, a few hundred calls for 100 MB.
constexpr size_t kChunkBytes = size_t{1} << 18;

// A read of up to `size` bytes into `bytes` starts with room for a few pages
// (or what the buffer already has) and doubles it each time it is filled:
// every fresh page is a fault to the kernel (about 15 us on a virtual
// machine), so a small file does not pay for a whole chunk of cleared memory.
constexpr size_t kFirstReadBytes = size_t{1} << 14;
inline void MakeRoomToRead(std::string& bytes, size_t got, size_t size) {
  if (got == 0) {
    bytes.resize(std::min(size, std::max(bytes.size(), kFirstReadBytes)));
  } else if (got == bytes.size()) {
    bytes.resize(std::min(size, got * 2));
  }
}

// Copies every byte `read` gives to `write`, counted in `copied`;
// `read_failed` tells a failed read from a failed write (a full disk, a
// quota, a file size limit).
template <typename Read, typename Write>
SystemError CopyContents(Read read, Write write, uint64_t& copied, bool& read_failed) {
  std::string chunk;
  for (copied = 0;; copied += chunk.size()) {
    if (SystemError error = read(copied, kChunkBytes, chunk)) {
      read_failed = true;
      return error;
    }
    if (chunk.empty()) return 0;
    if (SystemError error = write(copied, chunk)) return error;
  }
}

// Whether both hold the same `size` bytes; only `first`'s read error is one.
template <typename ReadFirst, typename ReadSecond>
SystemError CompareContents(ReadFirst first, ReadSecond second, uint64_t size, bool& same) {
  std::string theirs, ours;
  same = false;
  for (uint64_t at = 0; at < size; at += ours.size()) {
    if (SystemError error = first(at, kChunkBytes, theirs)) return error;
    if (second(at, kChunkBytes, ours) != 0 || ours != theirs || ours.empty()) return 0;
  }
  same = true;
  return 0;
}
