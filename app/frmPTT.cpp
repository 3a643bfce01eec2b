// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmPTT.h"

#include "DeviceWatch.h"
#include "KeyingOwner.h"
#include "PortMap.h"
#include "PortsDialog.h"
#include "SerialError.h"
#include "SettingKeys.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"
#include "TextForms.h"
#include "Twips.h"
#include "Version.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace zptt {

namespace {

constexpr float kCompactHeight = 1635.0f;
constexpr float kFullHeight = 3090.0f;
constexpr int kClientWidthTwips = 1755;
constexpr int kClientHeightTwips = 2400;

const QString kCaption = QStringLiteral("Zorore_PTT");
constexpr Holder kTxButton{Holder::Kind::Button};

void warn(const QString &line) {
    std::fprintf(stderr, "Zorore_PTT: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void defaultMessageBox(const QString &text, QMessageBox::Icon icon) {
    QMessageBox box(icon, kCaption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void defaultEndProgram(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    // At once: a keying wait further up the stack must never resume.
    ::_exit(status);
}

} // namespace

frmPTT::frmPTT(SettingsStore &store, KeyingOwner &keying, WindowHooks hooks, QWidget *parent)
    : QMainWindow(parent), m_store(store), MSComm1(keying), m_hooks(std::move(hooks)),
      m_ownPorts(m_hooks.ports ? nullptr : std::make_unique<PortMap>(store)),
      m_ports(m_hooks.ports ? m_hooks.ports : m_ownPorts.get()) {
    if (!m_hooks.messageBox)
        m_hooks.messageBox = defaultMessageBox;
    if (!m_hooks.endProgram)
        m_hooks.endProgram = defaultEndProgram;

    setWindowTitle(kCaption);
    setWindowIcon(QIcon(QStringLiteral(":/zorore-ptt.png")));
    buildMenus();
    buildControls();
    // Every designed text whole at the designed sizes, which were drawn for a smaller font.
    setFont(designedFont(
        QFontDatabase::systemFont(QFontDatabase::GeneralFont),
        QList<TextRoom>{{Label2->text(), Label2->contentsRect().size()}, cmdTX->captionRoom()} +
            Combo1->itemRooms() + Combo2->itemRooms(),
        this));
    bindHandlers();
    // Queued: the window catches up when its thread runs, whatever thread changed the keying.
    connect(
        &MSComm1, &KeyingOwner::changed, this, [this] { guarded([this] { reflectKeying(); }); },
        Qt::QueuedConnection);
    connect(
        &MSComm1, &KeyingOwner::portLost, this, [this] { guarded([this] { portLost(); }); },
        Qt::QueuedConnection);
    connect(
        &MSComm1, &KeyingOwner::guardianLost, this, [this] { guarded([this] { guardianLost(); }); },
        Qt::QueuedConnection);
    if (DeviceWatch *devices = m_hooks.devices) {
        connect(devices, &DeviceWatch::appeared, this, [this](int port) { portAppeared(port, 2); });
        connect(devices, &DeviceWatch::changed, this, [this] {
            refreshPortTooltips();
            if (portsDialog)
                portsDialog->refresh();
        });
    }

    // Client area 1755 x 2400 twips below the menu bar, centred on the screen.
    const int clientW = twipsToPixels(kClientWidthTwips, twipsPerPixelX());
    const int clientH = twipsToPixels(kClientHeightTwips, twipsPerPixelY());
    resize(clientW, menuBar()->sizeHint().height() + clientH);
    if (const QScreen *s = screen()) {
        const QRect avail = s->availableGeometry();
        m_firstPlacement = avail.center() - QPoint(width() / 2, height() / 2);
        move(m_firstPlacement);
    }
    placeAtStoredPosition();
    chkOnTop->setFocus();
}

frmPTT::~frmPTT() = default;

void frmPTT::placeAtStoredPosition() {
    // Some window managers place a window only as it is first shown (weston's, for windows on
    // XWayland): start at the stored position, which Form_Activate checks and applies again.
    try {
        const QPoint stored(
            twipsToPixels(ToSingleStrict(keys::kPositionLeft, get(keys::kPositionLeft)),
                          twipsPerPixelX()),
            twipsToPixels(ToSingleStrict(keys::kPositionTop, get(keys::kPositionTop)),
                          twipsPerPixelY()));
        for (const QScreen *s : QGuiApplication::screens())
            if (s->availableGeometry().intersects(QRect(stored, size()))) {
                move(stored);
                return;
            }
    } catch (const ConversionError &) {
        // Form_Activate reports it.
    }
}

void frmPTT::buildMenus() {
    auto *compact = new CompactMenuBarStyle;
    compact->setParent(menuBar());
    menuBar()->setStyle(compact);
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuExit = mnuFile->addAction(QStringLiteral("&Exit"));
    mnuSetup = menuBar()->addMenu(QStringLiteral("&Setup"));
    mnuHide = mnuSetup->addAction(QStringLiteral("&Hide"));
    mnuShow = mnuSetup->addAction(QStringLiteral("&Show"));
    mnuSetup->addSeparator();
    mnuPorts = mnuSetup->addAction(QStringLiteral("&Ports…"));
    mnuRemote = mnuSetup->addAction(QStringLiteral("&Remote Keying"));
    mnuRemote->setCheckable(true);
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuHide->setCheckable(true);
    mnuShow->setCheckable(true);
}

void frmPTT::placeControl(QWidget *control, int left, int top, int width, int height) {
    const double tx = twipsPerPixelX();
    const double ty = twipsPerPixelY();
    control->setGeometry(twipsToPixels(left, tx), twipsToPixels(top, ty), twipsToPixels(width, tx),
                         twipsToPixels(height, ty));
}

void frmPTT::buildControls() {
    auto *client = new QWidget(this);
    setCentralWidget(client);

    cmdTX = new ColourButton(QStringLiteral("TX"), client);
    cmdTX->setObjectName(QStringLiteral("cmdTX"));
    cmdTX->setBackColor(kKeyedRed); // designed in the keyed look; activation makes it idle
    placeControl(cmdTX, 240, 120, 1215, 615);

    Combo1 = new DropDownList(client);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    for (int i = 1; i <= 15; ++i)
        Combo1->addItem(QStringLiteral("Com%1").arg(i, 2, 10, QLatin1Char('0')));
    Combo1->setCurrentIndex(-1);
    Combo1->setEditText(QStringLiteral("Com01"));
    Combo1->setAboutToDropDown([this] { refreshPortTooltips(); });
    placeControl(Combo1, 360, 1080, 975, 315);

    Combo2 = new DropDownList(client);
    Combo2->setObjectName(QStringLiteral("Combo2"));
    for (int i = 1; i <= 9; ++i)
        Combo2->addItem(QStringLiteral("%1 min").arg(i));
    Combo2->setCurrentIndex(-1);
    Combo2->setEditText(QStringLiteral("1 min"));
    placeControl(Combo2, 360, 1560, 975, 315);

    Label2 = new QLabel(QStringLiteral("Always On Top"), client);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFocusPolicy(Qt::NoFocus);
    placeControl(Label2, 120, 2040, 1215, 255);

    chkOnTop = new TriStateBox(client);
    chkOnTop->setObjectName(QStringLiteral("chkOnTop"));
    placeControl(chkOnTop, 1320, 2040, 255, 255);

    refreshPortTooltips();
    setTabOrder(chkOnTop, Combo1);
    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, cmdTX);
}

void frmPTT::refreshPortTooltips() {
    for (int i = 0; i < Combo1->count(); ++i) {
        const int port = i + 1;
        const MappedPort mapped = m_ports->lookUp(port);
        const QString tip =
            !mapped.problem.isEmpty()
                ? QStringLiteral("COM%1: %2").arg(port).arg(mapped.problem)
                : QStringLiteral("COM%1: %2 (%3)")
                      .arg(port)
                      .arg(mapped.device, m_ports->present(port) ? QStringLiteral("present")
                                                                 : QStringLiteral("not present"));
        Combo1->setItemData(i, tip, Qt::ToolTipRole);
    }
}

void frmPTT::bindHandlers() {
    connect(cmdTX, &QPushButton::clicked, this, [this] { guarded([this] { cmdTX_Click(); }); });
    connect(Combo1, &QComboBox::activated, this,
            [this](int) { guarded([this] { Combo1_Click(); }); });
    connect(Combo2, &QComboBox::activated, this,
            [this](int) { guarded([this] { Combo2_Click(); }); });
    connect(chkOnTop, &QCheckBox::clicked, this, [this] { guarded([this] { chkOnTop_Click(); }); });
    connect(mnuExit, &QAction::triggered, this, [this] { guarded([this] { mnuExit_Click(); }); });
    connect(mnuHide, &QAction::triggered, this, [this] { guarded([this] { mnuHide_Click(); }); });
    connect(mnuShow, &QAction::triggered, this, [this] { guarded([this] { mnuShow_Click(); }); });
    connect(mnuAbout, &QAction::triggered, this, [this] { guarded([this] { mnuAbout_Click(); }); });
    connect(mnuPorts, &QAction::triggered, this, [this] { guarded([this] { mnuPorts_Click(); }); });
    connect(mnuRemote, &QAction::triggered, this,
            [this] { guarded([this] { mnuRemote_Click(); }); });
}

// ---- window events ----

bool frmPTT::event(QEvent *e) {
    if (e->type() == QEvent::WindowActivate && !m_activationDone)
        QTimer::singleShot(0, this, [this] { runActivationOnce(); });
    return QMainWindow::event(e);
}

void frmPTT::showEvent(QShowEvent *e) {
    QMainWindow::showEvent(e);
    if (m_activationDone)
        return;
    // Without a window manager (or offscreen) the window is never activated.
    const QString platform = QGuiApplication::platformName();
    const bool neverActivated =
        platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    QTimer::singleShot(neverActivated ? std::chrono::milliseconds(0) : m_hooks.activationFallback,
                       this, [this] { runActivationOnce(); });
}

void frmPTT::runActivationOnce() {
    if (m_activationDone)
        return;
    m_activationDone = true;
    // The frame is known only now that the window manager has drawn it: centre the whole
    // window, as first placed, before the start-up reads its position.
    if (const QScreen *s = screen(); s && pos() == m_firstPlacement) {
        const QRect frame = frameGeometry();
        m_firstPlacement = s->availableGeometry().center() - frame.center() + frame.topLeft();
        move(m_firstPlacement);
    }
    guarded([this] {
        // Listening first: an unattended station keeps its remote keying while the port
        // message waits for someone to read it. Any failure is shown after the start-up.
        WindowHooks::RemoteStart remote;
        if (get(keys::kRemoteSection, keys::kRemoteEnabled) == QLatin1String("1")) {
            remote = startRemoteKeying(true);
            mnuRemote->setChecked(remote.listening);
        }
        Form_Activate();
        if (!remote.message.isEmpty())
            showBox(remote.message, QMessageBox::Warning);
    });
}

void frmPTT::closeEvent(QCloseEvent *e) {
    int cancel = 0;
    guarded([&] { Form_Unload(cancel); });
    e->accept();
}

// ---- geometry in twips ----

double frmPTT::twipsPerPixelX() const {
    const QScreen *s = screen();
    return twipsPerPixel(s ? s->logicalDotsPerInchX() : 96.0);
}

double frmPTT::twipsPerPixelY() const {
    const QScreen *s = screen();
    return twipsPerPixel(s ? s->logicalDotsPerInchY() : 96.0);
}

float frmPTT::Left() const {
    return float(frameGeometry().x() * twipsPerPixelX());
}
float frmPTT::Top() const {
    return float(frameGeometry().y() * twipsPerPixelY());
}
float frmPTT::Width() const {
    return float(frameGeometry().width() * twipsPerPixelX());
}
float frmPTT::Height() const {
    return float(frameGeometry().height() * twipsPerPixelY());
}

void frmPTT::setLeft(float twips) {
    move(twipsToPixels(twips, twipsPerPixelX()), frameGeometry().y());
}

void frmPTT::setTop(float twips) {
    move(frameGeometry().x(), twipsToPixels(twips, twipsPerPixelY()));
}

void frmPTT::setHeight(float twips) {
    // The toolkit sizes the client part; the frame adds what the window manager draws.
    const int frameExtra = frameGeometry().height() - height();
    const int outer = twipsToPixels(twips, twipsPerPixelY());
    resize(width(), std::max(1, outer - frameExtra));
}

// ---- controls set from code ----

void frmPTT::setListIndex(DropDownList *list, int index) {
    if (index < -1 || index >= list->count())
        throw InvalidPropertyValue(
            QStringLiteral("%1: list index %2 is out of range").arg(list->objectName()).arg(index));
    if (index == list->ListIndex())
        return;
    list->setCurrentIndex(index);
    if (list == Combo1)
        Combo1_Click();
    else if (list == Combo2)
        Combo2_Click();
}

void frmPTT::setOnTopValue(std::int16_t value) {
    if (value == chkOnTop->Value())
        return;
    chkOnTop->showValue(value);
    chkOnTop_Click();
}

// ---- store access ----

QString frmPTT::get(QLatin1StringView key) const {
    return get(keys::kSection, key);
}

QString frmPTT::get(QLatin1StringView section, QLatin1StringView key) const {
    return m_store.GetSetting(keys::kApplication, section, key);
}

void frmPTT::save(QLatin1StringView key, const QString &text) {
    m_store.SaveSetting(keys::kApplication, keys::kSection, key, text);
}

void frmPTT::SaveSettings() {
    save(keys::kPositionLeft, NumberText(Left()));
    save(keys::kPositionTop, NumberText(Top()));
    save(keys::kOnTop, IntegerText(chkOnTop->Value()));
    save(keys::kComPort, IntegerText(MSComm1.CommPort()));
    save(keys::kTimer, IntegerText(TimeoutMinutes));
    save(keys::kHeight, NumberText(Height()));
}

// ---- keying ----

void frmPTT::cmdTX_Click() {
    if (cmdTX->BackColor() != kButtonFace) {
        cmdTX->setBackColor(kButtonFace);
        MSComm1.release(kTxButton);
        return;
    }
    cmdTX->setBackColor(kKeyedRed);
    const KeyResult result = MSComm1.key(kTxButton);
    if (result != KeyResult::Keyed) {
        // Showing red while no line is driven would tell the operator he is on the air.
        cmdTX->setBackColor(kButtonFace);
        keyRefused(result);
        return;
    }
    // The keying's own deadline, which the owner keeps: a nested keying replaces it, and all
    // waits end at the newest.
    const KeyingState keying = MSComm1.state().keying;
    KeyDeadline = keying.deadline;
    if (m_keyingDepth >= kMaxKeyingDepth)
        return; // the waits below end at the new deadline
    ++m_keyingDepth;
    waitForKeyDeadline();
    --m_keyingDepth;
    MSComm1.release(kTxButton, keying.keying);
    reflectKeying();
}

void frmPTT::keyRefused(KeyResult result) {
    if (result == KeyResult::Refused)
        showBox(QStringLiteral("No transmission: the guardian process that keeps the time-out "
                               "does not answer. Try again in a moment."),
                QMessageBox::Warning);
    else
        showPortMessage();
}

// The kernel lets a long sleep end late by a thousandth of its length (60 ms on a minute):
// wake a little early, and the short sleep that follows ends on time.
std::chrono::milliseconds frmPTT::wakeInterval(Clock::duration left) {
    using std::chrono::milliseconds;
    const milliseconds ms = std::chrono::ceil<milliseconds>(left);
    if (ms <= milliseconds(100))
        return std::max(ms, milliseconds(1));
    return ms - std::max(ms / 256, milliseconds(5));
}

void frmPTT::waitForKeyDeadline() {
    // Sleep until the next window event or the deadline; the deadline is read afresh on every
    // pass because a nested keying may have replaced it.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (KeyDeadline && Clock::now() < *KeyDeadline) {
        wake.start(wakeInterval(*KeyDeadline - Clock::now()));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

// ---- port and time-out choices ----

void frmPTT::Combo1_Click() {
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
    const int port = Combo1->Text().right(2).toInt();
    ComPortText = IntegerText(port);
    MSComm1.setCommPort(ToInt16Strict(keys::kComPort, ComPortText));
    SaveSettings();
    Form_Activate();
}

void frmPTT::Combo2_Click() {
    TimeoutMinutes = ToInt16Strict(keys::kTimer, Combo2->Text().left(1));
    MSComm1.setKeyingTime(TimeoutMinutes * m_hooks.minute);
    SaveSettings();
}

// ---- start-up ----

void frmPTT::Form_Activate() {
    using namespace keys;

    // 1. First run.
    if (get(kPositionLeft).isEmpty()) {
        save(kPositionLeft, NumberText(Left()));
        save(kPositionTop, NumberText(Top()));
        save(kOnTop, QStringLiteral("0"));
        save(kComPort, QStringLiteral("1"));
        save(kHeight, QStringLiteral("3090"));
        save(kTimer, QStringLiteral("1"));
    }

    // 2-4. Place and size the window. A stored value that cannot be used is reported and
    // replaced by its first-run default rather than stopping every start.
    auto single = [this](QLatin1StringView key, double minPixels,
                         const char *instead) -> std::optional<float> {
        const QString text = get(key);
        try {
            const float twips = ToSingleStrict(key, text);
            // Window systems keep coordinates in 16 bits: no window was ever beyond that.
            const double px = twips / (key == kPositionLeft ? twipsPerPixelX() : twipsPerPixelY());
            if (px < minPixels || px > 32767.0)
                throw OverflowError(key, text);
            return twips;
        } catch (const ConversionError &e) {
            warn(QStringLiteral("%1; using %2")
                     .arg(QString::fromUtf8(e.what()), QLatin1String(instead)));
            return std::nullopt;
        }
    };
    std::optional<float> left = single(kPositionLeft, -32767.0, "the current position");
    std::optional<float> top = single(kPositionTop, -32767.0, "the current position");
    const float height = single(kHeight, 1.0, "3090").value_or(kFullHeight);
    if (left || top) {
        // A monitor unplugged since: don't restore a frame no screen shows.
        const QRect frame(left ? twipsToPixels(*left, twipsPerPixelX()) : frameGeometry().x(),
                          top ? twipsToPixels(*top, twipsPerPixelY()) : frameGeometry().y(),
                          frameGeometry().width(), twipsToPixels(height, twipsPerPixelY()));
        bool seen = false;
        for (const QScreen *s : QGuiApplication::screens())
            seen = seen || s->availableGeometry().intersects(frame);
        if (!seen) {
            warn(QStringLiteral("stored position %1, %2 lies outside every screen; not applied")
                     .arg(quotedForMessage(get(kPositionLeft)),
                          quotedForMessage(get(kPositionTop))));
            left.reset();
            top.reset();
        }
    }
    if (left)
        setLeft(*left);
    if (top)
        setTop(*top);
    setHeight(height);

    // 5. View marks from the height in effect.
    const bool compact = Height() == kCompactHeight;
    mnuHide->setChecked(compact);
    mnuShow->setChecked(!compact);

    // 6. The stored port goes to the control before anything below can save, so that a save
    // never replaces the operator's port by the control's first number.
    ComPortText = get(kComPort);
    try {
        MSComm1.setCommPort(ToInt16Strict(kComPort, ComPortText));
    } catch (const std::exception &e) {
        // Not usable: the control keeps its number, which is opened below without a message.
        const QString why = dynamic_cast<const SerialError *>(&e)
                                ? QStringLiteral("%1: %2 is not a port number (1 to 255)")
                                      .arg(kComPort, quotedForMessage(ComPortText))
                                : QString::fromUtf8(e.what());
        warn(QStringLiteral("%1; using COM%2").arg(why).arg(MSComm1.CommPort()));
    }

    // 7-8. Always on top.
    std::int16_t onTop = 0;
    const QString onTopText = get(kOnTop);
    try {
        onTop = ToInt16Strict(kOnTop, onTopText);
        if (onTop < 0 || onTop > 2)
            throw OverflowError(kOnTop, onTopText);
    } catch (const ConversionError &e) {
        warn(QStringLiteral("%1; using 0").arg(QString::fromUtf8(e.what())));
        onTop = 0;
    }
    setOnTopValue(onTop);
    SetWindowOnTop(chkOnTop->Value() == 1);

    // 9-10. Time-out: anything but 1 to 9 minutes would make a button that does nothing.
    const QString timerText = get(kTimer);
    try {
        TimeoutMinutes = ToInt16Lenient(kTimer, timerText);
        if (TimeoutMinutes < 1 || TimeoutMinutes > 9)
            throw OverflowError(kTimer, timerText); // 0 would key and release at once
    } catch (const ConversionError &e) {
        warn(QStringLiteral("%1; using 1").arg(QString::fromUtf8(e.what())));
        TimeoutMinutes = 1;
    }
    MSComm1.setKeyingTime(TimeoutMinutes * m_hooks.minute);
    setListIndex(Combo2, TimeoutMinutes - 1);

    // 11-12. Idle button, port closed.
    cmdTX->setBackColor(kButtonFace);
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);

    // 13-19 go on past their errors; only a failed open is reported. A store that cannot be
    // written still ends the program: a value is never dropped silently.
    try {
        MSComm1.setCommPort(ToInt16Strict(kComPort, ComPortText));
    } catch (const std::exception &) {
    }
    if (!openPort(true))
        return;
    try {
        setListIndex(Combo1, MSComm1.CommPort() - 1);
    } catch (const StoreWriteError &) {
        throw;
    } catch (const std::exception &) {
    }
    // 18-19. At rest: whatever the open did, and unless a keying came in meanwhile.
    MSComm1.rest();
}

void frmPTT::portLost() {
    showPortMessage();
}

bool frmPTT::openPort(bool reportFailure) {
    try {
        MSComm1.setPortOpen(true);
        return true;
    } catch (const std::exception &e) {
        warn(QStringLiteral("COM%1: %2").arg(MSComm1.CommPort()).arg(QString::fromUtf8(e.what())));
        if (reportFailure)
            showPortMessage();
        return false;
    }
}

void frmPTT::reopenPort(bool reportFailure) {
    cmdTX->setBackColor(kButtonFace);
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
    if (!openPort(reportFailure))
        return;
    if (MSComm1.CommPort() <= Combo1->count())
        Combo1->setCurrentIndex(MSComm1.CommPort() - 1); // shown, not chosen: no handler
    MSComm1.rest();
}

// Never before the start-up has opened the port, nor while ending. udev may give the device its
// group a moment after it appears: a failed open is tried again a second later, twice at most.
void frmPTT::portAppeared(int port, int retries) {
    if (!m_activationDone || m_unloading || port != MSComm1.CommPort() || MSComm1.PortOpen())
        return;
    guarded([this] { reopenPort(false); });
    if (!MSComm1.PortOpen() && retries > 0)
        QTimer::singleShot(std::chrono::seconds(1), this,
                           [this, port, retries] { portAppeared(port, retries - 1); });
}

void frmPTT::showPortMessage() {
    showBox(QStringLiteral("COM ") + ComPortText +
                QStringLiteral(": not available. Check for correct Com Port."),
            QMessageBox::NoIcon);
}

void frmPTT::showBox(const QString &text, QMessageBox::Icon icon) {
    ++m_boxesOpen;
    const auto closed = qScopeGuard([this] { --m_boxesOpen; });
    m_hooks.messageBox(text, icon);
}

// What the owner says now, not what a queued notice said then: a box's own event loop never
// turns the button red for a keying that has already ended.
void frmPTT::reflectKeying() {
    cmdTX->setBackColor(MSComm1.keyed() ? kKeyedRed : kButtonFace);
}

void frmPTT::guardianLost() {
    reflectKeying();
    if (std::exchange(m_guardianLossShown, true))
        return;
    showBox(QStringLiteral("The guardian process that keeps the time-out while Zorore_PTT "
                           "cannot run has stopped. Any transmission was released."),
            QMessageBox::Warning);
}

void frmPTT::requestEnd() {
    if (m_unloading) {
        // Ending already, held up by a report of its own: the report is on standard error too.
        m_hooks.endProgram(1);
        return;
    }
    m_endRequested = true;
    close();
}

// ---- window commands ----

void frmPTT::SetWindowOnTop(bool onTop) {
    // QWidget::setWindowFlags would hide and re-create the native window: change the flag on
    // the existing one and keep the widget's record of it in step.
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, onTop);
    overrideWindowFlags(flags);
    if (QWindow *native = windowHandle())
        native->setFlags(flags);
    if (!isVisible()) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        show();
    }
}

