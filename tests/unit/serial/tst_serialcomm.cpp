// PortMap (defaults and [Ports] mapping) and SerialComm on pseudo-terminals.

#include "PortMap.h"
#include "SerialComm.h"
#include "SerialError.h"
#include "SettingKeys.h"
#include "SettingsStore.h"
#include "UartEmu.h"

#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

using namespace uartemu;
using zptt::PortMap;
using zptt::SerialComm;
using zptt::SerialError;

namespace {

// Exact, case-sensitive addressing, as the real store's callers expect.
class MemoryStore : public zptt::SettingsStore {
public:
    QString GetSetting(const QString &application, const QString &section,
                       const QString &key) const override {
        return m_values.value(application + u'\n' + section + u'\n' + key);
    }
    void SaveSetting(const QString &application, const QString &section, const QString &key,
                     const QString &text) override {
        m_values.insert(application + u'\n' + section + u'\n' + key, text);
    }
    void mapPort(const QString &key, const QString &device) {
        SaveSetting(zptt::keys::kApplication, zptt::keys::kPortsSection, key, device);
    }

private:
    QMap<QString, QString> m_values;
};

QString error(const std::function<void()> &call) {
    try {
        call();
    } catch (const SerialError &e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

} // namespace

class TstSerialComm : public QObject {
    Q_OBJECT

private slots:
    void portTable_data();
    void portTable();
    void present();
    void commPortRange_data();
    void commPortRange();
    void closedPortDrivesNothing();
    void openFailures_data();
    void openFailures();
    void openPortFollowsCalls();
    void watchdogReleasesWhenThreadIsHeld_data();
    void watchdogReleasesWhenThreadIsHeld();
    void unplugNoticedDataIgnored();
};

void TstSerialComm::portTable_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("mapped");
    QTest::addColumn<QString>("device");
    const QString byId = "/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0";
    // Expected devices only: nothing here is opened.
    auto expect = [](const char *name, int port, const char *key, const QString &mapped,
                     const QString &device) {
        QTest::newRow(name) << port << QString(key) << mapped << device;
    };
    expect("COM0", 0, "", "", "");
    expect("COM1", 1, "", "", "/dev/ttyS0");
    expect("COM4", 4, "", "", "/dev/ttyS3");
    expect("COM5", 5, "", "", "/dev/ttyUSB0");
    expect("COM10", 10, "", "", "/dev/ttyUSB5");
    expect("COM11", 11, "", "", "/dev/ttyACM0");
    expect("COM15", 15, "", "", "/dev/ttyACM4");
    expect("COM16", 16, "", "", "");
    expect("COM255", 255, "", "", "");
    expect("mapped COM5", 5, "COM5", byId, byId);
    expect("relative COM5", 5, "COM5", "ttyUSB3", "");
    expect("empty COM5", 5, "COM5", "", "/dev/ttyUSB0");
    expect("lower-case key", 5, "com5", byId, "/dev/ttyUSB0");
    expect("mapped COM16", 16, "COM16", "/dev/ttyUSB7", "/dev/ttyUSB7");
}

void TstSerialComm::portTable() {
    QFETCH(int, port);
    QFETCH(QString, key);
    QFETCH(QString, mapped);
    QFETCH(QString, device);
    MemoryStore store;
    if (!key.isEmpty()) {
        store.mapPort(key, mapped);
        // The same entry in another section or program must not count.
        store.SaveSetting(zptt::keys::kApplication, zptt::keys::kSection, key, "/dev/wrong");
        store.SaveSetting("Other", zptt::keys::kPortsSection, key, "/dev/wrong");
    }
    QCOMPARE(PortMap(store).spec(port).device, device);
    if (key.isEmpty())
        QCOMPARE(PortMap::defaultDevice(port), device);
}

void TstSerialComm::present() {
    QTemporaryDir dir;
    const QString file = dir.filePath("ttyFAKE");
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(file, dir.filePath("good-link")));
    QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("dangling-link")));
    MemoryStore store;
    store.mapPort("COM20", file);
    store.mapPort("COM21", dir.filePath("good-link"));
    store.mapPort("COM22", dir.filePath("dangling-link"));
    store.mapPort("COM23", dir.filePath("missing"));
    const qint64 mark = logMark();
    const PortMap table(store);
    QVERIFY(table.present(20));
    QVERIFY(table.present(21));
    QVERIFY(!table.present(22));
    QVERIFY(!table.present(23));
    QVERIFY(!table.present(24));           // no device at all
    QCOMPARE(eventsSince(mark).size(), 0); // nothing opened
}

void TstSerialComm::commPortRange_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("-1") << -1 << false;
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("16") << 16 << true;
    QTest::newRow("255") << 255 << true;
    QTest::newRow("256") << 256 << false;
}

void TstSerialComm::commPortRange() {
    QFETCH(int, port);
    QFETCH(bool, accepted);
    MemoryStore store;
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    QCOMPARE(comm.CommPort(), std::int16_t(1));
    QVERIFY(!comm.PortOpen());
    comm.setCommPort(7);
    const QString err = error([&] { comm.setCommPort(std::int16_t(port)); });
    QCOMPARE(err.isEmpty(), accepted);
    QCOMPARE(comm.CommPort(), std::int16_t(accepted ? port : 7));

    // Only while closed.
    Pty pty;
    QVERIFY(pty.ok());
    store.mapPort(QStringLiteral("COM%1").arg(comm.CommPort()), pty.path());
    comm.setPortOpen(true);
    const std::int16_t open = comm.CommPort();
    QVERIFY(!error([&] { comm.setCommPort(open == 2 ? 3 : 2); }).isEmpty());
    QCOMPARE(comm.CommPort(), open);
    QVERIFY(comm.PortOpen());
}

