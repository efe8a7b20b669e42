// The real native program in a temporary program directory, with a stand-in
// updater of the tests' own: what is on disk, what runs, the record and the
// exit status afterwards.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <strings.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "profile/ini_edit.h"
#include "run/frm_copy.h"
#include "tests/e2e_support.h"
#include "tests/ini_meaning.h"

namespace {

struct StartRecord {
  int pid = 0;
  long long size = 0;
  int own_session = 0;
  int extra_fds = -1;
  int args = -1;
  int null_streams = -1;
  unsigned long long blocked = ~0ull, ignored = ~0ull;
  int closed_streams = -1;
};

class NativeRunTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    // Launched updaters leave the tool's session; as their subreaper the test
    // can still reap them once it has stopped them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  void SetUp() override { UseProgramDir(temp_.path() + "/program dir"); }

  void UseProgramDir(const std::string& dir) {
    dir_ = dir;
    MakeDirs(dir_);
    tool_ = dir_ + "/PlindorSwap";
    current_ = dir_ + "/Plindor.exe";
    download_ = dir_ + "/Download/Program/Plindor.exe";
    profile_ = dir_ + "/Server.ini";
    CopyFile(PLINDOR_SWAP, tool_);
    chmod(tool_.c_str(), 0755);
  }

  void TearDown() override {
    for (const StartRecord& start : Starts()) kill(start.pid, SIGKILL);
    for (pid_t pid : children_) kill(pid, SIGKILL);
    int status = 0;
    // Reaps the stopped stand-ins, so that none is left for the next test.
    WaitUntil([&] { return waitpid(-1, &status, WNOHANG) < 0; }, 5000);
  }

  void PutCurrent() {
    CopyFile(STAND_IN, current_);
    chmod(current_.c_str(), 0755);
  }

  // The downloaded copy: the same program with a marker after it, so that
  // its size tells which of the two was started.
  void PutDownload() {
    MakeDirs(dir_ + "/Download/Program");
    WriteFile(download_, ReadFile(STAND_IN) + "downloaded copy");
    chmod(download_.c_str(), 0755);
  }

  pid_t StartUpdater() {
    pid_t pid = StartChild({current_});
    children_.push_back(pid);
    size_t before = Starts().size();
    EXPECT_TRUE(WaitUntil([&] { return Starts().size() > before; }));
    return pid;
  }

  int RunTool() { return RunAndWait({tool_}); }

  // A download waiting and no updater running: swapped in and launched.
  void ExpectSwapAndLaunch() {
    PutCurrent();
    PutDownload();
    const std::string downloaded = ReadFile(download_);
    EXPECT_EQ(RunTool(), kExitLaunched);
    EXPECT_TRUE(HasContent(current_, downloaded));
    EXPECT_FALSE(Exists(download_));
    EXPECT_TRUE(WaitForStarts(1));
    EXPECT_FALSE(Exists(profile_));
  }

  std::vector<StartRecord> Starts() const {
    std::vector<StartRecord> starts;
    std::istringstream log(ReadFile(dir_ + "/starts.log"));
    std::string line;
    while (std::getline(log, line)) {
      StartRecord s;
      if (sscanf(line.c_str(),
                 "pid=%d size=%lld own_session=%d extra_fds=%d args=%d null_streams=%d "
                 "blocked=%llx ignored=%llx closed_streams=%d",
                 &s.pid, &s.size, &s.own_session, &s.extra_fds, &s.args, &s.null_streams,
                 &s.blocked, &s.ignored, &s.closed_streams) == 9) {
        starts.push_back(s);
      }
    }
    return starts;
  }

  bool WaitForStarts(size_t count) {
    return WaitUntil([&] { return Starts().size() >= count; });
  }

  long long SizeOf(const std::string& path) const {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
  }

  // The one record in the profile file, checked for section and time.
  std::string RecordedKey() const {
    std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
    if (entries.size() != 1) return "(" + std::to_string(entries.size()) + " entries)";
    EXPECT_EQ(entries[0].section, "Tovalane");
    EXPECT_TRUE(IsRecentTimestamp(entries[0].value)) << entries[0].value;
    return entries[0].key;
  }

