// The native driver of the end-to-end scenarios: the real native program in
// a temporary program directory, with a stand-in updater of the tests' own.
// It runs the shared list (e2e_scenarios.cpp) and the cases only the POSIX
// port has. The suite runs in a PID namespace of its own (scripts/hermetic),
// so the tool it runs sees no process but the suite's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <strings.h>

#include <cstdio>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "profile/ini_edit.h"
#include "run/frm_copy.h"
#include "tests/e2e_run.h"
#include "tests/ini_meaning.h"

const char* const kReasonNotFound = "No such file or directory (error 2)";
const char* const kReasonReadOnly = "Permission denied (error 13)";
const char* const kReasonIsADirectory = "Is a directory (error 21)";
const char* const kReasonWrittenByAnother = "another process is still writing it";
const bool kOnWindows = false;

void E2eRun::SetUp() {
  // The namespace's first process: the tool can stop nothing of anyone else's.
  if (getpid() != 1) {
    GTEST_SKIP() << "runs only in a PID namespace of its own: scripts/hermetic " << PLINDOR_SWAP;
  }
  UseProgramDir(temp_.path() + "/program dir");
}

void E2eRun::TearDown() { StopStandIns(temp_.path()); }

// Everything else in the namespace is this suite's: launched updaters end up
// its children too, and are reaped here.
void E2eRun::StopStandIns(const std::string&) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const int pid = atoi(entry.path().filename().c_str());
    if (pid > 1) kill(pid, SIGKILL);
  }
  int status = 0;
  WaitUntil([&] { return waitpid(-1, &status, WNOHANG) < 0; }, 5000);
}

void E2eRun::UseProgramDir(const std::string& dir) {
  dir_ = dir;
  MakeDirs(dir_);
  current_ = dir_ + "/Plindor.exe";
  download_ = dir_ + "/Download/Program/Plindor.exe";
  profile_ = dir_ + "/Server.ini";
  CopyFile(PLINDOR_SWAP, ToolCommand()[0]);
  chmod(ToolCommand()[0].c_str(), 0755);
}

std::string E2eRun::StandIn() const { return ReadFile(STAND_IN); }

void E2eRun::PutCurrent(const std::string& name) {
  CopyFile(STAND_IN, dir_ + "/" + name);
  chmod((dir_ + "/" + name).c_str(), 0755);
}

std::string E2eRun::PutDownloadOf(const std::string& bytes) {
  MakeDirs(dir_ + "/Download/Program");
  WriteFile(download_, bytes);
  chmod(download_.c_str(), 0755);
  return bytes;
}

pid_t E2eRun::StartUpdater(const std::string& name) {
  const std::string exe = dir_ + "/" + name, folder = exe.substr(0, exe.rfind('/'));
  const size_t before = ReadStarts(folder).size();
  pid_t pid = StartChild({exe});
  EXPECT_TRUE(WaitUntil([&] { return ReadStarts(folder).size() > before; }));
  return pid;
}

pid_t E2eRun::HoldForWriting(const std::string& path, int ms) {
  return ForkChild([&] {
    const int writer = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    usleep(static_cast<useconds_t>(ms) * 1000);
    close(writer);
  });
}

namespace {

// The vendor's and a stranger's minisign keys, made once for the suite.
std::string MinisignKey(const std::string& who, const char* kind) {
  static TempDir keys("plindor-keys");
  static const bool made = [] {
    for (const char* name : {"vendor", "stranger"}) {
      const std::string key = keys.path() + "/" + name;
      EXPECT_EQ(RunQuietly({"minisign", "-G", "-W", "-p", key + ".pub", "-s", key + ".key"}), 0);
    }
    return true;
  }();
  (void)made;
  return keys.path() + "/" + who + kind;
}

// Release `release` is signed at this time, in seconds.
int64_t SignedAt(int release) { return 1700000000 + release; }

// Signs as `minisign -S` does by default (prehashed, its time in the trusted
// comment, then its file name), or in the legacy form; the time is the
// release's.
void Minisign(const std::string& file, const std::string& signer, int release, bool legacy = false,
              const std::string& after_time = "\tfile:Plindor.exe\thashed") {
  std::vector<std::string> command = {"minisign", "-S", "-s", MinisignKey(signer, ".key"), "-m", file, "-t",
                                      "timestamp:" + std::to_string(SignedAt(release)) + after_time};
  if (legacy) command.push_back("-l");
  EXPECT_EQ(RunQuietly(command), 0);
}

}  // namespace

std::string E2eRun::ReleaseText(int release) { return "signed at " + std::to_string(SignedAt(release)); }

void E2eRun::SignCurrent(int release) {
  Minisign(current_, "vendor", release);
  CopyFile(MinisignKey("vendor", ".pub"), dir_ + "/Plindor.pub");
  chmod((dir_ + "/Plindor.pub").c_str(), 0644);
}

void E2eRun::SignDownload(const std::string& signer, int release) { Minisign(download_, signer, release); }

std::vector<E2eRun::CannotRun> E2eRun::ProgramsThatCannotRun() {
  return {
      {"dies of SIGSEGV at start", [](const std::string& s) { return s + StandInAsking("crashes"); },
       "it ended at once, killed by SIGSEGV (signal 11)"},
      {"aborts at start", [](const std::string& s) { return s + StandInAsking("aborts"); },
       "it ended at once, killed by SIGABRT (signal 6)"},
      {"needs a shared library that does not exist",
       [](const std::string& s) { return WithOneNameChanged(s, "libgcc_s.so.1", "libgcc_z.so.1"); },
       "it ended at once with exit code 127"},
      {"its program interpreter does not exist",
       [](const std::string& s) {
         return WithOneNameChanged(s, "/lib64/ld-linux-x86-64.so.2", "/lib64/ld-linux-x86-64.so.0");
       },
       "it could not start: No such file or directory (error 2)"},
  };
}

