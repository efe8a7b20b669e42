// File helpers shared by the Windows platform files.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/contents.h"
#include "common/path-win32.h"
#include "common/system.h"
#include "common/temp_name.h"
#include "common/text.h"

// Reads up to `size` bytes at `offset` of an open file (fewer at its end):
// 0 or the system's error.
inline SystemError ReadFileAt(HANDLE file, uint64_t offset, size_t size, std::string& bytes) {
  size_t got = 0;
  while (got < size) {
    MakeRoomToRead(bytes, got, size);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    const DWORD chunk = bytes.size() - got > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes.size() - got);
    DWORD read_now = 0;
    if (!ReadFile(file, &bytes[got], chunk, &read_now, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (read_now == 0) break;
    got += read_now;
  }
  bytes.resize(got);
  return 0;
}

// What identifies the file or folder at `path` (volume and file index),
// read sharing everything; false where it cannot be opened.
inline bool ReadFileIdentity(const Text& path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE file = CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool read = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return read;
}

// Where a run's temporary names start: the time and the process, so that
// two runs seldom try the same names.
inline uint64_t TempNameSeed() { return GetTickCount64() * 2654435761u ^ GetCurrentProcessId(); }

// The full path of the tool's temporary names beside `path`, but for their
// unique characters.
inline Text TemporaryPrefixBeside(const Text& path) { return FolderOf(path) + L'\\' + TempNamePrefix(NameOf(path)); }

// A new file beside `path`, under the tool's temporary name for it, that
// no other process may write or delete while it is held; INVALID_HANDLE_VALUE
// where none can be made (a name that is taken is tried under another).
inline HANDLE CreateFileUnderTemporaryName(const Text& path, Text& temp) {
  HANDLE file = INVALID_HANDLE_VALUE;
  MakeUnderTemporaryName(TemporaryPrefixBeside(path), TempNameSeed(), temp, [&](const Text& at) {
    file = CreateFileW(ExtendedPath(at).c_str(),
                       GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ,
                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS;
  });
  return file;
}

// Whether two open files are one file: the same volume and file index.
inline bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}
