#include "process/process_platform.h"

#include <windows.h>
// After windows.h: the toolhelp header needs its types.
#include <tlhelp32.h>

// The snapshot is read through the ANSI entry points and record; with UNICODE
// defined the header maps these names to the wide forms, so undo that here.
#undef PROCESSENTRY32
#undef Process32First
#undef Process32Next
using AnsiProcessEntry = tagPROCESSENTRY32;

#ifndef _WIN64
static_assert(sizeof(AnsiProcessEntry) == 296, "ANSI snapshot entry must be 296 bytes");
#endif

struct ProcessSnapshot {
  HANDLE handle;
  AnsiProcessEntry entry;
  bool started;
};

namespace {

// The executable field holds a name in the ANSI code page, ended by a zero
// within its 260 bytes; nothing after that zero is part of the name.
Text WidenAnsiName(const char* field, size_t field_size) {
  size_t length = 0;
  while (length < field_size && field[length] != '\0') ++length;
  if (length == 0) return Text();
  int wide_length = MultiByteToWideChar(CP_ACP, 0, field, static_cast<int>(length), nullptr, 0);
  if (wide_length <= 0) return Text();
  Text wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, field, static_cast<int>(length), &wide[0], wide_length);
  return wide;
}

}  // namespace

ProcessSnapshot* OpenProcessSnapshot() {
  HANDLE handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* snapshot = new ProcessSnapshot{handle, {}, false};
  snapshot->entry.dwSize = sizeof(AnsiProcessEntry);
  return snapshot;
}

bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name) {
  BOOL read = snapshot.started ? Process32Next(snapshot.handle, &snapshot.entry)
                               : Process32First(snapshot.handle, &snapshot.entry);
  snapshot.started = true;
  if (!read) return false;
  id = snapshot.entry.th32ProcessID;
  exe_name = WidenAnsiName(snapshot.entry.szExeFile, sizeof(snapshot.entry.szExeFile));
  return true;
}

void CloseProcessSnapshot(ProcessSnapshot* snapshot) {
  if (snapshot == nullptr) return;
  CloseHandle(snapshot->handle);
  delete snapshot;
}

// A process handle names the process it was opened on, never one that gets
// its id later.
struct StoppableProcess {
  HANDLE handle;
  bool can_query;
};

StoppableProcess* OpenProcessToStop(uint32_t id) {
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
  if (process != nullptr) return new StoppableProcess{process, true};
  // Where the query right is refused, the process is stopped as found.
  if (GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
  process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
  return process != nullptr ? new StoppableProcess{process, false} : nullptr;
}

bool ReadStoppableProcessName(StoppableProcess& process, Text& exe_name) {
  if (!process.can_query) return false;
  exe_name.clear();
  Text path(32768, L'\0');
  DWORD length = static_cast<DWORD>(path.size());
  if (QueryFullProcessImageNameW(process.handle, 0, &path[0], &length)) {
    path.resize(length);
    exe_name = path.substr(path.find_last_of(L"\\/") + 1);
    return true;
  }
  // A process that has ended has no name to read. One that still runs but
  // whose name the system will not give is stopped as found.
  return WaitForSingleObject(process.handle, 0) == WAIT_OBJECT_0;
}

void TerminateStoppableProcess(StoppableProcess& process) { TerminateProcess(process.handle, 0); }

void WaitForStoppedProcess(StoppableProcess& process, unsigned milliseconds) {
  WaitForSingleObject(process.handle, milliseconds);
}

void CloseStoppableProcess(StoppableProcess* process) {
  if (process == nullptr) return;
  CloseHandle(process->handle);
  delete process;
}
