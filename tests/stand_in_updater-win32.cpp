// A Windows stand-in for the updater: records in "starts.log" beside its
// executable its process id, its size, how it was asked to show its window
// and its whole command line, then does what its copy was made to do
// (stand_in_behaviour.h): by default waits until stopped (a minute at most,
// or until a file named "stop" appears beside it). It never ends with 1
// of its own, which Wine's failed starts end with: 11, 12 or 13 where it
// cannot learn its name, read itself or open the log.
#include <windows.h>

#include <csignal>
#include <string>

#include "tests/stand_in_behaviour.h"

namespace {

std::string Utf8(const std::wstring& wide) {
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &narrow[0], size,
                      nullptr, nullptr);
  return narrow;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t exe[4096];
  DWORD length = GetModuleFileNameW(nullptr, exe, 4096);
  if (length == 0 || length >= 4096) return 11;
  std::wstring dir(exe, length);
  dir.resize(dir.find_last_of(L'\\'));

  std::string image;
  HANDLE self = CreateFileW(exe, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (self == INVALID_HANDLE_VALUE) return 12;
  LARGE_INTEGER size = {};
  DWORD read = 0;
  if (GetFileSizeEx(self, &size)) image.resize(static_cast<size_t>(size.QuadPart));
  if (!image.empty()) ReadFile(self, &image[0], static_cast<DWORD>(image.size()), &read, nullptr);
  CloseHandle(self);
  image.resize(read);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  std::string line = "pid=" + std::to_string(GetCurrentProcessId()) + " size=" + std::to_string(image.size()) +
                     " show_flag=" + ((startup.dwFlags & STARTF_USESHOWWINDOW) ? "1" : "0") +
 " show=" + std::to_string(startup.wShowWindow) + " cmdline=" + Utf8(GetCommandLineW()) + "\n";
  HANDLE log = CreateFileW((dir + L"\\starts.log").c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 13;
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);

  const std::string behaviour = StandInBehaviour(image);
  if (behaviour == "ends") return 0;
  // The C runtime's abort without its message: it ends with code 3.
  if (behaviour == "aborts") raise(SIGABRT);
  if (behaviour == "crashes") {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
  }

  const std::wstring stop = dir + L"\\stop";
  for (int waited = 0; waited < 60000; waited += 50) {
    if (GetFileAttributesW(stop.c_str()) != INVALID_FILE_ATTRIBUTES) return 3;
    Sleep(50);
  }
  return 2;
}
