// The Windows platform files against a model of the system calls they make,
// where a real Windows answers otherwise than Wine does. The platform files
// are compiled for this test without dllimport (tests/CMakeLists.txt), so the
// definitions below take the place of those calls; each answers as the
// document its row names says Windows does, and hands every other call to
// the real one. The files the rows use are real, in a temporary folder; the
// pauses are counted, not slept.
//
// usage: windows_model_test   (exit 0 when every row holds)
#include <windows.h>
// After windows.h: the security descriptor language needs its types.
#include <sddl.h>
#include <aclapi.h>
#include <winternl.h>
#include <tlhelp32.h>
// The snapshot is read through the ANSI entry points (as the process files do).
#undef PROCESSENTRY32
#undef LPPROCESSENTRY32
#undef Process32First
#undef Process32Next

#include <cstdio>
#include <map>
#include <set>
#include <vector>
#include <string>
#include <tuple>

#include "common/path-win32.h"
#include "common/retry.h"
#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/endings-win32.h"
#include "run/run_ops.h"

namespace {

// What the model answers, set by each row.
struct Model {
  std::wstring path;             // the file the row is about, matched at the end of a path
  int pending_delete = 0;        // calls refused as a pending deletion; then it is gone
  DWORD pending_error = ERROR_ACCESS_DENIED;  // how a pending deletion answers a rename
  bool running_image = false;    // the image of a process that runs until terminated
  bool denied_delete = false;    // its permissions refuse delete access
  bool refuses_replace = false;  // a rename or move over it is refused for good
  bool posix_rename = false;     // the system has FileRenameInfoEx (Windows 10 1709, NTFS)
  bool held_sharing_delete = false;  // a scanner holds it, sharing its deletion
  DWORD rename_flags = 0;        // the flags of the last FileRenameInfoEx call
  std::wstring current_security; // its security descriptor, as SDDL, where set
  HANDLE current_handle = nullptr;  // the last handle opened on it
  std::vector<std::wstring> security_set;  // what was set on the new program, as SDDL
  enum Step { kNoCopyFailure, kCreateCopy, kNamesTaken, kWriteCopy, kFlushCopy } copy_fails = kNoCopyFailure;
  HANDLE copy = nullptr;         // the temporary copy beside the current executable
  int copy_creations = 0;        // how often its creation was tried
  DWORD handle_tag = 0;          // the tag a handle on it sees (it became a link since the search)
  // The model's processes, by id: each one's image ("": it has ended, or
  // cannot be read), and those of another user, which refuse even the
  // limited query right; where `listed` is set, the snapshot lists these.
  std::map<DWORD, std::wstring> images;
  std::set<DWORD> another_users;
  std::vector<std::pair<DWORD, std::string>> listed;
  size_t listed_next = 0;
  bool process_running = false;  // they run until terminated
  DWORD process_access = 0;      // the rights the last handle was opened with
  std::vector<DWORD> waits;      // the timeouts its handle was waited on with
  bool terminated = false;
  bool global_refused = false;   // creating a Global\ object is refused
  bool global_openable = false;  // but one made by a service may be opened
  std::wstring global_security;  // the Global\ guard's access list, as SDDL
  std::wstring guard_owner = L"O:SY";  // who made the guards found, as SDDL (a service)
  std::wstring folder_security;  // the program folder's access list, as SDDL, where set
  std::wstring module_path;      // GetModuleFileNameW's answer, where set; "-": it fails
  bool folder_unopenable = false;  // the program directory cannot be opened
  size_t temp_folder_length = 0;   // GetTempPathW's answer's length, where set
  int native_info_arch = -1;     // GetNativeSystemInfo's architecture, where set
  bool before_wow64_process2 = false;  // a Windows older than IsWow64Process2
  // Where set, kernel32 as a given Windows exports the functions the machine
  // check looks up by name, and what they answer.
  struct Kernel {
    bool set = false;
    std::vector<std::pair<USHORT, int>> attributes;  // GetMachineTypeAttributes; none: not exported
    USHORT native = 0;                               // IsWow64Process2's; 0: not exported
    int guest_x64 = -1;                              // IsWow64GuestMachineSupported(AMD64); -1: not exported
  } kernel;
  std::wstring short_form;       // GetShortPathNameW's answer, where set
  int temp_copy_held = 0;        // deletions of the profile's temporary copy refused
  int mark_held = 0;             // deletions of the swap's mark refused as held
  std::wstring opened_folder, mutex_name;
  int format_message_calls = 0;
  DWORD creation_flags = 0;      // what the updater was started with
  DWORD start_error = ERROR_FILE_NOT_FOUND;  // how its start is refused
  UINT start_error_mode = 0;     // the error mode it would have inherited
  DWORD hard_link_error = 0;     // how a hard link is refused, where set
  STARTUPINFOW startup = {};
  std::wstring command_line;
  unsigned slept_ms = 0;
  std::set<HANDLE> open;         // file and search handles not closed yet
  std::set<HANDLE> mutexes;      // guard handles not closed yet
  std::set<HLOCAL> allocated;    // security descriptors not freed yet
};
Model model;

// A handle to a model process, and the model's snapshot.
HANDLE ProcessHandle(DWORD id) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7e000000 + id)); }
bool IsModelProcess(HANDLE handle) {
  const auto value = reinterpret_cast<INT_PTR>(handle);
  return value >= 0x7e000000 && model.images.count(static_cast<DWORD>(value - 0x7e000000)) != 0;
}
const HANDLE kSnapshot = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7e56));
// FileRenameInfoEx, which the headers declare only for Windows 10.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

extern "C" NTSTATUS NTAPI LdrGetProcedureAddress(HMODULE, PANSI_STRING, ULONG, PVOID*);

// The system's own lookup by name: GetProcAddress is the model's below.
void* TrueProcAddress(HMODULE module, const char* name) {
  ANSI_STRING text = {static_cast<USHORT>(strlen(name)), static_cast<USHORT>(strlen(name) + 1),
                      const_cast<char*>(name)};
  PVOID address = nullptr;
  return LdrGetProcedureAddress(module, &text, 0, &address) >= 0 ? address : nullptr;
}

template <typename Function>
Function Real(const char* dll, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(TrueProcAddress(GetModuleHandleA(dll), name)));
}

const HMODULE kModelKernel = reinterpret_cast<HMODULE>(static_cast<INT_PTR>(0x7e58));

HRESULT WINAPI ModelMachineTypeAttributes(USHORT machine, int* attributes) {
  *attributes = 0;
  for (const auto& [known, answer] : model.kernel.attributes) {
    if (known == machine) *attributes = answer;
  }
  return S_OK;
}

BOOL WINAPI ModelIsWow64Process2(HANDLE, USHORT* process_machine, USHORT* native) {
  *process_machine = 0;
  *native = model.kernel.native;
  return TRUE;
}

HRESULT WINAPI ModelGuestMachineSupported(USHORT machine, BOOL* supported) {
  *supported = machine == IMAGE_FILE_MACHINE_AMD64 && model.kernel.guest_x64 == 1;
  return S_OK;
}

bool IsModelPath(const std::wstring& given) {
  return !model.path.empty() && given.size() >= model.path.size() &&
         given.compare(given.size() - model.path.size(), model.path.size(), model.path) == 0;
}

bool IsTemporaryCopy(const std::wstring& path) { return path.find(L".PlindorSwap-") != path.npos; }

// A pending deletion lasts while another client holds the file; when it
// ends, the file is gone.
bool StillPendingDelete() {
  if (model.pending_delete == 0) return false;
  if (--model.pending_delete == 0) Real<decltype(&DeleteFileW)>("kernel32", "DeleteFileW")(model.path.c_str());
  return true;
}

bool Refuse(DWORD error) {
  SetLastError(error);
  return false;
}

