#include "run/failure_record.h"

namespace {

bool IsLineBreakOrControl(TextChar c) { return static_cast<unsigned>(c) < 0x20; }

void AppendDigits(Text& text, int value, int width) {
  Text digits = DecimalText(static_cast<unsigned long long>(value < 0 ? 0 : value));
  if (static_cast<int>(digits.size()) < width) text.append(width - digits.size(), TXT('0'));
  text += digits;
}

}  // namespace

Text CleanReason(const Text& reason) {
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
  Text text;
  AppendDigits(text, time.year, 4);
  text += TXT('-');
  AppendDigits(text, time.month, 2);
  text += TXT('-');
  AppendDigits(text, time.day, 2);
  text += TXT(' ');
  AppendDigits(text, time.hour, 2);
  text += TXT(':');
  AppendDigits(text, time.minute, 2);
  text += TXT(':');
  AppendDigits(text, time.second, 2);
  return text;
}