std::vector<E2eRun::SignatureCase> E2eRun::PlatformSignatureCases() {
  const std::string unreadable = "its signature cannot be read";
  return {
      {"the legacy form", [](E2eRun& t) { Minisign(t.download_, "vendor", 2, true); },
       "its signature is in minisign's legacy form, which is not taken"},
      // Anyone may do this with the vendor's published signature: the
      // legacy form of it verifies for the 64 bytes of the hash it signed.
      {"the 64 bytes of the hash under its signature turned legacy",
       [](E2eRun& t) {
         EXPECT_EQ(RunQuietly({"/usr/bin/python3", "-c",
                               "import base64, hashlib, sys\n"
                               "lines = open(sys.argv[2]).read().split('\\n')\n"
                               "raw = base64.b64decode(lines[1])\n"
                               "lines[1] = base64.b64encode(b'Ed' + raw[2:]).decode()\n"
                               "open(sys.argv[2], 'w').write('\\n'.join(lines))\n"
                               "data = open(sys.argv[1], 'rb').read()\n"
                               "open(sys.argv[1], 'wb').write(hashlib.blake2b(data).digest())\n",
                               t.download_, t.download_ + ".minisig"}),
                   0);
       },
       "it is no program"},
      {"the vendor's release notes, signed",
       [](E2eRun& t) {
         WriteFile(t.download_, "Release notes: what is new.\n");
         Minisign(t.download_, "vendor", 2, false, "\tfile:NOTES.txt\thashed");
       },
       "it is no program"},
      {"another of the vendor's programs, signed as itself",
       [](E2eRun& t) { Minisign(t.download_, "vendor", 2, false, "\tfile:Other.exe\thashed"); },
       "it is another of its publisher's files (Other.exe, not Plindor.exe)"},
      {"signed as PLINDOR.EXE", [](E2eRun& t) { Minisign(t.download_, "vendor", 2, false, "\tfile:PLINDOR.EXE"); },
       ""},
      {"an older release whose comment is its time alone",
       [](E2eRun& t) { Minisign(t.download_, "vendor", 0, false, ""); },
       "it is older than the current updater (" + ReleaseText(0) + " < " + ReleaseText(1) + ")"},
      {"a changed trusted comment",
       [](E2eRun& t) {
         std::string signature = ReadFile(t.download_ + ".minisig");
         signature.replace(signature.find("timestamp:") + 10, 1, "9");
         WriteFile(t.download_ + ".minisig", signature);
       },
       "its contents do not match its signature"},
      {"a signature that is a link",
       [](E2eRun& t) {
         const std::string signature = t.download_ + ".minisig";
         rename(signature.c_str(), (t.dir_ + "/elsewhere.minisig").c_str());
         symlink((t.dir_ + "/elsewhere.minisig").c_str(), signature.c_str());
       },
       unreadable},
      {"a signature too large to be one",
       [](E2eRun& t) { WriteFile(t.download_ + ".minisig", ReadFile(t.download_ + ".minisig") + std::string(5000, '#')); },
       unreadable + " (error 27)"},
      {"a signature that is a folder",
       [](E2eRun& t) {
         unlink((t.download_ + ".minisig").c_str());
         MakeDirs(t.download_ + ".minisig");
       },
       unreadable + " (error 22)"},
      {"a trust root others may write",
       [](E2eRun& t) { chmod((t.dir_ + "/Plindor.pub").c_str(), 0666); },
       "its trust root Plindor.pub is writable by group or others"},
      {"a trust root its group may write",
       [](E2eRun& t) { chmod((t.dir_ + "/Plindor.pub").c_str(), 0664); },
       "its trust root Plindor.pub is writable by group or others"},
      {"a trust root of another user's",
       [](E2eRun& t) { chown((t.dir_ + "/Plindor.pub").c_str(), 65534, 65534); },
       "its trust root Plindor.pub is owned by neither root nor the folder's owner"},
      {"a trust root that is no key", [](E2eRun& t) { WriteFile(t.dir_ + "/Plindor.pub", "not a key\n"); },
       "its trust root Plindor.pub is no minisign public key"},
      {"a trust root that is a link",
       [](E2eRun& t) {
         const std::string key = t.dir_ + "/Plindor.pub";
         unlink(key.c_str());
         symlink(MinisignKey("vendor", ".pub").c_str(), key.c_str());
       },
       "its trust root Plindor.pub is a link"},
  };
}

std::vector<std::string> E2eRun::ToolCommand() const { return {dir_ + "/PlindorSwap"}; }
pid_t E2eRun::StartTool(const std::vector<std::string>& command) { return StartChild(command); }
int E2eRun::RunTool() { return RunAndWait(ToolCommand()); }


// Two runs at once take turns, also where the folder's file system cannot
// lock files (some NFS servers, SMB and FUSE mounts answer flock with EBADF,
// ENOLCK or EOPNOTSUPP: injected here, as no such mount can be made).
std::vector<E2eRun::TwoRuns> E2eRun::TwoRunsAtOnce() {
  const auto locks_fail_with = [&](const char* error) {
    return std::vector<std::string>{"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e",
                                    std::string("inject=flock:error=") + error,
                                    ToolCommand()[0]};
  };
  return {
      {"flock", 50, false, ToolCommand(), ToolCommand()},
      {"flock, updater running", 2, true, ToolCommand(), ToolCommand()},
      {"no flock: EBADF", 3, true, locks_fail_with("EBADF"), locks_fail_with("EBADF")},
      {"no flock: ENOLCK", 2, true, locks_fail_with("ENOLCK"), locks_fail_with("ENOLCK")},
      {"no flock: EOPNOTSUPP", 2, true, locks_fail_with("EOPNOTSUPP"),
       locks_fail_with("EOPNOTSUPP")},
  };
}

