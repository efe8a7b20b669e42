// The run's own small files beside the current executable (Windows): read
// only as a plain file of a few KiB, written whole (a temporary file,
// flushed, moved over the old one), each step waiting out a scanner.
#include <windows.h>

#include <string>

#include "common/file-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "common/temp_name.h"
#include "run/run_ops.h"

namespace {

// Such a file holds a few lines: anything larger is no file of the run's.
constexpr LONGLONG kLargestFileBeside = 64 * 1024;

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

SystemError ReadFileBeside(const Text& current, const Text& suffix, std::string& bytes) {
  bytes.clear();
  const Text path = current + suffix;
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD error = RetryFileStep(FileStep::kOwnFile, path, [&]() -> DWORD {
    file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return IsMissing(error) ? 0 : error;
  LARGE_INTEGER size = {};
  SystemError read_error = GetFileSizeEx(file, &size) ? 0 : LastError();
  if (read_error == 0 && size.QuadPart > kLargestFileBeside) read_error = ERROR_INVALID_DATA;
  if (read_error == 0) read_error = ReadFileAt(file, 0, static_cast<size_t>(size.QuadPart), bytes);
  CloseHandle(file);
  return read_error;
}

SystemError WriteFileBeside(const Text& current, const Text& suffix, const std::string& bytes) {
  Text temp;
  HANDLE file = CreateFileUnderTemporaryName(current, temp);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  DWORD written = 0;
  SystemError error = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ? 0 : LastError();
  if (error == 0 && !FlushFileBuffers(file)) error = LastError();
  CloseHandle(file);
  const Text path = current + suffix;
  if (error == 0) {
    error = RetryFileStep(FileStep::kOwnFile, path, [&]() -> DWORD {
      return MoveFileExW(ExtendedPath(temp).c_str(), ExtendedPath(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                 ? 0
                 : LastError();
    });
  }
  if (error != 0) DeleteFileW(ExtendedPath(temp).c_str());
  return error;
}

SystemError RemoveFileBeside(const Text& current, const Text& suffix) {
  const Text path = current + suffix;
  const DWORD error = RetryFileStep(FileStep::kOwnFile, path, [&]() -> DWORD {
    return DeleteFileW(ExtendedPath(path).c_str()) ? 0 : LastError();
  });
  return IsMissing(error) ? 0 : error;
}
