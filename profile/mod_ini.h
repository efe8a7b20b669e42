// Writing one value into a profile (INI) file.
#pragma once

#include "common/text.h"

// Sets key=value in the named section of the profile file, creating the file,
// the section or the key where they are missing. A write that cannot be made
// leaves the file as it was and is not reported.
void WriteIniValue(Text file, Text section, Text key, Text value);