void frmPTT::chkOnTop_Click() {
    SetWindowOnTop(chkOnTop->Value() == 1);
    save(keys::kOnTop, IntegerText(chkOnTop->Value()));
}

void frmPTT::mnuHide_Click() {
    setHeight(kCompactHeight);
    mnuHide->setChecked(true);
    mnuShow->setChecked(false);
    SaveSettings();
}

void frmPTT::mnuShow_Click() {
    setHeight(kFullHeight);
    mnuHide->setChecked(false);
    mnuShow->setChecked(true);
    SaveSettings();
}

void frmPTT::mnuExit_Click() {
    close();
}

void frmPTT::Form_Unload(int &cancel) {
    (void)cancel; // never set: the program does not refuse to close
    m_unloading = true;
    // The transmitter first: a slow or locked store must not keep it keyed.
    MSComm1.setPortOpen(false);
    if (m_endRequested || m_boxesOpen > 0) {
        // Asked to end, or closed past an open box: one line, never another box.
        try {
            SaveSettings();
        } catch (const std::exception &e) {
            warn(QString::fromUtf8(e.what()));
            m_hooks.endProgram(1);
            return;
        }
    } else {
        SaveSettings();
    }
    m_hooks.endProgram(0);
}

void frmPTT::mnuAbout_Click() {
    // Release first: the box may stay open far longer than anyone means to transmit. The port
    // stays open so that the next TX click keys the line again.
    cmdTX->setBackColor(kButtonFace);
    MSComm1.release(kTxButton);
    showBox(QStringLiteral("%1\nVersion %2\n\nKeys a transmitter through the DTR line "
                           "of a serial port.\n\nCopyright 2026 The Zorore_PTT developers. "
                           "Free software under the GNU General Public License, version 3 "
                           "or later, with no warranty.")
                .arg(kCaption, QLatin1String(kProgramVersion)),
            QMessageBox::NoIcon);
}

