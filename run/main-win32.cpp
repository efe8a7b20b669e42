#include <windows.h>

#include <cstdlib>
#include <new>

#include "run/endings-win32.h"
#include "run/frm_copy.h"

// The C++ library's own handler for an uncaught exception prints its type,
// demangled, to a console this program does not have, and aborts with a box
// that waits for a click; its demangler alone is a tenth of the program. The
// run's own ending replaces it.
namespace __gnu_cxx {
void __verbose_terminate_handler() { EndAfterInternalFailure(); }
}  // namespace __gnu_cxx

// Why these are here: the C++ library reports its checks (an index past the
// end, a string too long, an allocation too large) by calling these. Its own
// versions build and throw an exception, and so pull in the exception
// classes and the old string type they carry: a fifth of the program (219 KB
// with them, 162 KB without). The run catches no exception, so ending the
// run here is what an exception escaping it would do. Without these the
// program still works, only larger; with a signature that no longer matches
// the library's, the link quietly takes the library's own again, and
// check_windows_binary's size bound is what notices.
namespace std {
void __throw_length_error(const char*) { EndAfterInternalFailure(); }
void __throw_logic_error(const char*) { EndAfterInternalFailure(); }
void __throw_out_of_range(const char*) { EndAfterInternalFailure(); }
void __throw_out_of_range_fmt(const char*, ...) { EndAfterInternalFailure(); }
void __throw_invalid_argument(const char*) { EndAfterInternalFailure(); }
void __throw_bad_function_call() { EndAfterInternalFailure(); }
void __throw_bad_alloc() { EndAfterInternalFailure(); }
void __throw_bad_array_new_length() { EndAfterInternalFailure(); }
}  // namespace std

// Memory that cannot be had ends the run in the same way, where the
// library's own operator new would throw std::bad_alloc: the program is
// built without exceptions.
void* operator new(std::size_t size) {
  void* memory = std::malloc(size != 0 ? size : 1);
  if (memory == nullptr) EndAfterInternalFailure();
  return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

// A program of the GUI subsystem that never creates a window: the run ends
// the process before anything could be shown. Nor does the system show one
// for it: no "insert a disk" box for a path on an empty drive, no error
// report box after a crash.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InstallEndingHandlers();
  FrmCopy form;
  form.OnLoad();
}
