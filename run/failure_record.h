// The text of the record a failed run leaves in the profile file.
#pragma once

#include "common/text.h"

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The system's words for a failure, made safe to stand inside a profile key:
// one line, trimmed, no '=', no closing full stop; "unknown error" when empty.
Text CleanReason(const Text& reason);

// "yyyy-mm-dd hh:mm:ss".
Text FormatTimestamp(const LocalTime& time);
