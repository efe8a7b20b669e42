#include "process/process_kill.h"

#include <memory>

#include "common/ascii.h"
#include "common/bounds.h"
#include "process/process_platform.h"

namespace {

struct SnapshotCloser {
  void operator()(ProcessSnapshot* snapshot) const { CloseProcessSnapshot(snapshot); }
};

struct StoppableCloser {
  void operator()(StoppableProcess* process) const { CloseStoppableProcess(process); }
};

}  // namespace

bool ExeNameBeginsWith(const Text& exe_name, const Text& name) {
  if (name.empty() || exe_name.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (LowerAscii(exe_name[i]) != LowerAscii(name[i])) return false;
  }
  return true;
}

uint32_t GetProcessIdByName(Text name, const Text& program) {
  if (name.empty()) return 0;
  std::unique_ptr<ProcessSnapshot, SnapshotCloser> snapshot(OpenProcessSnapshot());
  if (!snapshot) return 0;
  uint32_t id = 0;
  Text exe_name;
  while (ReadNextProcess(*snapshot, id, exe_name)) {
    // The name first: it is free to read, the program file is not.
    if (ExeNameBeginsWith(exe_name, name) && ProcessRunsProgram(id, program)) return id;
  }
  return 0;
}

void KillProcessById(uint32_t id, const Text& program) {
  if (id == 0) return;
  std::unique_ptr<StoppableProcess, StoppableCloser> process(OpenProcessToStop(id));
  const bool stopping = process && StoppableProcessRunsProgram(*process, program);
  if (stopping) TerminateStoppableProcess(*process);
  PauseMilliseconds(kPauseAfterStopMs);
  // A process that has not ended after the pause (a slow exit, a file
  // system that holds it up) is waited for a while longer.
  if (stopping) WaitForStoppedProcess(*process, kStoppedProcessEndMs);
}
