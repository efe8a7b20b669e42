#include "process/process_platform.h"

#include <windows.h>
// After windows.h: the toolhelp header needs its types.
#include <tlhelp32.h>

#include "common/file-win32.h"

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

namespace {

// Whether two paths name one file: the same path, letter case aside, or
// another spelling of it (a drive letter and a UNC path, a short name, a
// subst drive) with the same volume and file index.
bool SameFile(const Text& a, const Text& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
             CSTR_EQUAL ||
         (ReadFileIdentity(a, first) && ReadFileIdentity(b, second) && SameFile(first, second));
}

// Whether the process open at `process` (with the limited query right) runs
// the program file at `program`. A file replaced since the process started
// from it keeps the path it had: the process is still named by it.
bool ImageIsProgram(HANDLE process, const Text& program) {
  Text image(32768, L'\0');
  DWORD length = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, &image[0], &length)) return false;
  image.resize(length);
  return SameFile(image, program);
}

}  // namespace

bool ProcessRunsProgram(uint32_t id, const Text& program) {
  // The limited query right is what even a protected process grants; a
  // process that refuses it (another user's) cannot be told to run the
  // updater's program, and is not taken for it.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return false;
  const bool runs = ImageIsProgram(process, program);
  CloseHandle(process);
  return runs;
}

// A process handle names the process it was opened on, never one that gets
// its id later.
struct StoppableProcess {
  HANDLE handle;
};

StoppableProcess* OpenProcessToStop(uint32_t id) {
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
  return process != nullptr ? new StoppableProcess{process} : nullptr;
}

bool StoppableProcessRunsProgram(StoppableProcess& process, const Text& program) {
  // A process that has ended has no image to read, and is not stopped.
  return ImageIsProgram(process.handle, program);
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
