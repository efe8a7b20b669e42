// The POSIX profile writer on real files: a record written into profiles of
// every kind, by writers that are killed, stalled or of another user.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/file-posix.h"
#include "profile/ini_edit.h"
#include "profile/mod_ini.h"
#include "tests/e2e_support.h"

namespace {

// Makes renameat2 fail with EINVAL in this process, as on a file system
// without it.
void RefuseRenameat2() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(2);
  }
}

// A profile large enough that a write takes a while to be caught in the
// middle of.
std::string LargeProfile(int lines) {
  std::string content = "[Server]\n";
  for (int i = 0; i < lines; ++i) content += "key" + std::to_string(i) + "=value\n";
  return content;
}

// Whether a write lock of an open file description stands on the file, as
// /proc/locks lists them ("1: OFDLCK ADVISORY WRITE -1 08:01:INODE 0 EOF").
bool IsWriteLocked(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  std::istringstream locks(ReadFile("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    if (fields >> number >> kind >> mode >> access >> pid >> file && kind == "OFDLCK" && access == "WRITE" &&
        file.substr(file.rfind(':') + 1) == std::to_string(info.st_ino)) {
      return true;
    }
  }
  return false;
}

// Writes `content` to `ini`, then times one record written into it, in
// microseconds (at least 1).
long TimedWrite(const std::string& ini, const std::string& content) {
  WriteFile(ini, content);
  const auto start = std::chrono::steady_clock::now();
  WriteIniValue(ini, "Tovalane", "FalseX", "1");
  const auto took = std::chrono::steady_clock::now() - start;
  return std::max<long>(1, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
}


}  // namespace

