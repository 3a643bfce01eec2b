#include "FatalSignalRelease.h"
#include "SerialComm.h"
#include "TerminationSignals.h"
#include "UserSettingsStore.h"
#include "Version.h"
#include "frmPTT.h"

#include <QApplication>
#include <QSessionManager>

int main(int argc, char *argv[]) {
    zptt::FatalSignalRelease::install();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(zptt::kProgramName));
    QApplication::setApplicationVersion(QString::fromLatin1(zptt::kProgramVersion));
    QApplication::setDesktopFileName(QStringLiteral("zorore-ptt"));

    const std::unique_ptr<zptt::SettingsStore> store = zptt::makeUserSettingsStore();
    zptt::SerialComm comm(*store);
    zptt::frmPTT window(*store, comm);

    zptt::TerminationSignals termination(&window);
    QObject::connect(&termination, &zptt::TerminationSignals::received, &window,
                     [&window](int) { window.close(); });

    // A logout asks the application to save its state: close like any other way out.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager &) { window.close(); });

    window.show();
    return QApplication::exec();
}
