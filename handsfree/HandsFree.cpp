// SPDX-License-Identifier: GPL-3.0-or-later
#include "HandsFree.h"

#include "FootSwitch.h"
#include "HandsFreeSettings.h"
#include "KeyingOwner.h"
#include "KeyingSource.h"
#include "X11KeyWatch.h"

#include <QKeySequence>
#include <cstdio>
#include <system_error>

namespace zptt {

namespace {

void warn(const QString &line) {
    std::fprintf(stderr, "Zorore_PTT: %s\n", line.toLocal8Bit().constData());
}

} // namespace

HandsFree::HandsFree(SettingsStore &store, KeyingOwner &keying, const PortMap &ports,
                     DeviceWatch *devices, QObject *parent)
    : QObject(parent), m_store(store), m_keying(keying), m_ports(ports), m_devices(devices) {}

HandsFree::~HandsFree() {
    stop();
}

void HandsFree::stop() {
    m_keys.reset();
    if (m_keySource)
        m_keySource->lost();
    m_keySource.reset();
    if (m_switch)
        m_keying.removeGuard(m_switch.get());
    m_switch.reset();
}

void HandsFree::reload() {
    stop();
    const HandsFreeSetup setup = readHandsFree(m_store);
    for (const QString &problem : setup.problems)
        warn(problem);
    try {
        if (setup.key.isSet()) {
            m_keySource =
                std::make_unique<KeyingSource>(m_keying, Holder{Holder::Kind::Key}, setup.key.mode);
            m_keys = std::make_unique<X11KeyWatch>(setup.key.key, *m_keySource);
            if (!m_keys->problem().isEmpty())
                warn(QStringLiteral("keyboard key %1 not watched: %2")
                         .arg(QKeySequence(setup.key.key).toString(QKeySequence::PortableText),
                              m_keys->problem()));
        }
        if (setup.footSwitch.port > 0) {
            m_switch = std::make_unique<FootSwitch>(setup.footSwitch, m_keying, m_ports, m_devices,
                                                    [this] { return m_keying.CommPort(); });
            m_keying.addGuard(m_switch.get()); // watched at once if it is on the open port
            m_switch->follow();
        }
    } catch (const std::system_error &e) {
        warn(QStringLiteral("hands-free keying: cannot start a thread (%1)")
                 .arg(QString::fromLocal8Bit(e.what())));
    }
}

void HandsFree::portWanted(int port) {
    if (m_switch)
        m_switch->portWanted(port);
}

QString HandsFree::keyNotice() {
    const QString problem = X11KeyWatch::displayProblem();
    if (!problem.isEmpty())
        return QStringLiteral("%1: no key will be seen with another window in front. Install "
                              "XWayland (Debian package xwayland) and start Zorore_PTT again, "
                              "or use a foot switch on a serial port (Setup > Foot Switch…), "
                              "which works whatever window is in front.")
            .arg(problem);
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral(
            "In a Wayland session the key is seen only while a window of an X11 program has "
            "the focus, unless the desktop passes keys on to X11 programs (KDE Plasma: System "
            "Settings > Applications > Legacy X11 App Support). A foot switch on a serial port "
            "(Setup > Foot Switch…) works whatever window is in front.");
    return {};
}

} // namespace zptt
