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
#include "verify/image_check.h"
#include "run/run_ops.h"
#include "verify/signature_rule.h"

namespace {

struct Ended {
  int code;
};

constexpr SystemError kNotFound = 2;
constexpr SystemError kDenied = 5;

const std::string kCurrent = "/prog/Plindor.exe";
const std::string kDownload = "/prog/Download/Program/Plindor.exe";
const std::string kPrevious = kCurrent + ".previous", kUnproven = kCurrent + ".unproven",
                  kCouldNotRun = kCurrent + ".could-not-run";

// A program's fake digest: its bytes, padded to 32.
std::string Digest(const std::string& program) { return (program + std::string(32, '\0')).substr(0, 32); }
// As the run writes it: "new" is 6e6577 and zeros.
std::string DigestText(const std::string& program) {
  std::string text;
  for (const unsigned char byte : Digest(program)) text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 15];
  return text;
}

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
  // How the swap's new program fares: it runs, cannot run (how it ended),
  // cannot start (the error), or is held past the bound by another process.
  enum Fate { kRuns, kCannotRun, kCannotStart, kHeld } fate = kRuns;
  SystemError previous_error = 0;  // keeping the previous program fails so
  SystemError put_back_error = 0;
  SystemError beside_error = 0;    // writing the run's own files fails so
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
SystemError TakeRunGuard(const Text& directory, unsigned, RunGuard& guard) {
  world.calls.push_back("guard " + directory);
  guard = world.guard_taken ? RunGuard::kTaken : RunGuard::kNotInTime;
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
SystemError OpenDownload(const Text& directory, const Text& below, Download*& download, DownloadOpen& open) {
  const std::string path = directory + below;
  world.calls.push_back("open " + path);
  open = world.open_error != 0           ? DownloadOpen::kCannotOpen
         : world.writer_check_error != 0 ? DownloadOpen::kWritersUnknown
         : world.still_written           ? DownloadOpen::kStillWritten
                                         : DownloadOpen::kHeld;
  if (open == DownloadOpen::kHeld) download = new Download{path};
  return world.open_error != 0 ? world.open_error : world.writer_check_error;
}
void CloseDownload(Download* download) {
  world.calls.push_back("close");
  delete download;
}
SystemError CompareDownloadWithCurrent(Download& download, const Text& current, Likeness& likeness) {
  world.calls.push_back("compare");
  const bool same_bytes = world.files.count(current) != 0 && world.files.at(current) == world.files.at(download.path);
  likeness = world.same_file ? Likeness::kSameFile : same_bytes ? Likeness::kSameBytes : Likeness::kAnother;
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
SystemError PrepareReplacement(Download& download, const Text&, Replacement*& replacement, Prepared& prepared) {
  world.calls.push_back("prepare");
  prepared = world.read_error != 0 ? Prepared::kDownloadUnreadable
             : world.prepare_error != 0 ? Prepared::kNotMade
                                        : Prepared::kMade;
  if (prepared != Prepared::kMade) return world.read_error != 0 ? world.read_error : world.prepare_error;
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
SystemError ReadReplacementSignature(Replacement&, const PublisherPin&, SignatureFacts& facts) {
  world.calls.push_back("signature");
  facts = world.signature;
  return world.read_error;
}
SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current, Replaced& replaced) {
  world.calls.push_back("replace " + current);
  if (world.replace_error != 0) {
    replaced = world.current_refused ? Replaced::kCurrentRefused : Replaced::kNotPlaced;
    return world.replace_error;
  }
  world.files[current] = replacement.content;
  replaced = world.keep_error != 0 ? Replaced::kSignatureNotKept : Replaced::kReplaced;
  return world.keep_error;
}
SystemError ReadReplacementDigest(Replacement& replacement, std::string& digest) {
  digest = Digest(replacement.content);
  return 0;
}
SystemError ReadProgramDigest(const Text& path, std::string& digest) {
  if (world.files.count(path) == 0) return kNotFound;
  digest = Digest(world.files.at(path));
  return 0;
}
SystemError KeepPreviousProgram(const Text& current) {
  world.calls.push_back("keep previous");
  if (world.previous_error != 0) return world.previous_error;
  if (world.files.count(current) != 0) world.files[current + ".previous"] = world.files.at(current);
  return 0;
}
SystemError PutPreviousBack(const Text& current) {
  world.calls.push_back("put back");
  if (world.put_back_error != 0) return world.put_back_error;
  if (world.files.count(current + ".previous") == 0) return kNotFound;
  world.files[current] = world.files.at(current + ".previous");
  world.files.erase(current + ".previous");
  return 0;
}
SystemError ReadFileBeside(const Text& current, const Text& suffix, std::string& bytes) {
  bytes = world.files.count(current + suffix) != 0 ? world.files.at(current + suffix) : "";
  return 0;
}
SystemError WriteFileBeside(const Text& current, const Text& suffix, const std::string& bytes) {
  world.calls.push_back("write " + suffix);
  if (world.beside_error != 0) return world.beside_error;
  world.files[current + suffix] = bytes;
  return 0;
}
SystemError RemoveFileBeside(const Text& current, const Text& suffix) {
  world.calls.push_back("remove " + suffix);
  world.files.erase(current + suffix);
  return 0;
}
SystemError LaunchAndWatch(const Text& path, unsigned, FirstMoments& moments, Text& ending) {
  world.calls.push_back("watch " + path);
  moments = world.fate == World::kRuns || world.fate == World::kHeld ? FirstMoments::kRuns : FirstMoments::kCannotRun;
  ending = world.fate == World::kCannotRun ? "it ended at once with exit code 127" : "";
  if (world.fate == World::kHeld) return kDenied;
  if (world.fate == World::kCannotStart) return 8;
  if (world.fate == World::kRuns) world.running_updater = 98;
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

// What matters of the order: every check before the stop, the previous
// program kept and the new one marked unproven before it, the lookup just
// before it, the replace after it, the download removed after the replace
// and let go, then the new program watched, and its mark removed last.
TEST_F(RunTest, WithDownloadChecksStopsReplacesAndLaunchesInOrder) {
  for (const uint32_t running : {42u, 0u}) {
    SCOPED_TRACE(running);
    world = World();
    world.files[kDownload] = "new";
    world.running_updater = running;
    // Other bytes that could not run keep none of these out.
    const std::string could_not_run = running != 0 ? "" : DigestText("other") + "\n";
    if (!could_not_run.empty()) world.files[kCouldNotRun] = could_not_run;
    EXPECT_EQ(RunTool(), kExitLaunched);
    const auto at = [](const std::string& call) {
      return std::find(world.calls.begin(), world.calls.end(), call) - world.calls.begin();
    };
    const auto stop = at("kill " + std::to_string(running) + " /prog/Plindor.exe");
    ASSERT_LT(stop, static_cast<long>(world.calls.size())) << "no stop";
    EXPECT_EQ(at("guard /prog"), 0);
    for (const char* check : {"open /prog/Download/Program/Plindor.exe", "compare", "check /prog/Plindor.exe", "pin",
                              "prepare", "read", "keep previous", "write .unproven"}) {
      EXPECT_LT(at(check), stop) << check;
    }
    EXPECT_GT(at("write .unproven"), at("keep previous"));
    EXPECT_EQ(at("lookup Plindor.EXE"), stop - 1);
    EXPECT_GT(at("replace /prog/Plindor.exe"), stop);
    EXPECT_GT(at("remove"), at("replace /prog/Plindor.exe"));
    EXPECT_GT(at("close"), at("remove"));
    EXPECT_GT(at("watch /prog/Plindor.exe"), at("close"));
    EXPECT_EQ(world.calls.back(), "remove .unproven");
    world.files.erase(kCouldNotRun);
    EXPECT_EQ(world.files, (Files{{kCurrent, "new"}, {kPrevious, "old"}}));
  }
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
                                      "open /prog/Download/Program/Plindor.exe", "compare"};
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
  const std::vector<std::string> opened = {guard, tidy, search, open};
  const std::vector<std::string> read = {guard, tidy, search, open, "compare", check, "pin", "prepare", "read"};
  const std::vector<std::string> checked = {guard, tidy, search, open, "compare", check, "pin", "prepare", "read",
                                            "keep previous", "write .unproven"};
  const std::string watch = "watch /prog/Plindor.exe", unmark = "remove .unproven";
  const auto after = [](const std::vector<std::string>& first, std::vector<std::string> calls) {
    calls.insert(calls.begin(), first.begin(), first.end());
    return calls;
  };
  const Files untouched = {{kCurrent, "old"}, {kDownload, "new"}};
  // After a stop whose swap failed: the previous program kept, no mark.
  const Files kept = {{kCurrent, "old"}, {kDownload, "new"}, {kPrevious, "old"}};
  const Files swapped = {{kCurrent, "new"}, {kPrevious, "old"}};
  const Files put_back = {{kCurrent, "old"}, {kCouldNotRun, DigestText("new") + "\n"}};
  const std::string again = "; the updater in place was started again";
  struct Row {
    const char* step;
    void (*fail)(World&);
    int code;
    std::vector<std::string> calls;
    Files files;
    std::string key;  // empty: the profile refused the record
    std::string then_key = "";
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
       after(checked, {lookup, kill, replace, unmark, "discard", lookup, launch, "record", "close"}), kept,
       "Cannot delete the current executable: Access is denied (error 5)" + again},
      {"replace refused for the new program: the updater in place is started again",
       [](World& w) { w.replace_error = kDenied; }, kExitDownloadNotPlaced,
       after(checked, {lookup, kill, replace, unmark, "discard", lookup, launch, "record", "close"}), kept,
       "Cannot move the downloaded copy into place: Access is denied (error 5)" + again},
      {"the new program's start refused by a holder past the bound", [](World& w) { w.fate = World::kHeld; },
       kExitLaunchFailed, after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, unmark, "record"}),
       swapped, "Cannot launch the updater: Access is denied (error 5)"},
      {"download not removable after the swap: the new updater is started",
       [](World& w) { w.remove_error = kDenied; }, kExitDownloadNotRemoved,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "record", unmark}),
       {{kCurrent, "new"}, {kDownload, "new"}, {kPrevious, "old"}},
       "Cannot remove the downloaded copy after the swap: Access is denied (error 5)"},
      {"signature not kept beside the new program: the new updater is started",
       [](World& w) { w.keep_error = kDenied; }, kExitDownloadNotRemoved,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "record", unmark}),
       swapped, "Cannot keep the downloaded copy's signature beside it: Access is denied (error 5)"},
      {"the new program cannot run: it is remembered, the previous one put back and started",
       [](World& w) { w.fate = World::kCannotRun; }, kExitNewUpdaterCannotRun,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "write .could-not-run", "put back",
                       unmark, launch, "record"}),
       put_back, "The new updater could not run: it ended at once with exit code 127; the previous one was put back"},
      {"the new program cannot start", [](World& w) { w.fate = World::kCannotStart; }, kExitNewUpdaterCannotRun,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "write .could-not-run", "put back",
                       unmark, launch, "record"}),
       put_back, "The new updater could not run: it could not start: error 8; the previous one was put back"},
      {"the previous program cannot be put back: the one in place is started again",
       [](World& w) { w.fate = World::kCannotRun, w.put_back_error = kDenied; }, kExitNewUpdaterCannotRun,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "write .could-not-run", "put back",
                       "record", unmark, lookup, launch, "record"}),
       {{kCurrent, "new"}, {kPrevious, "old"}, {kCouldNotRun, DigestText("new") + "\n"}},
       "The new updater could not run: it ended at once with exit code 127",
       "Cannot put the previous updater back: Access is denied (error 5)" + again},
      {"the previous program put back cannot be started",
       [](World& w) { w.fate = World::kCannotRun, w.launch_error = kDenied; }, kExitLaunchFailed,
       after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, "write .could-not-run", "put back",
                       unmark, launch, "record", "record"}),
       put_back, "The new updater could not run: it ended at once with exit code 127; the previous one was put back",
       "Cannot launch the updater: Access is denied (error 5)"},
      {"the same bytes could not run before: nothing stopped",
       [](World& w) { w.files[kCouldNotRun] = DigestText("other") + "\n" + DigestText("new") + "\n"; },
       kExitDownloadRefused, after(read, {"discard", lookup, "record", "close"}),
       {{kCurrent, "old"}, {kDownload, "new"}, {kCouldNotRun, DigestText("other") + "\n" + DigestText("new") + "\n"}},
       "Cannot take the downloaded copy: it could not run when it was installed (sha256 6e657700)"},
      {"the previous program cannot be kept: nothing stopped", [](World& w) { w.previous_error = kDenied; },
       kExitCurrentNotReplaceable, after(read, {"keep previous", "discard", lookup, "record", "close"}), untouched,
       "Cannot keep the current executable beside the new program: Access is denied (error 5)"},
      {"the new program cannot be marked: nothing stopped", [](World& w) { w.beside_error = kDenied; },
       kExitCurrentNotReplaceable, after(read, {"keep previous", "write .unproven", "discard", lookup, "record", "close"}),
       {{kCurrent, "old"}, {kDownload, "new"}, {kPrevious, "old"}},
       "Cannot mark the new program to be watched: Access is denied (error 5)"},
      {"current program's signature unreadable, an HRESULT: nothing stopped",
       [](World& w) { w.pin_error = 0x800B0004; }, kExitDownloadRefused,
       after(opened, {"compare", check, "pin", lookup, "record", "close"}), untouched,
       "Cannot take the downloaded copy: the current updater's signature cannot be read: error 0x800b0004"},
      {"download refused by its signature: nothing stopped",
       [](World& w) { w.pin.required = true; }, kExitDownloadRefused,
       after(read, {"signature", "discard", lookup, "record", "close"}), untouched,
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
       after(opened, {lookup, "record"}), untouched,
       "Cannot take the downloaded copy: another process is still writing it"},
      {"writers cannot be told", [](World& w) { w.writer_check_error = kDenied; },
       kExitDownloadRefused, after(opened, {lookup, "record"}), untouched,
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
         w.fate = World::kHeld;
         w.profile_refused = true;
       },
       kExitLaunchFailed, after(checked, {lookup, kill, replace, "discard", "remove", "close", watch, unmark, "record"}),
       swapped, ""},
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
    for (const std::string& key : {row.key, row.then_key}) {
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
      {[](World& w) { w.fate = World::kHeld; }, kExitLaunchFailed, false},
      {[](World& w) { w.open_error = kDenied; }, kExitDownloadRefused, true},
      {[](World& w) { w.remove_error = kDenied; }, kExitDownloadNotRemoved, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    world = World();
    world.files[kDownload] = "new";
    row.fail(world);
    EXPECT_EQ(RunTool(), row.code);
    const bool launched = std::any_of(world.calls.begin(), world.calls.end(), [](const std::string& call) {
      return call == "launch /prog/Plindor.exe" || call == "watch /prog/Plindor.exe";
    });
    EXPECT_EQ(world.running_updater != 0, row.started);
    EXPECT_EQ(launched, row.started || row.code == kExitLaunchFailed);
    ASSERT_FALSE(world.records.empty());
    const bool says_so = world.records.front().find("the updater in place was started again") != std::string::npos;
    EXPECT_EQ(says_so, row.started && row.code != kExitDownloadNotRemoved);
  }
}

