// minisign's public key and signature files, and their verification with
// libsodium: how a Linux vendor signs its programs (Ed25519, over the
// file's BLAKE2b-512 hash). The legacy form, over the file itself, is read
// but never verified: a prehashed signature with its algorithm changed to
// the legacy one verifies for the 64 bytes of the hash it signed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct MinisignKey {
  std::string key_number;  // 8 bytes, as in the file
  std::string public_key;  // 32 bytes
};

struct MinisignSignature {
  bool prehashed = true;  // "ED": over the BLAKE2b-512 hash; "Ed": the legacy form
  std::string key_number, signature;  // 8 and 64 bytes
  std::string trusted_comment;        // the text after "trusted comment: "
  std::string global_signature;       // 64 bytes, over signature + trusted comment
};

// The files as `minisign -G` and `minisign -S` write them, read as
// `minisign -V` reads them: a comment line (for a signature, an untrusted
// comment), then the key or signature in base64; a signature file then a
// trusted comment line and the global signature. Lines may end in CRLF;
// what follows the last of them (empty lines, anything) is not looked at.
// False where the text is not such a file.
bool ParseMinisignPublicKey(const std::string& text, MinisignKey& key);
bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature);

// Whether the global signature, over the signature and its trusted comment,
// is the key's.
bool VerifyMinisignTrustedComment(const MinisignKey& key, const MinisignSignature& signature);

// Reads the file's bytes in order into `chunk`, from `offset` on, up to
// `size` at a time; an empty chunk ends it. False where it cannot be read.
using ReadChunk = std::function<bool(uint64_t offset, size_t size, std::string& chunk)>;

// Whether the prehashed signature over the file that `read` reads is the
// key's: the file is read once, hashed as it comes. False for the legacy
// form, unread. `unreadable` tells that reading failed.
bool VerifyMinisignFile(const MinisignKey& key, const MinisignSignature& signature,
                        const ReadChunk& read, bool& unreadable);

// The time the trusted comment says the file was signed ("timestamp:N",
// as minisign 0.10 and later write it); false where it says none.
bool ReadMinisignTimestamp(const std::string& trusted_comment, uint64_t& seconds);

// The name of the file signed, as the trusted comment gives it
// ("file:NAME", as minisign 0.10 and later write it); false where it names
// none.
bool ReadMinisignFileName(const std::string& trusted_comment, std::string& name);

// The key number as minisign prints it (a little-endian number, high digits
// first), as bytes.
std::string MinisignKeyId(const std::string& key_number);
