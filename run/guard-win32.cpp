// The run guard: one run at a time on a program directory, whatever the
// spelling of its path and whichever session runs it.
#include <windows.h>
// After windows.h: the security descriptor language needs its types.
#include <sddl.h>

#include <cstdint>

#include "common/path-win32.h"
#include "run/run_ops.h"

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