// A link moved into place could name the executable it replaces, or,
// relative, some other file of the program directory.
std::vector<E2eRun::NoDownload> E2eRun::NoDownloadKinds() {
  return {
      {"link to the current executable",
       [](E2eRun& t) { ASSERT_EQ(symlink(t.current_.c_str(), t.download_.c_str()), 0); }},
      {"relative link",
       [](E2eRun& t) {
         WriteFile(t.dir_ + "/Download/Program/other", "");
         WriteFile(t.dir_ + "/other", t.StandIn() + "another program");
         chmod((t.dir_ + "/other").c_str(), 0755);
         ASSERT_EQ(symlink("other", t.download_.c_str()), 0);
       }},
  };
}

namespace {

class NativeRunTest : public E2eRun {
 public:
  std::string tool() const { return ToolCommand()[0]; }
  std::vector<StartRecord> Starts() const { return ReadStarts(dir_); }
  long long Field(size_t start, const char* name, int base = 10) const {
    return std::stoll(Starts().at(start).at(name), nullptr, base);
  }
};

long long SizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

}  // namespace

void E2eRun::ExpectLaunchOfCurrent(size_t index) {
  ASSERT_GT(StartCount(), index);
  EXPECT_EQ(std::stoll(ReadStarts(dir_)[index]["size"]), SizeOf(current_))
      << "another program was launched";
}

namespace {

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
    pid_t child = ForkChild([&] {
      sigset_t blocked;
      sigemptyset(&blocked);
      sigaddset(&blocked, SIGUSR1);
      sigprocmask(SIG_BLOCK, &blocked, nullptr);
      signal(SIGTERM, SIG_IGN);
      signal(SIGCHLD, SIG_IGN);
      dup2(output[1], 1);
      if (c.shell.empty()) {
        execl(tool().c_str(), tool().c_str(), nullptr);
      } else {
        execl("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
              c.shell.c_str(), tool().c_str(), nullptr);
      }
      _exit(127);
    });
    close(output[1]);
    int status = 0;
    ASSERT_TRUE(WaitChild(child, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitLaunched) << ReadFile(profile_);
    // The output ends with the tool, not with the updater it started.
    ASSERT_TRUE(WaitForStarts(1));
    pollfd end_of_output = {output[0], POLLIN, 0};
    EXPECT_EQ(poll(&end_of_output, 1, 5000), 1);
    char byte;
    EXPECT_EQ(read(output[0], &byte, 1), 0) << "the updater holds the caller's pipe";
    close(output[0]);
    EXPECT_EQ(Field(0, "size"), size);
    EXPECT_EQ(Field(0, "own_session"), 1);
    EXPECT_EQ(Field(0, "extra_fds"), 0);
    EXPECT_EQ(Field(0, "args"), 0);
    EXPECT_EQ(Field(0, "null_streams"), c.null_streams);
    EXPECT_EQ(Field(0, "closed_streams"), 3 - c.null_streams);
    EXPECT_EQ(Field(0, "blocked", 16), 0);
    // glibc's posix_spawn leaves its own two signals (32 and 33, below
    // SIGRTMIN) ignored in every child; no program is meant to use them.
    const long long glibc_internal = 3ll << 31;
    EXPECT_EQ(Field(0, "ignored", 16) & ~glibc_internal, 0);
    EXPECT_FALSE(Exists(profile_));
    TearDown();
  }
}

