// The download (Windows): opened once with delete access and shared for
// reading only, so that no one else may write, move or delete it (a writer
// refuses the open too); a holder is waited for within the held-file bound.
#include <windows.h>
// After windows.h: the security calls need its types.
#include <aclapi.h>

#include <cstdint>
#include <string>

#include "common/contents.h"
#include "common/file-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/run_ops-win32.h"
#include "run/run_ops.h"

namespace {

// What stands at a name, through a handle on the name itself.
struct FileFacts {
  DWORD attributes = 0, tag = 0;
  BY_HANDLE_FILE_INFORMATION identity = {};
};

bool ReadFacts(HANDLE file, FileFacts& facts) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandle(file, &facts.identity)) {
    return false;
  }
  facts.attributes = tag.FileAttributes;
  facts.tag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
  return true;
}

// A name surrogate (a symbolic link, a junction, a mount point) points
// elsewhere; other reparse points (deduplicated files, cloud and HSM
// placeholders, compressed files) are files like any other.
bool IsLink(const FileFacts& facts) { return facts.tag != 0 && IsReparseTagNameSurrogate(facts.tag); }

// The name itself, open to read what it is and who owns it.
HANDLE OpenName(const Text& path) {
  return CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Whether `owner` is the system's, the administrators' or that of the
// program folder (whose owner is read once, where it is needed).
bool IsTrustedOwner(PSID owner, const Text& directory) {
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  PSID folder_owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const Text folder = ExtendedPath(FolderPath(directory));
  const bool same = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &folder_owner,
                                          nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                    EqualSid(owner, folder_owner);
  LocalFree(descriptor);
  return same;
}

enum class Way { kOpen, kMissing, kStrangersLink };

// Looks at each folder on the way from the program folder to `below`: a name
// surrogate there (a symbolic link, a junction, a mount point) is followed
// only where its owner is the system, the administrators or the program
// folder's owner; anyone else chose where the way leads. A link's own
// target is not looked into further.
DWORD CheckTheWay(const Text& directory, const Text& below, Way& way) {
  way = Way::kOpen;
  for (size_t at = below.find(L'\\', 1); at != Text::npos; at = below.find(L'\\', at + 1)) {
    HANDLE step = OpenName(directory + below.substr(0, at));
    if (step == INVALID_HANDLE_VALUE) {
      if (!IsMissing(GetLastError())) return LastError();
      way = Way::kMissing;
      return 0;
    }
    FileFacts facts;
    DWORD error = ReadFacts(step, facts) ? 0 : LastError();
    if (error == 0 && IsLink(facts)) {
      PSID owner = nullptr;
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      error = GetSecurityInfo(step, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor);
      if (error == ERROR_SUCCESS && !IsTrustedOwner(owner, directory)) way = Way::kStrangersLink;
      LocalFree(descriptor);
    }
    CloseHandle(step);
    if (error != 0 || way != Way::kOpen) return error;
  }
  return 0;
}

}  // namespace

SystemError FindDownload(const Text& directory, const Text& below, DownloadFound& found) {
  found = DownloadFound::kNothing;
  Way way = Way::kOpen;
  if (DWORD error = CheckTheWay(directory, below, way)) return error;
  if (way == Way::kMissing) return 0;
  if (way == Way::kStrangersLink) {
    found = DownloadFound::kBehindAStrangersLink;
    return 0;
  }
  // A link copied into place could point anywhere, even at the executable.
  HANDLE name = OpenName(directory + below);
  if (name == INVALID_HANDLE_VALUE) return IsMissing(GetLastError()) ? 0 : LastError();
  FileFacts facts;
  const bool read = ReadFacts(name, facts);
  CloseHandle(name);
  if (!read) return LastError();
  if ((facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0 &&
      !IsLink(facts)) {
    found = DownloadFound::kPlainFile;
  }
  return 0;
}

SystemError OpenDownload(const Text& directory, const Text& below, Download*& download, DownloadOpen& open) {
  open = DownloadOpen::kCannotOpen;
  // The way looked at again, as it was found: a link made since is refused.
  Way way = Way::kOpen;
  if (DWORD error = CheckTheWay(directory, below, way)) return error;
  if (way != Way::kOpen) return way == Way::kMissing ? ERROR_PATH_NOT_FOUND : ERROR_CANT_ACCESS_FILE;
  const Text path = directory + below;
  const Text extended = ExtendedPath(path);
  FileFacts named;
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD error = RetryFileStep(FileStep::kOpenDownload, path, [&]() -> DWORD {
    // What stands at the name now, seen through a handle on the name
    // itself: the search saw it by path, and it may have become a link.
    HANDLE probe = OpenName(path);
    if (probe == INVALID_HANDLE_VALUE) return LastError();
    const DWORD probe_error = ReadFacts(probe, named) ? 0 : LastError();
    CloseHandle(probe);
    if (probe_error != 0) return probe_error;
    if (IsLink(named)) return ERROR_CANT_ACCESS_FILE;
    // Delete access, as the removal needs; shared for reading only, so that
    // no other process may write, move or delete it from now on. A process
    // that still writes it refuses this open too. A plain file is opened as
    // the name itself; another reparse point (deduplicated, cloud) as its
    // data.
    file = CreateFileW(extended.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, named.tag == 0 ? FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return error;
  // The file held is the file seen: a link put in its place meanwhile
  // names another.
  FileFacts held;
  LARGE_INTEGER length;
  SystemError held_error = 0;
  if (!ReadFacts(file, held) || !GetFileSizeEx(file, &length)) {
    held_error = LastError();
  } else if (!SameFile(held.identity, named.identity) || IsLink(held)) {
    held_error = ERROR_CANT_ACCESS_FILE;
  }
  if (held_error != 0) {
    CloseHandle(file);
    return held_error;
  }
  download = new Download{file, static_cast<uint64_t>(length.QuadPart)};
  open = DownloadOpen::kHeld;
  return 0;
}

void CloseDownload(Download* download) {
  if (download == nullptr) return;
  CloseHandle(download->handle);
  delete download;
}

SystemError CompareDownloadWithCurrent(Download& download, const Text& current, Likeness& likeness) {
  likeness = Likeness::kAnother;
  // Shared with every other holder: a running updater has its image open.
  HANDLE program = CreateFileW(ExtendedPath(current).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (program == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION theirs, ours;
  SystemError error = 0;
  if (GetFileInformationByHandle(download.handle, &theirs) && GetFileInformationByHandle(program, &ours)) {
    const uint64_t size = (uint64_t{ours.nFileSizeHigh} << 32) | ours.nFileSizeLow;
    bool same = false;
    if (SameFile(theirs, ours)) {
      likeness = Likeness::kSameFile;
    } else if (size == download.size) {
      error = CompareContents(
          [&](uint64_t offset, size_t count, std::string& bytes) { return ReadFileAt(download.handle, offset, count, bytes); },
          [&](uint64_t offset, size_t count, std::string& bytes) { return ReadFileAt(program, offset, count, bytes); },
          size, same);
      if (same) likeness = Likeness::kSameBytes;
    }
  }
  CloseHandle(program);
  return error;
}

SystemError RemoveDownload(Download& download) {
  // Through the handle that was checked: whatever else its name may lead to.
  FILE_DISPOSITION_INFO remove = {TRUE};
  return SetFileInformationByHandle(download.handle, FileDispositionInfo, &remove, sizeof remove)
             ? 0
             : LastError();
}
