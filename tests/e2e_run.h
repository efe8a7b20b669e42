// The end-to-end scenarios that every platform runs, written once
// (e2e_scenarios.cpp), and what they need of a platform: a program
// directory with the real program in it, a stand-in updater, and the
// program run there. Each driver defines these members for its platform
// (e2e_native_test.cpp: the native program; e2e_wine_test.cpp: a Windows
// program under Wine) and so runs the same list, as well as the cases that
// only its platform has.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tests/stand_in_behaviour.h"

class E2eRun : public ::testing::Test {
 public:
  // Defined by each driver.
  void SetUp() override;
  void TearDown() override;
  // Makes `dir` the program directory, with the program in it.
  void UseProgramDir(const std::string& dir);
  // The stand-in updater's bytes, as PutCurrent puts them.
  std::string StandIn() const;
  void PutCurrent(const std::string& name = "Plindor.exe");
  // A download of these bytes, as a downloader leaves it; returns them.
  std::string PutDownloadOf(const std::string& bytes);
  // A download that is the stand-in asked to behave so (stand_in_behaviour.h:
  // by default it ends at once, so that a swap's watch is over at once too);
  // its size tells which of the two programs was launched. Returns its bytes.
  std::string PutDownload(const std::string& behaviour = "ends");
  // Starts the current executable (or another of that folder) as the
  // running updater; returns the pid of the test's child that ends when it
  // is stopped.
  pid_t StartUpdater(const std::string& name = "Plindor.exe");
  // Holds the file open for writing, as a downloader that has written every
  // byte but not yet closed it, for `ms`; returns the holder's pid.
  pid_t HoldForWriting(const std::string& path, int ms);
  std::vector<std::string> ToolCommand() const;
  // Starts a command that runs the tool (ToolCommand, or one made of it).
  pid_t StartTool(const std::vector<std::string>& command);
  int RunTool();
  // Checks the launch with this index as the platform makes it (minimized,
  // in a session of its own ...), and that it was the current executable.
  void ExpectLaunchOfCurrent(size_t index);
  // Ends every stand-in the case started under `root`, and waits until they
  // are gone, so that the next case's lookup finds none of them.
  void StopStandIns(const std::string& root);

  // The ways a platform starts two runs at once on one folder: each round
  // starts `first` and `second` together.
  struct TwoRuns {
    std::string what;
    int rounds;
    bool updater_running;
    std::vector<std::string> first, second;
  };
  std::vector<TwoRuns> TwoRunsAtOnce();

  // What besides a folder stands at the download's place and is no
  // download on this platform, and how it is made there.
  struct NoDownload {
    std::string what;
    std::function<void(E2eRun&)> make;
  };
  std::vector<NoDownload> NoDownloadKinds();

  // Signs in place as the vendor's release `release` (Windows: file version
  // 1.<release>.0.0, set before signing; POSIX: the signature's time), with
  // keys the suite makes once. The current executable's signature makes the
  // vendor its publisher (POSIX: with the vendor's Plindor.pub beside it);
  // the download's signer is "vendor" or "stranger".
  void SignCurrent(int release);
  void SignDownload(const std::string& signer, int release);
  // How the record names release `release`: "1.2.0.0", "signed at N".
  static std::string ReleaseText(int release);
  // The platform's own signature cases, made after both are signed by the
  // vendor, the download as the newer release; an empty reason: swapped.
  struct SignatureCase {
    std::string what;
    std::function<void(E2eRun&)> make;
    std::string reason;
  };
  std::vector<SignatureCase> PlatformSignatureCases();

  // The releases that cannot run on this platform, as made of the stand-in's
  // bytes, and the words the record gives each one's ending.
  struct CannotRun {
    std::string what;
    std::function<std::string(const std::string& stand_in)> make;
    std::string ending;
  };
  std::vector<CannotRun> ProgramsThatCannotRun();

  // Written once, for every platform.
  // How many launches the stand-ins in the program directory recorded.
  size_t StartCount() const;
  bool WaitForStarts(size_t count) {
    return WaitUntil([&] { return StartCount() >= count; });
  }
  // The one record in the profile, its section and time checked; its key.
  std::string RecordedKey() const;
  // The record is the step's, with a reason; the reason is `reason` exactly
  // where the platform's words for it are known (not empty).
  void ExpectRecordOf(const std::string& step, const std::string& reason = "") const;
  // A download waiting and no updater running: swapped in and launched.
  void ExpectSwapAndLaunch();
  // No launch besides the `before` recorded so far.
  void ExpectNothingLaunched(size_t before = 0) const;
  // Waits until the last launch recorded is of a program of this size.
  bool WaitForLastStartOf(const std::string& program) const;

  TempDir temp_{"plindor-e2e"};
  std::string dir_, current_, download_, profile_;
};

// The platform's words for the errors the shared scenarios meet; empty
// where its words are not fixed.
extern const char* const kReasonNotFound;
extern const char* const kReasonReadOnly;
extern const char* const kReasonIsADirectory;
extern const char* const kReasonWrittenByAnother;
extern const bool kOnWindows;
