#include "verify/image_check.h"

#include <algorithm>
#include <limits>


namespace {

// Where a sum or a product of header fields wraps, what it names lies past
// the end of any file.
constexpr uint64_t kPastAnyFile = std::numeric_limits<uint64_t>::max();

uint64_t Add(uint64_t a, uint64_t b) { return a > kPastAnyFile - b ? kPastAnyFile : a + b; }
uint64_t Multiply(uint64_t a, uint64_t b) {
  return b != 0 && a > kPastAnyFile / b ? kPastAnyFile : a * b;
}

// The most of a version information that is read (a few hundred bytes).
constexpr uint64_t kLargestVersionInfo = 64 * 1024;

// How much of a script's first line the kernel reads for its interpreter.
constexpr uint64_t kScriptLineBytes = 256;

// The kernel loads no ELF program header table larger than this; the
// segments of a larger one are not looked at.
constexpr uint64_t kLargestProgramHeaderTable = 64 * 1024;

// The file, read a header at a time where the header lies.
struct File {
  const ReadAt& read;
  uint64_t size;
  bool unreadable = false;

  // The `count` bytes at `at`; fewer where the file ends before them.
  std::string At(uint64_t at, uint64_t count) {
    std::string bytes;
    if (at >= size) return bytes;
    if (!read(at, static_cast<size_t>(std::min(count, size - at)), bytes)) unreadable = true;
    return bytes;
  }
};

// A little- or big-endian number of `width` bytes at `at` of `bytes`, read
// only where they hold all of it.
bool ReadNumber(const std::string& bytes, uint64_t at, int width, bool big_endian,
                uint64_t& value) {
  if (at > bytes.size() || bytes.size() - at < static_cast<uint64_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + (big_endian ? i : width - 1 - i)]);
    value = (value << 8) | byte;
  }
  return true;
}

Text MachineName(bool pe, uint64_t machine) {
  static const struct {
    bool pe;
    uint64_t machine;
    const TextChar* name;
  } kNames[] = {
      {true, 0x14c, TXT("x86")},    {true, 0x8664, TXT("x64")},     {true, 0xaa64, TXT("ARM64")},
      {true, 0x1c4, TXT("ARM")},    {false, 3, TXT("x86")},         {false, 62, TXT("x86-64")},
      {false, 183, TXT("AArch64")}, {false, 40, TXT("ARM")},        {false, 243, TXT("RISC-V")},
  };
  for (const auto& known : kNames) {
    if (known.pe == pe && known.machine == machine) return known.name;
  }
  return TXT("machine ") + DecimalText(machine);
}

Text ForAnotherMachine(bool pe, uint64_t machine) {
  return TXT("it is a program for ") + MachineName(pe, machine) +
         TXT(", which this system cannot run");
}

// The data directories that matter here: the resources (an RVA) and the
// certificate table, the one whose address is a file offset.
constexpr int kResourceTable = 2, kCertificateTable = 4;

// The address and size of a data directory of the optional header; false
// where the image has none.
bool ReadDataDirectory(const std::string& optional_header, int index, uint64_t& address,
                       uint64_t& size) {
  uint64_t magic = 0, count = 0;
  if (!ReadNumber(optional_header, 0, 2, false, magic) || (magic != 0x10b && magic != 0x20b)) {
    return false;
  }
  const uint64_t directories = magic == 0x10b ? 96 : 112;
  return ReadNumber(optional_header, directories - 4, 4, false, count) &&
         count > static_cast<uint64_t>(index) &&
         ReadNumber(optional_header, directories + 8 * index, 4, false, address) &&
         ReadNumber(optional_header, directories + 8 * index + 4, 4, false, size) && size > 0;
}

// A PE image's headers: where its optional header and section table lie.
struct PeHeaders {
  std::string optional_header, section_table;
  uint64_t sections = 0;
};

