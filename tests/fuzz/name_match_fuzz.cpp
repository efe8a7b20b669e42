// Fuzzes the process-name match against a plain statement of it: the name
// begins with the sought one, ASCII letters compared without case.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "process/process_kill.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % size;
  const std::string exe(reinterpret_cast<const char*>(data) + 1, split > 0 ? split - 1 : 0);
  const std::string name(reinterpret_cast<const char*>(data) + (split > 0 ? split : 1),
                         size - (split > 0 ? split : 1));
  bool expected = !name.empty() && exe.size() >= name.size();
  for (size_t i = 0; expected && i < name.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(exe[i]), b = static_cast<unsigned char>(name[i]);
    if (a < 128) a = static_cast<unsigned char>(tolower(a));
    if (b < 128) b = static_cast<unsigned char>(tolower(b));
    expected = a == b;
  }
  if (ExeNameBeginsWith(exe, name) != expected) abort();
  return 0;
}
