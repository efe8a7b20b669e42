// The checks that need no system, each a table whose rows name the input
// and the verdict: is a download a whole program this system runs, where
// its signature lies and what version it has, the signature rule, and
// minisign's files as minisign itself reads them.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

#include "tests/e2e_support.h"
#include "verify/image_check.h"
#include "verify/minisign.h"
#include "verify/signature_rule.h"

namespace {

void Put(std::string& bytes, size_t at, uint64_t value, int width, bool big_endian = false) {
  if (bytes.size() < at + width) bytes.resize(at + width, '\0');
  for (int i = 0; i < width; ++i) {
    bytes[at + (big_endian ? width - 1 - i : i)] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

// A PE image of 0x800 bytes: headers to 0x400, two sections of 0x200 bytes;
// PE32+ where `wide`; with a certificate table of 0x100 bytes at 0x800 where
// `signed_image`, in the fifth of `directories` data directories; an
// optional header that ends `short_by` bytes before its usual 16 directories.
std::string PeImage(bool wide, bool signed_image, uint32_t count = 16, size_t short_by = 0) {
  std::string image = "MZ";
  Put(image, 0x3c, 0x80, 4);
  Put(image, 0x80, 0x4550, 4);
  Put(image, 0x84, 0x14c, 2);  // x86
  Put(image, 0x86, 2, 2);
  const size_t optional_size = (wide ? 240 : 224) - short_by, optional = 0x98;
  Put(image, 0x94, optional_size, 2);
  Put(image, optional, wide ? 0x20b : 0x10b, 2);
  Put(image, optional + 60, 0x400, 4);
  const size_t directories = optional + (wide ? 112 : 96);
  Put(image, directories - 4, count, 4);
  if (signed_image) {
    Put(image, directories + 32, 0x800, 4);
    Put(image, directories + 36, 0x100, 4);
  }
  // The first section is the one that ends last; past the table stands
  // what would be a third entry, reaching far beyond the file.
  const size_t table = optional + optional_size;
  for (size_t i = 0; i < 3; ++i) {
    Put(image, table + 40 * i + 16, i < 2 ? 0x200 : 0x10000, 4);
    Put(image, table + 40 * i + 20, 0x600 - 0x200 * i, 4);
  }
  image.resize(0x800, '\0');
  return image;
}

// An ELF file whose loadable segments end at 0x1300, the first of them
// ending last, the second program header a note that lies past it; past the
// table stands what would be a fourth header, a segment far beyond the file.
std::string ElfFile(bool wide, bool big_endian) {
  std::string file = "\x7f" "ELF";
  file += static_cast<char>(wide ? 2 : 1);
  file += static_cast<char>(big_endian ? 2 : 1);
  const int word = wide ? 8 : 4;
  const size_t header = wide ? 64 : 52, entry = wide ? 56 : 32;
  Put(file, 16, 3, 2, big_endian);   // a shared object: a position-independent program
  Put(file, 18, 62, 2, big_endian);  // x86-64
  Put(file, wide ? 32 : 28, header, word, big_endian);
  Put(file, wide ? 54 : 42, entry, 2, big_endian);
  Put(file, wide ? 56 : 44, 3, 2, big_endian);
  const uint64_t segments[4][3] = {
      {1, 0x1000, 0x300}, {4, 0x5000, 0x100}, {1, 0, 0x200}, {1, 0x9000, 0x100}};
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = header + entry * i;
    Put(file, at, segments[i][0], 4, big_endian);
    Put(file, at + (wide ? 8 : 4), segments[i][1], word, big_endian);
    Put(file, at + (wide ? 32 : 16), segments[i][2], word, big_endian);
  }
  file.resize(0x1300, '\0');
  return file;
}

}  // namespace

TEST(ImageCheckTest, RefusesWhatIsCutShortOfItsHeadersOrCannotRunHere) {
  const std::string pe32 = PeImage(false, false), pe64 = PeImage(true, false);
  const std::string pe_signed = PeImage(false, true) + std::string(0x100, 's');
  const std::string pe64_signed = PeImage(true, true) + std::string(0x100, 's');
  // The certificate entry as the last thing the optional header holds.
  const std::string pe_signed_tight = PeImage(false, true, 5, 224 - 136) + std::string(0x100, 's');
  const std::string elf64 = ElfFile(true, false), elf32_big = ElfFile(false, true);
  // Section headers at 0x1400, past every segment: three, and one that
  // keeps the count.
  std::string elf64_sections = elf64, elf32_sections = ElfFile(false, false);
  Put(elf64_sections, 40, 0x1400, 8);
  Put(elf64_sections, 58, 64, 2);
  Put(elf64_sections, 60, 3, 2);
  elf64_sections.resize(0x1400 + 3 * 64, '\0');
  Put(elf32_sections, 32, 0x1400, 4);
  Put(elf32_sections, 46, 40, 2);
  Put(elf32_sections, 48, 0, 2);
  elf32_sections.resize(0x1400 + 40, '\0');
  const std::string dos = "MZ" + std::string(0x7fe, '\0');
  // A PE32+ layout, signed, under an optional header magic of no known kind.
  std::string unknown_magic = PeImage(true, true);
  Put(unknown_magic, 0x98, 0x107, 2);
  // Headers past the first 64 KiB: a PE header, and ELF program headers
  // that name a segment past the end.
  std::string pe_far = "MZ";
  Put(pe_far, 0x3c, 0x10000, 4);
  pe_far.resize(0x10000, '\0');
  pe_far += pe32.substr(0x80);
  std::string elf_far = elf64;
  Put(elf_far, 32, 0x10040, 8);
  elf_far.resize(0x10040, '\0');
  elf_far += elf64.substr(64, 3 * 56);
  Put(elf_far, 0x10040 + 32, 0x1f000, 8);
  // Sums that wrap: a program header table, and a segment's end.
  std::string elf_wrapped_table = elf64, elf_wrapped_segment = elf64;
  Put(elf_wrapped_table, 32, 0xffffffffffffffc0ull, 8);
  Put(elf_wrapped_segment, 64 + 8, 0xfffffffffffff000ull, 8);
  Put(elf_wrapped_segment, 64 + 32, 0x2000, 8);
  const auto with = [](std::string file, size_t at, uint64_t value, int width) {
    Put(file, at, value, width);
    return file;
  };
  const auto cut = [](const std::string& s, size_t size) { return s.substr(0, size); };
  const std::string cannot_run = ", which this system cannot run";
  const std::string short_of = "it is cut short, ";
  const struct {
    const char* what;
    std::string file;
    std::string verdict;
  } cases[] = {
      {"empty", "", "it is empty"},
      {"a script", "#!/bin/sh\nexit 0\n", ""},
      {"PE32, whole", pe32, ""},
      {"PE32+, whole", pe64, ""},
      {"PE32, bytes appended", pe32 + "downloaded copy", ""},
      {"PE32, last byte missing", cut(pe32, 0x7ff), short_of + "2047 bytes where its headers need 2048"},
      {"PE32+, last byte missing", cut(pe64, 0x7ff), short_of + "2047 bytes where its headers need 2048"},
      {"PE32, cut in the headers", cut(pe32, 0x300), short_of + "768 bytes where its headers need 2048"},
      {"PE32, cut in the section table", cut(pe32, 0x180),
       short_of + "384 bytes where its headers need 456"},
      {"PE32, cut before the PE header", cut(pe32, 0x40), short_of + "64 bytes where its headers need 152"},
      {"PE32, cut right after the file header", cut(pe32, 0x98),
       short_of + "152 bytes where its headers need 456"},
      {"PE32, cut in the DOS header", cut(pe32, 10), short_of + "10 bytes where its headers need 64"},
      {"signed, whole", pe_signed, ""},
      {"signed, certificate cut", cut(pe_signed, 0x8ff), short_of + "2303 bytes where its headers need 2304"},
      {"PE32+ signed, certificate cut", cut(pe64_signed, 0x8ff),
       short_of + "2303 bytes where its headers need 2304"},
      {"certificate entry last in the optional header, cut", cut(pe_signed_tight, 0x8ff),
       short_of + "2303 bytes where its headers need 2304"},
      {"no fifth directory: its place is no certificate", cut(PeImage(false, true, 4), 0x800), ""},
      {"MZ without a PE header", dos, ""},
      {"optional header of no known kind: no certificate looked for", unknown_magic, ""},
      {"ELF64, whole", elf64, ""},
      {"ELF32 big-endian, whole", elf32_big, ""},
      {"ELF64, last loaded byte missing", cut(elf64, 0x12ff), short_of + "4863 bytes where its headers need 4864"},
      {"ELF32 big-endian, last loaded byte missing", cut(elf32_big, 0x12ff),
       short_of + "4863 bytes where its headers need 4864"},
      {"ELF64, cut in the program headers", cut(elf64, 100), short_of + "100 bytes where its headers need 232"},
      {"ELF64, section headers last, cut", cut(elf64_sections, 0x1400 + 3 * 64 - 1),
       short_of + "5311 bytes where its headers need 5312"},
      {"ELF32, its section count in its first section header, cut", cut(elf32_sections, 0x1400 + 39),
       short_of + "5159 bytes where its headers need 5160"},
      {"ELF, cut in its identification", "\x7f" "ELF\x02", short_of + "5 bytes where its headers need 16"},
      {"ELF, cut after its identification", "\x7f" "ELF\x02\x01",
       short_of + "6 bytes where its headers need 64"},
      {"ELF of an unknown class", "\x7f" "ELF\x07\x01" + std::string(100, '\xff'), ""},
      {"ELF of an unknown byte order", "\x7f" "ELF\x02\x07" + std::string(100, '\xff'), ""},
      {"PE header past 64 KiB, whole", pe_far, ""},
      {"PE header past 64 KiB, cut", cut(pe_far, 0x10010), short_of + "65552 bytes where its headers need 65560"},
      {"ELF program headers past 64 KiB, a segment past the end", elf_far,
       short_of + "65768 bytes where its headers need 131072"},
      {"ELF program header table past any end", elf_wrapped_table,
       short_of + "4864 bytes where its headers need 18446744073709551615"},
      {"ELF segment past any end", elf_wrapped_segment,
       short_of + "4864 bytes where its headers need 18446744073709551615"},
      {"PE, a DLL", with(pe32, 0x96, 0x2102, 2), "it is a DLL, not a program"},
      {"PE, a program with its relocations stripped", with(pe32, 0x96, 0x0103, 2), ""},
      {"PE, a program that exports functions", with(with(pe32, 0x98 + 96, 0x700, 4), 0x98 + 100, 0x40, 4), ""},
      {"PE for ARM64", with(pe32, 0x84, 0xaa64, 2), "it is a program for ARM64" + cannot_run},
      {"PE for x64, where x64 runs", with(pe64, 0x84, 0x8664, 2), ""},
      {"ELF for AArch64", with(elf64, 18, 183, 2), "it is a program for AArch64" + cannot_run},
      {"ELF executable", with(elf64, 16, 2, 2), ""},
      {"ELF object file", with(elf64, 16, 1, 2), "it is no program that can run, but an ELF file of type 1"},
      {"ELF core dump", with(elf64, 16, 4, 2), "it is no program that can run, but an ELF file of type 4"},
      {"ELF shared object without program headers", with(elf64, 56, 0, 2),
       "it is no program that can run: it has no program headers"},
      {"ELF32 big-endian for another machine", with(elf32_big, 18, 0x1234, 2),
       "it is a program for machine 13330" + cannot_run},
  };
  const RunnableMachines machines = {ProgramFormat::kAny, {0x14c, 0x8664}, 62, nullptr};
  for (const auto& c : cases) {
    size_t bytes_read = 0;
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      bytes_read += bytes.size();
      return true;
    };
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), machines), c.verdict) << c.what;
    // Each header where it lies, never the whole file.
    EXPECT_LT(bytes_read, 2048u) << c.what;
  }
  const ReadAt unreadable = [](uint64_t, size_t, std::string&) { return false; };
  EXPECT_EQ(DescribeUnfitProgram(unreadable, 100, machines), "it cannot be read");
}

