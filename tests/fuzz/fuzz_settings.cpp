// libFuzzer target for the stored-value conversions, their text forms and the INI store.
//
// Input: byte 0 chooses the locale (bits 0-1), how the rest is decoded (bit 2: UTF-8 or
// Latin-1) and the section (bit 3) and key (bits 4-7) the store test writes. The rest is the text
// handed to every conversion and, as raw bytes, the settings file the store reads and edits.

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "TextForms.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace zptt;

namespace {

[[noreturn]] void fail(const char *what, const QString &detail = {}) {
    std::fprintf(stderr, "fuzz_settings: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", detail.toUtf8().constData());
    std::abort();
}

QString shown(const QString &text) {
    QString out;
    for (QChar c : text.left(200)) {
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f)
            out += QStringLiteral("\\u%1").arg(unsigned(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return QLatin1Char('"') + out + QLatin1Char('"');
}

const QLocale &localeFor(std::uint8_t flags) {
    static const QLocale locales[] = {QLocale::c(), QLocale(QLocale::German, QLocale::Germany),
                                      QLocale(QLocale::French, QLocale::France),
                                      QLocale(QLocale::English, QLocale::UnitedStates)};
    return locales[flags & 3];
}

// What a conversion did: a value or the kind of error. Anything else it throws (or a crash)
// is a finding.
template <typename T> struct Outcome {
    std::optional<T> value;
    bool mismatch = false;
    bool overflow = false;
};

template <typename T, typename F> Outcome<T> attempt(const char *name, const QString &text, F f) {
    Outcome<T> out;
    try {
        out.value = f();
    } catch (const TypeMismatchError &) {
        out.mismatch = true;
    } catch (const OverflowError &) {
        out.overflow = true;
    } catch (const ConversionError &) {
        fail(name, QStringLiteral("a ConversionError of no known kind for ") + shown(text));
    } catch (const std::exception &e) {
        fail(name,
             QStringLiteral("threw \"%1\" for %2").arg(QString::fromUtf8(e.what()), shown(text)));
    } catch (...) {
        fail(name, QStringLiteral("threw a non-standard exception for ") + shown(text));
    }
    return out;
}

// The form NumberText promises: optional minus, no leading zeros, the locale's separator
// only before a fractional part that ends in a non-zero digit, seven significant digits.
void checkNumberForm(const QString &text, const QLocale &locale) {
    static QHash<QString, QRegularExpression> forms;
    QRegularExpression &re = forms[locale.decimalPoint()];
    if (re.pattern().isEmpty())
        re.setPattern(QStringLiteral("^-?(0|[1-9][0-9]*)(%1[0-9]*[1-9])?$")
                          .arg(QRegularExpression::escape(locale.decimalPoint())));
    if (!re.match(text).hasMatch())
        fail("NumberText wrote an unexpected form", shown(text));
    int significant = 0;
    bool leading = true;
    for (QChar c : text) {
        if (!c.isDigit())
            continue;
        leading = leading && c == QLatin1Char('0');
        significant += leading ? 0 : 1;
    }
    // Trailing zeros of a whole number are not significant either.
    qsizetype end = text.size();
    if (!text.contains(locale.decimalPoint())) {
        while (end > 1 && text[end - 1] == QLatin1Char('0')) {
            --end;
            --significant;
        }
    }
    if (significant > 7)
        fail("NumberText wrote more than seven significant digits", shown(text));
}

// A finite float written and read back: the text is in form, it reads back within the
// seventh digit, and a second round gives the same text.
void checkNumberRoundTrip(float value, const QLocale &locale) {
    const QString text = NumberText(value, locale);
    if (!std::isfinite(value)) {
        const Outcome<float> back = attempt<float>(
            "ToSingleStrict", text, [&] { return ToSingleStrict("K", text, locale); });
        if (!back.mismatch)
            fail("a NaN or infinity text was not refused", shown(text));
        return;
    }
    checkNumberForm(text, locale);
    const Outcome<float> back =
        attempt<float>("ToSingleStrict", text, [&] { return ToSingleStrict("K", text, locale); });
    if (!back.value)
        fail("NumberText's text does not read back", shown(text));
    const double err = std::abs(double(*back.value) - double(value));
    const double allowed =
        std::max(std::abs(double(value)) * 1e-6, double(std::numeric_limits<float>::denorm_min()));
    if (err > allowed)
        fail("NumberText's text reads back as another value",
             shown(text) + QStringLiteral(" from %1 gives %2")
                               .arg(double(value), 0, 'g', 9)
                               .arg(double(*back.value), 0, 'g', 9));
    const QString again = NumberText(*back.value, locale);
    if (again != text)
        fail("NumberText changes on a second round",
             shown(text) + QStringLiteral(" -> ") + shown(again));
}

// The lenient reading done another way: blanks out, the longest run of number characters,
// then strtod (the process keeps the C locale) to find the longest number in it.
std::optional<double> lenientReference(const QString &text) {
    std::string s;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == ' ' || u == '\t' || u == '\r' || u == '\n')
            continue;
        if (u < 0x80 && std::strchr("0123456789+-.eE", char(u)) && u != 0)
            s += char(u);
        else
            break;
    }
    if (s.empty())
        return 0.0;
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str())
        return 0.0;
    const double r = RoundHalfEven(v);
    if (!(r >= -32768.0 && r <= 32767.0))
        return std::nullopt;
    return r;
}

