// Holds a file as an antivirus scanner or a backup agent may: opened with
// share mode 0, so that no other process may open, delete or move it, for the
// given number of milliseconds. "PATH.held" appears once it is held.
//
// usage: file_holder PATH MILLISECONDS
#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE marker = CreateFileA((std::string(argv[1]) + ".held").c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  Sleep(static_cast<DWORD>(atoi(argv[2])));
  CloseHandle(file);
  return 0;
}
