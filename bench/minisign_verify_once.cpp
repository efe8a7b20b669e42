// Verifies a file's minisign signature as the run does, the file read once
// through its descriptor, hashed as it comes: the time of the whole command
// is compared with b2sum's single BLAKE2b pass over the same file.
//
// usage: minisign_verify_once FILE FILE.minisig KEY.pub   (exit 0: verified)
//        minisign_verify_once FILE --hash-only   (libsodium's BLAKE2b pass alone:
//                                                 the floor of the verification)
//        minisign_verify_once FILE --hash-only-initialised
//                                  (the same pass with the code sodium_init picks)
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <string>

#include "common/file-posix.h"
#include "common/contents.h"
#include "verify/minisign.h"

namespace {

std::string ReadWhole(const char* path) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  std::string text;
  if (file >= 0) ReadAllAt(file, 0, 4096, text);
  close(file);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  if (mode == "--hash-only" || mode == "--hash-only-initialised") {
    if (mode == "--hash-only-initialised" && sodium_init() < 0) return 1;
    const int file = open(argv[1], O_RDONLY | O_CLOEXEC);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::string chunk;
    for (uint64_t at = 0; ReadAllAt(file, at, kChunkBytes, chunk) == 0 && !chunk.empty(); at += chunk.size()) {
      crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    }
    unsigned char hash[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&state, hash, sizeof hash);
    return 0;
  }
  if (argc != 4) return 2;
  MinisignKey key;
  MinisignSignature signature;
  if (!ParseMinisignPublicKey(ReadWhole(argv[3]), key) ||
      !ParseMinisignSignature(ReadWhole(argv[2]), signature)) {
    return 1;
  }
  const int file = open(argv[1], O_RDONLY | O_CLOEXEC);
  bool unreadable = false;
  const bool verified = VerifyMinisignFile(
      key, signature, [&](uint64_t offset, size_t size, std::string& chunk) { return ReadAllAt(file, offset, size, chunk) == 0; },
      unreadable);
  return verified && VerifyMinisignTrustedComment(key, signature) ? 0 : 1;
}
