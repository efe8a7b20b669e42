#include "profile/ini_edit.h"

#include <string>

#include "common/ascii.h"

namespace {

// The blanks the Windows profile reader trims, including the old DOS
// end-of-file mark.
template <typename Char>
bool IsBlank(Char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1a;
}

template <typename Char>
std::basic_string_view<Char> Trim(std::basic_string_view<Char> s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

template <typename Char>
bool EqualIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Where the line that starts at `begin` ends: at LF, CR LF or a lone CR, as
// the Windows profile reader has it. `next` is where the following line starts.
template <typename Char>
size_t LineEnd(std::basic_string_view<Char> content, size_t begin, size_t& next) {
  using Traits = std::char_traits<Char>;
  const Char* start = content.data() + begin;
  const size_t left = content.size() - begin;
  const Char* newline = Traits::find(start, left, Char('\n'));
  size_t end = newline ? static_cast<size_t>(newline - start) : left;
  const Char* cr = Traits::find(start, end, Char('\r'));
  if (cr != nullptr) {
    size_t at = static_cast<size_t>(cr - start);
    if (at + 1 != end || newline == nullptr) {  // a lone CR
      next = begin + at + 1;
      return begin + at;
    }
    next = begin + end + 1;
    return begin + at;
  }
  next = newline ? begin + end + 1 : content.size();
  return begin + end;
}

// The name of a section header line ("[name]", the last ']' closing it,
// blanks inside the brackets not counting), or false for any other line.
template <typename Char>
bool SectionName(std::basic_string_view<Char> trimmed, std::basic_string_view<Char>& name) {
  if (trimmed.empty() || trimmed.front() != '[') return false;
  size_t close = trimmed.rfind(Char(']'));
  if (close == trimmed.npos) return false;
  name = Trim(trimmed.substr(1, close - 1));
  return true;
}

// A key line's name: the text before the first '=', or the whole line.
template <typename Char>
std::basic_string_view<Char> KeyName(std::basic_string_view<Char> trimmed) {
  return Trim(trimmed.substr(0, trimmed.find(Char('='))));
}

// New lines end the way the file's first line does; LF in a file of one line.
template <typename Char>
std::basic_string<Char> LineEndingOf(std::basic_string_view<Char> content) {
  const size_t end = content.find_first_of(std::basic_string<Char>{'\r', '\n'});
  if (end == content.npos || content[end] == '\n') return {'\n'};
  if (end + 1 < content.size() && content[end + 1] == '\n') return {'\r', '\n'};
  return {'\r'};
}

template <typename Char>
struct Edit {
  size_t at;
  size_t erase;
  std::basic_string<Char> insert;
};

// The edit on a file of `Char` units, its text starting at `begin`.
template <typename Char>
Edit<Char> Plan(std::basic_string_view<Char> content, size_t begin,
                std::basic_string_view<Char> section, std::basic_string_view<Char> key,
                std::basic_string_view<Char> value) {
  using View = std::basic_string_view<Char>;
  using String = std::basic_string<Char>;
  section = Trim(section);
  key = Trim(key);

  bool in_section = false;
  bool found_section = false;
  size_t insert_at = begin;  // after the section's last non-blank line
  bool ended_by_newline = true;
  while (begin < content.size()) {
    size_t next = 0;
    const size_t end = LineEnd(content, begin, next);
    ended_by_newline = next > end;
    const View trimmed = Trim(content.substr(begin, end - begin));
    begin = next;

    View name;
    if (SectionName(trimmed, name)) {
      if (in_section) break;
      in_section = !name.empty() && EqualIgnoringCase(name, section);
      if (in_section) {
        found_section = true;
        insert_at = next;
      }
      continue;
    }
    if (!in_section || trimmed.empty()) continue;
    insert_at = next;
    if (!EqualIgnoringCase(KeyName(trimmed), key)) continue;

    // Replace the value where it stands, keeping the blanks around it.
    const size_t text_begin = static_cast<size_t>(trimmed.data() - content.data());
    const size_t text_end = text_begin + trimmed.size();
    const size_t equals = trimmed.find(Char('='));
    if (equals == View::npos) return {text_end, 0, Char('=') + String(value)};
    size_t value_begin = text_begin + equals + 1;
    while (value_begin < text_end && IsBlank(content[value_begin])) ++value_begin;
    return {value_begin, text_end - value_begin, String(value)};
  }

  const String eol = LineEndingOf(content);
  String entry;
  if (!found_section) insert_at = content.size();
  // A last line without its line ending gets one before anything follows it.
  if (insert_at == content.size() && !ended_by_newline) entry += eol;
  if (!found_section) entry += Char('[') + String(section) + Char(']') + eol;
  entry += String(key) + Char('=') + String(value) + eol;
  return {insert_at, 0, entry};
}

// UTF-8 to UTF-16; a byte that starts no valid sequence stands for itself,
// as in Latin-1, so that nothing of the text is dropped.
std::u16string Utf16(std::string_view utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(utf8[at]); };
    const unsigned lead = byte(i);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                                             : (lead >> 3) == 30 ? 4 : 0;
    bool valid = length != 0 && i + length <= utf8.size();
    unsigned code = length == 1 ? lead : lead & (0x7f >> length);
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (byte(i + k) & 0xc0) == 0x80;
      code = (code << 6) | (byte(i + k) & 0x3f);
    }
    if (!valid) {
      out += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xd800 + (code >> 10));
      out += static_cast<char16_t>(0xdc00 + (code & 0x3ff));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += length;
  }
  return out;
}

