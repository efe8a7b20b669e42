// The replace (Windows): each read of the current executable waits out a
// holder; the new program is a copy no one else may write or delete, with
// the current one's DACL and owner, flushed, renamed through its own handle
// with POSIX semantics where the system has them.
#include <windows.h>
// After windows.h: the security calls need its types.
#include <aclapi.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/contents.h"
#include "common/file-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "common/temp_name.h"
#include "run/run_ops-win32.h"
#include "run/run_ops.h"

namespace {

// A file time in seconds.
long long Seconds(const FILETIME& time) {
  return static_cast<long long>(((ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime) / 10000000);
}

}  // namespace

void RemoveLeftoverCopies(const Text& current, const Text& profile) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  for (const Text& path : {current, profile}) {
    const Text folder = FolderOf(path) + L'\\';
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW(ExtendedPath(folder + TempNamePrefix(NameOf(path)) + L'*').c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) continue;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          IsLeftoverCopy(found.cFileName, NameOf(current), NameOf(profile),
                         Seconds(now) - Seconds(found.ftLastWriteTime))) {
        DeleteFileW(ExtendedPath(folder + found.cFileName).c_str());
      }
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
  }
}

SystemError CheckCurrentReplaceable(const Text& current) {
  const Text extended = ExtendedPath(current);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  const DWORD read_error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    attributes = GetFileAttributesW(extended.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES ? 0 : LastError();
  });
  if (read_error == ERROR_FILE_NOT_FOUND || read_error == ERROR_PATH_NOT_FOUND) return 0;
  if (read_error != 0) return read_error;
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  // Delete access is what a replace needs of the file; a running program
  // does not refuse it, its permissions may. A process that holds the file
  // without sharing its deletion may let go when the updater is stopped:
  // the replace waits for it then.
  return RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    HANDLE file = CreateFileW(extended.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = LastError();
      return IsSharingOrLockViolation(error) ? 0 : error;
    }
    CloseHandle(file);
    return 0;
  });
}

namespace {

// FileRenameInfoEx (Windows 10 1709) reads FILE_RENAME_INFO with flags in
// place of the old BOOLEAN; the headers declare neither for Vista.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2;

DWORD RenameByHandle(HANDLE file, const Text& target, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
  std::string buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t), '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(&buffer[0]);
  if (kind == kFileRenameInfoEx) {
    memcpy(rename, &flags, sizeof flags);
  } else {
    rename->ReplaceIfExists = TRUE;
  }
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  memcpy(rename->FileName, target.data(), target.size() * sizeof(wchar_t));
  return SetFileInformationByHandle(file, kind, rename, static_cast<DWORD>(buffer.size()))
             ? 0
             : LastError();
}

// How a system without the POSIX rename answers it: before Windows 10 1709
// the information class is unknown; FAT volumes, network shares and Wine
// refuse the flags.
bool IsPosixRenameUnsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// The current executable's protection for the new program: its DACL, as it
// stands where it is protected from inheritance, or the folder's inherited
// one (which the new file, made in the same folder, already has) with its
// explicit entries where it inherits; and its owner, where the run may set
// it (an administrator's run may; the system refuses it to others, who
// then own the file they made in a folder they may write). Where there is
// no current executable, the new one keeps what the folder gives it.
DWORD GiveProtectionOf(const Text& current, HANDLE file) {
  // Whatever stands there: a folder in its place is refused later, by the
  // rename; one whose deletion is pending is waited out, and then gone.
  HANDLE program = INVALID_HANDLE_VALUE;
  const Text extended = ExtendedPath(current);
  const DWORD open_error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    program = CreateFileW(extended.c_str(), READ_CONTROL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return program != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (open_error != 0) {
    return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND ? 0 : open_error;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(program, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &descriptor);
  CloseHandle(program);
  if (error != ERROR_SUCCESS) return error;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                               ? PROTECTED_DACL_SECURITY_INFORMATION
                                               : UNPROTECTED_DACL_SECURITY_INFORMATION;
  error = SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr,
                          nullptr, dacl, nullptr);
  if (error == ERROR_SUCCESS) {
    SetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                    nullptr);
  }
  LocalFree(descriptor);
  return error;
}

// Renames the file open at `file` (with delete access) over the current
// executable. With POSIX semantics, a holder that shares deletion (a
// scanner, an indexer) keeps the old file open and no longer blocks the
// rename over it; where the system has no such rename, the rename that
// waits for it.
DWORD RenameOverCurrent(HANDLE file, const Text& current) {
  const Text target = ExtendedPath(current);
  return RetryFileStep(FileStep::kReplaceCurrent, current, [&]() -> DWORD {
    const DWORD posix_error =
        RenameByHandle(file, target, kFileRenameInfoEx, kRenameReplaceIfExists | kRenamePosixSemantics);
    if (!IsPosixRenameUnsupported(posix_error)) return posix_error;
    return RenameByHandle(file, target, FileRenameInfo, 0);
  });
}

// Errors by which a volume says it has no hard links (FAT, exFAT, some
// network shares), or none more for this file.
bool HasNoHardLinks(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_TOO_MANY_LINKS ||
         error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_PARAMETER;
}

