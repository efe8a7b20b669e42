// The run's decisions and every failure path, with the platform, the process
// control and the profile writer replaced by fakes that record each call.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "process/process_kill.h"
#include "profile/mod_ini.h"
#include "run/failure_record.h"
#include "run/frm_copy.h"
#include "run/image_check.h"
#include "run/run_ops.h"
#include "run/signature_rule.h"

namespace {

struct Ended {
  int code;
};

constexpr SystemError kNotFound = 2;
constexpr SystemError kDenied = 5;

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
  bool search_throws = false;  // as memory running out would
  bool strangers_link = false;  // a link on the way to the download is a stranger's
  bool end_for_real = false;
  SystemError open_error = 0;
  SystemError writer_check_error = 0;
  bool still_written = false;
  SystemError read_error = 0;
  SystemError current_error = 0;
  uint32_t running_updater = 0;
  bool same_file = false;  // the download is the current executable under a second name
  SystemError prepare_error = 0;
  SystemError replace_error = 0;
  bool current_refused = false;
  SystemError remove_error = 0;
  SystemError launch_error = 0;
  PublisherPin pin;
  SystemError pin_error = 0;
  SignatureFacts signature;
  SystemError keep_error = 0;
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
void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  world.calls.push_back("tidy " + current + " " + profile);
}
SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found) {
  world.calls.push_back("search " + directory + below);
  if (world.search_throws) throw std::bad_alloc();
  found = world.search_error != 0 || world.files.count(directory + below) == 0 ? DownloadFound::kNothing
          : world.strangers_link                                                ? DownloadFound::kBehindAStrangersLink
                                                                                : DownloadFound::kPlainFile;
  return world.search_error;
}
struct Download {
  std::string path;
};
SystemError OpenDownload(const Text& directory, const Text& below, Download*& download) {
  const std::string path = directory + below;
  world.calls.push_back("open " + path);
  if (world.open_error != 0) return world.open_error;
  download = new Download{path};
  return 0;
}
void CloseDownload(Download* download) {
  world.calls.push_back("close");
  delete download;
}
uint64_t DownloadSize(const Download& download) { return world.files.at(download.path).size(); }
SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes) {
  bytes = world.files.at(download.path).substr(offset, size);
  return world.read_error;
}
SystemError WaitUntilNoOtherWriter(Download&, bool& still_written) {
  world.calls.push_back("writers");
  still_written = world.still_written;
  return world.writer_check_error;
}
SystemError CompareDownloadWithCurrent(Download& download, const Text& current, bool& same_file,
                                       bool& same_bytes) {
  world.calls.push_back("compare");
  same_file = world.same_file;
  same_bytes = world.files.count(current) != 0 && world.files.at(current) == world.files.at(download.path);
  return 0;
}
RunnableMachines GetRunnableMachines() { return {}; }
SystemError CheckCurrentReplaceable(const Text& current) {
  world.calls.push_back("check " + current);
  return world.current_error;
}
struct Replacement {
  std::string content;
};
SystemError PrepareReplacement(Download& download, const Text&, Replacement*& replacement,
                               bool& download_unreadable) {
  world.calls.push_back("prepare");
  download_unreadable = world.read_error != 0;
  if (world.read_error != 0) return world.read_error;
  if (world.prepare_error != 0) return world.prepare_error;
  replacement = new Replacement{world.files.at(download.path)};
  return 0;
}
void DiscardReplacement(Replacement* replacement) {
  if (replacement != nullptr) world.calls.push_back("discard");
  delete replacement;
}
uint64_t ReplacementSize(const Replacement& replacement) { return replacement.content.size(); }
SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size, std::string& bytes) {
  world.calls.push_back("read");
  bytes = replacement.content.substr(offset, size);
  return 0;
}
SystemError ReadPublisherPin(const Text&, PublisherPin& pin) {
  world.calls.push_back("pin");
  pin = world.pin;
  return world.pin_error;
}
SystemError ReadReplacementSignature(Replacement&, Download&, const PublisherPin&,
                                     SignatureFacts& facts) {
  world.calls.push_back("signature");
  facts = world.signature;
  return world.read_error;
}
SystemError KeepSignatureBesideCurrent(Download&, const Text&) {
  world.calls.push_back("keep");
  return world.keep_error;
}
SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current,
                                          bool& current_refused) {
  world.calls.push_back("replace " + current);
  current_refused = world.current_refused;
  if (world.replace_error != 0) return world.replace_error;
  world.files[current] = replacement.content;
  return 0;
}
SystemError RemoveDownload(Download& download) {
  world.calls.push_back("remove");
  if (world.remove_error != 0) return world.remove_error;
  world.files.erase(download.path);
  return 0;
}
SystemError LaunchMinimized(const Text& path) {
  world.calls.push_back("launch " + path);
  if (world.launch_error != 0) return world.launch_error;
  if (world.files.count(path) == 0) return kNotFound;
  world.running_updater = 99;
  return 0;
}
Text DescribeSystemError(SystemError error) {
  return error == kDenied ? "  Access is denied.\r\n" : "";
}
LocalTime GetLocalTimeNow() { return {2026, 3, 4, 5, 6, 7}; }
void EndProcess(int exit_code) {
  if (world.end_for_real) _exit(exit_code);
  throw Ended{exit_code};
}
uint32_t GetProcessIdByName(Text name, const Text& program) {
  world.calls.push_back("lookup " + name);
  EXPECT_EQ(program, kCurrent) << "the updater is the process of another program";
  return world.running_updater;
}
void KillProcessById(uint32_t id, const Text& program) {
  world.calls.push_back("kill " + std::to_string(id) + " " + program);
  if (id == world.running_updater) world.running_updater = 0;
}
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
                             "tidy /prog/Plindor.exe /prog/Server.ini",
                             "search /prog/Download/Program/Plindor.exe",
                             "launch /prog/Plindor.exe",
                         }));
}

