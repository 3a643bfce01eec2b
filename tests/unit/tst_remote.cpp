// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib's network protocol as a table of exchanges, and the server against hostile clients.
// Hamlib's own client drives the real program end to end.

#include "RemoteKeyingServer.h"
#include "RigctlSession.h"

#include <QTcpSocket>
#include <QTest>
#include <mutex>

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
    void clientGone(ClientId client, bool) override {
        note("gone", client);
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
    bool gone(int client) const {
        return keying->events().contains("gone " + QString::number(client));
    }

private slots:
    void init() {
        keying = std::make_unique<FakeKeying>();
        server = std::make_unique<RemoteKeyingServer>(*keying);
        QVERIFY(!server->listen(QHostAddress::LocalHost, 0));
    }
    void cleanup() { server.reset(); }

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

        // Hamlib 4.5's NET rigctl at connect, and before a mode (its dump_state: see rigctl).
        row("connect", "\\chk_vfo\nv\nf\nf\ns\nm\n\\get_powerstat\n\\get_lock_mode\nM USB 0\n",
            "0\nVFOA\n14074000\n14074000\n0\nVFOA\nUSB\n2400\n1\n0\nRPRT 0\nRPRT 0\n");
        row("short, long", "T 1\nt\n\\set_ptt 0\n\\get_ptt\r\n", "RPRT 0\n1\nRPRT 0\n0\n",
            {"key 7", "release 7"});
        row("fldigi, WSJT-X", "T 2\nT 3\nt\n", "RPRT 0\nRPRT 0\n1\n", {"key 7", "key 7"});
        row("no port", "T 1\nt\n", "RPRT -9\n0\n", {"key 7"});
        row("extended", "+T 1\n+t\n;m\n|\\get_freq\n+F 7074000\n+T\n",
            "set_ptt: 1\nRPRT 0\nget_ptt:\nPTT: 1\nRPRT 0\nget_mode:;Mode: USB;Passband: 2400;"
            "RPRT 0\nget_freq:|Frequency: 14074000|RPRT 0\nset_freq: 7074000\nRPRT 0\nset_ptt:\n"
            "RPRT -1\n",
            {"key 7"});
        row("bad arguments", "T\nT on\nT 1 1\nF -1\nF nan\nM ? 0\nV VFOZ\n",
            QByteArray("RPRT -1\n").repeated(7));
        row("garbage", QByteArray(garbage, sizeof garbage - 1), unknown.repeated(4));
        row("quit", "T 1\nq\nT 1\n", "RPRT 0\nRPRT 0\n", {"key 7"}, true);
        row("1 KiB line", x1024 + "\nt\n", unknown + "0\n");
        row("longer line", x1024 + "x\nT 1\n", "", {}, true);
    }
    void session() {
        QFETCH(QByteArray, input);
        FakeKeying fake; // how the bytes are cut is the fuzz target's matter
        fake.portOpen = QTest::currentDataTag() != QByteArrayView("no port");
        RigctlSession session(fake, 7);
        QTEST(session.receive(input), "reply");
        QTEST(fake.events(), "events");
        QTEST(session.finished(), "finished");
    }

    // The seventeenth is refused; the first keys and closes, releasing at once, and its place
    // is taken again.
    void seventeenClients() {
        std::unique_ptr<QTcpSocket> clients[17];
        for (auto &c : clients)
            c = client();
        for (int i = 1; i < 16; ++i)
            QCOMPARE(ask(*clients[i], "t\n"), QByteArray("0\n"));
        QCOMPARE(ask(*clients[0], "T 1\n"), QByteArray("RPRT 0\n"));
        QTRY_COMPARE(clients[16]->state(), QAbstractSocket::UnconnectedState);
        clients[0]->abort();
        QTRY_VERIFY_WITH_TIMEOUT(gone(1) && !keying->lineKeyed(), 1000);
        QCOMPARE(ask(*client(), "t\n"), QByteArray("0\n"));
    }

    // Neither a client that asks much and reads nothing nor one that sends binary without a
    // line end holds up the others; both are dropped.
    void hostileClients() {
        auto polls = client(), slow = client(), garbage = client();
        slow->setReadBufferSize(1); // so that the kernel's buffers fill up
        slow->write(QByteArray("\\dump_state\n").repeated(100000));
        garbage->write(QByteArray(4096, '\xff'));
        QElapsedTimer took;
        took.start();
        while ((!gone(2) || !gone(3)) && took.elapsed() < 60000) {
            QCOMPARE(ask(*polls, "t\n"), QByteArray("0\n"));
            QTest::qWait(10);
        }
        QCOMPARE(ask(*polls, "T 1\n"), QByteArray("RPRT 0\n"));
        QVERIFY(gone(2) && gone(3) && !gone(1));
    }
};

QTEST_GUILESS_MAIN(tst_Remote)
#include "tst_remote.moc"