// The updater is stopped however the system lets it be opened: through a
// pidfd, or by its id where pidfd_open is refused (seccomp filters of
// container runtimes answer EPERM; old kernels have none). A descriptor
// writing the download that the tool inherited is closed, not waited for.
TEST_F(NativeRunTest, WithUpdaterRunningStopsSwapsAndRelaunches) {
  const auto pidfd_open_fails_with = [&](const char* error) {
    return std::vector<std::string>{"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e",
                                    std::string("inject=pidfd_open:error=") + error, tool()};
  };
  const struct {
    const char* what;
    std::vector<std::string> command;
  } cases[] = {
      {"through a pidfd", {tool()}},
      {"pidfd_open refused: EPERM", pidfd_open_fails_with("EPERM")},
      {"no pidfd_open: ENOSYS", pidfd_open_fails_with("ENOSYS")},
      {"the download written by an inherited descriptor",
       {"/bin/sh", "-c", "exec \"$0\" 3>>\"$1\"", tool(), download_}},
      {"no hard links here: the previous program is kept as a copy",
       {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "inject=linkat:error=EPERM", tool()}},
  };
  // The new updater keeps running: its watch is the quick build's.
  CopyFile(PLINDOR_SWAP_QUICK, tool());
  chmod(tool().c_str(), 0755);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PutCurrent();
    const std::string downloaded = PutDownload("runs");
    pid_t running = StartUpdater();
    EXPECT_EQ(RunAndWait(c.command), kExitLaunched) << ReadFile(profile_);
    int status = 0;
    ASSERT_TRUE(WaitChild(running, status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(HasContent(current_, downloaded));
    EXPECT_TRUE(HasContent(current_ + ".previous", StandIn()));
    EXPECT_EQ(ModeOf(current_ + ".previous"), 0755u);
    EXPECT_FALSE(Exists(download_));
    EXPECT_TRUE(Exists(dir_ + "/Download/Program"));
    ASSERT_TRUE(WaitForStarts(2));
    EXPECT_EQ(Field(1, "size"), static_cast<long long>(downloaded.size()));
    EXPECT_FALSE(Exists(profile_));

    // With the copy gone, the next run only launches; the one running stays.
    const pid_t relaunched = static_cast<pid_t>(Field(1, "pid"));
    EXPECT_EQ(RunTool(), kExitLaunched);
    ASSERT_TRUE(WaitForStarts(3));
    EXPECT_EQ(kill(relaunched, 0), 0);
    EXPECT_TRUE(HasContent(current_, downloaded));
    TearDown();
    unlink((dir_ + "/starts.log").c_str());
  }
}

// A folder that may be entered and written but not listed (mode 0333):
// root's runs could open it, another user's cannot, and both must still
// take the same guard. Root's run and nobody's start together while a
// nobody's updater runs, so that each run's pause after the stop makes
// them overlap: both launch, and the swap is whole.
TEST_F(NativeRunTest, RunsOfTwoUsersOnAFolderThatCannotBeListedTakeTurns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: a run as root and one as another user";
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534",
                                              "--regid=65534", "--clear-groups"};
  std::vector<std::string> nobody_run = as_nobody, nobody_updater = as_nobody;
  nobody_run.push_back(tool());
  nobody_updater.push_back(current_);
  chmod(temp_.path().c_str(), 0711);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    chmod(dir_.c_str(), 0777);
    PutCurrent();
    const std::string downloaded = PutDownload();
    chmod((dir_ + "/Download/Program").c_str(), 0777);
    WriteFile(dir_ + "/starts.log", "");
    chmod((dir_ + "/starts.log").c_str(), 0666);
    chmod(dir_.c_str(), 0333);
    StartChild(nobody_updater);
    ASSERT_TRUE(WaitForStarts(1));
    pid_t root = StartChild({tool()}), nobody = StartChild(nobody_run);
    int root_status = 0, nobody_status = 0;
    ASSERT_TRUE(WaitChild(root, root_status) && WaitChild(nobody, nobody_status));
    EXPECT_TRUE(WIFEXITED(root_status) && WEXITSTATUS(root_status) == kExitLaunched);
    EXPECT_TRUE(WIFEXITED(nobody_status) && WEXITSTATUS(nobody_status) == kExitLaunched);
    EXPECT_TRUE(HasContent(current_, downloaded));
    EXPECT_FALSE(Exists(download_));
    EXPECT_FALSE(Exists(profile_)) << ReadFile(profile_);
    TearDown();
    chmod(dir_.c_str(), 0755);
    unlink((dir_ + "/starts.log").c_str());
  }
}

// Killed at any system call of a swap, to the end of its watch and of a put
// back, the run leaves the whole old updater or the whole new one, never
// none; the next run ends with the one that can run in place and started,
// and no temporary copy left. The calls are those a trace of the same run
// lists from its first own call on (what the sanitizer's start-up does
// before it changes nothing). The download lies on this file system, then
// on another (a tmpfs), where it is copied; then it is a program that
// cannot run. (The quick build: the same calls, a shorter watch.)
TEST_F(NativeRunTest, KilledAtAnySystemCallTheSwapLeavesAWholeUpdater) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the sweep is run where strace may inject";
  std::string shm = "/dev/shm/plindor-sweep-XXXXXX";
  ASSERT_NE(mkdtemp(&shm[0]), nullptr);
  const std::string old_program = StandIn(), trace = temp_.path() + "/trace";
  const struct {
    std::string downloads;
    const char* behaviour;
    bool kept;
  } sweeps[] = {{dir_ + "/Download", "ends", true}, {shm, "ends", true}, {dir_ + "/Download", "crashes", false}};
  for (const auto& sweep : sweeps) {
    SCOPED_TRACE("download in " + sweep.downloads + ", a program that " + sweep.behaviour);
    const std::string new_program = StandIn() + StandInAsking(sweep.behaviour);
    const std::string& in_the_end = sweep.kept ? new_program : old_program;
    const auto prepare = [&] {
      TearDown();
      std::filesystem::remove_all(dir_);
      UseProgramDir(dir_);
      CopyFile(PLINDOR_SWAP_QUICK, tool());
      PutCurrent();
      MakeDirs(sweep.downloads + "/Program");
      if (sweep.downloads != dir_ + "/Download") symlink(sweep.downloads.c_str(), (dir_ + "/Download").c_str());
      PutDownloadOf(new_program);
    };
    prepare();
    ASSERT_EQ(RunAndWait({"/usr/bin/strace", "-qq", "-o", trace, tool()}),
              sweep.kept ? kExitLaunched : kExitNewUpdaterCannotRun);
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, int>> calls;
    std::istringstream lines(ReadFile(trace));
    bool own = false;
    for (std::string line; std::getline(lines, line);) {
      const std::string name = line.substr(0, line.find('('));
      if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != name.npos) continue;
      const int occurrence = ++seen[name];
      own = own || name == "close_range";
      if (own) calls.emplace_back(name, occurrence);
    }
    EXPECT_GT(calls.size(), 40u);
    for (const auto& [name, occurrence] : calls) {
      SCOPED_TRACE("killed at " + name + " #" + std::to_string(occurrence));
      prepare();
      RunAndWait({"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e",
                  "inject=" + name + ":signal=KILL:when=" + std::to_string(occurrence), tool()});
      const std::string left = ReadFile(current_);
      ASSERT_TRUE(left == old_program || left == new_program) << left.size() << " bytes";
      const int next = RunTool();
      EXPECT_TRUE(next == kExitLaunched || (!sweep.kept && next == kExitNewUpdaterCannotRun))
          << next << ": " << ReadFile(profile_);
      EXPECT_TRUE(HasContent(current_, in_the_end));
      EXPECT_TRUE(WaitForLastStartOf(in_the_end));
      // A run that finishes a killed one's swap ends there: a download not
      // yet removed is the run after's, which removes the installed one and
      // refuses the one that could not run.
      if (Exists(download_)) {
        EXPECT_EQ(RunTool(), sweep.kept ? kExitLaunched : kExitDownloadRefused);
      }
      EXPECT_TRUE(!sweep.kept || !Exists(download_));
      // The records' own copies a killed run left go once no writer can be
      // at them any more (LeftoversOfKilledRunsAreRemoved).
      std::set<std::string> entries;
      for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        const std::string name = entry.path().filename();
        if (name != "Server.ini" && name.rfind(".Server.ini.PlindorSwap-", 0) != 0) entries.insert(name);
      }
      EXPECT_EQ(entries, (std::set<std::string>{"PlindorSwap", "Plindor.exe", "Download", "starts.log",
                                                ".PlindorSwap.lock",
                                                sweep.kept ? "Plindor.exe.previous" : "Plindor.exe.could-not-run"}));
    }
  }
  TearDown();
  std::filesystem::remove_all(shm);
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
      // Made by runs holding the guard alone: any left is a leftover.
      {".Plindor.exe.PlindorSwap-zZ9x0R", false, true},
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

// Bad input: none of it may crash or hang the tool, and each ends the way
// the README and docs/behaviour.md say.

// What the downloader wrote is not what gets installed: the new updater
// has the current one's owner and mode, whoever owned the download and
// whatever its mode (set-user-ID, read-only, not executable), also from
// another file system; and a later update still goes through.
TEST_F(NativeRunTest, NewUpdaterHasTheCurrentOnesProtection) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the download to another user";
  const std::string shm = "/dev/shm/plindor-e2e-" + std::to_string(getpid());
  const struct {
    const char* what;
    mode_t mode;
    bool elsewhere;
  } cases[] = {
      {"set-user-ID, writable by all, on tmpfs", 04777, true},
      {"read-only", 0555, false},
      {"not executable", 0644, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.elsewhere) {
      if (!Exists("/dev/shm")) continue;
      MakeDirs(dir_ + "/Download");
      MakeDirs(shm);
      ASSERT_EQ(symlink(shm.c_str(), (dir_ + "/Download/Program").c_str()), 0);
    }
    PutCurrent();
    const std::string downloaded = PutDownload();
    ASSERT_EQ(chown(download_.c_str(), 65534, 65534), 0);
    chmod(download_.c_str(), c.mode);
    StartUpdater();
    for (const char* round : {"first", "again"}) {
      EXPECT_EQ(RunTool(), kExitLaunched) << round;
      struct stat info;
      ASSERT_EQ(stat(current_.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0755u) << round;
      EXPECT_EQ(info.st_uid, 0u) << round;
      EXPECT_FALSE(Exists(download_)) << round;
      WriteFile(download_, downloaded + round);
      chmod(download_.c_str(), 0644);
    }
    EXPECT_TRUE(HasContent(current_, downloaded + "first"));
    std::filesystem::remove_all(shm);
    std::filesystem::remove_all(dir_ + "/Download");
    TearDown();
  }
}

// What the swap would meet after the stop is known before it: an immutable
// or append-only Plindor.exe or program folder, no room for the new
// program. The running updater is not stopped, and nothing changes.
TEST_F(NativeRunTest, SwapThatCannotBeMadeStopsNothing) {
  const char* const frozen = "FalseCannot delete the current executable: Operation not permitted (error 1)";
  const struct {
    const char* what;
    const char* attribute;  // chattr's, on the file or the folder; none: a file size limit
    bool on_folder;
    const char* record;
  } cases[] = {
      {"immutable Plindor.exe", "i", false, frozen},
      {"append-only Plindor.exe", "a", false, frozen},
      {"append-only program folder", "a", true, frozen},
      {"no room for the new program", nullptr, false,
       "FalseCannot prepare the new program beside the current executable: File too large (error 27)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(profile_.c_str());
    PutCurrent();
    const std::string downloaded = PutDownload();
    const pid_t updater = StartUpdater();
    const std::string frozen_path = c.on_folder ? dir_ : current_;
    int code = -1;
    if (c.attribute == nullptr) {
      code = RunAndWait({"/usr/bin/prlimit", "--fsize=100000", tool()});
    } else if (RunAndWait({"/usr/bin/chattr", std::string("+") + c.attribute, frozen_path}) != 0) {
      std::cout << "skipped, no chattr attributes here: " << c.what << "\n";
      TearDown();
      continue;
    } else {
      code = RunTool();
      RunAndWait({"/usr/bin/chattr", std::string("-") + c.attribute, frozen_path});
    }
    EXPECT_EQ(code, kExitCurrentNotReplaceable);
    EXPECT_NE(waitpid(updater, nullptr, WNOHANG), updater) << "the running updater was stopped";
    EXPECT_EQ(RecordedKey(), c.record);
    EXPECT_TRUE(HasContent(current_, StandIn()));
    EXPECT_TRUE(HasContent(download_, downloaded));
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      EXPECT_EQ(entry.path().filename().string().rfind(".Plindor.exe.", 0), std::string::npos)
          << "a temporary file was left: " << entry.path();
    }
    TearDown();
  }
}

