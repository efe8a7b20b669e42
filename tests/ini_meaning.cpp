#include "tests/ini_meaning.h"

#include <algorithm>
#include <sstream>

namespace {

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\v\f\x1a";
  size_t begin = s.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(blanks) - begin + 1);
}

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(const std::string& bytes, bool big_endian) {
  std::string out;
  auto unit = [&](size_t i) {
    unsigned a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (a << 8 | b) : (b << 8 | a);
  };
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned code = unit(i);
    if (code >= 0xd800 && code < 0xdc00 && i + 3 < bytes.size() && unit(i + 2) >= 0xdc00 &&
        unit(i + 2) < 0xe000) {
      code = 0x10000 + ((code - 0xd800) << 10) + (unit(i + 2) - 0xdc00);
      i += 2;
    } else if (code >= 0xd800 && code < 0xe000) {
      code = 0xfffd;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xe0 | code >> 12);
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | code >> 18);
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
  return out;
}

}  // namespace

std::string Utf16Bytes(const std::string& ascii, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    bytes += big_endian ? '\0' : c;
    bytes += big_endian ? c : '\0';
  }
  return bytes;
}

std::vector<IniMeaningSection> IniMeaning(std::string content, bool merge_unnamed) {
  if (content.rfind("\xFF\xFE", 0) == 0) {
    content = Utf8FromUtf16(content, false);
  } else if (content.rfind("\xFE\xFF", 0) == 0) {
    content = Utf8FromUtf16(content, true);
  } else if (content.rfind("\xEF\xBB\xBF", 0) == 0) {
    content.erase(0, 3);
  }
  std::replace(content.begin(), content.end(), '\r', '\n');
  std::vector<IniMeaningSection> sections(1);
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty()) continue;
    if (line[0] == '[' && line.rfind(']') != std::string::npos) {
      std::string name = Trim(line.substr(1, line.rfind(']') - 1));
      if (!name.empty() || !merge_unnamed) sections.push_back({name, {}});
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      sections.back().entries.push_back({line, std::nullopt});
    } else {
      sections.back().entries.push_back(
          {Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
    }
  }
  return sections;
}

std::string ShowIniMeaning(const std::vector<IniMeaningSection>& sections) {
  std::string text;
  for (const IniMeaningSection& section : sections) {
    text += "[" + section.name + "]\n";
    for (const IniMeaningEntry& entry : section.entries) {
      text += "  " + entry.key.substr(0, 60) +
              (entry.value ? "=" + entry.value->substr(0, 40) : "") + "\n";
    }
  }
  return text;
}