// What is not this system's kind of program is no program here, whole or
// not; a script is one where its interpreter runs.
TEST(ImageCheckTest, OnlyThisSystemsKindOfProgramIsAProgram) {
  const RunnableMachines windows = {ProgramFormat::kPe, {0x14c, 0x8664}, 0, nullptr};
  const RunnableMachines linux_ = {ProgramFormat::kElf, {}, 62,
                                   [](const std::string& interpreter) { return interpreter == "/bin/sh"; }};
  std::string random(64, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>(i * 167 + 13);
  const std::string no = "it is no program";
  const auto script = [](const std::string& interpreter) {
    return "it is a script whose interpreter (" + interpreter + ") cannot run here";
  };
  const struct {
    const char* what;
    std::string file, on_windows, on_linux;
  } cases[] = {
      {"64 bytes of no format", random, no, no},
      {"a text file", "release notes\n", no, no},
      {"a PE image", PeImage(false, false), "", no},
      {"a PE image cut short", PeImage(false, false).substr(0, 0x7ff),
       "it is cut short, 2047 bytes where its headers need 2048", no},
      {"an ELF image", ElfFile(true, false), no, ""},
      {"MZ without a PE header", "MZ" + std::string(0x7e, '\0'), no, no},
      {"ELF of an unknown class", "\x7f" "ELF\x07\x01" + std::string(100, '\xff'), no, no},
      {"a script", "#!/bin/sh\nexit 0\n", no, ""},
      {"a script, blanks before its interpreter, no line end", "#! \t/bin/sh", no, ""},
      {"a script with an argument", "#!/bin/sh -e\n", no, ""},
      {"a script whose interpreter is missing", "#!/opt/none/sh\n", no, script("/opt/none/sh")},
      {"a script whose interpreter is a relative path", "#!sh\n", no, script("sh")},
      {"a script naming no interpreter", "#!\n", no, script("")},
      {"a script whose interpreter's name would end a key", "#!/x=y\n", no, script("/x-y")},
      {"a script whose first line is past what the kernel reads", "#!/bin/sh" + std::string(300, ' ') + "\n",
       no, ""},
      {"a script whose interpreter is past what the kernel reads", "#!/" + std::string(300, 'a'), no,
       script("/" + std::string(63, 'a'))},
  };
  for (const auto& c : cases) {
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      return true;
    };
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), windows), c.on_windows) << c.what;
    EXPECT_EQ(DescribeUnfitProgram(read, c.file.size(), linux_), c.on_linux) << c.what;
  }
}

