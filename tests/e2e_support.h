// Helpers for the end-to-end tests: temporary folders, files, and programs
// started and awaited with a time limit.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& name_part = "plindor");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void CopyFile(const std::string& from, const std::string& to);
bool Exists(const std::string& path);
// Whether the file holds exactly `content`; for binaries, whose differences
// are not worth printing.
bool HasContent(const std::string& path, const std::string& content);
void MakeDirs(const std::string& path);
// The bytes with the one occurrence of `from` made `to`, of the same length
// (a name in a program's tables); the test fails where there is not one.
std::string WithOneNameChanged(const std::string& bytes, const std::string& from, const std::string& to);
// The permission bits, 0 where there is no file.
mode_t ModeOf(const std::string& path);
// How many entries the folder holds.
int EntriesIn(const std::string& dir);

// Runs the program with these arguments and environment additions and waits
// for it; its exit code, or -1 when it was killed by a signal or took longer
// than `timeout_s` (it is then killed).
int RunAndWait(const std::vector<std::string>& argv, int timeout_s = 120,
               const std::map<std::string, std::string>& env = {});

// Runs a tool found on the PATH (minisign, openssl ...), its output
// discarded, and waits for it; its exit code, as RunAndWait gives it.
int RunQuietly(const std::vector<std::string>& argv);

// Starts the program as a child of the test and returns its pid.
pid_t StartChild(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env = {});

// Runs `body` in a forked child of the test, which then ends with code 0;
// returns its pid.
pid_t ForkChild(const std::function<void()>& body);

// Runs `body` as nobody (uid and gid 65534) in a forked child; true when it
// ended with code 0.
bool AsNobody(const std::function<bool()>& body);

// The child's exit as waitpid gives it, waiting up to `timeout_s`.
bool WaitChild(pid_t pid, int& status, int timeout_s = 30);

// Polls until the condition holds or `timeout_ms` have passed.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = 20000);

// The launches the stand-in updaters in `dir` recorded in its "starts.log":
// a line of name=value fields each, the last of which ("cmdline") may hold
// blanks.
using StartRecord = std::map<std::string, std::string>;
std::vector<StartRecord> ReadStarts(const std::string& dir);

// Key=value lines of a profile file, as (section, key, value) in file order;
// comments and lines without '=' left out.
struct IniEntry {
  std::string section, key, value;
  bool operator==(const IniEntry& other) const {
    return section == other.section && key == other.key && value == other.value;
  }
};
std::vector<IniEntry> ParseIni(const std::string& content);

// True for "yyyy-mm-dd hh:mm:ss" within `slack_s` seconds of now, local time.
bool IsRecentTimestamp(const std::string& value, int slack_s = 30);
