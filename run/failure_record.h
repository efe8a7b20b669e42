// The text of the record a failed run leaves in the profile file.
#pragma once

#include "common/text.h"
#include "run/run_ops.h"

// The system's words for a failure, made safe to stand inside a profile key:
// one line, trimmed, no '=', no closing full stop; "unknown error" when empty.
Text CleanReason(const Text& reason);

// "yyyy-mm-dd hh:mm:ss".
Text FormatTimestamp(const LocalTime& time);

// The number in decimal digits.
Text DecimalText(unsigned long long value);

// The number in `digits` lowercase hex digits, zeros first.
Text HexText(unsigned long long value, int digits);