namespace {

// A signed PE image of 0x800 bytes, its certificate table (WIN_CERTIFICATE:
// its length, revision 2.0, PKCS#7, then a DER sequence of `der` bytes)
// at 0x800, padded with zeros to a multiple of eight, then `after`.
std::string SignedImage(size_t der, const std::string& after = "", uint32_t directories = 16) {
  std::string image = PeImage(false, true, directories), table;
  Put(table, 0, 8 + 4 + der, 4);
  Put(table, 4, 0x200, 2);
  Put(table, 6, 2, 2);
  table += "\x30\x82";
  Put(table, 10, der, 2, true);
  table += std::string(der, 'd');
  table.resize((table.size() + 7) / 8 * 8, '\0');
  Put(image, 0x98 + 96 + 36, table.size(), 4);
  return image + table + after;
}

// A block of a version information: its key, its value and its children.
std::string VersionBlock(const std::u16string& key, const std::string& value, int type, const std::string& children) {
  std::string block(6, '\0');
  for (char16_t c : key + u'\0') Put(block, block.size(), c, 2);
  block.resize((block.size() + 3) / 4 * 4, '\0');
  block += value;
  block.resize((block.size() + 3) / 4 * 4, '\0');
  block += children;
  Put(block, 0, block.size(), 2);
  Put(block, 2, type == 1 ? value.size() / 2 : value.size(), 2);
  Put(block, 4, type, 2);
  return block;
}

std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text + u'\0') Put(bytes, bytes.size(), c, 2);
  return bytes;
}

