// The vendor's signature (Linux): the trust root is the minisign key
// Plindor.pub beside the program, checked as sshd's StrictModes checks a key
// file; a download's detached Plindor.exe.minisig is read as it is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/file-posix.h"
#include "run/run_ops-posix.h"
#include "verify/minisign.h"
#include "run/run_ops.h"

namespace {

const char kTrustRoot[] = "Plindor.pub";
// Both files are a few lines; anything larger is no such file.
constexpr off_t kLargestKeyFile = 4096;

// Reads a small file by its name in the folder open at `folder`: never
// through a link, never a device or a pipe, and not past the bound.
// ENOENT where it is missing, EFBIG where it is too large.
SystemError ReadSmallFile(int folder, const std::string& name, std::string& text, struct stat& info) {
  Fd file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return EINVAL;
  if (info.st_size > kLargestKeyFile) return EFBIG;
  return ReadAllAt(file.get(), 0, static_cast<size_t>(kLargestKeyFile) + 1, text);
}

// Why the trust root cannot be relied on, as sshd's StrictModes judges a
// key file; empty where it can.
Text JudgeTrustRoot(int folder, const struct stat& key) {
  struct stat folder_info;
  if (fstat(folder, &folder_info) != 0) return TXT("the folder of its trust root cannot be read");
  if ((key.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return TXT("its trust root Plindor.pub is writable by group or others");
  }
  if (key.st_uid != 0 && key.st_uid != folder_info.st_uid) {
    return TXT("its trust root Plindor.pub is owned by neither root nor the folder's owner");
  }
  return Text();
}

}  // namespace

SystemError ReadPublisherPin(const Text& current, PublisherPin& pin) {
  pin = PublisherPin();
  const InFolder at = Locate(current);
  if (at.folder.get() < 0) return LastError();
  struct stat named;
  if (fstatat(at.folder.get(), kTrustRoot, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : LastError();
  }
  pin.required = true;
  if (S_ISLNK(named.st_mode)) {
    pin.unusable = TXT("its trust root Plindor.pub is a link");
    return 0;
  }
  std::string text;
  struct stat info;
  MinisignKey key;
  if (SystemError error = ReadSmallFile(at.folder.get(), kTrustRoot, text, info)) {
    if (error != EFBIG && error != EINVAL && error != ELOOP) return error;
  } else {
    pin.unusable = JudgeTrustRoot(at.folder.get(), info);
  }
  if (pin.unusable.empty() && !ParseMinisignPublicKey(text, key)) {
    pin.unusable = TXT("its trust root Plindor.pub is no minisign public key");
  }
  if (!pin.unusable.empty()) return 0;
  pin.signer.key_hash = MinisignKeyId(key.key_number);
  pin.verify_key = key.key_number + key.public_key;
  // Where a signature names the file it signed, it must be this one: the
  // vendor signs its release notes too.
  pin.file_name = at.name;
  // The current program's own signature, where the last swap left one that
  // the key made, tells when it was signed: nothing older is taken.
  MinisignSignature current_signature;
  uint64_t signed_at = 0;
  if (ReadSmallFile(at.folder.get(), at.name + kSignatureSuffix, text, info) == 0 &&
      ParseMinisignSignature(text, current_signature) &&
      current_signature.key_number == key.key_number &&
      VerifyMinisignTrustedComment(key, current_signature) &&
      ReadMinisignTimestamp(current_signature.trusted_comment, signed_at)) {
    pin.version = {VersionKind::kSignedAt, signed_at};
  }
  return 0;
}

SystemError ReadReplacementSignature(Replacement& replacement, const PublisherPin& pin, SignatureFacts& facts) {
  facts = SignatureFacts();
  const Download& download = *replacement.download;
  std::string text;
  struct stat info;
  if (SystemError error = ReadSmallFile(download.folder, download.name + kSignatureSuffix, text, info)) {
    if (error == ENOENT) return 0;
    facts.state = SignatureState::kUnreadable;
    facts.code = static_cast<uint32_t>(error);
    return 0;
  }
  MinisignSignature signature;
  if (!ParseMinisignSignature(text, signature)) {
    facts.state = SignatureState::kUnreadable;
    return 0;
  }
  facts.signer.key_hash = MinisignKeyId(signature.key_number);
  // Only the pinned key is ever checked: a signature by another key is
  // another publisher's, whether it verifies or not.
  MinisignKey key{pin.verify_key.substr(0, 8), pin.verify_key.substr(8)};
  facts.state = SignatureState::kUntrustedChain;
  if (signature.key_number != key.key_number) return 0;
  if (!signature.prehashed) {
    facts.state = SignatureState::kLegacyForm;
    return 0;
  }
  // The digest is of the prepared file, through its descriptor: the file
  // checked is the file that will be renamed into place.
  bool unreadable = false;
  const bool file_verified = VerifyMinisignFile(
      key, signature,
      [&](uint64_t offset, size_t size, std::string& chunk) {
        return ReadAllAt(replacement.fd, offset, size, chunk) == 0;
      },
      unreadable);
  if (unreadable) return LastError();
  if (!file_verified || !VerifyMinisignTrustedComment(key, signature)) {
    facts.state = SignatureState::kContentsDiffer;
    return 0;
  }
  uint64_t signed_at = 0;
  if (ReadMinisignTimestamp(signature.trusted_comment, signed_at)) {
    facts.version = {VersionKind::kSignedAt, signed_at};
  }
  ReadMinisignFileName(signature.trusted_comment, facts.file_name);
  replacement.signature = text;
  replacement.signature_file = info;
  return 0;
}
