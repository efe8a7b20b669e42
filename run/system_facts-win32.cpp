// What the run asks of the system besides its steps (Windows): its own
// folder, the programs it runs, the words for an error, the local time, and
// its end.
#include <windows.h>

#include "common/library-win32.h"
#include "run/run_ops.h"

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

RunnableMachines GetRunnableMachines() {
  RunnableMachines machines;
  machines.format = ProgramFormat::kPe;
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  // Windows 11 says of each machine whether its programs run in user mode,
  // x64 on ARM64 among them, which is emulated there but not by WOW64.
  const auto attributes_of = LibraryFunction<HRESULT(WINAPI*)(USHORT, int*)>(kernel, "GetMachineTypeAttributes");
  if (attributes_of != nullptr) {
    for (const USHORT machine : {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_ARM64}) {
      int attributes = 0;
      if (SUCCEEDED(attributes_of(machine, &attributes)) && (attributes & 1 /* UserEnabled */) != 0) {
        machines.pe.push_back(machine);
      }
    }
    if (!machines.pe.empty()) return machines;
  }
  // Before it, the native machine, also as a 32-bit program on a 64-bit
  // Windows. IsWow64Process2 came with Windows 10 1709; before it, the
  // processor's architecture.
  USHORT process_machine = 0, native = 0;
  const auto is_wow64_process2 = LibraryFunction<BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*)>(kernel, "IsWow64Process2");
  if (is_wow64_process2 == nullptr || !is_wow64_process2(GetCurrentProcess(), &process_machine, &native)) {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    native = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? IMAGE_FILE_MACHINE_AMD64
             : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
             : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? IMAGE_FILE_MACHINE_I386
                                                                           : 0;
  }
  if (native == 0) return machines;  // not known: not checked
  // x86 programs run everywhere; x64 ones on x64 Windows, and on ARM64
  // Windows where it says it runs them as a WOW64 guest.
  machines.pe = {IMAGE_FILE_MACHINE_I386};
  if (native == IMAGE_FILE_MACHINE_AMD64) machines.pe.push_back(IMAGE_FILE_MACHINE_AMD64);
  if (native == IMAGE_FILE_MACHINE_ARM64) {
    machines.pe.push_back(IMAGE_FILE_MACHINE_ARM64);
    const auto guest_supported = LibraryFunction<HRESULT(WINAPI*)(USHORT, BOOL*)>(kernel, "IsWow64GuestMachineSupported");
    BOOL x64 = FALSE;
    if (guest_supported != nullptr && SUCCEEDED(guest_supported(IMAGE_FILE_MACHINE_AMD64, &x64)) && x64) {
      machines.pe.push_back(IMAGE_FILE_MACHINE_AMD64);
    }
  }
  return machines;
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
