// Whether a downloaded program is one this system can run, judged from its
// headers alone: a download cut short (the downloader crashed, the disk
// filled, the power went), a library or a program for another machine must
// never take the place of a working program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/text.h"

// The kind of program a system runs: anything else is no program there.
// kAny judges every kind the check knows, and takes what it does not know.
enum class ProgramFormat { kAny, kPe, kElf };

// The programs the system runs: their format, the PE machine numbers
// (Windows) and the ELF machine number (POSIX), none where it is not known
// (a kind is then judged only for being whole); and, where scripts run
// (POSIX), whether an interpreter, an absolute path, exists and may be run.
struct RunnableMachines {
  ProgramFormat format = ProgramFormat::kAny;
  std::vector<uint16_t> pe;
  uint16_t elf = 0;
  std::function<bool(const std::string& interpreter)> interpreter_runs;
};

// Reads up to `size` bytes at `offset` of the file into `bytes` (fewer at
// its end); false when the file cannot be read.
using ReadAt = std::function<bool(uint64_t offset, size_t size, std::string& bytes)>;

// Empty when the program is whole and runnable as far as its headers tell;
// otherwise what is wrong, in words for the record. Each header is read
// where it lies, never the whole file; a size or offset sum that wraps lies
// past the end of any file. A file of another format than the system's is
// no program (a `#!` script, where scripts run, is one whose interpreter
// runs). PE images: headers, section table, section data and certificate
// table; no DLL; a machine in `machines.pe`. ELF files: program headers,
// loadable segments and section headers; the machine `machines.elf`.
Text DescribeUnfitProgram(const ReadAt& read, uint64_t file_size, const RunnableMachines& machines);

// Whether a PE image's certificate table is the file's last bytes, holding
// one signature padded with zeros: bytes after it, or inside it after the
// signature, are where droppers hide. kNone where it has no table (or is
// no PE image).
enum class CertificateTableLayout { kNone, kAtEnd, kTrailingBytes };
CertificateTableLayout CheckCertificateTableLayout(const ReadAt& read, uint64_t file_size);

// The value of `key` ("OriginalFilename") in the first string table of a PE
// image's version information, as UTF-16 code units; false where it has
// none to read.
bool ReadVersionString(const ReadAt& read, uint64_t file_size, const std::u16string& key,
                       std::u16string& value);

// The file version of a PE image's version information (VS_FIXEDFILEINFO:
// a.b.c.d, 16 bits each, a first); false where it has none to read.
bool ReadFileVersion(const ReadAt& read, uint64_t file_size, uint64_t& version);