void checkConversions(const QString &text, const QLocale &locale) {
    const Outcome<float> single =
        attempt<float>("ToSingleStrict", text, [&] { return ToSingleStrict("K", text, locale); });
    const Outcome<std::int16_t> strict = attempt<std::int16_t>(
        "ToInt16Strict", text, [&] { return ToInt16Strict("K", text, locale); });
    const Outcome<std::int16_t> lenient =
        attempt<std::int16_t>("ToInt16Lenient", text, [&] { return ToInt16Lenient("K", text); });

    if (single.value) {
        const float f = *single.value;
        if (!std::isfinite(f))
            fail("ToSingleStrict returned a NaN or infinity", shown(text));
        checkNumberRoundTrip(f, locale);
        // Blanks around the text change nothing.
        const QString padded = QStringLiteral(" \t") + text + QStringLiteral("\t ");
        const Outcome<float> again = attempt<float>(
            "ToSingleStrict", padded, [&] { return ToSingleStrict("K", padded, locale); });
        if (!again.value || *again.value != f)
            fail("blanks around a number change its strict reading", shown(text));
        // The C form of the value is plain decimal: the lenient reading agrees with it.
        if (std::abs(f) < 30000.0f) {
            const QString plain = NumberText(f, QLocale::c());
            const Outcome<std::int16_t> l = attempt<std::int16_t>(
                "ToInt16Lenient", plain, [&] { return ToInt16Lenient("K", plain); });
            const Outcome<std::int16_t> s = attempt<std::int16_t>(
                "ToInt16Strict", plain, [&] { return ToInt16Strict("K", plain, QLocale::c()); });
            if (!l.value || !s.value || *l.value != *s.value)
                fail("lenient and strict readings of a plain number differ", shown(plain));
        }
    }

    // The 16-bit strict reading parses as the float one does, then rounds.
    if (single.mismatch != strict.mismatch)
        fail("ToSingleStrict and ToInt16Strict disagree on whether it is a number", shown(text));
    if (strict.value) {
        if (!single.value)
            fail("ToInt16Strict took a text ToSingleStrict refused", shown(text));
        const double diff = std::abs(double(*strict.value) - double(*single.value));
        if (diff > 0.5 + 1e-2)
            fail("ToInt16Strict is not the rounded number",
                 shown(text) + QStringLiteral(" gives %1").arg(*strict.value));
        // Half to even, exactly where the float holds the value exactly.
        if (double(*single.value) == RoundHalfEven(double(*single.value)) &&
            double(*strict.value) != double(*single.value) && std::abs(*single.value) < 4096.0f)
            fail("ToInt16Strict changed a whole number", shown(text));
    } else if (single.value && std::abs(*single.value) < 32767.0f) {
        fail("ToInt16Strict refused a number in range", shown(text));
    } else if (single.value && std::abs(*single.value) > 32769.0f && !strict.overflow) {
        fail("ToInt16Strict did not report an overflow", shown(text));
    }

    const std::optional<double> want = lenientReference(text);
    if (want) {
        if (!lenient.value)
            fail("ToInt16Lenient refused a number in range",
                 shown(text) + QStringLiteral(", expected %1").arg(*want));
        if (double(*lenient.value) != *want)
            fail("ToInt16Lenient read another number",
                 shown(text) +
                     QStringLiteral(" gives %1, expected %2").arg(*lenient.value).arg(*want));
    } else if (!lenient.overflow) {
        fail("ToInt16Lenient did not report an overflow", shown(text));
    }
}

