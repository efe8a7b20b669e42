#include "run/failure_record.h"

#include <cstdio>

namespace {

bool IsLineBreakOrControl(TextChar c) { return static_cast<unsigned>(c) < 0x20; }

}  // namespace

Text CleanReason(Text reason) {
  Text clean;
  bool pending_space = false;
  for (TextChar c : reason) {
    if (c == ' ' || IsLineBreakOrControl(c)) {
      pending_space = !clean.empty();
      continue;
    }
    if (pending_space) clean += TXT(' ');
    pending_space = false;
    // '=' would end the key early for every reader of the file.
    clean += c == TXT('=') ? TXT('-') : c;
  }
  while (!clean.empty() && clean.back() == TXT('.')) clean.pop_back();
  if (clean.empty()) return TXT("unknown error");
  return clean;
}

Text FormatTimestamp(const LocalTime& time) {
  char buffer[64];
  int length = snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", time.year,
                        time.month, time.day, time.hour, time.minute, time.second);
  if (length < 0) return Text();
  return Text(buffer, buffer + length);
}
