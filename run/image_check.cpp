#include "run/image_check.h"

#include <algorithm>
#include <limits>

#include "run/failure_record.h"

namespace {

// Where a sum or a product of header fields wraps, what it names lies past
// the end of any file.
constexpr uint64_t kPastAnyFile = std::numeric_limits<uint64_t>::max();

uint64_t Add(uint64_t a, uint64_t b) { return a > kPastAnyFile - b ? kPastAnyFile : a + b; }
uint64_t Multiply(uint64_t a, uint64_t b) {
  return b != 0 && a > kPastAnyFile / b ? kPastAnyFile : a * b;
}

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
  uint64_t value = 0, magic = 0;
  if (ReadNumber(optional_header, 60, 4, false, value)) needs = std::max(needs, value);
  // The certificate table, the fifth data directory, is the one whose
  // address is a file offset; it is not loaded, but a signature that is cut
  // off makes Windows refuse the program.
  if (ReadNumber(optional_header, 0, 2, false, magic) && (magic == 0x10b || magic == 0x20b)) {
    const uint64_t directories = magic == 0x10b ? 96 : 112;
    uint64_t count = 0, offset = 0, size = 0;
    if (ReadNumber(optional_header, directories - 4, 4, false, count) && count > 4 &&
        ReadNumber(optional_header, directories + 32, 4, false, offset) &&
        ReadNumber(optional_header, directories + 36, 4, false, size) && size > 0) {
      needs = std::max(needs, offset + size);
    }
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

}  // namespace

Text DescribeUnfitProgram(const ReadAt& read, uint64_t file_size, const RunnableMachines& machines) {
  if (file_size == 0) return TXT("it is empty");
  File file{read, file_size};
  const std::string magic = file.At(0, 4);
  uint64_t needs = 0;
  Text unfit;
  if (magic.compare(0, 2, "MZ") == 0) {
    needs = PeNeeds(file, machines.pe, unfit);
  } else if (magic == "\x7f" "ELF") {
    needs = ElfNeeds(file, machines.elf, unfit);
  }
  if (file.unreadable) return TXT("it cannot be read");
  if (needs > file_size) {
    return TXT("it is cut short, ") + DecimalText(file_size) + TXT(" bytes where its headers need ") +
           DecimalText(needs);
  }
  return unfit;
}