bool ReadPeHeaders(File& file, PeHeaders& headers) {
  uint64_t pe = 0, signature = 0, optional_size = 0;
  const std::string header = file.At(ReadNumber(file.At(0, 0x40), 0x3c, 4, false, pe) ? pe : kPastAnyFile, 24);
  if (!ReadNumber(header, 0, 4, false, signature) || signature != 0x4550 ||
      !ReadNumber(header, 6, 2, false, headers.sections) ||
      !ReadNumber(header, 20, 2, false, optional_size)) {
    return false;
  }
  headers.optional_header = file.At(pe + 24, optional_size);
  headers.section_table = file.At(pe + 24 + optional_size, 40 * headers.sections);
  return true;
}

// The file offset of `rva`, with the bytes its section holds from there.
bool FileOffsetOf(const PeHeaders& headers, uint64_t rva, uint64_t& offset, uint64_t& available) {
  for (uint64_t i = 0; i < headers.sections; ++i) {
    uint64_t virtual_address = 0, raw_size = 0, raw_offset = 0;
    if (ReadNumber(headers.section_table, 40 * i + 12, 4, false, virtual_address) &&
        ReadNumber(headers.section_table, 40 * i + 16, 4, false, raw_size) &&
        ReadNumber(headers.section_table, 40 * i + 20, 4, false, raw_offset) &&
        rva >= virtual_address && rva - virtual_address < raw_size) {
      offset = raw_offset + (rva - virtual_address);
      available = raw_size - (rva - virtual_address);
      return true;
    }
  }
  return false;
}

// The length a PE image needs: its headers, its section table, each
// section's data and its certificate table; 0 where it is no PE image.
// What keeps a whole one from running here goes to `unfit`.
uint64_t PeNeeds(File& file, const std::vector<uint16_t>& machines, Text& unfit) {
  uint64_t pe = 0;
  if (!ReadNumber(file.At(0, 0x40), 0x3c, 4, false, pe)) return 0x40;  // the DOS header is cut
  const std::string header = file.At(pe, 24);
  uint64_t signature = 0, machine = 0, sections = 0, optional_size = 0, characteristics = 0;
  if (header.size() < 24) return pe + 24;
  ReadNumber(header, 0, 4, false, signature);
  ReadNumber(header, 4, 2, false, machine);
  ReadNumber(header, 6, 2, false, sections);
  ReadNumber(header, 20, 2, false, optional_size);
  ReadNumber(header, 22, 2, false, characteristics);
  if (signature != 0x4550) return 0;
  const uint64_t optional = pe + 24, table = optional + optional_size;
  uint64_t needs = table + 40 * sections;
  if (needs > file.size) return needs;

  const std::string optional_header = file.At(optional, optional_size);
  uint64_t value = 0, offset = 0, size = 0;
  if (ReadNumber(optional_header, 60, 4, false, value)) needs = std::max(needs, value);
  // The certificate table is not loaded, but a signature that is cut off
  // makes Windows refuse the program.
  if (ReadDataDirectory(optional_header, kCertificateTable, offset, size)) {
    needs = std::max(needs, offset + size);
  }
  const std::string section_table = file.At(table, 40 * sections);
  for (uint64_t i = 0; i < sections; ++i) {
    uint64_t raw_size = 0, raw_offset = 0;
    if (ReadNumber(section_table, 40 * i + 16, 4, false, raw_size) &&
        ReadNumber(section_table, 40 * i + 20, 4, false, raw_offset) && raw_size > 0) {
      needs = std::max(needs, raw_offset + raw_size);
    }
  }
  if ((characteristics & 0x2000) != 0) {
    unfit = TXT("it is a DLL, not a program");
  } else if (!machines.empty() &&
             std::find(machines.begin(), machines.end(), machine) == machines.end()) {
    unfit = ForAnotherMachine(true, machine);
  }
  return needs;
}

