// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortMap.h"

#include "SettingKeys.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace zptt {

namespace {

template <class T> struct Word {
    const char *text;
    T value;
};

// The value of a line-choice entry, case aside; an empty entry is the default.
template <class T, std::size_t N>
bool readWord(const QString &text, const Word<T> (&words)[N], T &value) {
    if (text.isEmpty())
        return true;
    for (const Word<T> &w : words) {
        if (text.compare(QLatin1String(w.text), Qt::CaseInsensitive) == 0) {
            value = w.value;
            return true;
        }
    }
    return false;
}

using Line = LineChoice::Line;
constexpr Word<Line> kLines[] = {
    {"DTR", Line::Dtr},     {"RTS", Line::Rts},     {"Both", Line::Both},   {"GPIO1", Line::Gpio1},
    {"GPIO2", Line::Gpio2}, {"GPIO3", Line::Gpio3}, {"GPIO4", Line::Gpio4}, {"GPIO5", Line::Gpio5},
    {"GPIO6", Line::Gpio6}, {"GPIO7", Line::Gpio7}, {"GPIO8", Line::Gpio8}};
constexpr Word<bool> kHighLow[] = {{"High", true}, {"Low", false}};

// The word stored for a value.
template <class T, std::size_t N> QString wordOf(const Word<T> (&words)[N], T value) {
    for (const Word<T> &w : words)
        if (w.value == value)
            return QLatin1String(w.text);
    return {};
}

} // namespace

PortMap::PortMap(SettingsStore &store) : m_store(store) {}

QString PortMap::defaultDevice(int port) {
    if (port >= 1 && port <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(port - 1);
    if (port >= 5 && port <= 10)
        return QStringLiteral("/dev/ttyUSB%1").arg(port - 5);
    if (port >= 11 && port <= 15)
        return QStringLiteral("/dev/ttyACM%1").arg(port - 11);
    return {};
}

QString PortMap::deviceKey(int port) {
    return QStringLiteral("COM%1").arg(port);
}

QString PortMap::entry(int port, const char *suffix) const {
    return m_store.GetSetting(keys::kApplication, keys::kPortsSection,
                              deviceKey(port) + QLatin1String(suffix));
}

MappedPort PortMap::lookUp(int port) const {
    MappedPort result;
    auto refuse = [&](const char *suffix, const QString &text, const char *why) {
        result.problem = QStringLiteral("[Ports] %1%2=%3 %4")
                             .arg(deviceKey(port), QLatin1String(suffix), quotedForMessage(text),
                                  QLatin1String(why));
        result.device.clear();
        return result;
    };
    const QString device = entry(port, "");
    if (device.isEmpty()) {
        result.device = defaultDevice(port);
        if (result.device.isEmpty())
            result.problem = QStringLiteral("no device for this port (map it in [Ports])");
    } else if (!device.startsWith(u'/')) {
        // A typo must not open whatever the number's built-in device is (another adapter,
        // the radio's CAT port).
        return refuse("", device, "is not an absolute path");
    } else {
        result.device = device;
    }

    bool high = true;
    const QString line = entry(port, "-Line");
    if (!readWord(line, kLines, result.lines.keying))
        return refuse("-Line", line, "is not DTR, RTS, Both or GPIO1 to GPIO8");
    const QString keyed = entry(port, "-Keyed");
    if (!readWord(keyed, kHighLow, high))
        return refuse("-Keyed", keyed, "is not High or Low");
    result.lines.keyedLow = !high;
    high = false;
    const QString other = entry(port, "-Other");
    if (!readWord(other, kHighLow, high))
        return refuse("-Other", other, "is not Low or High");
    // A GPIO pin has no other line.
    result.lines.otherIdleHigh = high && !result.lines.gpioPin();
    return result;
}

bool PortMap::present(int port) const {
    const MappedPort s = lookUp(port);
    return s.problem.isEmpty() && QFileInfo::exists(s.device);
}

QList<int> PortMap::numbers() const {
    QList<int> ports;
    for (int port = 1; port <= kListed; ++port)
        ports << port;
    static const QRegularExpression key(QStringLiteral("^COM([1-9][0-9]{0,2})(-|$)"));
    for (const QString &k : m_store.Keys(keys::kApplication, keys::kPortsSection)) {
        const int port = key.match(k).captured(1).toInt();
        if (port > kListed && port <= 255 && !ports.contains(port))
            ports << port;
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

QString PortMap::mapped(int port) const {
    return entry(port, "");
}

void PortMap::store(int port, const QString &device, LineChoice lines) {
    const LineChoice defaults;
    SettingsStore::Values changes;
    // An absent entry already means the default: leave it absent.
    auto word = [&](const char *suffix, const QString &text, bool isDefault) {
        const QString old = entry(port, suffix);
        const QString now = isDefault && old.isEmpty() ? QString() : text;
        if (now != old)
            changes.append({deviceKey(port) + QLatin1String(suffix), now});
    };
    word("", device, false);
    word("-Line", wordOf(kLines, lines.keying), lines.keying == defaults.keying);
    word("-Keyed", wordOf(kHighLow, !lines.keyedLow), lines.keyedLow == defaults.keyedLow);
    word("-Other", wordOf(kHighLow, lines.otherIdleHigh),
         lines.otherIdleHigh == defaults.otherIdleHigh);
    if (!changes.isEmpty())
        m_store.SaveSettings(keys::kApplication, keys::kPortsSection, changes);
}

} // namespace zptt
