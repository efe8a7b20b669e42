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

std::vector<std::pair<uint32_t, std::string>> listing;
// Each process's executable name as a handle to it reads now; absent: it
// cannot be opened; "?": the name cannot be read through the handle.
std::map<uint32_t, std::string> names_now;
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
StoppableProcess* OpenProcessToStop(uint32_t id) {
  if (names_now.count(id) == 0) return nullptr;
  calls.push_back("open " + std::to_string(id));
  return new StoppableProcess{id};
}
bool ReadStoppableProcessName(StoppableProcess& process, Text& exe_name) {
  exe_name = names_now[process.id];
  return exe_name != "?";
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
    names_now.clear();
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
  for (const auto& c : cases) EXPECT_EQ(GetProcessIdByName(c.name), c.id) << c.name;
}

TEST_F(ProcessKillTest, ShorterNameNeverMatchesEvenAsAPrefixOfTheSoughtOne) {
  listing = {{5, "Plindor.ex"}, {6, "Plindor"}};
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE"), 0u);
}

TEST_F(ProcessKillTest, NoSnapshotMeansNoProcess) {
  snapshot_fails = true;
  EXPECT_EQ(GetProcessIdByName("Plindor.EXE"), 0u);
}

// The stop acts only on the process whose name still begins with the one
// sought, through the handle it checked; the pause follows whatever happened,
// and a process stopped is then waited for, through the same handle.
TEST_F(ProcessKillTest, StopTerminatesOnlyTheProcessFoundThenPausesOneSecond) {
  using Calls = std::vector<std::string>;
  const struct {
    const char* what;
    uint32_t id;
    std::map<uint32_t, std::string> names;
    Calls calls;
  } cases[] = {
      {"still the updater", 42, {{42, "PLINDOR.exe"}},
       {"open 42", "terminate 42", "pause 1000", "wait 42 5000", "close 42"}},
      {"id passed to another", 42, {{42, "sleep"}}, {"open 42", "pause 1000", "close 42"}},
      {"ended since", 42, {{42, ""}}, {"open 42", "pause 1000", "close 42"}},
      {"name cannot be read: stopped as found", 42, {{42, "?"}},
       {"open 42", "terminate 42", "pause 1000", "wait 42 5000", "close 42"}},
      {"cannot be opened", 42, {}, {"pause 1000"}},
      {"id 0: nothing, no pause", 0, {{0, "Plindor.exe"}}, {}},
  };
  for (const auto& c : cases) {
    calls.clear();
    names_now = c.names;
    KillProcessById(c.id, "Plindor.EXE");
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
