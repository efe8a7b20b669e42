// The scenarios every platform runs: each driver links this list and runs
// it against its own program (the native one; each Windows build under
// Wine), so that a behaviour is checked the same way everywhere.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "run/frm_copy.h"
#include "tests/e2e_run.h"

size_t E2eRun::StartCount() const { return ReadStarts(dir_).size(); }

std::string E2eRun::RecordedKey() const {
  std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
  if (entries.size() != 1) return "(" + std::to_string(entries.size()) + " entries)";
  EXPECT_EQ(entries[0].section, "Tovalane");
  EXPECT_TRUE(IsRecentTimestamp(entries[0].value)) << entries[0].value;
  return entries[0].key;
}

void E2eRun::ExpectRecordOf(const std::string& step, const std::string& reason) const {
  const std::string key = RecordedKey(), prefix = "False" + step + ": ";
  if (!reason.empty()) {
    EXPECT_EQ(key, prefix + reason);
    return;
  }
  EXPECT_EQ(key.rfind(prefix, 0), 0u) << key;
  EXPECT_GT(key.size(), prefix.size()) << "no reason given: " << key;
  EXPECT_EQ(key.find_first_of("=\r\n"), std::string::npos) << key;
}

void E2eRun::ExpectSwapAndLaunch() {
  PutCurrent();
  const std::string downloaded = PutDownload();
  EXPECT_EQ(RunTool(), kExitLaunched) << ReadFile(profile_);
  EXPECT_TRUE(HasContent(current_, downloaded));
  EXPECT_FALSE(Exists(download_));
  EXPECT_FALSE(Exists(profile_));
  if (!WaitForStarts(1)) {
    ADD_FAILURE() << "nothing was launched";
    return;
  }
  ExpectLaunchOfCurrent(0);
}

std::string E2eRun::PutDownload(const std::string& behaviour) {
  return PutDownloadOf(StandIn() + StandInAsking(behaviour));
}

bool E2eRun::WaitForLastStartOf(const std::string& program) const {
  return WaitUntil([&] {
    const std::vector<StartRecord> starts = ReadStarts(dir_);
    return !starts.empty() && starts.back().at("size") == std::to_string(program.size());
  });
}

void E2eRun::ExpectNothingLaunched(size_t before) const {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(StartCount(), before) << "something was launched";
}

namespace {

const char* const kCannotDelete = "Cannot delete the current executable";

}  // namespace

TEST_F(E2eRun, WithoutDownloadOnlyLaunches) {
  PutCurrent();
  EXPECT_EQ(RunTool(), kExitLaunched);
  ASSERT_TRUE(WaitForStarts(1));
  ExpectLaunchOfCurrent(0);
  EXPECT_FALSE(Exists(profile_));
}

TEST_F(E2eRun, WithoutUpdaterRunningSwapsAndLaunches) { ExpectSwapAndLaunch(); }

// A run cut short between its steps is mended by the next one.
TEST_F(E2eRun, WithoutCurrentExecutableMovesTheDownloadIn) {
  const std::string downloaded = PutDownload();
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(HasContent(current_, downloaded));
  ASSERT_TRUE(WaitForStarts(1));
  ExpectLaunchOfCurrent(0);
}

TEST_F(E2eRun, SameFailureTwiceLeavesOneKeyWithTheLaterTime) {
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  const std::string first = ParseIni(ReadFile(profile_)).at(0).value;
  // The record's time has whole seconds: wait for the next one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_GT(entries[0].value, first);
}

