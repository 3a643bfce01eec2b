// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractNativeEventFilter>
#include <functional>

class QWidget;

namespace zptt {

// Qt drops the window manager's request to close a window while a modal box blocks it; an
// operator who closes the main window then must still see the program end. Watches X11's
// WM_DELETE_WINDOW for the window and calls back while a modal box is open. Does nothing on
// other platforms.
class WindowCloseWatch final : public QAbstractNativeEventFilter {
public:
    WindowCloseWatch(const QWidget &window, std::function<void()> onBlockedClose);
    ~WindowCloseWatch() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    const QWidget &m_window;
    std::function<void()> m_onBlockedClose;
    std::uint32_t m_protocols = 0;
    std::uint32_t m_delete = 0;
};

} // namespace zptt
