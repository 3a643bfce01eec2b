#include "SettingsErrors.h"
#include "TextForms.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace zptt;

namespace {

const QLocale kC = QLocale::c();
const QLocale kGerman(QLocale::German, QLocale::Germany);

// A conversion's result as text: the value, or which error it raised.
template <typename F> QString outcome(F &&conversion) {
    try {
        return QString::number(double(conversion()), 'g', 9);
    } catch (const TypeMismatchError &) {
        return QStringLiteral("mismatch");
    } catch (const OverflowError &) {
        return QStringLiteral("overflow");
    }
}

// Row names must stay on one line.
QByteArray rowName(const QString &text) {
    QByteArray name = text.left(30).toUtf8();
    for (char &c : name)
        c = (c >= 0 && c < ' ') ? '~' : c;
    return name;
}

void strictRow(const QString &text, const char *single, const char *int16,
               const QLocale &locale = kC) {
    QTest::addRow("%s %s", qPrintable(locale.name()), rowName(text).constData())
        << text << locale << QString(single) << QString(int16);
}

void lenientRow(const QString &text, const char *expected) {
    QTest::addRow("%s", rowName(text).constData()) << text << QString(expected);
}

} // namespace

class TestTextForms : public QObject {
    Q_OBJECT
private slots:
    void integerText();
    void numberText_data();
    void numberText();
    void strict_data();
    void strict();
    void lenient_data();
    void lenient();
    void errorsNameKeyAndText();
    void numberTextReadsBack();
};

void TestTextForms::integerText() {
    QCOMPARE(IntegerText(0), QString("0"));
    QCOMPARE(IntegerText(15), QString("15"));
    QCOMPARE(IntegerText(-1), QString("-1"));
}

void TestTextForms::numberText_data() {
    QTest::addColumn<float>("value");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float value;
        const char *c;
        const char *german;
    } rows[] = {
        {1635.0f, "1635", "1635"},
        {-1200.0f, "-1200", "-1200"},
        {1234.5f, "1234.5", "1234,5"},
        {0.5f, "0.5", "0,5"},
        {1234567.8f, "1234568", "1234568"},
        {3.14159265f, "3.141593", "3,141593"},
        {0.1f, "0.1", "0,1"},
        {12345678.0f, "12345680", "12345680"},
        {1e20f, "100000000000000000000", ""},
        {0.00001f, "0.00001", "0,00001"},
        {-1.5e-7f, "-0.00000015", ""},
        {-16383.99f, "-16383.99", "-16383,99"},
        {0.0f, "0", "0"},
        {-0.0f, "0", "0"},
        {nan, "nan", ""},
        {inf, "inf", ""},
        {-inf, "-inf", ""},
    };
    for (const auto &r : rows) {
        QTest::addRow("C %s", r.c) << r.value << kC << QString(r.c);
        if (*r.german)
            QTest::addRow("de %s", r.german) << r.value << kGerman << QString(r.german);
    }
}

void TestTextForms::numberText() {
    QFETCH(float, value);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(NumberText(value, locale), text);
}

void TestTextForms::strict_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("single");
    QTest::addColumn<QString>("int16");
    strictRow("1635", "1635", "1635");
    strictRow(" \t12.5 \n", "12.5", "12");
    strictRow("1e2", "100", "100");
    strictRow("-0.5", "-0.5", "0");
    for (const char *bad : {"", "  ", "abc", "1.2.3", "nan", "inf", "-inf", "12abc", "1 2", "1,5"})
        strictRow(bad, "mismatch", "mismatch");
    // Group separators are refused.
    strictRow("1,234.5", "mismatch", "mismatch", QLocale(QLocale::English, QLocale::UnitedStates));
    strictRow("1e39", "overflow", "overflow");
    strictRow("-1e999", "overflow", "overflow");
    strictRow("1e-999", "0", "0");
    strictRow("3.402823e38", "3.40282306e+38", "overflow");
    strictRow("32767", "32767", "32767");
    strictRow("32767.5", "32767.5", "overflow");
    strictRow("32766.5", "32766.5", "32766");
    strictRow("-32768.5", "-32768.5", "-32768");
    strictRow("-32769.5", "-32769.5", "overflow");
    strictRow("2.5", "2.5", "2");
    strictRow("3.5", "3.5", "4");
    strictRow("-2.5", "-2.5", "-2");
    strictRow("1234,5", "1234.5", "1234", kGerman);
    strictRow("1,5E3", "1500", "1500", kGerman);
    strictRow("1234.5", "mismatch", "mismatch", kGerman);
    strictRow("1.234,5", "mismatch", "mismatch", kGerman);
}

void TestTextForms::strict() {
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(QString, single);
    QFETCH(QString, int16);
    QCOMPARE(outcome([&] { return ToSingleStrict("K", text, locale); }), single);
    QCOMPARE(outcome([&] { return ToInt16Strict("K", text, locale); }), int16);
}

void TestTextForms::lenient_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    for (const char *zero : {"", "abc", "-", ".", "5e-999999"})
        lenientRow(zero, "0");
    lenientRow("15", "15");
    lenientRow("1 2", "12");
    lenientRow(" 12abc", "12");
    lenientRow("1e2", "100");
    lenientRow("1e", "1");
    lenientRow("-3.5", "-4");
    lenientRow("2.5", "2");
    lenientRow("\t5\n", "5");
    lenientRow("1\r\n0", "10");
    lenientRow("5 min", "5");
    lenientRow(".6", "1");
    lenientRow("1,5", "1");
    lenientRow("32767", "32767");
    lenientRow("32767.5", "overflow");
    lenientRow("-32768.5", "-32768");
    lenientRow("99999", "overflow");
    lenientRow("1e999999", "overflow");
    lenientRow(QString(100000, u'9'), "overflow");
    lenientRow("0." + QString(100000, u'0') + "1e100002", "10");
}

void TestTextForms::lenient() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(outcome([&] { return ToInt16Lenient("Timer", text); }), expected);
}

void TestTextForms::errorsNameKeyAndText() {
    try {
        ToSingleStrict("Height", "abc");
        QFAIL("no error");
    } catch (const TypeMismatchError &e) {
        QCOMPARE(e.key(), QString("Height"));
        QCOMPARE(e.text(), QString("abc"));
        QCOMPARE(QString(e.what()), QString("Height: \"abc\" is not a number"));
    }
    try {
        ToInt16Lenient("Timer", "99999");
        QFAIL("no error");
    } catch (const OverflowError &e) {
        QCOMPARE(e.text(), QString("99999"));
        QCOMPARE(QString(e.what()), QString("Timer: \"99999\" is out of range"));
    }
}

// Whatever NumberText writes reads back, under the same locale, to the same seven digits.
void TestTextForms::numberTextReadsBack() {
    std::vector<float> values = {std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::denorm_min(), 8589973504.0f};
    for (float v = 1e-30f; v < 1e30f; v *= 1.37f)
        values.insert(values.end(), {v, -v, std::nextafter(v, 0.0f)});
    for (int i = -20000; i <= 20000; i += 7)
        values.push_back(float(i) / 8.0f);
    for (const QLocale &locale : {kC, kGerman, QLocale(QLocale::Arabic, QLocale::Egypt)}) {
        for (float v : values) {
            const QString text = NumberText(v, locale);
            const QString back = NumberText(ToSingleStrict("K", text, locale), locale);
            if (back != text)
                QFAIL(qPrintable(
                    QString("%1 under %2 read back as %3").arg(text, locale.name(), back)));
        }
    }
}

QTEST_GUILESS_MAIN(TestTextForms)
#include "tst_textforms.moc"
