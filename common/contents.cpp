#include "common/contents.h"

SystemError CopyContents(const ReadChunkAt& read, const WriteChunkAt& write, uint64_t& copied,
                         bool& read_failed) {
  read_failed = false;
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

SystemError CompareContents(const ReadChunkAt& first, const ReadChunkAt& second, uint64_t size, bool& same) {
  same = false;
  std::string theirs, ours;
  for (uint64_t at = 0; at < size; at += ours.size()) {
    if (SystemError error = first(at, kChunkBytes, theirs)) return error;
    if (second(at, kChunkBytes, ours) != 0 || ours != theirs || ours.empty()) return 0;
  }
  same = true;
  return 0;
}
