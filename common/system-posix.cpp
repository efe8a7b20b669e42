#include "common/system.h"

#include <time.h>

#include <cerrno>

SystemError LastError() { return errno != 0 ? static_cast<SystemError>(errno) : EIO; }

void PauseMilliseconds(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
