// The run's decisions and every failure path, with the platform, the process
// control and the profile writer replaced by fakes that record each call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/failure_record.h"
#include "run/frm_copy.h"
#include "run/run_ops.h"

namespace {

struct Ended {
  int code;
};

struct World {
  SystemError directory_error = 0;
  SystemError guard_error = 0;
  bool guard_taken = true;
  SystemError search_error = 0;
  bool download_waiting = false;
  uint32_t running_updater = 0;
  SystemError delete_error = 0;
  SystemError move_error = 0;
  SystemError launch_error = 0;
  std::vector<std::string> calls;
};

World world;

int RunTool() {
  try {
    FrmCopy form;
    form.OnLoad();
  } catch (const Ended& ended) {
    return ended.code;
  }
  ADD_FAILURE() << "the run returned instead of ending the process";
  return -1;
}

constexpr SystemError kNotFound = 2;
constexpr SystemError kDenied = 5;

}  // namespace

// The fakes, linked in place of the platform files.
SystemError GetProgramDirectory(Text& directory) {
  directory = "/prog";
  return world.directory_error;
}
SystemError TakeRunGuard(const Text& directory, unsigned, bool& taken) {
  world.calls.push_back("guard " + directory);
  taken = world.guard_taken;
  return world.guard_error;
}
SystemError FindPlainFile(const Text& path, bool& found) {
  world.calls.push_back("search " + path);
  found = world.download_waiting;
  return world.search_error;
}
SystemError DeleteFileNotForced(const Text& path) {
  world.calls.push_back("delete " + path);
  return world.delete_error;
}
bool IsFileNotFound(SystemError error) { return error == kNotFound; }
SystemError MoveFileNoReplace(const Text& from, const Text& to) {
  world.calls.push_back("move " + from + " " + to);
  return world.move_error;
}
SystemError LaunchMinimized(const Text& path) {
  world.calls.push_back("launch " + path);
  return world.launch_error;
}
Text DescribeSystemError(SystemError error) {
  return "  Error " + std::to_string(error) + ".\r\n";
}
LocalTime GetLocalTimeNow() { return {2026, 3, 4, 5, 6, 7}; }
void EndProcess(int exit_code) { throw Ended{exit_code}; }
uint32_t GetProcessIdByName(Text name) {
  world.calls.push_back("lookup " + name);
  return world.running_updater;
}
void KillProcessById(uint32_t id) { world.calls.push_back("kill " + std::to_string(id)); }
void WriteIniValue(Text file, Text section, Text key, Text value) {
  world.calls.push_back("record " + file + " [" + section + "] " + key + "=" + value);
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { world = World(); }
};

TEST_F(RunTest, WithNoDownloadOnlyLaunches) {
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls, (std::vector<std::string>{
                             "guard /prog",
                             "search /prog/Download/Program/Plindor.exe",
                             "launch /prog/Plindor.exe",
                         }));
}

TEST_F(RunTest, WithDownloadStopsSwapsAndLaunchesInOrder) {
  world.download_waiting = true;
  world.running_updater = 42;
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls, (std::vector<std::string>{
                             "guard /prog",
                             "search /prog/Download/Program/Plindor.exe",
                             "lookup Plindor.EXE",
                             "kill 42",
                             "delete /prog/Plindor.exe",
                             "move /prog/Download/Program/Plindor.exe /prog/Plindor.exe",
                             "launch /prog/Plindor.exe",
                         }));
}

TEST_F(RunTest, WithDownloadAndNoUpdaterRunningHandsZeroToTheStop) {
  world.download_waiting = true;
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls.at(3), "kill 0");
}

TEST_F(RunTest, MissingCurrentExecutableIsRecoveredByTheMove) {
  world.download_waiting = true;
  world.delete_error = kNotFound;
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls.back(), "launch /prog/Plindor.exe");
}

TEST_F(RunTest, WithoutProgramDirectoryEndsWithoutTouchingAnything) {
  world.directory_error = kDenied;
  EXPECT_EQ(RunTool(), kExitNoProgramDirectory);
  EXPECT_TRUE(world.calls.empty());
}

// Each failing step: the steps that ran, then one record and the step's code.
TEST_F(RunTest, EachFailingStepRecordsItselfAndLaunchesNothing) {
  const std::string search = "search /prog/Download/Program/Plindor.exe";
  const std::string stop[] = {"lookup Plindor.EXE", "kill 7"};
  const std::string del = "delete /prog/Plindor.exe";
  const std::string move = "move /prog/Download/Program/Plindor.exe /prog/Plindor.exe";
  const std::string launch = "launch /prog/Plindor.exe";
  const std::string record = "record /prog/Server.ini [Tovalane] False";
  const std::string at = "=2026-03-04 05:06:07";
  struct Row {
    const char* step;
    void (*fail)(World&);
    int code;
    std::vector<std::string> calls;
  };
  const Row rows[] = {
      {"guard error", [](World& w) { w.guard_error = kDenied; }, kExitRunGuardFailed,
       {"guard /prog", record + "Cannot wait for another run to finish: Error 5" + at}},
      {"guard timeout", [](World& w) { w.guard_taken = false; }, kExitRunGuardFailed,
       {"guard /prog",
        record + "Cannot start: another run on this folder did not finish in time" + at}},
      {"search", [](World& w) { w.search_error = kDenied; }, kExitSearchFailed,
       {"guard /prog", search, record + "Cannot search for the downloaded copy: Error 5" + at}},
      {"delete", [](World& w) { w.delete_error = kDenied; }, kExitDeleteFailed,
       {"guard /prog", search, stop[0], stop[1], del,
        record + "Cannot delete the current executable: Error 5" + at}},
      {"move", [](World& w) { w.move_error = 183; }, kExitMoveFailed,
       {"guard /prog", search, stop[0], stop[1], del, move,
        record + "Cannot move the downloaded copy into place: Error 183" + at}},
      {"launch", [](World& w) { w.launch_error = kNotFound; }, kExitLaunchFailed,
       {"guard /prog", search, stop[0], stop[1], del, move, launch,
        record + "Cannot launch the updater: Error 2" + at}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    world = World();
    world.download_waiting = true;
    world.running_updater = 7;
    row.fail(world);
    EXPECT_EQ(RunTool(), row.code);
    EXPECT_EQ(world.calls, row.calls);
  }
}

TEST(FailureRecordTest, ReasonIsOneCleanLine) {
  const struct {
    const char* raw;
    const char* clean;
  } cases[] = {
      {"Access is denied.\r\n", "Access is denied"},
      {"  two\r\nlines\n\tand tabs  ", "two lines and tabs"},
      {"a=b==c", "a-b--c"},
      {"", "unknown error"},
      {" .\r\n", "unknown error"},
      {"caf\xC3\xA9 ok", "caf\xC3\xA9 ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanReason(c.raw), c.clean) << c.raw;
}

TEST(FailureRecordTest, TimestampHasFixedWidthFields) {
  EXPECT_EQ(FormatTimestamp({2026, 1, 2, 3, 4, 5}), "2026-01-02 03:04:05");
  EXPECT_EQ(FormatTimestamp({1999, 12, 31, 23, 59, 59}), "1999-12-31 23:59:59");
}
