// The run's decisions and every failure path, with the platform, the process
// control and the profile writer replaced by fakes that record each call.
#include <gtest/gtest.h>

#include <map>
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

constexpr SystemError kNotFound = 2;
constexpr SystemError kDenied = 5;
constexpr SystemError kExists = 183;

const std::string kCurrent = "/prog/Plindor.exe";
const std::string kDownload = "/prog/Download/Program/Plindor.exe";

// The program directory as the fakes see it: each file's path and content.
using Files = std::map<std::string, std::string>;

struct World {
  Files files = {{kCurrent, "old"}};
  bool profile_refused = false;
  std::vector<std::string> records;
  SystemError directory_error = 0;
  SystemError guard_error = 0;
  bool guard_taken = true;
  SystemError search_error = 0;
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
void RemoveStaleTemporaryCopies(std::initializer_list<Text> paths) {
  std::string call = "tidy";
  for (const Text& path : paths) call += " " + path;
  world.calls.push_back(call);
}
SystemError FindPlainFile(const Text& path, bool& found) {
  world.calls.push_back("search " + path);
  found = world.search_error == 0 && world.files.count(path) != 0;
  return world.search_error;
}
SystemError DeleteFileNotForced(const Text& path) {
  world.calls.push_back("delete " + path);
  if (world.delete_error != 0) return world.delete_error;
  return world.files.erase(path) != 0 ? 0 : kNotFound;
}
bool IsFileNotFound(SystemError error) { return error == kNotFound; }
SystemError MoveFileNoReplace(const Text& from, const Text& to) {
  world.calls.push_back("move " + from + " " + to);
  if (world.move_error != 0) return world.move_error;
  if (world.files.count(from) == 0) return kNotFound;
  if (world.files.count(to) != 0) return kExists;
  world.files[to] = world.files[from];
  world.files.erase(from);
  return 0;
}
SystemError LaunchMinimized(const Text& path) {
  world.calls.push_back("launch " + path);
  if (world.launch_error != 0) return world.launch_error;
  return world.files.count(path) != 0 ? 0 : kNotFound;
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
  world.calls.push_back("record");
  if (!world.profile_refused) world.records.push_back(file + " [" + section + "] " + key + "=" + value);
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { world = World(); }
};

TEST_F(RunTest, WithNoDownloadOnlyLaunches) {
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls, (std::vector<std::string>{
                             "guard /prog",
                             "tidy /prog/Server.ini /prog/Plindor.exe",
                             "search /prog/Download/Program/Plindor.exe",
                             "launch /prog/Plindor.exe",
                         }));
}

TEST_F(RunTest, WithDownloadStopsSwapsAndLaunchesInOrder) {
  world.files[kDownload] = "new";
  world.running_updater = 42;
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls, (std::vector<std::string>{
                             "guard /prog",
                             "tidy /prog/Server.ini /prog/Plindor.exe",
                             "search /prog/Download/Program/Plindor.exe",
                             "lookup Plindor.EXE",
                             "kill 42",
                             "delete /prog/Plindor.exe",
                             "move /prog/Download/Program/Plindor.exe /prog/Plindor.exe",
                             "launch /prog/Plindor.exe",
                         }));
  EXPECT_EQ(world.files, (Files{{kCurrent, "new"}}));
}

TEST_F(RunTest, WithDownloadAndNoUpdaterRunningHandsZeroToTheStop) {
  world.files[kDownload] = "new";
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls.at(4), "kill 0");
}

TEST_F(RunTest, MissingCurrentExecutableIsRecoveredByTheMove) {
  world.files = {{kDownload, "new"}};
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls.back(), "launch /prog/Plindor.exe");
  EXPECT_EQ(world.files, (Files{{kCurrent, "new"}}));
  EXPECT_TRUE(world.records.empty());
}

TEST_F(RunTest, WithoutProgramDirectoryEndsWithoutTouchingAnything) {
  world.directory_error = kDenied;
  EXPECT_EQ(RunTool(), kExitNoProgramDirectory);
  EXPECT_TRUE(world.calls.empty());
}

// Each step that can fail, with a download waiting and the updater running:
// the steps that ran, nothing after the failure but its record, the files
// left behind, and the step's own exit code.
TEST_F(RunTest, EachFailingStepRecordsItselfAndLaunchesNothing) {
  const std::string guard = "guard /prog";
  const std::string tidy = "tidy /prog/Server.ini /prog/Plindor.exe";
  const std::string search = "search /prog/Download/Program/Plindor.exe";
  const std::string lookup = "lookup Plindor.EXE", kill = "kill 7";
  const std::string del = "delete /prog/Plindor.exe";
  const std::string move = "move /prog/Download/Program/Plindor.exe /prog/Plindor.exe";
  const std::string launch = "launch /prog/Plindor.exe";
  const Files untouched = {{kCurrent, "old"}, {kDownload, "new"}};
  const Files swapped = {{kCurrent, "new"}};
  struct Row {
    const char* step;
    void (*fail)(World&);
    int code;
    std::vector<std::string> calls;
    Files files;
    const char* key;  // empty: the profile refused the record
  };
  const Row rows[] = {
      {"guard error", [](World& w) { w.guard_error = kDenied; }, kExitRunGuardFailed,
       {guard, "record"}, untouched, "Cannot wait for another run to finish: Error 5"},
      {"guard timeout", [](World& w) { w.guard_taken = false; }, kExitRunGuardFailed,
       {guard, "record"}, untouched,
       "Cannot start: another run on this folder did not finish in time"},
      {"search", [](World& w) { w.search_error = kDenied; }, kExitSearchFailed,
       {guard, tidy, search, "record"}, untouched, "Cannot search for the downloaded copy: Error 5"},
      {"delete", [](World& w) { w.delete_error = kDenied; }, kExitDeleteFailed,
       {guard, tidy, search, lookup, kill, del, "record"}, untouched,
       "Cannot delete the current executable: Error 5"},
      {"move", [](World& w) { w.move_error = kDenied; }, kExitMoveFailed,
       {guard, tidy, search, lookup, kill, del, move, "record"}, {{kDownload, "new"}},
       "Cannot move the downloaded copy into place: Error 5"},
      {"launch", [](World& w) { w.launch_error = kDenied; }, kExitLaunchFailed,
       {guard, tidy, search, lookup, kill, del, move, launch, "record"}, swapped,
       "Cannot launch the updater: Error 5"},
      {"launch, profile refuses the record",
       [](World& w) {
         w.launch_error = kDenied;
         w.profile_refused = true;
       },
       kExitLaunchFailed, {guard, tidy, search, lookup, kill, del, move, launch, "record"}, swapped, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    world = World();
    world.files[kDownload] = "new";
    world.running_updater = 7;
    row.fail(world);
    EXPECT_EQ(RunTool(), row.code);
    EXPECT_EQ(world.calls, row.calls);
    EXPECT_EQ(world.files, row.files);
    if (row.key[0] == '\0') {
      EXPECT_TRUE(world.records.empty());
    } else {
      EXPECT_EQ(world.records, (std::vector<std::string>{"/prog/Server.ini [Tovalane] False" +
                                                         std::string(row.key) +
                                                         "=2026-03-04 05:06:07"}));
    }
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
  EXPECT_EQ(DecimalText(0), "0");
  EXPECT_EQ(DecimalText(4294967295ul), "4294967295");
}
