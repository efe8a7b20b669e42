// What the run asks of the system besides its steps: its own folder, the
// words for an error, the local time, and its end.
#include <locale.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "common/file-posix.h"
#include "run/run_ops.h"

SystemError GetProgramDirectory(Text& directory) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return LastError();
    if (static_cast<size_t>(length) < buffer.size()) {
      directory = DirectoryOf(Text(buffer.data(), static_cast<size_t>(length)));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The C locale's words, whatever language the machine speaks.
Text DescribeSystemError(SystemError error) {
  const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (c_locale == static_cast<locale_t>(0)) return Text();
  Text words = strerror_l(static_cast<int>(error), c_locale);
  freelocale(c_locale);
  return words;
}

LocalTime GetLocalTimeNow() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour, local.tm_min, local.tm_sec};
}

void EndProcess(int exit_code) { _exit(exit_code); }
