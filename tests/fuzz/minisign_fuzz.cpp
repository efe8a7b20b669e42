// Fuzzes the reading of minisign's key and signature files, which anyone
// who may write the download folder writes: it must never crash or read out
// of bounds, and a file it takes must hold what its parts say.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "verify/minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  MinisignKey key;
  if (ParseMinisignPublicKey(text, key) && (key.key_number.size() != 8 || key.public_key.size() != 32)) {
    abort();
  }
  MinisignSignature signature;
  if (ParseMinisignSignature(text, signature)) {
    if (signature.key_number.size() != 8 || signature.signature.size() != 64 ||
        signature.global_signature.size() != 64 || signature.trusted_comment.find('\n') != std::string::npos) {
      abort();
    }
    uint64_t seconds = 0;
    ReadMinisignTimestamp(signature.trusted_comment, seconds);
    std::string name;
    if (ReadMinisignFileName(signature.trusted_comment, name) && name.find('\t') != std::string::npos) abort();
    // Any key of the right size: the verification reads only what is there.
    const MinisignKey any{std::string(8, '\0'), std::string(32, '\x01')};
    VerifyMinisignTrustedComment(any, signature);
    bool unreadable = false;
    VerifyMinisignFile(any, signature,
                       [&](uint64_t offset, size_t, std::string& chunk) {
                         chunk = offset == 0 ? text : std::string();
                         return true;
                       },
                       unreadable);
  }
  return 0;
}
