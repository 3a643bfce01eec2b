// Bytes as a stored text and as the settings file. Byte 0: bits 0-1 the locale, bit 2 the text
// read as Latin-1 rather than UTF-8, bits 3-6 the key and bit 7 the section the store writes.
// A crash, a sanitizer report or an abort() is a finding.

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "TextForms.h"

#include <QDir>
#include <cmath>
#include <cstdlib>
#include <optional>

using namespace zptt;

namespace {

void require(bool ok) {
    if (!ok)
        std::abort();
}

// A conversion error or a value; anything else thrown ends the run as a finding.
template <typename F> auto attempt(F &&f) -> std::optional<decltype(f())> {
    try {
        return f();
    } catch (const ConversionError &) {
        return std::nullopt;
    }
}

// A number read is finite, its text reads back to the same text, and the 16-bit reading is
// that number rounded.
void convert(const QString &text, const QLocale &locale) {
    const auto f = attempt([&] { return ToSingleStrict("K", text, locale); });
    const auto i = attempt([&] { return ToInt16Strict("K", text, locale); });
    attempt([&] { return ToInt16Lenient("K", text); });
    if (f) {
        const QString written = NumberText(*f, locale);
        require(std::isfinite(*f) &&
                NumberText(ToSingleStrict("K", written, locale), locale) == written);
    }
    require(!i || (f && std::abs(*i - double(*f)) <= 0.51));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size) {
    static const QLocale locales[] = {QLocale::c(), QLocale(QLocale::German, QLocale::Germany),
                                      QLocale(QLocale::French, QLocale::France),
                                      QLocale(QLocale::English, QLocale::UnitedStates)};
    static const QStringList sections = {"Settings", "Ports"};
    static const QStringList keys = {"Timer", "OnTop", "Height", "COM1", "timer"};
    static const QString root = qEnvironmentVariable("ZPTT_FUZZ_STORE");
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString text = data[0] & 4 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
    convert(text, locales[data[0] & 3]);

    // Whatever the file holds, a value written reads back and every other value stays.
    IniSettingsStore store(root);
    QDir().mkpath(root + "/Zorore_PTT");
    QFile file(store.filePath("Zorore_PTT"));
    require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    auto all = [&] {
        QStringList values;
        for (const QString &s : sections)
            for (const QString &k : keys)
                values << store.GetSetting("Zorore_PTT", s, k);
        return values;
    };
    QStringList expected = all();
    const qsizetype at = (data[0] >> 7) * keys.size() + (data[0] >> 3 & 15) % keys.size();
    QString &value = expected[at];
    value = text.left(64);
    if (!value.isEmpty() && value.back().isHighSurrogate())
        value.chop(1); // not half a character
    store.SaveSetting("Zorore_PTT", sections[at / keys.size()], keys[at % keys.size()], value);
    require(all() == expected);
    return 0;
}
