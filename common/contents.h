// A file's contents copied or compared a chunk at a time: the platform files
// read and write at an offset, and these loops are written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/system.h"

// How much is read or written at a time: a few pages, far from any memory
// bound, and large enough that a 100 MB program takes a few hundred calls.
constexpr size_t kChunkBytes = size_t{1} << 18;

// Reads up to `size` bytes at `offset` (fewer at the end of the file): 0 or
// the system's error.
using ReadChunkAt = std::function<SystemError(uint64_t offset, size_t size, std::string& bytes)>;
// Writes all of `bytes` at `offset`: 0 or the system's error.
using WriteChunkAt = std::function<SystemError(uint64_t offset, const std::string& bytes)>;

// Copies every byte `read` gives to `write`, and counts them in `copied`.
// `read_failed` tells a failed read from a failed write (a full disk, a
// quota, a file size limit).
SystemError CopyContents(const ReadChunkAt& read, const WriteChunkAt& write, uint64_t& copied,
                         bool& read_failed);

// Whether `first` and `second` both hold the same `size` bytes. An error
// reading `first` is returned; `second` that cannot be read, or that ends
// early, is not the same.
SystemError CompareContents(const ReadChunkAt& first, const ReadChunkAt& second, uint64_t size, bool& same);