// What a rename or a move over the model's file meets.
bool ReplaceRefused(const std::wstring& target) {
  if (!IsModelPath(target)) return false;
  if (StillPendingDelete()) return !Refuse(model.pending_error);
  if (model.refuses_replace || (model.running_image && !model.terminated)) {
    return !Refuse(ERROR_ACCESS_DENIED);
  }
  return false;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
  if (IsModelPath(path) && StillPendingDelete()) return Refuse(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
  return Real<decltype(&GetFileAttributesW)>("kernel32", "GetFileAttributesW")(path);
}

HANDLE WINAPI FindFirstFileW(LPCWSTR path, LPWIN32_FIND_DATAW found) {
  HANDLE search = Real<decltype(&FindFirstFileW)>("kernel32", "FindFirstFileW")(path, found);
  if (search == INVALID_HANDLE_VALUE) return search;
  model.open.insert(search);
  return search;
}

WINBOOL WINAPI FindClose(HANDLE search) {
  model.open.erase(search);
  return Real<decltype(&FindClose)>("kernel32", "FindClose")(search);
}

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE base) {
  if (IsModelPath(path) && (StillPendingDelete() || (model.denied_delete && (access & DELETE) != 0))) {
    return Refuse(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  }
  if (IsTemporaryCopy(path)) {
    ++model.copy_creations;
    if (model.copy_fails == Model::kCreateCopy) return Refuse(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    if (model.copy_fails == Model::kNamesTaken) return Refuse(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
  }
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0) {
    model.opened_folder = path;
    if (model.folder_unopenable) return Refuse(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  }
  HANDLE file = Real<decltype(&CreateFileW)>("kernel32", "CreateFileW")(path, access, share, security,
                                                                        disposition, flags, base);
  if (file != INVALID_HANDLE_VALUE) model.open.insert(file);
  if (IsTemporaryCopy(path)) model.copy = file;
  if (IsModelPath(path)) model.current_handle = file;
  return file;
}

WINBOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                            DWORD size) {
  const WINBOOL got = Real<decltype(&GetFileInformationByHandleEx)>("kernel32", "GetFileInformationByHandleEx")(
      file, kind, info, size);
  if (got && kind == FileAttributeTagInfo && file == model.current_handle && model.handle_tag != 0) {
    auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
    tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    tag->ReparseTag = model.handle_tag;
  }
  return got;
}

WINBOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED at) {
  if (file == model.copy && model.copy_fails == Model::kWriteCopy) return Refuse(ERROR_DISK_FULL);
  return Real<decltype(&WriteFile)>("kernel32", "WriteFile")(file, data, size, written, at);
}

WINBOOL WINAPI FlushFileBuffers(HANDLE file) {
  if (file == model.copy && model.copy_fails == Model::kFlushCopy) return Refuse(ERROR_DISK_FULL);
  return Real<decltype(&FlushFileBuffers)>("kernel32", "FlushFileBuffers")(file);
}

WINBOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                          DWORD size) {
  const auto real = Real<decltype(&SetFileInformationByHandle)>("kernel32", "SetFileInformationByHandle");
  if (kind == FileRenameInfo || kind == kFileRenameInfoEx) {
    const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
    const std::wstring target(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    DWORD flags = 0;
    if (kind == kFileRenameInfoEx) {
      // Before Windows 10 1709 the class is unknown to the system.
      if (!model.posix_rename) return Refuse(ERROR_INVALID_PARAMETER);
      memcpy(&flags, info, sizeof flags);
      model.rename_flags = flags;
    }
    // A file open with delete sharing refuses an ordinary rename over it,
    // not one with POSIX semantics.
    if (IsModelPath(target) && model.held_sharing_delete && (flags & 0x2) == 0) {
      return Refuse(ERROR_ACCESS_DENIED);
    }
    if (ReplaceRefused(target)) return FALSE;
    if (kind == kFileRenameInfoEx) {
      std::string plain(size, '\0');
      memcpy(&plain[0], info, size);
      auto* old_form = reinterpret_cast<FILE_RENAME_INFO*>(&plain[0]);
      memset(&old_form->ReplaceIfExists, 0, sizeof(DWORD));
      old_form->ReplaceIfExists = (flags & 0x1) != 0;
      return real(file, FileRenameInfo, old_form, size);
    }
  }
  return real(file, kind, info, size);
}

WINBOOL WINAPI MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (ReplaceRefused(to)) return FALSE;
  return Real<decltype(&MoveFileExW)>("kernel32", "MoveFileExW")(from, to, flags);
}

WINBOOL WINAPI DeleteFileW(LPCWSTR path) {
  if (wcsstr(path, L"\\PSw") != nullptr && model.temp_copy_held > 0) {
    --model.temp_copy_held;
    return Refuse(ERROR_ACCESS_DENIED);
  }
  if (wcsstr(path, L".unproven") != nullptr && model.mark_held > 0) {
    --model.mark_held;
    return Refuse(ERROR_SHARING_VIOLATION);
  }
  return Real<decltype(&DeleteFileW)>("kernel32", "DeleteFileW")(path);
}

DWORD WINAPI GetShortPathNameW(LPCWSTR path, LPWSTR out, DWORD size) {
  if (model.short_form.empty()) return Real<decltype(&GetShortPathNameW)>("kernel32", "GetShortPathNameW")(path, out, size);
  if (model.short_form == L"-") return Refuse(ERROR_INVALID_PARAMETER), 0;
  if (size <= model.short_form.size()) return static_cast<DWORD>(model.short_form.size() + 1);
  wcscpy(out, model.short_form.c_str());
  return static_cast<DWORD>(model.short_form.size());
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD id) {
  if (model.listed.empty()) {
    return Real<decltype(&CreateToolhelp32Snapshot)>("kernel32", "CreateToolhelp32Snapshot")(flags, id);
  }
  model.listed_next = 0;
  return kSnapshot;
}

WINBOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  if (snapshot != kSnapshot) return Real<decltype(&Process32Next)>("kernel32", "Process32Next")(snapshot, entry);
  if (model.listed_next >= model.listed.size()) return Refuse(ERROR_NO_MORE_FILES);
  const auto& [id, name] = model.listed[model.listed_next++];
  entry->th32ProcessID = id;
  snprintf(entry->szExeFile, sizeof entry->szExeFile, "%s", name.c_str());
  return TRUE;
}

WINBOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  if (snapshot != kSnapshot) return Real<decltype(&Process32First)>("kernel32", "Process32First")(snapshot, entry);
  model.listed_next = 0;
  return Process32Next(snapshot, entry);
}

HANDLE WINAPI OpenProcess(DWORD access, WINBOOL inherit, DWORD id) {
  if (model.images.count(id) == 0) return Real<decltype(&OpenProcess)>("kernel32", "OpenProcess")(access, inherit, id);
  if (model.another_users.count(id) != 0) return Refuse(ERROR_ACCESS_DENIED), nullptr;
  model.process_access = access;
  return ProcessHandle(id);
}

WINBOOL WINAPI QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, PDWORD size) {
  if (!IsModelProcess(process)) {
    return Real<decltype(&QueryFullProcessImageNameW)>("kernel32", "QueryFullProcessImageNameW")(
        process, flags, name, size);
  }
  const std::wstring& image = model.images[static_cast<DWORD>(reinterpret_cast<INT_PTR>(process) - 0x7e000000)];
  if (image.empty() || *size <= image.size()) return Refuse(ERROR_ACCESS_DENIED);
  wcscpy(name, image.c_str());
  *size = static_cast<DWORD>(image.size());
  return TRUE;
}

WINBOOL WINAPI TerminateProcess(HANDLE process, UINT code) {
  if (!IsModelProcess(process)) return Real<decltype(&TerminateProcess)>("kernel32", "TerminateProcess")(process, code);
  if ((model.process_access & PROCESS_TERMINATE) == 0) return Refuse(ERROR_ACCESS_DENIED);
  return model.terminated = true;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD ms) {
  if (!IsModelProcess(object)) return Real<decltype(&WaitForSingleObject)>("kernel32", "WaitForSingleObject")(object, ms);
  if ((model.process_access & SYNCHRONIZE) == 0) return Refuse(ERROR_ACCESS_DENIED), WAIT_FAILED;
  model.waits.push_back(ms);
  return model.process_running && !model.terminated ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

WINBOOL WINAPI CloseHandle(HANDLE object) {
  if (IsModelProcess(object) || object == kSnapshot) return TRUE;
  // A handle value closed may be given out again, for another file.
  if (object == model.current_handle) model.current_handle = nullptr;
  model.open.erase(object);
  model.mutexes.erase(object);
  return Real<decltype(&CloseHandle)>("kernel32", "CloseHandle")(object);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES security, WINBOOL owned, LPCWSTR name) {
  if (wcsncmp(name, L"Global\\", 7) == 0) {
    LPWSTR sddl = nullptr;
    if (security != nullptr && security->lpSecurityDescriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
      model.global_security = sddl;
      LocalFree(sddl);
    }
    if (model.global_refused) return Refuse(ERROR_ACCESS_DENIED), nullptr;
  }
  model.mutex_name = name;
  HANDLE mutex = Real<decltype(&CreateMutexW)>("kernel32", "CreateMutexW")(security, owned, name);
  model.mutexes.insert(mutex);
  return mutex;
}

HANDLE WINAPI OpenMutexW(DWORD access, WINBOOL inherit, LPCWSTR name) {
  if (model.global_refused && wcsncmp(name, L"Global\\", 7) == 0) {
    if (!model.global_openable) return Refuse(ERROR_ACCESS_DENIED), nullptr;
    model.mutex_name = name;
    HANDLE mutex = Real<decltype(&CreateMutexW)>("kernel32", "CreateMutexW")(nullptr, FALSE, name);
    model.mutexes.insert(mutex);
    return mutex;
  }
  return Real<decltype(&OpenMutexW)>("kernel32", "OpenMutexW")(access, inherit, name);
}

WINBOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, PULONG size) {
  const WINBOOL made = Real<decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW)>(
      "advapi32", "ConvertStringSecurityDescriptorToSecurityDescriptorW")(text, revision, descriptor, size);
  if (made) model.allocated.insert(*descriptor);
  return made;
}

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                             PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  const bool guard = type == SE_KERNEL_OBJECT && model.mutexes.count(handle) != 0;
  if (!guard && (handle != model.current_handle || model.current_security.empty())) {
    return Real<decltype(&GetSecurityInfo)>("advapi32", "GetSecurityInfo")(handle, type, info, owner,
                                                                           group, dacl, sacl, descriptor);
  }
  const std::wstring& answer = guard ? model.guard_owner : model.current_security;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(answer.c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
    return GetLastError();
  }
  BOOL present = FALSE, defaulted = FALSE;
  if (owner != nullptr) GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (dacl != nullptr) GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

