// Text as the platform's own calls want it (UTF-16 on Windows, UTF-8 on
// POSIX), and the few ways a number or a name is written into it.
#pragma once

#include <string>

#ifdef _WIN32
using Text = std::wstring;
using TextChar = wchar_t;
#define TXT(s) L##s
#else
using Text = std::string;
using TextChar = char;
#define TXT(s) s
#endif

// The number in decimal digits. Written out by hand rather than with
// printf, whose Windows implementation would be most of the shipped
// program's size.
Text DecimalText(unsigned long long value);

// The number in `digits` lowercase hex digits, zeros first.
Text HexText(unsigned long long value, int digits);

// A system's error number as it is looked up: in decimal (errno, Win32
// errors), or an HRESULT, its top bit set, in hex ("0x800b0004").
Text ErrorNumberText(unsigned long error);

// A name that anyone may have chosen (a certificate's, a file's), as a
// record's key may hold it: printable ASCII without '=' (which ends a key),
// and not too long.
Text KeySafe(const Text& name);
