#include "profile/ini_edit.h"

#include <cstring>

namespace {

// The blanks the Windows profile reader trims, including the old DOS
// end-of-file mark.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Where the line that starts at `begin` ends: at LF, CR LF or a lone CR, as
// the Windows profile reader has it. `next` is where the following line starts.
size_t LineEnd(std::string_view content, size_t begin, size_t& next) {
  const char* start = content.data() + begin;
  const size_t left = content.size() - begin;
  const void* newline = memchr(start, '\n', left);
  size_t end = newline ? static_cast<size_t>(static_cast<const char*>(newline) - start) : left;
  const void* cr = memchr(start, '\r', end);
  if (cr != nullptr) {
    size_t at = static_cast<size_t>(static_cast<const char*>(cr) - start);
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
bool SectionName(std::string_view trimmed, std::string_view& name) {
  if (trimmed.empty() || trimmed.front() != '[') return false;
  size_t close = trimmed.rfind(']');
  if (close == std::string_view::npos) return false;
  name = Trim(trimmed.substr(1, close - 1));
  return true;
}

// A key line's name: the text before the first '=', or the whole line.
std::string_view KeyName(std::string_view trimmed) {
  return Trim(trimmed.substr(0, trimmed.find('=')));
}

std::string_view LineEndingOf(std::string_view content) {
  size_t end = content.find_first_of("\r\n");
  if (end == std::string_view::npos || content[end] == '\n') return "\n";
  return content.substr(end, 2) == "\r\n" ? "\r\n" : "\r";
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
  section = Trim(section);
  key = Trim(key);

  bool in_section = false;
  bool found_section = false;
  size_t insert_at = 0;  // after the section's last non-blank line
  bool ended_by_newline = true;
  // A UTF-8 byte order mark belongs to no line's text.
  size_t begin = content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (begin < content.size()) {
    size_t next = 0;
    const size_t end = LineEnd(content, begin, next);
    ended_by_newline = next > end;
    const std::string_view trimmed = Trim(content.substr(begin, end - begin));
    begin = next;

    std::string_view name;
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
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) return {text_end, 0, "=" + std::string(value)};
    size_t value_begin = text_begin + equals + 1;
    while (value_begin < text_end && IsBlank(content[value_begin])) ++value_begin;
    return {value_begin, text_end - value_begin, std::string(value)};
  }

  const std::string_view eol = LineEndingOf(content);
  std::string entry;
  if (!found_section) insert_at = content.size();
  // A last line without its line ending gets one before anything follows it.
  if (insert_at == content.size() && !ended_by_newline) entry += eol;
  if (!found_section) entry += "[" + std::string(section) + "]" + std::string(eol);
  entry += std::string(key) + "=" + std::string(value) + std::string(eol);
  return {insert_at, 0, entry};
}
