#include "common/text.h"

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

Text KeySafe(const Text& name) {
  Text safe;
  for (TextChar c : name) {
    if (safe.size() == 64) break;
    const auto code = static_cast<unsigned long>(c);
    safe += code < 0x20 || code > 0x7e ? TXT('?') : c == TXT('=') ? TXT('-') : c;
  }
  return safe;
}
