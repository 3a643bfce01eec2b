#pragma once

// Recording stand-ins for the settings store and the serial control.

#include "CommControl.h"
#include "SerialError.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"

#include <QMap>
#include <QSet>
#include <QStringList>

namespace zptt::testing {

class MemoryStore final : public SettingsStore {
public:
    QString GetSetting(const QString &app, const QString &section,
                       const QString &key) const override {
        return values.value(app + '/' + section + '/' + key);
    }
    void SaveSetting(const QString &app, const QString &section, const QString &key,
                     const QString &text) override {
        if (failWritesAfter >= 0 && writes.size() >= failWritesAfter)
            throw StoreWriteError(QStringLiteral("memory"), QStringLiteral("disk full"));
        values[app + '/' + section + '/' + key] = text;
        if (section == QLatin1String("Settings"))
            writes << key + '=' + text;
    }
    void set(const QString &key, const QString &text) {
        values[QStringLiteral("Zorore_PTT/Settings/") + key] = text;
    }
    QString value(const QString &key) const {
        return values.value(QStringLiteral("Zorore_PTT/Settings/") + key);
    }
    // Keys only, in write order.
    QStringList writtenKeys() const {
        QStringList keys;
        for (const QString &w : writes)
            keys << w.section('=', 0, 0);
        return keys;
    }

    QMap<QString, QString> values;
    QStringList writes;
    qsizetype failWritesAfter = -1;
};

class FakeComm final : public CommControl {
public:
    std::int16_t CommPort() const override { return port; }
    void setCommPort(std::int16_t p) override {
        if (open || p < 1 || p > 255)
            throw SerialError(QStringLiteral("port number refused"));
        port = p;
        log << QStringLiteral("port %1").arg(p);
    }
    bool PortOpen() const override { return open; }
    void setPortOpen(bool o) override {
        if (o) {
            if (open || failing.contains(port)) {
                log << QStringLiteral("open %1 failed").arg(port);
                throw SerialError(QStringLiteral("cannot open"));
            }
            open = true;
            dtr = rts = true; // as the kernel raises them
            log << QStringLiteral("open %1").arg(port);
        } else if (open) {
            open = false;
            dtr = rts = false;
            log << QStringLiteral("close %1").arg(port);
        }
    }
    void setDTREnable(bool high) override {
        if (open)
            dtr = high;
        log << QStringLiteral("DTR %1").arg(int(high));
    }
    void setRTSEnable(bool high) override {
        if (open)
            rts = high;
        log << QStringLiteral("RTS %1").arg(int(high));
    }
    // Only the port events, without the line settings.
    QStringList opens() const {
        QStringList out;
        for (const QString &l : log)
            if (l.startsWith(QLatin1String("open")) || l.startsWith(QLatin1String("close")))
                out << l;
        return out;
    }

    std::int16_t port = 1;
    bool open = false;
    bool dtr = false;
    bool rts = false;
    QSet<int> failing;
    QStringList log;
};

} // namespace zptt::testing