// A PE image whose first section (at RVA 0x1000, file offset 0x600) holds a
// resource directory: RT_VERSION, a name, a language, then `info`. The
// directories' entries are `entries` (ID and offset, in order), at the
// offsets the tree below gives: the root at 0, the name's at 0x18, the
// language's at 0x30, the data entry at 0x48, the data at 0x58.
std::string ImageWithVersion(const std::string& info, uint32_t name_entry = 1, uint32_t data_rva = 0x1058,
                             int named_types = 0) {
  std::string image = PeImage(false, false);
  Put(image, 0x98 + 224 + 12, 0x1000, 4);  // the first section's RVA
  Put(image, 0x98 + 96 + 16, 0x1000, 4);   // the resource directory
  Put(image, 0x98 + 96 + 20, 0x200, 4);
  std::string tree(0x58, '\0');
  Put(tree, 12, named_types, 2);
  Put(tree, 14, 1, 2);
  for (int i = 0; i < named_types; ++i) Put(tree, 16 + 8 * i, 0x80000000u | 0x70, 4);
  Put(tree, 16 + 8 * named_types, 16, 4);
  Put(tree, 20 + 8 * named_types, 0x80000000u | 0x18, 4);
  Put(tree, 0x18 + 14, 1, 2);
  Put(tree, 0x18 + 16, name_entry, 4);
  Put(tree, 0x18 + 20, 0x80000000u | 0x30, 4);
  Put(tree, 0x30 + 14, 1, 2);
  Put(tree, 0x30 + 16, 0x409, 4);
  Put(tree, 0x30 + 20, 0x48, 4);
  Put(tree, 0x48, data_rva, 4);
  Put(tree, 0x4c, info.size(), 4);
  tree += info;
  image.replace(0x600, tree.size(), tree);
  return image;
}

}  // namespace

