// The profile editor: which section and key it picks, where new lines go, and
// that every other byte is kept.
#include <gtest/gtest.h>

#include "profile/ini_edit.h"
#include "tests/ini_meaning.h"

namespace {

std::string Set(const std::string& content, const char* key = "FalseKey") {
  return SetIniValue(content, "Tovalane", key, "V");
}

// UTF-16 LE bytes, with the byte order mark.
std::string Utf16LeBytes(const std::u16string& units) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : units) {
    bytes += static_cast<char>(unit & 0xff);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

}  // namespace

TEST(IniEditTest, PlacesTheEntryAsTheWindowsProfileCallDecides) {
  const struct {
    const char* what;
    std::string before;
    std::string after;
    const char* key = "FalseKey";
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
      // Names match in full, every character, letter case aside.
      {"another key of the same length", "[Tovalane]\nFalseXyz=1\n",
       "[Tovalane]\nFalseXyz=1\nFalseKey=V\n"},
      {"a key that differs in its first letter", "[Tovalane]\nXalseKey=1\n",
       "[Tovalane]\nXalseKey=1\nFalseKey=V\n"},
      {"another section of the same length", "[Xovalane]\nFalseKey=1\n",
       "[Xovalane]\nFalseKey=1\n[Tovalane]\nFalseKey=V\n"},
      {"blanks around the sought key do not count", "[Tovalane]\nFalseKey=old\n",
       "[Tovalane]\nFalseKey=V\n", " FalseKey\t"},
      {"'Z' and 'A' folded", "[TOVALANE]\nfalsez=old\n", "[TOVALANE]\nfalsez=V\n", "FALSEZ"},
      {"'[' and '@' are no letters", "[Tovalane]\nFalse@=1\nFalse`=2\n",
       "[Tovalane]\nFalse@=1\nFalse`=2\nFalse[=V\n", "False["},
      {"'[' without ']' in the section is a key line", "[Tovalane]\n[junk\nFalseKey=old\n",
       "[Tovalane]\n[junk\nFalseKey=V\n"},
      {"']' in a key line", "[Tovalane]\nk=v]\nFalseKey=old\n", "[Tovalane]\nk=v]\nFalseKey=V\n"},
      {"one line ending in CR LF", "[A]\r\n", "[A]\r\n[Tovalane]\r\nFalseKey=V\r\n"},
      {"one line ending in a lone CR", "[A]\r", "[A]\r[Tovalane]\rFalseKey=V\r"},
      {"CR LF, no final line ending", "[A]\r\nk=v", "[A]\r\nk=v\r\n[Tovalane]\r\nFalseKey=V\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Set(c.before, c.key), c.after) << c.what;
}

TEST(IniEditTest, LongLinesAndOtherBytesAreKept) {
  // What lies past the content is never read: here a LF right after a last
  // lone CR.
  EXPECT_EQ(SetIniValue(std::string_view("[A]\r\n", 4), "Tovalane", "FalseKey", "V"),
            "[A]\r[Tovalane]\rFalseKey=V\r");
  const std::string long_line(10000, 'x');
  const std::string before = "; " + long_line + "\n[A]\nk=" + long_line + "\n\n[Tovalane]\nz=1\n";
  EXPECT_EQ(Set(before), before + "FalseKey=V\n");
}

// Text given in UTF-8 goes into a UTF-16 profile as the code units it stands
// for; a byte that starts no valid sequence stands for itself, as in Latin-1.
TEST(IniEditTest, Utf8TextBecomesTheUtf16UnitsItStandsFor) {
  const struct {
    const char* what;
    std::string value;
    std::u16string units;
  } cases[] = {
      {"two bytes", "\xC3\xA9", u"\u00e9"},
      {"three bytes", "\xE6\x97\xA5", u"\u65e5"},
      {"the last of three bytes", "\xEF\xBF\xBF", u"\uffff"},
      {"four bytes", "\xF0\x9F\x98\x80", u"\xd83d\xde00"},
      {"the first of four bytes", "\xF0\x90\x80\x80", u"\xd800\xdc00"},
      {"the last of four bytes", "\xF4\x8F\xBF\xBF", u"\xdbff\xdfff"},
      {"a byte that starts nothing", "a\xFFz", u"a\u00ffz"},
      {"a continuation byte alone", "\x80!", u"\u0080!"},
      {"a lead byte before ASCII", "\xC3" "A", u"\u00c3A"},
      {"a sequence cut at the end", "x\xE6\x97", u"x\u00e6\u0097"},
      {"a four-byte sequence cut at the end", "\xF0\x9F\x98", u"\u00f0\u009f\u0098"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SetIniValue(Utf16Bytes(""), "Tovalane", "K", c.value),
              Utf16LeBytes(u"[Tovalane]\nK=" + c.units + u"\n"))
        << c.what;
  }
}
