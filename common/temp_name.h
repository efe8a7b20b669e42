// The temporary copies this tool makes beside a file (the profile, the new
// executable from another volume) bear the file's name and the tool's:
// ".NAME.PlindorSwap-" and six letters or digits. Only such names are ever
// cleared as leftovers, never a user's backup or another program's file.
#pragma once

#include <cstddef>

#include "common/text.h"

constexpr size_t kTempNameUniqueChars = 6;

// A leftover is a temporary copy that has not been written to for this
// long: younger ones may belong to a writer still at work.
constexpr unsigned kLeftoverAgeS = 60;

// The name before its six unique characters; `file_name` has no folder.
inline Text TempNamePrefix(const Text& file_name) {
  return TXT(".") + file_name + TXT(".PlindorSwap-");
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
