// What the replace-and-relaunch run needs of the operating system, in the
// order the run asks for it: the contract each platform's files keep (how
// each keeps it is said at the top of those files). The run's tests link
// fakes instead.
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

// One run at a time. kTaken: this run is the only one on the program
// directory until the process ends, whoever runs it and whatever the folder
// lets that user do; no stranger (a user who may not write the folder) can
// make it wait. kNotInTime: another run did not finish within `timeout_ms`.
enum class RunGuard { kTaken, kNotInTime };
SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, RunGuard& guard);

// Removes the temporary copies that this tool's steps make beside the
// current executable and the profile (in one folder) and that a run killed
// while making them left behind: the executable's at once, as only a run
// holding the guard makes them; the profile's once they have not been
// touched for a while, as writers from folders that share it through links
// make them too. Called holding the run guard; failures are ignored.
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
// `directory`. A link on the way is followed only where its owner is an
// administrator or the program folder's owner, as the kernel's
// protected_symlinks rule lets the links of a shared folder be followed.
// A search that cannot be made is an error.
SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found);

// The downloaded copy, opened once and held until it has taken the current
// executable's place: the file checked is the file swapped.
struct Download;

// How the download was opened, reached as FindDownload reaches it.
enum class DownloadOpen {
  kHeld,            // held: from now on no other process writes, moves or
                    // deletes it, and none still had it open for writing
  kCannotOpen,      // the error says why (a holder is waited for, within a bound)
  kWritersUnknown,  // whether another process still writes it cannot be told
  kStillWritten,    // another process still wrote it when the bound was over
};
SystemError OpenDownload(const Text& directory, const Text& below, Download*& download, DownloadOpen& open);
void CloseDownload(Download* download);

// How the download stands to the current executable: one file under two
// names (a hard link, a download folder that leads back to the program
// folder), or the same bytes. A current executable that is missing or
// cannot be read is another program. An error where the download cannot be
// read.
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

// kMade, or what could not be read or made: the download (kDownloadUnreadable)
// or the new program beside the current executable (kNotMade: no room, no
// right to make it).
enum class Prepared { kMade, kDownloadUnreadable, kNotMade };

// Copies the download's bytes, through its held handle, into a new file
// beside the current executable under the tool's temporary name, which this
// run creates and alone may write; gives it the current executable's
// protection (its owner and access, never more than the run may give, never
// what the downloader gave) and makes it durable.
SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               Prepared& prepared);
// Closes it, and removes the file unless it took the current's place.
void DiscardReplacement(Replacement* replacement);
uint64_t ReplacementSize(const Replacement& replacement);
// Reads up to `size` bytes at `offset` (fewer at the end of the file).
SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size, std::string& bytes);

// The publisher whose programs alone may replace the current executable,
// and the version no download may go below. No pin where the program is
// unsigned, or no trust root is installed. An error where the pin cannot be
// read (a damaged signature).
SystemError ReadPublisherPin(const Text& current, PublisherPin& pin);

// What the prepared program's signature says, read through the handle the
// run holds on it, verified against the pin's trust root, offline and
// without a user interface. An error where the program cannot be read.
SystemError ReadReplacementSignature(Replacement& replacement, const PublisherPin& pin, SignatureFacts& facts);

// How the replace went: kReplaced; kSignatureNotKept, the new program in
// place but its verified detached signature not beside it (the error says
// why); or refused, by the current executable or its folder
// (kCurrentRefused) or for the new program (kNotPlaced).
enum class Replaced { kReplaced, kSignatureNotKept, kCurrentRefused, kNotPlaced };

// Puts the prepared program in the current executable's place in one
// rename, so that at every instant the current executable is the whole old
// program or the whole new one, and makes it durable; its verified detached
// signature goes with it. A current executable held for a moment is waited
// for, within a bound.
SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current, Replaced& replaced);

// Removes the download, the file that was opened, not whatever its name
// leads to now.
SystemError RemoveDownload(Download& download);

// Starts the program without arguments, minimized and active where the
// platform has windows, in a session of its own with nothing of the
// caller's, and does not wait for it.
SystemError LaunchMinimized(const Text& path);

// The system's words for the error in English, the same on every machine;
// empty for an error it has no words for here.
Text DescribeSystemError(SystemError error);

LocalTime GetLocalTimeNow();

[[noreturn]] void EndProcess(int exit_code);
