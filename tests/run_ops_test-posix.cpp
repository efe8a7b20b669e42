// The POSIX files of the run's operations on real files: the choices the run
// relies on that the end-to-end tests cannot reach cheaply.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <tuple>

#include "common/file-posix.h"
#include "common/retry.h"
#include "run/run_ops-posix.h"
#include "run/run_ops.h"
#include "tests/e2e_support.h"

namespace {

// The download at `path`, opened as the run opens it: from its folder.
SystemError OpenDownloadAt(const std::string& path, Download*& download, DownloadOpen& open) {
  return OpenDownload(DirectoryOf(path), "/" + BaseName(path), download, open);
}
SystemError OpenDownloadAt(const std::string& path, Download*& download) {
  DownloadOpen open = DownloadOpen::kHeld;
  return OpenDownloadAt(path, download, open);
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
    DownloadOpen open = DownloadOpen::kHeld;
    const SystemError opened = OpenDownload(program, "/Download/Program/Plindor.exe", download, open);
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
  EXPECT_EQ(download->opened.st_size, 10);
  for (const auto& [offset, size, bytes] : {std::tuple<uint64_t, size_t, std::string>{0, 4, "0123"},
                                            {6, 100, "6789"}, {10, 4, ""}, {99, 4, ""}}) {
    std::string read;
    EXPECT_EQ(ReadAllAt(download->fd, offset, size, read), 0u);
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
  DownloadOpen open = DownloadOpen::kCannotOpen;
  {
    Fd writer(::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenDownloadAt(file, download, open), 0u);
    EXPECT_EQ(open, DownloadOpen::kStillWritten);
    EXPECT_EQ(download, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kHeldFile.bound_ms));
  }
  ASSERT_EQ(OpenDownloadAt(file, download, open), 0u);
  EXPECT_EQ(open, DownloadOpen::kHeld);
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


// A bound's deadline is a valid time however its milliseconds fall.
TEST(PosixFileOpsTest, DeadlineCarriesWholeSeconds) {
  for (const unsigned ms : {0u, 1u, 999u, 1000u, 1999u, 90000u}) {
    SCOPED_TRACE(ms);
    const timespec deadline = DeadlineIn(ms);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
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
    Prepared prepared = Prepared::kNotMade;
    Replaced replaced = Replaced::kNotPlaced;
    ASSERT_EQ(OpenDownloadAt(c.from, download), 0u);
    ASSERT_EQ(PrepareReplacement(*download, to, replacement, prepared), 0u);
    EXPECT_EQ(prepared, Prepared::kMade);
    EXPECT_EQ(ReplacementSize(*replacement), content.size());
    EXPECT_EQ(ReadFile(to), c.current_exists ? "old" : "");
    EXPECT_EQ(ReplaceCurrentWithReplacement(*replacement, to, replaced), 0u);
    EXPECT_EQ(replaced, Replaced::kReplaced);
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
      Prepared prepared = Prepared::kMade;
      return OpenDownloadAt(from, download) == 0 &&
             PrepareReplacement(*download, to, replacement, prepared) == EACCES && prepared == Prepared::kNotMade &&
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
      Prepared prepared = Prepared::kNotMade;
      Replaced replaced = Replaced::kNotPlaced;
      const bool swapped = OpenDownloadAt(from, download) == 0 &&
                           PrepareReplacement(*download, to, replacement, prepared) == 0 &&
                           ReplaceCurrentWithReplacement(*replacement, to, replaced) == 0;
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

