// Holds a file as an antivirus scanner, a backup agent or a downloader may,
// for the given number of milliseconds; "PATH.held" appears once it is held.
//   read   (the default): opened with share mode 0, so that no other process
//          may open, delete or move it;
//   write: opened for writing, sharing everything, as a downloader that has
//          written every byte but not yet closed the file;
//   cycle: held as "read" for 100 ms, let go for 100 ms, and again, as a
//          scanner that lets go for a check and takes the file again;
//   share-delete: opened for reading, sharing reading and deletion, as an
//          indexer or a scanner that lets the file be deleted under it;
//   grab PID: opened as "read" once the process PID has ended, the moment
//          no other process has it open, as a scanner that takes a file
//          the moment a stopped process lets it go.
//
// usage: file_holder PATH MILLISECONDS [read|write|cycle|share-delete|grab PID]
// Ends with 2 when used otherwise, 11 or 12 where it cannot wait for PID or
// hold the file; never with 1, which Wine's failed starts end with.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE Hold(const char* path, const std::string& mode) {
  const bool write = mode == "write";
  const DWORD share = write ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                      : mode == "share-delete" ? FILE_SHARE_READ | FILE_SHARE_DELETE
                                               : 0;
  return CreateFileA(path, write ? GENERIC_WRITE : GENERIC_READ, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) return 2;
  const std::string mode = argc >= 4 ? argv[3] : "read";
  const DWORD hold_ms = static_cast<DWORD>(atoi(argv[2]));
  if (mode == "grab") {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, argc == 5 ? static_cast<DWORD>(atoi(argv[4])) : 0);
    if (process == nullptr) return 11;
    WaitForSingleObject(process, 60000);
    CloseHandle(process);
  }
  HANDLE file = Hold(argv[1], mode);
  for (int tries = 0; mode == "grab" && file == INVALID_HANDLE_VALUE && tries < 60000; ++tries) {
    Sleep(1);
    file = Hold(argv[1], mode);
  }
  if (file == INVALID_HANDLE_VALUE) return 12;
  HANDLE marker = CreateFileA((std::string(argv[1]) + ".held").c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  if (mode != "cycle") {
    Sleep(hold_ms);
    CloseHandle(file);
    return 0;
  }
  for (const ULONGLONG end = GetTickCount64() + hold_ms; GetTickCount64() < end;) {
    if (file != INVALID_HANDLE_VALUE) {
      Sleep(100);
      CloseHandle(file);
      Sleep(100);
    } else {
      Sleep(5);
    }
    file = Hold(argv[1], "read");
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
