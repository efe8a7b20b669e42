// The POSIX platform files on real files and processes: the choices the run
// relies on that the end-to-end tests cannot reach cheaply.
#include <gtest/gtest.h>
#include <signal.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iostream>
#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>

#include "common/file-posix.h"
#include "process/process_kill.h"
#include "process/process_platform.h"
#include "profile/ini_edit.h"
#include "profile/mod_ini.h"
#include "run/minisign.h"
#include "run/run_ops.h"
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

// Runs `body` as nobody in a child; true when it ended with code 0.
bool AsNobody(const std::function<bool()>& body) {
  pid_t child = ForkChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(body() ? 0 : 1);
  });
  int status = 0;
  return WaitChild(child, status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

// The download at `path`, opened as the run opens it: from its folder.
SystemError OpenDownloadAt(const std::string& path, Download*& download) {
  return OpenDownload(DirectoryOf(path), "/" + BaseName(path), download);
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

// The search finds only a plain file, and follows a link on its way only
// where root or the program folder's owner made it, its target by the same
// rule; a stranger's is reported, as it chose where the way leads.
TEST(PosixFileOpsTest, SearchFindsOnlyPlainFilesFollowingOnlyTrustedLinks) {
  TempDir temp;
  const std::string program = temp.path() + "/program", other = temp.path() + "/other";
  MakeDirs(program + "/Download");
  MakeDirs(other + "/Program");
  WriteFile(other + "/Program/Plindor.exe", "x");
  const bool root = geteuid() == 0;
  using Found = DownloadFound;
  const struct {
    const char* what;
    std::function<void()> make;
    Found found;
    bool as_root = false;  // the links are given to another user, which root alone may
  } cases[] = {
      {"a plain file",
       [&] {
         MakeDirs(program + "/Download/Program");
         WriteFile(program + "/Download/Program/Plindor.exe", "x");
       },
       Found::kPlainFile},
      {"a folder", [&] { MakeDirs(program + "/Download/Program/Plindor.exe"); }, Found::kNothing},
      {"nothing", [] {}, Found::kNothing},
      {"a file where a folder should be", [&] { WriteFile(program + "/Download/Program", "x"); }, Found::kNothing},
      {"a link",
       [&] {
         MakeDirs(program + "/Download/Program");
         symlink((other + "/Program/Plindor.exe").c_str(), (program + "/Download/Program/Plindor.exe").c_str());
       },
       Found::kNothing},
      {"the folder's owner's link to another folder", [&] { symlink((other + "/Program").c_str(), (program + "/Download/Program").c_str()); },
       Found::kPlainFile},
      {"a relative link", [&] { symlink("../../other/Program", (program + "/Download/Program").c_str()); },
       Found::kPlainFile},
      {"a stranger's link",
       [&] {
         symlink((other + "/Program").c_str(), (program + "/Download/Program").c_str());
         lchown((program + "/Download/Program").c_str(), 65534, 65534);
       },
       Found::kBehindAStrangersLink, true},
      {"root's link to a stranger's link",
       [&] {
         MakeDirs(temp.path() + "/shared");
         symlink((other + "/Program").c_str(), (temp.path() + "/shared/Program").c_str());
         lchown((temp.path() + "/shared/Program").c_str(), 65534, 65534);
         symlink((temp.path() + "/shared/Program").c_str(), (program + "/Download/Program").c_str());
       },
       Found::kBehindAStrangersLink, true},
      {"a link of the program folder's owner, not root",
       [&] {
         chown(program.c_str(), 65534, 65534);
         symlink((other + "/Program").c_str(), (program + "/Download/Program").c_str());
         lchown((program + "/Download/Program").c_str(), 65534, 65534);
       },
       Found::kPlainFile, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.as_root && !root) continue;
    std::filesystem::remove_all(program + "/Download/Program");
    std::filesystem::remove_all(temp.path() + "/shared");
    chown(program.c_str(), geteuid(), getegid());
    c.make();
    DownloadFound found = DownloadFound::kNothing;
    EXPECT_EQ(FindDownload(program, "/Download/Program/Plindor.exe", found), 0u);
    EXPECT_EQ(found, c.found);
    Download* download = nullptr;
    const SystemError opened = OpenDownload(program, "/Download/Program/Plindor.exe", download);
    EXPECT_EQ(opened == 0, c.found == Found::kPlainFile) << opened;
    CloseDownload(download);
  }
}

// The download is opened as it stands, never through a link, only where it
// may be moved out of its folder, and read wherever asked.
TEST(PosixFileOpsTest, DownloadIsOpenedWhereItCanBeMovedAndReadWhereAsked) {
  TempDir temp;
  const std::string file = temp.path() + "/file", link = temp.path() + "/link";
  WriteFile(file, "0123456789");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  Download* download = nullptr;
  ASSERT_EQ(OpenDownloadAt(file, download), 0u);
  EXPECT_EQ(DownloadSize(*download), 10u);
  for (const auto& [offset, size, bytes] : {std::tuple<uint64_t, size_t, std::string>{0, 4, "0123"},
                                            {6, 100, "6789"}, {10, 4, ""}, {99, 4, ""}}) {
    std::string read;
    EXPECT_EQ(ReadDownloadAt(*download, offset, size, read), 0u);
    EXPECT_EQ(read, bytes) << offset;
  }
  CloseDownload(download);
  EXPECT_EQ(OpenDownloadAt(temp.path() + "/none", download), static_cast<SystemError>(ENOENT));
  EXPECT_EQ(OpenDownloadAt(link, download), static_cast<SystemError>(ELOOP));
  if (geteuid() == 0) {
    chmod(temp.path().c_str(), 0555);
    EXPECT_TRUE(AsNobody([&] { return OpenDownloadAt(file, download) == EACCES; }));
    chmod(temp.path().c_str(), 0700);
  }
}

// What the run relies on once the download is open: no one else writes it,
// and the file removed at the end is the file that was opened.
TEST(PosixFileOpsTest, DownloadHeldAsCheckedKnowsWritersAndIsRemovedOnlyAsOpened) {
  TempDir temp;
  const std::string file = temp.path() + "/file", other = temp.path() + "/other";
  WriteFile(file, "0123456789");
  Download* download = nullptr;
  ASSERT_EQ(OpenDownloadAt(file, download), 0u);
  bool still_written = true;
  EXPECT_EQ(WaitUntilNoOtherWriter(*download, still_written), 0u);
  EXPECT_FALSE(still_written);
  {
    Fd writer(open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitUntilNoOtherWriter(*download, still_written), 0u);
    EXPECT_TRUE(still_written);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kHeldFile.bound_ms));
  }
  // Another file put at its name meanwhile is a new download: it stays.
  WriteFile(other, "0123456789+");
  ASSERT_EQ(rename(other.c_str(), file.c_str()), 0);
  EXPECT_EQ(RemoveDownload(*download), 0u);
  EXPECT_EQ(ReadFile(file), "0123456789+");
  CloseDownload(download);
  ASSERT_EQ(OpenDownloadAt(file, download), 0u);
  EXPECT_EQ(RemoveDownload(*download), 0u);
  EXPECT_FALSE(Exists(file));
  CloseDownload(download);
}

