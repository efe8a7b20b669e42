// The run guard (Windows): a named mutex keyed on the folder's identity, in
// the Global\ namespace where a run made it, else the session's.
#include <windows.h>
// After windows.h: the security descriptor language needs its types.
#include <sddl.h>
#include <aclapi.h>

#include <cstdint>

#include "common/file-win32.h"
#include "common/path-win32.h"
#include "run/run_ops.h"

namespace {

// The folder's identity, its volume and its file index: the same however
// the path to it is spelled (another drive letter for the same place, a
// UNC path, a subst drive, a junction, a short name). Empty where the folder
// cannot be opened to learn it.
Text FolderIdentity(const Text& directory) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!ReadFileIdentity(FolderPath(directory), info)) return Text();
  return HexText(info.dwVolumeSerialNumber, 8) + L'-' +
         HexText((uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 16);
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
  return L"path-" + HexText(hash, 16);
}

// Whether `owner` is this process's user, or the owner it gives the objects
// it makes (an administrator's process gives them to the administrators).
bool IsThisProcesssOwner(PSID owner) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    char bytes[256];
  } info;
  DWORD size = 0;
  const bool same =
      (GetTokenInformation(token, TokenUser, &info, sizeof info, &size) && EqualSid(owner, info.user.User.Sid)) ||
      (GetTokenInformation(token, TokenOwner, &info, sizeof info, &size) && EqualSid(owner, info.owner.Owner));
  CloseHandle(token);
  return same;
}

// Whether the guard found in the global namespace was made by a run of this
// tool on the folder: any user may make an object of any name there first,
// with an access list of their own. Its owner must be the system, the
// administrators, this process's owner, or a user the folder's access list
// lets add files to it, as a run must. An owner that cannot be read is a
// stranger's.
bool GuardMadeByARun(HANDLE mutex, const Text& folder) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR guard_security = nullptr;
  if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &guard_security) != ERROR_SUCCESS) {
    return false;
  }
  bool made_by_a_run = IsWellKnownSid(owner, WinLocalSystemSid) ||
                       IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsThisProcesssOwner(owner);
  PACL folder_acl = nullptr;
  PSECURITY_DESCRIPTOR folder_security = nullptr;
  if (!made_by_a_run &&
      GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &folder_acl, nullptr, &folder_security) == ERROR_SUCCESS) {
    TRUSTEE_W trustee;
    BuildTrusteeWithSidW(&trustee, owner);
    ACCESS_MASK rights = 0;
    made_by_a_run = folder_acl == nullptr ||  // no access list: everyone may
                    (GetEffectiveRightsFromAclW(folder_acl, &trustee, &rights) == ERROR_SUCCESS &&
                     (rights & FILE_ADD_FILE) != 0);
    LocalFree(folder_security);
  }
  LocalFree(guard_security);
  return made_by_a_run;
}

// The guard's mutex, in the namespace every logon session shares, so that a
// service and a user on one folder take turns too. Anyone may wait on it and
// read who made it, but only the system and administrators may change it; a
// run that may not create it with full access opens it to wait on. Where
// the global namespace is closed to this process, or its guard is a
// stranger's, the session's own is used; where that is a stranger's too
// (one who shares the session, started as another user), none:
// `strangers` says so, and no run waits for them.
HANDLE OpenRunGuardMutex(const Text& key, const Text& folder, bool& strangers) {
  strangers = false;
  const Text global_name = L"Global\\PlindorSwap-" + key;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00120001;;;WD)", SDDL_REVISION_1, &descriptor,
          nullptr)) {
    security.lpSecurityDescriptor = descriptor;
  }
  HANDLE mutex = CreateMutexW(&security, FALSE, global_name.c_str());
  bool existed = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, global_name.c_str());
    existed = mutex != nullptr;
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  if (mutex != nullptr && existed && !GuardMadeByARun(mutex, folder)) {
    CloseHandle(mutex);
    mutex = nullptr;
  }
  if (mutex != nullptr) return mutex;
  mutex = CreateMutexW(nullptr, FALSE, (L"Local\\PlindorSwap-" + key).c_str());
  if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS && !GuardMadeByARun(mutex, folder)) {
    CloseHandle(mutex);
    mutex = nullptr;
    strangers = true;
  }
  return mutex;
}

}  // namespace

SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, RunGuard& guard) {
  guard = RunGuard::kNotInTime;
  // The handle stays open until the process ends, which releases the mutex.
  Text key = FolderIdentity(directory);
  if (key.empty()) key = PathKey(directory);
  bool strangers = false;
  HANDLE mutex = OpenRunGuardMutex(key, ExtendedPath(FolderPath(directory)), strangers);
  if (mutex == nullptr) {
    if (!strangers) return LastError();
    guard = RunGuard::kTaken;
    return 0;
  }
  switch (WaitForSingleObject(mutex, timeout_ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // an earlier run died holding it: its work is over
      guard = RunGuard::kTaken;
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