TEST_F(RunTest, WithDownloadChecksStopsReplacesAndLaunchesInOrder) {
  world.files[kDownload] = "new";
  world.running_updater = 42;
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls, (std::vector<std::string>{
                             "guard /prog",
                             "tidy /prog/Plindor.exe /prog/Server.ini",
                             "search /prog/Download/Program/Plindor.exe",
                             "open /prog/Download/Program/Plindor.exe",
                             "writers",
                             "compare",
                             "check /prog/Plindor.exe",
                             "pin",
                             "prepare",
                             "read",
                             "lookup Plindor.EXE",
                             "kill 42 /prog/Plindor.exe",
                             "replace /prog/Plindor.exe",
                             "discard",
                             "keep",
                             "remove",
                             "close",
                             "launch /prog/Plindor.exe",
                         }));
  EXPECT_EQ(world.files, (Files{{kCurrent, "new"}}));
}

TEST_F(RunTest, WithDownloadAndNoUpdaterRunningHandsZeroToTheStop) {
  world.files[kDownload] = "new";
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_EQ(world.calls.at(11), "kill 0 /prog/Plindor.exe");
}

// A download that is the current program already stops nothing: one of
// the same bytes is removed, and one that is the current executable's own
// file under a second name is left, as removing it would remove the updater.
TEST_F(RunTest, DownloadThatIsTheCurrentProgramOnlyLaunches) {
  for (const bool same_file : {false, true}) {
    SCOPED_TRACE(same_file ? "the same file" : "the same bytes");
    world = World();
    world.files[kDownload] = "old";
    world.running_updater = 7;
    world.same_file = same_file;
    EXPECT_EQ(RunTool(), kExitLaunched);
    std::vector<std::string> calls = {"guard /prog", "tidy /prog/Plindor.exe /prog/Server.ini",
                                      "search /prog/Download/Program/Plindor.exe",
                                      "open /prog/Download/Program/Plindor.exe", "writers", "compare"};
    if (!same_file) calls.push_back("remove");
    calls.insert(calls.end(), {"close", "launch /prog/Plindor.exe"});
    EXPECT_EQ(world.calls, calls);
    EXPECT_EQ(world.files.count(kDownload), same_file ? 1u : 0u);
  }
}

TEST_F(RunTest, WithoutProgramDirectoryEndsWithoutTouchingAnything) {
  world.directory_error = kDenied;
  EXPECT_EQ(RunTool(), kExitNoProgramDirectory);
  EXPECT_TRUE(world.calls.empty());
}