// The length an ELF file needs: its header, its program headers, each
// loadable segment's bytes in the file and its section headers; 0 where it
// is of no kind known. What cannot run here goes to `unfit`: a file that is
// no executable or shared object with program headers (an object file, a
// core dump), or a machine other than `machine`.
uint64_t ElfNeeds(File& file, uint16_t machine, Text& unfit) {
  const std::string header = file.At(0, 64);
  if (header.size() < 6) return 16;
  const char file_class = header[4], encoding = header[5];
  if ((file_class != 1 && file_class != 2) || (encoding != 1 && encoding != 2)) return 0;
  const bool wide = file_class == 2, big = encoding == 2;
  const int word = wide ? 8 : 4;
  const uint64_t header_size = wide ? 64 : 52;
  if (header.size() < header_size) return header_size;
  uint64_t type = 0, own_machine = 0, table = 0, entry_size = 0, entries = 0;
  uint64_t sections = 0, section_size = 0, section_count = 0;
  ReadNumber(header, 16, 2, big, type);
  ReadNumber(header, 18, 2, big, own_machine);
  ReadNumber(header, wide ? 32 : 28, word, big, table);
  ReadNumber(header, wide ? 54 : 42, 2, big, entry_size);
  ReadNumber(header, wide ? 56 : 44, 2, big, entries);
  ReadNumber(header, wide ? 40 : 32, word, big, sections);
  ReadNumber(header, wide ? 58 : 46, 2, big, section_size);
  ReadNumber(header, wide ? 60 : 48, 2, big, section_count);

  const uint64_t table_size = entry_size * entries;
  uint64_t needs = std::max(header_size, Add(table, table_size));
  // The section headers are no part of what is loaded, but a linker puts
  // them at the very end: a file cut off even there is cut short. Where
  // their count is 0 it is kept in the first one.
  if (sections != 0) {
    needs = std::max(needs, Add(sections, Multiply(section_size, std::max<uint64_t>(section_count, 1))));
  }
  if (needs <= file.size && table_size <= kLargestProgramHeaderTable) {
    const std::string program_headers = file.At(table, table_size);
    for (uint64_t at = 0; at < table_size; at += entry_size) {
      uint64_t type = 0, offset = 0, file_bytes = 0;
      if (ReadNumber(program_headers, at, 4, big, type) && type == 1 /* PT_LOAD */ &&
          ReadNumber(program_headers, at + (wide ? 8 : 4), word, big, offset) &&
          ReadNumber(program_headers, at + (wide ? 32 : 16), word, big, file_bytes)) {
        needs = std::max(needs, Add(offset, file_bytes));
      }
    }
  }
  if (type != 2 /* ET_EXEC */ && type != 3 /* ET_DYN */) {
    unfit = TXT("it is no program that can run, but an ELF file of type ") + DecimalText(type);
  } else if (entries == 0) {
    unfit = TXT("it is no program that can run: it has no program headers");
  } else if (machine != 0 && own_machine != machine) {
    unfit = ForAnotherMachine(false, own_machine);
  }
  return needs;
}

uint64_t Align4(uint64_t at) { return (at + 3) & ~uint64_t{3}; }

// A block of a version information (VS_VERSIONINFO, StringFileInfo, a
// string table, a string): three WORDs, its key, its value, its children.
struct VersionBlock {
  uint64_t end = 0, value = 0, children = 0;
  std::u16string key;
};

// The block at `at` of `info`, which must end by `within`.
bool ReadVersionBlock(const std::string& info, uint64_t at, uint64_t within, VersionBlock& block) {
  uint64_t length = 0, value_length = 0, type = 0;
  if (!ReadNumber(info, at, 2, false, length) || !ReadNumber(info, at + 2, 2, false, value_length) ||
      !ReadNumber(info, at + 4, 2, false, type) || length < 6 || at + length > within) {
    return false;
  }
  block.end = at + length;
  block.key.clear();
  uint64_t key = at + 6, unit = 0;
  for (;; key += 2) {
    if (key + 2 > block.end || !ReadNumber(info, key, 2, false, unit)) return false;
    if (unit == 0) break;
    block.key += static_cast<char16_t>(unit);
  }
  block.value = Align4(key + 2);
  // A text value's length counts its UTF-16 units, a binary one's bytes.
  block.children = Align4(block.value + (type == 1 ? 2 * value_length : value_length));
  return true;
}

