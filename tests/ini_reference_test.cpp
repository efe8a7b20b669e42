// The POSIX profile editor against the Windows profile call: for each starting
// file in tests/ini_cases, the editor's result must mean the same as what the
// Windows call wrote (kept beside it as NAME.wine.ini by
// scripts/regen-ini-reference). Meaning is the sequence of sections with their
// entries; the Windows call rewrites the whole file while the editor keeps
// every byte it does not change, so bytes are not compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

#include "profile/ini_edit.h"
#include "tests/e2e_support.h"

namespace {

struct Entry {
  std::string key;
  std::optional<std::string> value;
  bool operator==(const Entry& other) const { return key == other.key && value == other.value; }
};
struct Section {
  std::string name;
  std::vector<Entry> entries;
  bool operator==(const Section& other) const {
    return name == other.name && entries == other.entries;
  }
};

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\v\f\x1a";
  size_t begin = s.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(blanks) - begin + 1);
}

// The file as a profile reader sees it: lines end at CR or LF; lines before
// any header belong to a section without a name, and a header without a name
// ("[]") starts none, as the Windows call writes such a section back.
std::vector<Section> Meaning(std::string content) {
  if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
  std::replace(content.begin(), content.end(), '\r', '\n');
  std::vector<Section> sections(1);
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty()) continue;
    if (line[0] == '[' && line.rfind(']') != std::string::npos) {
      std::string name = Trim(line.substr(1, line.rfind(']') - 1));
      if (!name.empty()) sections.push_back({name, {}});
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

std::string Show(const std::vector<Section>& sections) {
  std::string text;
  for (const Section& section : sections) {
    text += "[" + section.name + "]\n";
    for (const Entry& entry : section.entries) {
      text += "  " + entry.key.substr(0, 60) + (entry.value ? "=" + entry.value->substr(0, 40) : "") + "\n";
    }
  }
  return text;
}

}  // namespace

TEST(IniReferenceTest, EditorMeansWhatTheWindowsProfileCallWrote) {
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(INI_CASES_DIR)) {
    const std::string path = entry.path().string();
    const std::string suffix = ".in.ini";
    if (path.size() < suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string reference = path.substr(0, path.size() - suffix.size()) + ".wine.ini";
    SCOPED_TRACE(entry.path().filename().string());
    ASSERT_TRUE(Exists(reference)) << "run scripts/regen-ini-reference";
    std::string ours = SetIniValue(ReadFile(path), "Tovalane",
                                   "FalseCannot launch the updater: File not found",
                                   "2026-12-08 10:00:00");
    std::vector<Section> expected = Meaning(ReadFile(reference)), actual = Meaning(ours);
    EXPECT_TRUE(actual == expected) << "ours:\n" << Show(actual) << "Windows:\n" << Show(expected);
    ++compared;
  }
  EXPECT_GE(compared, 28);
  std::cout << compared << " layouts compared with the Windows profile call\n";
}
