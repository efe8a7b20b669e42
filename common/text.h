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

// The number in decimal digits (by hand: Windows' printf would be most of
// the shipped program).
Text DecimalText(unsigned long long value);

// The number in `digits` lowercase hex digits, zeros first.
Text HexText(unsigned long long value, int digits);

// A system's error number as it is looked up: in decimal (errno, Win32
// errors), or an HRESULT, its top bit set, in hex ("0x800b0004").
Text ErrorNumberText(unsigned long error);

// A name anyone may have chosen, as a record's key may hold it: printable
// ASCII without '=' (which ends a key), 64 characters at most.
Text KeySafe(const Text& name);