// A profile in UTF-16 with its byte order mark, edited in UTF-16 code units
// and written back in the file's own byte order, as the Windows profile call
// keeps such a file. A stray last byte is no unit and stays where it is.
IniEdit PlanUtf16(std::string_view content, bool big_endian, std::string_view section,
                  std::string_view key, std::string_view value) {
  const size_t kMark = 2;
  std::u16string units((content.size() - kMark) / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    const auto first = static_cast<unsigned char>(content[kMark + 2 * i]);
    const auto second = static_cast<unsigned char>(content[kMark + 2 * i + 1]);
    units[i] = static_cast<char16_t>(big_endian ? (first << 8 | second) : (second << 8 | first));
  }
  const std::u16string wide_section = Utf16(section), wide_key = Utf16(key),
                       wide_value = Utf16(value);
  const Edit<char16_t> edit = Plan<char16_t>(units, 0, wide_section, wide_key, wide_value);
  std::string insert;
  insert.reserve(2 * edit.insert.size());
  for (char16_t unit : edit.insert) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xff);
    insert += big_endian ? high : low;
    insert += big_endian ? low : high;
  }
  return {kMark + 2 * edit.at, 2 * edit.erase, insert};
}

}  // namespace

std::string SetIniValue(std::string_view content, std::string_view section,
                        std::string_view key, std::string_view value) {
  const IniEdit edit = PlanIniEdit(content, section, key, value);
  std::string out;
  out.reserve(content.size() - edit.erase + edit.insert.size());
  out.append(content.substr(0, edit.at));
  out.append(edit.insert);
  out.append(content.substr(edit.at + edit.erase));
  return out;
}

IniEdit PlanIniEdit(std::string_view content, std::string_view section, std::string_view key,
                    std::string_view value) {
  if (content.substr(0, 2) == "\xFF\xFE") return PlanUtf16(content, false, section, key, value);
  if (content.substr(0, 2) == "\xFE\xFF") return PlanUtf16(content, true, section, key, value);
  // A UTF-8 byte order mark belongs to no line's text.
  const size_t begin = content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  Edit<char> edit = Plan<char>(content, begin, section, key, value);
  return {edit.at, edit.erase, std::move(edit.insert)};
}