void checkIntegerText(std::int32_t value) {
    const QString text = IntegerText(value);
    static const QRegularExpression form(QStringLiteral("^(0|-?[1-9][0-9]*)$"));
    if (!form.match(text).hasMatch())
        fail("IntegerText wrote an unexpected form", shown(text));
    bool ok = false;
    if (text.toInt(&ok) != value || !ok)
        fail("IntegerText does not read back", shown(text));
    const bool inRange = value >= -32768 && value <= 32767;
    for (int i = 0; i < 4; ++i) {
        const QLocale &locale = localeFor(std::uint8_t(i));
        const Outcome<std::int16_t> s = attempt<std::int16_t>(
            "ToInt16Strict", text, [&] { return ToInt16Strict("K", text, locale); });
        if (inRange ? (!s.value || *s.value != value) : !s.overflow)
            fail("ToInt16Strict of IntegerText", shown(text) + QLatin1Char(' ') + locale.name());
    }
    const Outcome<std::int16_t> l =
        attempt<std::int16_t>("ToInt16Lenient", text, [&] { return ToInt16Lenient("K", text); });
    if (inRange ? (!l.value || *l.value != value) : !l.overflow)
        fail("ToInt16Lenient of IntegerText", shown(text));
    if (std::abs(value) <= (1 << 24)) {
        const Outcome<float> f =
            attempt<float>("ToSingleStrict", text, [&] { return ToSingleStrict("K", text); });
        if (!f.value || *f.value != float(value))
            fail("ToSingleStrict of IntegerText", shown(text));
    }
}

void checkRounding(double x) {
    const double r = RoundHalfEven(x);
    if (!std::isfinite(x)) {
        if (!(std::isnan(x) ? std::isnan(r) : r == x))
            fail("RoundHalfEven changed a NaN or infinity");
        return;
    }
    const double d = std::abs(r - x);
    if (r != std::floor(r) || d > 0.5 || (d == 0.5 && std::fmod(r, 2.0) != 0.0))
        fail("RoundHalfEven",
             QString::number(x, 'g', 17) + QStringLiteral(" -> ") + QString::number(r, 'g', 17));
}

// ---- the store ----

const QString kApp = QStringLiteral("Zorore_PTT");

QString storeRoot() {
    // One folder for the whole run, given by tests/fuzz/run (which removes it also after a
    // crash) or made here; in memory when the machine has that, as every input renames a file
    // and syncs the folder.
    static const QString root = [] {
        const QString given = qEnvironmentVariable("ZPTT_FUZZ_STORE");
        if (!given.isEmpty())
            return given;
        const QString shm = QStringLiteral("/dev/shm");
        static QTemporaryDir made((QFileInfo(shm).isWritable() ? shm : QDir::tempPath()) +
                                  QStringLiteral("/zptt-fuzz-XXXXXX"));
        return made.isValid() ? made.path() : QString();
    }();
    static const bool ready = !root.isEmpty() && QDir().mkpath(root + QLatin1Char('/') + kApp);
    if (!ready)
        fail("cannot create the store's folder");
    return root;
}

struct RawLine {
    QByteArray raw;
    bool terminated() const { return raw.endsWith('\n'); }
    QByteArray content() const {
        QByteArray c = raw;
        if (c.endsWith('\n'))
            c.chop(1);
        if (c.endsWith('\r'))
            c.chop(1);
        return c;
    }
};

std::vector<RawLine> lines(const QByteArray &data) {
    std::vector<RawLine> out;
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype nl = data.indexOf('\n', from);
        const qsizetype end = nl < 0 ? data.size() : nl + 1;
        out.push_back({data.mid(from, end - from)});
        from = end;
    }
    return out;
}

// "key = ..." with the key as written: the only kind of line an edit of that key may drop.
bool looksLikeEntryOf(const QByteArray &content, const QByteArray &key) {
    const QByteArray t = content.trimmed();
    if (!t.startsWith(key))
        return false;
    qsizetype i = key.size();
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        ++i;
    return i < t.size() && t[i] == '=';
}

