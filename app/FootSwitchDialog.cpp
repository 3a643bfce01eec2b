// SPDX-License-Identifier: GPL-3.0-or-later
#include "FootSwitchDialog.h"

#include "HandsFreeSettings.h"
#include "KeyboardKeyDialog.h"
#include "PortMap.h"
#include "SettingsErrors.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

namespace zptt {

FootSwitchDialog::FootSwitchDialog(SettingsStore &store, const PortMap &ports, QWidget *parent)
    : QDialog(parent), m_store(store) {
    setWindowTitle(QStringLiteral("Foot Switch"));
    auto *form = new QFormLayout(this);
    auto *intro = new QLabel(
        QStringLiteral("A switch that closes an input line of a serial port: the keyed port "
                       "itself, or another one, which is then opened with its lines at rest and "
                       "never keyed. The pins are those of a 9-pin serial connector."),
        this);
    intro->setWordWrap(true);
    form->addRow(intro);
    portBox = new QComboBox(this);
    portBox->addItem(QStringLiteral("None"), 0);
    for (int port : ports.numbers())
        portBox->addItem(QStringLiteral("COM%1").arg(port), port);
    lineBox = new QComboBox(this);
    lineBox->addItems({QStringLiteral("CTS (pin 8)"), QStringLiteral("DSR (pin 6)"),
                       QStringLiteral("DCD (pin 1)"), QStringLiteral("RI (pin 9)")});
    activeBox = new QComboBox(this);
    activeBox->addItems({QStringLiteral("High: the line on (usual for a switch that closes)"),
                         QStringLiteral("Low: the line off")});
    modeBox = pressModeBox(this);
    form->addRow(QStringLiteral("&Port:"), portBox);
    form->addRow(QStringLiteral("&Line:"), lineBox);
    form->addRow(QStringLiteral("Pressed &when the line is:"), activeBox);
    form->addRow(QStringLiteral("&Mode:"), modeBox);
    problemLabel = new QLabel(this);
    problemLabel->setWordWrap(true);
    problemLabel->setStyleSheet(QStringLiteral("color: #a00000"));
    problemLabel->hide();
    form->addRow(problemLabel);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    form->addRow(buttons);

    const SwitchSetting stored = readHandsFree(store).footSwitch;
    if (portBox->findData(stored.port) < 0)
        portBox->addItem(QStringLiteral("COM%1").arg(stored.port), stored.port);
    portBox->setCurrentIndex(portBox->findData(stored.port));
    lineBox->setCurrentIndex(stored.line);
    activeBox->setCurrentIndex(stored.activeHigh ? 0 : 1);
    modeBox->setCurrentIndex(int(stored.mode));
    const auto enable = [this] {
        for (QComboBox *box : {lineBox, activeBox, modeBox})
            box->setEnabled(portBox->currentData().toInt() > 0);
    };
    enable();

    connect(portBox, &QComboBox::currentIndexChanged, this, enable);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    resize(520, sizeHint().height());
}

void FootSwitchDialog::accept() {
    SwitchSetting s;
    s.port = portBox->currentData().toInt();
    s.line = lineBox->currentIndex();
    s.activeHigh = activeBox->currentIndex() == 0;
    s.mode = PressMode(modeBox->currentIndex());
    try {
        storeSwitch(m_store, s);
    } catch (const StoreWriteError &e) {
        problemLabel->setText(QStringLiteral("Not stored: %1").arg(QString::fromUtf8(e.what())));
        problemLabel->show();
        return;
    }
    emit stored();
    QDialog::accept();
}

} // namespace zptt