// Who made a guard; the program folder's access list; and the rights an
// access list gives a trustee: the sum of the entries that name its SID.
DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                   PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  if (model.folder_security.empty()) {
    return Real<decltype(&GetNamedSecurityInfoW)>("advapi32", "GetNamedSecurityInfoW")(
        name, type, info, owner, group, dacl, sacl, descriptor);
  }
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(model.folder_security.c_str(), SDDL_REVISION_1,
                                                            descriptor, nullptr)) {
    return GetLastError();
  }
  BOOL present = FALSE, defaulted = FALSE;
  if (owner != nullptr) GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (dacl != nullptr) GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

DWORD WINAPI GetEffectiveRightsFromAclW(PACL acl, PTRUSTEE_W trustee, PACCESS_MASK rights) {
  *rights = 0;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    if (!GetAce(acl, i, reinterpret_cast<void**>(&entry))) return GetLastError();
    if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        EqualSid(reinterpret_cast<PSID>(&entry->SidStart), reinterpret_cast<PSID>(trustee->ptstrName))) {
      *rights |= entry->Mask;
    }
  }
  return ERROR_SUCCESS;
}

DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                             PSID group, PACL dacl, PACL sacl) {
  if (handle != model.copy || model.current_security.empty()) {
    return Real<decltype(&SetSecurityInfo)>("advapi32", "SetSecurityInfo")(handle, type, info, owner,
                                                                           group, dacl, sacl);
  }
  SECURITY_DESCRIPTOR set;
  InitializeSecurityDescriptor(&set, SECURITY_DESCRIPTOR_REVISION);
  if ((info & OWNER_SECURITY_INFORMATION) != 0) SetSecurityDescriptorOwner(&set, owner, FALSE);
  if ((info & DACL_SECURITY_INFORMATION) != 0) SetSecurityDescriptorDacl(&set, TRUE, dacl, FALSE);
  if ((info & PROTECTED_DACL_SECURITY_INFORMATION) != 0) {
    SetSecurityDescriptorControl(&set, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  LPWSTR sddl = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(
      &set, SDDL_REVISION_1, info & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION), &sddl,
      nullptr);
  model.security_set.push_back(std::wstring(sddl != nullptr ? sddl : L"?") +
                               ((info & UNPROTECTED_DACL_SECURITY_INFORMATION) != 0 ? L" inherits" : L""));
  LocalFree(sddl);
  return ERROR_SUCCESS;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  model.allocated.erase(memory);
  return Real<decltype(&LocalFree)>("kernel32", "LocalFree")(memory);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
  if (model.module_path == L"-") return Refuse(ERROR_NOT_ENOUGH_MEMORY), 0;
  if (model.module_path.empty() || model.module_path.size() >= size) {
    return Real<decltype(&GetModuleFileNameW)>("kernel32", "GetModuleFileNameW")(module, path, size);
  }
  wcscpy(path, model.module_path.c_str());
  return static_cast<DWORD>(model.module_path.size());
}

DWORD WINAPI FormatMessageW(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*) {
  ++model.format_message_calls;
  SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
  return 0;
}

DWORD WINAPI GetTempPathW(DWORD size, LPWSTR path) {
  if (model.temp_folder_length == 0) return Real<decltype(&GetTempPathW)>("kernel32", "GetTempPathW")(size, path);
  if (size <= model.temp_folder_length) return static_cast<DWORD>(model.temp_folder_length + 1);
  std::wstring folder = L"C:\\" + std::wstring(model.temp_folder_length - 4, L't') + L"\\";
  wcscpy(path, folder.c_str());
  return static_cast<DWORD>(folder.size());
}

void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO info) {
  Real<decltype(&GetNativeSystemInfo)>("kernel32", "GetNativeSystemInfo")(info);
  if (model.native_info_arch >= 0) {
    info->wProcessorArchitecture = static_cast<WORD>(model.native_info_arch);
  }
}

// Such a system's kernel32 exports neither IsWow64Process2 nor
// IsWow64GuestMachineSupported: this program's own image exports nothing.
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  if (module != kModelKernel) return reinterpret_cast<FARPROC>(TrueProcAddress(module, name));
  const std::string wanted = name;
  if (wanted == "GetMachineTypeAttributes" && !model.kernel.attributes.empty()) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ModelMachineTypeAttributes));
  }
  if (wanted == "IsWow64Process2" && model.kernel.native != 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ModelIsWow64Process2));
  }
  if (wanted == "IsWow64GuestMachineSupported" && model.kernel.guest_x64 >= 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ModelGuestMachineSupported));
  }
  return nullptr;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  if (model.kernel.set && name != nullptr && _wcsicmp(name, L"kernel32.dll") == 0) return kModelKernel;
  if (model.before_wow64_process2 && name != nullptr && _wcsicmp(name, L"kernel32.dll") == 0) {
    return Real<decltype(&GetModuleHandleW)>("kernel32", "GetModuleHandleW")(nullptr);
  }
  return Real<decltype(&GetModuleHandleW)>("kernel32", "GetModuleHandleW")(name);
}

WINBOOL WINAPI CreateProcessW(LPCWSTR, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, WINBOOL, DWORD flags, LPVOID, LPCWSTR,
                              LPSTARTUPINFOW startup, LPPROCESS_INFORMATION) {
  model.creation_flags = flags;
  model.startup = *startup;
  model.command_line = command_line;
  model.start_error_mode = GetErrorMode();
  return Refuse(model.start_error);
}

WINBOOL WINAPI CreateHardLinkW(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES attributes) {
  if (model.hard_link_error != 0) return Refuse(model.hard_link_error);
  return Real<decltype(&CreateHardLinkW)>("kernel32", "CreateHardLinkW")(link, existing, attributes);
}

void WINAPI Sleep(DWORD ms) { model.slept_ms += ms; }

}  // extern "C"

