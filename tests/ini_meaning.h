// What a profile file means to a reader of it: its sections in order, each
// with its entries, blanks and line endings aside. The tests compare files by
// meaning where bytes may rightly differ.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct IniMeaningEntry {
  std::string key;
  std::optional<std::string> value;  // none for a line without '='
  bool operator==(const IniMeaningEntry& other) const {
    return key == other.key && value == other.value;
  }
};

struct IniMeaningSection {
  std::string name;
  std::vector<IniMeaningEntry> entries;
  bool operator==(const IniMeaningSection& other) const {
    return name == other.name && entries == other.entries;
  }
};

// Lines end at CR or LF; a UTF-8 byte order mark at the start is no text;
// lines before the first header belong to a first section without a name.
// A header without a name ("[]") starts a section of its own unless
// `merge_unnamed` is set: the Windows profile call writes such a section back
// without its header, so in its output the entries join the section before.
std::vector<IniMeaningSection> IniMeaning(std::string content, bool merge_unnamed = false);

std::string ShowIniMeaning(const std::vector<IniMeaningSection>& sections);
