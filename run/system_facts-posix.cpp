// What the run asks of the system besides its steps (Linux): its own folder,
// the programs it runs, the words for an error, the local time, and its end.
#include <elf.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "common/file-posix.h"
#include "run/run_ops.h"

namespace {

// The machine this tool is built for: a downloaded updater for another one
// cannot run here.
#if defined(__x86_64__)
constexpr uint16_t kOwnElfMachine = EM_X86_64;
#elif defined(__i386__)
constexpr uint16_t kOwnElfMachine = EM_386;
#elif defined(__aarch64__)
constexpr uint16_t kOwnElfMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t kOwnElfMachine = EM_ARM;
#elif defined(__riscv)
constexpr uint16_t kOwnElfMachine = EM_RISCV;
#else
constexpr uint16_t kOwnElfMachine = 0;  // not known: not checked
#endif

}  // namespace

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

RunnableMachines GetRunnableMachines() {
  // The kernel runs a script through its interpreter, as this process would
  // run it: a regular file this process may execute.
  return {ProgramFormat::kElf, {}, kOwnElfMachine, [](const std::string& interpreter) {
            struct stat info;
            return stat(interpreter.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                   faccessat(AT_FDCWD, interpreter.c_str(), X_OK, AT_EACCESS) == 0;
          }};
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
