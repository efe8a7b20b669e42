// The download: found, opened once and held so that no one else may write,
// move or delete it, and read where its headers lie.
#include <windows.h>
// After windows.h: the security calls need its types.
#include <aclapi.h>

#include <cstdint>
#include <string>

#include "common/library-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/download-win32.h"
#include "run/run_ops.h"

namespace {

// What a file is, read through a handle: its reparse tag (0: none) and its
// identity on the machine.
struct FileFacts {
  DWORD attributes = 0, tag = 0, volume = 0;
  uint64_t index = 0;
};

bool ReadFacts(HANDLE file, FileFacts& facts) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandle(file, &info)) {
    return false;
  }
  facts.attributes = tag.FileAttributes;
  facts.tag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
  facts.volume = info.dwVolumeSerialNumber;
  facts.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

// Whether `owner` is the system's, the administrators' or that of the
// program folder (whose owner is read once, where it is needed).
bool IsTrustedOwner(PSID owner, const Text& directory) {
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  PSID folder_owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const Text folder = ExtendedPath(FolderPath(directory));
  const bool same = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &folder_owner,
                                          nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                    EqualSid(owner, folder_owner);
  LocalFree(descriptor);
  return same;
}

enum class Way { kOpen, kMissing, kStrangersLink };

// Looks at each folder on the way from the program folder to `below`: a name
// surrogate there (a symbolic link, a junction, a mount point) is followed
// only where its owner is the system, the administrators or the program
// folder's owner; anyone else chose where the way leads. A link's own
// target is not looked into further.
DWORD CheckTheWay(const Text& directory, const Text& below, Way& way) {
  way = Way::kOpen;
  for (size_t at = below.find(L'\\', 1); at != Text::npos; at = below.find(L'\\', at + 1)) {
    HANDLE step = CreateFileW(ExtendedPath(directory + below.substr(0, at)).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (step == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return LastError();
      way = Way::kMissing;
      return 0;
    }
    FileFacts facts;
    DWORD error = ReadFacts(step, facts) ? 0 : LastError();
    if (error == 0 && facts.tag != 0 && IsReparseTagNameSurrogate(facts.tag)) {
      PSID owner = nullptr;
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      error = GetSecurityInfo(step, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor);
      if (error == ERROR_SUCCESS && !IsTrustedOwner(owner, directory)) way = Way::kStrangersLink;
      LocalFree(descriptor);
    }
    CloseHandle(step);
    if (error != 0 || way != Way::kOpen) return error;
  }
  return 0;
}

}  // namespace

SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found) {
  found = DownloadFound::kNothing;
  Way way = Way::kOpen;
  if (DWORD error = CheckTheWay(directory, below, way)) return error;
  if (way == Way::kMissing) return 0;
  if (way == Way::kStrangersLink) {
    found = DownloadFound::kBehindAStrangersLink;
    return 0;
  }
  const Text extended = ExtendedPath(directory + below);
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
  found = DownloadFound::kPlainFile;
  return 0;
}

SystemError OpenDownload(const Text& directory, const Text& below, Download*& download) {
  // The way looked at again, as it was found: a link made since is refused.
  Way way = Way::kOpen;
  if (DWORD error = CheckTheWay(directory, below, way)) return error;
  if (way != Way::kOpen) return way == Way::kMissing ? ERROR_PATH_NOT_FOUND : ERROR_CANT_ACCESS_FILE;
  const Text path = directory + below;
  const Text extended = ExtendedPath(path);
  FileFacts named;
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD error = RetryFileStep(FileStep::kOpenDownload, path, [&]() -> DWORD {
    // What stands at the name now, seen through a handle on the name
    // itself: the search saw it by path, and it may have become a link.
    HANDLE probe = CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return LastError();
    const DWORD probe_error = ReadFacts(probe, named) ? 0 : LastError();
    CloseHandle(probe);
    if (probe_error != 0) return probe_error;
    if (named.tag != 0 && IsReparseTagNameSurrogate(named.tag)) return ERROR_CANT_ACCESS_FILE;
    // Delete access, as the removal needs; shared for reading only, so that
    // no other process may write, move or delete it from now on. A process
    // that still writes it refuses this open too. A plain file is opened as
    // the name itself; another reparse point (deduplicated, cloud) as its
    // data.
    file = CreateFileW(extended.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, named.tag == 0 ? FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return error;
  // The file held is the file seen: a link put in its place meanwhile
  // names another.
  FileFacts held;
  LARGE_INTEGER length;
  SystemError held_error = 0;
  if (!ReadFacts(file, held) || !GetFileSizeEx(file, &length)) {
    held_error = LastError();
  } else if (held.volume != named.volume || held.index != named.index ||
             (held.tag != 0 && IsReparseTagNameSurrogate(held.tag))) {
    held_error = ERROR_CANT_ACCESS_FILE;
  }
  if (held_error != 0) {
    CloseHandle(file);
    return held_error;
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

DWORD ReadFileAt(HANDLE file, uint64_t offset, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t got = 0;
  while (got < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    const DWORD chunk = size - got > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size - got);
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

SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  return ReadFileAt(download.handle, offset, size, bytes);
}

SystemError WaitUntilNoOtherWriter(Download&, bool& still_written) {
  still_written = false;
  return 0;
}

SystemError CompareDownloadWithCurrent(Download& download, const Text& current, bool& same_file,
                                       bool& same_bytes) {
  same_file = same_bytes = false;
  // Shared with every other holder: a running updater has its image open.
  HANDLE program = CreateFileW(ExtendedPath(current).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (program == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION theirs_info, ours_info;
  SystemError error = 0;
  if (GetFileInformationByHandle(download.handle, &theirs_info) &&
      GetFileInformationByHandle(program, &ours_info)) {
    same_file = theirs_info.dwVolumeSerialNumber == ours_info.dwVolumeSerialNumber &&
                theirs_info.nFileIndexHigh == ours_info.nFileIndexHigh &&
                theirs_info.nFileIndexLow == ours_info.nFileIndexLow;
    const uint64_t size = (uint64_t{ours_info.nFileSizeHigh} << 32) | ours_info.nFileSizeLow;
    bool same = !same_file && size == download.size;
    std::string theirs, ours;
    for (uint64_t at = 0; same && at < size; at += ours.size()) {
      error = ReadFileAt(download.handle, at, 1 << 18, theirs);
      same = error == 0 && ReadFileAt(program, at, 1 << 18, ours) == 0 && ours == theirs &&
             !ours.empty();
    }
    same_bytes = same;
  }
  CloseHandle(program);
  return error;
}

SystemError RemoveDownload(Download& download) {
  // Through the handle that was checked: whatever else its name may lead to.
  FILE_DISPOSITION_INFO remove = {TRUE};
  return SetFileInformationByHandle(download.handle, FileDispositionInfo, &remove, sizeof remove)
             ? 0
             : LastError();
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
