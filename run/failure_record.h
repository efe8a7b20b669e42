// The text of the record a failed run leaves in the profile file.
#pragma once

#include "common/text.h"
#include "run/run_ops.h"

// The system's words for a failure, made safe to stand inside a profile key:
// one line, trimmed, no '=', no closing full stop; "unknown error" when empty.
Text CleanReason(const Text& reason);

// A name that anyone may have chosen (a certificate's, a file's), as a
// record's key may hold it: printable ASCII without '=' (which ends a key),
// and not too long.
Text KeySafe(const Text& name);

// "yyyy-mm-dd hh:mm:ss".
Text FormatTimestamp(const LocalTime& time);

// The number in decimal digits.
Text DecimalText(unsigned long long value);

// The number in `digits` lowercase hex digits, zeros first.
Text HexText(unsigned long long value, int digits);

// A system's error number as it is looked up: in decimal (errno, Win32
// errors), or an HRESULT, its top bit set, in hex ("0x800b0004").
Text ErrorNumberText(unsigned long error);
