#include "verify/minisign.h"

#include <sodium.h>

#include <vector>

#include "common/contents.h"

// No sodium_init: verifying needs neither the random generator nor threads,
// and the processor-specific BLAKE2b it would pick hashed more slowly than
// the portable code on our test machine (see bench/results.md).

namespace {

constexpr size_t kKeyNumberBytes = 8;

// The file's first `count` lines, without their line ends (a CRLF's CR
// too); false where it has fewer. minisign reads no further.
bool FirstLines(const std::string& text, size_t count, std::vector<std::string>& lines) {
  for (size_t at = 0; lines.size() < count && at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines.size() == count;
}

bool Base64Bytes(const std::string& text, size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  size_t decoded = 0;
  const char* end = nullptr;
  return sodium_base642bin(reinterpret_cast<unsigned char*>(&bytes[0]), size, text.data(),
                           text.size(), nullptr, &decoded, &end,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         decoded == size && end == text.data() + text.size();
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool Verify(const std::string& signature, const std::string& message, const MinisignKey& key) {
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(),
                                     reinterpret_cast<const unsigned char*>(key.public_key.data())) == 0;
}

}  // namespace

bool ParseMinisignPublicKey(const std::string& text, MinisignKey& key) {
  std::vector<std::string> lines;
  std::string bytes;
  // minisign takes any comment line above a key.
  if (!FirstLines(text, 2, lines) || !Base64Bytes(lines[1], 2 + kKeyNumberBytes + crypto_sign_PUBLICKEYBYTES, bytes) ||
      bytes.compare(0, 2, "Ed") != 0) {
    return false;
  }
  key.key_number = bytes.substr(2, kKeyNumberBytes);
  key.public_key = bytes.substr(2 + kKeyNumberBytes);
  return true;
}

bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature) {
  std::vector<std::string> lines;
  std::string bytes;
  if (!FirstLines(text, 4, lines) || !StartsWith(lines[0], "untrusted comment: ") ||
      !Base64Bytes(lines[1], 2 + kKeyNumberBytes + crypto_sign_BYTES, bytes) ||
      !StartsWith(lines[2], "trusted comment: ") ||
      !Base64Bytes(lines[3], crypto_sign_BYTES, signature.global_signature)) {
    return false;
  }
  const std::string algorithm = bytes.substr(0, 2);
  if (algorithm != "ED" && algorithm != "Ed") return false;
  signature.prehashed = algorithm == "ED";
  signature.key_number = bytes.substr(2, kKeyNumberBytes);
  signature.signature = bytes.substr(2 + kKeyNumberBytes);
  signature.trusted_comment = lines[2].substr(std::char_traits<char>::length("trusted comment: "));
  return true;
}

bool VerifyMinisignTrustedComment(const MinisignKey& key, const MinisignSignature& signature) {
  return Verify(signature.global_signature, signature.signature + signature.trusted_comment, key);
}

bool VerifyMinisignFile(const MinisignKey& key, const MinisignSignature& signature,
                        const ReadChunk& read, bool& unreadable) {
  unreadable = false;
  if (!signature.prehashed) return false;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  std::string chunk;
  for (uint64_t at = 0;; at += chunk.size()) {
    if (!read(at, kChunkBytes, chunk)) {
      unreadable = true;
      return false;
    }
    if (chunk.empty()) break;
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
  }
  std::string hash(crypto_generichash_BYTES_MAX, '\0');
  crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(&hash[0]), hash.size());
  return Verify(signature.signature, hash, key);
}

bool ReadMinisignTimestamp(const std::string& trusted_comment, uint64_t& seconds) {
  // minisign writes "timestamp:N\tfile:NAME\thashed"; a vendor may write its
  // own comment, with or without a time.
  const size_t at = trusted_comment.find("timestamp:");
  if (at != 0 && (at == std::string::npos || trusted_comment[at - 1] != '\t')) return false;
  size_t digit = at + std::char_traits<char>::length("timestamp:");
  seconds = 0;
  const size_t first = digit;
  for (; digit < trusted_comment.size() && trusted_comment[digit] >= '0' && trusted_comment[digit] <= '9';
       ++digit) {
    if (seconds > (UINT64_MAX - 9) / 10) return false;
    seconds = seconds * 10 + static_cast<uint64_t>(trusted_comment[digit] - '0');
  }
  return digit > first && (digit == trusted_comment.size() || trusted_comment[digit] == '\t');
}

bool ReadMinisignFileName(const std::string& trusted_comment, std::string& name) {
  for (size_t at = 0; at <= trusted_comment.size();) {
    size_t end = trusted_comment.find('\t', at);
    if (end == std::string::npos) end = trusted_comment.size();
    if (trusted_comment.compare(at, 5, "file:") == 0) {
      name = trusted_comment.substr(at + 5, end - at - 5);
      return true;
    }
    at = end + 1;
  }
  return false;
}

std::string MinisignKeyId(const std::string& key_number) {
  return std::string(key_number.rbegin(), key_number.rend());
}
