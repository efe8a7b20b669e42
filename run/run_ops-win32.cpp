#include "run/run_ops.h"

#include <windows.h>
// After windows.h: the security descriptor language needs its types.
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "common/temp_name.h"
#include "run/failure_record.h"

namespace {

void AppendHex(Text& text, uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    text += L"0123456789abcdef"[(value >> shift) & 0xf];
  }
}

// The folder's identity, its volume and its file index: the same however
// the path to it is spelled (another drive letter for the same place, a
// UNC path, a subst drive, a junction, a short name). Empty where the folder
// cannot be opened to learn it.
Text FolderIdentity(const Text& directory) {
  // "C:" alone names the current folder of drive C, not its root.
  const Text folder_path = !directory.empty() && directory.back() == L':' ? directory + L'\\' : directory;
  HANDLE folder = CreateFileW(ExtendedPath(folder_path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return Text();
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(folder, &info) != 0;
  CloseHandle(folder);
  Text identity;
  if (!known) return identity;
  AppendHex(identity, info.dwVolumeSerialNumber, 8);
  identity += L'-';
  AppendHex(identity, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 16);
  return identity;
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
  Text key = FolderIdentity(directory);
  if (key.empty()) key = PathKey(directory);
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

namespace {

Text FolderOf(const Text& path) { return path.substr(0, path.find_last_of(L'\\')); }
Text NameOf(const Text& path) { return path.substr(path.find_last_of(L'\\') + 1); }

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

SystemError FindPlainFile(const Text& path, bool& found) {
  found = false;
  const Text extended = ExtendedPath(path);
  const DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    return LastError();
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
    return 0;
  }
  // A name surrogate (a symbolic link, a junction, a mount point) is no
  // plain file: moved into place it could point anywhere, even at the
  // executable it replaces. Other reparse points (deduplicated files, cloud
  // and HSM placeholders, compressed files) are files like any other.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(extended.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return LastError();
    FindClose(search);
    if (IsReparseTagNameSurrogate(entry.dwReserved0)) return 0;
  }
  found = true;
  return 0;
}

struct Download {
  HANDLE handle;
  uint64_t size;
};

SystemError OpenDownload(const Text& path, Download*& download) {
  const Text extended = ExtendedPath(path);
  HANDLE file = INVALID_HANDLE_VALUE;
  // Delete access, as the rename needs; shared for reading only, so that no
  // other process may write, move or delete it from now on. A process that
  // still writes it refuses this open too.
  const DWORD error = RetryFileStep(FileStep::kOpenDownload, path, [&]() -> DWORD {
    file = CreateFileW(extended.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return error;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) {
    const SystemError size_error = LastError();
    CloseHandle(file);
    return size_error;
  }
  download = new Download{file, static_cast<uint64_t>(length.QuadPart)};
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  CloseHandle(download->handle);
  delete download;
}

uint64_t DownloadSize(const Download& download) { return download.size; }

SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t got = 0;
  while (got < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    const DWORD chunk = size - got > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size - got);
    DWORD read_now = 0;
    if (!ReadFile(download.handle, &bytes[got], chunk, &read_now, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (read_now == 0) break;
    got += read_now;
  }
  bytes.resize(got);
  return 0;
}

SystemError WaitUntilNoOtherWriter(Download&, bool& still_written) {
  still_written = false;
  return 0;
}

bool DownloadIsStillTheFileChecked(Download&) { return true; }

RunnableMachines GetRunnableMachines() {
  // The native machine, also as a 32-bit program on a 64-bit Windows. The
  // call came with Windows 10; before it, the processor's architecture.
  USHORT process_machine = 0, native = 0;
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto is_wow64_process2 = reinterpret_cast<BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*)>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "IsWow64Process2")));
  if (is_wow64_process2 == nullptr || !is_wow64_process2(GetCurrentProcess(), &process_machine, &native)) {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    native = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? IMAGE_FILE_MACHINE_AMD64
             : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
             : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? IMAGE_FILE_MACHINE_I386
                                                                           : 0;
  }
  RunnableMachines machines;
  if (native == 0) return machines;  // not known: not checked
  // x86 programs run everywhere; x64 ones on x64 Windows, and on ARM64
  // Windows where it emulates x64 (Windows 11).
  machines.pe = {IMAGE_FILE_MACHINE_I386};
  if (native == IMAGE_FILE_MACHINE_AMD64) machines.pe.push_back(IMAGE_FILE_MACHINE_AMD64);
  if (native == IMAGE_FILE_MACHINE_ARM64) {
    machines.pe.push_back(IMAGE_FILE_MACHINE_ARM64);
    const auto guest_supported = reinterpret_cast<HRESULT(WINAPI*)(USHORT, BOOL*)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "IsWow64GuestMachineSupported")));
    BOOL x64 = FALSE;
    if (guest_supported != nullptr && SUCCEEDED(guest_supported(IMAGE_FILE_MACHINE_AMD64, &x64)) && x64) {
      machines.pe.push_back(IMAGE_FILE_MACHINE_AMD64);
    }
  }
  return machines;
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
  // The updater gets the system's error mode, not the tool's own.
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
    return LastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
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
