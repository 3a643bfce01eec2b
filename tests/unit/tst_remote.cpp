// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network protocol as a table of exchanges, and the server against hostile clients.
// Hamlib's own client drives the real program end to end.

#include "RemoteKeyingServer.h"
#include "RigctlSession.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <mutex>
#include <sys/socket.h>

using namespace zptt;

// A keying point that notes what each client asks of it, from any thread.
struct FakeKeying final : RemoteKeying {
    std::atomic<bool> portOpen = true;
    std::atomic<ClientId> keyedBy = 0;
    mutable std::mutex mutex;
    QStringList noted;

    KeyResult remoteKey(ClientId client) override {
        note("key", client);
        if (portOpen)
            keyedBy = client;
        return portOpen ? KeyResult::Keyed : KeyResult::NoPort;
    }
    void remoteRelease(ClientId client) override {
        note("release", client);
        keyedBy = 0;
    }
    void clientGone(ClientId client, bool handedOver) override {
        note(handedOver ? "handed over" : "lost", client);
        if (!handedOver)
            keyedBy.compare_exchange_strong(client, 0); // released if it keyed last
    }
    bool lineKeyed() const override { return keyedBy != 0; }
    void note(const char *what, ClientId client) {
        const std::lock_guard lock(mutex);
        noted << QStringLiteral("%1 %2").arg(what).arg(client);
    }
    QStringList events() const {
        const std::lock_guard lock(mutex);
        return noted;
    }
};

class tst_Remote : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeKeying> keying;
    std::unique_ptr<RemoteKeyingServer> server;

    std::unique_ptr<QTcpSocket> client() const {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, server->serverPort());
        socket->waitForConnected(5000);
        return socket;
    }
    static QByteArray ask(QTcpSocket &socket, const QByteArray &line) {
        socket.write(line);
        QByteArray reply;
        while (!reply.endsWith('\n') && socket.waitForReadyRead(5000))
            reply += socket.readAll();
        return reply;
    }
    qsizetype gone(int client) const {
        const QStringList events = keying->events();
        return events.count("lost " + QString::number(client)) +
               events.count("handed over " + QString::number(client));
    }

