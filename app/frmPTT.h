// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Controls.h"
#include "KeyClock.h"
#include "KeyRequests.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zptt {

class AdapterList;
class DeviceWatch;
class KeyingOwner;
class PortMap;
class PortsDialog;
class SettingsStore;

// What the window needs from the world outside the toolkit, replaceable in tests.
struct WindowHooks {
    // An application-modal message box, caption "Zorore_PTT", OK only.
    std::function<void(const QString &text, QMessageBox::Icon icon)> messageBox;
    // Ends the process at once with this status (the lines are released before).
    std::function<void(int status)> endProgram;
    // Length of one time-out minute (tests shorten it).
    std::chrono::milliseconds minute = std::chrono::minutes(1);
    // Delay before the start-up runs on a window system that never activates the window.
    std::chrono::milliseconds activationFallback = std::chrono::milliseconds(500);
    // Starts (true) or stops (false) keying by other programs: whether it listens, and why it
    // could not start or what the operator must know while it listens (said on standard error
    // and in a box). Unset: there is no such service, and the choice is only stored.
    struct RemoteStart {
        bool listening = false;
        QString message;
    };
    std::function<RemoteStart(bool on)> remoteKeying;
    // The program's one port map (null: one over the store), the adapters plugged in (null:
    // none) and the watch on the ports' devices (null: a device that returns is not reopened).
    PortMap *ports = nullptr;
    const AdapterList *adapters = nullptr;
    DeviceWatch *devices = nullptr;
};

// The program's one window: the TX button, the port and time-out lists, the always-on-top box
// and the menus, with all their handlers.
class frmPTT final : public QMainWindow {
    Q_OBJECT
public:
    using Clock = KeyClock;

    frmPTT(SettingsStore &store, KeyingOwner &keying, WindowHooks hooks = {},
           QWidget *parent = nullptr);
    ~frmPTT() override;

    // Handlers and the window's own routines.
    void cmdTX_Click();
    void Combo1_Click();
    void Combo2_Click();
    void chkOnTop_Click();
    void Form_Activate();
    void Form_Unload(int &cancel);
    void mnuExit_Click();
    void mnuHide_Click();
    void mnuShow_Click();
    void mnuAbout_Click();
    void mnuRemote_Click();
    void mnuPorts_Click();
    void SetWindowOnTop(bool onTop);
    // The open port's device went away: release any keying and say so.
    void portLost();
    // Opens the current port afresh, lines at rest: its device came back or its entries
    // changed. A failure is reported only when asked.
    void reopenPort(bool reportFailure);
    // The button shows whether the line is keyed, whoever keyed or released it.
    void reflectKeying();
    // The guardian went away: any keying was released for safety; said once.
    void guardianLost();
    // A signal or the window manager asks the program to end, whatever box is open.
    void requestEnd();
    void SaveSettings();

    // The window's outer rectangle in twips.
    float Left() const;
    float Top() const;
    float Width() const;
    float Height() const;
    void setLeft(float twips);
    void setTop(float twips);
    void setHeight(float twips);
    double twipsPerPixelX() const;
    double twipsPerPixelY() const;

    // Setting a list's index or the box's value from code runs the click handler when, and
    // only when, the value changes. Out-of-range values throw InvalidPropertyValue.
    void setListIndex(DropDownList *list, int index);
    void setOnTopValue(std::int16_t value);

    // Members.
    const QString &comPortText() const { return ComPortText; }
    std::int16_t timeoutMinutes() const { return TimeoutMinutes; }
    std::optional<Clock::time_point> keyDeadline() const { return KeyDeadline; }
    bool keyedLook() const { return cmdTX->BackColor() != kButtonFace; }

    // Deepest nesting of keying waits; a keying click beyond it keys without a wait of its
    // own, since the waits below already end at the shared deadline.
    static constexpr int kMaxKeyingDepth = 32;
    int keyingDepth() const { return m_keyingDepth; }

    // Runs a handler; an error escaping it is reported and ends the program, lines released.
    template <class F> void guarded(F &&handler) noexcept;

    // Controls, with their designed names.
    ColourButton *cmdTX = nullptr;
    DropDownList *Combo1 = nullptr;
    DropDownList *Combo2 = nullptr;
    QLabel *Label2 = nullptr;
    TriStateBox *chkOnTop = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuExit = nullptr;
    QMenu *mnuSetup = nullptr;
    QAction *mnuHide = nullptr;
    QAction *mnuShow = nullptr;
    QAction *mnuRemote = nullptr;
    QAction *mnuPorts = nullptr;
    QPointer<PortsDialog> portsDialog; // while open
    QMenu *mnuHelp = nullptr;
    QAction *mnuAbout = nullptr;

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void placeControl(QWidget *control, int left, int top, int width, int height);
    void placeAtStoredPosition();
    void bindHandlers();
    void refreshPortTooltips();
    void runActivationOnce();
    // Opens the current port; on failure, a line on standard error and, when asked, the port
    // message.
    bool openPort(bool reportFailure);
    void portAppeared(int port, int retries);
    WindowHooks::RemoteStart startRemoteKeying(bool on);

    QString get(QLatin1StringView key) const;
    QString get(QLatin1StringView section, QLatin1StringView key) const;
    void save(QLatin1StringView key, const QString &text);
    void showPortMessage();
    void keyRefused(KeyResult result);
    void showBox(const QString &text, QMessageBox::Icon icon);
    void reportFatal(const QString &what) noexcept;
    void waitForKeyDeadline();
    static std::chrono::milliseconds wakeInterval(Clock::duration left);

    SettingsStore &m_store;
    KeyingOwner &MSComm1; // the keying and its port: the window's serial control
    WindowHooks m_hooks;
    std::unique_ptr<PortMap> m_ownPorts;
    PortMap *m_ports;

    QString ComPortText;
    std::int16_t TimeoutMinutes = 0;
    std::optional<Clock::time_point> KeyDeadline;

    bool m_activationDone = false;
    QPoint m_firstPlacement; // where the window was centred, frame not yet counted
    int m_keyingDepth = 0;
    int m_boxesOpen = 0;
    bool m_endRequested = false;
    bool m_unloading = false;
    bool m_guardianLossShown = false;
};

template <class F> void frmPTT::guarded(F &&handler) noexcept {
    try {
        handler();
    } catch (const std::exception &e) {
        reportFatal(QString::fromUtf8(e.what()));
    } catch (...) {
        reportFatal(QStringLiteral("unknown error"));
    }
}

} // namespace zptt
