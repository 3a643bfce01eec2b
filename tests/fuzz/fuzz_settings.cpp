// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: bytes as a stored text and as the settings file. Byte 0: bits 0-1 the locale,
// bit 2 the text read as Latin-1, bits 3-7 the key the store writes.

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "TextForms.h"

#include <QDir>
#include <QTemporaryDir>
#include <cassert>
#include <cmath>

using namespace zptt;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size) {
    static const QLocale locales[] = {QLocale::c(), QLocale("de"), QLocale("fr"), QLocale("en_US")};
    static const QStringList keys{"Settings/Timer", "Settings/timer", "Ports/COM1", "Ports/Timer"};
    static const QTemporaryDir root; // in $TMPDIR
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const QString text = data[0] & 4 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
    const QLocale &locale = locales[data[0] & 3];
    try { // a number read is finite and its text reads back the same; as 16 bits it is rounded
        const float f = ToSingleStrict("K", text, locale);
        const QString written = NumberText(f, locale);
        assert(std::isfinite(f) &&
               NumberText(ToSingleStrict("K", written, locale), locale) == written);
        assert(std::abs(ToInt16Strict("K", text, locale) - double(f)) <= 0.51);
    } catch (const ConversionError &) { // anything else thrown is a finding
    }
    try {
        ToInt16Lenient("K", text);
    } catch (const ConversionError &) {
    }

    // Whatever the file holds, a value written reads back and every other value stays.
    IniSettingsStore store(root.path());
    QDir().mkpath(root.path() + "/Zorore_PTT");
    QFile file(store.filePath("Zorore_PTT"));
    const bool opened = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    assert(opened && file.write(bytes) == bytes.size());
    const auto all = [&] {
        QStringList values;
        for (const QString &k : keys)
            values << store.GetSetting("Zorore_PTT", k.section('/', 0, 0), k.section('/', 1));
        return values;
    };
    QStringList expected = all();
    const QString &key = keys[(data[0] >> 3) % keys.size()];
    QString &value = expected[(data[0] >> 3) % keys.size()] = text.left(64);
    value.chop(!value.isEmpty() && value.back().isHighSurrogate()); // not half a character
    store.SaveSetting("Zorore_PTT", key.section('/', 0, 0), key.section('/', 1), value);
    assert(all() == expected);
    return 0;
}
