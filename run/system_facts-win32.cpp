// What the run asks of the system besides its steps: its own folder, the
// words for an error, the local time, and its end.
#include <windows.h>

#include <signal.h>

#include "run/endings-win32.h"
#include "run/frm_copy.h"
#include "run/run_ops.h"

namespace {

// msvcrt's abort() (memory exhausted in the runtime's own code, say) raises
// SIGABRT before it shows its box.
void EndOnAbort(int) { EndAfterInternalFailure(); }

LONG WINAPI EndOnUnhandledException(EXCEPTION_POINTERS*) { EndAfterInternalFailure(); }

}  // namespace

void InstallEndingHandlers() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  signal(SIGABRT, EndOnAbort);
  SetUnhandledExceptionFilter(EndOnUnhandledException);
}

SystemError GetProgramDirectory(Text& directory) {
  Text path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return LastError();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  size_t separator = path.find_last_of(L"\\/");
  if (separator == Text::npos) return ERROR_BAD_PATHNAME;
  directory = path.substr(0, separator);
  return 0;
}

// The words of the errors the steps can meet, as Microsoft's English
// messages have them: the same on every Windows, whatever languages it has
// installed (the system's own text is in the user's language, and English
// ones are missing without the English language pack).
Text DescribeSystemError(SystemError error) {
  static const struct {
    DWORD error;
    const wchar_t* words;
  } kWords[] = {
      {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified"},
      {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified"},
      {ERROR_ACCESS_DENIED, L"Access is denied"},
      {ERROR_INVALID_HANDLE, L"The handle is invalid"},
      {ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available"},
      {ERROR_INVALID_DRIVE, L"The system cannot find the drive specified"},
      {ERROR_NOT_SAME_DEVICE, L"The system cannot move the file to a different disk drive"},
      {ERROR_WRITE_PROTECT, L"The media is write protected"},
      {ERROR_NOT_READY, L"The device is not ready"},
      {ERROR_GEN_FAILURE, L"A device attached to the system is not functioning"},
      {ERROR_SHARING_VIOLATION,
       L"The process cannot access the file because it is being used by another process"},
      {ERROR_LOCK_VIOLATION,
       L"The process cannot access the file because another process has locked a portion of the file"},
      {ERROR_HANDLE_DISK_FULL, L"The disk is full"},
      {ERROR_BAD_NETPATH, L"The network path was not found"},
      {ERROR_NETNAME_DELETED, L"The specified network name is no longer available"},
      {ERROR_FILE_EXISTS, L"The file exists"},
      {ERROR_INVALID_PARAMETER, L"The parameter is incorrect"},
      {ERROR_DISK_FULL, L"There is not enough space on the disk"},
      {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect"},
      {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists"},
      {ERROR_BAD_EXE_FORMAT, L"It is not a valid Win32 application"},
      {ERROR_FILENAME_EXCED_RANGE, L"The filename or extension is too long"},
      {ERROR_EXE_MACHINE_TYPE_MISMATCH,
       L"This version of the program is not compatible with the version of Windows running"},
      {225 /* ERROR_VIRUS_INFECTED */, L"The file contains a virus or potentially unwanted software"},
      {ERROR_DELETE_PENDING, L"The file cannot be opened because it is in the process of being deleted"},
      {740 /* ERROR_ELEVATION_REQUIRED */, L"The requested operation requires elevation"},
      {ERROR_USER_MAPPED_FILE,
       L"The requested operation cannot be performed on a file with a user-mapped section open"},
      {ERROR_CANT_ACCESS_FILE, L"The file cannot be accessed by the system"},
  };
  for (const auto& known : kWords) {
    if (known.error == error) return known.words;
  }
  return Text();
}

LocalTime GetLocalTimeNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void EndProcess(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }
