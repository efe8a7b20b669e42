// The Wine driver of the end-to-end scenarios: the Windows program for real,
// run under Wine in a temporary program directory beside a Windows stand-in
// updater of the tests' own. It runs the shared list (e2e_scenarios.cpp) and
// the cases only Windows has, once for each build: "win64" under wine64, and
// "win32", the shipped program itself, under the 32-bit loader (or Wine's
// wow64 mode where 32-bit Linux programs cannot run).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "run/frm_copy.h"
#include "tests/e2e_run.h"

namespace {

const std::string kWine64 = "/usr/lib/wine/wine64";
const std::string kWineServer = "/usr/lib/wine/wineserver";
// Exit code by which ctest knows a suite did not run.
constexpr int kSkipped = 77;

std::map<std::string, std::string> wine_env;

// One Windows build of the tests and how its programs are started here.
struct WindowsBuild {
  std::string name, dir;
  std::vector<std::string> loader;  // empty: its programs cannot run here
  std::map<std::string, std::string> loader_env;

  std::string tool() const { return dir + "/PlindorSwap.exe"; }
  std::string stand_in() const { return dir + "/tests/stand_in_updater.exe"; }
  std::string file_holder() const { return dir + "/tests/file_holder.exe"; }
  std::string model_test() const { return dir + "/tests/windows_model_test.exe"; }
  // Now and then (one start from here in a few hundred, under load) Wine
  // ends a program at once with 1 and not a word, before any of its code
  // has run. No program of the suite ends with 1 of its own, so such a
  // start is made again, twice at most, and said.
  std::vector<std::string> Command(const std::string& program) const {
    std::vector<std::string> command = {
        "/bin/sh", "-c",
        "for again in yes yes no; do \"$@\"; code=$?; [ $code -ne 1 ] || [ $again = no ] && exit $code; "
        "echo \"Wine ended $* at once with 1: starting it again\" >&2; done",
        "wine-start"};
    for (const std::string& word : LoaderCommand(program)) command.push_back(word);
    return command;
  }
  // The loader named outright: one that cannot run at all says why.
  std::vector<std::string> LoaderCommand(const std::string& program) const {
    std::vector<std::string> command = loader;
    command.push_back(program);
    return command;
  }
  std::map<std::string, std::string> Env() const {
    std::map<std::string, std::string> env = wine_env;
    for (const auto& [name, value] : loader_env) env[name] = value;
    return env;
  }
};

WindowsBuild win64{"win64", PLINDOR_WIN64_DIR, {kWine64}, {}};
WindowsBuild win32{"win32", PLINDOR_WIN32_DIR, {}, {}};
// The build this run of the suite is about.
WindowsBuild* suite = &win64;
std::string skip_reason;

// Whether the 32-bit program runs with this loader: in an empty folder it
// must end with the launch failure. Empty when it does; else why not.
std::string TryLoader(WindowsBuild& build) {
  TempDir probe("plindor-wine-probe");
  CopyFile(build.tool(), probe.path() + "/PlindorSwap.exe");
  try {
    int code = RunAndWait(build.LoaderCommand(probe.path() + "/PlindorSwap.exe"), 120, build.Env());
    if (code == kExitLaunchFailed) return "";
    return "the program ended with " + std::to_string(code);
  } catch (const std::exception& error) {
    return error.what();
  }
}

// The 32-bit loader where it works; else Wine's wow64 mode, which runs
// 32-bit code inside wine64 where 32-bit Linux programs cannot run. Chosen
// once and printed; empty loader when neither works.
void ChooseWin32Loader() {
  const char* override_path = getenv("PLINDOR_WINE32_LOADER");
  const std::string loader32 = override_path ? override_path : "/usr/lib/wine/wine";
  win32.loader = {loader32};
  std::string why_not_loader = TryLoader(win32);
  if (why_not_loader.empty()) {
    std::cout << "Wine 32-bit: " << loader32 << " (the 32-bit loader)" << std::endl;
    return;
  }
  win32.loader = {kWine64};
  win32.loader_env = {{"WINEDLLPATH", "/usr/lib/i386-linux-gnu/wine"}};
  std::string why_not_wow64 = TryLoader(win32);
  if (why_not_wow64.empty()) {
    std::cout << "Wine 32-bit: wow64 mode, " << kWine64
              << " with WINEDLLPATH=/usr/lib/i386-linux-gnu/wine (" << loader32 << ": "
              << why_not_loader << ")" << std::endl;
    return;
  }
  win32.loader.clear();
  skip_reason = "no way to run 32-bit Windows programs here: " + loader32 + ": " +
                why_not_loader + "; wow64 mode: " + why_not_wow64;
  std::cout << "Wine 32-bit: skipped, " << skip_reason << std::endl;
}

// One prefix and one persistent Wine server for the whole run: the first
// start in a fresh prefix takes seconds, later ones a fraction of that.
class WineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string said;
    for (int attempt = 1; attempt <= kPrefixAttempts; ++attempt) {
      if (StartWineInFreshPrefix(said)) break;
      std::cout << "wine64 could not start a program in a fresh prefix (attempt " << attempt
                << " of " << kPrefixAttempts << "); Wine said:\n" << said << std::endl;
      ASSERT_LT(attempt, kPrefixAttempts) << "wine64 cannot start programs in a fresh prefix";
      StopOurWineServer();
      spent_prefixes_.push_back(std::move(prefix_));
    }
    if (suite == &win32) {
      ChooseWin32Loader();
      if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    }
    std::cout << "Windows program: " << suite->tool() << std::endl;
  }
  void TearDown() override {
    StopOurWineServer();
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    prefix_.reset();
    spent_prefixes_.clear();
  }

 private:
  // Wine's first start builds the prefix. Once, in CI, it ended at once with
  // 1 and not a word under WINEDEBUG=-all; so a failed start is tried again
  // in another prefix (the spent ones stay until the end, so that no new one
  // takes their inode), with Wine's errors shown.
  static constexpr int kPrefixAttempts = 3;

  bool StartWineInFreshPrefix(std::string& said) {
    prefix_ = std::make_unique<TempDir>("plindor-wineprefix");
    wine_env = {{"WINEPREFIX", prefix_->path()},
                {"WINEDEBUG", "-all"},
                {"WINEARCH", "win64"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                {"DISPLAY", ""}};
    const std::string log = prefix_->path() + ".first-start.log";
    std::map<std::string, std::string> env = wine_env;
    env["WINEDEBUG"] = "err+all,fixme-all";
    const int server = RunAndWait({kWineServer, "-p"}, 60, wine_env);
    const int first = RunAndWait({"/bin/sh", "-c", "exec \"$0\" cmd /c exit >\"$1\" 2>&1",
                                  kWine64, log}, 300, env);
    said = "wineserver -p: " + std::to_string(server) + "; wine64 cmd /c exit: " +
           std::to_string(first) + "\n" + (Exists(log) ? ReadFile(log) : "");
    std::remove(log.c_str());
    return server == 0 && first == 0;
  }

  // Only the server of the prefix this suite made.
  static void StopOurWineServer() {
    RunAndWait({kWineServer, "-k"}, 60, wine_env);
    RunAndWait({kWineServer, "-w"}, 60, wine_env);
  }

  std::unique_ptr<TempDir> prefix_;
  std::vector<std::unique_ptr<TempDir>> spent_prefixes_;
};

std::string WindowsPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Live (not zombie) Linux processes of this run's stand-ins and decoys: Wine
// names each process's Linux side after its executable. Processes of other
// Wine prefixes on the machine are not ours to wait for.
int LiveStandIns() {
  const std::string our_prefix = "WINEPREFIX=" + wine_env["WINEPREFIX"];
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string stat = ReadFile(entry.path().string() + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
      continue;
    }
    std::string comm = stat.substr(open + 1, close - open - 1);
    for (char& c : comm) c = static_cast<char>(tolower(c));
    if (comm.rfind("plindor.exe", 0) != 0 && comm != "program.exe" && comm != "app.exe") continue;
    if (stat[close + 2] == 'Z') continue;
    std::string environ = ReadFile(entry.path().string() + "/environ");
    std::replace(environ.begin(), environ.end(), '\0', '\n');
    if (("\n" + environ).find("\n" + our_prefix + "\n") != std::string::npos) ++live;
  }
  return live;
}

// The builds whose tool and stand-in the program directory gets: this
// suite's own, unless a case mixes the two.
const WindowsBuild* tool_build = suite;
const WindowsBuild* updater_build = suite;

// Starts the file holder on `path` in `mode` for `ms`; returns once it holds.
pid_t StartFileHolder(const std::string& path, int ms, const std::string& mode, const std::string& after = "") {
  unlink((path + ".held").c_str());
  std::vector<std::string> hold = suite->Command(suite->file_holder());
  hold.insert(hold.end(), {WindowsPath(path), std::to_string(ms), mode});
  // One that grabs it holds it later, once the process `after` has ended.
  if (mode == "grab") {
    hold.push_back(after);
    return StartChild(hold, suite->Env());
  }
  pid_t holder = StartChild(hold, suite->Env());
  EXPECT_TRUE(WaitUntil([&] { return Exists(path + ".held"); })) << "the file was not held";
  unlink((path + ".held").c_str());
  return holder;
}

// The launch as the run must make it: the program named outright with a
// quoted command line and no arguments, minimized and active.
void ExpectLaunchedMinimized(StartRecord start, const std::string& current) {
  EXPECT_EQ(start["show_flag"], "1");
  EXPECT_EQ(start["show"], "2");
  EXPECT_EQ(start["cmdline"], "\"" + WindowsPath(current) + "\"");
}

// Added to the environment of the next run of the tool alone.
std::map<std::string, std::string> next_run_env;

// The vendor's and a stranger's code-signing certificates with their keys,
// made once for the suite; one more, in the vendor's name, chained to
// nothing Windows trusts is left to the unit table: Wine trusts every chain.
std::string SigningFile(const std::string& who, const char* kind) {
  static TempDir keys("plindor-keys");
  static const bool made = [] {
    for (const auto& [name, subject] : {std::pair<const char*, const char*>{"vendor", "/CN=Plindor test vendor/O=Plindor test"},
                                        {"stranger", "/CN=Stranger"}}) {
      const std::string base = keys.path() + "/" + name;
      EXPECT_EQ(RunQuietly({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", subject, "-addext", "extendedKeyUsage=codeSigning", "-keyout",
                            base + ".key", "-out", base + ".pem"}),
                0);
    }
    return true;
  }();
  (void)made;
  return keys.path() + "/" + who + kind;
}

// Signs the file in place with osslsigncode, as scripts/sign does.
void Authenticode(const std::string& file, const std::string& signer,
                  const std::vector<std::string>& extra = {}) {
  std::vector<std::string> command = {"osslsigncode", "sign", "-certs", SigningFile(signer, ".pem"),
                                      "-key", SigningFile(signer, ".key"), "-h", "sha256"};
  command.insert(command.end(), extra.begin(), extra.end());
  command.insert(command.end(), {"-in", file, "-out", file + ".signed"});
  EXPECT_EQ(RunQuietly(command), 0);
  EXPECT_EQ(rename((file + ".signed").c_str(), file.c_str()), 0);
}

// Sets the file version of the stand-in's version information to
// 1.<release>.0.0, as a build of that release would have it.
void SetFileVersion(const std::string& path, int release) {
  std::string bytes = ReadFile(path);
  const size_t info = bytes.find("\xBD\x04\xEF\xFE");
  ASSERT_NE(info, std::string::npos) << "no VS_FIXEDFILEINFO in " << path;
  const uint32_t high = 0x10000u | static_cast<uint32_t>(release);
  for (int i = 0; i < 4; ++i) {
    bytes[info + 8 + i] = static_cast<char>(high >> (8 * i));
    bytes[info + 12 + i] = 0;
  }
  WriteFile(path, bytes);
}

}  // namespace

void E2eRun::SignCurrent(int release) {
  SetFileVersion(current_, release);
  Authenticode(current_, "vendor");
}

void E2eRun::SignDownload(const std::string& signer, int release) {
  PutDownload();
  SetFileVersion(download_, release);
  Authenticode(download_, signer);
}

std::string E2eRun::ReleaseText(int release) { return "1." + std::to_string(release) + ".0.0"; }

// Without a box: the new program's start fails critical errors itself.
std::vector<E2eRun::CannotRun> E2eRun::ProgramsThatCannotRun() {
  return {
      {"imports a DLL that does not exist",
       [](const std::string& s) { return WithOneNameChanged(s, "msvcrt.dll", "msvcrX.dll"); },
       "it ended at once with 0xc0000135"},
      {"raises an access violation at start", [](const std::string& s) { return s + StandInAsking("crashes"); },
       "it ended at once with 0xc0000005"},
      {"aborts at start", [](const std::string& s) { return s + StandInAsking("aborts"); },
       "it ended at once with exit code 3"},
  };
}

std::vector<E2eRun::SignatureCase> E2eRun::PlatformSignatureCases() {
  const std::string another = "it is signed by another publisher (common name Stranger, key ";
  return {
      {"bytes after the signature",
       [](E2eRun& t) { WriteFile(t.download_, ReadFile(t.download_) + "dropped"); },
       "it carries bytes after its signature"},
      {"another's primary signature, the vendor's nested",
       [](E2eRun& t) {
         t.SignDownload("stranger", 2);
         Authenticode(t.download_, "vendor", {"-nest"});
       },
       another},
      {"another's signature, the vendor's certificate in its bag",
       [](E2eRun& t) {
         t.PutDownload();
         SetFileVersion(t.download_, 2);
         Authenticode(t.download_, "stranger", {"-ac", SigningFile("vendor", ".pem")});
       },
       another},
      {"another of the vendor's programs, named so in its version information",
       [](E2eRun& t) {
         t.PutDownload();
         SetFileVersion(t.download_, 2);
         std::string bytes = ReadFile(t.download_);
         const std::string name("P\0l\0i\0n\0d\0o\0r\0.\0e\0x\0e\0", 22);
         const size_t at = bytes.find(name);
         ASSERT_NE(at, std::string::npos) << "no OriginalFilename in the stand-in";
         bytes.replace(at, name.size(), std::string("A\0n\0o\0t\0h\0e\0r\0.\0e\0x\0e\0", 22));
         WriteFile(t.download_, bytes);
         Authenticode(t.download_, "vendor");
       },
       "it is another of its publisher's files (Another.exe, not Plindor.exe)"},
      {"the current program's signature damaged",
       [](E2eRun& t) {
         std::string current = ReadFile(t.current_);
         // The signature's DER length, just after its WIN_CERTIFICATE header.
         const size_t table = current.rfind(std::string("\x00\x02\x02\x00\x30\x82", 6));
         ASSERT_NE(table, std::string::npos);
         current[table + 5] ^= 0x7f;
         WriteFile(t.current_, current);
       },
       "the current updater's signature cannot be read: "},
      // Wine told to prefer a wintrust.dll of the program's own to its
      // builtin one: the tool loads System32's, and this one never.
      {"a wintrust.dll beside the tool",
       [](E2eRun& t) {
         WriteFile(t.dir_ + "/wintrust.dll", "MZ not a library");
         next_run_env["WINEDLLOVERRIDES"] = "wintrust=n,b";
       },
       ""},
  };
}

const char* const kReasonNotFound = "The system cannot find the file specified (error 2)";
const char* const kReasonReadOnly = "Access is denied (error 5)";
const char* const kReasonIsADirectory = "Access is denied (error 5)";
// A writer shuts out the run's own open, which shares no writing.
const char* const kReasonWrittenByAnother = "cannot open it: ";
const bool kOnWindows = true;

void E2eRun::SetUp() {
  tool_build = updater_build = suite;
  UseProgramDir(temp_.path() + "/prog");
}

void E2eRun::TearDown() { StopStandIns(temp_.path()); }

// Every stand-in and decoy watches for a "stop" file beside it; waits until
// all have gone, so that none is found by the next case.
void E2eRun::StopStandIns(const std::string& root) {
  std::vector<std::string> stops = {root + "/stop"};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_directory()) stops.push_back(entry.path().string() + "/stop");
  }
  for (const std::string& stop : stops) WriteFile(stop, "");
  int status = 0;
  bool stopped = WaitUntil([&] {
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    return LiveStandIns() == 0;
  });
  if (!stopped) {
    ADD_FAILURE() << "stand-ins still running; stopping the Wine server";
    RunAndWait({kWineServer, "-k"}, 60, wine_env);
    RunAndWait({kWineServer, "-p"}, 60, wine_env);
  }
  for (const std::string& stop : stops) unlink(stop.c_str());
}

void E2eRun::UseProgramDir(const std::string& dir) {
  dir_ = dir;
  MakeDirs(dir_);
  CopyFile(tool_build->tool(), dir_ + "/PlindorSwap.exe");
  current_ = dir_ + "/Plindor.exe";
  download_ = dir_ + "/Download/Program/Plindor.exe";
  profile_ = dir_ + "/Server.ini";
}

std::string E2eRun::StandIn() const { return ReadFile(updater_build->stand_in()); }

void E2eRun::PutCurrent(const std::string& name) {
  CopyFile(updater_build->stand_in(), dir_ + "/" + name);
}

std::string E2eRun::PutDownloadOf(const std::string& bytes) {
  MakeDirs(dir_ + "/Download/Program");
  WriteFile(download_, bytes);
  return bytes;
}

pid_t E2eRun::StartUpdater(const std::string& name) {
  const std::string exe = dir_ + "/" + name, folder = exe.substr(0, exe.rfind('/'));
  const size_t before = ReadStarts(folder).size();
  pid_t pid = StartChild(updater_build->Command(exe), updater_build->Env());
  if (!WaitUntil([&] { return ReadStarts(folder).size() > before; })) {
    int status = 0;
    ADD_FAILURE() << "the stand-in recorded no start; "
                  << (waitpid(pid, &status, WNOHANG) == pid ? "it ended, status " + std::to_string(status)
                                                            : std::string("it still runs"));
  }
  EXPECT_GT(LiveStandIns(), 0) << "the clean-up would not see this stand-in";
  return pid;
}

pid_t E2eRun::HoldForWriting(const std::string& path, int ms) {
  return StartFileHolder(path, ms, "write");
}

std::vector<std::string> E2eRun::ToolCommand() const {
  return tool_build->Command(dir_ + "/PlindorSwap.exe");
}

pid_t E2eRun::StartTool(const std::vector<std::string>& command) {
  return StartChild(command, tool_build->Env());
}

int E2eRun::RunTool() {
  std::map<std::string, std::string> env = tool_build->Env();
  for (const auto& [name, value] : next_run_env) env[name] = value;
  next_run_env.clear();
  int code = RunAndWait(ToolCommand(), 120, env);
  if (code != kExitLaunched && Exists(profile_)) {
    std::cerr << "exit " << code << ", Server.ini:\n" << ReadFile(profile_);
  }
  return code;
}


void E2eRun::ExpectLaunchOfCurrent(size_t index) {
  const std::vector<StartRecord> starts = ReadStarts(dir_);
  ASSERT_GT(starts.size(), index);
  ExpectLaunchedMinimized(starts[index], current_);
}

// Half the rounds start the two runs by two spellings of one folder, C:\...
// and Z:\...\drive_c\...: the guard is the folder's, not its spelling's.
std::vector<E2eRun::TwoRuns> E2eRun::TwoRunsAtOnce() {
  const std::string name = "plindor-" + std::to_string(getpid());
  UseProgramDir(wine_env["WINEPREFIX"] + "/drive_c/" + name);
  const std::vector<std::string> on_c = tool_build->Command("C:\\" + name + "\\PlindorSwap.exe");
  // Wine names a Unix path under the prefix by its C: drive: the other
  // spelling is given as Z:\... outright.
  const std::vector<std::string> on_z = tool_build->Command(WindowsPath(dir_ + "/PlindorSwap.exe"));
  return {{"one spelling", 4, true, on_c, on_c}, {"two spellings", 4, true, on_c, on_z}};
}

std::vector<E2eRun::NoDownload> E2eRun::NoDownloadKinds() {
  const auto with_attribute = [](const char* attribute) {
    return [attribute](E2eRun& t) {
      t.PutDownload();
      ASSERT_EQ(RunAndWait({kWine64, "cmd", "/c", "attrib", attribute, WindowsPath(t.download_)},
                           60, wine_env),
                0);
    };
  };
  return {{"hidden", with_attribute("+h")}, {"system", with_attribute("+s")}};
}

namespace {

// The one updater the folder holds, in whichever letter case Wine kept its
// name (Windows matches names without regard to case).
std::string TheUpdaterIn(const std::string& dir) {
  std::string found = "(none)";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    for (char& c : name) c = static_cast<char>(tolower(c));
    if (name != "plindor.exe") continue;
    found = found == "(none)" ? ReadFile(entry.path().string()) : "(more than one)";
  }
  return found;
}

// The cases only Windows has.
class WineRunTest : public E2eRun {
 public:
  // A program directory with the tool of `tool`, and updaters of `updater`.
  void UseProgramDir(const std::string& dir, const WindowsBuild& tool,
                     const WindowsBuild& updater) {
    tool_build = &tool;
    updater_build = &updater;
    E2eRun::UseProgramDir(dir);
  }
  using E2eRun::UseProgramDir;

  void ExpectLaunchedMinimized(const StartRecord& start) {
    ::ExpectLaunchedMinimized(start, current_);
  }
};

// On a 64-bit Windows the 32-bit program meets 64-bit updaters as well as
// 32-bit ones: it stops and launches both.
TEST_F(WineRunTest, RunningUpdaterIsFoundInAnyLetterCaseStoppedAndReplaced) {
  std::vector<const WindowsBuild*> updaters = {suite};
  if (suite == &win32) updaters.push_back(&win64);
  for (const WindowsBuild* updater : updaters) {
    for (const std::string name : {"plindor.exe", "PLINDOR.EXE", "Plindor.Exe"}) {
      SCOPED_TRACE(name + ", " + updater->name + " updater");
      TempDir case_dir("plindor-wine-case");
      UseProgramDir(case_dir.path() + "/prog", *suite, *updater);
      PutCurrent(name);
      const std::string downloaded = PutDownload();
      pid_t running = StartUpdater(name);

      EXPECT_EQ(RunTool(), kExitLaunched);
      int status = 0;
      ASSERT_TRUE(WaitChild(running, status));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not terminated with code 0";
      EXPECT_EQ(TheUpdaterIn(dir_), downloaded);
      EXPECT_FALSE(Exists(download_));
      ASSERT_TRUE(WaitForStarts(2));
      ExpectLaunchedMinimized(ReadStarts(dir_)[1]);
      EXPECT_FALSE(Exists(profile_));

      EXPECT_EQ(RunTool(), kExitLaunched);
      ASSERT_TRUE(WaitForStarts(3));
      EXPECT_EQ(TheUpdaterIn(dir_), downloaded);
      EXPECT_FALSE(Exists(profile_));
      StopStandIns(case_dir.path());
    }
  }
}

// Another process (a scanner, an indexer, a backup agent) holds a file with
// share mode 0 from just before the run: a short hold is waited out and the
// run completes; a long one fails the run with its record once the bound of
// a few seconds is over, the download still in place. A scanner that lets
// go of the download for the check and would take it again while the
// updater is stopped finds it held by the run until it is in place.
TEST_F(WineRunTest, FilesHeldByAnotherProcessAreWaitedForWithinABound) {
  enum Held { kCurrent, kDownload, kProfile };
  const struct {
    const char* what;
    Held held;
    int hold_ms;
    int code;
    const char* record;  // the step of the record, or empty for none
    const char* mode = "read";
    bool updater_running = false;
    const char* then_record = "";  // the step of a second record
    int bounds = 1;                // how many steps wait out their bound
  } cases[] = {
      {"current executable, 700 ms", kCurrent, 700, kExitLaunched, ""},
      {"download, 700 ms", kDownload, 700, kExitLaunched, ""},
      // Its signature cannot be read: nothing is stopped. The updater in
      // place is started again, as after any failure; held so, its start
      // waits out the bound too, and fails.
      {"current executable, past the bound", kCurrent, 8000, kExitLaunchFailed,
       "Cannot take the downloaded copy", "read", false, "Cannot launch the updater", 2},
      {"download, past the bound", kDownload, 8000, kExitDownloadRefused,
       "Cannot take the downloaded copy"},
      {"Server.ini during a failing run, 700 ms", kProfile, 700, kExitLaunchFailed,
       "Cannot launch the updater"},
      {"download let go and taken again", kDownload, 5000, kExitLaunched, "", "cycle", true},
      // Windows 10 1709 renames over it with POSIX semantics (shown in the
      // model); Wine has no such rename, and the older one is refused after
      // the stop: the updater in place is started again.
      {"current executable with delete sharing, past the bound", kCurrent, 6000,
       kExitCurrentNotReplaceable, "Cannot delete the current executable", "share-delete", true},
      // Taken the moment the updater is stopped and let go after the
      // rename's bound: the restart waits for it, and an updater runs.
      {"current executable taken at the stop, past the rename's bound", kCurrent, 4400,
       kExitCurrentNotReplaceable, "Cannot delete the current executable", "grab", true},
  };
  const auto bound = std::chrono::seconds(3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir case_dir("plindor-wine-case");
    UseProgramDir(case_dir.path() + "/prog");
    std::string downloaded;
    if (c.held != kProfile) {
      PutCurrent();
      downloaded = PutDownload();
    }
    WriteFile(profile_, "[Server]\r\nHost=example\r\n");
    const std::string held = c.held == kCurrent ? current_ : c.held == kDownload ? download_ : profile_;
    if (c.updater_running) StartUpdater();
    pid_t holder = StartFileHolder(held, c.hold_ms, c.mode, c.updater_running ? ReadStarts(dir_).back()["pid"] : "");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTool(), c.code);
    const auto took = std::chrono::steady_clock::now() - start;
    int status = 0;
    EXPECT_TRUE(WaitChild(holder, status, 30));
    if (c.hold_ms > 3000 && !c.updater_running) {
      EXPECT_GE(took, bound * c.bounds);
      EXPECT_LT(took, bound * c.bounds + std::chrono::milliseconds(2500)) << "waited far past the bound";
    }
    std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
    EXPECT_EQ(entries.at(0), (IniEntry{"Server", "Host", "example"}));
    if (c.record[0] == '\0') {
      EXPECT_EQ(entries.size(), 1u) << ReadFile(profile_);
    } else {
      ASSERT_EQ(entries.size(), c.then_record[0] == '\0' ? 2u : 3u) << ReadFile(profile_);
      EXPECT_EQ(entries[1].key.rfind("False" + std::string(c.record) + ": ", 0), 0u) << entries[1].key;
      EXPECT_TRUE(IsRecentTimestamp(entries[1].value));
      if (c.then_record[0] != '\0') {
        EXPECT_EQ(entries[2].key.rfind("False" + std::string(c.then_record) + ": ", 0), 0u) << entries[2].key;
      }
    }
    if (c.held != kProfile) {
      EXPECT_EQ(Exists(download_), c.code != kExitLaunched);
      EXPECT_TRUE(HasContent(c.code == kExitLaunched ? current_ : download_, downloaded));
    }
    StopStandIns(case_dir.path());
  }
}

TEST_F(WineRunTest, WithTwoUpdatersRunningOnlyTheFirstIsStopped) {
  PutCurrent();
  const std::string downloaded = PutDownload();
  pid_t first = StartUpdater();
  pid_t second = StartUpdater();

  // The second still holds the executable, so the deletion fails.
  EXPECT_EQ(RunTool(), kExitCurrentNotReplaceable);
  int status = 0;
  ASSERT_TRUE(WaitChild(first, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(WaitChild(second, status, 1)) << "the second updater was stopped too";
  ExpectRecordOf("Cannot delete the current executable");
  EXPECT_TRUE(HasContent(download_, downloaded));
  EXPECT_EQ(ReadStarts(dir_).size(), 2u) << "something was launched";
}

TEST_F(WineRunTest, FolderWithSpacesNeverStartsTheDecoy) {
  // Unquoted, "...\Program Files\app dir\Plindor.exe" would start
  // "...\Program.exe" first.
  const std::string parent = temp_.path() + "/Program Files";
  UseProgramDir(parent + "/app dir");
  PutCurrent();
  CopyFile(suite->stand_in(), temp_.path() + "/Program.exe");
  CopyFile(suite->stand_in(), parent + "/app.exe");
  EXPECT_EQ(RunTool(), kExitLaunched);
  bool launched = WaitUntil([&] {
    return Exists(dir_ + "/starts.log") || Exists(temp_.path() + "/starts.log") ||
           Exists(parent + "/starts.log");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(Exists(temp_.path() + "/starts.log")) << "the decoy Program.exe ran";
  EXPECT_FALSE(Exists(parent + "/starts.log")) << "the decoy app.exe ran";
  ASSERT_TRUE(launched && WaitForStarts(1));
  ExpectLaunchedMinimized(ReadStarts(dir_)[0]);
}

TEST_F(WineRunTest, RecordReachesAFolderOutsideTheAnsiCodePage) {
  UseProgramDir(temp_.path() + "/\xCE\xA9\xCE\xBB-\xE6\x97\xA5\xE6\x9C\xAC-\xD0\x96");
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  ExpectRecordOf("Cannot launch the updater");
}

// What Wine cannot show: the platform files against a model of the calls
// they make, answering as Windows is documented to (windows_model_test).
TEST_F(WineRunTest, PlatformFilesMeetWhatWindowsIsDocumentedToAnswer) {
  EXPECT_EQ(RunAndWait(suite->Command(suite->model_test()), 120, suite->Env()), 0);
}

// One failure has one key on every Windows, whatever its languages: the
// same words, in plain ASCII, and the error's number. Here a German and a
// Russian system, and an English code page with a Russian display language.
TEST_F(WineRunTest, RecordKeyIsTheSameInEveryLanguage) {
  const std::map<std::string, std::string> languages[] = {
      {{"LANG", "de_DE.UTF-8"}},
      {{"LANG", "ru_RU.UTF-8"}},
      {{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "ru_RU.UTF-8"}},
  };
  for (const auto& language : languages) {
    SCOPED_TRACE(language.begin()->second);
    TempDir case_dir("plindor-wine-case");
    UseProgramDir(case_dir.path() + "/prog");
    PutCurrent();
    PutDownload();
    chmod(current_.c_str(), 0555);
    std::map<std::string, std::string> env = tool_build->Env();
    for (const auto& [name, value] : language) env[name] = value;
    EXPECT_EQ(RunAndWait(ToolCommand(), 120, env), kExitCurrentNotReplaceable);
    const std::string profile = ReadFile(profile_);
    EXPECT_TRUE(std::all_of(profile.begin(), profile.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        << profile;
    // Refused before the stop with no updater running: the one in place
    // is started, as after any failure.
    ExpectRecordOf("Cannot delete the current executable",
                   "Access is denied (error 5); the updater in place was started again");
    EXPECT_TRUE(WaitForStarts(1));
    StopStandIns(case_dir.path());
  }
}

// What only a run of the shipped program can show: it fails as its 64-bit
// twin does, with the same exit code and the same record, byte for byte
// apart from the time.
TEST_F(WineRunTest, FailingRunsMatchThe64BitTwin) {
  if (suite != &win32) GTEST_SKIP() << "compares the 32-bit program with this one";
  const struct {
    const char* what;
    void (*prepare)(WineRunTest&);
  } cases[] = {
      {"launch, into an existing profile",
       [](WineRunTest& t) { WriteFile(t.profile_, "[Server]\r\nHost=example\r\n[Tovalane]\r\n"); }},
      {"delete of a read-only executable",
       [](WineRunTest& t) {
         t.PutCurrent();
         t.PutDownload();
         chmod(t.current_.c_str(), 0444);
       }},
      {"delete of a directory", [](WineRunTest& t) {
         MakeDirs(t.current_);
         t.PutDownload();
       }}};
  const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int codes[2];
    std::string profiles[2];
    const WindowsBuild* builds[2] = {&win32, &win64};
    for (int i = 0; i < 2; ++i) {
      TempDir case_dir("plindor-wine-twin");
      UseProgramDir(case_dir.path() + "/prog", *builds[i], win32);
      c.prepare(*this);
      codes[i] = RunTool();
      profiles[i] = std::regex_replace(ReadFile(profile_), time, "(time)");
      StopStandIns(case_dir.path());
    }
    EXPECT_NE(codes[0], kExitLaunched);
    EXPECT_EQ(codes[0], codes[1]);
    EXPECT_NE(profiles[0].find("(time)"), std::string::npos) << profiles[0];
    EXPECT_EQ(profiles[0], profiles[1]);
  }
}

// The program signed as scripts/package signs it, with a throwaway
// certificate, still runs as it did.
TEST_F(WineRunTest, SignedProgramStillRuns) {
  const std::string signed_tool = temp_.path() + "/signed.exe";
  ASSERT_EQ(RunAndWait({"/bin/bash", std::string(PLINDOR_SOURCE_DIR) + "/tests/check_signing",
                        tool_build->tool(), signed_tool}),
            0);
  CopyFile(signed_tool, dir_ + "/PlindorSwap.exe");
  PutCurrent();
  EXPECT_EQ(RunTool(), kExitLaunched);
  ASSERT_TRUE(WaitForStarts(1));
  ExpectLaunchedMinimized(ReadStarts(dir_)[0]);
}

// Paths past MAX_PATH: the file steps take them in their extended form, but
// process creation and the profile call take none and need a short (8.3)
// form of the folder. The folder here is made of names that are already
// short, so no short form helps. Either way nothing is lost: the swap
// completes, and the updater is launched or the failure is recorded in the
// folder's own profile, never anywhere else.
TEST_F(WineRunTest, ProgramDirectoryPastMaxPathSwapsAndLaunchesOrRecords) {
  const std::string workdir = std::filesystem::current_path().string();
  const int workdir_entries = EntriesIn(workdir);
  for (size_t length : {262, 285, 307, 400}) {
    SCOPED_TRACE("folder of " + std::to_string(length) + " characters");
    TempDir case_dir("plw");
    std::string dir = case_dir.path();
    while (WindowsPath(dir).size() < length) {
      const size_t left = length - WindowsPath(dir).size();
      dir += "/" + std::string(left >= 11 ? 8 : left == 10 ? 7 : left - 1, 'd');
    }
    UseProgramDir(dir);
    ASSERT_EQ(WindowsPath(dir_).size(), length);
    PutCurrent();
    const std::string downloaded = PutDownload();
    const bool had_profile = length == 400;
    if (had_profile) WriteFile(profile_, "[Server]\r\nHost=example\r\n");
    int code = RunTool();
    EXPECT_TRUE(HasContent(current_, downloaded));
    EXPECT_FALSE(Exists(download_));
    if (code == kExitLaunched) {
      EXPECT_TRUE(WaitForStarts(1));
      EXPECT_EQ(Exists(profile_), had_profile);
    } else {
      EXPECT_EQ(code, kExitLaunchFailed);
      std::vector<IniEntry> entries = ParseIni(ReadFile(profile_));
      ASSERT_EQ(entries.size(), had_profile ? 2u : 1u) << ReadFile(profile_);
      EXPECT_EQ(entries.back().key.rfind("FalseCannot launch the updater: ", 0), 0u);
      if (had_profile) {
        EXPECT_EQ(entries[0], (IniEntry{"Server", "Host", "example"}));
      }
    }
    StopStandIns(case_dir.path());
  }
  EXPECT_EQ(EntriesIn(workdir), workdir_entries) << "something was written into the working folder";
}

TEST_F(WineRunTest, ReadOnlyProfileIsLeftAlone) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "Wine run as root writes over a file without write permission, "
                    "where Windows refuses a read-only file";
  }
  WriteFile(profile_, "[Tovalane]\r\n");
  chmod(profile_.c_str(), 0444);
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  EXPECT_TRUE(HasContent(profile_, "[Tovalane]\r\n"));
}

TEST_F(WineRunTest, ProfileThatIsADirectoryIsLeftAlone) {
  MakeDirs(profile_);
  EXPECT_EQ(RunTool(), kExitLaunchFailed);
  struct stat info;
  EXPECT_TRUE(stat(profile_.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

}  // namespace

// The one argument names the build under test: win64 or win32.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2 || (strcmp(argv[1], "win64") != 0 && strcmp(argv[1], "win32") != 0)) {
    std::cerr << "usage: e2e_wine_test [gtest flags] win64|win32\n";
    return 2;
  }
  if (strcmp(argv[1], "win32") == 0) suite = &win32;
  ::testing::AddGlobalTestEnvironment(new WineEnvironment);
  int result = RUN_ALL_TESTS();
  return skip_reason.empty() ? result : kSkipped;
}
