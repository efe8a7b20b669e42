#include "profile/mod_ini.h"

#include <windows.h>

#include "common/path-win32.h"

// The wide form of the profile call: the path reaches the file even when it
// holds characters the ANSI code page has not. The platform still writes the
// file's content in the file's own encoding.
void WriteIniValue(Text file, Text section, Text key, Text value) {
  WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                             ShortFormIfLong(file).c_str());
}