namespace {

// Sets or clears chattr's immutable or append-only attribute; false where
// the file system has no such attributes or the user may not set them.
bool SetFreezingAttribute(const std::string& path, int flag, bool on) {
  Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  int flags = 0;
  if (file.get() < 0 || ioctl(file.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
  flags = on ? flags | flag : flags & ~flag;
  return ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

}  // namespace

// Immutable and append-only files and folders refuse what the swap would
// do to them, even to root: known before anything is stopped.
TEST(PosixFileOpsTest, FrozenFilesAndFoldersAreRefusedBeforeTheStop) {
  const struct {
    const char* what;
    int flag;
    bool on_folder;
  } cases[] = {
      {"immutable file", FS_IMMUTABLE_FL, false},
      {"append-only file", FS_APPEND_FL, false},
      {"immutable folder", FS_IMMUTABLE_FL, true},
      {"append-only folder", FS_APPEND_FL, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir temp;
    const std::string file = temp.path() + "/Plindor.exe";
    WriteFile(file, "old");
    const std::string frozen = c.on_folder ? temp.path() : file;
    if (!SetFreezingAttribute(frozen, c.flag, true)) GTEST_SKIP() << "no chattr attributes here";
    Download* download = nullptr;
    EXPECT_EQ(CheckCurrentReplaceable(file), static_cast<SystemError>(EPERM));
    EXPECT_EQ(OpenDownloadAt(file, download), static_cast<SystemError>(EPERM));
    SetFreezingAttribute(frozen, c.flag, false);
    EXPECT_EQ(CheckCurrentReplaceable(file), 0u);
  }
}

// Refused before anything is stopped: what the replace would meet.
TEST(PosixFileOpsTest, CurrentExecutableIsCheckedBeforeTheStop) {
  TempDir temp;
  const std::string plain = temp.path() + "/plain", read_only = temp.path() + "/ro";
  const std::string dir = temp.path() + "/dir", sticky = temp.path() + "/sticky";
  WriteFile(plain, "x");
  WriteFile(read_only, "x");
  chmod(read_only.c_str(), 0555);
  MakeDirs(dir);
  MakeDirs(sticky);
  WriteFile(sticky + "/root's", "x");
  chmod(sticky.c_str(), 01777);
  chmod(temp.path().c_str(), 0755);
  const struct {
    std::string path;
    SystemError as_owner, as_nobody;
  } cases[] = {
      {plain, 0, EACCES},
      {temp.path() + "/none", 0, EACCES},
      {read_only, EACCES, EACCES},
      {dir, EISDIR, EISDIR},
      {sticky + "/root's", 0, EPERM},
      {sticky + "/none", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckCurrentReplaceable(c.path), c.as_owner) << c.path;
    if (geteuid() == 0) {
      EXPECT_TRUE(AsNobody([&] { return CheckCurrentReplaceable(c.path) == c.as_nobody; })) << c.path;
    }
  }
}

// Also where the file system has no no-replace rename (renameat2 refused
// with EINVAL, as seccomp makes it here): a hard link refuses an existing
// name as well, and the source is unlinked after it.
// A bound's deadline is a valid time however its milliseconds fall.
TEST(PosixFileOpsTest, DeadlineCarriesWholeSeconds) {
  for (const unsigned ms : {0u, 1u, 999u, 1000u, 1999u, 90000u}) {
    SCOPED_TRACE(ms);
    const timespec deadline = DeadlineIn(ms);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
  }
}

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

// The new program is a copy made beside the current executable, from this
// file system or another, with the current one's owner, group and mode
// whatever the download's were; renamed over it, nothing is left beside.
// Where the copy cannot be made, the download is not to blame.
TEST(PosixFileOpsTest, NewProgramIsPreparedWithTheCurrentOnesProtection) {
  TempDir here;
  if (!Exists("/dev/shm")) GTEST_SKIP() << "no /dev/shm to copy from";
  std::string elsewhere = "/dev/shm/plindor-move-XXXXXX";
  ASSERT_NE(mkdtemp(&elsewhere[0]), nullptr);
  const std::string to = here.path() + "/Plindor.exe";
  const std::string content(300000, 'u');
  const bool root = geteuid() == 0;
  const struct {
    const char* what;
    std::string from;
    mode_t mode;
    bool current_exists;
    mode_t wanted;
  } cases[] = {
      {"another file system, set-user-ID and writable by all", elsewhere + "/Plindor.exe", 04777, true, 0751},
      {"this file system, read-only", here.path() + "/download", 0555, true, 0751},
      {"this file system, not executable", here.path() + "/download", 0644, true, 0751},
      {"where none was", elsewhere + "/Plindor.exe", 0600, false, 0755},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(to.c_str());
    if (c.current_exists) {
      WriteFile(to, "old");
      chmod(to.c_str(), 0751);
    }
    WriteFile(c.from, content);
    if (root) chown(c.from.c_str(), 65534, 65534);
    chmod(c.from.c_str(), c.mode);
    Download* download = nullptr;
    Replacement* replacement = nullptr;
    bool unreadable = true, current_refused = true;
    ASSERT_EQ(OpenDownloadAt(c.from, download), 0u);
    ASSERT_EQ(PrepareReplacement(*download, to, replacement, unreadable), 0u);
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(ReplacementSize(*replacement), content.size());
    EXPECT_EQ(ReadFile(to), c.current_exists ? "old" : "");
    EXPECT_EQ(ReplaceCurrentWithReplacement(*replacement, to, current_refused), 0u);
    EXPECT_FALSE(current_refused);
    DiscardReplacement(replacement);
    EXPECT_EQ(RemoveDownload(*download), 0u);
    CloseDownload(download);
    struct stat info;
    ASSERT_EQ(stat(to.c_str(), &info), 0);
    EXPECT_EQ(ReadFile(to), content);
    EXPECT_EQ(info.st_mode & 07777, c.wanted);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_FALSE(Exists(c.from));
    EXPECT_EQ(EntriesIn(here.path()), 1) << "a temporary file was left behind";
  }
  if (root) {
    // A user who may read the download but not write the program folder.
    const std::string from = elsewhere + "/Plindor.exe";
    WriteFile(from, "new");
    chmod(elsewhere.c_str(), 0777);
    chmod(here.path().c_str(), 0755);
    EXPECT_TRUE(AsNobody([&] {
      Download* download = nullptr;
      Replacement* replacement = nullptr;
      bool unreadable = true;
      return OpenDownloadAt(from, download) == 0 &&
             PrepareReplacement(*download, to, replacement, unreadable) == EACCES && !unreadable &&
             replacement == nullptr;
    }));
    EXPECT_EQ(ReadFile(to), content);
    EXPECT_TRUE(Exists(from));
    // One who may write it, replacing root's set-user-ID program: not being
    // root, the run keeps the new program as its own, without that bit.
    chmod(here.path().c_str(), 0777);
    chmod(to.c_str(), 04755);
    EXPECT_TRUE(AsNobody([&] {
      Download* download = nullptr;
      Replacement* replacement = nullptr;
      bool unreadable = true, current_refused = true;
      const bool swapped = OpenDownloadAt(from, download) == 0 &&
                           PrepareReplacement(*download, to, replacement, unreadable) == 0 &&
                           ReplaceCurrentWithReplacement(*replacement, to, current_refused) == 0;
      DiscardReplacement(replacement);
      CloseDownload(download);
      return swapped;
    }));
    struct stat info;
    ASSERT_EQ(stat(to.c_str(), &info), 0);
    EXPECT_EQ(ReadFile(to), "new");
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(info.st_uid, 65534u);
    unlink(from.c_str());
  }
  rmdir(elsewhere.c_str());
}

namespace {

// Each line of `text` changed by `change` (its number from 1, and the line).
std::string EachLine(const std::string& text, const std::function<std::string(int, const std::string&)>& change) {
  std::string changed;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) changed += change(++number, line) + "\n";
  return changed;
}

}  // namespace

// minisign's key and signature files are read as `minisign -V -H` reads
// them: every variant minisign writes or takes is taken, every one it
// refuses is refused (a trailing space on a line of base64 among them).
TEST(MinisignFilesTest, AreReadAsMinisignReadsThem) {
  TempDir temp;
  const std::string key = temp.path() + "/key", file = temp.path() + "/file";
  ASSERT_EQ(RunQuietly({"minisign", "-G", "-W", "-p", key + ".pub", "-s", key}), 0);
  WriteFile(file, "a program, or so");
  ASSERT_EQ(RunQuietly({"minisign", "-S", "-s", key, "-m", file, "-x", file + ".legacy", "-l"}), 0);
  ASSERT_EQ(RunQuietly({"minisign", "-S", "-s", key, "-m", file}), 0);
  const std::string signature = ReadFile(file + ".minisig"), public_key = ReadFile(key + ".pub");
  const auto with_end = [](const char* end) { return [end](int, const std::string& line) { return line + end; }; };
  const auto on_line = [](int wanted, const char* before, const char* after) {
    return [=](int number, const std::string& line) { return number == wanted ? before + line + after : line; };
  };
  const struct {
    const char* what;
    std::string signature, public_key;
    bool taken;
  } cases[] = {
      {"as minisign writes them", signature, public_key, true},
      {"signature, an empty line after", signature + "\n", public_key, true},
      {"signature, three empty lines after", signature + "\n\n\n", public_key, true},
      {"signature, a line of a blank after", signature + " \n", public_key, true},
      {"signature, any line after", signature + "more\n", public_key, true},
      {"signature in CRLF lines", EachLine(signature, with_end("\r")), public_key, true},
      {"signature without its last line end", signature.substr(0, signature.size() - 1), public_key, true},
      {"signature, a blank after its comment", EachLine(signature, on_line(1, "", " ")), public_key, true},
      {"signature, a blank after every line", EachLine(signature, with_end(" ")), public_key, false},
      {"signature, a blank after its base64", EachLine(signature, on_line(2, "", " ")), public_key, false},
      {"signature, a blank after its trusted comment", EachLine(signature, on_line(3, "", " ")), public_key, false},
      {"signature, a blank after its global signature", EachLine(signature, on_line(4, "", " ")), public_key, false},
      {"signature, a tab after every line", EachLine(signature, with_end("\t")), public_key, false},
      {"signature, lines ending in two CRs", EachLine(signature, with_end("\r\r")), public_key, false},
      {"signature, a blank before its base64", EachLine(signature, on_line(2, " ", "")), public_key, false},
      {"signature, an empty line within", EachLine(signature, on_line(2, "\n", "")), public_key, false},
      {"signature without its untrusted comment's words", EachLine(signature, on_line(1, "x", "")), public_key, false},
      {"signature of three lines", signature.substr(0, signature.rfind('\n', signature.size() - 2) + 1), public_key,
       false},
      {"signature in the legacy form", ReadFile(file + ".legacy"), public_key, false},
      {"key, an empty line after", signature, public_key + "\n", true},
      {"key, two empty lines and any line after", signature, public_key + "\n\nmore\n", true},
      {"key in CRLF lines", signature, EachLine(public_key, with_end("\r")), true},
      {"key without its last line end", signature, public_key.substr(0, public_key.size() - 1), true},
      {"key under any comment", signature, EachLine(public_key, on_line(1, "x", "")), true},
      {"key, a blank after every line", signature, EachLine(public_key, with_end(" ")), false},
      {"key, a blank after its base64", signature, EachLine(public_key, on_line(2, "", " ")), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(temp.path() + "/variant.minisig", c.signature);
    WriteFile(temp.path() + "/variant.pub", c.public_key);
    const bool minisign_takes = RunQuietly({"minisign", "-V", "-H", "-p", temp.path() + "/variant.pub", "-m", file,
                                            "-x", temp.path() + "/variant.minisig"}) == 0;
    MinisignKey parsed_key;
    MinisignSignature parsed;
    bool unreadable = false;
    const bool taken =
        ParseMinisignPublicKey(c.public_key, parsed_key) && ParseMinisignSignature(c.signature, parsed) &&
        VerifyMinisignTrustedComment(parsed_key, parsed) &&
        VerifyMinisignFile(parsed_key, parsed,
                           [&](uint64_t offset, size_t size, std::string& chunk) {
                             chunk = offset == 0 ? ReadFile(file).substr(0, size) : "";
                             return true;
                           },
                           unreadable);
    EXPECT_EQ(minisign_takes, c.taken) << "minisign -V -H";
    EXPECT_EQ(taken, c.taken);
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

// The updater is the process running this folder's program: found by its
// name and its program file, also once that file was replaced or deleted,
// never a process of that name running another copy; stopped as found.
TEST(PosixProcessTest, SnapshotFindsTheProcessOfTheProgramAndStopsIt) {
  TempDir temp;
  const std::string exe = temp.path() + "/Plindor-probe.bin", copy = temp.path() + "/copy/Plindor-probe.bin";
  MakeDirs(temp.path() + "/copy");
  for (const std::string& path : {exe, copy}) {
    CopyFile("/bin/sleep", path);
    chmod(path.c_str(), 0755);
  }
  pid_t child = StartChild({exe, "30"});
  pid_t other = StartChild({copy, "30"});
  ASSERT_TRUE(WaitUntil([&] { return GetProcessIdByName("PLINDOR-PROBE", exe) != 0; }));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", copy), static_cast<uint32_t>(other));
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", temp.path() + "/none"), 0u);
  // Another user may not look at a root process's program: it is no updater
  // of theirs.
  if (geteuid() == 0) {
    EXPECT_TRUE(AsNobody([&] { return GetProcessIdByName("plindor-probe", exe) == 0; }));
  }
  // Replaced by a rename, as a swap replaces it; then deleted.
  CopyFile("/bin/true", exe + ".new");
  ASSERT_EQ(rename((exe + ".new").c_str(), exe.c_str()), 0);
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  ASSERT_EQ(unlink(exe.c_str()), 0);
  EXPECT_EQ(GetProcessIdByName("plindor-probe.BIN", exe), static_cast<uint32_t>(child));
  const int open_before = EntriesIn("/proc/self/fd");
  KillProcessById(static_cast<uint32_t>(other), exe);
  KillProcessById(static_cast<uint32_t>(child), exe);
  EXPECT_EQ(EntriesIn("/proc/self/fd"), open_before) << "the stop left a descriptor open";
  int status = 0;
  ASSERT_TRUE(WaitChild(child, status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_FALSE(WaitChild(other, status, 0)) << "another folder's program was stopped";
  kill(other, SIGKILL);
  WaitChild(other, status);
  // Reaped: nothing of that name is listed any more.
  EXPECT_EQ(GetProcessIdByName("Plindor-probe", exe), 0u);
}

TEST(PosixProcessTest, IdsThatAreNoPidAreNeverSignalled) {
  // 0xFFFFFFFF would be kill(-1): every process the caller may signal.
  EXPECT_EQ(OpenProcessToStop(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(OpenProcessToStop(0x80000000u), nullptr);
}

// The id found may pass to another process before the stop. In a PID
// namespace of the test's own, the updater ends after the lookup and its id
// is handed (through ns_last_pid) to a process of another name, which the
// stop must leave running.
TEST(PosixProcessTest, StopLeavesTheProcessThatGotTheIdSinceTheLookup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: a PID namespace and ns_last_pid";
  TempDir temp;
  const std::string exe = temp.path() + "/Plindor.exe";
  CopyFile("/bin/sleep", exe);
  chmod(exe.c_str(), 0755);
  pid_t outer = ForkChild([&] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(10);
    pid_t init = ForkChild([&] {
      // The namespace's first process, with a /proc of its own.
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        _exit(11);
      }
      pid_t updater = StartChild({exe, "30"});
      if (!WaitUntil([&] { return GetProcessIdByName("Plindor.EXE", exe) != 0; })) _exit(12);
      const uint32_t found = GetProcessIdByName("Plindor.EXE", exe);
      int status = 0;
      kill(updater, SIGKILL);
      waitpid(updater, &status, 0);
      WriteFile("/proc/sys/kernel/ns_last_pid", std::to_string(found - 1));
      pid_t other = StartChild({"/bin/sleep", "30"});
      if (static_cast<uint32_t>(other) != found) _exit(13);
      KillProcessById(found, exe);
      _exit(waitpid(other, &status, WNOHANG) == 0 ? 0 : 14);
    });
    int status = 0;
    waitpid(init, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 15);
  });
  int status = 0;
  ASSERT_TRUE(WaitChild(outer, status, 60));
  ASSERT_TRUE(WIFEXITED(status));
  // 13: the id was not handed on; 14: the process that got it was stopped.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