  TempDir temp_;
  std::string dir_, tool_, current_, download_, profile_;
  std::vector<pid_t> children_;
};

// Started as Windows starts it: nothing of the caller's reaches the updater.
// The caller here reads the tool's output through a pipe, blocks a signal
// and ignores SIGTERM and SIGCHLD. The updater's streams are the null device,
// or closed where there is none (a bare chroot, or a FIFO in its place, which
// must not hold the run): either way it starts.
TEST_F(NativeRunTest, WithoutDownloadOnlyLaunchesInItsOwnSession) {
  const std::string fifo = temp_.path() + "/fifo";
  mkfifo(fifo.c_str(), 0644);
  const struct {
    const char* what;
    std::string shell;  // empty: the tool as it is
    int null_streams;
  } cases[] = {
      {"/dev/null", "", 3},
      {"no /dev/null", "mount -t tmpfs none /dev && exec \"$0\"", 0},
      {"/dev/null a FIFO", "mount --bind " + fifo + " /dev/null && exec \"$0\"", 0},
  };
  PutCurrent();
  long long size = SizeOf(current_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.shell.empty() && geteuid() != 0) {
      std::cout << "skipped, needs root: " << c.what << "\n";
      continue;
    }
    unlink((dir_ + "/starts.log").c_str());
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t tool = ForkChild([&] {
      sigset_t blocked;
      sigemptyset(&blocked);
      sigaddset(&blocked, SIGUSR1);
      sigprocmask(SIG_BLOCK, &blocked, nullptr);
      signal(SIGTERM, SIG_IGN);
      signal(SIGCHLD, SIG_IGN);
      dup2(output[1], 1);
      if (c.shell.empty()) {
        execl(tool_.c_str(), tool_.c_str(), nullptr);
      } else {
        execl("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
              c.shell.c_str(), tool_.c_str(), nullptr);
      }
      _exit(127);
    });
    close(output[1]);
    int status = 0;
    ASSERT_TRUE(WaitChild(tool, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitLaunched) << ReadFile(profile_);
    // The output ends with the tool, not with the updater it started.
    ASSERT_TRUE(WaitForStarts(1));
    pollfd end_of_output = {output[0], POLLIN, 0};
    EXPECT_EQ(poll(&end_of_output, 1, 5000), 1);
    char byte;
    EXPECT_EQ(read(output[0], &byte, 1), 0) << "the updater holds the caller's pipe";
    close(output[0]);
    StartRecord start = Starts()[0];
    EXPECT_EQ(start.size, size);
    EXPECT_EQ(start.own_session, 1);
    EXPECT_EQ(start.extra_fds, 0);
    EXPECT_EQ(start.args, 0);
    EXPECT_EQ(start.null_streams, c.null_streams);
    EXPECT_EQ(start.closed_streams, 3 - c.null_streams);
    EXPECT_EQ(start.blocked, 0u);
    // glibc's posix_spawn leaves its own two signals (32 and 33, below
    // SIGRTMIN) ignored in every child; no program is meant to use them.
    const unsigned long long glibc_internal = 3ull << 31;
    EXPECT_EQ(start.ignored & ~glibc_internal, 0u);
    EXPECT_FALSE(Exists(profile_));
    TearDown();
  }
}

