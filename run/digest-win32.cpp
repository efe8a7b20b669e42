// Programs' SHA-256 digests (Windows), with the system's CryptoAPI
// (ADVAPI32), read a chunk at a time.
#include <windows.h>
// After windows.h: it needs its types.
#include <wincrypt.h>

#include <string>

#include "common/contents.h"
#include "common/file-win32.h"
#include "common/path-win32.h"
#include "common/retry-win32.h"
#include "run/run_ops-win32.h"
#include "run/run_ops.h"

namespace {

SystemError DigestOf(HANDLE file, std::string& digest) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hasher = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return LastError();
  SystemError error = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hasher) ? 0 : LastError();
  uint64_t read = 0;
  bool read_failed = false;
  if (error == 0) {
    error = CopyContents(
        [&](uint64_t offset, size_t size, std::string& bytes) { return ReadFileAt(file, offset, size, bytes); },
        [&](uint64_t, const std::string& bytes) -> SystemError {
          return CryptHashData(hasher, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)
                     ? 0
                     : LastError();
        },
        read, read_failed);
  }
  DWORD size = 32;
  digest.assign(size, '\0');
  if (error == 0 && !CryptGetHashParam(hasher, HP_HASHVAL, reinterpret_cast<BYTE*>(&digest[0]), &size, 0)) {
    error = LastError();
  }
  if (hasher != 0) CryptDestroyHash(hasher);
  CryptReleaseContext(provider, 0);
  return error;
}

}  // namespace

SystemError ReadReplacementDigest(Replacement& replacement, std::string& digest) {
  return DigestOf(replacement.handle, digest);
}

SystemError ReadProgramDigest(const Text& path, std::string& digest) {
  HANDLE file = INVALID_HANDLE_VALUE;
  // Shared with every other holder: a running program has its image open.
  const DWORD error = RetryFileStep(FileStep::kCheckCurrent, path, [&]() -> DWORD {
    file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE ? 0 : LastError();
  });
  if (error != 0) return error;
  const SystemError digest_error = DigestOf(file, digest);
  CloseHandle(file);
  return digest_error;
}
