// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortsDialog.h"

#include "PortMap.h"
#include "PosixSerialPort.h"
#include "SettingsErrors.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

namespace zptt {

namespace {

enum Column { kPort, kDevice, kState, kAdapter, kKeying, kColumns };

const QString kLowKeyingWarning = QStringLiteral(
    "Keyed = line low: the transmitter is on the air whenever nothing holds the line high: "
    "until Zorore_PTT opens the port, each time the adapter is plugged in, and while the "
    "computer is off. Zorore_PTT leaves the line high when it ends, even after a crash, and so "
    "does its guardian if Zorore_PTT is killed outright; only if both are killed outright "
    "(kill -9) while transmitting does the transmitter stay keyed.");

QString lineName(LineChoice line) {
    switch (line.keying) {
    case LineChoice::Line::Rts:
        return QStringLiteral("RTS");
    case LineChoice::Line::Both:
        return QStringLiteral("DTR and RTS");
    case LineChoice::Line::Dtr:
        return QStringLiteral("DTR");
    default:
        return QStringLiteral("GPIO%1").arg(line.gpioPin());
    }
}

// "/dev/serial/by-id/usb-FTDI_... (FTDI FT232R USB UART, serial A50285BI, USB 0403:6001)"
QString label(const Adapter &a) {
    const QString about = a.description();
    return about.isEmpty() ? a.mapPath() : QStringLiteral("%1 (%2)").arg(a.mapPath(), about);
}

const Adapter *adapterAt(const QList<Adapter> &present, const QString &device) {
    for (const Adapter &a : present)
        if (a.isDevice(device))
            return &a;
    return nullptr;
}

QComboBox *choiceBox(const QStringList &texts, QWidget *parent) {
    auto *box = new QComboBox(parent);
    box->addItems(texts);
    return box;
}

} // namespace

QString PortsDialog::describe(const LineChoice &lines) {
    QString text =
        QStringLiteral("%1 keyed %2")
            .arg(lineName(lines), lines.keyedLow ? QStringLiteral("low") : QStringLiteral("high"));
    if (lines.keying <= LineChoice::Line::Rts)
        text += QStringLiteral("; %1 rests %2")
                    .arg(lines.keying == LineChoice::Line::Dtr ? QStringLiteral("RTS")
                                                               : QStringLiteral("DTR"),
                         lines.otherIdleHigh ? QStringLiteral("high") : QStringLiteral("low"));
    return text;
}

PortsDialog::PortsDialog(PortMap &ports, const AdapterList *adapters, QWidget *parent)
    : QDialog(parent), m_ports(ports), m_adapters(adapters) {
    setWindowTitle(QStringLiteral("Ports"));
    auto *layout = new QVBoxLayout(this);

    portTable = new QTableWidget(0, kColumns, this);
    portTable->setObjectName(QStringLiteral("portTable"));
    portTable->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Device"),
                                          QStringLiteral("State"), QStringLiteral("Adapter"),
                                          QStringLiteral("Keying")});
    portTable->verticalHeader()->hide();
    portTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    portTable->setSelectionMode(QAbstractItemView::SingleSelection);
    portTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    portTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(portTable, 1);

    auto *editor = m_editor = new QGroupBox(this);
    auto *form = new QFormLayout(editor);
    deviceBox = new QComboBox(editor);
    lineBox = new QComboBox(editor);
    keyedBox = choiceBox({QStringLiteral("High (usual)"), QStringLiteral("Low")}, editor);
    otherBox = choiceBox(
        {QStringLiteral("Low (usual)"), QStringLiteral("High (powers the interface)")}, editor);
    form->addRow(QStringLiteral("&Device:"), deviceBox);
    form->addRow(QStringLiteral("&Keying line:"), lineBox);
    form->addRow(QStringLiteral("Keyed &when the line is:"), keyedBox);
    form->addRow(QStringLiteral("The &other line rests:"), otherBox);
    warning = new QLabel(kLowKeyingWarning, editor);
    warning->setWordWrap(true);
    warning->setStyleSheet(QStringLiteral("color: #a00000"));
    form->addRow(warning);
    applyButton = new QPushButton(QStringLiteral("&Apply"), editor);
    form->addRow(applyButton);
    layout->addWidget(editor);

    layout->addWidget(new QLabel(QStringLiteral("Adapters plugged in that no port uses:"), this));
    freeList = new QListWidget(this);
    freeList->setObjectName(QStringLiteral("freeList"));
    freeList->setFixedHeight(freeList->fontMetrics().height() * 4 + 2 * freeList->frameWidth());
    layout->addWidget(freeList);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(portTable, &QTableWidget::currentCellChanged, this, [this](int row) {
        choosePort(row >= 0 ? portTable->item(row, kPort)->data(Qt::UserRole).toInt() : 0);
    });
    for (QComboBox *box : {deviceBox, lineBox, keyedBox, otherBox})
        connect(box, &QComboBox::currentIndexChanged, this, &PortsDialog::choicesChanged);
    connect(applyButton, &QPushButton::clicked, this, &PortsDialog::apply);

    refresh();
    choosePort(1);
    resize(760, 600);
}

