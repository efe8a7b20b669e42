// The temporary copies this tool makes beside a file (the profile, the new
// program beside the current one) bear the file's name and the tool's:
// ".NAME.PlindorSwap-" and six letters or digits. Only such names are ever
// cleared as leftovers, never a user's backup or another program's file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/text.h"

constexpr size_t kTempNameUniqueChars = 6;

// A leftover is a temporary copy that has not been written to for this
// long: younger ones may belong to a writer still at work.
constexpr unsigned kLeftoverAgeS = 60;

// The name before its six unique characters; `file_name` has no folder.
inline Text TempNamePrefix(const Text& file_name) {
  return TXT(".") + file_name + TXT(".PlindorSwap-");
}

// How many names a new temporary copy tries before it gives up: a name that
// is taken is tried under another.
constexpr int kTempNameTries = 100;

// A name for a new temporary copy: the prefix and six letters or digits
// drawn from `seed`; the seed for the next try.
inline Text TempNameFrom(const Text& prefix, uint64_t seed) {
  Text name = prefix;
  for (size_t i = 0; i < kTempNameUniqueChars; ++i, seed /= 36) {
    name += TXT("0123456789abcdefghijklmnopqrstuvwxyz")[seed % 36];
  }
  return name;
}
inline uint64_t NextTempSeed(uint64_t seed, int attempt) {
  return seed * 6364136223846793005ull + static_cast<uint64_t>(attempt) + 1442695040888963407ull;
}

// Makes something under a new temporary name from `prefix`: `make_at(name)`
// says whether it is done with that name (made, or refused for any reason
// but the name being taken); a taken name is tried under another, at most
// kTempNameTries names in all. `temp` holds the last name tried.
template <typename MakeAt>
void MakeUnderTemporaryName(const Text& prefix, uint64_t seed, Text& temp, MakeAt make_at) {
  for (int attempt = 0; attempt < kTempNameTries; ++attempt, seed = NextTempSeed(seed, attempt)) {
    temp = TempNameFrom(prefix, seed);
    if (make_at(temp)) return;
  }
}

inline bool IsTemporaryCopyName(const Text& name, const Text& prefix) {
  if (name.size() != prefix.size() + kTempNameUniqueChars || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    const TextChar c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// Whether the file `name`, written `age_s` seconds ago, is a copy a killed
// run left: of the current executable's at once (only a run holding the
// guard makes them), of the profile's once old enough (writers from folders
// sharing it through links make them too).
inline bool IsLeftoverCopy(const Text& name, const Text& current_name, const Text& profile_name, long long age_s) {
  return IsTemporaryCopyName(name, TempNamePrefix(current_name)) ||
         (IsTemporaryCopyName(name, TempNamePrefix(profile_name)) && age_s >= kLeftoverAgeS);
}
