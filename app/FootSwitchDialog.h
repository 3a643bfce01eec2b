// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;

namespace zptt {

class PortMap;
class SettingsStore;

// Setup > Foot Switch...: a switch on an input line of a serial port (the keyed port itself or
// another, which is then opened with its lines at rest and never keyed): the port, the line,
// its active level, Hold or Toggle; or none. OK stores it in [Keying].
class FootSwitchDialog final : public QDialog {
    Q_OBJECT
public:
    FootSwitchDialog(SettingsStore &store, const PortMap &ports, QWidget *parent);

    void accept() override;

    QComboBox *portBox = nullptr; // "None", then the port numbers
    QComboBox *lineBox = nullptr;
    QComboBox *activeBox = nullptr;
    QComboBox *modeBox = nullptr;
    QLabel *problemLabel = nullptr;

signals:
    void stored();

private:
    SettingsStore &m_store;
};

} // namespace zptt
