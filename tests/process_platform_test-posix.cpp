// The POSIX process lookup and stop on real processes.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "process/process_kill.h"
#include "process/process_platform.h"
#include "tests/e2e_support.h"

// The updater is the process running this folder's program: found by its
// name and its program file, also once that file was replaced or deleted,
// never a process of that name running another copy; stopped as found.
TEST(PosixProcessTest, SnapshotFindsTheProcessOfTheProgramAndStopsIt) {
  TempDir temp;
  const std::string exe = temp.path() + "/Plindor-probe.bin", copy = temp.path() + "/copy/Plindor-probe.bin";
  MakeDirs(temp.path() + "/copy");
  for (const std::string& path : {exe, copy}) {
    CopyFile("/bin/sleep", path);
    chmod(path.c_str(), 0755);
  }
  pid_t child = StartChild({exe, "30"});
  pid_t other = StartChild({copy, "30"});
  ASSERT_TRUE(WaitUntil([&] { return GetProcessIdByName("PLINDOR-PROBE", exe) != 0; }));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", copy), static_cast<uint32_t>(other));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", temp.path() + "/none"), 0u);
  // Another user may not look at a root process's program: it is no updater
  // of theirs.
  if (geteuid() == 0) {
    EXPECT_TRUE(AsNobody([&] { return GetProcessIdByName("plindor-probe", exe) == 0; }));
  }
  // Replaced by a rename, as a swap replaces it; then deleted.
  CopyFile("/bin/true", exe + ".new");
  ASSERT_EQ(rename((exe + ".new").c_str(), exe.c_str()), 0);
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  ASSERT_EQ(unlink(exe.c_str()), 0);
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  const int open_before = EntriesIn("/proc/self/fd");
  KillProcessById(static_cast<uint32_t>(other), exe);
  KillProcessById(static_cast<uint32_t>(child), exe);
  EXPECT_EQ(EntriesIn("/proc/self/fd"), open_before) << "the stop left a descriptor open";
  int status = 0;
  ASSERT_TRUE(WaitChild(child, status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_FALSE(WaitChild(other, status, 0)) << "another folder's program was stopped";
  kill(other, SIGKILL);
  WaitChild(other, status);
  // Reaped: nothing of that name is listed any more.
  EXPECT_EQ(GetProcessIdByName("Plindor-probe", exe), 0u);
}

TEST(PosixProcessTest, IdsThatAreNoPidAreNeverSignalled) {
  // 0xFFFFFFFF would be kill(-1): every process the caller may signal.
  EXPECT_EQ(OpenProcessToStop(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(OpenProcessToStop(0x80000000u), nullptr);
}

// The id found may pass to another process before the stop. In a PID
// namespace of the test's own, the updater ends after the lookup and its id
// is handed (through ns_last_pid) to a process of another name, which the
// stop must leave running.
TEST(PosixProcessTest, StopLeavesTheProcessThatGotTheIdSinceTheLookup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: a PID namespace and ns_last_pid";
  TempDir temp;
  const std::string exe = temp.path() + "/Plindor.exe";
  CopyFile("/bin/sleep", exe);
  chmod(exe.c_str(), 0755);
  pid_t outer = ForkChild([&] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(10);
    pid_t init = ForkChild([&] {
      // The namespace's first process, with a /proc of its own.
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        _exit(11);
      }
      pid_t updater = StartChild({exe, "30"});
      if (!WaitUntil([&] { return GetProcessIdByName("Plindor.EXE", exe) != 0; })) _exit(12);
      const uint32_t found = GetProcessIdByName("Plindor.EXE", exe);
      int status = 0;
      kill(updater, SIGKILL);
      waitpid(updater, &status, 0);
      WriteFile("/proc/sys/kernel/ns_last_pid", std::to_string(found - 1));
      pid_t other = StartChild({"/bin/sleep", "30"});
      if (static_cast<uint32_t>(other) != found) _exit(13);
      KillProcessById(found, exe);
      _exit(waitpid(other, &status, WNOHANG) == 0 ? 0 : 14);
    });
    int status = 0;
    waitpid(init, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 15);
  });
  int status = 0;
  ASSERT_TRUE(WaitChild(outer, status, 60));
  ASSERT_TRUE(WIFEXITED(status));
  // 13: the id was not handed on; 14: the process that got it was stopped.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
