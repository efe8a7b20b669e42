// Fuzzes the profile editor: for any starting file, the result must read
// back as the starting file with the one entry set, as a profile reader sees
// it, and the editor must neither crash nor trip a sanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "profile/ini_edit.h"
#include "tests/ini_meaning.h"

namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// What setting the entry must do, worked out on the meaning alone.
std::vector<IniMeaningSection> Expected(std::vector<IniMeaningSection> sections,
                                        const std::string& section, const std::string& key,
                                        const std::string& value) {
  for (size_t i = 1; i < sections.size(); ++i) {
    if (sections[i].name.empty() || !EqualIgnoringCase(sections[i].name, section)) continue;
    for (IniMeaningEntry& entry : sections[i].entries) {
      if (EqualIgnoringCase(entry.key, key)) {
        entry.value = value;
        return sections;
      }
    }
    sections[i].entries.push_back({key, value});
    return sections;
  }
  sections.push_back({section, {{key, value}}});
  return sections;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  // Keys as the run writes them: "False" and a one-line description.
  const std::string keys[] = {"FalseCannot launch the updater: File not found", "FalseX", "a"};
  const std::string& key = keys[size % 3];
  const std::string value = "2026-12-08 10:00:00";
  const std::string out = SetIniValue(content, "Tovalane", key, value);
  if (IniMeaning(out) != Expected(IniMeaning(content), "Tovalane", key, value)) {
    fprintf(stderr, "meaning changed:\n--- expected\n%s--- got\n%s",
            ShowIniMeaning(Expected(IniMeaning(content), "Tovalane", key, value)).c_str(),
            ShowIniMeaning(IniMeaning(out)).c_str());
    abort();
  }
  return 0;
}