namespace {

std::wstring folder;

std::wstring PutFile(const std::wstring& name, const std::string& content) {
  const std::wstring path = folder + L"\\" + name;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
  return path;
}

std::string ContentOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(none)";
  char buffer[256];
  DWORD got = 0;
  ReadFile(file, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(file);
  return std::string(buffer, got);
}

// Whether any file matches `pattern` (a stray copy left behind).
bool AnyFileMatches(const std::wstring& pattern) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// The download at `path`, found or opened as the run does: from its folder.
SystemError OpenDownloadAt(const std::wstring& path, Download*& download) {
  const size_t separator = path.rfind(L'\\');
  DownloadOpen open = DownloadOpen::kHeld;
  return OpenDownload(path.substr(0, separator), path.substr(separator), download, open);
}
bool FoundAt(const std::wstring& path, SystemError& error) {
  const size_t separator = path.rfind(L'\\');
  DownloadFound found = DownloadFound::kNothing;
  error = FindDownload(path.substr(0, separator), path.substr(separator), found);
  return found == DownloadFound::kPlainFile;
}

// The swap, as the run makes it, of a download over `current`: the new
// program prepared beside it, renamed over it, and the download removed.
SystemError Replace(const std::wstring& current, bool& current_refused) {
  Download* download = nullptr;
  Replacement* replacement = nullptr;
  Prepared prepared = Prepared::kNotMade;
  Replaced replaced = Replaced::kNotPlaced;
  SystemError error = OpenDownloadAt(PutFile(L"download.exe", "new"), download);
  if (error == 0) error = PrepareReplacement(*download, current, replacement, prepared);
  if (error == 0) {
    error = ReplaceCurrentWithReplacement(*replacement, current, replaced);
    current_refused = replaced == Replaced::kCurrentRefused;
  }
  if (error == 0) error = RemoveDownload(*download);
  DiscardReplacement(replacement);
  CloseDownload(download);
  return error;
}

struct Row {
  const char* behaviour;
  const char* source;
  bool (*holds)(std::string& detail);
};

const Row kRows[] = {
    {"a pending deletion refuses the attribute read and the open with access denied: the "
     "check waits it out, and refuses a deletion still pending when the bound is over",
     "Microsoft Learn, DeleteFileW remarks (subsequent opens fail with ERROR_ACCESS_DENIED); "
     "llvm-project #90655 (GetFileAttributesW fails with ERROR_ACCESS_DENIED)",
     [](std::string& detail) {
       for (const auto& [refusals, error, waited] :
            {std::tuple<int, SystemError, unsigned>{4, 0, 0}, {1000, ERROR_ACCESS_DENIED, kHeldFile.bound_ms}}) {
         model.path = PutFile(L"Plindor.exe", "old");
         model.pending_delete = refusals;
         model.slept_ms = 0;
         const SystemError check = CheckCurrentReplaceable(model.path);
         detail += "check " + std::to_string(check) + " after " + std::to_string(model.slept_ms) + " ms; ";
         if (check != error || (waited != 0 ? model.slept_ms != waited : model.slept_ms == 0)) return false;
       }
       return true;
     }},
    {"a rename over a file whose deletion is pending waits until it is gone, however the "
     "system words it",
     "Microsoft Learn, DeleteFileW remarks, System Error Codes (ERROR_DELETE_PENDING, 303); "
     "Inno Setup, files deleted on network shares",
     [](std::string& detail) {
       for (const DWORD answer : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_DELETE_PENDING}}) {
         model = Model();
         model.path = PutFile(L"Plindor.exe", "old");
         model.pending_delete = 3;
         model.pending_error = answer;
         bool current_refused = true;
         const SystemError error = Replace(model.path, current_refused);
         detail += "replace " + std::to_string(error) + ", " + ContentOf(model.path) + "; ";
         if (error != 0 || current_refused || ContentOf(model.path) != "new") return false;
       }
       return true;
     }},
    {"the updater is started minimized, its program named outright and quoted, with the "
     "system's default error mode rather than the tool's",
     "Microsoft Learn, CreateProcessW (CREATE_DEFAULT_ERROR_MODE; the command line's first "
     "token), STARTUPINFOW (cb, STARTF_USESHOWWINDOW), SetErrorMode",
     [](std::string& detail) {
       const std::wstring program = folder + L"\\Plindor.exe";
       const SystemError error = LaunchMinimized(program);
       detail = "launch " + std::to_string(error);
       return error == ERROR_FILE_NOT_FOUND && (model.creation_flags & CREATE_DEFAULT_ERROR_MODE) != 0 &&
              model.startup.cb == sizeof(STARTUPINFOW) &&
              (model.startup.dwFlags & STARTF_USESHOWWINDOW) != 0 &&
              model.startup.wShowWindow == SW_SHOWMINIMIZED && model.command_line == L"\"" + program + L"\"";
     }},
    {"a swap's new program that is no program for this machine cannot run, and is put back; it is "
     "started failing critical errors itself (no box for a missing DLL), its other modes the system's, "
     "and the tool's own mode is its own again after; a start held past the bound, or refused as Wine "
     "refuses a path past MAX_PATH, is no verdict on it",
     "Microsoft Learn, System Error Codes (ERROR_BAD_EXE_FORMAT 193, ERROR_EXE_MACHINE_TYPE_MISMATCH 216, "
     "ERROR_SHARING_VIOLATION 32, ERROR_INVALID_HANDLE 6), SetErrorMode (SEM_FAILCRITICALERRORS; a child inherits the mode), "
     "CreateProcessW (CREATE_DEFAULT_ERROR_MODE)",
     [](std::string& detail) {
       const UINT own_mode = SetErrorMode(SEM_NOGPFAULTERRORBOX);
       bool holds = true;
       for (const auto& [error, verdict] : {std::pair<DWORD, FirstMoments>{193, FirstMoments::kCannotRun},
                                           {216, FirstMoments::kCannotRun}, {32, FirstMoments::kRuns},
                                           {ERROR_INVALID_HANDLE, FirstMoments::kRuns}}) {
         model.start_error = error;
         model.slept_ms = 0;
         FirstMoments moments = FirstMoments::kRuns;
         Text ending;
         const SystemError got = LaunchAndWatch(folder + L"\\Plindor.exe", 1000, moments, ending);
         detail += "start " + std::to_string(got) + (moments == FirstMoments::kCannotRun ? " cannot run" : " runs") +
                   ", mode " + std::to_string(model.start_error_mode) + "; ";
         holds = holds && got == error && moments == verdict && (model.creation_flags & CREATE_DEFAULT_ERROR_MODE) == 0 &&
                 model.start_error_mode == SEM_FAILCRITICALERRORS && GetErrorMode() == SEM_NOGPFAULTERRORBOX &&
                 (error == 32) == (model.slept_ms == kHeldFile.bound_ms);
       }
       SetErrorMode(own_mode);
       return holds;
     }},
    {"where the file system has no hard links, the previous program is kept as a whole copy, "
     "moved into place under its name; no temporary copy is left",
     "Microsoft Learn, CreateHardLinkW (hard links on NTFS only: a FAT or exFAT volume answers "
     "ERROR_INVALID_FUNCTION), System Error Codes (ERROR_NOT_SUPPORTED, as a share without links answers)",
     [](std::string& detail) {
       for (const DWORD error : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
         const std::wstring current = PutFile(L"Plindor.exe", "old");
         PutFile(L"Plindor.exe.previous", "older");
         model.hard_link_error = error;
         const SystemError kept = KeepPreviousProgram(current);
         detail += "kept " + std::to_string(kept) + ": " + ContentOf(current + L".previous") + "; ";
         if (kept != 0 || ContentOf(current + L".previous") != "old" || ContentOf(current) != "old" ||
             AnyFileMatches(folder + L"\\.Plindor.exe.PlindorSwap-*")) {
           return false;
         }
       }
       return true;
     }},
    {"the swap's mark, held a moment by a scanner, is removed once it is let go",
     "Microsoft Learn, DeleteFileW remarks (a file other handles have open for normal I/O: "
     "ERROR_SHARING_VIOLATION)",
     [](std::string& detail) {
       const std::wstring current = PutFile(L"Plindor.exe", "new");
       PutFile(L"Plindor.exe.unproven", "digest");
       model.mark_held = 2;
       const SystemError removed = RemoveFileBeside(current, L".unproven");
       detail = "remove " + std::to_string(removed) + " after " + std::to_string(model.slept_ms) + " ms";
       return removed == 0 && ContentOf(current + L".unproven") == "(none)" && model.slept_ms > 0;
     }},
    {"a running image may be opened for deletion but refuses a rename over it until its "
     "process has ended",
     "Microsoft Learn, MoveFileExW and DeleteFileW remarks (a file in use as a mapped image "
     "cannot be replaced or deleted: ERROR_ACCESS_DENIED)",
     [](std::string& detail) {
       model.path = PutFile(L"Plindor.exe", "old");
       model.running_image = true;
       const SystemError check = CheckCurrentReplaceable(model.path);
       bool current_refused = false;
       const SystemError refused = Replace(model.path, current_refused);
       model.terminated = true;
       bool refused_after = true;
       const SystemError replaced = Replace(model.path, refused_after);
       detail = "check " + std::to_string(check) + ", while running " + std::to_string(refused) +
                ", once ended " + std::to_string(replaced);
       return check == 0 && refused == ERROR_ACCESS_DENIED && current_refused && replaced == 0 &&
              ContentOf(model.path) == "new";
     }},
    {"a scanner holding the current executable with delete sharing refuses an ordinary "
     "rename over it, waited out within the bound, but not the POSIX rename that Windows 10 "
     "1709 has, which the swap asks for first; the download goes, and no copy is left",
     "Microsoft Learn, FILE_RENAME_INFO (FILE_RENAME_FLAG_REPLACE_IF_EXISTS, "
     "FILE_RENAME_FLAG_POSIX_SEMANTICS), SetFileInformationByHandle (FileRenameInfoEx: "
     "Windows 10 1709); MoveFileExW remarks",
     [](std::string& detail) {
       for (const bool posix : {true, false}) {
         model = Model();
         model.path = PutFile(L"Plindor.exe", "old");
         model.posix_rename = posix;
         model.held_sharing_delete = true;
         bool current_refused = false;
         const SystemError error = Replace(model.path, current_refused);
         const bool stray = AnyFileMatches(folder + L"\\.Plindor.exe.PlindorSwap-*");
         detail += "replace " + std::to_string(error) + " after " + std::to_string(model.slept_ms) +
                   " ms, flags " + std::to_string(model.rename_flags) + "; ";
         const bool swapped = ContentOf(model.path) == "new" && ContentOf(folder + L"\\download.exe") == "(none)";
         if (stray || (posix ? error != 0 || !swapped || model.rename_flags != 3 || model.slept_ms != 0
                             : error != ERROR_ACCESS_DENIED || swapped || !current_refused ||
                                   model.slept_ms != kHeldFile.bound_ms)) {
           return false;
         }
       }
       return true;
     }},
    {"the new program gets the current executable's DACL, protected as it was or inheriting "
     "from the folder, and its owner, whoever wrote the download",
     "Microsoft Learn, GetSecurityInfo, SetSecurityInfo (PROTECTED_DACL_SECURITY_INFORMATION, "
     "UNPROTECTED_DACL_SECURITY_INFORMATION, OWNER_SECURITY_INFORMATION), "
     "SECURITY_DESCRIPTOR_CONTROL (SE_DACL_PROTECTED)",
     [](std::string& detail) {
       const struct {
         const wchar_t* current;
         std::vector<std::wstring> set;
       } cases[] = {
           {L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)",
            {L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", L"O:SY"}},
           {L"O:BAD:AI(A;;0x1200a9;;;AU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)",
            {L"D:(A;;0x1200a9;;;AU)(A;ID;FA;;;SY)(A;ID;FA;;;BA) inherits", L"O:BA"}},
       };
       for (const auto& c : cases) {
         model = Model();
         model.path = PutFile(L"Plindor.exe", "old");
         model.current_security = c.current;
         bool current_refused = false;
         const SystemError error = Replace(model.path, current_refused);
         detail += "replace " + std::to_string(error) + ", " + std::to_string(model.security_set.size()) + " set; ";
         if (error != 0 || model.security_set != c.set || ContentOf(model.path) != "new") return false;
       }
       return true;
     }},
    {"the stop acts only on a process that runs this folder's program, read through the handle "
     "it is stopped by: the image's path letter case aside, or another spelling of the same "
     "file; another folder's program, or a process whose image cannot be read (it has ended), is "
     "left alone; a stopped process is waited for",
     "Microsoft Learn, QueryFullProcessImageNameW, CompareStringOrdinal (bIgnoreCase), "
     "BY_HANDLE_FILE_INFORMATION (the volume serial number and the file index identify a "
     "file), WaitForSingleObject (a process handle is signalled once it has ended)",
     [](std::string& detail) {
       const std::wstring program = PutFile(L"Plindor.exe", "old");
       CreateDirectoryW((folder + L"\\other").c_str(), nullptr);
       const std::wstring elsewhere = PutFile(L"other\\Plindor.exe", "old");
       std::wstring upper = program;
       for (wchar_t& c : upper) c = towupper(c);
       const struct {
         std::wstring image;
         bool stopped;
       } cases[] = {{upper, true}, {L"\\\\?\\" + program, true}, {elsewhere, false}, {L"", false}};
       for (const auto& c : cases) {
         model.images = {{4242, c.image}};
         model.process_running = true;
         model.terminated = false;
         model.waits.clear();
         KillProcessById(4242, program);
         detail += model.terminated ? "terminated; " : "left alone; ";
         if (model.terminated != c.stopped || model.waits != (c.stopped ? std::vector<DWORD>{5000} : std::vector<DWORD>{})) {
           return false;
         }
       }
       DeleteFileW(elsewhere.c_str());
       RemoveDirectoryW((folder + L"\\other").c_str());
       return true;
     }},
    {"a current executable whose permissions refuse its deletion is refused before the "
     "stop, at once: its attributes can be read, so no deletion is pending",
     "Microsoft Learn, File Security and Access Rights (DELETE); DeleteFileW remarks (only a "
     "file whose deletion is pending refuses even the read of its attributes)",
     [](std::string& detail) {
       model.path = PutFile(L"Plindor.exe", "old");
       model.denied_delete = true;
       const SystemError check = CheckCurrentReplaceable(model.path);
       detail = "check " + std::to_string(check) + " after " + std::to_string(model.slept_ms) + " ms";
       return check == ERROR_ACCESS_DENIED && model.slept_ms == 0;
     }},
    {"what is refused for good fails at once: a replace over a read-only file or a folder, "
     "a download whose permissions refuse the open",
     "Microsoft Learn, MoveFileExW and DeleteFileW (a read-only file or a directory is not "
     "replaced: ERROR_ACCESS_DENIED), File Security and Access Rights",
     [](std::string& detail) {
       for (const bool folder_in_place : {false, true}) {
         model = Model();
         model.path = folder + L"\\Plindor.exe";
         if (folder_in_place) {
           CreateDirectoryW(model.path.c_str(), nullptr);
         } else {
           PutFile(L"Plindor.exe", "old");
           SetFileAttributesW(model.path.c_str(), FILE_ATTRIBUTE_READONLY);
         }
         model.refuses_replace = true;
         bool current_refused = false;
         const SystemError error = Replace(model.path, current_refused);
         SetFileAttributesW(model.path.c_str(), FILE_ATTRIBUTE_NORMAL);
         DeleteFileW(model.path.c_str());
         RemoveDirectoryW(model.path.c_str());
         detail += "replace " + std::to_string(error) + " after " + std::to_string(model.slept_ms) + " ms; ";
         if (error != ERROR_ACCESS_DENIED || !current_refused || model.slept_ms != 0) return false;
       }
       model = Model();
       model.path = L"\\download.exe";
       model.denied_delete = true;
       Download* download = nullptr;
       const SystemError open = OpenDownloadAt(PutFile(L"download.exe", "new"), download);
       detail += "open " + std::to_string(open);
       return open == ERROR_ACCESS_DENIED && model.slept_ms == 0;
     }},
    {"what refuses the new program beside the current executable (its creation, a full "
     "disk when written or flushed) ends the swap before anything is stopped, the current "
     "executable and the download as they were, and no copy left; a name that is taken is "
     "tried under others",
     "Microsoft Learn, System Error Codes (ERROR_DISK_FULL, 112; ERROR_FILE_EXISTS, 80); "
     "FlushFileBuffers (the data reaches the disk, and a network share may report a full disk "
     "only then)",
     [](std::string& detail) {
       for (const Model::Step step : {Model::kCreateCopy, Model::kNamesTaken, Model::kWriteCopy,
                                      Model::kFlushCopy}) {
         model = Model();
         model.path = PutFile(L"Plindor.exe", "old");
         model.copy_fails = step;
         Download* download = nullptr;
         Replacement* replacement = nullptr;
         Prepared prepared = Prepared::kMade;
         SystemError error = OpenDownloadAt(PutFile(L"download.exe", "new"), download);
         if (error == 0) error = PrepareReplacement(*download, model.path, replacement, prepared);
         DiscardReplacement(replacement);
         CloseDownload(download);
         const bool stray = AnyFileMatches(folder + L"\\.Plindor.exe.PlindorSwap-*");
         detail += "prepare " + std::to_string(error) + " after " +
                   std::to_string(model.copy_creations) + " names; ";
         const int names = step == Model::kNamesTaken ? 100 : 1;
         const DWORD wanted = step == Model::kNamesTaken ? ERROR_FILE_EXISTS
                              : step == Model::kCreateCopy ? ERROR_ACCESS_DENIED
                                                           : ERROR_DISK_FULL;
         if (error != wanted || replacement != nullptr || prepared != Prepared::kNotMade ||
             model.copy_creations != names || ContentOf(model.path) != "old" ||
             ContentOf(folder + L"\\download.exe") != "new" || stray) {
           return false;
         }
       }
       return true;
     }},
    {"a missing current executable, or a folder missing on the way, is answered at once: "
     "nothing there clears by itself",
     "Microsoft Learn, System Error Codes (ERROR_FILE_NOT_FOUND, 2; ERROR_PATH_NOT_FOUND, 3)",
     [](std::string& detail) {
       const SystemError missing = CheckCurrentReplaceable(folder + L"\\none.exe");
       const SystemError no_folder = CheckCurrentReplaceable(folder + L"\\none\\Plindor.exe");
       detail = "check " + std::to_string(missing) + ", " + std::to_string(no_folder) + " after " +
                std::to_string(model.slept_ms) + " ms";
       return missing == 0 && no_folder == 0 && model.slept_ms == 0;
     }},
    {"the updater is the first process of its name whose image is this folder's program: "
     "another user's process, which refuses even the limited query right, and one of another "
     "folder are passed over and never stopped",
     "Microsoft Learn, CreateToolhelp32Snapshot (lists every session's processes), Process "
     "Security and Access Rights (PROCESS_QUERY_LIMITED_INFORMATION; a process's default DACL "
     "grants its owner and the system), OpenProcess (ERROR_ACCESS_DENIED)",
     [](std::string& detail) {
       const std::wstring program = PutFile(L"Plindor.exe", "old");
       model.listed = {{4241, "Plindor.exe"}, {4243, "Plindor.EXE.backup.exe"}, {4242, "PLINDOR.EXE"}};
       model.images = {{4241, program}, {4243, L"C:\\backup\\Plindor.EXE.backup.exe"}, {4242, program}};
       model.another_users = {4241};
       model.process_running = true;
       const uint32_t found = GetProcessIdByName(L"Plindor.EXE", program);
       KillProcessById(4241, program);
       detail = "found " + std::to_string(found) + (model.terminated ? ", terminated" : "");
       model.listed = {{4241, "Plindor.exe"}};
       return found == 4242 && !model.terminated && GetProcessIdByName(L"Plindor.EXE", program) == 0;
     }},
    {"paths past MAX_PATH: the file calls get the extended form, and process creation and the "
     "profile call the folder's short form without it",
     "Microsoft Learn, Naming Files, Paths, and Namespaces (MAX_PATH counts the terminating "
     "null; \"\\\\?\\\" and \"\\\\?\\UNC\\\"); GetShortPathNameW",
     [](std::string& detail) {
       const std::wstring long_name(250, L'd');
       const struct {
         std::wstring path, extended, short_form, shortened;
       } paths[] = {
           {L"C:\\" + std::wstring(256, L'd'), L"C:\\" + std::wstring(256, L'd'), L"", L""},
           {L"C:\\" + std::wstring(257, L'd'), L"\\\\?\\C:\\" + std::wstring(257, L'd'), L"", L""},
           {L"\\\\?\\C:\\" + long_name, L"\\\\?\\C:\\" + long_name, L"", L""},
           {L"\\\\server\\share\\" + long_name + L"\\Plindor.exe",
            L"\\\\?\\UNC\\server\\share\\" + long_name + L"\\Plindor.exe",
            L"\\\\?\\UNC\\server\\share\\DDDDDD~1", L"\\\\server\\share\\DDDDDD~1\\Plindor.exe"},
           {L"C:\\" + long_name + L"\\Plindor.exe", L"\\\\?\\C:\\" + long_name + L"\\Plindor.exe",
            L"\\\\?\\C:\\DDDDDD~1", L"C:\\DDDDDD~1\\Plindor.exe"},
           {L"C:\\" + long_name + L"\\Plindor.exe", L"\\\\?\\C:\\" + long_name + L"\\Plindor.exe",
            L"-", L"C:\\" + long_name + L"\\Plindor.exe"},
       };
       for (const auto& row : paths) {
         model.short_form = row.short_form;
         const std::wstring shortened = ShortFormIfLong(row.path);
         if (ExtendedPath(row.path) != row.extended ||
             (!row.shortened.empty() && shortened != row.shortened)) {
           detail = "a path of " + std::to_string(row.path.size());
           return false;
         }
       }
       return true;
     }},
    {"past MAX_PATH without short names, the record goes through a temporary copy, which is "
     "removed though a scanner holds it for a moment",
     "Microsoft Learn, WritePrivateProfileStringW (takes no extended path), GetTempFileNameW "
     "(a folder of MAX_PATH - 14 characters at most); Windows Defender scans new files on "
     "creation",
     [](std::string& detail) {
       std::wstring deep = L"\\\\?\\" + folder;
       while (deep.size() < 300) {
         deep += L"\\" + std::wstring(8, L'p');
         CreateDirectoryW(deep.c_str(), nullptr);
       }
       const std::wstring profile = deep.substr(4) + L"\\Server.ini";
       model.short_form = L"-";
       model.temp_copy_held = 2;
       WriteIniValue(profile, L"Tovalane", L"FalseX", L"1");
       const std::string written = ContentOf(L"\\\\?\\" + profile);
       wchar_t temp[MAX_PATH];
       GetTempPathW(MAX_PATH, temp);
       const bool stray = AnyFileMatches(std::wstring(temp) + L"PSw*.tmp");
       DeleteFileW((L"\\\\?\\" + profile).c_str());
       for (; deep.size() > folder.size() + 4; deep.resize(deep.rfind(L'\\'))) RemoveDirectoryW(deep.c_str());
       detail = written;
       const bool through_copy = written.find("FalseX=1") != std::string::npos &&
                                 model.temp_copy_held == 0 && !stray;
       // GetTempFileNameW takes a folder of MAX_PATH - 14 characters at most:
       // a longer temporary folder is not used, and nothing is written.
       deep = L"\\\\?\\" + folder;
       while (deep.size() < 300) {
         deep += L"\\" + std::wstring(8, L'q');
         CreateDirectoryW(deep.c_str(), nullptr);
       }
       model.temp_folder_length = MAX_PATH;
       WriteIniValue(deep.substr(4) + L"\\Server.ini", L"Tovalane", L"FalseX", L"1");
       const bool untouched = ContentOf(deep + L"\\Server.ini") == "(none)";
       for (; deep.size() > folder.size() + 4; deep.resize(deep.rfind(L'\\'))) RemoveDirectoryW(deep.c_str());
       return through_copy && untouched;
     }},
    {"reparse points that are no name surrogates are files; links are not",
     "Microsoft Learn, Reparse Point Tags and IsReparseTagNameSurrogate",
     [](std::string& detail) {
       const struct {
         DWORD tag;
         bool found;
       } tags[] = {{IO_REPARSE_TAG_DEDUP, true},    {IO_REPARSE_TAG_WOF, true},
                   {IO_REPARSE_TAG_CLOUD, true},    {0x80000005 /* HSM */, true},
                   {IO_REPARSE_TAG_SYMLINK, false}, {IO_REPARSE_TAG_MOUNT_POINT, false}};
       model.path = PutFile(L"Plindor.exe", "new");
       for (const auto& row : tags) {
         model.handle_tag = row.tag;
         SystemError error = 0;
         if (FoundAt(model.path, error) != row.found || error != 0) {
           detail = "tag " + std::to_string(row.tag);
           return false;
         }
       }
       return true;
     }},
    {"a download that became a link after the search is seen through the handle on its name, "
     "and refused; one that became another reparse point is opened as its data",
     "Microsoft Learn, CreateFileW (FILE_FLAG_OPEN_REPARSE_POINT), GetFileInformationByHandleEx "
     "(FileAttributeTagInfo), IsReparseTagNameSurrogate",
     [](std::string& detail) {
       for (const auto& [tag, wanted] : {std::pair<DWORD, SystemError>{IO_REPARSE_TAG_SYMLINK, ERROR_CANT_ACCESS_FILE},
                                         {IO_REPARSE_TAG_MOUNT_POINT, ERROR_CANT_ACCESS_FILE},
                                         {IO_REPARSE_TAG_DEDUP, 0}}) {
         model = Model();
         model.path = PutFile(L"Plindor.exe", "new");
         SystemError search = 0;
         const bool found = FoundAt(model.path, search);
         model.handle_tag = tag;
         Download* download = nullptr;
         const SystemError open = OpenDownloadAt(model.path, download);
         CloseDownload(download);
         detail += "tag " + std::to_string(tag) + ": open " + std::to_string(open) + "; ";
         if (search != 0 || !found || open != wanted || (open == 0) != (download != nullptr)) return false;
       }
       return true;
     }},
    {"a symbolic link or a junction on the way to the download is followed only where the "
     "system, the administrators or the program folder's owner made it: another user's chose "
     "where the way leads, and the download is refused, neither opened nor removed",
     "Microsoft Learn, Reparse Point Tags (IO_REPARSE_TAG_MOUNT_POINT, IO_REPARSE_TAG_SYMLINK), "
     "IsReparseTagNameSurrogate, CreateFileW (FILE_FLAG_OPEN_REPARSE_POINT), GetSecurityInfo and "
     "GetNamedSecurityInfoW (OWNER_SECURITY_INFORMATION), Well-known SIDs; the Linux kernel's "
     "protected_symlinks rule",
     [](std::string& detail) {
       CreateDirectoryW((folder + L"\\Download").c_str(), nullptr);
       CreateDirectoryW((folder + L"\\Download\\Program").c_str(), nullptr);
       PutFile(L"Download\\Program\\Plindor.exe", "new");
       const struct {
         DWORD tag;
         const wchar_t* owner;
         DownloadFound found;
       } links[] = {
           {IO_REPARSE_TAG_MOUNT_POINT, L"O:SY", DownloadFound::kPlainFile},
           {IO_REPARSE_TAG_SYMLINK, L"O:BA", DownloadFound::kPlainFile},
           {IO_REPARSE_TAG_MOUNT_POINT, L"O:S-1-5-21-1-2-3-1001", DownloadFound::kPlainFile},
           {IO_REPARSE_TAG_MOUNT_POINT, L"O:S-1-5-21-1-2-3-1002", DownloadFound::kBehindAStrangersLink},
           {IO_REPARSE_TAG_SYMLINK, L"O:S-1-5-21-1-2-3-1002", DownloadFound::kBehindAStrangersLink},
           {IO_REPARSE_TAG_DEDUP, L"O:S-1-5-21-1-2-3-1002", DownloadFound::kPlainFile},
       };
       bool holds = true;
       for (const auto& link : links) {
         model = Model();
         model.path = L"\\Download";
         model.handle_tag = link.tag;
         model.current_security = link.owner;
         model.folder_security = L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)";
         DownloadFound found = DownloadFound::kNothing;
         const SystemError search = FindDownload(folder, L"\\Download\\Program\\Plindor.exe", found);
         Download* download = nullptr;
         DownloadOpen opened = DownloadOpen::kHeld;
         const SystemError open = OpenDownload(folder, L"\\Download\\Program\\Plindor.exe", download, opened);
         CloseDownload(download);
         detail += "found " + std::to_string(static_cast<int>(found)) + ", open " + std::to_string(open) + "; ";
         holds = holds && search == 0 && found == link.found && (open == 0) == (found == DownloadFound::kPlainFile);
       }
       DeleteFileW((folder + L"\\Download\\Program\\Plindor.exe").c_str());
       RemoveDirectoryW((folder + L"\\Download\\Program").c_str());
       RemoveDirectoryW((folder + L"\\Download").c_str());
       return holds;
     }},
    {"the Global\\ namespace refused: a service's guard is waited on, or else the session's "
     "own is made; named for the folder's volume serial number and file index",
     "Microsoft Learn, Kernel Object Namespaces (creating global objects may be refused); "
     "BY_HANDLE_FILE_INFORMATION (the two identify a file on a machine); Synchronization "
     "Object Security and Access Rights",
     [](std::string& detail) {
       BY_HANDLE_FILE_INFORMATION identity;
       HANDLE opened = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
       GetFileInformationByHandle(opened, &identity);
       CloseHandle(opened);
       wchar_t key[64];
       swprintf(key, 64, L"PlindorSwap-%08lx-%08lx%08lx", identity.dwVolumeSerialNumber,
                identity.nFileIndexHigh, identity.nFileIndexLow);
       // A service's guard, which users may only wait on, is opened; where
       // even that is refused, the session's own is made.
       for (const bool openable : {true, false}) {
         model.global_refused = true;
         model.global_openable = openable;
         RunGuard taken = RunGuard::kNotInTime;
         const SystemError error = TakeRunGuard(folder, 1000, taken);
         detail += "guard " + std::to_string(error) + (taken == RunGuard::kTaken ? " taken " : " not taken ") +
                   std::string(model.mutex_name.begin(), model.mutex_name.end()) + "; ";
         if (error != 0 || taken != RunGuard::kTaken || model.mutex_name != (openable ? L"Global\\" : L"Local\\") + std::wstring(key)) {
           return false;
         }
       }
       // Anyone may wait on it; only the system and administrators may change it.
       const std::wstring& acl = model.global_security;
       return acl.find(L"(A;;GA;;;SY)") != acl.npos && acl.find(L"(A;;GA;;;BA)") != acl.npos &&
              acl.find(L";;;WD)") != acl.npos && acl.find(L"(A;;GA;;;WD)") == acl.npos;
     }},
    {"a guard that a stranger made first in the global namespace (a user whom the folder's "
     "access list does not let add files) is left to them, and the session's own is used; "
     "where they made that too (one sharing the session as another user), the run takes none "
     "rather than wait for them; one made by the system, or by a user who may write the "
     "folder, is waited on",
     "Microsoft Learn, Kernel Object Namespaces (any user may create a named object in the "
     "global namespace first; Local\\ is the session's), GetSecurityInfo "
     "(OWNER_SECURITY_INFORMATION), GetEffectiveRightsFromAclW, File Security and Access "
     "Rights (FILE_ADD_FILE)",
     [](std::string& detail) {
       // The folder lets the system, and one user (1001), add files; 1002 may only read.
       model.folder_security = L"D:(A;;FA;;;SY)(A;;0x1200af;;;S-1-5-21-1-2-3-1001)(A;;0x1200a9;;;S-1-5-21-1-2-3-1002)";
       const struct {
         const wchar_t* owner;
         bool local_too;
         const wchar_t* wanted;  // none: no guard
       } guards[] = {
           {L"O:SY", false, L"Global\\"},
           {L"O:S-1-5-21-1-2-3-1001", false, L"Global\\"},
           {L"O:S-1-5-21-1-2-3-1002", false, L"Local\\"},
           {L"O:S-1-5-21-1-2-3-1002", true, nullptr},
       };
       const std::wstring spelling = folder + L"\\stranger";
       model.folder_unopenable = true;
       for (const auto& guard : guards) {
         // Made first by someone else (a handle of this process keeps it).
         RunGuard taken = RunGuard::kNotInTime;
         TakeRunGuard(spelling, 100, taken);
         if (guard.local_too) {
           CreateMutexW(nullptr, FALSE, (L"Local\\" + model.mutex_name.substr(model.mutex_name.find(L'\\') + 1)).c_str());
         }
         const std::set<HANDLE> made = model.mutexes;
         model.guard_owner = guard.owner;
         const SystemError error = TakeRunGuard(spelling, 100, taken);
         detail += std::string(model.mutex_name.begin(), model.mutex_name.end()) + "; ";
         const bool held = model.mutexes.size() > made.size();
         for (HANDLE mutex : model.mutexes) Real<decltype(&CloseHandle)>("kernel32", "CloseHandle")(mutex);
         model.mutexes.clear();
         model.guard_owner = L"O:SY";
         if (error != 0 || taken != RunGuard::kTaken || made.size() != (guard.local_too ? 2u : 1u) || held != (guard.wanted != nullptr) ||
             (guard.wanted != nullptr && model.mutex_name.rfind(guard.wanted, 0) != 0)) {
           return false;
         }
       }
       return true;
     }},
    {"at a drive's root the guard is keyed on the root, not the drive's current folder",
     "Microsoft Learn, Naming Files, Paths, and Namespaces (\"C:\" alone is the current "
     "directory of drive C)",
     [](std::string&) {
       model.module_path = L"C:\\PlindorSwap.exe";
       std::wstring directory;
       RunGuard taken = RunGuard::kNotInTime;
       const bool root = GetProgramDirectory(directory) == 0 && directory == L"C:" &&
                         TakeRunGuard(directory, 1000, taken) == 0 && model.opened_folder == L"C:\\";
       // Where the system cannot name the program, or names no folder, there
       // is no program directory.
       model.module_path = L"-";
       const SystemError unnamed = GetProgramDirectory(directory);
       model.module_path = L"PlindorSwap.exe";
       return root && unnamed == ERROR_NOT_ENOUGH_MEMORY &&
              GetProgramDirectory(directory) == ERROR_BAD_PATHNAME;
     }},
    {"a guard another run holds past the wait is let go of, and every guard's security "
     "descriptor is freed",
     "Microsoft Learn, WaitForSingleObject (WAIT_TIMEOUT), CloseHandle, "
     "ConvertStringSecurityDescriptorToSecurityDescriptorW (free with LocalFree)",
     [](std::string& detail) {
       // Another run: a thread of this process that takes the guard of a folder
       // of its own (this thread holds the others') and keeps it.
       static const std::wstring guarded = folder + L"\\guarded";
       CreateDirectoryW(guarded.c_str(), nullptr);
       struct Holder {
         static DWORD WINAPI Run(LPVOID holding) {
           RunGuard taken = RunGuard::kNotInTime;
           TakeRunGuard(guarded, 1000, taken);
           SetEvent(holding);
           Real<decltype(&Sleep)>("kernel32", "Sleep")(INFINITE);
           return 0;
         }
       };
       HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
       HANDLE holder = CreateThread(nullptr, 0, Holder::Run, holding, 0, nullptr);
       Real<decltype(&WaitForSingleObject)>("kernel32", "WaitForSingleObject")(holding, 10000);
       CloseHandle(holding);
       model.mutexes.clear();
       RunGuard taken = RunGuard::kTaken;
       const SystemError error = TakeRunGuard(guarded, 100, taken);
       TerminateThread(holder, 0);
       CloseHandle(holder);
       RemoveDirectoryW(guarded.c_str());
       detail += "guard " + std::to_string(error) + ", " + std::to_string(model.mutexes.size()) +
                " handles, " + std::to_string(model.allocated.size()) + " descriptors";
       return error == 0 && taken != RunGuard::kTaken && model.mutexes.empty() && model.allocated.empty();
     }},
    {"a run removes the leftover copies of the executable at once, those of the profile once "
     "they are a minute old, and no other file",
     "Microsoft Learn, SetFileTime and FILETIME (100-nanosecond intervals)",
     [](std::string& detail) {
       const struct {
         const wchar_t* name;
         bool old, removed;
       } files[] = {
           {L".Plindor.exe.PlindorSwap-a1B2c3", false, true},
           {L".Server.ini.PlindorSwap-a1B2c3", false, false},
           {L".Server.ini.PlindorSwap-d4E5f6", true, true},
           {L".Server.ini.PlindorSwap-d4-5f6", true, false},
           {L".Server.ini.backup", true, false},
           {L"Plindor.exe.PlindorSwap-a1B2c3", true, false},
       };
       FILETIME now;
       GetSystemTimeAsFileTime(&now);
       ULARGE_INTEGER long_ago = {{now.dwLowDateTime, now.dwHighDateTime}};
       long_ago.QuadPart -= 3600ull * 10000000;
       const FILETIME old = {long_ago.LowPart, long_ago.HighPart};
       for (const auto& file : files) {
         const std::wstring path = PutFile(file.name, "left behind");
         HANDLE opened = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         if (file.old) SetFileTime(opened, nullptr, nullptr, &old);
         CloseHandle(opened);
       }
       RemoveLeftoverCopies(folder + L"\\Plindor.exe", folder + L"\\Server.ini");
       for (const auto& file : files) {
         if ((ContentOf(folder + L"\\" + file.name) == "(none)") != file.removed) {
           detail = std::string(file.name, file.name + wcslen(file.name));
           return false;
         }
       }
       return true;
     }},
    {"a folder that cannot be opened to learn its identity gets a guard keyed on its path, "
     "letter case aside",
     "Microsoft Learn, Naming Files, Paths, and Namespaces (names are not case sensitive); "
     "CreateMutexW (object names are)",
     [](std::string& detail) {
       model.folder_unopenable = true;
       std::wstring names[2];
       for (int i = 0; i < 2; ++i) {
         RunGuard taken = RunGuard::kNotInTime;
         std::wstring spelling = folder;
         for (wchar_t& c : spelling) c = i == 0 ? towlower(c) : towupper(c);
         TakeRunGuard(spelling, 1000, taken);
         names[i] = model.mutex_name;
       }
       detail = std::string(names[0].begin(), names[0].end());
       return names[0] == names[1] && names[0].find(L"PlindorSwap-path-") != names[0].npos;
     }},
    {"the native machine is IsWow64Process2's: GetNativeSystemInfo answers an emulated "
     "program as if the system were what it emulates",
     "Microsoft Learn, GetNativeSystemInfo remarks (on ARM64, as if the system were x86 or "
     "x64); IsWow64Process2",
     [](std::string&) {
       model.native_info_arch = PROCESSOR_ARCHITECTURE_INTEL;
       const RunnableMachines machines = GetRunnableMachines();
       return machines.pe == std::vector<uint16_t>{IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64};
     }},
    {"before IsWow64Process2, the native machine is GetNativeSystemInfo's processor "
     "architecture; one not known is not checked",
     "Microsoft Learn, IsWow64Process2 (Windows 10, version 1709 and later); SYSTEM_INFO "
     "(wProcessorArchitecture values)",
     [](std::string& detail) {
       const struct {
         WORD arch;
         std::vector<uint16_t> pe;
       } cases[] = {
           {PROCESSOR_ARCHITECTURE_INTEL, {IMAGE_FILE_MACHINE_I386}},
           {PROCESSOR_ARCHITECTURE_AMD64, {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64}},
           {PROCESSOR_ARCHITECTURE_ARM64, {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_ARM64}},
           {PROCESSOR_ARCHITECTURE_IA64, {}},
       };
       model.before_wow64_process2 = true;
       for (const auto& c : cases) {
         model.native_info_arch = c.arch;
         if (GetRunnableMachines().pe != c.pe) {
           detail = "architecture " + std::to_string(c.arch);
           return false;
         }
       }
       return true;
     }},
    {"the machines whose programs run, asked as each Windows answers: Windows 11 (ARM64 and "
     "x64) through GetMachineTypeAttributes, which counts x64 emulated on ARM64; Windows 10 "
     "on ARM64, which runs x86 programs only besides its own; Windows 10 x86",
     "Microsoft Learn, GetMachineTypeAttributes (Windows 11; MACHINE_ATTRIBUTES UserEnabled), "
     "IsWow64GuestMachineSupported (FALSE for x64 on ARM64: x64 emulation is not WOW64), "
     "IsWow64Process2; x64 emulation on Windows 11 on Arm",
     [](std::string& detail) {
       constexpr USHORT x86 = IMAGE_FILE_MACHINE_I386, x64 = IMAGE_FILE_MACHINE_AMD64,
                        arm64 = IMAGE_FILE_MACHINE_ARM64;
       const struct {
         const char* system;
         Model::Kernel kernel;
         std::vector<uint16_t> runs;
       } systems[] = {
           {"Windows 11 on ARM64", {true, {{x86, 1 | 4}, {x64, 1}, {arm64, 1 | 2}}, arm64, 0}, {x86, x64, arm64}},
           {"Windows 11 x64", {true, {{x86, 1 | 4}, {x64, 1 | 2}}, x64, 0}, {x86, x64}},
           {"Windows 10 on ARM64", {true, {}, arm64, 0}, {x86, arm64}},
           {"Windows 10 x86", {true, {}, x86, -1}, {x86}},
       };
       for (const auto& system : systems) {
         model.kernel = system.kernel;
         detail += std::string(system.system) + ": " + std::to_string(GetRunnableMachines().pe.size()) + "; ";
         if (GetRunnableMachines().pe != system.runs) return false;
       }
       return true;
     }},
    {"the C runtime's abort() (which in a GUI program shows a box and waits for a click) and "
     "a crash end the run as an internal failure does: exit code 8 and its record, no box",
     "Microsoft Learn, abort (raises SIGABRT; the message box of a GUI program), signal, "
     "SetUnhandledExceptionFilter",
     [](std::string& detail) {
       wchar_t self[MAX_PATH];
       Real<decltype(&GetModuleFileNameW)>("kernel32", "GetModuleFileNameW")(nullptr, self, MAX_PATH);
       const std::string narrow_folder(folder.begin(), folder.end());
       for (const char* how : {"abort", "crash"}) {
         DeleteFileW((folder + L"\\Server.ini").c_str());
         std::wstring command = L"\"" + std::wstring(self) + L"\" --end-by " +
                                std::wstring(how, how + strlen(how)) + L" \"" + folder + L"\"";
         STARTUPINFOW startup = {};
         startup.cb = sizeof startup;
         PROCESS_INFORMATION child = {};
         if (!Real<decltype(&CreateProcessW)>("kernel32", "CreateProcessW")(
                 self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
           return false;
         }
         Real<decltype(&WaitForSingleObject)>("kernel32", "WaitForSingleObject")(child.hProcess, 60000);
         DWORD code = 0;
         GetExitCodeProcess(child.hProcess, &code);
         Real<decltype(&CloseHandle)>("kernel32", "CloseHandle")(child.hThread);
         Real<decltype(&CloseHandle)>("kernel32", "CloseHandle")(child.hProcess);
         const std::string profile = ContentOf(folder + L"\\Server.ini");
         detail += std::string(how) + ": exit " + std::to_string(code) + "; ";
         if (code != 8 || profile.find("FalseCannot complete the run: internal error=") == std::string::npos) {
           return false;
         }
       }
       return true;
     }},
    {"English messages missing: the record's words do not come from the system",
     "Microsoft Learn, FormatMessage (ERROR_RESOURCE_LANG_NOT_FOUND without the language)",
     [](std::string& detail) {
       const std::wstring words = DescribeSystemError(ERROR_ACCESS_DENIED);
       detail = std::to_string(model.format_message_calls) + " calls";
       return words == L"Access is denied" && model.format_message_calls == 0;
     }},
};

}  // namespace

