// The process lookup and stop over a fake process listing.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "process/process_kill.h"
#include "process/process_platform.h"

struct ProcessSnapshot {
  size_t next = 0;
};

namespace {

std::vector<std::pair<uint32_t, std::string>> listing;
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
void TerminateProcessById(uint32_t id) { calls.push_back("terminate " + std::to_string(id)); }
void PauseMilliseconds(unsigned ms) { calls.push_back("pause " + std::to_string(ms)); }

class ProcessKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listing.clear();
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

TEST_F(ProcessKillTest, StopTerminatesThenPausesOneSecond) {
  KillProcessById(42);
  EXPECT_EQ(calls, (std::vector<std::string>{"terminate 42", "pause 1000"}));
}

TEST_F(ProcessKillTest, StopOfIdZeroDoesNothingAndDoesNotPause) {
  KillProcessById(0);
  EXPECT_TRUE(calls.empty());
}

TEST(ExeNameTest, MatchesAsciiPrefixIgnoringCaseOnly) {
  EXPECT_TRUE(ExeNameBeginsWith("PLINDOR.exe (deleted)", "Plindor.EXE"));
  EXPECT_FALSE(ExeNameBeginsWith("Pl\xC3\xAEndor.exe", "Plindor.EXE"));
  EXPECT_FALSE(ExeNameBeginsWith("Plindor.exe", std::string("Plindor\0exe", 11)));
}