// Names no Windows folder may have, and a folder whose download's path is
// past 260 characters, which Windows has a case of its own for.
TEST_F(E2eRun, AwkwardProgramDirectoriesStillSwapAndLaunch) {
  const std::string long_name(200, 'L');
  const struct {
    std::string name;
    bool posix_only;
  } cases[] = {
      {"with space", false},
      {"with=equals", false},
      {"with[bracket]", false},
      {"with;semicolon", false},
      {"non-ascii \xCE\xA9\xCE\xBB \xE6\x97\xA5\xE6\x9C\xAC", false},
      {"with \"quotes\"", true},
      {long_name + "/" + long_name, true},
  };
  for (const auto& c : cases) {
    if (c.posix_only && kOnWindows) continue;
    SCOPED_TRACE(c.name);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/" + c.name);
    ExpectSwapAndLaunch();
    StopStandIns(case_dir.path());
  }
}

// Only a plain file is a download: nothing else is moved into place, and the
// current executable, unchanged, is launched.
TEST_F(E2eRun, WhatIsNoPlainFileIsNoDownload) {
  std::vector<NoDownload> kinds = NoDownloadKinds();
  kinds.push_back({"folder", [](E2eRun& t) { MakeDirs(t.download_); }});
  for (const NoDownload& kind : kinds) {
    SCOPED_TRACE(kind.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    MakeDirs(dir_ + "/Download/Program");
    kind.make(*this);
    EXPECT_EQ(RunTool(), kExitLaunched);
    EXPECT_TRUE(HasContent(current_, StandIn()));
    EXPECT_TRUE(Exists(download_));
    ASSERT_TRUE(WaitForStarts(1));
    ExpectLaunchOfCurrent(0);
    StopStandIns(case_dir.path());
  }
}

TEST_F(E2eRun, DownloadFolderThatIsAFileMeansNoDownload) {
  PutCurrent();
  MakeDirs(dir_ + "/Download");
  WriteFile(dir_ + "/Download/Program", "not a folder");
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(WaitForStarts(1));
  EXPECT_TRUE(HasContent(dir_ + "/Download/Program", "not a folder"));
}

// A download cut short, one for another machine, no program of this
// system's at all, or one still being written never takes the working
// updater's place: nothing is stopped or
// changed, the record says why, and the current updater is started only
// where none runs, so that no twin of a running one starts.
TEST_F(E2eRun, IncompleteDownloadIsRefusedAndTheWorkingUpdaterKept) {
  const std::string whole = StandIn();
  // The machine field of the PE header, or of the ELF header; the PE
  // header's characteristics 18 bytes after it.
  const bool pe = whole.compare(0, 2, "MZ") == 0;
  const auto number = [&](size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(whole[at]) |
                                 static_cast<unsigned char>(whole[at + 1]) << 8);
  };
  const size_t machine = pe ? number(0x3c) + 4u : 18u;
  const auto patched = [&](size_t at, uint16_t value) {
    std::string program = whole;
    program[at] = static_cast<char>(value & 0xff);
    program[at + 1] = static_cast<char>(value >> 8);
    return program;
  };
  const std::string elsewhere = patched(machine, pe ? 0xaa64 : 183);  // ARM64, AArch64
  const std::string dll = pe ? patched(machine + 18, number(machine + 18) | 0x2000) : "";
  std::string no_format(64, '\0');
  for (size_t i = 0; i < no_format.size(); ++i) no_format[i] = static_cast<char>(i * 167 + 13);
  const struct {
    const char* what;
    size_t size;
    bool updater_running;
    std::string reason;
    std::string program = "";  // the stand-in cut to `size`, unless given
    int written_ms = 0;        // held open for writing so long
  } cases[] = {
      {"empty", 0, true, "it is empty"},
      {"10 bytes", 10, false, "it is cut short, 10 bytes where"},
      {"100 bytes", 100, true, "it is cut short, 100 bytes where"},
      {"200 bytes", 200, true, "it is cut short, 200 bytes where"},
      {"a third of it", whole.size() / 3, false, "it is cut short, "},
      {"half of it", whole.size() / 2, false, "it is cut short, "},
      {"one byte short", whole.size() - 1, true,
       "it is cut short, " + std::to_string(whole.size() - 1) + " bytes where its headers need " +
           std::to_string(whole.size())},
      {"for another machine", whole.size(), true, "it is a program for A", elsewhere},
      {"a DLL", whole.size(), false, "it is a DLL, not a program", dll},
      {"64 bytes of no program's format", 64, true, "it is no program", no_format},
      {"still open for writing", whole.size(), true, kReasonWrittenByAnother, whole, 6000},
  };
  for (const auto& c : cases) {
    if (c.program.empty() && c.size == whole.size()) continue;  // a DLL, of no ELF kind
    SCOPED_TRACE(c.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    MakeDirs(dir_ + "/Download/Program");
    const std::string download = c.program.empty() ? whole.substr(0, c.size) : c.program;
    WriteFile(download_, download);
    pid_t running = c.updater_running ? StartUpdater() : 0;
    const pid_t writer = c.written_ms != 0 ? HoldForWriting(download_, c.written_ms) : 0;
    EXPECT_EQ(RunTool(), kExitDownloadRefused);
    EXPECT_TRUE(HasContent(current_, whole));
    EXPECT_TRUE(HasContent(download_, download));
    int status = 0;
    if (writer != 0) {
      EXPECT_TRUE(WaitChild(writer, status));
    }
    const std::string key = RecordedKey();
    EXPECT_EQ(key.rfind("FalseCannot take the downloaded copy: " + c.reason, 0), 0u) << key;
    ASSERT_TRUE(WaitForStarts(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(StartCount(), 1u) << "a second updater was started";
    if (running != 0) {
      EXPECT_FALSE(WaitChild(running, status, 0)) << "the running updater was stopped";
    }
    StopStandIns(case_dir.path());
  }
}

// A process named like the updater that runs another folder's program (a
// stranger's copy of it, another installation's updater) is no updater of
// this folder: it is never stopped, and never taken for a running updater,
// wherever it stands in the listing.
TEST_F(E2eRun, ProcessOfAnotherFoldersProgramIsNoUpdater) {
  enum Download { kNone, kWhole, kCutShort };
  const struct {
    const char* what;
    const char* decoy;
    bool updater_before, updater_after;
    Download download;
    int code;
  } cases[] = {
      {"at logon", "Plindor.exe", false, false, kNone, kExitLaunched},
      {"a refused download, no updater running", "Plindor.exe", false, false, kCutShort, kExitDownloadRefused},
      {"a swap, the decoy started first", "Plindor.exe", false, true, kWhole, kExitLaunched},
      {"a swap, the decoy started last", "PLINDOR.EXE", true, false, kWhole, kExitLaunched},
      {"a swap, another folder's Plindor.EXE.backup.exe", "Plindor.EXE.backup.exe", true, false, kWhole,
       kExitLaunched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    const std::string decoy = std::string("decoy/") + c.decoy;
    MakeDirs(dir_ + "/decoy");
    PutCurrent(decoy);
    if (c.download != kNone) PutDownload();
    if (c.download == kCutShort) WriteFile(download_, StandIn().substr(0, 1000));
    const pid_t before = c.updater_before ? StartUpdater() : 0;
    const pid_t decoy_pid = StartUpdater(decoy);
    const pid_t after = c.updater_after ? StartUpdater() : 0;
    const std::string installed = c.download == kWhole ? ReadFile(download_) : StandIn();
    EXPECT_EQ(RunTool(), c.code);
    int status = 0;
    EXPECT_FALSE(WaitChild(decoy_pid, status, 0)) << "the decoy was stopped";
    const pid_t ours = before != 0 ? before : after;
    if (ours != 0) {
      EXPECT_TRUE(WaitChild(ours, status)) << "the updater was not stopped";
    }
    EXPECT_TRUE(HasContent(current_, installed));
    // The updater runs: started by the run, as none of this folder's runs.
    ASSERT_TRUE(WaitForStarts(ours != 0 ? 2 : 1));
    ExpectLaunchOfCurrent(StartCount() - 1);
    if (c.download == kCutShort) {
      const std::string key = RecordedKey(), again = "; the updater in place was started again";
      EXPECT_EQ(key.rfind("FalseCannot take the downloaded copy: it is cut short, 1000 bytes where", 0), 0u) << key;
      EXPECT_EQ(key.substr(key.size() - std::min(key.size(), again.size())), again) << key;
    } else {
      EXPECT_FALSE(Exists(profile_)) << ReadFile(profile_);
    }
    StopStandIns(case_dir.path());
  }
}

// A download that is the current program already stops nothing and swaps
// nothing: one of the same bytes is removed; one that is the current
// executable's own file (a hard link, or a download folder that leads back
// to the program folder) is left, or the updater would be gone.
TEST_F(E2eRun, DownloadThatIsTheCurrentProgramStopsNothing) {
  const struct {
    const char* what;
    void (*put)(E2eRun&);
    bool removed;
  } cases[] = {
      {"the same bytes", [](E2eRun& t) { t.PutCurrent("Download/Program/Plindor.exe"); }, true},
      {"a hard link", [](E2eRun& t) { ASSERT_EQ(link(t.current_.c_str(), t.download_.c_str()), 0); }, false},
      {"a folder leading back",
       [](E2eRun& t) {
         ASSERT_EQ(rmdir((t.dir_ + "/Download/Program").c_str()), 0);
         ASSERT_EQ(symlink(t.dir_.c_str(), (t.dir_ + "/Download/Program").c_str()), 0);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    MakeDirs(dir_ + "/Download/Program");
    c.put(*this);
    const pid_t updater = StartUpdater();
    EXPECT_EQ(RunTool(), kExitLaunched);
    int status = 0;
    EXPECT_FALSE(WaitChild(updater, status, 0)) << "the running updater was stopped";
    EXPECT_TRUE(HasContent(current_, StandIn()));
    EXPECT_EQ(Exists(download_), !c.removed);
    EXPECT_FALSE(Exists(profile_));
    StopStandIns(case_dir.path());
  }
}

// What can be known before the stop ends the run before it: the running
// updater is left running, nothing is launched, the download is kept.
TEST_F(E2eRun, ReadOnlyCurrentExecutableIsRecordedAndNothingLaunched) {
  PutCurrent();
  const std::string downloaded = PutDownload();
  // Wine shows a file without write permission as FILE_ATTRIBUTE_READONLY.
  chmod(current_.c_str(), 0555);
  const pid_t running = StartUpdater();
  EXPECT_EQ(RunTool(), kExitCurrentNotReplaceable);
  ExpectRecordOf(kCannotDelete, kReasonReadOnly);
  EXPECT_TRUE(HasContent(current_, StandIn()));
  EXPECT_TRUE(HasContent(download_, downloaded));
  int status = 0;
  EXPECT_FALSE(WaitChild(running, status, 0)) << "the running updater was stopped";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(StartCount(), 1u) << "something was launched";
}

// Refused before the stop; no updater can be started from a folder either,
// and both failures are recorded.
TEST_F(E2eRun, CurrentExecutableThatIsADirectoryIsRecorded) {
  MakeDirs(current_);
  const std::string downloaded = PutDownload();
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  const std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
  ASSERT_EQ(entries.size(), 2u) << ReadFile(profile_);
  EXPECT_EQ(entries[0].key, "False" + std::string(kCannotDelete) + ": " + kReasonIsADirectory);
  EXPECT_EQ(entries[1].key.rfind("FalseCannot launch the updater: ", 0), 0u) << entries[1].key;
  EXPECT_TRUE(HasContent(download_, downloaded));
  ExpectNothingLaunched();
}

TEST_F(E2eRun, NeitherFileMeansTheLaunchFailsAndIsRecorded) {
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  ExpectRecordOf("Cannot launch the updater", kReasonNotFound);
}

TEST_F(E2eRun, ExistingProfileKeepsItsOtherSectionsAndKeys) {
  WriteFile(profile_, "[Server]\r\nHost=example\r\n[Tovalane]\r\nFalseOld=2020-01-01 00:00:00\r\n"
                      "[Last]\r\nk=v\r\n");
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0], (IniEntry{"Server", "Host", "example"}));
  EXPECT_EQ(entries[1], (IniEntry{"Tovalane", "FalseOld", "2020-01-01 00:00:00"}));
  EXPECT_EQ(entries[2].section, "Tovalane");
  EXPECT_EQ(entries[2].key.rfind("FalseCannot launch the updater: ", 0), 0u);
  EXPECT_TRUE(IsRecentTimestamp(entries[2].value));
  EXPECT_EQ(entries[3], (IniEntry{"Last", "k", "v"}));
}

// Two runs started at once on one folder take turns: every round ends with
// the download in place, both runs having launched it, and no record. With
// the updater running, each run pauses a second after stopping it, so that
// the two surely overlap.
TEST_F(E2eRun, TwoRunsAtOnceNeverLoseTheUpdate) {
  for (const TwoRuns& variant : TwoRunsAtOnce()) {
    for (int round = 0; round < variant.rounds; ++round) {
      SCOPED_TRACE(variant.what + ", round " + std::to_string(round));
      PutCurrent();
      const std::string downloaded = PutDownload();
      if (variant.updater_running) StartUpdater();
      pid_t first = StartTool(variant.first);
      pid_t second = StartTool(variant.second);
      int first_status = 0, second_status = 0;
      ASSERT_TRUE(WaitChild(first, first_status, 120));
      ASSERT_TRUE(WaitChild(second, second_status, 120));
      EXPECT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == kExitLaunched) << first_status;
      EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == kExitLaunched) << second_status;
      EXPECT_TRUE(HasContent(current_, downloaded));
      EXPECT_FALSE(Exists(download_));
      EXPECT_FALSE(Exists(profile_)) << ReadFile(profile_);
      ASSERT_TRUE(WaitForStarts(variant.updater_running ? 3 : 2));
      StopStandIns(dir_);
      unlink((dir_ + "/starts.log").c_str());
      unlink(profile_.c_str());
      unlink(current_.c_str());
    }
  }
}

// A new program that runs is kept, the previous one beside it: one that
// ends at once on its own (as a vendor's program may) as well as one that
// is still running when the watch ends.
TEST_F(E2eRun, NewUpdaterThatRunsIsKeptWithThePreviousBesideIt) {
  for (const char* behaviour : {"ends", "runs"}) {
    SCOPED_TRACE(behaviour);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    const std::string previous = ReadFile(current_), downloaded = PutDownload(behaviour);
    EXPECT_EQ(RunTool(), kExitLaunched) << ReadFile(profile_);
    EXPECT_TRUE(HasContent(current_, downloaded));
    EXPECT_TRUE(HasContent(current_ + ".previous", previous));
    EXPECT_FALSE(Exists(profile_));
    EXPECT_TRUE(WaitForLastStartOf(downloaded));
    StopStandIns(case_dir.path());
  }
}

// A release that cannot run here does not keep the updater's place: the
// previous program is put back and started, the record says how the new one
// ended, and the same bytes are refused before anything is stopped until a
// release that runs comes.
TEST_F(E2eRun, NewUpdaterThatCannotRunIsPutBackAndNeverInstalledAgain) {
  for (const CannotRun& row : ProgramsThatCannotRun()) {
    SCOPED_TRACE(row.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    const std::string previous = ReadFile(current_), broken = PutDownloadOf(row.make(StandIn()));
    EXPECT_EQ(RunTool(), kExitNewUpdaterCannotRun);
    EXPECT_TRUE(HasContent(current_, previous));
    EXPECT_FALSE(Exists(current_ + ".previous"));
    EXPECT_FALSE(Exists(download_));
    ASSERT_TRUE(WaitForLastStartOf(previous));
    ExpectLaunchOfCurrent(StartCount() - 1);
    EXPECT_EQ(RecordedKey(), "FalseThe new updater could not run: " + row.ending + "; the previous one was put back");

    unlink(profile_.c_str());
    PutDownloadOf(broken);
    const size_t starts = StartCount();
    EXPECT_EQ(RunTool(), kExitDownloadRefused);
    const std::string key = RecordedKey(),
                      refused = "FalseCannot take the downloaded copy: it could not run when it was installed (sha256 ";
    EXPECT_EQ(key.rfind(refused, 0), 0u) << key;
    EXPECT_EQ(key.size(), refused.size() + 9) << key;
    EXPECT_TRUE(HasContent(current_, previous));
    EXPECT_TRUE(HasContent(download_, broken));
    ExpectNothingLaunched(starts);

    unlink(profile_.c_str());
    const std::string fixed = PutDownload();
    EXPECT_EQ(RunTool(), kExitLaunched) << ReadFile(profile_);
    EXPECT_TRUE(HasContent(current_, fixed));
    EXPECT_TRUE(HasContent(current_ + ".previous", previous));
    StopStandIns(case_dir.path());
  }
}

// Only the vendor's own program, no older than the one in place, takes its
// place; an unsigned program in place takes any whole download. A refused
// one changes nothing and is recorded; a swap on POSIX moves the download's
// signature beside the new program.
TEST_F(E2eRun, OnlyTheVendorsOwnNewerProgramTakesThePlace) {
  const auto change_a_byte = [](E2eRun& t) {
    std::string bytes = ReadFile(t.download_);
    bytes[bytes.size() / 2] ^= 1;
    WriteFile(t.download_, bytes);
  };
  const auto unsigned_download = [](E2eRun& t) {
    t.PutDownload();
    unlink((t.download_ + ".minisig").c_str());
  };
  const std::string another = "it is signed by another publisher (";
  std::vector<SignatureCase> cases = {
      {"unsigned in place, unsigned download", unsigned_download, ""},
      {"the vendor's newer release", [](E2eRun&) {}, ""},
      {"the same release: a repair", [](E2eRun& t) { t.SignDownload("vendor", 1); }, ""},
      {"unsigned download", unsigned_download, "it is not signed"},
      {"another publisher's", [](E2eRun& t) { t.SignDownload("stranger", 2); }, another},
      {"a byte changed after signing", change_a_byte, "its contents do not match its signature"},
      {"an older release", [](E2eRun& t) { t.SignDownload("vendor", 0); },
       "it is older than the current updater (" + ReleaseText(0) + " < " + ReleaseText(1) + ")"},
  };
  for (SignatureCase& platform_case : PlatformSignatureCases()) cases.push_back(platform_case);
  for (const SignatureCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir("plindor-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    if (c.what.rfind("unsigned in place", 0) != 0) SignCurrent(1);
    PutDownload();
    SignDownload("vendor", 2);
    c.make(*this);
    const std::string current = ReadFile(current_);
    const std::string download = ReadFile(download_), signature = download_ + ".minisig";
    const std::string signature_bytes = Exists(signature) ? ReadFile(signature) : "";
    if (c.reason.empty()) {
      EXPECT_EQ(RunTool(), kExitLaunched);
      EXPECT_TRUE(HasContent(current_, download));
      EXPECT_FALSE(Exists(download_));
      if (!signature_bytes.empty()) {
        EXPECT_TRUE(HasContent(current_ + ".minisig", signature_bytes));
        EXPECT_FALSE(Exists(signature));
      }
    } else {
      EXPECT_EQ(RunTool(), kExitDownloadRefused);
      EXPECT_TRUE(HasContent(current_, current));
      EXPECT_TRUE(HasContent(download_, download));
      const std::string key = RecordedKey();
      EXPECT_EQ(key.rfind("FalseCannot take the downloaded copy: " + c.reason, 0), 0u) << key;
    }
    EXPECT_TRUE(WaitForStarts(1));
    StopStandIns(case_dir.path());
  }
}