// The certificate table must be the file's last bytes, one signature
// padded with zeros: bytes after it, or in it after the signature, are
// where droppers hide.
TEST(ImageCheckTest, CertificateTableIsOneSignatureEndingTheFile) {
  using Layout = CertificateTableLayout;
  std::string revision_1 = SignedImage(21), second = SignedImage(21), wrong_tag = SignedImage(21),
              filled = SignedImage(21);
  Put(revision_1, 0x800 + 4, 0x100, 2);
  Put(second, 0x98 + 96 + 36, 0x40, 4);  // a table holding two certificates of 0x20
  second.resize(0x800 + 0x20);
  second += second.substr(0x800, 0x20);
  wrong_tag[0x800 + 8] = 0x31;
  filled[filled.size() - 1] = 'x';
  const struct {
    const char* what;
    std::string file;
    Layout layout;
  } cases[] = {
      {"one signature padded to eight bytes", SignedImage(21), Layout::kAtEnd},
      {"one signature needing no padding", SignedImage(20), Layout::kAtEnd},
      {"bytes after the table", SignedImage(21, "dropped"), Layout::kTrailingBytes},
      {"bytes in the padding", filled, Layout::kTrailingBytes},
      {"a second certificate", second, Layout::kTrailingBytes},
      {"revision 1.0", revision_1, Layout::kTrailingBytes},
      {"no DER sequence", wrong_tag, Layout::kTrailingBytes},
      {"no certificate table", PeImage(false, false), Layout::kNone},
      {"a directory count past 16 bits, the table within it", SignedImage(21, "", 0x10005), Layout::kAtEnd},
      {"no PE image", "MZ" + std::string(0x7fe, '\0'), Layout::kNone},
  };
  for (const auto& c : cases) {
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      return true;
    };
    EXPECT_EQ(CheckCertificateTableLayout(read, c.file.size()), c.layout) << c.what;
  }
}

// The version information's file version and the name the program gives
// itself, through the resource directory's three levels, never past what
// each part may hold.
TEST(ImageCheckTest, VersionInformationIsReadWhereItLies) {
  std::string fixed(52, '\0');
  Put(fixed, 0, 0xFEEF04BD, 4);
  Put(fixed, 8, 0x00010002, 4);
  Put(fixed, 12, 0x00030004, 4);
  const std::string strings = VersionBlock(
      u"StringFileInfo", "", 1,
      VersionBlock(u"040904b0", "", 1,
                   VersionBlock(u"FileDescription", Utf16(u"Updater"), 1, "") +
                       VersionBlock(u"OriginalFilename", Utf16(u"Plindor.exe"), 1, "")));
  const std::string info = VersionBlock(u"VS_VERSION_INFO", fixed, 0, strings);
  const std::string no_strings = VersionBlock(u"VS_VERSION_INFO", fixed, 0, "");
  std::string bad_signature = info;
  Put(bad_signature, 40, 0x12345678, 4);
  const uint64_t version = 0x0001000200030004;
  const struct {
    const char* what;
    std::string file;
    bool has_version;
    std::u16string name;  // none: not read
  } cases[] = {
      {"an ID'd version entry", ImageWithVersion(info), true, u"Plindor.exe"},
      {"named types before it", ImageWithVersion(info, 1, 0x1058, 1), true, u"Plindor.exe"},
      {"a named version entry", ImageWithVersion(info, 0x80000000u | 0x60), true, u"Plindor.exe"},
      {"no string table", ImageWithVersion(no_strings), true, u""},
      {"no fixed information", ImageWithVersion(bad_signature), false, u"Plindor.exe"},
      {"its data past its section", ImageWithVersion(info, 1, 0x1200), false, u""},
      {"a block shorter than its header", ImageWithVersion(info.substr(0, 4)), false, u""},
      {"a block longer than its data", ImageWithVersion(info.substr(0, info.size() - 8)), false, u""},
      {"no resources", PeImage(false, false), false, u""},
  };
  for (const auto& c : cases) {
    const ReadAt read = [&](uint64_t offset, size_t size, std::string& bytes) {
      bytes = offset < c.file.size() ? c.file.substr(offset, size) : "";
      return true;
    };
    uint64_t read_version = 0;
    std::u16string name;
    EXPECT_EQ(ReadFileVersion(read, c.file.size(), read_version), c.has_version) << c.what;
    EXPECT_EQ(read_version, c.has_version ? version : 0) << c.what;
    EXPECT_EQ(ReadVersionString(read, c.file.size(), u"OriginalFilename", name), !c.name.empty()) << c.what;
    EXPECT_TRUE(name == c.name) << c.what;
  }
}