// Any local user may bind any abstract socket name, and lock any file they
// may open: a stranger (a user who may not write the folder) who holds the
// guard's name, listening on it or not, and every lock they can take (on the
// program folder, Plindor.exe, Server.ini: flocks and read locks) makes no
// run wait, and keeps out no record; a process of a user who may write the
// folder (root, its owner, its group where the group may write), as a run
// is, makes a run wait.
TEST_F(NativeRunTest, StrangersNamesAndLocksMakeNoRunWait) {
  if (geteuid() != 0 || !Exists("/usr/bin/python3")) GTEST_SKIP() << "needs root and python3";
  chmod(temp_.path().c_str(), 0755);
  struct stat folder;
  ASSERT_EQ(stat(dir_.c_str(), &folder), 0);
  char name[128];
  snprintf(name, sizeof name, "PlindorSwap-guard-%llx-%llx", static_cast<unsigned long long>(folder.st_dev),
           static_cast<unsigned long long>(folder.st_ino));
  const char* const hold =
      "import fcntl, os, socket, sys, time\n"
      "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
      "s.bind('\\0' + sys.argv[1])\n"
      "if sys.argv[2] == 'listen': s.listen(16)\n"
      "held = []\n"
      "for path in sys.argv[3:]:\n"
      "  fd = os.open(path, os.O_RDONLY)\n"
      "  fcntl.flock(fd, fcntl.LOCK_EX)\n"
      "  if not os.path.isdir(path): fcntl.lockf(fd, fcntl.LOCK_SH)\n"
      "  held.append(fd)\n"
      "time.sleep(60)\n";
  const struct {
    const char* who;
    bool stranger;
    const char* listening;
    uid_t owner = 0;
    bool group_may_write = false;  // the folder's group is nobody's, and may write it
    bool every_lock = false;       // and a download cut short, so that a record is written
    bool open_lock_file = false;   // the lock file left open to all, as by a folder once open to all
  } cases[] = {
      {"a stranger, listening", true, "listen"},
      {"a stranger, not listening", true, "bound"},
      {"a stranger holding the name and every lock", true, "listen", 0, false, true},
      {"a stranger holding the name and every lock, the lock file once open to all", true, "listen", 0, false,
       true, true},
      {"root, listening: a run", false, "listen"},
      {"a user of the folder's group, which may write it: a run", false, "listen", 0, true},
      {"the folder's owner, not root: a run", false, "listen", 65534},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    unlink(profile_.c_str());
    ASSERT_EQ(chown(dir_.c_str(), c.owner, c.group_may_write ? 65534 : 0), 0);
    chmod(dir_.c_str(), c.group_may_write ? 0775 : 0755);
    PutCurrent();
    PutDownload();
    WriteFile(profile_, "[Server]\n");
    chmod(profile_.c_str(), 0644);
    std::vector<std::string> holder = {"/usr/bin/python3", "-c", hold, name, c.listening};
    if (c.every_lock) {
      WriteFile(download_, StandIn().substr(0, 1000));
      holder.insert(holder.end(), {dir_, current_, profile_});
    }
    const std::string lock_file = dir_ + "/.PlindorSwap.lock";
    unlink(lock_file.c_str());
    if (c.open_lock_file) {
      WriteFile(lock_file, "");
      chmod(lock_file.c_str(), 0666);
      holder.push_back(lock_file);
    }
    if (c.stranger || c.group_may_write || c.owner != 0) {
      holder.insert(holder.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    const pid_t held = StartChild(holder);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/net/unix").find(std::string("@") + name) != std::string::npos; }));
    if (c.every_lock) {
      ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/locks").find("POSIX") != std::string::npos; }));
    }
    const pid_t tool_pid = StartTool(ToolCommand());
    int status = 0;
    if (c.stranger) {
      EXPECT_TRUE(WaitChild(tool_pid, status, 3)) << "the run waited for a stranger";
    } else {
      EXPECT_FALSE(WaitChild(tool_pid, status, 1)) << "the run did not wait for another run";
      kill(held, SIGKILL);
      EXPECT_TRUE(WaitChild(tool_pid, status, 10));
    }
    const int code = c.every_lock ? kExitDownloadRefused : kExitLaunched;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << status;
    if (c.every_lock) {
      EXPECT_NE(ReadFile(profile_).find("FalseCannot take the downloaded copy: it is cut short"), std::string::npos)
          << "a stranger's lock kept the record out";
    }
    kill(held, SIGKILL);
    WaitChild(held, status);
    TearDown();
  }
  chown(dir_.c_str(), 0, 0);
  chmod(dir_.c_str(), 0755);
}

// Whoever makes a link on the way to the download chooses where the way
// leads: the owner of Download/ who links Download/Program to another
// installation's program folder of the same release would have the run
// remove that installation's updater. A link is followed only where root or
// the program folder's owner made it; a stranger's refuses the download, and
// nothing beyond the link is touched.
TEST_F(NativeRunTest, LinkOnTheWayIsFollowedOnlyWhereRootOrTheFoldersOwnerMadeIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: links of another user's";
  const std::string other = temp_.path() + "/other installation";
  MakeDirs(other);
  const struct {
    const char* what;
    uid_t link_owner;
    bool same_release;  // the folder linked to holds this installation's program
    int code;
  } cases[] = {
      {"a stranger's link, to another installation of the same release", 65534, true, kExitDownloadRefused},
      {"root's link, to downloads elsewhere", 0, false, kExitLaunched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(profile_.c_str());
    PutCurrent();
    std::filesystem::remove_all(dir_ + "/Download");
    MakeDirs(dir_ + "/Download");
    ASSERT_EQ(chown((dir_ + "/Download").c_str(), c.link_owner, c.link_owner), 0);
    CopyFile(STAND_IN, other + "/Plindor.exe");
    if (!c.same_release) WriteFile(other + "/Plindor.exe", StandIn() + StandInAsking("ends"));
    const std::string theirs = ReadFile(other + "/Plindor.exe");
    ASSERT_EQ(symlink(other.c_str(), (dir_ + "/Download/Program").c_str()), 0);
    ASSERT_EQ(lchown((dir_ + "/Download/Program").c_str(), c.link_owner, c.link_owner), 0);
    EXPECT_EQ(RunTool(), c.code);
    if (c.code == kExitDownloadRefused) {
      EXPECT_EQ(RecordedKey(), "FalseCannot take the downloaded copy: a link on its way belongs to neither an "
                               "administrator nor the program folder's owner; the updater in place was started again");
      EXPECT_TRUE(HasContent(other + "/Plindor.exe", theirs)) << "the other installation's updater was touched";
      EXPECT_TRUE(HasContent(current_, StandIn()));
    } else {
      EXPECT_TRUE(HasContent(current_, theirs));
      EXPECT_FALSE(Exists(other + "/Plindor.exe"));
    }
    EXPECT_TRUE(WaitForStarts(1));
    TearDown();
    unlink((dir_ + "/starts.log").c_str());
  }
}

// A program folder whose path is close to PATH_MAX: Plindor.exe and
// Server.ini fit in it, the download's path does not. Every step works
// relative to the folder, and the swap goes through.
TEST_F(NativeRunTest, ProgramFolderNearPathMaxStillUpdates) {
  std::string dir = temp_.path();
  while (dir.size() < 4075 - 201) dir += "/" + std::string(200, 'd');
  dir += "/" + std::string(4075 - dir.size() - 1, 'e');
  ASSERT_EQ(dir.size(), 4075u);
  UseProgramDir(dir);
  PutCurrent();
  // The download, made a folder at a time: its path is too long to name.
  const int folder = open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(mkdirat(folder, "Download", 0755), 0);
  const int download_folder = openat(folder, "Download", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(mkdirat(download_folder, "Program", 0755), 0);
  const int program_folder = openat(download_folder, "Program", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int file = openat(program_folder, "Plindor.exe", O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
  const std::string downloaded = StandIn() + StandInAsking("ends");
  ASSERT_EQ(write(file, downloaded.data(), downloaded.size()), static_cast<ssize_t>(downloaded.size()));
  close(file);
  EXPECT_EQ(RunTool(), kExitLaunched);
  EXPECT_TRUE(HasContent(current_, downloaded));
  EXPECT_NE(faccessat(program_folder, "Plindor.exe", F_OK, 0), 0) << "the download was not removed";
  EXPECT_TRUE(WaitForStarts(1));
  close(program_folder);
  close(download_folder);
  close(folder);
}

// Two runs on one folder against the slowest holders a run waits for: a
// writer that keeps the download open and another writer of the profile
// that holds its lock, both past their bounds. The first run waits out each
// bound and ends; the second waits for it, and is never told that it did
// not finish in time. (The program built with every bound divided by 20.)
TEST_F(NativeRunTest, SecondRunOutwaitsTheSlowestFirstRun) {
  CopyFile(PLINDOR_SWAP_QUICK, tool());
  chmod(tool().c_str(), 0755);
  PutCurrent();
  PutDownload();
  WriteFile(profile_, "[Server]\n");
  const pid_t writer = HoldForWriting(download_, 3000);
  const pid_t locker = ForkChild([&] {
    const int fd = open(profile_.c_str(), O_RDWR | O_CLOEXEC);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &whole) != 0) _exit(1);
    usleep(3000 * 1000);
    _exit(0);
  });
  usleep(100 * 1000);
  const auto start = std::chrono::steady_clock::now();
  const pid_t first = StartTool(ToolCommand());
  usleep(20 * 1000);
  const pid_t second = StartTool(ToolCommand());
  int first_status = 0, second_status = 0;
  ASSERT_TRUE(WaitChild(first, first_status));
  const auto first_took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(WaitChild(second, second_status));
  EXPECT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == kExitDownloadRefused) << first_status;
  EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == kExitDownloadRefused)
      << second_status << " (6: it gave up waiting)";
  // The first waited out the writer's bound and the profile lock's.
  EXPECT_GE(first_took, std::chrono::milliseconds((3000 + 5000) / 20));
  int status = 0;
  WaitChild(writer, status);
  WaitChild(locker, status);
}

// The bytes swapped are the bytes checked: a writer that changes the
// download in place while the updater is stopped (same length, same file)
// changes nothing that is installed.
TEST_F(NativeRunTest, DownloadChangedDuringThePauseIsNotWhatIsInstalled) {
  PutCurrent();
  const std::string downloaded = PutDownload();
  const pid_t updater = StartUpdater();
  const pid_t tool_pid = StartTool(ToolCommand());
  // Once the updater is stopped, the tool is in its pause.
  ASSERT_TRUE(WaitUntil([&] { return waitpid(updater, nullptr, WNOHANG) == updater; }));
  const int writer = open(download_.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(pwrite(writer, "XYZ", 3, 100), 3);
  close(writer);
  int status = 0;
  ASSERT_TRUE(WaitChild(tool_pid, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitLaunched) << status;
  EXPECT_TRUE(HasContent(current_, downloaded));
}

// The system failing the download's reads, the rename or the download's
// removal (a failing disk, a network share gone): the run ends with that
// failure recorded and an updater running, a stranger's process named like
// the updater (a copy of sleep, run from their own folder) notwithstanding. A read error is no verdict on
// bytes never read; a failed rename is not blamed on the current executable;
// a download that cannot be removed after the swap leaves the swap done.
// strace -P fails only the download's calls, not the loader's; the swap's
// rename and the download's removal are the run's only renameat and
// unlinkat.
TEST_F(NativeRunTest, DownloadThatTheSystemFailsIsRecordedAndBothFilesKept) {
  const struct {
    const char* injected;
    bool download_only;  // injected into the download's calls alone
    int exit_code;
    const char* record;
    bool swapped;
  } cases[] = {
      {"inject=pread64:error=EIO", true, kExitDownloadRefused,
       "FalseCannot take the downloaded copy: cannot read it: Input/output error (error 5); "
       "the updater in place was started again", false},
      // The third rename and the third removal: the previous program kept
      // (its temporary name and a stale signature removed) and the new one
      // marked come first.
      {"inject=renameat:error=EIO:when=3", false, kExitDownloadNotPlaced,
       "FalseCannot move the downloaded copy into place: Input/output error (error 5); "
       "the updater in place was started again", false},
      {"inject=unlinkat:error=EIO:when=3", false, kExitDownloadNotRemoved,
       "FalseCannot remove the downloaded copy after the swap: Input/output error (error 5)", true},
  };
  const std::string stranger = temp_.path() + "/stranger/Plindor.exe";
  MakeDirs(temp_.path() + "/stranger");
  CopyFile("/bin/sleep", stranger);
  chmod(stranger.c_str(), 0755);
  chmod(temp_.path().c_str(), 0755);
  std::vector<std::string> decoy = {stranger, "60"};
  if (geteuid() == 0) decoy.insert(decoy.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.injected);
    TearDown();  // each run ends with an updater started
    unlink(profile_.c_str());
    unlink((dir_ + "/starts.log").c_str());
    PutCurrent();
    const std::string downloaded = PutDownload();
    const pid_t decoy_pid = StartChild(decoy);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/" + std::to_string(decoy_pid) + "/comm") == "Plindor.exe\n"; }));
    std::vector<std::string> command = {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", c.injected};
    if (c.download_only) command.insert(command.end(), {"-P", download_});
    command.push_back(tool());
    EXPECT_EQ(RunAndWait(command), c.exit_code);
    EXPECT_EQ(RecordedKey(), c.record);
    EXPECT_TRUE(HasContent(current_, c.swapped ? downloaded : StandIn()));
    EXPECT_TRUE(HasContent(download_, downloaded));
    EXPECT_TRUE(WaitForStarts(1)) << "no updater runs";
    EXPECT_EQ(StartCount(), 1u);
    int status = 0;
    EXPECT_FALSE(WaitChild(decoy_pid, status, 0)) << "the stranger's process was stopped";
    // A download left after the swap is the current program now: the next
    // run only removes it.
    if (c.swapped) {
      EXPECT_EQ(RunTool(), kExitLaunched);
      EXPECT_FALSE(Exists(download_));
    }
  }
}

// A search that fails for another reason than "not found" is no "no
// download": it is recorded (permission bits do not stop root, whose swap
// goes ahead; the folder's owner's run is refused).
TEST_F(NativeRunTest, UnreadableDownloadFolderFailsTheSearchUnlessRoot) {
  PutCurrent();
  PutDownload();
  const std::string downloaded = ReadFile(download_);
  chmod((dir_ + "/Download/Program").c_str(), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(RunTool(), kExitLaunched);
    EXPECT_TRUE(HasContent(current_, downloaded));
    // The folder's owner, not root.
    chmod(temp_.path().c_str(), 0755);
    WriteFile(download_, downloaded);
    std::filesystem::remove(profile_);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
      lchown(entry.path().c_str(), 65534, 65534);
    }
    chown(dir_.c_str(), 65534, 65534);
    chmod((dir_ + "/Download/Program").c_str(), 0);
  }
  const std::vector<std::string> as_owner = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                             tool()};
  EXPECT_EQ(geteuid() == 0 ? RunAndWait(as_owner) : RunTool(), kExitSearchFailed);
  chmod((dir_ + "/Download/Program").c_str(), 0755);
  EXPECT_EQ(RecordedKey(), "FalseCannot search for the downloaded copy: Permission denied (error 13); "
                           "the updater in place was started again");
  EXPECT_TRUE(HasContent(download_, downloaded));
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
       "[Tovalane]\n  FalseCannot launch the updater: No such file or directory (error 2)  =  old  \n"},
      {"10,000-character lines", "[A]\nk=" + long_line + "\n;" + long_line + "\n"},
      {"comments and blank lines", "; top\n\n[Tovalane]\n; note\n\n[Z]\n"},
      {"UTF-16 LE", Utf16Bytes("[A]\r\nk=v\r\n[Tovalane]\r\nFalseOld=1\r\n")},
      {"UTF-16 BE", Utf16Bytes("[A]\nk=v", true)},
      {"a server's settings",
       "; settings of the server\r\n[Server]\r\nHost = example\r\n\r\n[Tovalane]\r\n"
       "FalseOld=2020-01-01 00:00:00\r\n\r\n[Last]\r\nk=v"},
  };
  const std::string key = "FalseCannot launch the updater: No such file or directory (error 2)";
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.what);
    WriteFile(profile_, layout.content);
    chmod(profile_.c_str(), 0640);
    EXPECT_EQ(RunTool(), kExitLaunchFailed);
    EXPECT_EQ(ModeOf(profile_), 0640u);
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
      "/usr/bin/prlimit", "--fsize=" + std::to_string(limited_size), tool()};
  const std::vector<std::string> past_size_limit = {
      "/usr/bin/prlimit", "--fsize=" + std::to_string(limited_size + 5), tool()};
#ifdef __SANITIZE_ADDRESS__
  const std::vector<std::string> limited = {tool()};
  const std::map<std::string, std::string> limited_env = {
      {"ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=16"}};
#else
  const std::vector<std::string> limited = {"/usr/bin/prlimit", "--as=150000000", tool()};
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
       S_IFREG, 11, {tool()}, no_env},
      {"directory", [&] { MakeDirs(profile_); }, S_IFDIR, -1, {tool()}, no_env},
      {"FIFO", [&] { mkfifo(profile_.c_str(), 0644); }, S_IFIFO, -1, {tool()}, no_env},
      {"link to a FIFO",
       [&] { mkfifo(fifo.c_str(), 0644), symlink(fifo.c_str(), profile_.c_str()); }, S_IFIFO,
       -1, {tool()}, no_env},
      {"sparse, 64 GiB", [&] { sized(64ll << 30); },
       S_IFREG, 64ll << 30, {tool()}, no_env},
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
