#include "tests/e2e_support.h"

#include "tests/ini_meaning.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& name_part) {
  std::string pattern = (fs::temp_directory_path() / (name_part + "-XXXXXX")).string();
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Give back write permission that a test took away, so all can go.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool HasContent(const std::string& path, const std::string& content) {
  return Exists(path) && ReadFile(path) == content;
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::string WithOneNameChanged(const std::string& bytes, const std::string& from, const std::string& to) {
  const size_t at = bytes.find(from);
  EXPECT_TRUE(at != std::string::npos && bytes.find(from, at + 1) == std::string::npos && from.size() == to.size())
      << from;
  if (at == std::string::npos) return bytes;
  std::string changed = bytes;
  changed.replace(at, from.size(), to);
  return changed;
}

int EntriesIn(const std::string& dir) {
  auto it = fs::directory_iterator(dir);
  return static_cast<int>(std::distance(it, fs::directory_iterator()));
}

pid_t StartChild(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) env_strings.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (int error = posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), envp.data())) {
    throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(error));
  }
  return pid;
}

pid_t ForkChild(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

bool AsNobody(const std::function<bool()>& body) {
  pid_t child = ForkChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(body() ? 0 : 1);
  });
  int status = 0;
  return WaitChild(child, status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool WaitChild(pid_t pid, int& status, int timeout_s) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int RunAndWait(const std::vector<std::string>& argv, int timeout_s,
               const std::map<std::string, std::string>& env) {
  pid_t pid = StartChild(argv, env);
  int status = 0;
  if (!WaitChild(pid, status, timeout_s)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunQuietly(const std::vector<std::string>& argv) {
  std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null 2>&1"};
  command.insert(command.end(), argv.begin(), argv.end());
  return RunAndWait(command);
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<StartRecord> ReadStarts(const std::string& dir) {
  std::vector<StartRecord> starts;
  std::istringstream log(ReadFile(dir + "/starts.log"));
  for (std::string line; std::getline(log, line);) {
    StartRecord start;
    for (size_t at = 0, equals; (equals = line.find('=', at)) != std::string::npos;) {
      const std::string name = line.substr(at, equals - at);
      const size_t end = name == "cmdline" ? line.npos : line.find(' ', equals);
      start[name] = line.substr(equals + 1, end == line.npos ? line.npos : end - equals - 1);
      if (end == line.npos) break;
      at = end + 1;
    }
    starts.push_back(start);
  }
  return starts;
}

std::vector<IniEntry> ParseIni(const std::string& content) {
  std::vector<IniEntry> entries;
  for (const IniMeaningSection& section : IniMeaning(content)) {
    for (const IniMeaningEntry& entry : section.entries) {
      if (entry.value && entry.key.rfind(';', 0) != 0) {
        entries.push_back({section.name, entry.key, *entry.value});
      }
    }
  }
  return entries;
}

bool IsRecentTimestamp(const std::string& value, int slack_s) {
  struct tm when = {};
  const char* end = strptime(value.c_str(), "%Y-%m-%d %H:%M:%S", &when);
  if (end == nullptr || *end != '\0' || value.size() != 19) return false;
  when.tm_isdst = -1;
  double age = difftime(time(nullptr), mktime(&when));
  return age >= -slack_s && age <= slack_s;
}