void PortsDialog::refresh() {
    m_present = m_adapters ? m_adapters->adapters() : QList<Adapter>();
    const QList<Adapter> &present = m_present;
    const QList<int> numbers = m_ports.numbers();
    const QSignalBlocker quiet(portTable);
    portTable->setRowCount(int(numbers.size()));
    QStringList used;
    for (int row = 0; row < numbers.size(); ++row) {
        const int port = numbers[row];
        const MappedPort mapping = m_ports.lookUp(port);
        const bool there = mapping.problem.isEmpty() && m_ports.present(port);
        const Adapter *adapter = there ? adapterAt(present, mapping.device) : nullptr;
        if (adapter)
            used << adapter->device;
        QString state = mapping.problem;
        if (state.isEmpty())
            state = !there ? QStringLiteral("not present")
                    : PosixSerialPort::isConsole(mapping.device, -1)
                        ? QStringLiteral("system console, not usable")
                        : QStringLiteral("present");
        const QStringList cells{QStringLiteral("COM%1").arg(port), mapping.device, state,
                                adapter ? adapter->description() : QString(),
                                mapping.problem.isEmpty() ? describe(mapping.lines) : QString()};
        for (int column = 0; column < kColumns; ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setData(Qt::UserRole, port);
            item->setToolTip(cells[column]);
            portTable->setItem(row, column, item);
        }
        if (port == m_port)
            portTable->setCurrentCell(row, kPort);
    }
    portTable->resizeColumnsToContents();

    freeList->clear();
    for (const Adapter &a : present)
        if (!used.contains(a.device))
            freeList->addItem(label(a));
    if (freeList->count() == 0)
        freeList->addItem(QStringLiteral("None"));
    fillDevices();
}

void PortsDialog::fillDevices() {
    if (m_port <= 0)
        return;
    const QString keep =
        deviceBox->count() ? deviceBox->currentData().toString() : m_ports.mapped(m_port);
    const QSignalBlocker quiet(deviceBox);
    deviceBox->clear();
    const QString builtIn = PortMap::defaultDevice(m_port);
    deviceBox->addItem(builtIn.isEmpty() ? QStringLiteral("None")
                                         : QStringLiteral("Built-in: %1").arg(builtIn),
                       QString());
    for (const Adapter &a : m_present)
        if (!PosixSerialPort::isConsole(a.device, -1))
            deviceBox->addItem(label(a), a.mapPath());
    int index = deviceBox->findData(keep);
    if (index < 0) {
        deviceBox->addItem(
            QFileInfo::exists(keep) ? keep : QStringLiteral("%1 (not present)").arg(keep), keep);
        index = deviceBox->count() - 1;
    }
    deviceBox->setCurrentIndex(index);
}

void PortsDialog::choosePort(int port) {
    if (port <= 0)
        return;
    m_port = port;
    const MappedPort mapping = m_ports.lookUp(port);
    {
        const QSignalBlocker quiet(portTable);
        for (int row = 0; row < portTable->rowCount(); ++row)
            if (portTable->item(row, kPort)->data(Qt::UserRole).toInt() == port)
                portTable->setCurrentCell(row, kPort);
    }
    deviceBox->clear();
    fillDevices();
    fillLines(mapping.lines.gpioPin() || chosenKeysByGpio(), mapping.lines.keying);
    for (QComboBox *box : {lineBox, keyedBox, otherBox})
        box->blockSignals(true);
    keyedBox->setCurrentIndex(mapping.lines.keyedLow ? 1 : 0);
    otherBox->setCurrentIndex(mapping.lines.otherIdleHigh ? 1 : 0);
    for (QComboBox *box : {lineBox, keyedBox, otherBox})
        box->blockSignals(false);
    m_editor->setTitle(QStringLiteral("COM%1").arg(port));
    choicesChanged();
    applyButton->setEnabled(false);
}

LineChoice PortsDialog::chosenLines() const {
    LineChoice lines;
    lines.keying = LineChoice::Line(lineBox->currentData().toInt());
    lines.keyedLow = keyedBox->currentIndex() == 1;
    // Both lines key, or a GPIO pin: there is no other line to rest.
    lines.otherIdleHigh = lines.keying <= LineChoice::Line::Rts && otherBox->currentIndex() == 1;
    return lines;
}

bool PortsDialog::chosenKeysByGpio() const {
    const QString device = deviceBox->currentData().toString();
    if (const Adapter *adapter = adapterAt(m_present, device))
        return adapter->keyedByGpio;
    // Not plugged in: as stored.
    return !device.isEmpty() && device == m_ports.mapped(m_port) &&
           m_ports.lookUp(m_port).lines.gpioPin();
}

void PortsDialog::fillLines(bool gpio, LineChoice::Line chosen) {
    using Line = LineChoice::Line;
    const QSignalBlocker quiet(lineBox);
    lineBox->clear();
    m_gpio = gpio;
    for (Line line = gpio ? Line::Gpio1 : Line::Dtr; line <= (gpio ? Line::Gpio8 : Line::Both);
         line = Line(int(line) + 1))
        lineBox->addItem(line == Line::Gpio3 ? QStringLiteral("GPIO3 (usual)")
                                             : lineName({.keying = line}),
                         int(line));
    int index = lineBox->findData(int(chosen));
    if (index < 0) // the usual one
        index = lineBox->findData(int(gpio ? Line::Gpio3 : Line::Dtr));
    lineBox->setCurrentIndex(index);
}

void PortsDialog::choicesChanged() {
    if (const bool gpio = chosenKeysByGpio(); gpio != m_gpio)
        fillLines(gpio, LineChoice::Line::Dtr);
    otherBox->setEnabled(LineChoice::Line(lineBox->currentData().toInt()) <= LineChoice::Line::Rts);
    warning->setText(kLowKeyingWarning);
    warning->setVisible(keyedBox->currentIndex() == 1);
    applyButton->setEnabled(m_port > 0);
}

void PortsDialog::apply() {
    try {
        m_ports.store(m_port, deviceBox->currentData().toString(), chosenLines());
    } catch (const StoreWriteError &e) {
        warning->setText(QStringLiteral("Not stored: %1").arg(QString::fromUtf8(e.what())));
        warning->setVisible(true);
        return;
    }
    applyButton->setEnabled(false);
    emit portStored(m_port);
    refresh();
}

} // namespace zptt