TEST_F(NativeRunTest, WithUpdaterRunningStopsSwapsAndRelaunches) {
  PutCurrent();
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  pid_t running = StartUpdater();

  EXPECT_EQ(RunTool(), kExitLaunched);
  int status = 0;
  ASSERT_TRUE(WaitChild(running, status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_TRUE(HasContent(current_, downloaded));
  EXPECT_FALSE(Exists(download_));
  EXPECT_TRUE(Exists(dir_ + "/Download/Program"));
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(Starts()[1].size, static_cast<long long>(downloaded.size()));
  EXPECT_FALSE(Exists(profile_));

  // With the copy gone, the next run only launches; the one running stays.
  int relaunched = Starts()[1].pid;
  EXPECT_EQ(RunTool(), kExitLaunched);
  ASSERT_TRUE(WaitForStarts(3));
  EXPECT_EQ(kill(relaunched, 0), 0);
  EXPECT_TRUE(HasContent(current_, downloaded));
}

TEST_F(NativeRunTest, WithoutUpdaterRunningSwapsAndLaunches) { ExpectSwapAndLaunch(); }

// A download cut short never takes the working updater's place: nothing is
// stopped or changed, the record says why, and the current updater is started
// only where none runs, so that no twin of a running one starts.
TEST_F(NativeRunTest, IncompleteDownloadIsRefusedAndTheWorkingUpdaterKept) {
  const std::string whole = ReadFile(STAND_IN);
  const struct {
    const char* what;
    size_t size;
    bool updater_running;
    const char* reason;
  } cases[] = {
      {"empty", 0, true, "it is empty"},
      {"10 bytes", 10, false, "it is cut short, 10 bytes"},
      {"cut in the program headers", 100, true, "it is cut short, 100 bytes"},
      {"a third of it", whole.size() / 3, false, "it is cut short, "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir;
    UseProgramDir(case_dir.path());
    PutCurrent();
    MakeDirs(dir_ + "/Download/Program");
    WriteFile(download_, whole.substr(0, c.size));
    pid_t running = c.updater_running ? StartUpdater() : 0;
    EXPECT_EQ(RunTool(), kExitDownloadRefused);
    EXPECT_TRUE(HasContent(current_, whole));
    EXPECT_TRUE(HasContent(download_, whole.substr(0, c.size)));
    const std::string key = RecordedKey();
    EXPECT_EQ(key.rfind("FalseCannot take the downloaded copy: " + std::string(c.reason), 0), 0u)
        << key;
    ASSERT_TRUE(WaitForStarts(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Starts().size(), 1u) << "a second updater was started";
    if (running != 0) {
      EXPECT_EQ(kill(running, 0), 0) << "the running updater was stopped";
    }
    TearDown();
    children_.clear();
  }
}

TEST_F(NativeRunTest, WithoutCurrentExecutableMovesTheDownloadIn) {
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(HasContent(current_, downloaded));
  ASSERT_TRUE(WaitForStarts(1));
}

TEST_F(NativeRunTest, ReadOnlyCurrentExecutableIsRecordedAndNothingLaunched) {
  PutCurrent();
  PutDownload();
  chmod(current_.c_str(), 0555);
  const std::string current = ReadFile(current_), downloaded = ReadFile(download_);
  EXPECT_EQ(RunTool(), kExitDeleteFailed);
  EXPECT_EQ(RecordedKey(), "FalseCannot delete the current executable: Permission denied");
  EXPECT_TRUE(HasContent(current_, current));
  EXPECT_TRUE(HasContent(download_, downloaded));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Exists(dir_ + "/starts.log"));
}

// Neither a directory nor a link is a downloaded copy: a link moved into
// place could name the executable it replaces, or, relative, some other
// file of the program directory.
TEST_F(NativeRunTest, DirectoryOrLinkNamedLikeTheDownloadIsNoDownload) {
  const struct {
    const char* what;
    std::function<void(NativeRunTest&)> make;
  } cases[] = {
      {"directory", [](NativeRunTest& t) { MakeDirs(t.download_); }},
      {"link to the current executable",
       [](NativeRunTest& t) {
         MakeDirs(t.dir_ + "/Download/Program");
         ASSERT_EQ(symlink(t.current_.c_str(), t.download_.c_str()), 0);
       }},
      {"relative link",
       [](NativeRunTest& t) {
         MakeDirs(t.dir_ + "/Download/Program");
         WriteFile(t.dir_ + "/Download/Program/other", "");
         WriteFile(t.dir_ + "/other", ReadFile(STAND_IN) + "another program");
         chmod((t.dir_ + "/other").c_str(), 0755);
         ASSERT_EQ(symlink("other", t.download_.c_str()), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir;
    UseProgramDir(case_dir.path());
    PutCurrent();
    c.make(*this);
    const std::string current = ReadFile(current_);
    EXPECT_EQ(RunTool(), kExitLaunched);
    struct stat info;
    EXPECT_TRUE(lstat(current_.c_str(), &info) == 0 && S_ISREG(info.st_mode));
    EXPECT_TRUE(HasContent(current_, current));
    EXPECT_TRUE(Exists(download_));
    ASSERT_TRUE(WaitForStarts(1));
    EXPECT_EQ(Starts()[0].size, SizeOf(current_)) << "another program was launched";
    TearDown();
  }
}

// A folder that may be entered and written but not listed (mode 0333) lets
// the run take its guard and go ahead. Root would list it anyway, so a root
// test runs the tool as another user.
TEST_F(NativeRunTest, FolderThatCannotBeListedStillRuns) {
  PutCurrent();
  chmod(temp_.path().c_str(), 0711);
  chmod(dir_.c_str(), 0333);
  std::vector<std::string> command = {tool_};
  if (geteuid() == 0) {
    command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", tool_};
  }
  EXPECT_EQ(RunAndWait(command), kExitLaunched) << ReadFile(profile_);
  EXPECT_TRUE(WaitForStarts(1));
  chmod(dir_.c_str(), 0755);
}

// What a run killed midway left behind is removed by the next one, but only
// its own kind of temporary copy, and only one no writer can still be at.
TEST_F(NativeRunTest, LeftoversOfKilledRunsAreRemoved) {
  PutCurrent();
  const struct {
    const char* name;
    bool old;
    bool removed;
  } cases[] = {
      {".Server.ini.PlindorSwap-Ab12Cd", true, true},
      {".Plindor.exe.PlindorSwap-zZ9x0Q", true, true},
      {".Server.ini.PlindorSwap-Ab12Ce", false, false},
      {".Server.ini.PlindorSwap-keep", true, false},
      {".Server.ini.PlindorSwap-Ab-2Cd", true, false},
      {"Server.ini.PlindorSwap-Ab12Cd", true, false},
      // A user's backups, of the length mkostemp's names have.
      {".Server.ini.backup", true, false}, {".Plindor.exe.v1save", true, false},
  };
  for (const auto& c : cases) {
    const std::string path = dir_ + "/" + c.name;
    WriteFile(path, "left behind");
    const timespec long_ago[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
    if (c.old) utimensat(AT_FDCWD, path.c_str(), long_ago, 0);
  }
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(WaitForStarts(1));
  for (const auto& c : cases) EXPECT_EQ(Exists(dir_ + "/" + c.name), !c.removed) << c.name;
}

TEST_F(NativeRunTest, NeitherFileMeansTheLaunchFailsAndIsRecorded) {
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  EXPECT_EQ(RecordedKey(), "FalseCannot launch the updater: No such file or directory");
}

TEST_F(NativeRunTest, SameFailureTwiceLeavesOneKeyWithTheLaterTime) {
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  const std::string first = ParseIni(ReadFile(profile_)).at(0).value;
  // The record's time has whole seconds: wait for the next one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_GT(entries[0].value, first);
}

TEST_F(NativeRunTest, ExistingProfileKeepsEveryOtherByte) {
  const std::string before =
      "; settings of the server\r\n[Server]\r\nHost = example\r\n\r\n[Tovalane]\r\n"
      "FalseOld=2020-01-01 00:00:00\r\n\r\n[Last]\r\nk=v";
  WriteFile(profile_, before);
  chmod(profile_.c_str(), 0640);
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  std::string after = ReadFile(profile_);
  const std::string anchor = "FalseOld=2020-01-01 00:00:00\r\n";
  size_t at = before.find(anchor) + anchor.size();
  const std::string key = "FalseCannot launch the updater: No such file or directory=";
  ASSERT_EQ(after.size(), before.size() + key.size() + 19 + 2);
  EXPECT_EQ(after.substr(0, at), before.substr(0, at));
  EXPECT_EQ(after.substr(at, key.size()), key);
  EXPECT_TRUE(IsRecentTimestamp(after.substr(at + key.size(), 19)));
  EXPECT_EQ(after.substr(at + key.size() + 19), "\r\n" + before.substr(at));
  struct stat info;
  ASSERT_EQ(stat(profile_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Two runs at once on one folder take turns, also where the folder's file
// system cannot lock it (NFS refuses flock on a folder with EBADF, some SMB
// and FUSE mounts with ENOLCK or EOPNOTSUPP: injected here, as no such mount
// can be made). With the updater running, each run pauses a second after
// stopping it, so that the two surely overlap.
TEST_F(NativeRunTest, TwoRunsAtOnceNeverLoseTheUpdate) {
  const std::vector<std::string> no_prefix;
  const auto locks_fail_with = [](const char* error) {
    return std::vector<std::string>{"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e",
                                    std::string("inject=flock:error=") + error};
  };
  const struct {
    const char* what;
    std::vector<std::string> prefix;
    int rounds;
    bool updater_running;
  } cases[] = {
      {"flock", no_prefix, 50, false},
      {"flock, updater running", no_prefix, 2, true},
      {"no flock: EBADF", locks_fail_with("EBADF"), 3, true},
      {"no flock: ENOLCK", locks_fail_with("ENOLCK"), 2, true},
      {"no flock: EOPNOTSUPP", locks_fail_with("EOPNOTSUPP"), 2, true},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command = c.prefix;
    command.push_back(tool_);
    int launched = 0;
    for (int round = 0; round < c.rounds; ++round) {
      SCOPED_TRACE(std::string(c.what) + ", round " + std::to_string(round));
      PutCurrent();
      PutDownload();
      const std::string downloaded = ReadFile(download_);
      if (c.updater_running) StartUpdater();
      const size_t running = c.updater_running ? 1 : 0;
      pid_t first = StartChild(command);
      pid_t second = StartChild(command);
      int first_status = 0, second_status = 0;
      ASSERT_TRUE(WaitChild(first, first_status));
      ASSERT_TRUE(WaitChild(second, second_status));
      ASSERT_TRUE(WIFEXITED(first_status) && WIFEXITED(second_status));
      const int first_code = WEXITSTATUS(first_status), second_code = WEXITSTATUS(second_status);
      const int succeeded = (first_code == kExitLaunched) + (second_code == kExitLaunched);
      launched += succeeded;
      // Nothing lost, and a run that failed has left its record.
      EXPECT_TRUE(HasContent(current_, downloaded));
      EXPECT_FALSE(Exists(download_));
      EXPECT_EQ(Exists(profile_), succeeded < 2)
          << first_code << " " << second_code << " " << ReadFile(profile_);
      // The next round's lookup must find nothing of this one.
      ASSERT_TRUE(WaitForStarts(running + static_cast<size_t>(succeeded)));
      TearDown();
      children_.clear();
      unlink((dir_ + "/starts.log").c_str());
      unlink(profile_.c_str());
      unlink(current_.c_str());
    }
    EXPECT_EQ(launched, 2 * c.rounds) << c.what;
  }
}

// Bad input: none of it may crash or hang the tool, and each ends the way
// the README says.

TEST_F(NativeRunTest, AwkwardProgramDirectoriesStillSwapAndLaunch) {
  std::string long_name(200, 'L');
  const std::string names[] = {
      "with space", "with \"quotes\"", "with=equals", "with[bracket]", "with;semicolon",
      "non-ascii \xCE\xA9\xCE\xBB \xE6\x97\xA5\xE6\x9C\xAC",
      // The download's full path is longer than 260 characters.
      long_name + "/" + long_name,
  };
  EXPECT_GT(temp_.path().size() + 2 * long_name.size() + 31, 260u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    UseProgramDir(temp_.path() + "/" + name);
    ExpectSwapAndLaunch();
    TearDown();
  }
}

TEST_F(NativeRunTest, DownloadThatIsNotExecutableIsSwappedButRecordedAsUnlaunchable) {
  PutCurrent();
  PutDownload();
  chmod(download_.c_str(), 0644);
  const std::string downloaded = ReadFile(download_);
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  EXPECT_TRUE(HasContent(current_, downloaded));
  EXPECT_EQ(RecordedKey(), "FalseCannot launch the updater: Permission denied");
}

TEST_F(NativeRunTest, DownloadFolderThatIsAFileMeansNoDownload) {
  PutCurrent();
  MakeDirs(dir_ + "/Download");
  WriteFile(dir_ + "/Download/Program", "not a folder");
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(WaitForStarts(1));
  EXPECT_TRUE(HasContent(dir_ + "/Download/Program", "not a folder"));
}

TEST_F(NativeRunTest, UnreadableDownloadFolderFailsTheSearchUnlessRoot) {
  PutCurrent();
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  chmod((dir_ + "/Download/Program").c_str(), 0);
  int code = RunTool();
  chmod((dir_ + "/Download/Program").c_str(), 0755);
  if (geteuid() == 0) {
    // Permission bits do not stop root: the swap goes ahead.
    EXPECT_EQ(code, kExitLaunched);
    EXPECT_TRUE(HasContent(current_, downloaded));
  } else {
    EXPECT_EQ(code, kExitSearchFailed);
    EXPECT_EQ(RecordedKey(), "FalseCannot search for the downloaded copy: Permission denied");
    EXPECT_TRUE(HasContent(download_, downloaded));
  }
}

TEST_F(NativeRunTest, CurrentExecutableThatIsASymlinkIsReplacedNotItsTarget) {
  const std::string target = temp_.path() + "/elsewhere";
  CopyFile(STAND_IN, target);
  ASSERT_EQ(symlink(target.c_str(), current_.c_str()), 0);
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(HasContent(current_, downloaded));
  EXPECT_TRUE(HasContent(target, ReadFile(STAND_IN)));
  EXPECT_TRUE(WaitForStarts(1));
}

TEST_F(NativeRunTest, CurrentExecutableThatIsADirectoryIsRecorded) {
  MakeDirs(current_);
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  EXPECT_EQ(RunTool(), kExitDeleteFailed);
  EXPECT_EQ(RecordedKey(), "FalseCannot delete the current executable: Is a directory");
  EXPECT_TRUE(HasContent(download_, downloaded));
}

// The record goes into profiles of every shape; all but the record is kept.
TEST_F(NativeRunTest, RecordKeepsEveryOtherByteOfAnyProfile) {
  const std::string long_line(10000, 'x');
  const struct {
    const char* what;
    std::string content;
  } layouts[] = {
      {"empty", ""},
      {"no final newline", "[A]\nk=v"},
      {"CRLF", "[A]\r\nk=v\r\n\r\n[Tovalane]\r\nFalseOld=1\r\n"},
      {"UTF-8 BOM", "\xEF\xBB\xBF[Tovalane]\nk=v\n"},
      {"duplicate sections", "[Tovalane]\na=1\n[B]\n[Tovalane]\nb=2\n"},
      {"section in other letter case", "[TOVALANE]\na=1\n"},
      {"keys padded by blanks",
       "[Tovalane]\n  FalseCannot launch the updater: No such file or directory  =  old  \n"},
      {"10,000-character lines", "[A]\nk=" + long_line + "\n;" + long_line + "\n"},
      {"comments and blank lines", "; top\n\n[Tovalane]\n; note\n\n[Z]\n"},
      {"UTF-16 LE", Utf16Bytes("[A]\r\nk=v\r\n[Tovalane]\r\nFalseOld=1\r\n")},
      {"UTF-16 BE", Utf16Bytes("[A]\nk=v", true)},
  };
  const std::string key = "FalseCannot launch the updater: No such file or directory";
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.what);
    WriteFile(profile_, layout.content);
    EXPECT_EQ(RunTool(), kExitLaunchFailed);
    const std::string after = ReadFile(profile_);
    std::string time;
    for (const IniEntry& entry : ParseIni(after)) {
      if (strcasecmp(entry.section.c_str(), "Tovalane") == 0 && entry.key == key) time = entry.value;
    }
    EXPECT_TRUE(IsRecentTimestamp(time)) << after;
    EXPECT_EQ(after, SetIniValue(layout.content, "Tovalane", key, time));
  }
}

// A profile that cannot take the record, or is no profile at all, is left
// as it was and the run ends as documented: never a hang or a crash. The
// last kind is a file too large for the memory the tool may have.
TEST_F(NativeRunTest, ProfileThatCannotBeWrittenIsLeftAlone) {
  const std::string fifo = temp_.path() + "/fifo";
  const auto sized = [&](off_t size) {
    WriteFile(profile_, "");
    ASSERT_EQ(truncate(profile_.c_str(), size), 0);
  };
  const std::map<std::string, std::string> no_env;
  const std::string linked = temp_.path() + "/linked.ini";
  // The record goes near the top, so that a write in place would shift the
  // rest of the file, its last line past the limit.
  const std::string limited_profile = "[Tovalane]\nFalseOld=1\n[Server]\nlast=line\n";
  const off_t limited_size = static_cast<off_t>(limited_profile.size());
  // At the old size, and a few bytes past it, so that a write gets part way.
  const std::vector<std::string> at_size_limit = {
      "/usr/bin/prlimit", "--fsize=" + std::to_string(limited_size), tool_};
  const std::vector<std::string> past_size_limit = {
      "/usr/bin/prlimit", "--fsize=" + std::to_string(limited_size + 5), tool_};
#ifdef __SANITIZE_ADDRESS__
  const std::vector<std::string> limited = {tool_};
  const std::map<std::string, std::string> limited_env = {
      {"ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=16"}};
#else
  const std::vector<std::string> limited = {"/usr/bin/prlimit", "--as=150000000", tool_};
  const std::map<std::string, std::string>& limited_env = no_env;
#endif
  const struct {
    const char* what;
    std::function<void()> make;
    mode_t kind;
    off_t size;
    std::vector<std::string> command;
    std::map<std::string, std::string> env;
  } cases[] = {
      {"read-only", [&] { WriteFile(profile_, "[Tovalane]\n"), chmod(profile_.c_str(), 0444); },
       S_IFREG, 11, {tool_}, no_env},
      {"directory", [&] { MakeDirs(profile_); }, S_IFDIR, -1, {tool_}, no_env},
      {"FIFO", [&] { mkfifo(profile_.c_str(), 0644); }, S_IFIFO, -1, {tool_}, no_env},
      {"link to a FIFO",
       [&] { mkfifo(fifo.c_str(), 0644), symlink(fifo.c_str(), profile_.c_str()); }, S_IFIFO,
       -1, {tool_}, no_env},
      {"sparse, 64 GiB", [&] { sized(64ll << 30); },
       S_IFREG, 64ll << 30, {tool_}, no_env},
      {"40 MB, memory short", [&] { sized(40 << 20); },
       S_IFREG, 40 << 20, limited, limited_env},
      // The record cannot make the file grow: neither the copy nor the file
      // itself can take it, and the tool must not die of SIGXFSZ either.
      {"file size limit", [&] { WriteFile(profile_, limited_profile); }, S_IFREG,
       limited_size, at_size_limit, no_env},
      {"file size limit, hard-linked",
       [&] { WriteFile(profile_, limited_profile), link(profile_.c_str(), linked.c_str()); },
       S_IFREG, limited_size, past_size_limit, no_env},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    const std::string before = c.size >= 0 && c.size < (1 << 20) ? ReadFile(profile_) : "";
    EXPECT_EQ(RunAndWait(c.command, 30, c.env), kExitLaunchFailed);
    struct stat info;
    ASSERT_EQ(stat(profile_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, c.kind);
    if (c.size >= 0) {
      EXPECT_EQ(info.st_size, c.size);
      if (!before.empty()) {
        EXPECT_EQ(ReadFile(profile_), before);
      }
    }
    unlink(linked.c_str());
    chmod(profile_.c_str(), 0644);
    std::filesystem::remove_all(profile_);
    unlink(fifo.c_str());
  }
}

}  // namespace