// The signature rule over what WinVerifyTrust and minisign answer. Wine
// answers S_OK for any chain, so the chain's rows stand here, each with the
// documented result it models (WinVerifyTrust, WinTrust.h and WinError.h).
TEST(SignatureRuleTest, TakesOnlyThePinnedPublishersOwnNewerPrograms) {
  const std::string key = "\x1a\x2b\x3c\x4d\x5e", other_key("\x9f\x00\x11\x22\x33", 5);
  const std::string subject = "CN=Vendor,O=Vendor", other_subject = "CN=Mallory";
  const uint64_t v1_3 = 0x0001000300000000, v1_2 = 0x0001000200000000;
  const Version file_version_1_3 = {VersionKind::kFileVersion, v1_3};
  const struct {
    const char* what;
    uint32_t result;  // WinVerifyTrust's answer for the download
    std::string key, subject;
    Version version;
    std::string verdict;
  } rows[] = {
      {"same key, trusted chain", 0, key, subject, file_version_1_3, ""},
      {"same key, own CA: CERT_E_UNTRUSTEDROOT", 0x800B0109, key, other_subject, {}, ""},
      {"same key, expired and not time-stamped: CERT_E_EXPIRED", 0x800B0101, key, subject, {}, ""},
      {"renewal from a public CA: new key, same subject, S_OK", 0, other_key, subject, {}, ""},
      {"new key with the vendor's name, self-made: CERT_E_UNTRUSTEDROOT", 0x800B0109, other_key,
       subject, {}, "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"new key, not for code signing: CERT_E_WRONG_USAGE", 0x800B0110, other_key, subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"new key, expired: CERT_E_EXPIRED", 0x800B0101, other_key, subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"another publisher, trusted chain", 0, other_key, other_subject, {},
       "it is signed by another publisher (common name Vendor, key 9f001122)"},
      {"unsigned: TRUST_E_NOSIGNATURE", 0x800B0100, "", "", {}, "it is not signed"},
      {"changed after signing: TRUST_E_BAD_DIGEST", 0x80096010, key, subject, {},
       "its contents do not match its signature (error 0x80096010)"},
      {"signer's signature fails: NTE_BAD_SIGNATURE", 0x80090006, key, subject, {},
       "its contents do not match its signature (error 0x80090006)"},
      {"not a form a provider reads: TRUST_E_SUBJECT_FORM_UNKNOWN", 0x800B0003, key, subject, {},
       "its signature cannot be read (error 0x800b0003)"},
      {"no provider: TRUST_E_PROVIDER_UNKNOWN", 0x800B0001, key, subject, {},
       "its signature cannot be read (error 0x800b0001)"},
      {"revoked, known from the cache: CERT_E_REVOKED", 0x800B010C, key, subject, {},
       "its signer is revoked or distrusted (error 0x800b010c)"},
      {"distrusted by the administrator: TRUST_E_EXPLICIT_DISTRUST", 0x800B0111, key, subject, {},
       "its signer is revoked or distrusted (error 0x800b0111)"},
      {"a lower file version", 0, key, subject, {VersionKind::kFileVersion, v1_2},
       "it is older than the current updater (1.2.0.0 < 1.3.0.0)"},
      {"the same file version: a repair", 0, key, subject, file_version_1_3, ""},
      {"a version of another kind is not compared", 0, key, subject, {VersionKind::kSignedAt, 1}, ""},
  };
  PublisherPin pin;
  pin.required = true;
  pin.signer = {key, subject, TXT("Vendor")};
  pin.version = file_version_1_3;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SignatureFacts download;
    download.state = ClassifyWinVerifyTrustResult(row.result);
    download.code = row.result;
    download.signer = {row.key, row.subject, TXT("Vendor")};
    download.version = row.version;
    EXPECT_EQ(JudgeSignature(pin, download), row.verdict);
  }
}