// Each step that can fail, with a download waiting and the updater running:
// the steps that ran, nothing after the failure but its record (and the
// updater in place started where none runs, once the guard is held), the
// files left behind, and the step's own exit code. What can be known
// before the stop fails before it. The download, once open, is let go as
// the run ends, and a prepared copy is removed.
TEST_F(RunTest, EachFailingStepRecordsItselfAndLeavesAnUpdaterRunning) {
  const std::string guard = "guard /prog";
  const std::string tidy = "tidy /prog/Plindor.exe /prog/Server.ini";
  const std::string search = "search /prog/Download/Program/Plindor.exe";
  const std::string open = "open /prog/Download/Program/Plindor.exe";
  const std::string check = "check /prog/Plindor.exe";
  const std::string lookup = "lookup Plindor.EXE", kill = "kill 7 /prog/Plindor.exe";
  const std::string replace = "replace /prog/Plindor.exe";
  const std::string launch = "launch /prog/Plindor.exe";
  const std::vector<std::string> opened = {guard, tidy, search, open, "writers"};
  const std::vector<std::string> checked = {guard, tidy, search, open, "writers", "compare",
                                            check, "pin", "prepare", "read"};
  const auto after = [](const std::vector<std::string>& first, std::vector<std::string> calls) {
    calls.insert(calls.begin(), first.begin(), first.end());
    return calls;
  };
  const Files untouched = {{kCurrent, "old"}, {kDownload, "new"}};
  const Files swapped = {{kCurrent, "new"}};
  const std::string again = "; the updater in place was started again";
  struct Row {
    const char* step;
    void (*fail)(World&);
    int code;
    std::vector<std::string> calls;
    Files files;
    std::string key;  // empty: the profile refused the record
    const char* then_key = "";
  };
  const Files refused = {{kCurrent, "old"}, {kDownload, ""}};
  const Row rows[] = {
      {"guard error", [](World& w) { w.guard_error = kDenied; }, kExitRunGuardFailed,
       {guard, "record"}, untouched, "Cannot wait for another run to finish: Access is denied (error 5)"},
      {"guard timeout", [](World& w) { w.guard_taken = false; }, kExitRunGuardFailed,
       {guard, "record"}, untouched,
       "Cannot start: another run on this folder did not finish in time"},
      {"search, an error without words", [](World& w) { w.search_error = 1234; }, kExitSearchFailed,
       {guard, tidy, search, lookup, "record"}, untouched, "Cannot search for the downloaded copy: error 1234"},
      {"current executable refused before the stop: nothing stopped",
       [](World& w) { w.current_error = kDenied; }, kExitCurrentNotReplaceable,
       after(opened, {"compare", check, lookup, "record", "close"}), untouched,
       "Cannot delete the current executable: Access is denied (error 5)"},
      {"no room for the new program beside the current one: nothing stopped",
       [](World& w) { w.prepare_error = kDenied; }, kExitCurrentNotReplaceable,
       after(opened, {"compare", check, "pin", "prepare", lookup, "record", "close"}), untouched,
       "Cannot prepare the new program beside the current executable: Access is denied (error 5)"},
      {"replace refused by the current executable: the updater in place is started again",
       [](World& w) { w.replace_error = kDenied, w.current_refused = true; }, kExitCurrentNotReplaceable,
       after(checked, {lookup, kill, replace, "discard", lookup, launch, "record", "close"}), untouched,
       "Cannot delete the current executable: Access is denied (error 5)" + again},
      {"replace refused for the new program: the updater in place is started again",
       [](World& w) { w.replace_error = kDenied; }, kExitDownloadNotPlaced,
       after(checked, {lookup, kill, replace, "discard", lookup, launch, "record", "close"}), untouched,
       "Cannot move the downloaded copy into place: Access is denied (error 5)" + again},
      {"launch", [](World& w) { w.launch_error = kDenied; }, kExitLaunchFailed,
       after(checked, {lookup, kill, replace, "discard", "keep", "remove", "close", launch, "record"}), swapped,
       "Cannot launch the updater: Access is denied (error 5)"},
      {"download not removable after the swap: the new updater is started",
       [](World& w) { w.remove_error = kDenied; }, kExitDownloadNotRemoved,
       after(checked, {lookup, kill, replace, "discard", "keep", "remove", "close", launch, "record"}),
       {{kCurrent, "new"}, {kDownload, "new"}},
       "Cannot remove the downloaded copy after the swap: Access is denied (error 5)"},
      {"signature not kept beside the new program: the new updater is started",
       [](World& w) { w.keep_error = kDenied; }, kExitDownloadNotRemoved,
       after(checked, {lookup, kill, replace, "discard", "keep", "remove", "close", launch, "record"}),
       swapped, "Cannot keep the downloaded copy's signature beside it: Access is denied (error 5)"},
      {"current program's signature unreadable, an HRESULT: nothing stopped",
       [](World& w) { w.pin_error = 0x800B0004; }, kExitDownloadRefused,
       after(opened, {"compare", check, "pin", lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: the current updater's signature cannot be read: error 0x800b0004"},
      {"download refused by its signature: nothing stopped",
       [](World& w) { w.pin.required = true; }, kExitDownloadRefused,
       after(checked, {"signature", "discard", lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: it is not signed"},
      {"a stranger's link on the way to the download: nothing opened or stopped",
       [](World& w) { w.strangers_link = true; }, kExitDownloadRefused, {guard, tidy, search, lookup, "record"},
       untouched,
       "Cannot take the downloaded copy: a link on its way belongs to neither an administrator nor the program "
       "folder's owner"},
      {"download cannot be opened, updater running",
       [](World& w) { w.open_error = kDenied; }, kExitDownloadRefused,
       {guard, tidy, search, open, lookup, "record"}, untouched,
       "Cannot take the downloaded copy: cannot open it: Access is denied (error 5)"},
      {"download still written", [](World& w) { w.still_written = true; }, kExitDownloadRefused,
       after(opened, {lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: another process is still writing it"},
      {"writers cannot be told", [](World& w) { w.writer_check_error = kDenied; },
       kExitDownloadRefused, after(opened, {lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: cannot tell whether it is still written: Access is denied (error 5)"},
      {"download unreadable", [](World& w) { w.read_error = kDenied; }, kExitDownloadRefused,
       after(opened, {"compare", check, "pin", "prepare", lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: cannot read it: Access is denied (error 5)"},
      {"download empty, updater running", [](World& w) { w.files[kDownload] = ""; },
       kExitDownloadRefused, after(opened, {"compare", check, "pin", "prepare", "discard", lookup, "record", "close"}),
       refused, "Cannot take the downloaded copy: it is empty"},
      {"download empty, none running: the current one is started",
       [](World& w) {
         w.files[kDownload] = "";
         w.running_updater = 0;
       },
       kExitDownloadRefused,
       after(opened, {"compare", check, "pin", "prepare", "discard", lookup, launch, "record", "close"}), refused,
       "Cannot take the downloaded copy: it is empty" + again},
      {"download empty, none running, launch fails",
       [](World& w) {
         w.files[kDownload] = "";
         w.running_updater = 0;
         w.launch_error = kDenied;
       },
       kExitLaunchFailed,
       after(opened, {"compare", check, "pin", "prepare", "discard", lookup, launch, "record", "record", "close"}),
       refused, "Cannot take the downloaded copy: it is empty",
       "Cannot launch the updater: Access is denied (error 5)"},
      {"launch, profile refuses the record",
       [](World& w) {
         w.launch_error = kDenied;
         w.profile_refused = true;
       },
       kExitLaunchFailed,
       after(checked, {lookup, kill, replace, "discard", "keep", "remove", "close", launch, "record"}), swapped, ""},
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
    std::vector<std::string> records;
    for (const std::string& key : {row.key, std::string(row.then_key)}) {
      if (!key.empty()) {
        records.push_back("/prog/Server.ini [Tovalane] False" + key + "=2026-03-04 05:06:07");
      }
    }
    EXPECT_EQ(world.records, records);
  }
}

// One rule for every exit code: after a failure in a run that holds the
// guard, where no updater runs, the one in place is started and the key
// says so; not after a failed launch, nor where the guard was not had.
TEST_F(RunTest, EveryFailureAfterTheGuardEndsWithAnUpdaterRunning) {
  const struct {
    void (*fail)(World&);
    int code;
    bool started;
  } rows[] = {
      {[](World& w) { w.guard_error = kDenied; }, kExitRunGuardFailed, false},
      {[](World& w) { w.guard_taken = false; }, kExitRunGuardFailed, false},
      {[](World& w) { w.search_error = kDenied; }, kExitSearchFailed, true},
      {[](World& w) { w.current_error = kDenied; }, kExitCurrentNotReplaceable, true},
      {[](World& w) { w.replace_error = kDenied; }, kExitDownloadNotPlaced, true},
      {[](World& w) { w.launch_error = kDenied; }, kExitLaunchFailed, false},
      {[](World& w) { w.open_error = kDenied; }, kExitDownloadRefused, true},
      {[](World& w) { w.remove_error = kDenied; }, kExitDownloadNotRemoved, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    world = World();
    world.files[kDownload] = "new";
    row.fail(world);
    EXPECT_EQ(RunTool(), row.code);
    const bool launched = std::find(world.calls.begin(), world.calls.end(), "launch /prog/Plindor.exe") !=
                          world.calls.end();
    EXPECT_EQ(world.running_updater != 0, row.started);
    EXPECT_EQ(launched, row.started || row.code == kExitLaunchFailed);
    ASSERT_FALSE(world.records.empty());
    const bool says_so = world.records.front().find("the updater in place was started again") != std::string::npos;
    EXPECT_EQ(says_so, row.started && row.code != kExitDownloadNotRemoved);
  }
}

// An internal failure (an exception that escapes the run, memory exhausted)
// ends the process with its own code and a record, never the runtime's way:
// the load handler makes it the end of any exception that escapes the run.
TEST_F(RunTest, InternalFailureEndsWithItsOwnCodeAndARecord) {
  pid_t child = fork();
  if (child == 0) {
    world.search_throws = world.end_for_real = true;
    []() noexcept {
      FrmCopy form;
      form.OnLoad();
    }();
    _exit(99);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitInternalError) << status;

  // In a run that holds the guard, with no updater running: the one in
  // place is started, as after any other failure.
  EXPECT_EQ(RunTool(), kExitLaunched);
  world = World();
  try {
    EndAfterInternalFailure();
  } catch (const Ended& ended) {
    EXPECT_EQ(ended.code, kExitInternalError);
  }
  EXPECT_EQ(world.calls, (std::vector<std::string>{"lookup Plindor.EXE", "launch /prog/Plindor.exe", "record"}));
  EXPECT_EQ(world.records, (std::vector<std::string>{
                               "/prog/Server.ini [Tovalane] FalseCannot complete the run: "
                               "internal error; the updater in place was started again=2026-03-04 05:06:07"}));
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
  // A clock that gives nonsense gives zeros, never a minus sign in the key.
  EXPECT_EQ(FormatTimestamp({-1, 1, 2, -3, 4, 5}), "0000-01-02 00:04:05");
  EXPECT_EQ(DecimalText(0), "0");
  EXPECT_EQ(DecimalText(4294967295ul), "4294967295");
}

namespace {

void Put(std::string& bytes, size_t at, uint64_t value, int width, bool big_endian = false) {
  if (bytes.size() < at + width) bytes.resize(at + width, '\0');
  for (int i = 0; i < width; ++i) {
    bytes[at + (big_endian ? width - 1 - i : i)] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

// A PE image of 0x800 bytes: headers to 0x400, two sections of 0x200 bytes;
// PE32+ where `wide`; with a certificate table of 0x100 bytes at 0x800 where
// `signed_image`, in the fifth of `directories` data directories; an
// optional header that ends `short_by` bytes before its usual 16 directories.
std::string PeImage(bool wide, bool signed_image, uint32_t count = 16, size_t short_by = 0) {
  std::string image = "MZ";
  Put(image, 0x3c, 0x80, 4);
  Put(image, 0x80, 0x4550, 4);
  Put(image, 0x84, 0x14c, 2);  // x86
  Put(image, 0x86, 2, 2);
  const size_t optional_size = (wide ? 240 : 224) - short_by, optional = 0x98;
  Put(image, 0x94, optional_size, 2);
  Put(image, optional, wide ? 0x20b : 0x10b, 2);
  Put(image, optional + 60, 0x400, 4);
  const size_t directories = optional + (wide ? 112 : 96);
  Put(image, directories - 4, count, 4);
  if (signed_image) {
    Put(image, directories + 32, 0x800, 4);
    Put(image, directories + 36, 0x100, 4);
  }
  // The first section is the one that ends last; past the table stands
  // what would be a third entry, reaching far beyond the file.
  const size_t table = optional + optional_size;
  for (size_t i = 0; i < 3; ++i) {
    Put(image, table + 40 * i + 16, i < 2 ? 0x200 : 0x10000, 4);
    Put(image, table + 40 * i + 20, 0x600 - 0x200 * i, 4);
  }
  image.resize(0x800, '\0');
  return image;
}

// An ELF file whose loadable segments end at 0x1300, the first of them
// ending last, the second program header a note that lies past it; past the
// table stands what would be a fourth header, a segment far beyond the file.
std::string ElfFile(bool wide, bool big_endian) {
  std::string file = "\x7f" "ELF";
  file += static_cast<char>(wide ? 2 : 1);
  file += static_cast<char>(big_endian ? 2 : 1);
  const int word = wide ? 8 : 4;
  const size_t header = wide ? 64 : 52, entry = wide ? 56 : 32;
  Put(file, 16, 3, 2, big_endian);   // a shared object: a position-independent program
  Put(file, 18, 62, 2, big_endian);  // x86-64
  Put(file, wide ? 32 : 28, header, word, big_endian);
  Put(file, wide ? 54 : 42, entry, 2, big_endian);
  Put(file, wide ? 56 : 44, 3, 2, big_endian);
  const uint64_t segments[4][3] = {
      {1, 0x1000, 0x300}, {4, 0x5000, 0x100}, {1, 0, 0x200}, {1, 0x9000, 0x100}};
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = header + entry * i;
    Put(file, at, segments[i][0], 4, big_endian);
    Put(file, at + (wide ? 8 : 4), segments[i][1], word, big_endian);
    Put(file, at + (wide ? 32 : 16), segments[i][2], word, big_endian);
  }
  file.resize(0x1300, '\0');
  return file;
}

}  // namespace

TEST(ImageCheckTest, RefusesWhatIsCutShortOfItsHeadersOrCannotRunHere) {
  const std::string pe32 = PeImage(false, false), pe64 = PeImage(true, false);
  const std::string pe_signed = PeImage(false, true) + std::string(0x100, 's');
  const std::string pe64_signed = PeImage(true, true) + std::string(0x100, 's');
  // The certificate entry as the last thing the optional header holds.
  const std::string pe_signed_tight = PeImage(false, true, 5, 224 - 136) + std::string(0x100, 's');
  const std::string elf64 = ElfFile(true, false), elf32_big = ElfFile(false, true);
  // Section headers at 0x1400, past every segment: three, and one that
  // keeps the count.
  std::string elf64_sections = elf64, elf32_sections = ElfFile(false, false);
  Put(elf64_sections, 40, 0x1400, 8);
  Put(elf64_sections, 58, 64, 2);
  Put(elf64_sections, 60, 3, 2);
  elf64_sections.resize(0x1400 + 3 * 64, '\0');
  Put(elf32_sections, 32, 0x1400, 4);
  Put(elf32_sections, 46, 40, 2);
  Put(elf32_sections, 48, 0, 2);
  elf32_sections.resize(0x1400 + 40, '\0');
  const std::string dos = "MZ" + std::string(0x7fe, '\0');
  // A PE32+ layout, signed, under an optional header magic of no known kind.
  std::string unknown_magic = PeImage(true, true);
  Put(unknown_magic, 0x98, 0x107, 2);
  // Headers past the first 64 KiB: a PE header, and ELF program headers
  // that name a segment past the end.
  std::string pe_far = "MZ";
  Put(pe_far, 0x3c, 0x10000, 4);
  pe_far.resize(0x10000, '\0');
  pe_far += pe32.substr(0x80);
  std::string elf_far = elf64;
  Put(elf_far, 32, 0x10040, 8);
  elf_far.resize(0x10040, '\0');
  elf_far += elf64.substr(64, 3 * 56);
  Put(elf_far, 0x10040 + 32, 0x1f000, 8);
  // Sums that wrap: a program header table, and a segment's end.
  std::string elf_wrapped_table = elf64, elf_wrapped_segment = elf64;
  Put(elf_wrapped_table, 32, 0xffffffffffffffc0ull, 8);
  Put(elf_wrapped_segment, 64 + 8, 0xfffffffffffff000ull, 8);
  Put(elf_wrapped_segment, 64 + 32, 0x2000, 8);
  const auto with = [](std::string file, size_t at, uint64_t value, int width) {
    Put(file, at, value, width);
    return file;
  };
  const auto cut = [](const std::string& s, size_t size) { return s.substr(0, size); };
  const std::string cannot_run = ", which this system cannot run";
  const std::string short_of = "it is cut short, ";
  const struct {
    const char* what;
    std::string file;
    std::string verdict;
  } cases[] = {
      {"empty", "", "it is empty"},
      {"a script", "#!/bin/sh\nexit 0\n", ""},
      {"PE32, whole", pe32, ""},
      {"PE32+, whole", pe64, ""},
      {"PE32, bytes appended", pe32 + "downloaded copy", ""},
      {"PE32, last byte missing", cut(pe32, 0x7ff), short_of + "2047 bytes where its headers need 2048"},
      {"PE32+, last byte missing", cut(pe64, 0x7ff), short_of + "2047 bytes where its headers need 2048"},
      {"PE32, cut in the headers", cut(pe32, 0x300), short_of + "768 bytes where its headers need 2048"},
      {"PE32, cut in the section table", cut(pe32, 0x180),
       short_of + "384 bytes where its headers need 456"},
      {"PE32, cut before the PE header", cut(pe32, 0x40), short_of + "64 bytes where its headers need 152"},
      {"PE32, cut right after the file header", cut(pe32, 0x98),
       short_of + "152 bytes where its headers need 456"},
      {"PE32, cut in the DOS header", cut(pe32, 10), short_of + "10 bytes where its headers need 64"},
      {"signed, whole", pe_signed, ""},
      {"signed, certificate cut", cut(pe_signed, 0x8ff), short_of + "2303 bytes where its headers need 2304"},
      {"PE32+ signed, certificate cut", cut(pe64_signed, 0x8ff),
       short_of + "2303 bytes where its headers need 2304"},
      {"certificate entry last in the optional header, cut", cut(pe_signed_tight, 0x8ff),
       short_of + "2303 bytes where its headers need 2304"},
      {"no fifth directory: its place is no certificate", cut(PeImage(false, true, 4), 0x800), ""},
      {"MZ without a PE header", dos, ""},
      {"optional header of no known kind: no certificate looked for", unknown_magic, ""},
      {"ELF64, whole", elf64, ""},
      {"ELF32 big-endian, whole", elf32_big, ""},
      {"ELF64, last loaded byte missing", cut(elf64, 0x12ff), short_of + "4863 bytes where its headers need 4864"},
      {"ELF32 big-endian, last loaded byte missing", cut(elf32_big, 0x12ff),
       short_of + "4863 bytes where its headers need 4864"},
      {"ELF64, cut in the program headers", cut(elf64, 100), short_of + "100 bytes where its headers need 232"},
      {"ELF64, section headers last, cut", cut(elf64_sections, 0x1400 + 3 * 64 - 1),
       short_of + "5311 bytes where its headers need 5312"},
      {"ELF32, its section count in its first section header, cut", cut(elf32_sections, 0x1400 + 39),
       short_of + "5159 bytes where its headers need 5160"},
      {"ELF, cut in its identification", "\x7f" "ELF\x02", short_of + "5 bytes where its headers need 16"},
      {"ELF, cut after its identification", "\x7f" "ELF\x02\x01",
       short_of + "6 bytes where its headers need 64"},
      {"ELF of an unknown class", "\x7f" "ELF\x07\x01" + std::string(100, '\xff'), ""},
      {"ELF of an unknown byte order", "\x7f" "ELF\x02\x07" + std::string(100, '\xff'), ""},
      {"PE header past 64 KiB, whole", pe_far, ""},
      {"PE header past 64 KiB, cut", cut(pe_far, 0x10010), short_of + "65552 bytes where its headers need 65560"},
      {"ELF program headers past 64 KiB, a segment past the end", elf_far,
       short_of + "65768 bytes where its headers need 131072"},
      {"ELF program header table past any end", elf_wrapped_table,
       short_of + "4864 bytes where its headers need 18446744073709551615"},
      {"ELF segment past any end", elf_wrapped_segment,
       short_of + "4864 bytes where its headers need 18446744073709551615"},
      {"PE, a DLL", with(pe32, 0x96, 0x2102, 2), "it is a DLL, not a program"},
      {"PE for ARM64", with(pe32, 0x84, 0xaa64, 2), "it is a program for ARM64" + cannot_run},
      {"PE for x64, where x64 runs", with(pe64, 0x84, 0x8664, 2), ""},
      {"ELF for AArch64", with(elf64, 18, 183, 2), "it is a program for AArch64" + cannot_run},
      {"ELF executable", with(elf64, 16, 2, 2), ""},
      {"ELF object file", with(elf64, 16, 1, 2), "it is no program that can run, but an ELF file of type 1"},
      {"ELF core dump", with(elf64, 16, 4, 2), "it is no program that can run, but an ELF file of type 4"},
      {"ELF shared object without program headers", with(elf64, 56, 0, 2),
       "it is no program that can run: it has no program headers"},
      {"ELF32 big-endian for another machine", with(elf32_big, 18, 0x1234, 2),
       "it is a program for machine 13330" + cannot_run},
  };
  const RunnableMachines machines = {ProgramFormat::kAny, {0x14c, 0x8664}, 62, nullptr};
  for (const auto& c : cases) {
    size_t bytes_read = 0;
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      bytes_read += bytes.size();
      return true;
    };
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), machines), c.verdict) << c.what;
    // Each header where it lies, never the whole file.
    EXPECT_LT(bytes_read, 2048u) << c.what;
  }
  const ReadAt unreadable = [](uint64_t, size_t, std::string&) { return false; };
  EXPECT_EQ(DescribeUnfitProgram(unreadable, 100, machines), "it cannot be read");
}

// What is not this system's kind of program is no program here, whole or
// not; a script is one where its interpreter runs.
TEST(ImageCheckTest, OnlyThisSystemsKindOfProgramIsAProgram) {
  const RunnableMachines windows = {ProgramFormat::kPe, {0x14c, 0x8664}, 0, nullptr};
  const RunnableMachines linux_ = {ProgramFormat::kElf, {}, 62,
                                   [](const std::string& interpreter) { return interpreter == "/bin/sh"; }};
  std::string random(64, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>(i * 167 + 13);
  const std::string no = "it is no program";
  const auto script = [](const std::string& interpreter) {
    return "it is a script whose interpreter (" + interpreter + ") cannot run here";
  };
  const struct {
    const char* what;
    std::string file, on_windows, on_linux;
  } cases[] = {
      {"64 bytes of no format", random, no, no},
      {"a text file", "release notes\n", no, no},
      {"a PE image", PeImage(false, false), "", no},
      {"a PE image cut short", PeImage(false, false).substr(0, 0x7ff),
       "it is cut short, 2047 bytes where its headers need 2048", no},
      {"an ELF image", ElfFile(true, false), no, ""},
      {"MZ without a PE header", "MZ" + std::string(0x7e, '\0'), no, no},
      {"ELF of an unknown class", "\x7f" "ELF\x07\x01" + std::string(100, '\xff'), no, no},
      {"a script", "#!/bin/sh\nexit 0\n", no, ""},
      {"a script, blanks before its interpreter, no line end", "#! \t/bin/sh", no, ""},
      {"a script with an argument", "#!/bin/sh -e\n", no, ""},
      {"a script whose interpreter is missing", "#!/opt/none/sh\n", no, script("/opt/none/sh")},
      {"a script whose interpreter is a relative path", "#!sh\n", no, script("sh")},
      {"a script naming no interpreter", "#!\n", no, script("")},
      {"a script whose interpreter's name would end a key", "#!/x=y\n", no, script("/x-y")},
      {"a script whose first line is past what the kernel reads", "#!/bin/sh" + std::string(300, ' ') + "\n",
       no, ""},
      {"a script whose interpreter is past what the kernel reads", "#!/" + std::string(300, 'a'), no,
       script("/" + std::string(63, 'a'))},
  };
  for (const auto& c : cases) {
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      return true;
    };
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), windows), c.on_windows) << c.what;
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), linux_), c.on_linux) << c.what;
  }
}

// The signature rule over what WinVerifyTrust and minisign answer. Wine
// answers S_OK for any chain, so the chain's rows stand here, each with the
// documented result it models (WinVerifyTrust, WinTrust.h and WinError.h).
TEST(SignatureRuleTest, TakesOnlyThePinnedPublishersOwnNewerPrograms) {
  const std::string key = "\x1a\x2b\x3c\x4d\x5e", other_key("\x9f\x00\x11\x22\x33", 5);
  const std::string subject = "CN=Vendor,O=Vendor", other_subject = "CN=Mallory";
  const uint64_t v1_3 = 0x0001000300000000, v1_2 = 0x0001000200000000;
  const Version file_version_1_3 = {VersionKind::kFileVersion, v1_3};
  const struct {
    const char* what;
    uint32_t result;  // WinVerifyTrust's answer for the download
    std::string key, subject;
    Version version;
    std::string verdict;
  } rows[] = {
      {"same key, trusted chain", 0, key, subject, file_version_1_3, ""},
      {"same key, own CA: CERT_E_UNTRUSTEDROOT", 0x800B0109, key, other_subject, {}, ""},
      {"same key, expired and not time-stamped: CERT_E_EXPIRED", 0x800B0101, key, subject, {}, ""},
      {"renewal from a public CA: new key, same subject, S_OK", 0, other_key, subject, {}, ""},
      {"new key with the vendor's name, self-made: CERT_E_UNTRUSTEDROOT", 0x800B0109, other_key,
       subject, {}, "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"new key, not for code signing: CERT_E_WRONG_USAGE", 0x800B0110, other_key, subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"new key, expired: CERT_E_EXPIRED", 0x800B0101, other_key, subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"another publisher, trusted chain", 0, other_key, other_subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"unsigned: TRUST_E_NOSIGNATURE", 0x800B0100, "", "", {}, "it is not signed"},
      {"changed after signing: TRUST_E_BAD_DIGEST", 0x80096010, key, subject, {},
       "its contents do not match its signature (error 0x80096010)"},
      {"signer's signature fails: NTE_BAD_SIGNATURE", 0x80090006, key, subject, {},
       "its contents do not match its signature (error 0x80090006)"},
      {"not a form a provider reads: TRUST_E_SUBJECT_FORM_UNKNOWN", 0x800B0003, key, subject, {},
       "its signature cannot be read (error 0x800b0003)"},
      {"no provider: TRUST_E_PROVIDER_UNKNOWN", 0x800B0001, key, subject, {},
       "its signature cannot be read (error 0x800b0001)"},
      {"revoked, known from the cache: CERT_E_REVOKED", 0x800B010C, key, subject, {},
       "its signer is revoked or distrusted (error 0x800b010c)"},
      {"distrusted by the administrator: TRUST_E_EXPLICIT_DISTRUST", 0x800B0111, key, subject, {},
       "its signer is revoked or distrusted (error 0x800b0111)"},
      {"a lower file version", 0, key, subject, {VersionKind::kFileVersion, v1_2},
       "it is older than the current updater (1.2.0.0 < 1.3.0.0)"},
      {"the same file version: a repair", 0, key, subject, file_version_1_3, ""},
      {"a version of another kind is not compared", 0, key, subject, {VersionKind::kSignedAt, 1}, ""},
  };
  PublisherPin pin;
  pin.required = true;
  pin.signer = {key, subject, TXT("Vendor")};
  pin.version = file_version_1_3;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SignatureFacts download;
    download.state = ClassifyWinVerifyTrustResult(row.result);
    download.code = row.result;
    download.signer = {row.key, row.subject, TXT("Vendor")};
    download.version = row.version;
    EXPECT_EQ(JudgeSignature(pin, download), row.verdict);
  }
}

// What is judged before the signer, and the pins that take or refuse all.
TEST(SignatureRuleTest, PinsWithoutKeysAndStatesBeforeTheSigner) {
  SignatureFacts download;
  download.state = SignatureState::kTrusted;
  download.signer = {"", "CN=Mallory", TXT("Mal=lory\x7f")};
  PublisherPin pin;
  EXPECT_EQ(JudgeSignature(pin, download), "");  // unsigned current: taken as before
  pin.required = true;
  pin.signer.subject = "CN=Vendor";
  // No key on either side is no match; the name is made safe for a key.
  EXPECT_EQ(JudgeSignature(pin, download), "it is signed by another publisher (common name Mal-lory?, key )");
  download.state = SignatureState::kTrailingBytes;
  EXPECT_EQ(JudgeSignature(pin, download), "it carries bytes after its signature");
  pin.unusable = "its trust root Plindor.pub is writable by group or others";
  EXPECT_EQ(JudgeSignature(pin, download), pin.unusable);
  // minisign's times: an earlier signature is refused.
  pin = PublisherPin();
  pin.required = true;
  pin.signer.key_hash = "\x01\x02\x03\x04";
  pin.version = {VersionKind::kSignedAt, 200};
  download = SignatureFacts();
  download.state = SignatureState::kUntrustedChain;
  download.signer.key_hash = pin.signer.key_hash;
  download.version = {VersionKind::kSignedAt, 100};
  EXPECT_EQ(JudgeSignature(pin, download), "it is older than the current updater (signed at 100 < signed at 200)");
}

// The same publisher's other files (its release notes, another of its
// programs) are no updater; minisign's legacy form is never taken, and an
// errno is given in decimal, an HRESULT in hex.
TEST(SignatureRuleTest, OnlyThePinnedFileInItsSignedForm) {
  const struct {
    const char* what;
    Text pinned;
    bool required;
    Text named;
    SignatureState state;
    uint32_t code;
    std::string verdict;
  } rows[] = {
      {"the same name", "Plindor.exe", false, "Plindor.exe", SignatureState::kTrusted, 0, ""},
      {"the same name, letter case aside", "Plindor.exe", true, "PLINDOR.EXE", SignatureState::kTrusted, 0, ""},
      {"no name where none is required", "Plindor.exe", false, "", SignatureState::kTrusted, 0, ""},
      {"no name where one is required", "Plindor.exe", true, "", SignatureState::kTrusted, 0,
       "it is another of its publisher's files (no name, not Plindor.exe)"},
      {"another file", "Plindor.exe", false, "NOTES=1.txt", SignatureState::kTrusted, 0,
       "it is another of its publisher's files (NOTES-1.txt, not Plindor.exe)"},
      {"no name pinned", "", true, "Other.exe", SignatureState::kTrusted, 0, ""},
      {"the legacy form", "Plindor.exe", false, "Plindor.exe", SignatureState::kLegacyForm, 0,
       "its signature is in minisign's legacy form, which is not taken"},
      {"an errno", "", false, "", SignatureState::kUnreadable, 22, "its signature cannot be read (error 22)"},
      {"an HRESULT", "", false, "", SignatureState::kUnreadable, 0x800B0003,
       "its signature cannot be read (error 0x800b0003)"},
  };
  for (const auto& row : rows) {
    PublisherPin pin;
    pin.required = true;
    pin.signer.key_hash = "\x01\x02";
    pin.file_name = row.pinned;
    pin.file_name_required = row.required;
    SignatureFacts download;
    download.state = row.state;
    download.code = row.code;
    download.signer.key_hash = pin.signer.key_hash;
    download.file_name = row.named;
    EXPECT_EQ(JudgeSignature(pin, download), row.verdict) << row.what;
  }
}
