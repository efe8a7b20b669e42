// Whether a downloaded program is whole, judged from its headers alone: a
// download cut short (the downloader crashed, the disk filled, the power
// went) must never take the place of a working program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"

// How much of the start of a file the check reads: every program's headers
// lie well within it.
constexpr size_t kProgramHeadBytes = 64 * 1024;

// Empty when the program is complete as far as its headers tell, or is of a
// kind the check does not know (a script, say: no good download is ever
// refused); otherwise what is wrong, in words for the record. `head` is the
// start of the file, at most kProgramHeadBytes of it; `file_size` its length.
// Known kinds: PE images (headers, section table, section data, certificate
// table) and ELF files (program headers, loadable segments).
Text DescribeIncompleteProgram(const std::string& head, uint64_t file_size);
