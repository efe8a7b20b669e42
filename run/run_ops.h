// What the replace-and-relaunch run needs from the operating system. Each
// platform defines these in its own file; the run's tests link fakes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/system.h"
#include "common/text.h"
#include "run/image_check.h"
#include "run/signature_rule.h"

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The folder holding the running executable, without a trailing separator.
SystemError GetProgramDirectory(Text& directory);

// Makes this run the only one on the program directory until the process
// ends, whoever runs it and whatever the folder lets that user do. Waits up
// to `timeout_ms` for another run to finish; `taken` is false when it did
// not in time.
SystemError TakeRunGuard(const Text& directory, unsigned timeout_ms, bool& taken);

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

// Opens the download as the swap will need it. On Windows with delete
// access and shared for reading only, so that from now on no other process
// may write, move or delete it; a process that holds it in a way that
// refuses this is waited for, within a bound. On POSIX read-only, never
// through a link, where it may be removed once it has been copied (its
// folder and its attributes allow it).
// It is reached as FindDownload reaches it.
SystemError OpenDownload(const Text& directory, const Text& below, Download*& download);
void CloseDownload(Download* download);
uint64_t DownloadSize(const Download& download);

// Reads up to `size` bytes at `offset` (fewer at the end of the file).
SystemError ReadDownloadAt(Download& download, uint64_t offset, size_t size, std::string& bytes);

// Waits, within a bound, until no process has the download open for
// writing; `still_written` tells that one still had when the bound was
// over. On Windows the download's own handle already shuts writers out.
SystemError WaitUntilNoOtherWriter(Download& download, bool& still_written);

// Compares the download with the current executable: `same_file` where they
// are one file under two names (a hard link, or a download folder that
// leads back to the program folder), `same_bytes` where they hold the same
// bytes. A current executable that is missing or cannot be read is neither.
SystemError CompareDownloadWithCurrent(Download& download, const Text& current, bool& same_file,
                                       bool& same_bytes);

// The programs this system runs: which PE machines (Windows) or which ELF
// machine (POSIX).
RunnableMachines GetRunnableMachines();

// Whether the current executable may be replaced, known before anything is
// stopped: 0 where it may be (also where it is missing), else the error the
// replace would meet for it (a read-only, immutable or append-only file, a
// folder, a file the tool may not replace, a folder that refuses the
// rename). A running program that holds it is no such error: stopping it
// is what frees it.
SystemError CheckCurrentReplaceable(const Text& current);

// The new program, made beside the current executable before anything is
// stopped, and held until it has taken its place.
struct Replacement;

// Copies the download's bytes, through its held handle, into a new file
// beside the current executable under the tool's temporary name, which this
// run creates and alone may write; gives it the current executable's
// protection (POSIX: its owner, group and mode, never a set-user-ID or
// set-group-ID bit the run cannot give with the owner; Windows: its DACL,
// or the folder's inheritance where it inherits, and its owner where the
// run may set it) and flushes it. `download_unreadable` tells that reading
// the download failed, rather than making the copy.
SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               bool& download_unreadable);
// Closes it, and removes the file unless it took the current's place.
void DiscardReplacement(Replacement* replacement);
uint64_t ReplacementSize(const Replacement& replacement);
// Reads up to `size` bytes at `offset` (fewer at the end of the file).
SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size,
                              std::string& bytes);

// The publisher whose programs alone may replace the current executable:
// on Windows the primary signer of its Authenticode signature, and its file
// version; on POSIX the minisign key Plindor.pub in its folder, and the time
// the current program's own signature beside it says it was signed. No pin
// where the program is unsigned or there is no key. An error where the
// pin cannot be read (a damaged signature).
SystemError ReadPublisherPin(const Text& current, PublisherPin& pin);

// What the prepared program's signature says, read through the handle the
// run holds on it (POSIX: the download's detached signature, read with the
// download's guards and verified with the pin's key), offline and without
// a user interface. An error where the program cannot be read.
SystemError ReadReplacementSignature(Replacement& replacement, Download& download,
                                     const PublisherPin& pin, SignatureFacts& facts);

// After the swap, the download's detached signature, as it was verified,
// beside the new program, and removed from the download's folder; nothing
// where there is none (Windows: the signature is in the program).
SystemError KeepSignatureBesideCurrent(Download& download, const Text& current);

// Puts the prepared program in the current executable's place in one
// rename, so that at every instant the current executable is the whole old
// program or the whole new one, and makes it durable. On Windows a current
// executable held for a moment is waited for, within a bound.
// `current_refused` tells that the current executable refused it.
SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current,
                                          bool& current_refused);

// Removes the download, the file that was opened, not whatever its name
// leads to now.
SystemError RemoveDownload(Download& download);

// Starts the program without arguments, minimized and active where the
// platform has windows, and does not wait for it.
SystemError LaunchMinimized(const Text& path);

// The system's words for the error in English, the same on every machine;
// empty for an error it has no words for here.
Text DescribeSystemError(SystemError error);

LocalTime GetLocalTimeNow();

[[noreturn]] void EndProcess(int exit_code);
