// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Adapters.h"
#include "LineChoice.h"

#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace zptt {

class PortMap;

// Setup > Ports...: every port number with its device, whether it is there, and the adapter
// behind it; the adapters (serial adapters and USB sound interfaces) that no number uses yet;
// and, for the chosen number, its device and how the interface on it is keyed: a serial line or,
// for a sound interface, a GPIO pin. Apply stores the choice in [Ports].
class PortsDialog final : public QDialog {
    Q_OBJECT
public:
    PortsDialog(PortMap &ports, const AdapterList *adapters, QWidget *parent);

    // Devices came or went: show them afresh, keeping what the operator is choosing.
    void refresh();
    // Shows this number's entries in the editor.
    void choosePort(int port);
    int chosenPort() const { return m_port; }

    static QString describe(const LineChoice &lines);

    QTableWidget *portTable = nullptr;
    QComboBox *deviceBox = nullptr;
    QComboBox *lineBox = nullptr;
    QComboBox *keyedBox = nullptr;
    QComboBox *otherBox = nullptr;
    QLabel *warning = nullptr;
    QPushButton *applyButton = nullptr;
    QListWidget *freeList = nullptr;

signals:
    // A number's device or line choice was stored.
    void portStored(int port);

private:
    void fillDevices();
    // The keying lines of a serial port, or the GPIO pins of a USB sound interface.
    void fillLines(bool gpio, LineChoice::Line chosen);
    bool chosenKeysByGpio() const;
    void choicesChanged();
    void apply();
    LineChoice chosenLines() const;

    PortMap &m_ports;
    const AdapterList *m_adapters;
    QGroupBox *m_editor = nullptr;
    QList<Adapter> m_present; // as of the last refresh
    int m_port = 0;
    bool m_gpio = false; // lineBox offers GPIO pins
};

} // namespace zptt