// A run killed between its stop and its verdict left its mark: the next run
// watches the marked program if it is in place and no updater runs, and
// otherwise only removes the mark.
TEST_F(RunTest, MarkLeftByAKilledRunIsWatchedOrRemoved) {
  const std::string watch = "watch /prog/Plindor.exe", launch = "launch /prog/Plindor.exe";
  const struct {
    const char* name;
    void (*set)(World&);
    int code;
    std::vector<std::string> calls;
    const char* current;
  } rows[] = {
      {"marked program in place, no updater: watched and kept", [](World&) {}, kExitLaunched,
       {"lookup Plindor.EXE", watch, "remove .unproven"}, "new"},
      {"marked program cannot run: the previous one is put back", [](World& w) { w.fate = World::kCannotRun; },
       kExitNewUpdaterCannotRun,
       {"lookup Plindor.EXE", watch, "write .could-not-run", "put back", "remove .unproven", launch, "record"}, "old"},
      {"another program in place: only the mark goes",
       [](World& w) { w.files[kCurrent] = "other"; }, kExitLaunched,
       {"lookup Plindor.EXE", "remove .unproven", "search /prog/Download/Program/Plindor.exe", launch}, "other"},
      {"an updater runs: only the mark goes", [](World& w) { w.running_updater = 42; }, kExitLaunched,
       {"lookup Plindor.EXE", "remove .unproven", "search /prog/Download/Program/Plindor.exe", launch}, "new"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    world = World();
    world.files = {{kCurrent, "new"}, {kPrevious, "old"}, {kUnproven, DigestText("new")}};
    row.set(world);
    EXPECT_EQ(RunTool(), row.code);
    const std::vector<std::string> after_tidy(world.calls.begin() + 2, world.calls.end());
    EXPECT_EQ(after_tidy, row.calls);
    EXPECT_EQ(world.files[kCurrent], row.current);
    EXPECT_EQ(world.files.count(kUnproven), 0u);
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
