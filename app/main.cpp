#include "EmergencyRelease.h"
#include "KeyingPoint.h"
#include "PortMap.h"
#include "ProcessSignals.h"
#include "SerialComm.h"
#include "UserSettingsStore.h"
#include "Version.h"
#include "WindowCloseWatch.h"
#include "frmPTT.h"

#include <QApplication>
#include <QSessionManager>
#include <cstdio>

namespace {

void warn(const QString &line) {
    std::fprintf(stderr, "Zorore_PTT: %s\n", line.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char *argv[]) {
    using namespace zptt;
    const bool lastDefence = EmergencyRelease::install();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QApplication::setApplicationVersion(QString::fromLatin1(kProgramVersion));
    QApplication::setDesktopFileName(QStringLiteral("zorore-ptt"));

    const std::unique_ptr<SettingsStore> store = makeUserSettingsStore();
    const PortMap ports(*store);
    SerialComm serial([&ports](int port) { return ports.spec(port); });
    KeyingPoint keying(serial);
    const ProcessSignals processSignals(&app);

    // Without the safety net no port is opened: the program still runs, and says why.
    QString missing = processSignals.problem();
    if (!lastDefence)
        missing = QStringLiteral("cannot install the handlers that release the port on a crash");
    if (!missing.isEmpty()) {
        warn(missing + QStringLiteral("; no port will be opened"));
        serial.refuseOpens(missing);
    }

    frmPTT window(*store, keying);
    const auto guarded = [&window](auto handler) {
        return [&window, handler](auto... args) { window.guarded([&] { handler(args...); }); };
    };
    QObject::connect(&processSignals, &ProcessSignals::endRequested, &window,
                     guarded([&window](int) { window.requestEnd(); }));
    QObject::connect(&processSignals, &ProcessSignals::resumedAfterStop, &keying,
                     &KeyingPoint::releaseElsewhere);
    QObject::connect(&keying, &KeyingPoint::keyedElsewhere, &window,
                     guarded([&window](KeyClock::time_point d) { window.keyedElsewhere(d); }),
                     Qt::QueuedConnection);
    QObject::connect(&keying, &KeyingPoint::releasedElsewhere, &window,
                     guarded([&window] { window.releasedElsewhere(); }), Qt::QueuedConnection);
    const WindowCloseWatch closeWatch(window, [&window] { window.requestEnd(); });

    // A logout asks the application to save its state: close like any other way out.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager &) { window.close(); });

    window.show();
    return QApplication::exec();
}
