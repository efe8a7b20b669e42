// Programs' SHA-256 digests (Linux), with libsodium, read a chunk at a time.
#include <fcntl.h>
#include <sodium.h>

#include <string>

#include "common/contents.h"
#include "common/file-posix.h"
#include "run/run_ops-posix.h"
#include "run/run_ops.h"

namespace {

SystemError DigestOf(int fd, std::string& digest) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  uint64_t read = 0;
  bool read_failed = false;
  const SystemError error = CopyContents(
      [&](uint64_t offset, size_t size, std::string& bytes) { return ReadAllAt(fd, offset, size, bytes); },
      [&](uint64_t, const std::string& bytes) -> SystemError {
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        return 0;
      },
      read, read_failed);
  digest.assign(crypto_hash_sha256_BYTES, '\0');
  crypto_hash_sha256_final(&state, reinterpret_cast<unsigned char*>(&digest[0]));
  return error;
}

}  // namespace

SystemError ReadReplacementDigest(Replacement& replacement, std::string& digest) {
  return DigestOf(replacement.fd, digest);
}

SystemError ReadProgramDigest(const Text& path, std::string& digest) {
  const InFolder at = Locate(path);
  Fd file(openat(at.folder.get(), at.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return LastError();
  return DigestOf(file.get(), digest);
}