// A copy of the file open at `from` under a temporary name beside the
// current executable, with its protection, flushed, and left open in `copy`
// (INVALID_HANDLE_VALUE where none could be made); `read_failed` tells a
// failed read of `from` from a failed write.
DWORD CopyBesideCurrent(HANDLE from, const Text& current, HANDLE& copy, Text& temp, uint64_t& copied,
                        bool& read_failed) {
  copy = CreateFileUnderTemporaryName(current, temp);
  if (copy == INVALID_HANDLE_VALUE) return LastError();
  DWORD error = CopyContents(
      [&](uint64_t offset, size_t size, std::string& bytes) { return ReadFileAt(from, offset, size, bytes); },
      // Written in order, so at the offset given.
      [&](uint64_t, const std::string& bytes) -> SystemError {
        DWORD written = 0;
        return WriteFile(copy, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ? 0 : LastError();
      },
      copied, read_failed);
  if (error == 0) error = GiveProtectionOf(current, copy);
  if (error == 0 && !FlushFileBuffers(copy)) error = LastError();
  return error;
}

// A copy of the current executable under a temporary name beside it, with
// its protection, flushed.
DWORD CopyCurrent(const Text& current, Text& temp) {
  HANDLE from = INVALID_HANDLE_VALUE;
  DWORD error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
    from = CreateFileW(ExtendedPath(current).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
    return from != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return error;
  HANDLE copy = INVALID_HANDLE_VALUE;
  uint64_t copied = 0;
  bool read_failed = false;
  error = CopyBesideCurrent(from, current, copy, temp, copied, read_failed);
  CloseHandle(from);
  if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
  return error;
}

}  // namespace

SystemError KeepPreviousProgram(const Text& current) {
  const Text previous = current + L".previous";
  // A second name under a temporary one, then moved over an older one.
  Text temp;
  DWORD error = 0;
  MakeUnderTemporaryName(TemporaryPrefixBeside(current), TempNameSeed(), temp, [&](const Text& at) {
    error = RetryFileStep(FileStep::kCheckCurrent, current, [&]() -> DWORD {
      return CreateHardLinkW(ExtendedPath(at).c_str(), ExtendedPath(current).c_str(), nullptr) ? 0 : LastError();
    });
    return error != ERROR_ALREADY_EXISTS;
  });
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  if (HasNoHardLinks(error)) error = CopyCurrent(current, temp);
  if (error == 0 && !MoveFileExW(ExtendedPath(temp).c_str(), ExtendedPath(previous).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastError();
  }
  // Where both names were of one file already, the temporary one may stay.
  DeleteFileW(ExtendedPath(temp).c_str());
  return error;
}

SystemError PutPreviousBack(const Text& current) {
  HANDLE previous = CreateFileW(ExtendedPath(current + L".previous").c_str(), DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (previous == INVALID_HANDLE_VALUE) return LastError();
  const DWORD error = RenameOverCurrent(previous, current);
  CloseHandle(previous);
  return error;
}

SystemError PrepareReplacement(Download& download, const Text& current, Replacement*& replacement,
                               Prepared& prepared) {
  prepared = Prepared::kNotMade;
  Text path;
  HANDLE copy = INVALID_HANDLE_VALUE;
  uint64_t copied = 0;
  bool read_failed = false;
  const SystemError error = CopyBesideCurrent(download.handle, current, copy, path, copied, read_failed);
  if (copy == INVALID_HANDLE_VALUE) return error;
  if (read_failed) prepared = Prepared::kDownloadUnreadable;
  replacement = new Replacement{copy, path, copied, false};
  if (error != 0) {
    DiscardReplacement(replacement);
    replacement = nullptr;
    return error;
  }
  prepared = Prepared::kMade;
  return 0;
}

void DiscardReplacement(Replacement* replacement) {
  if (replacement == nullptr) return;
  if (!replacement->placed) {
    FILE_DISPOSITION_INFO remove = {TRUE};
    SetFileInformationByHandle(replacement->handle, FileDispositionInfo, &remove, sizeof remove);
  }
  CloseHandle(replacement->handle);
  delete replacement;
}

uint64_t ReplacementSize(const Replacement& replacement) { return replacement.size; }

SystemError ReadReplacementAt(Replacement& replacement, uint64_t offset, size_t size,
                              std::string& bytes) {
  return ReadFileAt(replacement.handle, offset, size, bytes);
}

SystemError ReplaceCurrentWithReplacement(Replacement& replacement, const Text& current, Replaced& replaced) {
  const SystemError error = RenameOverCurrent(replacement.handle, current);
  // The new program is held by this handle alone: what refuses its rename
  // is the current executable (or its folder). The signature is the
  // program's own: it went with it.
  replaced = error == 0 ? Replaced::kReplaced
             : error == ERROR_ACCESS_DENIED || error == ERROR_DELETE_PENDING || IsSharingOrLockViolation(error)
                 ? Replaced::kCurrentRefused
                 : Replaced::kNotPlaced;
  if (error == 0) replacement.placed = true;
  return error;
}
