#include "run/image_check.h"

#include <algorithm>

#include "run/failure_record.h"

namespace {

// A little- or big-endian number of `width` bytes at `at` of the head, read
// only where the head holds all of it.
bool ReadNumber(const std::string& head, uint64_t at, int width, bool big_endian,
                uint64_t& value) {
  if (at > head.size() || head.size() - at < static_cast<uint64_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    const auto byte = static_cast<unsigned char>(head[at + (big_endian ? i : width - 1 - i)]);
    value = (value << 8) | byte;
  }
  return true;
}

// The length a PE image needs: its headers, its section table, each
// section's data and its certificate table. 0 where the head cannot tell.
uint64_t PeNeeds(const std::string& head, uint64_t file_size) {
  uint64_t pe = 0;
  if (!ReadNumber(head, 0x3c, 4, false, pe)) return 0x40;  // the DOS header itself is cut
  // The PE header lies past the end: cut short. Past the head, but within
  // the file: more than this check reads, so no judgement.
  if (pe + 24 > file_size) return pe + 24;
  uint64_t signature = 0, sections = 0, optional_size = 0;
  if (!ReadNumber(head, pe, 4, false, signature) || signature != 0x4550 ||
      !ReadNumber(head, pe + 6, 2, false, sections) ||
      !ReadNumber(head, pe + 20, 2, false, optional_size)) {
    return 0;
  }
  const uint64_t optional = pe + 24, table = optional + optional_size;
  uint64_t needs = table + 40 * sections, value = 0, magic = 0;
  if (ReadNumber(head, optional + 60, 4, false, value)) needs = std::max(needs, value);
  // The certificate table, the fifth data directory, is the one whose
  // address is a file offset; it is not loaded, but a signature that is cut
  // off makes Windows refuse the program.
  if (ReadNumber(head, optional, 2, false, magic) && (magic == 0x10b || magic == 0x20b)) {
    const uint64_t directories = optional + (magic == 0x10b ? 96 : 112);
    uint64_t count = 0, offset = 0, size = 0;
    if (ReadNumber(head, directories - 4, 4, false, count) && count > 4 &&
        directories + 40 <= table && ReadNumber(head, directories + 32, 4, false, offset) &&
        ReadNumber(head, directories + 36, 4, false, size) && size > 0) {
      needs = std::max(needs, offset + size);
    }
  }
  for (uint64_t i = 0; i < sections; ++i) {
    uint64_t raw_size = 0, raw_offset = 0;
    if (ReadNumber(head, table + 40 * i + 16, 4, false, raw_size) &&
        ReadNumber(head, table + 40 * i + 20, 4, false, raw_offset) && raw_size > 0) {
      needs = std::max(needs, raw_offset + raw_size);
    }
  }
  return needs;
}

// The length an ELF file needs: its header, its program headers, each
// loadable segment's bytes in the file and its section headers. 0 where the head cannot tell.
uint64_t ElfNeeds(const std::string& head) {
  if (head.size() < 6) return 16;
  const char file_class = head[4], encoding = head[5];
  if ((file_class != 1 && file_class != 2) || (encoding != 1 && encoding != 2)) return 0;
  const bool wide = file_class == 2, big = encoding == 2;
  const int word = wide ? 8 : 4;
  uint64_t needs = wide ? 64 : 52, table = 0, entry_size = 0, entries = 0;
  if (!ReadNumber(head, wide ? 32 : 28, word, big, table) ||
      !ReadNumber(head, wide ? 54 : 42, 2, big, entry_size) ||
      !ReadNumber(head, wide ? 56 : 44, 2, big, entries)) {
    return needs;
  }
  needs = std::max(needs, table + entry_size * entries);
  // The section headers are no part of what is loaded, but a linker puts
  // them at the very end: a file cut off even there is cut short. Where
  // their count is 0 it is kept in the first one.
  uint64_t sections = 0, section_size = 0, section_count = 0;
  if (ReadNumber(head, wide ? 40 : 32, word, big, sections) && sections != 0 &&
      ReadNumber(head, wide ? 58 : 46, 2, big, section_size) &&
      ReadNumber(head, wide ? 60 : 48, 2, big, section_count)) {
    needs = std::max(needs, sections + section_size * std::max<uint64_t>(section_count, 1));
  }
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t at = table + entry_size * i;
    uint64_t type = 0, offset = 0, file_bytes = 0;
    if (ReadNumber(head, at, 4, big, type) && type == 1 /* PT_LOAD */ &&
        ReadNumber(head, at + (wide ? 8 : 4), word, big, offset) &&
        ReadNumber(head, at + (wide ? 32 : 16), word, big, file_bytes)) {
      needs = std::max(needs, offset + file_bytes);
    }
  }
  return needs;
}

}  // namespace

Text DescribeIncompleteProgram(const std::string& head, uint64_t file_size) {
  if (file_size == 0) return TXT("it is empty");
  uint64_t needs = 0;
  if (head.compare(0, 2, "MZ") == 0) {
    needs = PeNeeds(head, file_size);
  } else if (head.compare(0, 4, "\x7f" "ELF") == 0) {
    needs = ElfNeeds(head);
  }
  if (needs <= file_size) return Text();
  return TXT("it is cut short, ") + DecimalText(file_size) + TXT(" bytes where its headers need ") +
         DecimalText(needs);
}
