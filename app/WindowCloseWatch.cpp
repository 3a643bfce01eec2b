// SPDX-License-Identifier: GPL-3.0-or-later
#include "WindowCloseWatch.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace zptt {

namespace {

std::uint32_t atom(xcb_connection_t *c, const char *name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const std::uint32_t a = reply ? reply->atom : 0;
    std::free(reply);
    return a;
}

} // namespace

WindowCloseWatch::WindowCloseWatch(const QWidget &window, std::function<void()> onBlockedClose)
    : m_window(window), m_onBlockedClose(std::move(onBlockedClose)) {
    const auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    m_protocols = atom(x11->connection(), "WM_PROTOCOLS");
    m_delete = atom(x11->connection(), "WM_DELETE_WINDOW");
    qApp->installNativeEventFilter(this);
}

WindowCloseWatch::~WindowCloseWatch() {
    if (m_delete)
        qApp->removeNativeEventFilter(this);
}

bool WindowCloseWatch::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) {
    if (eventType != "xcb_generic_event_t" || !m_delete)
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto *cm = static_cast<const xcb_client_message_event_t *>(message);
    if (cm->type == m_protocols && cm->format == 32 && cm->data.data32[0] == m_delete &&
        cm->window == m_window.winId() && QApplication::activeModalWidget() &&
        QApplication::activeModalWidget() != &m_window)
        m_onBlockedClose();
    return false;
}

} // namespace zptt
