// Numbers as text on the line, the same whatever locale the host process has
// set: report values read as the C library's atof reads them in the "C"
// locale, written values formatted as its "%f" formats them there. Nothing is
// allocated and no locale is consulted.
#ifndef ULOPR1_PROTOCOL_NUMBER_H
#define ULOPR1_PROTOCOL_NUMBER_H

#include <cstddef>

namespace ulo {

// Reads the number at the start of [first, last) as strtod does in the "C"
// locale: leading white space, an optional sign, then decimal digits with an
// optional point and exponent, "0x" and hexadecimal digits with an optional
// point and binary exponent, or inf, infinity or nan (any case; nan may have
// "(chars)"). A number too large reads as +-HUGE_VAL, one too small as the
// nearest subnormal or zero. Returns the end of the number; without one,
// returns first and value is 0.
const char *ReadNumber(const char *first, const char *last, double &value);

// The number at the start of a terminated text, as atof reads it in the "C"
// locale: what follows the number is ignored, and no number reads as 0.
double ParseNumber(const char *text);

// Holds any float's value as FormatFixed writes it: a sign, 39 digits, the
// point, six decimals and the terminator.
constexpr std::size_t kFloatFixedSize = 48;

// Writes value with six decimals after a point, as "%f" does in the "C"
// locale, and a terminator into text (size bytes). Returns its length, or
// size when it does not fit (text is then empty, if size allows).
std::size_t FormatFixed(double value, char *text, std::size_t size);

}  // namespace ulo

#endif  // ULOPR1_PROTOCOL_NUMBER_H
