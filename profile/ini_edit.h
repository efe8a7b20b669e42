// The profile editor behind the POSIX profile write: the same choices of
// section and key as the Windows profile call, but every byte it does not need
// to change is kept as it was.
#pragma once

#include <string>
#include <string_view>

// Returns `content` with `key` set to `value` in `section`:
// - sections and keys match without regard to ASCII letter case; blanks around
//   a key, a value or a section's name, inside or outside its brackets, do
//   not count;
// - only the first section of the name is looked at, as on Windows;
// - an existing key's value is replaced in place;
// - a missing key goes after the last non-blank line of its section;
// - a missing section goes at the end of the file.
// Lines end at LF, CR LF or a lone CR; new lines end the way the file's first
// line does (LF in a new file).
// A file that begins with a UTF-16 byte order mark (either byte order) is read
// and written in UTF-16 in that byte order, as the Windows profile call does;
// `section`, `key` and `value` are UTF-8 and are converted for it. Any other
// file is taken as bytes, and the text is written as given.
std::string SetIniValue(std::string_view content, std::string_view section,
                        std::string_view key, std::string_view value);

// The same change as a splice of the content: `erase` bytes at `at` give way
// to `insert`. It lets a large file be written out without a second copy.
struct IniEdit {
  size_t at;
  size_t erase;
  std::string insert;
};
IniEdit PlanIniEdit(std::string_view content, std::string_view section, std::string_view key,
                    std::string_view value);
