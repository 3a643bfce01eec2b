// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "RemoteKeying.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <array>

namespace zptt {

// The rig behind the protocol, one for every client, as rigctld keeps one: what station programs
// set and read back (frequency, mode and passband of VFOs A and B, the VFO in use, split) is
// only remembered. Used on one thread only.
struct RigState {
    struct Vfo {
        double frequency = 14074000.0; // what a rig just switched on shows: 20 m's FT8
        QByteArray mode = "USB";
        qint64 passband = 2400;
    };
    std::array<Vfo, 2> vfos; // A and B
    int current = 0;
    bool split = false;
    int txVfo = 0; // as the client named it
};

// One client's side of Hamlib's network rig protocol, the one rigctld speaks and Hamlib's
// "NET rigctl" rig (model 2) talks: command lines in, replies out, no sockets. The transmitter's
// key is the only real thing behind it.
class RigctlSession {
public:
    // The longest line taken; a longer one ends the session (no Hamlib client sends one).
    static constexpr qsizetype kMaxLine = 1024;

    RigctlSession(RemoteKeying &keying, RigState &rig, RemoteKeying::ClientId client);

    // Bytes from the client, in any pieces; returns what to send back (whole lines).
    QByteArray receive(QByteArrayView bytes);
    // The client quit or sent an overlong line: send the last reply, then close.
    bool finished() const { return m_finished; }
    // The client ended with q or Q: what it keyed is handed over rather than lost.
    bool saidGoodbye() const { return m_saidGoodbye; }
    // Part of a line has come, and not its end.
    bool midLine() const { return !m_pending.isEmpty(); }
    RemoteKeying::ClientId client() const { return m_client; }

private:
    enum class Command;
    struct Known;
    struct Answer;
    static const Known *lookup(QByteArrayView word);
    QByteArray reply(QByteArrayView line);
    Answer run(Command command, const QList<QByteArrayView> &args, int vfo);
    int vfoIndex(QByteArrayView name) const;

    RemoteKeying &m_keying;
    RigState &m_rig;
    const RemoteKeying::ClientId m_client;
    QByteArray m_pending;
    bool m_finished = false;
    bool m_saidGoodbye = false;
};

} // namespace zptt