void TstSerialComm::closedPortDrivesNothing() {
    MemoryStore store;
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    const qint64 mark = logMark();
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    comm.setDTREnable(false);
    comm.setPortOpen(false); // closing a closed port changes nothing
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.fd(), -1);
    QCOMPARE(eventsSince(mark).size(), 0);
}

void TstSerialComm::openFailures_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("mapped");
    QTest::addColumn<QString>("message");
    QTest::newRow("unmapped COM16") << 16 << ""
                                    << "COM16: no device for this port";
    QTest::newRow("absent device") << 30 << "/nonexistent/ttyUSB0"
                                   << "/nonexistent/ttyUSB0: No such file or directory";
    QTest::newRow("not a terminal") << 31 << "/dev/null"
                                    << "/dev/null: not a serial port (";
}

void TstSerialComm::openFailures() {
    QFETCH(int, port);
    QFETCH(QString, mapped);
    QFETCH(QString, message);
    MemoryStore store;
    if (!mapped.isEmpty())
        store.mapPort(QStringLiteral("COM%1").arg(port), mapped);
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    comm.setCommPort(std::int16_t(port));
    const QString err = error([&] { comm.setPortOpen(true); });
    QVERIFY2(err.startsWith(message), qPrintable(err));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.fd(), -1);
}

void TstSerialComm::openPortFollowsCalls() {
    Pty pty;
    QVERIFY(pty.ok());
    MemoryStore store;
    store.mapPort("COM5", pty.path());
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    comm.setCommPort(5);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QCOMPARE(lines(comm.fd()), 0);
    QCOMPARE(error([&] { comm.setPortOpen(true); }), QString("COM5: port already open"));
    QVERIFY(comm.PortOpen());

    comm.setDTREnable(true);
    QCOMPARE(lines(comm.fd()), TIOCM_DTR);
    comm.setRTSEnable(true); // the line that does not key stays at rest
    QCOMPARE(lines(comm.fd()), TIOCM_DTR);
    comm.setDTREnable(false);
    QCOMPARE(lines(comm.fd()), 0);
    comm.setRTSEnable(false);
    QCOMPARE(lines(comm.fd()), 0);

    comm.setDTREnable(true);
    const qint64 mark = logMark();
    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.fd(), -1);
    const QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"TIOCMBIC", "close"}));
    QCOMPARE(ev[0].dtr + ev[0].rts, 0);
    comm.setPortOpen(false);
    QCOMPARE(eventsSince(mark, pty.path()).size(), 2);
}

// The window's thread sleeps past the deadline; the watchdog lowers DTR after its grace.
void TstSerialComm::watchdogReleasesWhenThreadIsHeld_data() {
    QTest::addColumn<int>("releaseAfterMs"); // when the owner lowers DTR; -1 never
    QTest::addColumn<bool>("watchdogSteps");
    QTest::newRow("owner held up") << -1 << true;
    QTest::newRow("owner in time") << 50 << false;
    QTest::newRow("owner late but within grace") << 300 << false;
}

void TstSerialComm::watchdogReleasesWhenThreadIsHeld() {
    QFETCH(int, releaseAfterMs);
    QFETCH(bool, watchdogSteps);
    using namespace std::chrono;
    Pty pty;
    QVERIFY(pty.ok());
    MemoryStore store;
    store.mapPort("COM1", pty.path());
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    comm.setPortOpen(true);
    const qint64 mark = logMark();
    comm.setDTREnable(true);
    const auto deadline = steady_clock::now() + 100ms;
    comm.setKeyDeadline(deadline);
    if (releaseAfterMs >= 0) {
        std::this_thread::sleep_for(milliseconds(releaseAfterMs));
        comm.setDTREnable(false);
    }
    std::this_thread::sleep_for(100ms + comm.watchdog().grace() + 300ms);
    QCOMPARE(comm.watchdog().releases(), watchdogSteps ? 1 : 0);
    QCOMPARE(lines(comm.fd()) & TIOCM_DTR, 0);
    const QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"TIOCMBIS", "TIOCMBIC"}));
    const qint64 heldNs = ev[1].ns - ev[0].ns;
    if (watchdogSteps) {
        QVERIFY2(heldNs >= 600'000'000 && heldNs < 900'000'000,
                 qPrintable(QString::number(heldNs)));
    }
}

void TstSerialComm::unplugNoticedDataIgnored() {
    Pty pty;
    QVERIFY(pty.ok());
    MemoryStore store;
    store.mapPort("COM1", pty.path());
    const PortMap map(store);
    SerialComm comm([&map](int p) { return map.spec(p); });
    int lost = 0;
    comm.setLostHandler([&] { ++lost; });
    comm.setPortOpen(true);
    QVERIFY(::write(pty.master(), "noise", 5) == 5); // data from the radio: not a loss
    QTest::qWait(200);
    QVERIFY(comm.PortOpen());
    QCOMPARE(lost, 0);
    comm.setDTREnable(true);
    pty.unplug();
    QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 1500);
    QVERIFY(!comm.PortOpen());
    QTest::qWait(1200); // nothing more: no spinning, no second report
    QCOMPARE(lost, 1);
}

int main(int argc, char **argv) {
    ensureLoaded();
    QCoreApplication app(argc, argv);
    TstSerialComm test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serialcomm.moc"
