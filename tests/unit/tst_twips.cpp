// Twips to pixels: the factor per axis and rounding half to even.

#include "Twips.h"

#include <QTest>

class TestTwips : public QObject {
    Q_OBJECT
private slots:
    void toPixels_data() {
        QTest::addColumn<double>("twips");
        QTest::addColumn<double>("dpi");
        QTest::addColumn<int>("pixels");
        QTest::newRow("TX left at 96 dpi") << 240.0 << 96.0 << 16;
        QTest::newRow("TX width at 96 dpi") << 1215.0 << 96.0 << 81;
        QTest::newRow("TX height at 96 dpi") << 615.0 << 96.0 << 41;
        QTest::newRow("66.67 px rounds up") << 1000.0 << 96.0 << 67;
        QTest::newRow("22.5 px goes to even 22") << 337.5 << 96.0 << 22;
        QTest::newRow("23.5 px goes to even 24") << 352.5 << 96.0 << 24;
        QTest::newRow("-22.5 px goes to even -22") << -337.5 << 96.0 << -22;
        QTest::newRow("compact height at 96 dpi") << 1635.0 << 96.0 << 109;
        QTest::newRow("full height at 96 dpi") << 3090.0 << 96.0 << 206;
        QTest::newRow("full height at 120 dpi") << 3090.0 << 120.0 << 258;  // 257.5
        QTest::newRow("client width at 144 dpi") << 1755.0 << 144.0 << 176; // 175.5
    }
    void toPixels() {
        QFETCH(double, twips);
        QFETCH(double, dpi);
        QFETCH(int, pixels);
        QCOMPARE(zptt::twipsToPixels(twips, zptt::twipsPerPixel(dpi)), pixels);
    }
};

QTEST_APPLESS_MAIN(TestTwips)
#include "tst_twips.moc"
