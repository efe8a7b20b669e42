#include "verify/signature_rule.h"

#include "common/ascii.h"

namespace {

// The first eight hex digits of the key: enough for a fleet to tell a
// renewal with a new key from a stranger's, short enough for a key.
Text KeyPrefix(const std::string& key_hash) {
  Text text;
  for (size_t i = 0; i < key_hash.size() && i < 4; ++i) {
    text += HexText(static_cast<unsigned char>(key_hash[i]), 2);
  }
  return text;
}

Text VersionText(const Version& version) {
  if (version.kind == VersionKind::kSignedAt) return TXT("signed at ") + DecimalText(version.value);
  Text text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    text += DecimalText((version.value >> shift) & 0xffff);
    if (shift != 0) text += TXT('.');
  }
  return text;
}

Text WithCode(const Text& reason, uint32_t code) {
  return code == 0 ? reason : reason + TXT(" (error ") + ErrorNumberText(code) + TXT(")");
}

bool SameNameLetterCaseAside(const Text& a, const Text& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

Text JudgeSignature(const PublisherPin& pin, const SignatureFacts& download) {
  if (!pin.required) return Text();
  if (!pin.unusable.empty()) return pin.unusable;
  switch (download.state) {
    case SignatureState::kNone:
      return TXT("it is not signed");
    case SignatureState::kContentsDiffer:
      return WithCode(TXT("its contents do not match its signature"), download.code);
    case SignatureState::kDistrusted:
      return WithCode(TXT("its signer is revoked or distrusted"), download.code);
    case SignatureState::kTrailingBytes:
      return TXT("it carries bytes after its signature");
    case SignatureState::kUnreadable:
      return WithCode(TXT("its signature cannot be read"), download.code);
    case SignatureState::kLegacyForm:
      return TXT("its signature is in minisign's legacy form, which is not taken");
    case SignatureState::kTrusted:
    case SignatureState::kUntrustedChain:
      break;
  }
  const Signer& pinned = pin.signer;
  const Signer& signer = download.signer;
  const bool same_key = !pinned.key_hash.empty() && signer.key_hash == pinned.key_hash;
  // Anyone may make a certificate with the vendor's name: a subject counts
  // only with a chain the system trusts for code signing.
  const bool same_subject = download.state == SignatureState::kTrusted && !pinned.subject.empty() &&
                            signer.subject == pinned.subject;
  if (!same_key && !same_subject) {
    Text who;
    if (!signer.common_name.empty()) who = TXT("common name ") + KeySafe(signer.common_name) + TXT(", ");
    return TXT("it is signed by another publisher (") + who + TXT("key ") + KeyPrefix(signer.key_hash) +
           TXT(")");
  }
  if (!pin.file_name.empty() && !SameNameLetterCaseAside(download.file_name, pin.file_name) &&
      (pin.file_name_required || !download.file_name.empty())) {
    const Text name = download.file_name.empty() ? Text(TXT("no name")) : KeySafe(download.file_name);
    return TXT("it is another of its publisher's files (") + name + TXT(", not ") + KeySafe(pin.file_name) +
           TXT(")");
  }
  const Version& ours = pin.version;
  const Version& theirs = download.version;
  if (ours.kind != VersionKind::kNone && ours.kind == theirs.kind && theirs.value < ours.value) {
    return TXT("it is older than the current updater (") + VersionText(theirs) + TXT(" < ") +
           VersionText(ours) + TXT(")");
  }
  return Text();
}

SignatureState ClassifyWinVerifyTrustResult(uint32_t result) {
  // As WinVerifyTrust's documentation and WinError.h describe them. The
  // Authenticode policy reports its steps in order: a chain's error comes
  // only after the file's digest and the signer's signature verified.
  static const struct {
    uint32_t result;
    SignatureState state;
  } kResults[] = {
      {0x00000000, SignatureState::kTrusted},         // S_OK
      {0x800B0100, SignatureState::kNone},            // TRUST_E_NOSIGNATURE
      {0x80096010, SignatureState::kContentsDiffer},  // TRUST_E_BAD_DIGEST
      {0x80090006, SignatureState::kContentsDiffer},  // NTE_BAD_SIGNATURE
      {0x800B0109, SignatureState::kUntrustedChain},  // CERT_E_UNTRUSTEDROOT
      {0x800B010A, SignatureState::kUntrustedChain},  // CERT_E_CHAINING
      {0x800B0101, SignatureState::kUntrustedChain},  // CERT_E_EXPIRED
      {0x800B0102, SignatureState::kUntrustedChain},  // CERT_E_VALIDITYPERIODNESTING
      {0x800B0110, SignatureState::kUntrustedChain},  // CERT_E_WRONG_USAGE
      {0x800B0106, SignatureState::kUntrustedChain},  // CERT_E_PURPOSE
      {0x800B010D, SignatureState::kUntrustedChain},  // CERT_E_UNTRUSTEDTESTROOT
      {0x800B0112, SignatureState::kUntrustedChain},  // CERT_E_UNTRUSTEDCA
      {0x800B0105, SignatureState::kUntrustedChain},  // CERT_E_CRITICAL
      {0x800B010E, SignatureState::kUntrustedChain},  // CERT_E_REVOCATION_FAILURE
      {0x80096019, SignatureState::kUntrustedChain},  // TRUST_E_BASIC_CONSTRAINTS
      {0x8009601E, SignatureState::kUntrustedChain},  // TRUST_E_FINANCIAL_CRITERIA
      {0x80096004, SignatureState::kUntrustedChain},  // TRUST_E_CERT_SIGNATURE
      {0x800B010C, SignatureState::kDistrusted},      // CERT_E_REVOKED
      {0x800B0111, SignatureState::kDistrusted},      // TRUST_E_EXPLICIT_DISTRUST
      {0x80092026, SignatureState::kDistrusted},      // CRYPT_E_SECURITY_SETTINGS
  };
  for (const auto& known : kResults) {
    if (known.result == result) return known.state;
  }
  // TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_PROVIDER_UNKNOWN, a file error,
  // and whatever else is not known to mean a good signature.
  return SignatureState::kUnreadable;
}
