// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>

// Text forms of stored values and the conversions that read them back.
namespace zptt {

// "0", "1", "15", "-1": no leading zeros, no plus sign, no blanks.
QString IntegerText(int value);

// A single-precision value rounded to at most seven significant digits, trailing zeros
// dropped, whole values without separator, the locale's decimal separator otherwise, no
// digit grouping: 1635 -> "1635", 1234.5 -> "1234.5" ("1234,5" under a comma locale).
// NaN and infinities give "nan", "inf" and "-inf", which ToSingleStrict refuses.
QString NumberText(float value, const QLocale &locale = QLocale());

// Rounds to the nearest integer, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double value);

// The whole text, blanks around it allowed, must be a number in the locale; an exponent is
// taken, group separators are not. A number too small for a float reads as 0.
// Throws TypeMismatchError (empty text included) or OverflowError (beyond float).
float ToSingleStrict(const QString &key, const QString &text, const QLocale &locale = QLocale());

// As ToSingleStrict, then rounded half to even; OverflowError outside -32768..32767.
std::int16_t ToInt16Strict(const QString &key, const QString &text,
                           const QLocale &locale = QLocale());

// Blanks, tabs and line feeds ignored; the longest leading decimal number (sign, digits,
// a point as separator whatever the locale, exponent) is taken, none gives 0; then rounded
// half to even, OverflowError outside the 16-bit range.
std::int16_t ToInt16Lenient(const QString &key, const QString &text);

} // namespace zptt
