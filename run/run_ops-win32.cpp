#include "run/run_ops.h"

#include <windows.h>
// After windows.h: the security descriptor language needs its types.
#include <sddl.h>

#include <cstdint>
#include <string>

#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/failure_record.h"

namespace {

void AppendHex(Text& text, uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    text += L"0123456789abcdef"[(value >> shift) & 0xf];
  }
}

// The folder's identity, its volume and its file index: the same however
// the path to it is spelled (another drive letter for the same place, a
// UNC path, a subst drive, a junction, a short name).
bool FolderIdentity(const Text& directory, Text& identity) {
  HANDLE folder = CreateFileW(ExtendedPath(directory).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(folder, &info) != 0;
  CloseHandle(folder);
  if (!known) return false;
  identity.clear();
  AppendHex(identity, info.dwVolumeSerialNumber, 8);
  identity += L'-';
  AppendHex(identity, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 16);
  return true;
}

// Where the folder cannot be opened to learn its identity, a hash of its
// lower-cased path: mutex names cannot hold backslashes and are case
// sensitive while paths are not.
Text PathKey(const Text& directory) {
  Text lower = directory;
  if (!lower.empty()) {
    LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, directory.c_str(),
                 static_cast<int>(directory.size()), &lower[0], static_cast<int>(lower.size()));
  }
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : lower) {
    hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  }
  Text key = L"path-";
  AppendHex(key, hash, 16);
  return key;
}

// The guard's mutex, in the namespace every logon session shares, so that a
// service and a user on one folder take turns too. Anyone may wait on it,
// but only the system and administrators may change it; a run that may not
// create it with full access opens it to wait on. Where the global namespace
// is closed to this process, the session's own is used.
HANDLE OpenRunGuardMutex(const Text& key) {
  const Text global_name = L"Global\\PlindorSwap-" + key;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)", SDDL_REVISION_1, &descriptor,
          nullptr)) {
    security.lpSecurityDescriptor = descriptor;
  }
  HANDLE mutex = CreateMutexW(&security, FALSE, global_name.c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = OpenMutexW(SYNCHRONIZE, FALSE, global_name.c_str());
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  if (mutex == nullptr) mutex = CreateMutexW(nullptr, FALSE, (L"Local\\PlindorSwap-" + key).c_str());
  return mutex;
}

}  // namespace

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

SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken) {
  taken = false;
  // The handle stays open until the process ends, which releases the mutex.
  Text key;
  if (!FolderIdentity(directory, key)) key = PathKey(directory);
  HANDLE mutex = OpenRunGuardMutex(key);
  if (mutex == nullptr) return LastError();
  switch (WaitForSingleObject(mutex, timeout_ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // an earlier run died holding it: its work is over
      taken = true;
      return 0;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return 0;
    default: {
      SystemError error = LastError();
      CloseHandle(mutex);
      return error;
    }
  }
}

// The Windows steps leave no temporary copies: the system moves and writes
// the files itself.
void RemoveStaleTemporaryCopies(std::initializer_list<Text>) {}

SystemError FindPlainFile(const Text& path, bool& found) {
  found = false;
  DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    return LastError();
  }
  // A reparse point (a symbolic link, a junction) is no plain file: moved
  // into place it could point anywhere, even at the executable it replaces.
  const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_REPARSE_POINT;
  found = (attributes & not_plain) == 0;
  return 0;
}

SystemError ReadFileBeforeMove(const Text& path, size_t limit, std::string& head,
                               uint64_t& size) {
  const Text extended = ExtendedPath(path);
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD open_error = RetryWhileHeld(
      [&]() -> DWORD {
        // Delete access, as the move needs: a process whose handle would
        // refuse the move refuses this open too.
        file = CreateFileW(extended.c_str(), GENERIC_READ | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE ? 0 : LastError();
      },
      IsSharingOrLockViolation);
  if (open_error != 0) return open_error;
  SystemError error = 0;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) error = LastError();
  if (error == 0) {
    size = static_cast<uint64_t>(length.QuadPart);
    head.assign(static_cast<size_t>(size < limit ? size : limit), '\0');
    DWORD got = 0;
    if (!head.empty() && !ReadFile(file, &head[0], static_cast<DWORD>(head.size()), &got, nullptr)) {
      error = LastError();
    }
    head.resize(got);
  }
  CloseHandle(file);
  return error;
}

SystemError DeleteFileNotForced(const Text& path) {
  const Text extended = ExtendedPath(path);
  // Refused while another process holds the file, or while its deletion is
  // still pending; also as "access denied" where the file is the image of a
  // process that is just ending. A read-only file is refused for good.
  const auto may_clear = [&](DWORD error) {
    if (IsSharingOrLockViolation(error) || error == ERROR_DELETE_PENDING) return true;
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    return error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  };
  return RetryWhileHeld(
      [&]() -> DWORD { return DeleteFileW(extended.c_str()) ? 0 : LastError(); }, may_clear);
}

bool IsFileNotFound(SystemError error) { return error == ERROR_FILE_NOT_FOUND; }

SystemError MoveFileNoReplace(const Text& from, const Text& to) {
  const Text source = ExtendedPath(from), destination = ExtendedPath(to);
  // The destination was just deleted: where it still stands, its deletion is
  // pending until the last process that holds it lets go.
  const auto may_clear = [](DWORD error) {
    return IsSharingOrLockViolation(error) || error == ERROR_ACCESS_DENIED ||
           error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
  };
  return RetryWhileHeld(
      [&]() -> DWORD { return MoveFileW(source.c_str(), destination.c_str()) ? 0 : LastError(); },
      may_clear);
}

SystemError LaunchMinimized(const Text& path) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINIMIZED;
  // The program is named outright and its command line quoted, so a folder
  // with spaces can never make the system start some other program.
  const Text program = ShortFormIfLong(path);
  Text command_line = L"\"" + program + L"\"";
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return LastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

Text DescribeSystemError(SystemError error) {
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, buffer, 512, nullptr);
  if (length == 0) return L"system error " + DecimalText(error);
  return Text(buffer, length);
}

LocalTime GetLocalTimeNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void EndProcess(int exit_code) { ExitProcess(static_cast<UINT>(exit_code)); }
