#include "profile/mod_ini.h"

#include <windows.h>

#include "common/path-win32.h"
#include "common/retry-win32.h"

namespace {

// The profile call, waiting out a process that holds the file for a moment.
bool WriteProfileString(const Text& section, const Text& key, const Text& value,
                        const wchar_t* file) {
  return RetryFileStep(FileStep::kWriteProfile, file, [&]() -> DWORD {
           return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file)
                      ? 0
                      : LastError();
         }) == 0;
}

// CopyFileW, waiting out a process that holds either file for a moment.
DWORD CopyHeldFile(const wchar_t* from, const wchar_t* to) {
  return RetryFileStep(FileStep::kCopyProfile, to,
                       [&]() -> DWORD { return CopyFileW(from, to, FALSE) ? 0 : LastError(); });
}

// The profile call takes no path past MAX_PATH, and a volume may keep no
// short names to shorten one with. The record is then written by the same
// call into a copy of the profile in the temporary folder, and the copy is
// written back over the profile in place. The profile is refused as the call
// itself would refuse it: a read-only file or a folder takes nothing. A
// scanner that holds each new file in the temporary folder for a moment is
// waited out at every step, and the copy is never left behind for it.
void WriteThroughTemporaryCopy(const Text& file, const Text& section, const Text& key,
                               const Text& value) {
  wchar_t temp_folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp_folder);
  if (length == 0 || length > MAX_PATH - 14) return;
  wchar_t temp[MAX_PATH];
  if (!GetTempFileNameW(temp_folder, L"PSw", 0, temp)) return;
  const Text profile = ExtendedPath(file);
  const DWORD copy_error = CopyHeldFile(profile.c_str(), temp);
  if ((copy_error == 0 || copy_error == ERROR_FILE_NOT_FOUND) &&
      WriteProfileString(section, key, value, temp)) {
    CopyHeldFile(temp, profile.c_str());
  }
  RetryFileStep(FileStep::kRemoveProfileCopy, temp,
                [&]() -> DWORD { return DeleteFileW(temp) ? 0 : LastError(); });
}

}  // namespace

// The wide form of the profile call: the path reaches the file even when it
// holds characters the ANSI code page has not. The platform still writes the
// file's content in the file's own encoding. It is never handed a path it
// cannot take: such a path could send the record to some other file.
void WriteIniValue(Text file, Text section, Text key, Text value) {
  const Text reachable = ShortFormIfLong(file);
  if (reachable.size() >= MAX_PATH) {
    WriteThroughTemporaryCopy(file, section, key, value);
    return;
  }
  WriteProfileString(section, key, value, reachable.c_str());
}
