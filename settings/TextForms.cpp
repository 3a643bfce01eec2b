// SPDX-License-Identifier: GPL-3.0-or-later
#include "TextForms.h"

#include "SettingsErrors.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace zptt {

namespace {

constexpr double kInt16Min = std::numeric_limits<std::int16_t>::min();
constexpr double kInt16Max = std::numeric_limits<std::int16_t>::max();

// Smallest magnitude that rounds to infinity as a float: FLT_MAX plus half its last step.
constexpr double kFloatOverflow = double(std::numeric_limits<float>::max()) + 0x1p103;

// After a failed locale parse that gave no infinity: a mantissa with a negative exponent too
// large for a double ("1e-999") is a tiny number, not a typing mistake. Returns true for those.
bool isUnderflow(const QString &text, const QLocale &locale) {
    qsizetype at = text.lastIndexOf(locale.exponential(), -1, Qt::CaseInsensitive);
    qsizetype width = locale.exponential().size();
    if (at < 0) {
        at = text.lastIndexOf(QLatin1Char('e'), -1, Qt::CaseInsensitive);
        width = 1;
    }
    if (at <= 0)
        return false;
    bool ok = false;
    const double mantissa = locale.toDouble(text.left(at), &ok);
    if (!ok || !std::isfinite(mantissa))
        return false;
    QString exponent = text.mid(at + width);
    if (exponent.startsWith(locale.negativeSign()))
        exponent.remove(0, locale.negativeSign().size());
    else if (exponent.startsWith(QLatin1Char('-')) || exponent.startsWith(QChar(0x2212)))
        exponent.remove(0, 1);
    else
        return false;
    if (exponent.isEmpty())
        return false;
    for (QChar c : exponent) {
        if (!c.isDigit())
            return false;
    }
    return true;
}

// The strict reading shared by the float and the 16-bit conversions, in double precision so
// that the integer rounding sees the text's own value.
double parseStrict(const QString &key, const QString &text, const QLocale &locale) {
    // Group separators are refused: NumberText never writes them, and with them a text written
    // under another locale ("1,5" or "1.234") would be read as a different number instead of
    // being refused.
    QLocale strict = locale;
    strict.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
    const QString trimmed = text.trimmed();
    bool ok = false;
    const double value = strict.toDouble(trimmed, &ok);
    if (ok) {
        if (!std::isfinite(value)) // "nan", "inf": QLocale takes them, a stored number never is
            throw TypeMismatchError(key, text);
        return value;
    }
    if (std::isinf(value))
        throw OverflowError(key, text);
    if (!trimmed.isEmpty() && isUnderflow(trimmed, strict))
        return 0.0;
    throw TypeMismatchError(key, text);
}

std::int16_t toInt16(const QString &key, const QString &text, double value) {
    const double rounded = RoundHalfEven(value);
    if (!(rounded >= kInt16Min && rounded <= kInt16Max))
        throw OverflowError(key, text);
    return static_cast<std::int16_t>(rounded);
}

bool isLenientBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') ||
           c == QLatin1Char('\n');
}

} // namespace

QString IntegerText(int value) {
    return QString::number(value);
}

QString NumberText(float value, const QLocale &locale) {
    // Not a value a window position or height can have; written in a form the strict reader
    // refuses, so a bad value is never read back as a number.
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    if (value == 0.0f)
        return QStringLiteral("0"); // -0 as well

    // Seven significant digits, rounded from the float's exact value; to_chars ignores the
    // C locale, which QCoreApplication sets from the environment.
    char buf[32];
    const auto res =
        std::to_chars(buf, buf + sizeof buf, double(value), std::chars_format::scientific, 6);
    const std::string sci(buf, res.ptr);
    const bool negative = sci.front() == '-';
    const std::size_t e = sci.find('e');
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
        if (sci[i] != '.')
            digits += sci[i];
    }
    const int exponent = std::stoi(sci.substr(e + 1));
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    const int count = static_cast<int>(digits.size());
    QString out;
    if (negative)
        out += QLatin1Char('-');
    if (exponent < 0) {
        out += QLatin1Char('0') + locale.decimalPoint() + QString(-exponent - 1, QLatin1Char('0')) +
               QLatin1String(digits);
    } else if (count <= exponent + 1) {
        out += QLatin1String(digits) + QString(exponent + 1 - count, QLatin1Char('0'));
    } else {
        out += QLatin1String(digits.substr(0, std::size_t(exponent) + 1)) + locale.decimalPoint() +
               QLatin1String(digits.substr(std::size_t(exponent) + 1));
    }
    return out;
}

double RoundHalfEven(double value) {
    if (!std::isfinite(value))
        return value;
    const double below = std::floor(value);
    const double diff = value - below;
    if (diff < 0.5)
        return below;
    if (diff > 0.5)
        return below + 1.0;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

float ToSingleStrict(const QString &key, const QString &text, const QLocale &locale) {
    const double value = parseStrict(key, text, locale);
    if (std::abs(value) >= kFloatOverflow)
        throw OverflowError(key, text);
    return static_cast<float>(value);
}

std::int16_t ToInt16Strict(const QString &key, const QString &text, const QLocale &locale) {
    return toInt16(key, text, parseStrict(key, text, locale));
}

std::int16_t ToInt16Lenient(const QString &key, const QString &text) {
    std::string s;
    s.reserve(std::size_t(text.size()));
    for (QChar c : text) {
        if (!isLenientBlank(c))
            s += c.unicode() < 0x80 ? char(c.unicode()) : '\x7f'; // anything else ends the number
    }

    // The longest leading number: sign, digits, point, digits, then an exponent only if it
    // has digits of its own ("1e" is 1).
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        ++i;
    const std::size_t mantissaStart = i;
    long long order = -1; // decimal position of the first significant digit
    long long intDigits = 0;
    bool seenNonZero = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (seenNonZero || s[i] != '0') {
            seenNonZero = true;
            ++intDigits;
        }
    }
    const bool hasInt = i > mantissaStart;
    bool hasFrac = false;
    if (i < s.size() && s[i] == '.') {
        std::size_t j = i + 1;
        long long zeros = 0;
        for (; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j) {
            if (!seenNonZero && s[j] == '0')
                ++zeros;
            else if (!seenNonZero) {
                seenNonZero = true;
                order = -(zeros + 1);
            }
        }
        hasFrac = j > i + 1;
        if (hasInt || hasFrac)
            i = j;
    }
    if (!hasInt && !hasFrac)
        return 0;
    if (intDigits > 0)
        order = intDigits - 1;
    const std::size_t mantissaEnd = i;

    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        const bool expNegative = j < s.size() && s[j] == '-';
        if (j < s.size() && (s[j] == '-' || s[j] == '+'))
            ++j;
        const std::size_t expStart = j;
        for (; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j)
            exponent = std::min(exponent * 10 + (s[j] - '0'), 1'000'000'000LL);
        if (j > expStart) {
            if (expNegative)
                exponent = -exponent;
            i = j;
        } else {
            exponent = 0;
        }
    }
    if (!seenNonZero)
        return 0;

    // Decide the far ends from the digit counts alone, so huge texts cost no conversion.
    const long long magnitude = order + exponent;
    if (magnitude >= 5)
        throw OverflowError(key, text);
    if (magnitude < -1)
        return 0;

    std::string number = s.substr(0, mantissaEnd);
    if (exponent != 0)
        number += 'e' + std::to_string(exponent);
    const char *first = number.data() + (number.front() == '+' ? 1 : 0);
    double value = 0.0;
    std::from_chars(first, number.data() + number.size(), value);
    return toInt16(key, text, value);
}

} // namespace zptt
