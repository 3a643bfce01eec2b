// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adapters.h"
#include "DeviceWatch.h"
#include "EmergencyRelease.h"
#include "GuardianLink.h"
#include "KeyingOwner.h"
#include "PlatformChoice.h"
#include "PortMap.h"
#include "PortOpener.h"
#include "ProcessSignals.h"
#include "RemoteKeyingServer.h"
#include "SettingKeys.h"
#include "SettingsErrors.h"
#include "UserSettingsStore.h"
#include "Version.h"
#include "WindowCloseWatch.h"
#include "frmPTT.h"

#include <QApplication>
#include <QScopeGuard>
#include <QSessionManager>
#include <cstdio>
#include <system_error>
#include <thread>

namespace {

void warn(const QString &line) {
    std::fprintf(stderr, "Zorore_PTT: %s\n", line.toLocal8Bit().constData());
}

// Where other programs reach us: loopback on Hamlib's own port, unless [Remote] says otherwise.
// Anywhere else, the operator is told that whoever reaches it can key the transmitter.
zptt::WindowHooks::RemoteStart listenAsStored(zptt::RemoteKeyingServer &remote,
                                              const zptt::SettingsStore &store) {
    using namespace zptt;
    const auto stored = [&store](QLatin1StringView key) {
        return store.GetSetting(keys::kApplication, keys::kRemoteSection, key);
    };
    const QString addressText = stored(keys::kRemoteAddress);
    QHostAddress address(QHostAddress::LocalHost);
    if (!addressText.isEmpty() && !address.setAddress(addressText))
        return {false, QStringLiteral("[Remote] Address=%1 is not an IP address")
                           .arg(quotedForMessage(addressText))};
    const QString portText = stored(keys::kRemotePort);
    uint port = 4532;
    bool ok = true;
    if (!portText.isEmpty())
        port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return {false, QStringLiteral("[Remote] Port=%1 is not a port number (1 to 65535)")
                           .arg(quotedForMessage(portText))};
    if (std::optional<QString> failed = remote.listen(address, static_cast<quint16>(port)))
        return {false, *failed};
    return {true, RemoteKeyingServer::exposureWarning(address, static_cast<quint16>(port))};
}

// Qt starts threads of its own as the window is built (the session bus, for menus and screen
// readers) and then waits for ever on one that could not start: better to say so and end.
std::optional<QString> threadsCannotStart() {
    try {
        std::thread([] {}).join();
        return std::nullopt;
    } catch (const std::system_error &e) {
        return QString::fromLocal8Bit(e.what());
    }
}

} // namespace

int main(int argc, char *argv[]) {
    using namespace zptt;
    const bool lastDefence = EmergencyRelease::install();
    if (const QByteArray platform = choosePlatform(QProcessEnvironment::systemEnvironment());
        !platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    std::optional<PlatformStartWatch> platformStart(std::in_place);
    QApplication app(argc, argv);
    platformStart.reset();
    if (const QString notice = platformNotice(QGuiApplication::platformName()); !notice.isEmpty())
        warn(notice);
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QApplication::setApplicationVersion(QString::fromLatin1(kProgramVersion));
    QApplication::setDesktopFileName(QStringLiteral("zorore-ptt"));

    const std::unique_ptr<SettingsStore> store = makeUserSettingsStore();
    // One port map for the keying, the tooltips and Setup > Ports.
    PortMap ports(*store);
    const UdevAdapterList adapters;
    DeviceWatch devices(ports);
    KeyingOwner keying(openerFor(ports));
    // Reports to the keying from a thread of its own; stopped, and no longer told anything,
    // before either goes.
    GuardianLink guardian(GuardianLink::defaultHelperPath(),
                          {.released = [&keying](std::uint32_t k) { keying.releasedByGuardian(k); },
                           .lost = [&keying](const QString &) { keying.guardianGone(); },
                           .unavailable =
                               [&keying](const QString &why) {
                                   warn(why + QStringLiteral("; no port will be opened until a "
                                                             "guardian process runs"));
                                   keying.refuseOpens(why);
                               },
                           .available = [&keying] { keying.allowOpens(); }});
    keying.addGuard(&guardian);
    const auto unguard = qScopeGuard([&] {
        guardian.stop();
        keying.removeGuard(&guardian);
    });
    const ProcessSignals processSignals(&app);

    // Without the safety net no port is opened: the program still runs, and says why.
    QString missing = processSignals.problem();
    if (!lastDefence)
        missing = QStringLiteral("cannot install the handlers that release the port on a crash");
    keying.addProblem(missing);
    if (const QString problem = keying.problem(); !problem.isEmpty())
        warn(problem + QStringLiteral("; no port will be opened"));
    guardian.start(); // a guardian that cannot run is reported as unavailable

    RemoteKeyingServer remote(keying); // gone before the keying: its clients release
    WindowHooks hooks;
    hooks.remoteKeying = [&remote, &store](bool on) -> WindowHooks::RemoteStart {
        if (!on) {
            remote.close();
            return {};
        }
        return listenAsStored(remote, *store);
    };
    hooks.ports = &ports;
    hooks.adapters = &adapters;
    hooks.devices = &devices;
    if (const std::optional<QString> why = threadsCannotStart()) {
        warn(QStringLiteral("cannot start a thread (%1): the window cannot be shown; ending")
                 .arg(*why));
        return 1;
    }
    frmPTT window(*store, keying, hooks);
    const auto guarded = [&window](auto handler) {
        return [&window, handler](auto... args) { window.guarded([&] { handler(args...); }); };
    };
    QObject::connect(&processSignals, &ProcessSignals::endRequested, &window,
                     guarded([&window](int) { window.requestEnd(); }));
    QObject::connect(&processSignals, &ProcessSignals::resumedAfterStop, &keying,
                     [&keying] { keying.releaseAll(KeyingOwner::Ended::Stopped); });
    const WindowCloseWatch closeWatch(window, [&window] { window.requestEnd(); });

    // A logout asks the application to save its state: close like any other way out.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager &) { window.close(); });

    window.show();
    return QApplication::exec();
}