// A PE image's version information: the data of its first RT_VERSION
// resource (its first name, its first language), and its root block.
bool ReadVersionInfo(File& file, std::string& info, VersionBlock& root) {
  PeHeaders headers;
  uint64_t rva = 0, size = 0, base = 0, available = 0;
  if (!ReadPeHeaders(file, headers) ||
      !ReadDataDirectory(headers.optional_header, kResourceTable, rva, size) ||
      !FileOffsetOf(headers, rva, base, available)) {
    return false;
  }
  // Type RT_VERSION, then its first name and its first language: three
  // levels of directories, each entry's offset from the root.
  uint64_t at = base, data_entry = 0;
  for (int level = 0; level < 3; ++level) {
    const std::string directory = file.At(at, 16);
    uint64_t named = 0, ids = 0, id = 0, target = 0;
    if (!ReadNumber(directory, 12, 2, false, named) || !ReadNumber(directory, 14, 2, false, ids)) return false;
    const std::string entries = file.At(at + 16, 8 * (named + ids));
    uint64_t chosen = named + ids;
    for (uint64_t i = level == 0 ? named : 0; i < named + ids && chosen == named + ids; ++i) {
      if (ReadNumber(entries, 8 * i, 4, false, id) && (level != 0 || id == 16 /* RT_VERSION */)) chosen = i;
    }
    if (chosen == named + ids || !ReadNumber(entries, 8 * chosen + 4, 4, false, target)) return false;
    const bool subdirectory = (target & 0x80000000u) != 0;
    if (subdirectory != (level < 2) || (target & 0x7fffffffu) >= available) return false;
    at = base + (target & 0x7fffffffu);
    data_entry = at;
  }
  uint64_t data_rva = 0, data_size = 0, data = 0, data_available = 0;
  const std::string entry = file.At(data_entry, 16);
  if (!ReadNumber(entry, 0, 4, false, data_rva) || !ReadNumber(entry, 4, 4, false, data_size) ||
      !FileOffsetOf(headers, data_rva, data, data_available)) {
    return false;
  }
  info = file.At(data, std::min({data_size, data_available, kLargestVersionInfo}));
  return ReadVersionBlock(info, 0, info.size(), root) && root.key == u"VS_VERSION_INFO";
}

// A `#!` script runs where the system runs scripts and its interpreter, an
// absolute path on the first line, exists and may be run; the kernel reads
// that line within its first 256 bytes. Empty where it runs.
Text DescribeUnfitScript(File& file, const RunnableMachines& machines) {
  if (!machines.interpreter_runs) return TXT("it is no program");
  const std::string line = file.At(0, kScriptLineBytes);
  if (file.unreadable) return TXT("it cannot be read");
  const size_t first = line.find_first_not_of(" \t", 2);
  const size_t end = first == std::string::npos ? line.size() : line.find_first_of(" \t\n", first);
  const std::string interpreter = first == std::string::npos ? "" : line.substr(first, end - first);
  if ((end == std::string::npos && line.size() == kScriptLineBytes) || interpreter.empty() ||
      interpreter[0] != '/' || interpreter.find('\0') != std::string::npos ||
      !machines.interpreter_runs(interpreter)) {
    Text named;
    for (char c : interpreter) named += static_cast<TextChar>(static_cast<unsigned char>(c));
    return TXT("it is a script whose interpreter (") + KeySafe(named) + TXT(") cannot run here");
  }
  return Text();
}

}  // namespace

Text DescribeUnfitProgram(const ReadAt& read, uint64_t file_size, const RunnableMachines& machines) {
  if (file_size == 0) return TXT("it is empty");
  File file{read, file_size};
  const std::string magic = file.At(0, 4);
  uint64_t needs = 0;
  ProgramFormat format = ProgramFormat::kAny;
  Text unfit;
  if (magic.compare(0, 2, "MZ") == 0) {
    needs = PeNeeds(file, machines.pe, unfit);
    format = needs != 0 ? ProgramFormat::kPe : ProgramFormat::kAny;
  } else if (magic == "\x7f" "ELF") {
    needs = ElfNeeds(file, machines.elf, unfit);
    format = needs != 0 ? ProgramFormat::kElf : ProgramFormat::kAny;
  }
  if (file.unreadable) return TXT("it cannot be read");
  if (machines.format != ProgramFormat::kAny && format != machines.format) {
    return magic.compare(0, 2, "#!") == 0 ? DescribeUnfitScript(file, machines) : TXT("it is no program");
  }
  if (needs > file_size) {
    return TXT("it is cut short, ") + DecimalText(file_size) + TXT(" bytes where its headers need ") +
           DecimalText(needs);
  }
  return unfit;
}

