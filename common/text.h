// Text as the platform's own calls want it: UTF-16 on Windows, UTF-8 on POSIX.
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
