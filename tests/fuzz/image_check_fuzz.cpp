// Fuzzes the download's header check, which parses what anyone who may
// write the download folder wrote: it must never crash, read outside the
// file or read a header twice its bound, and must judge the same bytes the
// same way. Each input is judged as a whole file, and again as the start of
// one far larger (the rest zeros, never read whole).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "run/image_check.h"

namespace {

// The most one read may ask for: a section table of 65535 entries.
constexpr size_t kLargestRead = 65535 * 40;

Text Judge(const uint8_t* data, size_t size, uint64_t file_size) {
  const RunnableMachines machines = {{0x14c, 0x8664}, 62};
  return DescribeUnfitProgram(
      [&](uint64_t offset, size_t count, std::string& bytes) {
        if (offset >= file_size || count > file_size - offset || count > kLargestRead) abort();
        bytes.assign(count, '\0');
        for (size_t i = 0; i < count && offset + i < size; ++i) bytes[i] = static_cast<char>(data[offset + i]);
        return true;
      },
      file_size, machines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (Judge(data, size, size) != Judge(data, size, size)) abort();
  const uint64_t larger = size + (uint64_t{1} << (size == 0 ? 0 : data[size - 1] % 48));
  Judge(data, size, larger);
  return 0;
}