CertificateTableLayout CheckCertificateTableLayout(const ReadAt& read, uint64_t file_size) {
  File file{read, file_size};
  PeHeaders headers;
  uint64_t offset = 0, size = 0;
  if (!ReadPeHeaders(file, headers) ||
      !ReadDataDirectory(headers.optional_header, kCertificateTable, offset, size)) {
    return CertificateTableLayout::kNone;
  }
  // One WIN_CERTIFICATE (revision 2.0, PKCS#7 signed data), its length
  // padded to eight bytes, ending the file; after the signature's DER
  // encoding nothing but the zeros of that padding.
  const std::string table = file.At(offset, std::min<uint64_t>(size, 1 << 20));
  uint64_t length = 0, revision = 0, type = 0, tag = 0, form = 0, der = 0;
  if (Add(offset, size) != file_size || table.size() != size ||
      !ReadNumber(table, 0, 4, false, length) || !ReadNumber(table, 4, 2, false, revision) ||
      !ReadNumber(table, 6, 2, false, type) || revision != 0x200 || type != 2 ||
      length > size || (length + 7) / 8 * 8 != size || !ReadNumber(table, 8, 1, true, tag) ||
      !ReadNumber(table, 9, 1, true, form) || tag != 0x30 || form < 0x81 || form > 0x84 ||
      !ReadNumber(table, 10, static_cast<int>(form - 0x80), true, der)) {
    return CertificateTableLayout::kTrailingBytes;
  }
  const uint64_t signature_end = Add(10 + (form - 0x80), der);
  if (signature_end > length) return CertificateTableLayout::kTrailingBytes;
  for (uint64_t at = signature_end; at < size; ++at) {
    if (table[at] != 0) return CertificateTableLayout::kTrailingBytes;
  }
  return CertificateTableLayout::kAtEnd;
}

bool ReadFileVersion(const ReadAt& read, uint64_t file_size, uint64_t& version) {
  File file{read, file_size};
  std::string info;
  VersionBlock root;
  // VS_FIXEDFILEINFO, its signature first, then the file version.
  uint64_t value_length = 0, signature = 0, high = 0, low = 0;
  if (!ReadVersionInfo(file, info, root) || !ReadNumber(info, 2, 2, false, value_length) || value_length < 52 ||
      !ReadNumber(info, root.value, 4, false, signature) || signature != 0xFEEF04BD ||
      !ReadNumber(info, root.value + 8, 4, false, high) || !ReadNumber(info, root.value + 12, 4, false, low)) {
    return false;
  }
  version = (high << 32) | low;
  return true;
}

bool ReadVersionString(const ReadAt& read, uint64_t file_size, const std::u16string& key,
                       std::u16string& value) {
  File file{read, file_size};
  std::string info;
  VersionBlock root, child, table, entry;
  if (!ReadVersionInfo(file, info, root)) return false;
  // StringFileInfo, then its first string table, then the string.
  for (uint64_t at = root.children; at < root.end; at = Align4(child.end)) {
    if (!ReadVersionBlock(info, at, root.end, child)) return false;
    if (child.key != u"StringFileInfo") continue;
    if (!ReadVersionBlock(info, child.children, child.end, table)) return false;
    for (uint64_t in = table.children; in < table.end; in = Align4(entry.end)) {
      if (!ReadVersionBlock(info, in, table.end, entry)) return false;
      if (entry.key != key) continue;
      value.clear();
      uint64_t unit = 0;
      for (uint64_t c = entry.value; c + 2 <= entry.end && ReadNumber(info, c, 2, false, unit) && unit != 0; c += 2) {
        value += static_cast<char16_t>(unit);
      }
      return true;
    }
    return false;
  }
  return false;
}
