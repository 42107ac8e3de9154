#include "protocol/number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace ulo {
namespace {

// Beyond any exponent a double can use, however many digits come before it.
constexpr long long kExponentCap = 1000000000;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c, bool hex) {
  return (c >= '0' && c <= '9') ||
         (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
}

// Whether a number std::from_chars found out of range, its digits, point
// and exponent in [first, last), is too large rather than too small: where
// its first significant digit stands, plus its exponent. Either is so far
// from 1 that this estimate cannot mistake one for the other.
bool TooLarge(const char *first, const char *last, bool hex) {
  long long before = 0;  // digits before the point, from the first not 0
  long long zeros = 0;   // zeros after the point before the first other
  bool point = false, significant = false;
  const char *p = first;
  for (; p != last && (IsDigit(*p, hex) || (*p == '.' && !point)); ++p) {
    if (*p == '.') {
      point = true;
      continue;
    }
    significant = significant || *p != '0';
    if (!point && significant) ++before;
    if (point && !significant) ++zeros;
  }
  long long exponent = 0;
  bool minus = false;
  if (p != last && (*p == (hex ? 'p' : 'e') || *p == (hex ? 'P' : 'E'))) {
    ++p;
    minus = p != last && *p == '-';
    if (p != last && (*p == '-' || *p == '+')) ++p;
    for (; p != last && IsDigit(*p, false) && exponent < kExponentCap; ++p)
      exponent = exponent * 10 + (*p - '0');
  }
  long long place = (before > 0 ? before - 1 : -zeros - 1) * (hex ? 4 : 1);
  return place + (minus ? -exponent : exponent) > 0;
}

}  // namespace

const char *ReadNumber(const char *first, const char *last, double &value) {
  value = 0;
  const char *p = first;
  while (p != last && IsSpace(*p)) ++p;
  bool minus = p != last && *p == '-';
  if (p != last && (*p == '-' || *p == '+')) ++p;
  // std::from_chars takes no "+" and no "0x", and would take a second "-".
  if (p != last && *p == '-') return first;
  bool hex = last - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
             (IsDigit(p[2], true) ||
              (p[2] == '.' && last - p > 3 && IsDigit(p[3], true)));
  const char *digits = hex ? p + 2 : p;
  std::chars_format format =
      hex ? std::chars_format::hex : std::chars_format::general;
  std::from_chars_result read = std::from_chars(digits, last, value, format);
  if (hex && read.ec != std::errc::invalid_argument) {
    // libstdc++ 12 takes "p+-5" as the exponent -5; strtod stops at the "p".
    const char *mark = std::find_if(
        digits, read.ptr, [](char c) { return c == 'p' || c == 'P'; });
    if (read.ptr - mark > 2 && mark[1] == '+' && mark[2] == '-')
      read = std::from_chars(digits, mark, value, format);
  }
  if (read.ec == std::errc::invalid_argument) return first;
  if (read.ec == std::errc::result_out_of_range)
    value = TooLarge(digits, read.ptr, hex) ? HUGE_VAL : 0.0;
  if (minus) value = -value;
  return read.ptr;
}

double ParseNumber(const char *text) {
  double value = 0;
  ReadNumber(text, text + std::strlen(text), value);
  return value;
}

std::size_t FormatFixed(double value, char *text, std::size_t size) {
  if (size == 0) return size;
  std::to_chars_result written =
      std::to_chars(text, text + size - 1, value, std::chars_format::fixed, 6);
  if (written.ec != std::errc()) {
    text[0] = '\0';
    return size;
  }
  *written.ptr = '\0';
  return std::size_t(written.ptr - text);
}

}  // namespace ulo
