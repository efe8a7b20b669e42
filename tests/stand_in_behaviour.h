// What a test asks of one copy of the stand-in updater: the word after the
// last "\nstand-in: " in its executable, appended there by the test.
//   ends     records its start and ends at once, with code 0;
//   crashes  records its start and dies of an invalid memory access;
//   aborts   records its start and aborts;
//   (none)   records its start and waits to be stopped.
// A copy with nothing appended finds only the stand-in's own copy of the
// words below, followed by no behaviour.
#pragma once

#include <string>

inline std::string StandInBehaviour(const std::string& image) {
  static const char kPrefix[] = "\nstand-in: ";
  const size_t at = image.rfind(kPrefix);
  if (at == std::string::npos) return "";
  const size_t from = at + sizeof kPrefix - 1;
  return image.substr(from, image.find_first_of(std::string("\n\0", 2), from) - from);
}

// What a test appends to a copy of the stand-in to make it behave so.
inline std::string StandInAsking(const std::string& behaviour) { return "\nstand-in: " + behaviour + "\n"; }
