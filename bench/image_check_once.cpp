// Times the downloaded copy's check as the run makes it, the file opened, its
// headers read where they lie and judged, on the given file: prints the
// median of 200 checks in microseconds, and the verdict.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file-posix.h"
#include "run/image_check.h"
#include "run/run_ops.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::vector<double> took;
  Text verdict;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    Download* download = nullptr;
    const std::string path = argv[1];
    if (OpenDownload(DirectoryOf(path), "/" + BaseName(path), download) != 0) return 1;
    verdict = DescribeUnfitProgram(
        [&](uint64_t offset, size_t size, std::string& bytes) {
          return ReadDownloadAt(*download, offset, size, bytes) == 0;
        },
        DownloadSize(*download), GetRunnableMachines());
    CloseDownload(download);
    took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  printf("%.1f %s\n", took[took.size() / 2], verdict.empty() ? "complete" : verdict.c_str());
  return 0;
}
