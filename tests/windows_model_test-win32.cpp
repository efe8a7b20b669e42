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

#include <cstdio>
#include <string>
#include <tuple>

#include "common/retry.h"
#include "process/process_kill.h"
#include "run/run_ops.h"

namespace {

// What the model answers, set by each row.
struct Model {
  std::wstring path;           // the file the row is about
  int pending_delete = 0;      // calls refused as a pending deletion; then it is gone
  bool running_image = false;  // the image of a process that runs until terminated
  bool not_same_device = false;
  DWORD reparse_tag = 0;
  bool process_running = false;  // the process to stop, whose name cannot be read
  bool terminated = false;
  bool global_refused = false;   // creating a Global\ object is refused
  bool global_openable = false;  // but one made by a service may be opened
  std::wstring module_path;  // GetModuleFileNameW's answer, where set
  std::wstring opened_folder, mutex_name;
  int format_message_calls = 0;
  unsigned slept_ms = 0;
};
Model model;

const HANDLE kProcess = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7e57));

template <typename Function>
Function Real(const char* dll, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA(dll), name)));
}

bool IsModelPath(const wchar_t* path) {
  const std::wstring given = path;
  return !model.path.empty() && given.size() >= model.path.size() &&
         given.compare(given.size() - model.path.size(), model.path.size(), model.path) == 0;
}

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

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
  if (IsModelPath(path)) {
    if (StillPendingDelete()) return Refuse(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
    if (model.reparse_tag != 0) return FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return Real<decltype(&GetFileAttributesW)>("kernel32", "GetFileAttributesW")(path);
}

HANDLE WINAPI FindFirstFileW(LPCWSTR path, LPWIN32_FIND_DATAW found) {
  HANDLE search = Real<decltype(&FindFirstFileW)>("kernel32", "FindFirstFileW")(path, found);
  if (search != INVALID_HANDLE_VALUE && IsModelPath(path) && model.reparse_tag != 0) {
    found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    found->dwReserved0 = model.reparse_tag;
  }
  return search;
}

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE base) {
  if (IsModelPath(path) && StillPendingDelete()) return Refuse(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0) model.opened_folder = path;
  return Real<decltype(&CreateFileW)>("kernel32", "CreateFileW")(path, access, share, security,
                                                                 disposition, flags, base);
}

WINBOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                          DWORD size) {
  if (kind == FileRenameInfo) {
    const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
    const std::wstring target(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    if (IsModelPath(target.c_str())) {
      if (model.not_same_device) return Refuse(ERROR_NOT_SAME_DEVICE);
      if (StillPendingDelete()) return Refuse(ERROR_ACCESS_DENIED);
      if (model.running_image && !model.terminated) return Refuse(ERROR_ACCESS_DENIED);
    }
  }
  return Real<decltype(&SetFileInformationByHandle)>("kernel32", "SetFileInformationByHandle")(
      file, kind, info, size);
}

HANDLE WINAPI OpenProcess(DWORD access, WINBOOL inherit, DWORD id) {
  if (id == 4242) return kProcess;
  return Real<decltype(&OpenProcess)>("kernel32", "OpenProcess")(access, inherit, id);
}

WINBOOL WINAPI QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, PDWORD size) {
  if (process == kProcess) return Refuse(ERROR_ACCESS_DENIED);
  return Real<decltype(&QueryFullProcessImageNameW)>("kernel32", "QueryFullProcessImageNameW")(
      process, flags, name, size);
}

WINBOOL WINAPI TerminateProcess(HANDLE process, UINT code) {
  if (process == kProcess) return model.terminated = true;
  return Real<decltype(&TerminateProcess)>("kernel32", "TerminateProcess")(process, code);
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD ms) {
  if (object == kProcess) return model.process_running && !model.terminated ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  return Real<decltype(&WaitForSingleObject)>("kernel32", "WaitForSingleObject")(object, ms);
}

WINBOOL WINAPI CloseHandle(HANDLE object) {
  if (object == kProcess) return TRUE;
  return Real<decltype(&CloseHandle)>("kernel32", "CloseHandle")(object);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES security, WINBOOL owned, LPCWSTR name) {
  if (model.global_refused && wcsncmp(name, L"Global\\", 7) == 0) {
    return Refuse(ERROR_ACCESS_DENIED), nullptr;
  }
  model.mutex_name = name;
  return Real<decltype(&CreateMutexW)>("kernel32", "CreateMutexW")(security, owned, name);
}

