// The process lookup and stop over a fake process listing.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "process/process_kill.h"
#include "process/process_platform.h"

struct ProcessSnapshot {
  size_t next = 0;
};

struct StoppableProcess {
  uint32_t id;
};

namespace {

const std::string kProgram = "/prog/Plindor.exe";

std::vector<std::pair<uint32_t, std::string>> listing;
// The program file each listed process runs; absent: it cannot be told.
std::map<uint32_t, std::string> programs;
// Each process's program file as a handle to it reads now; absent: it
// cannot be opened; empty: it has ended.
std::map<uint32_t, std::string> programs_now;
bool snapshot_fails = false;
int snapshots_open = 0;
std::vector<std::string> calls;

}  // namespace

ProcessSnapshot* OpenProcessSnapshot() {
  if (snapshot_fails) return nullptr;
  ++snapshots_open;
  return new ProcessSnapshot;
}
bool ReadNextProcess(ProcessSnapshot& snapshot, uint32_t& id, Text& exe_name) {
  if (snapshot.next >= listing.size()) return false;
  id = listing[snapshot.next].first;
  exe_name = listing[snapshot.next].second;
  ++snapshot.next;
  return true;
}
void CloseProcessSnapshot(ProcessSnapshot* snapshot) {
  --snapshots_open;
  delete snapshot;
}
bool ProcessRunsProgram(uint32_t id, const Text& program) {
  calls.push_back("program of " + std::to_string(id));
  return programs.count(id) != 0 && programs[id] == program;
}
StoppableProcess* OpenProcessToStop(uint32_t id) {
  if (programs_now.count(id) == 0) return nullptr;
  calls.push_back("open " + std::to_string(id));
  return new StoppableProcess{id};
}
bool StoppableProcessRunsProgram(StoppableProcess& process, const Text& program) {
  return programs_now[process.id] == program;
}
void TerminateStoppableProcess(StoppableProcess& process) {
  calls.push_back("terminate " + std::to_string(process.id));
}
void CloseStoppableProcess(StoppableProcess* process) {
  calls.push_back("close " + std::to_string(process->id));
  delete process;
}
void PauseMilliseconds(unsigned ms) { calls.push_back("pause " + std::to_string(ms)); }
void WaitForStoppedProcess(StoppableProcess& process, unsigned ms) {
  calls.push_back("wait " + std::to_string(process.id) + " " + std::to_string(ms));
}

class ProcessKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listing.clear();
    programs.clear();
    programs_now.clear();
    snapshot_fails = false;
    snapshots_open = 0;
    calls.clear();
  }
  void TearDown() override { EXPECT_EQ(snapshots_open, 0) << "snapshot left open"; }
};

TEST_F(ProcessKillTest, FindsTheFirstProcessWhoseNameBeginsWithTheSoughtOne) {
  const struct {
    const char* name;
    uint32_t id;
  } cases[] = {
      {"Plindor.EXE", 30},   // first in the listing's order wins
      {"plindor.exe", 30},   // letter case aside
      {"Plindor.EXEs", 0},   // longer than every name
      {"Plindor", 20},       // a prefix of a longer name
      {"", 0},               // empty matches nothing
      {"init", 1},
      {"missing", 0},
  };
  listing = {{1, "init"}, {20, "PlindorSwap"}, {30, "plindor.exe"},
             {31, "PLINDOR.EXE"}, {40, "Plindor.ex"}};
  for (const auto& [id, name] : listing) programs[id] = kProgram;
  for (const auto& c : cases) EXPECT_EQ(GetProcessIdByName(c.name, kProgram), c.id) << c.name;
}

TEST_F(ProcessKillTest, ShorterNameNeverMatchesEvenAsAPrefixOfTheSoughtOne) {
  listing = {{5, "Plindor.ex"}, {6, "Plindor"}};
  programs = {{5, kProgram}, {6, kProgram}};
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE", kProgram), 0u);
}

// The name is the first filter; then only a process running this folder's
// program is the updater, whatever it is called and whoever started it.
TEST_F(ProcessKillTest, OnlyAProcessRunningTheProgramIsTheUpdater) {
  listing = {{10, "Plindor.exe"},            {11, "Plindor.EXE.backup.exe"}, {12, "Plindor.exe"},
             {13, "renamed-copy"},           {14, "Plindor.exe"},            {15, "Plindor.exe"}};
  programs = {{10, "/home/stranger/Plindor.exe"},  // a stranger's process of that name
              {11, "/other/Plindor.EXE.backup.exe"},
              // 12: another user's, whose program cannot be told
              {13, kProgram},  // the program under a name that is not the updater's
              {14, kProgram}, {15, kProgram}};
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE", kProgram), 14u);
  EXPECT_EQ(calls, (std::vector<std::string>{"program of 10", "program of 11", "program of 12", "program of 14"}));
  programs.erase(14);
  programs.erase(15);
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE", kProgram), 0u);
}

TEST_F(ProcessKillTest, NoSnapshotMeansNoProcess) {
  snapshot_fails = true;
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE", kProgram), 0u);
}

// The stop acts only on a process that still runs the program, through the
// handle it checked; the pause follows whatever happened, and a process
// stopped is then waited for, through the same handle.
TEST_F(ProcessKillTest, StopTerminatesOnlyTheProcessFoundThenPausesOneSecond) {
  using Calls = std::vector<std::string>;
  const struct {
    const char* what;
    uint32_t id;
    std::map<uint32_t, std::string> programs;
    Calls calls;
  } cases[] = {
      {"still the updater", 42, {{42, kProgram}},
       {"open 42", "terminate 42", "pause 1000", "wait 42 5000", "close 42"}},
      {"id passed to another program", 42, {{42, "/bin/sleep"}}, {"open 42", "pause 1000", "close 42"}},
      {"ended since", 42, {{42, ""}}, {"open 42", "pause 1000", "close 42"}},
      {"cannot be opened", 42, {}, {"pause 1000"}},
      {"id 0: nothing, no pause", 0, {{0, kProgram}}, {}},
  };
  for (const auto& c : cases) {
    calls.clear();
    programs_now = c.programs;
    KillProcessById(c.id, kProgram);
    EXPECT_EQ(calls, c.calls) << c.what;
  }
}

TEST(ExeNameTest, MatchesAsciiPrefixIgnoringCaseOnly) {
  EXPECT_TRUE(ExeNameBeginsWith("PLINDOR.exe (deleted)", "Plindor.EXE"));
  EXPECT_TRUE(ExeNameBeginsWith("zap-Az", "ZAP-aZ"));
  EXPECT_FALSE(ExeNameBeginsWith("Xlindor.exe", "Plindor.EXE"));
  EXPECT_FALSE(ExeNameBeginsWith("@lindor.exe", "`lindor.exe"));
  EXPECT_FALSE(ExeNameBeginsWith("[lindor.exe", "{lindor.exe"));
  EXPECT_FALSE(ExeNameBeginsWith("Plindor.exe", ""));
  EXPECT_FALSE(ExeNameBeginsWith("Pl\xC3\xAEndor.exe", "Plindor.EXE"));
  EXPECT_FALSE(ExeNameBeginsWith("Plindor.exe", std::string("Plindor\0exe", 11)));
}
