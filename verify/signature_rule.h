// Whether a new program is the vendor's own: its signature against the
// publisher of the program it replaces. The facts come from the platform
// (Authenticode on Windows, minisign on POSIX); the rule is the same.
#pragma once

#include <cstdint>
#include <string>

#include "common/text.h"

// What the system found of a program's signature.
enum class SignatureState {
  kNone,            // it carries no signature
  kTrusted,         // its digest and its signer verify, and the chain is trusted for code signing
  kUntrustedChain,  // its digest and its signer verify, the chain is not trusted (own CA,
                    // self-signed, expired): only the publisher's own key can take it
  kContentsDiffer,  // its digest or its signer's signature does not verify
  kDistrusted,      // its signer is revoked or explicitly distrusted: never taken
  kTrailingBytes,   // bytes after the signature, or a signature that is not the file's end
  kUnreadable,      // in a form that cannot be read
  kLegacyForm,      // minisign's legacy form, over the file itself: never taken
};

// A version that only grows: the file version of the program's version
// information (a.b.c.d, 16 bits each), or the time it was signed.
enum class VersionKind { kNone, kFileVersion, kSignedAt };
struct Version {
  VersionKind kind = VersionKind::kNone;
  uint64_t value = 0;
};

// Who signed: the primary signer's key (the SHA-256 of a certificate's
// SubjectPublicKeyInfo, or a minisign key number), raw bytes; its subject
// (the whole distinguished name, encoded; empty where keys have none) and
// its common name, for the record.
struct Signer {
  std::string key_hash, subject;
  Text common_name;
};

struct SignatureFacts {
  SignatureState state = SignatureState::kNone;
  uint32_t code = 0;  // the system's own answer, for the record (0: none to tell)
  Signer signer;
  Version version;
  // The file it says it is (a trusted comment's, a version information's
  // OriginalFilename); empty: none.
  Text file_name;
};

// The publisher a new program must match, taken from the current one.
// `required` false: no pin (an unsigned program, no trust root), and a
// download is taken unsigned. `unusable`: a pin that exists but cannot be
// relied on, in words for the record; every download is then refused.
struct PublisherPin {
  bool required = false;
  Text unusable;
  Signer signer;
  Version version;
  std::string verify_key;  // what a detached signature is verified with; empty for an embedded one
  // The file a download must say it is, letter case aside (the publisher's
  // other files, its release notes, another of its programs, are no
  // updater); empty: any. `file_name_required`: one that says none is
  // refused too (the current program names itself the same way).
  Text file_name;
  bool file_name_required = false;
};

// Empty where the download may take the current program's place as far as
// its signature tells, else why not, in words for the record. The same
// publisher has the pinned key whatever its chain, or the pinned subject
// with a chain that the system trusts; it must be the same file as the
// pin names; a lower version of the same publisher's is refused (the same
// version is a repair).
Text JudgeSignature(const PublisherPin& pin, const SignatureFacts& download);

// WinVerifyTrust's answer for a file, as the rule reads it.
SignatureState ClassifyWinVerifyTrustResult(uint32_t result);