// What is judged before the signer, and the pins that take or refuse all.
TEST(SignatureRuleTest, PinsWithoutKeysAndStatesBeforeTheSigner) {
  SignatureFacts download;
  download.state = SignatureState::kTrusted;
  download.signer = {"", "CN=Mallory", TXT("Mal=lory\x7f")};
  PublisherPin pin;
  EXPECT_EQ(JudgeSignature(pin, download), "");  // unsigned current: taken as before
  pin.required = true;
  pin.signer.subject = "CN=Vendor";
  // No key on either side is no match; the name is made safe for a key.
  EXPECT_EQ(JudgeSignature(pin, download), "it is signed by another publisher (common name Mal-lory?, key )");
  download.state = SignatureState::kTrailingBytes;
  EXPECT_EQ(JudgeSignature(pin, download), "it carries bytes after its signature");
  pin.unusable = "its trust root Plindor.pub is writable by group or others";
  EXPECT_EQ(JudgeSignature(pin, download), pin.unusable);
  // minisign's times: an earlier signature is refused.
  pin = PublisherPin();
  pin.required = true;
  pin.signer.key_hash = "\x01\x02\x03\x04";
  pin.version = {VersionKind::kSignedAt, 200};
  download = SignatureFacts();
  download.state = SignatureState::kUntrustedChain;
  download.signer.key_hash = pin.signer.key_hash;
  download.version = {VersionKind::kSignedAt, 100};
  EXPECT_EQ(JudgeSignature(pin, download), "it is older than the current updater (signed at 100 < signed at 200)");
}

// The same publisher's other files (its release notes, another of its
// programs) are no updater; minisign's legacy form is never taken, and an
// errno is given in decimal, an HRESULT in hex.
TEST(SignatureRuleTest, OnlyThePinnedFileInItsSignedForm) {
  const struct {
    const char* what;
    Text pinned;
    bool required;
    Text named;
    SignatureState state;
    uint32_t code;
    std::string verdict;
  } rows[] = {
      {"the same name", "Plindor.exe", false, "Plindor.exe", SignatureState::kTrusted, 0, ""},
      {"the same name, letter case aside", "Plindor.exe", true, "PLINDOR.EXE", SignatureState::kTrusted, 0, ""},
      {"no name where none is required", "Plindor.exe", false, "", SignatureState::kTrusted, 0, ""},
      {"no name where one is required", "Plindor.exe", true, "", SignatureState::kTrusted, 0,
       "it is another of its publisher's files (no name, not Plindor.exe)"},
      {"another file", "Plindor.exe", false, "NOTES=1.txt", SignatureState::kTrusted, 0,
       "it is another of its publisher's files (NOTES-1.txt, not Plindor.exe)"},
      {"no name pinned", "", true, "Other.exe", SignatureState::kTrusted, 0, ""},
      {"the legacy form", "Plindor.exe", false, "Plindor.exe", SignatureState::kLegacyForm, 0,
       "its signature is in minisign's legacy form, which is not taken"},
      {"an errno", "", false, "", SignatureState::kUnreadable, 22, "its signature cannot be read (error 22)"},
      {"an HRESULT", "", false, "", SignatureState::kUnreadable, 0x800B0003,
       "its signature cannot be read (error 0x800b0003)"},
  };
  for (const auto& row : rows) {
    PublisherPin pin;
    pin.required = true;
    pin.signer.key_hash = "\x01\x02";
    pin.file_name = row.pinned;
    pin.file_name_required = row.required;
    SignatureFacts download;
    download.state = row.state;
    download.code = row.code;
    download.signer.key_hash = pin.signer.key_hash;
    download.file_name = row.named;
    EXPECT_EQ(JudgeSignature(pin, download), row.verdict) << row.what;
  }
}

namespace {

// Each line of `text` changed by `change` (its number from 1, and the line).
std::string EachLine(const std::string& text, const std::function<std::string(int, const std::string&)>& change) {
  std::string changed;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) changed += change(++number, line) + "\n";
  return changed;
}

}  // namespace

