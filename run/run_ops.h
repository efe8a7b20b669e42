// What the replace-and-relaunch run needs of the system, in the order the
// run asks for it: the contract each platform's files keep (how, they say at
// their top). The run's tests link fakes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/system.h"
#include "common/text.h"
#include "run/failure_record.h"
#include "verify/image_check.h"
#include "verify/signature_rule.h"

// The folder holding the running executable, without a trailing separator.
SystemError GetProgramDirectory(Text& directory);

// One run at a time on the program directory until the process ends,
// whoever runs it; no stranger (who may not write the folder) makes it wait.
enum class RunGuard { kTaken, kNotInTime };
SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, RunGuard& guard);

// Removes the temporary copies beside the current executable and the
// profile (one folder) that runs killed midway left behind (IsLeftoverCopy).
// Called holding the run guard; failures are ignored.
void RemoveLeftoverCopies(const Text& current, const Text& profile);

// What stands at the download's place.
enum class DownloadFound {
  kNothing,    // nothing, or no plain file: a hidden or system file, a link
               // (a reparse point that is a name surrogate), a directory
  kPlainFile,  // a plain file
  kBehindAStrangersLink,  // a link on the way to it is neither an
                          // administrator's (root, SYSTEM, the Administrators)
                          // nor the program folder's owner's
};

// What stands at `below` (the separator first) under the program folder
// `directory`, a link on the way followed only where an administrator or the
// folder's owner made it (the kernel's protected_symlinks rule). A search
// that cannot be made is an error.
SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found);

// The downloaded copy, opened once and held until it has taken the current
// executable's place: the file checked is the file swapped.
struct Download;

// How the download was opened, reached as FindDownload reaches it.
enum class DownloadOpen {
  kHeld,            // no other process writes, moves or deletes it from now on
  kCannotOpen,      // the error says why (a holder is waited for, within a bound)
  kWritersUnknown,  // whether another process still writes it cannot be told
  kStillWritten,    // another process still wrote it when the bound was over
};
SystemError OpenDownload(const Text& directory, const Text& below, Download*& download, DownloadOpen& open);
void CloseDownload(Download* download);

// How the download stands to the current executable: one file under two
// names (a hard link, a folder leading back), the same bytes, or another (a
// current executable missing or unreadable too). An error where the
// download cannot be read.
enum class Likeness { kAnother, kSameBytes, kSameFile };
SystemError CompareDownloadWithCurrent(Download& download, const Text& current, Likeness& likeness);

// Whether the current executable may be replaced, known before anything is
// stopped: 0 where it may be (also where it is missing), else the error the
// replace would meet for it (a read-only, immutable or append-only file, a
// folder, a file the tool may not replace, a folder that refuses the
// rename). A running program that holds it is no such error: stopping it
// is what frees it.
SystemError CheckCurrentReplaceable(const Text& current);

// The programs this system runs.
RunnableMachines GetRunnableMachines();

// The new program, made beside the current executable before anything is
// stopped, and held until it has taken its place.
struct Replacement;

// Copies the download's bytes, through its held handle, into a new file
// beside the current executable under the tool's temporary name, which this
// run creates and alone may write; gives it the current executable's
// protection (never what the downloader gave, nor more than the run may
// give) and makes it durable. Or what could not be read or made: the
// download, or the new program (no room, no right to make it).
enum class Prepared { kMade, kDownloadUnreadable, kNotMade };
SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               Prepared& prepared);
// Closes it, and removes the file unless it took the current's place.
void DiscardReplacement(Replacement* replacement);
uint64_t ReplacementSize(const Replacement& replacement);
// Reads up to `size` bytes at `offset` (fewer at the end of the file).
SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size, std::string& bytes);

// The publisher whose programs alone may replace the current executable,
// and the version no download may go below; none where the program is
// unsigned or no trust root is installed. An error for a damaged signature.
SystemError ReadPublisherPin(const Text& current, PublisherPin& pin);

// What the prepared program's signature says, read through the handle the
// run holds on it, verified against the pin's trust root, offline and
// without a user interface. An error where the program cannot be read.
SystemError ReadReplacementSignature(Replacement& replacement, const PublisherPin& pin, SignatureFacts& facts);

// Puts the prepared program in the current executable's place in one
// rename, so that at every instant the current executable is the whole old
// program or the whole new one, and makes it durable; its verified detached
// signature goes with it (kSignatureNotKept where it could not). Refused by
// the current executable or its folder (a holder is waited for, within a
// bound), or for the new program.
enum class Replaced { kReplaced, kSignatureNotKept, kCurrentRefused, kNotPlaced };
SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current, Replaced& replaced);

// The SHA-256 of the prepared program, read through the run's handle, or of
// the program at `path`; 32 bytes. An error where it cannot be read.
SystemError ReadReplacementDigest(Replacement& replacement, std::string& digest);
SystemError ReadProgramDigest(const Text& path, std::string& digest);

// Gives the current executable (and, where it has one, its detached
// signature) a second name, `current` + ".previous", in one rename over an
// older one: a hard link where the file system has them, else a durable
// copy with the current one's protection. Nothing where there is no
// current executable.
SystemError KeepPreviousProgram(const Text& current);

// Renames the previous program (and its signature, where it kept one)
// over the current executable in one step, and makes it durable; a current
// executable held for a moment is waited for, within a bound.
SystemError PutPreviousBack(const Text& current);

// A small file of the run's own beside the current executable (`current` +
// `suffix`): read whole (empty where there is none), written whole (a crash
// leaves the old one or the new one), removed.
SystemError ReadFileBeside(const Text& current, const Text& suffix, std::string& bytes);
SystemError WriteFileBeside(const Text& current, const Text& suffix, const std::string& bytes);
SystemError RemoveFileBeside(const Text& current, const Text& suffix);

// Removes the download, the file that was opened, not whatever its name
// leads to now.
SystemError RemoveDownload(Download& download);

// Starts the program without arguments, minimized and active (Windows), in
// a session of its own with nothing of the caller's; does not wait for it.
// A file another process holds is waited out, within a bound.
SystemError LaunchMinimized(const Text& path);

// How a swap's new program fared in its first moments.
enum class FirstMoments { kRuns, kCannotRun };

// Starts the new program of a swap as LaunchMinimized does, but with the
// system's box for a missing library off (a program that cannot load ends at
// once), and watches it for `watch_ms` at most. kCannotRun where its start
// failed as only a program that cannot run here fails (the error says why)
// or where it ended as only such a program ends (`ending` says how, in
// words for the record); any other ending, or still running, is kRuns. An
// error with kRuns: it could not be started for a reason not its own
// (another process held it past the bound, a path the system cannot take).
SystemError LaunchAndWatch(const Text& path, unsigned watch_ms, FirstMoments& moments, Text& ending);

// The system's words for the error in English, the same on every machine;
// empty for an error it has no words for here.
Text DescribeSystemError(SystemError error);

LocalTime GetLocalTimeNow();

[[noreturn]] void EndProcess(int exit_code);
