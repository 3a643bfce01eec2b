// Helper process of tst_inisettingsstore: writes keys <prefix>0..<prefix><count-1> of section
// Settings with writerValue() texts, once or in a loop until killed.
#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "WriterValue.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: %s ROOT PREFIX COUNT SIZE LOOP\n", argv[0]);
        return 2;
    }
    zptt::IniSettingsStore store(args[1]);
    const int count = args[3].toInt();
    const int size = args[4].toInt();
    const bool loop = args[5] == QLatin1String("1");
    try {
        for (int n = 0; n == 0 || loop; ++n) {
            for (int k = 0; k < count; ++k)
                store.SaveSetting("Zorore_PTT", "Settings", args[2] + QString::number(k),
                                  writerValue(k, n, size));
        }
    } catch (const zptt::StoreWriteError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
