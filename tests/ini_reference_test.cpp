// The POSIX profile editor against the Windows profile call: for each starting
// file in tests/ini_cases, the editor's result must mean the same as what the
// Windows call wrote (kept beside it as NAME.wine.ini by
// scripts/regen-ini-reference). Meaning is the sequence of sections with their
// entries; the Windows call rewrites the whole file while the editor keeps
// every byte it does not change, so bytes are not compared.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

#include "profile/ini_edit.h"
#include "tests/e2e_support.h"
#include "tests/ini_meaning.h"

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
    std::vector<IniMeaningSection> expected = IniMeaning(ReadFile(reference), true);
    std::vector<IniMeaningSection> actual = IniMeaning(ours, true);
    EXPECT_TRUE(actual == expected) << "ours:\n"
                                    << ShowIniMeaning(actual) << "Windows:\n"
                                    << ShowIniMeaning(expected);
    ++compared;
  }
  EXPECT_GE(compared, 30);
  std::cout << compared << " layouts compared with the Windows profile call\n";
}
