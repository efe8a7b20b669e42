// ASCII letter case: the names this tool compares (process names, profile
// sections and keys) are matched as the system matches them, letter case
// aside, and only ASCII letters have a case here.
#pragma once

template <typename Char>
Char LowerAscii(Char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}
