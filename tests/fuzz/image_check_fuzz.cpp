// Fuzzes the download's header check, the place of its signature and its
// version information, which parse what anyone who may
// write the download folder wrote: it must never crash, read outside the
// file or read a header twice its bound, and must judge the same bytes the
// same way. Each input is judged as a whole file, and again as the start of
// one far larger (the rest zeros, never read whole).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "verify/image_check.h"

namespace {

// The most one read may ask for: a section table of 65535 entries.
constexpr size_t kLargestRead = 65535 * 40;

// What the checks say of the file: the header check's words, the place of
// its signature and its file version.
Text Judge(const uint8_t* data, size_t size, uint64_t file_size) {
  const RunnableMachines machines = {ProgramFormat::kAny, {0x14c, 0x8664}, 62, nullptr};
  // As Linux judges it: ELF programs, and scripts whose interpreter is /bin/sh.
  const RunnableMachines linux_machines = {ProgramFormat::kElf, {}, 62,
                                           [](const std::string& interpreter) { return interpreter == "/bin/sh"; }};
  const ReadAt read = [&](uint64_t offset, size_t count, std::string& bytes) {
    if (offset >= file_size || count > file_size - offset || count > kLargestRead) abort();
    bytes.assign(count, '\0');
    for (size_t i = 0; i < count && offset + i < size; ++i) bytes[i] = static_cast<char>(data[offset + i]);
    return true;
  };
  uint64_t version = 0;
  const bool has_version = ReadFileVersion(read, file_size, version);
  std::u16string name;
  const bool has_name = ReadVersionString(read, file_size, u"OriginalFilename", name);
  return DescribeUnfitProgram(read, file_size, machines) + DescribeUnfitProgram(read, file_size, linux_machines) +
         static_cast<char>('0' + static_cast<int>(CheckCertificateTableLayout(read, file_size))) +
         (has_version ? std::to_string(version) : std::string()) + (has_name ? std::to_string(name.size()) : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (Judge(data, size, size) != Judge(data, size, size)) abort();
  const uint64_t larger = size + (uint64_t{1} << (size == 0 ? 0 : data[size - 1] % 48));
  Judge(data, size, larger);
  return 0;
}
