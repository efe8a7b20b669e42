#include "profile/ini_edit.h"

#include <vector>

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

// One line of the file: where its text starts and ends (blanks included) and
// where the next line starts.
struct Line {
  size_t begin;
  size_t end;
  size_t next;
};

// Lines end at LF, CR LF or a lone CR, as the Windows profile reader has it.
std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  size_t begin = 0;
  // A UTF-8 byte order mark belongs to no line's text.
  if (content.substr(0, 3) == "\xEF\xBB\xBF") begin = 3;
  while (begin < content.size()) {
    size_t end = content.find_first_of("\r\n", begin);
    size_t next = end == std::string_view::npos ? content.size() : end + 1;
    if (end != std::string_view::npos && content[end] == '\r' && next < content.size() &&
        content[next] == '\n') {
      ++next;
    }
    lines.push_back({begin, next, next});
    begin = next;
  }
  return lines;
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
  section = Trim(section);
  key = Trim(key);
  const std::string_view eol = LineEndingOf(content);
  const std::vector<Line> lines = SplitLines(content);

  std::string out(content);
  // Where the lines of the first matching section are.
  bool in_section = false;
  bool found_section = false;
  size_t insert_at = 0;  // after the section's last non-blank line
  for (const Line& line : lines) {
    std::string_view text = content.substr(line.begin, line.end - line.begin);
    std::string_view trimmed = Trim(text);
    std::string_view name;
    if (SectionName(trimmed, name)) {
      if (in_section) break;
      in_section = !name.empty() && EqualIgnoringCase(name, section);
      if (in_section) {
        found_section = true;
        insert_at = line.next;
      }
      continue;
    }
    if (!in_section || trimmed.empty()) continue;
    insert_at = line.next;
    if (!EqualIgnoringCase(KeyName(trimmed), key)) continue;

    // Replace the value where it stands, keeping the blanks around it.
    size_t text_begin = line.begin + static_cast<size_t>(trimmed.data() - text.data());
    size_t text_end = text_begin + trimmed.size();
    size_t equals = content.find('=', text_begin);
    if (equals == std::string_view::npos || equals >= text_end) {
      out.replace(text_end, 0, "=" + std::string(value));
      return out;
    }
    size_t value_begin = equals + 1;
    while (value_begin < text_end && IsBlank(content[value_begin])) ++value_begin;
    out.replace(value_begin, text_end - value_begin, value);
    return out;
  }

  std::string entry = std::string(key) + "=" + std::string(value) + std::string(eol);
  if (!found_section) {
    insert_at = content.size();
    entry = "[" + std::string(section) + "]" + std::string(eol) + entry;
  }
  // A last line without its line ending gets one before anything follows it.
  if (insert_at == content.size() && !lines.empty() && content.back() != '\n' &&
      content.back() != '\r') {
    entry = std::string(eol) + entry;
  }
  out.insert(insert_at, entry);
  return out;
}
