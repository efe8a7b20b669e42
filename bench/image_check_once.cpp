// Times the downloaded copy's completeness check as the run makes it, the
// start of the file read and its headers judged, on the given file: prints
// the median of 200 checks in microseconds, and the verdict.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "run/image_check.h"
#include "run/run_ops.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::vector<double> took;
  Text verdict;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::string head;
    uint64_t size = 0;
    if (ReadFileBeforeMove(argv[1], kProgramHeadBytes, head, size) != 0) return 1;
    verdict = DescribeIncompleteProgram(head, size);
    took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  printf("%.1f %s\n", took[took.size() / 2], verdict.empty() ? "complete" : verdict.c_str());
  return 0;
}
