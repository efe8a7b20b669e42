// Times the downloaded copy's check as the run makes it, the file opened, its
// headers read where they lie and judged, on the given file: prints the
// median of 200 checks in microseconds, and the verdict.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file-posix.h"
#include "verify/image_check.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  // The programs of this machine, as the Linux run judges them.
  const RunnableMachines machines = {ProgramFormat::kElf, {}, EM_X86_64, nullptr};
  std::vector<double> took;
  Text verdict;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int file = open(argv[1], O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (file < 0 || fstat(file, &info) != 0) return 1;
    verdict = DescribeUnfitProgram(
        [&](uint64_t offset, size_t size, std::string& bytes) { return ReadAllAt(file, offset, size, bytes) == 0; },
        static_cast<uint64_t>(info.st_size), machines);
    close(file);
    took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  printf("%.1f %s\n", took[took.size() / 2], verdict.empty() ? "complete" : verdict.c_str());
  return 0;
}
