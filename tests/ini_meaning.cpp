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

}  // namespace

std::vector<IniMeaningSection> IniMeaning(std::string content, bool merge_unnamed) {
  if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
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