// A child of the row below: ends as the run does when the C runtime aborts
// or the process crashes, with its program folder at `folder`.
int EndBy(const char* how, const wchar_t* folder) {
  model.module_path = std::wstring(folder) + L"\\PlindorSwap.exe";
  InstallEndingHandlers();
  if (strcmp(how, "abort") == 0) abort();
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return 99;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--end-by") == 0) {
    const std::string folder = argv[3];
    return EndBy(argv[2], std::wstring(folder.begin(), folder.end()).c_str());
  }
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  folder = std::wstring(temp) + L"plindor-model-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  int failed = 0;
  for (const Row& row : kRows) {
    model = Model();
    std::string detail;
    bool holds = row.holds(detail);
    if (!model.allocated.empty()) {
      detail += " (a security descriptor left unfreed)";
      holds = false;
    }
    if (!model.open.empty()) {
      detail += " (" + std::to_string(model.open.size()) + " handles left open)";
      holds = false;
    }
    printf("%s: %s\n  (%s)%s%s\n", holds ? "ok" : "FAILED", row.behaviour, row.source,
           detail.empty() ? "" : "\n  ", detail.c_str());
    failed += holds ? 0 : 1;
    model = Model();
    WIN32_FIND_DATAW found;
    HANDLE left = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (left == INVALID_HANDLE_VALUE) continue;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW((folder + L"\\" + found.cFileName).c_str());
      }
    } while (FindNextFileW(left, &found));
    FindClose(left);
  }
  RemoveDirectoryW(folder.c_str());
  return failed == 0 ? 0 : 1;
}