// minisign's key and signature files are read as `minisign -V -H` reads
// them: every variant minisign writes or takes is taken, every one it
// refuses is refused (a trailing space on a line of base64 among them).
TEST(MinisignFilesTest, AreReadAsMinisignReadsThem) {
  TempDir temp;
  const std::string key = temp.path() + "/key", file = temp.path() + "/file";
  ASSERT_EQ(RunQuietly({"minisign", "-G", "-W", "-p", key + ".pub", "-s", key}), 0);
  WriteFile(file, "a program, or so");
  ASSERT_EQ(RunQuietly({"minisign", "-S", "-s", key, "-m", file, "-x", file + ".legacy", "-l"}), 0);
  ASSERT_EQ(RunQuietly({"minisign", "-S", "-s", key, "-m", file}), 0);
  const std::string signature = ReadFile(file + ".minisig"), public_key = ReadFile(key + ".pub");
  const auto with_end = [](const char* end) { return [end](int, const std::string& line) { return line + end; }; };
  const auto on_line = [](int wanted, const char* before, const char* after) {
    return [=](int number, const std::string& line) { return number == wanted ? before + line + after : line; };
  };
  const struct {
    const char* what;
    std::string signature, public_key;
    bool taken;
  } cases[] = {
      {"as minisign writes them", signature, public_key, true},
      {"signature, an empty line after", signature + "\n", public_key, true},
      {"signature, three empty lines after", signature + "\n\n\n", public_key, true},
      {"signature, a line of a blank after", signature + " \n", public_key, true},
      {"signature, any line after", signature + "more\n", public_key, true},
      {"signature in CRLF lines", EachLine(signature, with_end("\r")), public_key, true},
      {"signature without its last line end", signature.substr(0, signature.size() - 1), public_key, true},
      {"signature, a blank after its comment", EachLine(signature, on_line(1, "", " ")), public_key, true},
      {"signature, a blank after every line", EachLine(signature, with_end(" ")), public_key, false},
      {"signature, a blank after its base64", EachLine(signature, on_line(2, "", " ")), public_key, false},
      {"signature, a blank after its trusted comment", EachLine(signature, on_line(3, "", " ")), public_key, false},
      {"signature, a blank after its global signature", EachLine(signature, on_line(4, "", " ")), public_key, false},
      {"signature, a tab after every line", EachLine(signature, with_end("\t")), public_key, false},
      {"signature, lines ending in two CRs", EachLine(signature, with_end("\r\r")), public_key, false},
      {"signature, a blank before its base64", EachLine(signature, on_line(2, " ", "")), public_key, false},
      {"signature, an empty line within", EachLine(signature, on_line(2, "\n", "")), public_key, false},
      {"signature without its untrusted comment's words", EachLine(signature, on_line(1, "x", "")), public_key, false},
      {"signature of three lines", signature.substr(0, signature.rfind('\n', signature.size() - 2) + 1), public_key,
       false},
      {"signature in the legacy form", ReadFile(file + ".legacy"), public_key, false},
      {"key, an empty line after", signature, public_key + "\n", true},
      {"key, two empty lines and any line after", signature, public_key + "\n\nmore\n", true},
      {"key in CRLF lines", signature, EachLine(public_key, with_end("\r")), true},
      {"key without its last line end", signature, public_key.substr(0, public_key.size() - 1), true},
      {"key under any comment", signature, EachLine(public_key, on_line(1, "x", "")), true},
      {"key, a blank after every line", signature, EachLine(public_key, with_end(" ")), false},
      {"key, a blank after its base64", signature, EachLine(public_key, on_line(2, "", " ")), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(temp.path() + "/variant.minisig", c.signature);
    WriteFile(temp.path() + "/variant.pub", c.public_key);
    const bool minisign_takes = RunQuietly({"minisign", "-V", "-H", "-p", temp.path() + "/variant.pub", "-m", file,
                                            "-x", temp.path() + "/variant.minisig"}) == 0;
    MinisignKey parsed_key;
    MinisignSignature parsed;
    bool unreadable = false;
    const bool taken =
        ParseMinisignPublicKey(c.public_key, parsed_key) && ParseMinisignSignature(c.signature, parsed) &&
        VerifyMinisignTrustedComment(parsed_key, parsed) &&
        VerifyMinisignFile(parsed_key, parsed,
                           [&](uint64_t offset, size_t size, std::string& chunk) {
                             chunk = offset == 0 ? ReadFile(file).substr(0, size) : "";
                             return true;
                           },
                           unreadable);
    EXPECT_EQ(minisign_takes, c.taken) << "minisign -V -H";
    EXPECT_EQ(taken, c.taken);
  }
}
