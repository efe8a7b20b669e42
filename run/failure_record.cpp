#include "run/failure_record.h"


namespace {

bool IsLineBreakOrControl(TextChar c) { return static_cast<unsigned>(c) < 0x20; }

// Written out by hand rather than with printf, whose Windows implementation
// would be most of the shipped program's size.
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

Text KeySafe(const Text& name) {
  Text safe;
  for (TextChar c : name) {
    if (safe.size() == 64) break;
    const auto code = static_cast<unsigned long>(c);
    safe += code < 0x20 || code > 0x7e ? TXT('?') : c == TXT('=') ? TXT('-') : c;
  }
  return safe;
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

Text DecimalText(unsigned long long value) {
  Text digits;
  do {
    digits.insert(digits.begin(), static_cast<TextChar>(TXT('0') + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

Text HexText(unsigned long long value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  Text text(static_cast<size_t>(digits), TXT('0'));
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = static_cast<TextChar>(kDigits[value & 15]);
  return text;
}

Text ErrorNumberText(unsigned long error) {
  return error >= 0x80000000u ? TXT("0x") + HexText(error, 8) : DecimalText(error);
}