// Other programs key through us only while this is checked; the choice outlives the run.
void frmPTT::mnuRemote_Click() {
    const WindowHooks::RemoteStart started = startRemoteKeying(mnuRemote->isChecked());
    const bool on = mnuRemote->isChecked() && started.listening;
    mnuRemote->setChecked(on);
    if (!started.message.isEmpty())
        showBox(started.message, QMessageBox::Warning);
    m_store.SaveSetting(keys::kApplication, keys::kRemoteSection, keys::kRemoteEnabled,
                        IntegerText(on ? 1 : 0));
}

WindowHooks::RemoteStart frmPTT::startRemoteKeying(bool on) {
    WindowHooks::RemoteStart started{on && !m_hooks.remoteKeying, {}};
    if (m_hooks.remoteKeying)
        started = m_hooks.remoteKeying(on);
    if (!started.message.isEmpty())
        warn(started.message);
    return started;
}

void frmPTT::mnuPorts_Click() {
    // Release first, as for About: the dialog may stay open long.
    cmdTX->setBackColor(kButtonFace);
    MSComm1.release(kTxButton);
    if (!portsDialog) {
        portsDialog = new PortsDialog(*m_ports, m_hooks.adapters, this);
        portsDialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(portsDialog, &PortsDialog::portStored, this, [this](int port) {
            guarded([&] {
                if (port == MSComm1.CommPort())
                    reopenPort(true);
                if (m_hooks.devices)
                    m_hooks.devices->rescan();
            });
        });
    }
    portsDialog->open(); // window-modal without a nested loop: the time-out keeps running
}

void frmPTT::reportFatal(const QString &what) noexcept {
    try {
        MSComm1.setPortOpen(false);
    } catch (...) {
    }
    try {
        warn(what);
        if (!m_endRequested)
            showBox(QStringLiteral("Zorore_PTT met an error and has to close:\n\n") + what,
                    QMessageBox::Critical);
    } catch (...) {
    }
    m_hooks.endProgram(1);
}

} // namespace zptt
