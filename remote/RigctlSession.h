// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "RemoteKeying.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace zptt {

// One client's side of Hamlib's network rig protocol, the one rigctld speaks and Hamlib's
// "NET rigctl" rig (model 2) talks: command lines in, replies out, no sockets. The transmitter's
// key is the only real thing behind it; what a digital-mode program sets and reads back
// (frequency, mode, VFO, split) is only remembered, for this client.
class RigctlSession {
public:
    // The longest line taken; a longer one ends the session (no Hamlib client sends one).
    static constexpr qsizetype kMaxLine = 1024;

    RigctlSession(RemoteKeying &keying, RemoteKeying::ClientId client);

    // Bytes from the client, in any pieces; returns what to send back (whole lines).
    QByteArray receive(QByteArrayView bytes);
    // The client quit or sent an overlong line: send the last reply, then close.
    bool finished() const { return m_finished; }
    // The client ended with q or Q: what it keyed is handed over rather than lost.
    bool saidGoodbye() const { return m_saidGoodbye; }
    RemoteKeying::ClientId client() const { return m_client; }

private:
    enum class Command;
    struct Known;
    struct Answer;
    static const Known *lookup(QByteArrayView word);
    QByteArray reply(QByteArrayView line);
    Answer run(Command command, const QList<QByteArrayView> &args);

    RemoteKeying &m_keying;
    const RemoteKeying::ClientId m_client;
    QByteArray m_pending;
    bool m_finished = false;
    bool m_saidGoodbye = false;
    // What a rig just switched on shows: 20 m, where most digital-mode traffic is.
    double m_frequency = 14074000.0;
    QByteArray m_mode = "USB";
    qint64 m_passband = 2400;
    QByteArray m_vfo = "VFOA";
    int m_split = 0;
    QByteArray m_txVfo = "VFOA";
};

} // namespace zptt
