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

// Lines end at CR or LF; a UTF-8 byte order mark at the start is no text; a
// file with a UTF-16 byte order mark is read as UTF-16 in that byte order;
// lines before the first header belong to a first section without a name.
// A header without a name ("[]") starts a section of its own unless
// `merge_unnamed` is set: the Windows profile call writes such a section back
// without its header, so in its output the entries join the section before.
std::vector<IniMeaningSection> IniMeaning(std::string content, bool merge_unnamed = false);

std::string ShowIniMeaning(const std::vector<IniMeaningSection>& sections);

// The text in UTF-16 with its byte order mark, for files written that way.
// The text must be ASCII.
std::string Utf16Bytes(const std::string& ascii, bool big_endian = false);