private slots:
    void init() {
        keying = std::make_unique<FakeKeying>();
        server = std::make_unique<RemoteKeyingServer>(*keying);
        QVERIFY(!server->listen(QHostAddress::LocalHost, 0));
    }
    void cleanup() { server.reset(); }

    // Each client's distinct lines after the connect that all of them make (Hamlib 4.5's NET
    // rigctl), with the answers they need: rigctld's, or an error the client takes.
    void session_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<bool>("finished");
        const auto row = [](const char *name, const QByteArray &input, const QByteArray &reply,
                            const QStringList &events = {}, bool finished = false) {
            QTest::newRow(name) << input << reply << events << finished;
        };
        const QByteArray x1024(1024, 'x'), unknown = "RPRT -11\n";
        static const char garbage[] = "xyzzy\n\x01\xff\x00\x80\nfm\n#\n\n \r\n";
        // Levels, functions and parameters: none (the last six lines).
        const QByteArray dumpState =
            "0\n1\n0\n1.000000 1000000000000.000000 0xfffff -1 -1 0x3 0x1\n0 0 0 0 0 0 0\n"
            "1.000000 1000000000000.000000 0xfffff 1 100000 0x3 0x1\n0 0 0 0 0 0 0\n0xfffff 1\n"
            "0 0\n0xfffff 2400\n0 0\n0\n0\n0\n0\n\n\n0x0\n0x0\n0x0\n0x0\n0x0\n0x0\n";

        row("connect", "\\chk_vfo\n\\dump_state\nv\nf\nV VFOB\nf\nV VFOA\ns\nm\n",
            "0\n" + dumpState + "VFOA\n14074000\nRPRT 0\n14074000\nRPRT 0\n0\nVFOA\nUSB\n2400\n");
        row("fldigi, grig", "T 2\nT 3\nF 7074000.000000\nf\nt\nT 0\nQ\nT 1\n",
            "RPRT 0\nRPRT 0\nRPRT 0\n7074000\n1\nRPRT 0\nRPRT 0\n", {"key 7", "key 7", "release 7"},
            true);
        row("WSJT-X, JS8Call", "F 14074055.000000\nf\nF 14074000.000000\nv\ns\nm\nt\nT 1\nT 0\n",
            "RPRT 0\n14074055\nRPRT 0\nVFOA\n0\nVFOA\nUSB\n2400\n0\nRPRT 0\nRPRT 0\n",
            {"key 7", "release 7"});
        row("WSJT-X split Rig", "S 1 VFOB\nI 14072500.000000\ns\ni\nf\nV VFOB\nf\nV VFOA\nT 1\n",
            "RPRT 0\nRPRT 0\n1\nVFOB\n14072500\n14074000\nRPRT 0\n14072500\nRPRT 0\nRPRT 0\n",
            {"key 7"});
        row("WSJT-X split Rig, Data/Pkt",
            "\\get_lock_mode\nM PKTUSB -1\nm\nS 1 VFOB\nV VFOB\nF 14072500.000000\nV VFOA\nf\n"
            "X PKTUSB -1\nx\nV VFOB\nm\nf\n",
            "0\nRPRT 0\nRPRT 0\nPKTUSB\n2400\nRPRT 0\nRPRT 0\nRPRT 0\nRPRT 0\n14074000\nRPRT 0\n"
            "PKTUSB\n2400\nRPRT 0\nPKTUSB\n2400\n14072500\n");
        row("Python bindings, rigctl",
            "\\get_powerstat\nS 1 VFOB\nS 0 VFOA\n\\get_lock_mode\nM PKTUSB 0\nX LSB 1800\nx\n"
            "I 7000000\ni\nm\n_\nj\nq\n",
            "1\nRPRT 0\nRPRT 0\n0\nRPRT 0\nRPRT 0\nRPRT 0\nLSB\n1800\nRPRT 0\n7000000\nPKTUSB\n"
            "2400\nZorore_PTT: keys the transmitter, remembers the rest\n0\nRPRT 0\n",
            {}, true);
        row("no port", "T 1\nt\n", "RPRT -9\n0\n", {"key 7"});
        row("extended", "+T 1\n+t\n;m\n|\\get_freq\n+F VFOB 7074000\n+T\n+i\n",
            "set_ptt: 1\nRPRT 0\nget_ptt:\nPTT: 1\nRPRT 0\nget_mode:;Mode: USB;Passband: 2400;"
            "RPRT 0\nget_freq:|Frequency: 14074000|RPRT 0\nset_freq: VFOB 7074000\nRPRT 0\n"
            "set_ptt:\nRPRT -1\nget_split_freq:\nTX Frequency: 7074000\nRPRT 0\n",
            {"key 7"});
        row("bad arguments", "T\nT on\nT 1 1\nF -1\nF nan\nM ? 0\nV VFOZ\nS 1 VFOC\nI x\nX USB\n",
            QByteArray("RPRT -1\n").repeated(10));
        row("garbage", QByteArray(garbage, sizeof garbage - 1), unknown.repeated(4));
        row("1 KiB line", x1024 + "\nt\n", unknown + "0\n");
        row("longer line", x1024 + "x\nT 1\n", "", {}, true);
    }
    void session() {
        QFETCH(QByteArray, input);
        FakeKeying fake; // how the bytes are cut is the fuzz target's matter
        fake.portOpen = QTest::currentDataTag() != QByteArrayView("no port");
        RigState rig;
        RigctlSession session(fake, rig, 7);
        QTEST(session.receive(input), "reply");
        QTEST(fake.events(), "events");
        QTEST(session.finished(), "finished");
    }

    // Every end of a connection is told once, as a goodbye only after q or Q, and the next
    // client is served (under the address sanitizer: nothing of an ended client is used).
    void ends_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("close");    // 0: the server closes, after this reply; 1: a close
        QTest::addColumn<QString>("told"); // 2: a reset
        QTest::addColumn<QByteArray>("reply");
        const auto row = [](const char *name, const QByteArray &sent, int close, const char *told,
                            const QByteArray &reply = {}) {
            QTest::newRow(name) << sent << close << told << reply;
        };
        row("q", "T 1\nq\n", 0, "handed over", "RPRT 0\nRPRT 0\n");
        row("Q", "Q\nt\n", 0, "handed over", "RPRT 0\n");
        row("end of file", "T 1\n", 1, "lost");
        row("reset after a command", "T 1\n", 2, "lost");
        row("reset amid a line", "T", 2, "lost");
        row("longer line", QByteArray(1100, 'x'), 0, "lost");
    }
    void ends() {
        QFETCH(QByteArray, sent);
        QFETCH(int, close);
        QFETCH(QString, told);
        // Twenty in a row, but one that waits for the server's limit.
        const int clients = close == 0 && told == "lost" ? 1 : 20;
        for (int n = 1; n <= clients; ++n) {
            auto socket = client();
            socket->write(sent);
            socket->waitForBytesWritten(5000);
            static constexpr linger kReset{1, 0};
            if (close == 2)
                setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &kReset,
                           sizeof kReset);
            if (close != 0)
                socket->close();
            QTRY_VERIFY_WITH_TIMEOUT(gone(n), 10000);
            if (close == 0) {
                QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
                QTEST(socket->readAll(), "reply");
            }
        }
        const QStringList ends = keying->events().filter(QRegularExpression("^(lost|handed)"));
        QCOMPARE(ends.size(), clients);
        QCOMPARE(ends.filter(told).size(), clients);
        QCOMPARE(ask(*client(), "v\n"), QByteArray("VFOA\n"));
    }

    // One rig for every client, kept while the server stops and listens again.
    void sharedRig() {
        auto fldigi = client(), logger = client();
        QCOMPARE(ask(*fldigi, "V VFOB\n"), QByteArray("RPRT 0\n"));
        QCOMPARE(ask(*fldigi, "F 7074000\n"), QByteArray("RPRT 0\n"));
        QCOMPARE(ask(*logger, "f\n"), QByteArray("7074000\n"));
        server->close();
        QVERIFY(!server->listen(QHostAddress::LocalHost, 0));
        auto later = client();
        QCOMPARE(ask(*later, "v\n"), QByteArray("VFOB\n"));
        QCOMPARE(ask(*later, "f VFOA\n"), QByteArray("14074000\n"));
    }

    // Fifteen clients that send half a line hold their places for a few seconds only, and a
    // seventeenth is turned away meanwhile; one that idles between whole lines stays.
    void halfLines() {
        auto idle = client();
        QCOMPARE(ask(*idle, "T 1\n"), QByteArray("RPRT 0\n"));
        std::unique_ptr<QTcpSocket> half[16];
        for (auto &c : half)
            (c = client())->write("T");
        QTRY_COMPARE(half[15]->state(), QAbstractSocket::UnconnectedState);
        // None for the one turned away.
        QTRY_COMPARE_WITH_TIMEOUT(keying->events().filter("lost").size(), 15, 10000);
        QCOMPARE(ask(*client(), "t\n"), QByteArray("1\n"));
        QCOMPARE(ask(*idle, "T 0\n"), QByteArray("RPRT 0\n"));
    }

    // A client that asks much and reads nothing does not hold up the others; it is dropped.
    void floodingClient() {
        auto polls = client(), slow = client();
        slow->setReadBufferSize(1); // so that the kernel's buffers fill up
        slow->write(QByteArray("\\dump_state\n").repeated(100000));
        QElapsedTimer took;
        took.start();
        while (!gone(2) && took.elapsed() < 60000) {
            QCOMPARE(ask(*polls, "t\n"), QByteArray("0\n"));
            QTest::qWait(10);
        }
        QCOMPARE(ask(*polls, "T 1\n"), QByteArray("RPRT 0\n"));
        QVERIFY(gone(2) && !gone(1));
    }
};

QTEST_GUILESS_MAIN(tst_Remote)
#include "tst_remote.moc"
