// Functions of system libraries that not every Windows has, looked up by
// name when they are needed.
#pragma once

#include <windows.h>

// The function `name` of a loaded library; null where the library is not
// loaded or this Windows lacks the function.
template <typename Function>
Function LibraryFunction(HMODULE library, const char* name) {
  return library == nullptr ? nullptr
                            : reinterpret_cast<Function>(
                                  reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
