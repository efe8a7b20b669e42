// The profile editor: which section and key it picks, where new lines go, and
// that every other byte is kept.
#include <gtest/gtest.h>

#include "profile/ini_edit.h"
#include "tests/ini_meaning.h"

namespace {

std::string Set(const std::string& content) {
  return SetIniValue(content, "Tovalane", "FalseKey", "V");
}

}  // namespace

TEST(IniEditTest, PlacesTheEntryAsTheWindowsProfileCallDecides) {
  const struct {
    const char* what;
    std::string before;
    std::string after;
  } cases[] = {
      {"new file", "", "[Tovalane]\nFalseKey=V\n"},
      {"new section goes last", "[A]\nx=1\n", "[A]\nx=1\n[Tovalane]\nFalseKey=V\n"},
      {"new key after the section's last line, before blank lines",
       "[Tovalane]\na=1\n\n[B]\n", "[Tovalane]\na=1\nFalseKey=V\n\n[B]\n"},
      {"empty section", "[Tovalane]\n[B]\n", "[Tovalane]\nFalseKey=V\n[B]\n"},
      {"value replaced in place", "[Tovalane]\nFalseKey=old\nb=2\n",
       "[Tovalane]\nFalseKey=V\nb=2\n"},
      {"blanks around key and value kept", "[Tovalane]\n  FalseKey  =  old  \n",
       "[Tovalane]\n  FalseKey  =  V  \n"},
      {"empty value", "[Tovalane]\nFalseKey=\n", "[Tovalane]\nFalseKey=V\n"},
      {"letter case of section and key", "[TOVALANE]\nfalsekey=old\n", "[TOVALANE]\nfalsekey=V\n"},
      {"blanks around the header", "  [Tovalane]  \nFalseKey=old\n", "  [Tovalane]  \nFalseKey=V\n"},
      {"blanks inside the brackets", "[ Tovalane ]\nFalseKey=old\n", "[ Tovalane ]\nFalseKey=V\n"},
      {"lone CR ends a line", "[Tovalane]\ra=1\r", "[Tovalane]\ra=1\rFalseKey=V\r"},
      {"key line without '='", "[Tovalane]\nFalseKey\n", "[Tovalane]\nFalseKey=V\n"},
      {"only the first of duplicate sections", "[Tovalane]\na=1\n[B]\n[Tovalane]\nFalseKey=old\n",
       "[Tovalane]\na=1\nFalseKey=V\n[B]\n[Tovalane]\nFalseKey=old\n"},
      {"comment that looks like the key", "[Tovalane]\n;FalseKey=old\n",
       "[Tovalane]\n;FalseKey=old\nFalseKey=V\n"},
      {"same key in another section", "[B]\nFalseKey=old\n",
       "[B]\nFalseKey=old\n[Tovalane]\nFalseKey=V\n"},
      {"header without ']' is no header", "[Tovalane\nx=1\n",
       "[Tovalane\nx=1\n[Tovalane]\nFalseKey=V\n"},
      {"text after the closing bracket", "[Tovalane] ;note\n", "[Tovalane] ;note\nFalseKey=V\n"},
      {"no final newline, in the section", "[Tovalane]\na=1", "[Tovalane]\na=1\nFalseKey=V\n"},
      {"no final newline, other section", "[A]\na=1", "[A]\na=1\n[Tovalane]\nFalseKey=V\n"},
      {"CRLF endings", "[Tovalane]\r\na=1\r\n", "[Tovalane]\r\na=1\r\nFalseKey=V\r\n"},
      {"CRLF, replaced", "[Tovalane]\r\nFalseKey=old\r\n", "[Tovalane]\r\nFalseKey=V\r\n"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[Tovalane]\na=1\n",
       "\xEF\xBB\xBF[Tovalane]\na=1\nFalseKey=V\n"},
      {"UTF-16 LE", Utf16Bytes("[Tovalane]\r\na=1\r\n"),
       Utf16Bytes("[Tovalane]\r\na=1\r\nFalseKey=V\r\n")},
      {"UTF-16 BE, new section", Utf16Bytes("[A]\nx=1", true),
       Utf16Bytes("[A]\nx=1\n[Tovalane]\nFalseKey=V\n", true)},
      {"UTF-16 LE, replaced", Utf16Bytes("[Tovalane]\nFalseKey=old\n"),
       Utf16Bytes("[Tovalane]\nFalseKey=V\n")},
      {"UTF-16 byte order mark only", Utf16Bytes(""), Utf16Bytes("[Tovalane]\nFalseKey=V\n")},
      {"UTF-16 with a stray last byte", Utf16Bytes("[A]\n") + "x",
       Utf16Bytes("[A]\n[Tovalane]\nFalseKey=V\n") + "x"},
  };
  for (const auto& c : cases) EXPECT_EQ(Set(c.before), c.after) << c.what;
}

TEST(IniEditTest, LongLinesAndOtherBytesAreKept) {
  const std::string long_line(10000, 'x');
  const std::string before = "; " + long_line + "\n[A]\nk=" + long_line + "\n\n[Tovalane]\nz=1\n";
  EXPECT_EQ(Set(before), before + "FalseKey=V\n");
}