// The edited file is the old one with entries of the key dropped, one entry line put in,
// perhaps a line feed given to an unterminated line, and a blank line and header appended
// when the section was missing. Everything else is there byte for byte, in order.
void checkEdit(const QByteArray &before, const QByteArray &after, const QByteArray &section,
               const QByteArray &key) {
    const std::vector<RawLine> a = lines(before);
    const std::vector<RawLine> b = lines(after);
    std::size_t i = 0;
    std::size_t j = 0;
    bool entrySeen = false;
    bool headerSeen = false;
    bool blankSeen = false;
    int terminations = 0;
    auto why = [&](const char *what) {
        fail(what, QStringLiteral("section %1 key %2, old line %3 of %4, new line %5 of %6")
                       .arg(QString::fromUtf8(section), QString::fromUtf8(key))
                       .arg(i)
                       .arg(a.size())
                       .arg(j)
                       .arg(b.size()));
    };
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i].raw == b[j].raw) {
            ++i, ++j;
        } else if (i < a.size() && j < b.size() && !a[i].terminated() &&
                   b[j].raw.startsWith(a[i].raw) && b[j].terminated() &&
                   b[j].content() == a[i].content() && terminations++ == 0) {
            ++i, ++j;
        } else if (j < b.size() && !entrySeen && looksLikeEntryOf(b[j].content(), key)) {
            entrySeen = true;
            ++j;
        } else if (i < a.size() && looksLikeEntryOf(a[i].content(), key)) {
            ++i;
        } else if (i == a.size() && !headerSeen && !blankSeen && !entrySeen &&
                   b[j].content().isEmpty() && b[j].terminated()) {
            blankSeen = true;
            ++j;
        } else if (i == a.size() && !headerSeen && !entrySeen &&
                   b[j].content() == '[' + section + ']') {
            headerSeen = true;
            ++j;
        } else {
            why("the edit changed other lines of the file");
        }
    }
}

const char *const kKeys[] = {"Position-Left", "Position-Top", "OnTop", "ComPort",
                             "Timer",         "Height",       "COM1",  "ontop"};

void checkStore(const QByteArray &data, const QString &text, std::uint8_t flags) {
    const QString root = storeRoot();
    IniSettingsStore store(root);
    const QString path = store.filePath(kApp);
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
            fail("cannot write the settings file");
    }

    const QString sections[] = {QStringLiteral("Settings"), QStringLiteral("Ports")};
    QString before[2][std::size(kKeys)];
    for (int s = 0; s < 2; ++s) {
        for (std::size_t k = 0; k < std::size(kKeys); ++k) {
            before[s][k] = store.GetSetting(kApp, sections[s], QLatin1String(kKeys[k]));
            // Whatever the file holds, reading it goes through the conversions too.
            if (!before[s][k].isEmpty() && k < 6)
                checkConversions(before[s][k], localeFor(flags));
        }
    }

    // The value written: what the program would write for a number in the text, or the
    // text itself.
    const int s = (flags >> 3) & 1;
    const std::size_t k = std::size_t(flags >> 4) % std::size(kKeys);
    QString value = text.left(64);
    if (!value.isEmpty() && value.back().isHighSurrogate())
        value.chop(1); // not half a character
    try {
        value = NumberText(ToSingleStrict("K", text), QLocale::c());
    } catch (const ConversionError &) {
    }
    try {
        store.SaveSetting(kApp, sections[s], QLatin1String(kKeys[k]), value);
    } catch (const std::exception &e) {
        fail("SaveSetting failed", QString::fromUtf8(e.what()));
    }

    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail("the settings file is gone after SaveSetting");
    const QByteArray after = f.readAll();
    checkEdit(data, after, sections[s].toUtf8(), kKeys[k]);

    const QString back = store.GetSetting(kApp, sections[s], QLatin1String(kKeys[k]));
    if (back != value)
        fail("a saved value reads back differently",
             shown(value) + QStringLiteral(" -> ") + shown(back));
    for (int s2 = 0; s2 < 2; ++s2) {
        for (std::size_t k2 = 0; k2 < std::size(kKeys); ++k2) {
            if (s2 == s && k2 == k)
                continue;
            const QString now = store.GetSetting(kApp, sections[s2], QLatin1String(kKeys[k2]));
            if (now != before[s2][k2])
                fail("SaveSetting changed another key",
                     QStringLiteral("[%1] %2: ").arg(sections[s2], QLatin1String(kKeys[k2])) +
                         shown(before[s2][k2]) + QStringLiteral(" -> ") + shown(now));
        }
    }
}

template <typename T> T bitsOf(const std::uint8_t *data, std::size_t size) {
    unsigned char buf[sizeof(T)] = {};
    std::memcpy(buf, data, std::min(size, sizeof(T)));
    T v;
    std::memcpy(&v, buf, sizeof(T));
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString text = (flags & 4) ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
    const QLocale &locale = localeFor(flags);

    checkConversions(text, locale);
    checkNumberRoundTrip(bitsOf<float>(data + 1, size - 1), locale);
    checkIntegerText(bitsOf<std::int32_t>(data + 1, size - 1));
    checkRounding(bitsOf<double>(data + 1, size - 1));
    checkStore(bytes, text, flags);
    return 0;
}