HANDLE WINAPI OpenMutexW(DWORD access, WINBOOL inherit, LPCWSTR name) {
  if (model.global_refused && wcsncmp(name, L"Global\\", 7) == 0) {
    if (!model.global_openable) return Refuse(ERROR_ACCESS_DENIED), nullptr;
    model.mutex_name = name;
    return Real<decltype(&CreateMutexW)>("kernel32", "CreateMutexW")(nullptr, FALSE, name);
  }
  return Real<decltype(&OpenMutexW)>("kernel32", "OpenMutexW")(access, inherit, name);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
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

// The swap's replace, as the run makes it, of a download over `current`.
SystemError Replace(const std::wstring& current, bool& current_refused) {
  Download* download = nullptr;
  SystemError error = OpenDownload(PutFile(L"download.exe", "new"), download);
  if (error == 0) error = ReplaceCurrentWithDownload(*download, current, current_refused);
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
    {"a rename over a file whose deletion is pending waits until it is gone",
     "Microsoft Learn, DeleteFileW remarks; Inno Setup, files deleted on network shares",
     [](std::string& detail) {
       model.path = PutFile(L"Plindor.exe", "old");
       model.pending_delete = 3;
       bool current_refused = true;
       const SystemError error = Replace(model.path, current_refused);
       detail = "replace " + std::to_string(error) + ", " + ContentOf(model.path);
       return error == 0 && !current_refused && ContentOf(model.path) == "new";
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
    {"a rename across volumes fails with ERROR_NOT_SAME_DEVICE; a flushed copy takes its "
     "place and the download goes",
     "Microsoft Learn, System Error Codes (ERROR_NOT_SAME_DEVICE, 17); MoveFileExW remarks",
     [](std::string& detail) {
       model.path = PutFile(L"Plindor.exe", "old");
       model.not_same_device = true;
       bool current_refused = true;
       const SystemError error = Replace(model.path, current_refused);
       WIN32_FIND_DATAW found;
       HANDLE copies = FindFirstFileW((folder + L"\\.Plindor.exe.PlindorSwap-*").c_str(), &found);
       const bool stray = copies != INVALID_HANDLE_VALUE;
       if (stray) FindClose(copies);
       detail = "replace " + std::to_string(error) + ", " + ContentOf(model.path);
       return error == 0 && ContentOf(model.path) == "new" &&
              ContentOf(folder + L"\\download.exe") == "(none)" && !stray;
     }},
    {"a live process whose name cannot be queried is stopped as found",
     "Microsoft Learn, QueryFullProcessImageNameW (fails for processes the caller may not "
     "query) and OpenProcess (protected processes)",
     [](std::string& detail) {
       model.process_running = true;
       KillProcessById(4242, L"Plindor.EXE");
       detail = model.terminated ? "terminated" : "left running";
       return model.terminated;
     }},
    {"a process that has ended has no name to read and is left alone",
     "Microsoft Learn, WaitForSingleObject (a process handle is signalled once it has ended)",
     [](std::string& detail) {
       KillProcessById(4242, L"Plindor.EXE");
       detail = model.terminated ? "terminated" : "left alone";
       return !model.terminated;
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
         model.reparse_tag = row.tag;
         bool found = !row.found;
         if (FindPlainFile(model.path, found) != 0 || found != row.found) {
           detail = "tag " + std::to_string(row.tag);
           return false;
         }
       }
       return true;
     }},
    {"the Global\\ namespace refused: a service's guard is waited on, or else the session's "
     "own is made; named for the folder's volume serial number and file index",
     "Microsoft Learn, Kernel Object Namespaces (creating global objects may be refused); "
     "BY_HANDLE_FILE_INFORMATION (the two identify a file on a machine)",
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
         bool taken = false;
         const SystemError error = TakeRunGuard(folder, 1000, taken);
         detail += "guard " + std::to_string(error) + "; ";
         if (error != 0 || !taken || model.mutex_name != (openable ? L"Global\\" : L"Local\\") + std::wstring(key)) {
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
       bool taken = false;
       return GetProgramDirectory(directory) == 0 && directory == L"C:" &&
              TakeRunGuard(directory, 1000, taken) == 0 && model.opened_folder == L"C:\\";
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

int main() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  folder = std::wstring(temp) + L"plindor-model-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  int failed = 0;
  for (const Row& row : kRows) {
    model = Model();
    std::string detail;
    const bool holds = row.holds(detail);
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
