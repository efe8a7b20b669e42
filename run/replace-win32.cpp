// The replace: the current executable checked before the stop, and the
// download put in its place in one rename; the leftovers of killed runs.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "common/temp_name.h"
#include "run/download-win32.h"
#include "run/run_ops.h"

namespace {

constexpr ULONGLONG kLeftoverAge100ns = ULONGLONG{kLeftoverAgeS} * 10000000;

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  const ULONGLONG now = FileTimeValue(now_time);
  for (const Text& path : {current, profile}) {
    const Text folder = FolderOf(path) + L'\\', prefix = TempNamePrefix(NameOf(path));
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW(ExtendedPath(folder + prefix + L'*').c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) continue;
    do {
      if (IsTemporaryCopyName(found.cFileName, prefix) &&
          (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          (path == current || now - FileTimeValue(found.ftLastWriteTime) >= kLeftoverAge100ns)) {
        DeleteFileW(ExtendedPath(folder + found.cFileName).c_str());
      }
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
  }
}

SystemError CheckCurrentReplaceable(const Text& current) {
  const Text extended = ExtendedPath(current);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  const DWORD read_error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    attributes = GetFileAttributesW(extended.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES ? 0 : LastError();
  });
  if (read_error == ERROR_FILE_NOT_FOUND || read_error == ERROR_PATH_NOT_FOUND) return 0;
  if (read_error != 0) return read_error;
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  // Delete access is what a replace needs of the file; a running program
  // does not refuse it, its permissions may. A process that holds the file
  // without sharing its deletion may let go when the updater is stopped:
  // the replace waits for it then.
  return RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    HANDLE file = CreateFileW(extended.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = LastError();
      return IsSharingOrLockViolation(error) ? 0 : error;
    }
    CloseHandle(file);
    return 0;
  });
}

namespace {

DWORD RenameByHandle(HANDLE file, const Text& target) {
  std::string buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t), '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(&buffer[0]);
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  memcpy(rename->FileName, target.data(), target.size() * sizeof(wchar_t));
  return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))
             ? 0
             : LastError();
}

// A new file beside `path`, named as the tool's temporary copies are.
HANDLE CreateTemporaryCopy(const Text& path, Text& temp) {
  const Text prefix = FolderOf(path) + L'\\' + TempNamePrefix(NameOf(path));
  ULONGLONG seed = GetTickCount64() * 2654435761u ^ GetCurrentProcessId();
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = prefix;
    for (size_t i = 0; i < kTempNameUniqueChars; ++i, seed /= 36) {
      temp += L"0123456789abcdefghijklmnopqrstuvwxyz"[seed % 36];
    }
    HANDLE file = CreateFileW(ExtendedPath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    // A name that is taken is tried under another; any other refusal is final.
    if (GetLastError() != ERROR_FILE_EXISTS) break;
    seed = seed * 6364136223846793005ull + attempt;
  }
  return INVALID_HANDLE_VALUE;
}

// From another volume: a whole copy, flushed, under a temporary name beside
// the current executable, put over it; only then is the download deleted,
// through the handle that was checked.
SystemError CopyOver(Download& download, const Text& current, bool& current_refused) {
  current_refused = true;
  Text temp;
  HANDLE copy = CreateTemporaryCopy(current, temp);
  if (copy == INVALID_HANDLE_VALUE) return LastError();
  SystemError error = 0;
  std::string chunk;
  for (uint64_t at = 0; error == 0 && at < download.size; at += chunk.size()) {
    DWORD written = 0;
    error = ReadDownloadAt(download, at, 1 << 16, chunk);
    if (error == 0 && chunk.empty()) break;
    if (error == 0 && !WriteFile(copy, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) {
      error = LastError();
    }
  }
  if (error == 0 && !FlushFileBuffers(copy)) error = LastError();
  CloseHandle(copy);
  const Text extended_temp = ExtendedPath(temp), extended_current = ExtendedPath(current);
  if (error == 0) {
    error = RetryFileStep(FileStep::kReplaceCurrent, current, [&]() -> DWORD {
      return MoveFileExW(extended_temp.c_str(), extended_current.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                 ? 0
                 : LastError();
    });
  }
  if (error != 0) {
    DeleteFileW(extended_temp.c_str());
    return error;
  }
  current_refused = false;
  FILE_DISPOSITION_INFO remove = {TRUE};
  return SetFileInformationByHandle(download.handle, FileDispositionInfo, &remove, sizeof remove)
             ? 0
             : LastError();
}

}  // namespace

SystemError ReplaceCurrentWithDownload(Download& download, const Text& current,
                                       bool& current_refused) {
  const Text target = ExtendedPath(current);
  const SystemError error = RetryFileStep(FileStep::kReplaceCurrent, current, [&]() -> DWORD {
    return RenameByHandle(download.handle, target);
  });
  if (error == ERROR_NOT_SAME_DEVICE) return CopyOver(download, current, current_refused);
  // The download is held by this handle alone: what refuses its rename is
  // the current executable (or its folder).
  current_refused = error == ERROR_ACCESS_DENIED || error == ERROR_DELETE_PENDING ||
                    IsSharingOrLockViolation(error);
  return error;
}