// Also where the file system has no no-replace rename (renameat2 refused
// with EINVAL, as seccomp makes it here): a hard link refuses an existing
// name as well, and the source is unlinked after it.
TEST(PosixFileOpsTest, RenameNoReplaceRefusesAnExistingName) {
  for (bool no_renameat2 : {false, true}) {
    SCOPED_TRACE(no_renameat2 ? "without renameat2" : "with renameat2");
    TempDir temp;
    const std::string from = temp.path() + "/from", to = temp.path() + "/to";
    WriteFile(from, "new");
    WriteFile(to, "old");
    pid_t mover = ForkChild([&] {
      if (no_renameat2) RefuseRenameat2();
      const bool refused = RenameNoReplace(from, to) == EEXIST;
      const bool missing = RenameNoReplace(temp.path() + "/none", temp.path() + "/x") == ENOENT;
      unlink(to.c_str());
      const bool moved = refused && RenameNoReplace(from, to) == 0;
      _exit(refused && missing && moved ? 0 : 1);
    });
    int status = 0;
    ASSERT_TRUE(WaitChild(mover, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(to), "new");
    EXPECT_FALSE(Exists(from));
  }
}


TEST(PosixProfileTest, WritesKeepModeAndRefuseWhatWindowsRefuses) {
  TempDir temp;
  const std::string ini = temp.path() + "/Server.ini";
  // However strict the umask, a new profile stays writable by its owner.
  const mode_t umask_before = umask(0677);
  WriteIniValue(ini, "Tovalane", "FalseA", "1");
  umask(umask_before);
  EXPECT_EQ(ReadFile(ini), "[Tovalane]\nFalseA=1\n");
  EXPECT_EQ(ModeOf(ini), 0600u);
  chmod(ini.c_str(), 0604);
  struct stat before, after;
  ASSERT_EQ(stat(ini.c_str(), &before), 0);
  WriteIniValue(ini, "Tovalane", "FalseA", "2");
  EXPECT_EQ(ReadFile(ini), "[Tovalane]\nFalseA=2\n");
  EXPECT_EQ(ModeOf(ini), 0604u);
  // A plain file with one name is replaced whole, by a rename.
  ASSERT_EQ(stat(ini.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);

  chmod(ini.c_str(), 0444);
  WriteIniValue(ini, "Tovalane", "FalseA", "3");
  EXPECT_EQ(ReadFile(ini), "[Tovalane]\nFalseA=2\n");

  // The temporary copy is made beside the profile, never in the folder above.
  const std::string below = temp.path() + "/prog";
  MakeDirs(below);
  Fd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(watch.get(), temp.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
  WriteIniValue(below + "/Server.ini", "Tovalane", "FalseA", "1");
  WriteIniValue(below + "/Server.ini", "Tovalane", "FalseB", "1");
  char events[4096];
  EXPECT_LT(read(watch.get(), events, sizeof events), 0) << "a file was made in the folder above";
  std::filesystem::remove_all(below);

  const std::string dir = temp.path() + "/Dir.ini";
  MakeDirs(dir);
  WriteIniValue(dir, "Tovalane", "FalseA", "1");
  WriteIniValue(temp.path() + "/missing/Server.ini", "Tovalane", "FalseA", "1");
  EXPECT_FALSE(Exists(temp.path() + "/missing"));
  EXPECT_EQ(EntriesIn(temp.path()), 2) << "a temporary file was left behind";
}

// A writer killed at a random point of its write: a profile with one name,
// replaced by a rename, is the old file or the new one; one with two names,
// written in place, with the record near its top so that the rest must
// move, has lost no line (a stray one may stand twice).
TEST(PosixProfileTest, KilledWriterLosesNoLineOfTheProfile) {
  for (const bool two_names : {false, true}) {
    SCOPED_TRACE(two_names ? "two names, written in place" : "one name, replaced");
    TempDir temp;
    const std::string ini = temp.path() + "/Server.ini";
    const std::string old_content = (two_names ? "[Tovalane]\nFalseOld=1\n" : "") + LargeProfile(30000);
    const std::string new_content =
        two_names ? SetIniValue(old_content, "Tovalane", "FalseX", "1") : old_content + "[Tovalane]\nFalseX=1\n";
    WriteFile(ini, "");
    if (two_names) {
      ASSERT_EQ(link(ini.c_str(), (temp.path() + "/linked.ini").c_str()), 0);
    }
    // One whole write, timed, to spread the kills over.
    const long write_us = TimedWrite(ini, old_content);
    int old_seen = 0, new_seen = 0, between = 0;
    unsigned seed = 12345;
    for (int round = 0; round < 200; ++round) {
      WriteFile(ini, old_content);
      pid_t writer = ForkChild([&] { WriteIniValue(ini, "Tovalane", "FalseX", "1"); });
      seed = seed * 1103515245u + 12345u;
      usleep(static_cast<useconds_t>((seed >> 8) % static_cast<unsigned>(2 * write_us)));
      kill(writer, SIGKILL);
      int status = 0;
      waitpid(writer, &status, 0);
      const std::string now = ReadFile(ini);
      if (now == old_content || now == new_content) {
        (now == old_content ? old_seen : new_seen)++;
        continue;
      }
      ASSERT_TRUE(two_names) << "round " << round << ": " << now.size() << " bytes";
      ++between;
      // Every old line, in order.
      std::istringstream old_lines(old_content);
      size_t at = 0;
      for (std::string line; std::getline(old_lines, line);) {
        at = now.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << "round " << round << ": lost " << line;
        at += line.size() + 1;
      }
    }
    std::cout << "killed writers left the old file " << old_seen << " times, the new one "
              << new_seen << " times, one in between " << between << " times\n";
    // Both ends were reached, or the kills never landed mid-write.
    EXPECT_GT(old_seen, 0);
    EXPECT_GT(new_seen + between, 0);
  }
}

// The record goes into the file the profile is, and the file stays what it
// was to everyone else: a link stays a link and its target gets the record,
// links, attributes and owner are kept, and a writer that may write the file
// but not its folder still writes it.
TEST(PosixProfileTest, RecordKeepsTheProfilesIdentity) {
  enum Kind { kSymlink, kHardLink, kAttribute, kOtherUsers };
  const struct {
    const char* what;
    Kind kind;
    mode_t folder_mode;
  } cases[] = {
      {"symbolic link", kSymlink, 0755},
      {"hard link", kHardLink, 0755},
      {"extended attribute", kAttribute, 0755},
      {"another user's file, folder not writable", kOtherUsers, 0755},
      {"another user's file, sticky folder", kOtherUsers, 01777},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir temp;
    chmod(temp.path().c_str(), 0711);
    const std::string name = temp.path() + "/Server.ini", target = temp.path() + "/real.ini";
    WriteFile(target, "[A]\nk=v\n");
    chmod(target.c_str(), 0666);
    bool ready = c.kind == kSymlink    ? symlink("real.ini", name.c_str()) == 0
                 : c.kind == kHardLink  ? link(target.c_str(), name.c_str()) == 0
                 : c.kind == kAttribute ? setxattr(target.c_str(), "user.a", "kept", 4, 0) == 0
                                        : true;
    if (!ready || (c.kind == kOtherUsers && geteuid() != 0)) {
      std::cout << "skipped here: " << c.what << "\n";
      continue;
    }
    chmod(temp.path().c_str(), c.folder_mode);
    struct stat before, after, named;
    ASSERT_EQ(lstat(target.c_str(), &before), 0);
    pid_t writer = ForkChild([&] {
      // nobody, as the writer the file's owner is not
      if (c.kind == kOtherUsers && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
      const bool linked = c.kind == kSymlink || c.kind == kHardLink;
      WriteIniValue(linked ? name : target, "Tovalane", "FalseA", "1");
    });
    int status = 0;
    ASSERT_TRUE(WaitChild(writer, status));
    chmod(temp.path().c_str(), 0755);
    EXPECT_EQ(ReadFile(target), "[A]\nk=v\n[Tovalane]\nFalseA=1\n");
    ASSERT_EQ(lstat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_nlink, before.st_nlink);
    EXPECT_EQ(lstat(name.c_str(), &named) == 0 && S_ISLNK(named.st_mode), c.kind == kSymlink);
    char value[8];
    EXPECT_EQ(getxattr(target.c_str(), "user.a", value, sizeof value), c.kind == kAttribute ? 4 : -1);
  }
}

// A writer stopped in the middle of its write: the other waits for it, up
// to its bound (5 s), and never writes over it. A profile
// with two names (two program folders sharing one) is written in place, one
// with one name by a rename. Once both have ended, both records are there,
// or, where the holder stalled past the bound, the other's is not and the
// file is whole.
TEST(PosixProfileTest, StalledWriterLosesNoOtherRecord) {
  TempDir temp;
  const std::string ini = temp.path() + "/Server.ini", second_name = temp.path() + "/linked.ini";
  const std::string content = LargeProfile(400000);
  const auto write_time = std::chrono::microseconds(TimedWrite(ini, content));
  auto write_in_child = [&](const char* key) {
    return ForkChild([&] { WriteIniValue(ini, "Tovalane", key, "1"); });
  };
  const struct {
    int eighths;
    bool two_names;
    int stall_s;
    bool other_lands;
  } cases[] = {
      {1, false, 3, true}, {4, true, 3, true}, {7, false, 3, true}, {4, true, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.eighths) + "/8 of a write, stalled " +
                 std::to_string(c.stall_s) + " s" + (c.two_names ? ", two names" : ""));
    unlink(second_name.c_str());
    WriteFile(ini, content);
    if (c.two_names) {
      ASSERT_EQ(link(ini.c_str(), second_name.c_str()), 0);
    }
    // Stopped in the middle of its write: holding the lock, its record not
    // yet in the file (a rename over the profile ends the write, though the
    // lock on the old file is held a moment longer). A writer stopped before
    // or after is let finish, and the case is tried anew, sooner.
    pid_t stalled = 0;
    for (int eighths = c.eighths; eighths >= 0; --eighths) {
      WriteFile(ini, content);
      stalled = write_in_child("FalseStalled");
      ASSERT_TRUE(WaitUntil([&] { return IsWriteLocked(ini); }, 10000));
      std::this_thread::sleep_for(write_time * eighths / 8);
      kill(stalled, SIGSTOP);
      if (IsWriteLocked(ini) && ReadFile(ini).find("FalseStalled") == std::string::npos) break;
      kill(stalled, SIGCONT);
      int status = 0;
      ASSERT_TRUE(WaitChild(stalled, status));
    }
    pid_t other = write_in_child("FalseOther");
    int status = 0;
    // The other writer ends while the holder is stopped only once it gave up.
    const bool gave_up = WaitChild(other, status, c.stall_s);
    EXPECT_EQ(gave_up, !c.other_lands);
    kill(stalled, SIGCONT);
    if (!gave_up) {
      EXPECT_TRUE(WaitChild(other, status, 20));
    }
    EXPECT_TRUE(WaitChild(stalled, status, 20));
    const std::string after = ReadFile(ini);
    EXPECT_NE(after.find("FalseStalled=1"), std::string::npos);
    EXPECT_EQ(after.find("FalseOther=1") != std::string::npos, c.other_lands);
    EXPECT_EQ(after.rfind(content, 0), 0u) << "the profile was damaged";
    EXPECT_EQ(after.size(), content.size() + std::string("[Tovalane]\nFalseStalled=1\n").size() +
                                (c.other_lands ? std::string("FalseOther=1\n").size() : 0));
  }
}

