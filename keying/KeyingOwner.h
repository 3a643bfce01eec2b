// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyRequests.h"
#include "KeyingDevice.h"
#include "LineGuard.h"
#include "RemoteKeying.h"

#include <QObject>
#include <QSocketNotifier>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace zptt {

class DeadlineTimer;
class DeviceProbe;
class LineWatchdog;

// The one owner of the keying: whether the line is keyed, by whom, until when, and the life of
// the port it keys (open at rest, closed, lost, opened again). Every source asks it (the TX
// button, remote clients, a key or switch) and every guard hears from it, under one lock, from
// any thread; the window only reflects what it says. It ends a keying at its deadline itself,
// on a thread of its own, however busy the window is. Opening, closing and the watch for a
// lost device belong to the thread that created it.
class KeyingOwner final : public QObject, public KeyRequests, public RemoteKeying {
    Q_OBJECT
public:
    // Why the last keying ended.
    enum class Ended {
        No,
        Released,
        TimedOut,
        HolderLost,
        PortClosed,
        PortLost,
        GuardianLost,
        ByGuardian,
        Stopped
    };
    struct State {
        std::uint64_t revision = 0; // counts every change
        KeyingState keying;         // the current keying, or the last one
        Ended ended = Ended::No;
    };

    explicit KeyingOwner(PortOpener open, QObject *parent = nullptr);
    ~KeyingOwner() override;

    // What of the safety net could not be set up (a thread that could not start); while not
    // empty, no port is opened.
    QString problem() const;
    // One more such problem (ignored when empty).
    void addProblem(const QString &why);
    // Told of every open, keying, release and close, before the line rises and after it falls
    // (not owned; must outlive the owner or be removed).
    void addGuard(LineGuard *guard);
    void removeGuard(LineGuard *guard);
    // How long keyings started from now on last.
    void setKeyingTime(std::chrono::milliseconds length);

    // The port, from the owner's thread. Numbers 1 to 255, changed only while closed (else
    // SerialError). Opening opens at rest or throws SerialError with the reason; closing ends a
    // keying first and closes at rest.
    std::int16_t CommPort() const;
    void setCommPort(std::int16_t port);
    bool PortOpen() const;
    void setPortOpen(bool open);
    // The open port's descriptor, or -1: for what watches the same port's other lines.
    int portFd() const;
    // The port at rest again, unless a keying holds it.
    void rest();
    // No port may be opened, for this reason (an open one is closed), until allowOpens(), which
    // opens again a port closed for it. Any thread.
    void refuseOpens(const QString &why);
    void allowOpens();

    KeyResult key(Holder who) override;
    void release(Holder who) override;
    // Ends keying number `keying` only, if it is still on: for a wait that ended.
    void release(Holder who, std::uint32_t keying);
    void letGo(Holder who) override;
    KeyResult toggle(Holder who) override;
    bool keyed() const override { return m_keyedNow.load(); }

    KeyResult remoteKey(ClientId client) override { return key(clientHolder(client)); }
    void remoteRelease(ClientId client) override { release(clientHolder(client)); }
    void clientGone(ClientId client, bool handedOver) override;
    bool lineKeyed() const override { return keyed(); }

    // What guards and the process report: the guardian rested keying number `keying` itself;
    // the guardian was lost; the process ran again after a stop (the lines were rested then).
    void releasedByGuardian(std::uint32_t keying);
    void guardianGone();
    void releaseAll(Ended why);

    State state() const;

signals:
    // The state moved on (any thread; connect queued): ask state().
    void changed();
    // The open port's device went away and has been closed (owner's thread).
    void portLost();
    // The guardian went away; any keying was released.
    void guardianLost();

private:
    struct Keying {
        KeyingState state;
        std::set<Holder> holders;
    };
    static Holder clientHolder(ClientId client) { return {Holder::Kind::Client, client}; }

    KeyResult keyLocked(std::unique_lock<std::mutex> &lock, Holder who);
    void endLocked(Ended why);
    bool tellGuards(const KeyingState &state);
    void closeLocked(Ended why);
    void lostLocked();
    void handleLost();
    void watchDevice();
    void checkDevice(bool readable);
    void timedOut();
    void reopenIfAllowed();

    const PortOpener m_open;
    mutable std::mutex m_mutex;
    std::vector<LineGuard *> m_guards;
    QString m_problem;
    std::int16_t m_port = 1;
    std::unique_ptr<KeyingDevice> m_device;
    bool m_lostPending = false;
    QString m_refusal;
    bool m_reopenWhenAllowed = false;
    bool m_noPortReported = false;
    std::chrono::milliseconds m_length = std::chrono::minutes(1);
    std::optional<Keying> m_current;
    std::uint32_t m_lastKeying = 0;
    KeyingState m_last;
    std::set<Holder> m_heldOff; // ran out their time, and keyed nothing since
    std::uint64_t m_revision = 0;
    Ended m_ended = Ended::No;
    std::atomic<bool> m_keyedNow{false};

    std::unique_ptr<QSocketNotifier> m_hangup; // owner's thread
    std::unique_ptr<LineWatchdog> m_watchdog;
    std::unique_ptr<DeviceProbe> m_probe;
    std::unique_ptr<DeadlineTimer> m_timer; // ends each keying at its deadline
};

} // namespace zptt
