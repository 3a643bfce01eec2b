// SPDX-License-Identifier: GPL-3.0-or-later
#include "X11KeyWatch.h"

#include "KeyingSource.h"

#include <QChar>
#include <QKeySequence>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace zptt {

namespace {

struct Named {
    Qt::Key key;
    std::uint32_t keysym;
};
// X's names for the keys beyond Latin-1 and the function keys that a pedal may send.
constexpr Named kNamed[] = {
    {Qt::Key_Escape, 0xff1b},
    {Qt::Key_Tab, 0xff09},
    {Qt::Key_Backspace, 0xff08},
    {Qt::Key_Return, 0xff0d},
    {Qt::Key_Enter, 0xff8d},
    {Qt::Key_Insert, 0xff63},
    {Qt::Key_Delete, 0xffff},
    {Qt::Key_Pause, 0xff13},
    {Qt::Key_Print, 0xff61},
    {Qt::Key_SysReq, 0xff15},
    {Qt::Key_Clear, 0xff0b},
    {Qt::Key_Home, 0xff50},
    {Qt::Key_End, 0xff57},
    {Qt::Key_Left, 0xff51},
    {Qt::Key_Up, 0xff52},
    {Qt::Key_Right, 0xff53},
    {Qt::Key_Down, 0xff54},
    {Qt::Key_PageUp, 0xff55},
    {Qt::Key_PageDown, 0xff56},
    {Qt::Key_ScrollLock, 0xff14},
    {Qt::Key_Menu, 0xff67},
    {Qt::Key_Help, 0xff6a},
    {Qt::Key_VolumeDown, 0x1008ff11},
    {Qt::Key_VolumeMute, 0x1008ff12},
    {Qt::Key_VolumeUp, 0x1008ff13},
    {Qt::Key_MediaPlay, 0x1008ff14},
    {Qt::Key_MediaStop, 0x1008ff15},
    {Qt::Key_MediaPrevious, 0x1008ff16},
    {Qt::Key_MediaNext, 0x1008ff17},
    {Qt::Key_MediaPause, 0x1008ff31},
};

struct ModifierKeys {
    std::uint32_t left, right;
    KeyChord::Modifier bit;
    Qt::KeyboardModifier qt;
};
// Qt's Meta is X's Super.
constexpr ModifierKeys kModifiers[] = {
    {0xffe1, 0xffe2, KeyChord::Shift, Qt::ShiftModifier},
    {0xffe3, 0xffe4, KeyChord::Control, Qt::ControlModifier},
    {0xffe9, 0xffea, KeyChord::Alt, Qt::AltModifier},
    {0xffeb, 0xffec, KeyChord::Meta, Qt::MetaModifier},
};

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> Reply<T> reply(T *r) {
    return {r, &std::free};
}

// Connected, with XInput 2.2 raw key events; the extension's opcode or why not.
QString openDisplay(xcb_connection_t *&c, std::uint8_t &opcode) {
    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return QStringLiteral("no X display to watch the keyboard on");
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_input_id);
    const auto version =
        reply(xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!ext || !ext->present || !version ||
        version->major_version * 100 + version->minor_version < 202)
        return QStringLiteral("the X display has no XInput 2.2 to watch the keyboard with");
    opcode = ext->major_opcode;
    return {};
}

} // namespace

// ---- the chord ----

void KeyChord::mapCode(std::uint8_t code, bool isKey, std::uint8_t modifier) {
    m_key[code] = isKey;
    m_modifier[code] = modifier;
}

std::uint8_t KeyChord::modifiersDown() const {
    std::uint8_t held = 0;
    for (int code = 0; code < 256; ++code)
        if (m_down[code])
            held |= m_modifier[code];
    return held;
}

void KeyChord::setDown(const std::bitset<256> &down) {
    m_down = down;
    m_active = keyDown() && modifiersDown() == m_required;
}

bool KeyChord::event(std::uint8_t code, bool down) {
    if (m_down[code] == down)
        return false;
    m_down[code] = down;
    const bool was = m_active;
    if (down && m_key[code])
        m_active = m_active || modifiersDown() == m_required;
    else if (!down && m_active)
        m_active = keyDown() && (modifiersDown() & m_required) == m_required;
    return m_active != was;
}

// ---- the watch ----

std::uint32_t X11KeyWatch::keysym(Qt::Key key) {
    if ((key >= 0x20 && key <= 0x7e) || (key >= 0xa0 && key <= 0xff))
        return QChar(key).toLower().unicode(); // Latin-1 keysyms are the code points
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return 0xffbe + (key - Qt::Key_F1);
    for (const Named &n : kNamed)
        if (n.key == key)
            return n.keysym;
    return 0;
}

QString X11KeyWatch::displayProblem() {
    xcb_connection_t *c = nullptr;
    std::uint8_t opcode = 0;
    const QString problem = openDisplay(c, opcode);
    xcb_disconnect(c);
    return problem;
}

X11KeyWatch::X11KeyWatch(QKeyCombination key, KeyingSource &source) : m_key(key), m_source(source) {
    if (keysym(key.key()) == 0) {
        m_problem = QStringLiteral("X has no name for the key %1")
                        .arg(QKeySequence(key).toString(QKeySequence::NativeText));
        return;
    }
    m_problem = openDisplay(m_connection, m_xinput);
    m_wake = ::eventfd(0, EFD_CLOEXEC);
    if (m_problem.isEmpty() && m_wake < 0)
        m_problem = qt_error_string(errno);
    if (!m_problem.isEmpty())
        return;
    std::uint8_t required = 0;
    for (const ModifierKeys &m : kModifiers)
        if (key.keyboardModifiers() & m.qt)
            required |= m.bit;
    m_chord.setRequired(required);

    struct {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    xcb_input_xi_select_events(m_connection, root, 1, &mask.head);
    loadKeyMap();
    // What is down already: a key held at start keys nothing until it has been let go.
    const auto keymap =
        reply(xcb_query_keymap_reply(m_connection, xcb_query_keymap(m_connection), nullptr));
    std::bitset<256> down;
    for (int code = 0; keymap && code < 256; ++code)
        down[code] = keymap->keys[code / 8] & (1 << (code % 8));
    m_chord.setDown(down);
    m_source.started(m_chord.down());
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
        m_problem =
            QStringLiteral("cannot start a thread (%1)").arg(QString::fromLocal8Bit(e.what()));
    }
}

X11KeyWatch::~X11KeyWatch() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_wake >= 0)
        ::close(m_wake);
    if (m_connection)
        xcb_disconnect(m_connection);
}

// Which key codes give the key and the modifiers, in the first group's two levels.
void X11KeyWatch::loadKeyMap() {
    const xcb_setup_t *setup = xcb_get_setup(m_connection);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - first + 1;
    const auto map = reply(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, setup->min_keycode, std::uint8_t(count)), nullptr));
    if (!map)
        return;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int per = map->keysyms_per_keycode;
    const std::uint32_t want = keysym(m_key.key());
    const std::uint32_t upper = want <= 0xff ? QChar(want).toUpper().unicode() : want;
    for (int i = 0; i < count; ++i) {
        bool isKey = false;
        std::uint8_t modifier = 0;
        for (int level = 0; level < std::min(per, 2); ++level) {
            const xcb_keysym_t sym = syms[i * per + level];
            isKey = isKey || (sym != 0 && (sym == want || sym == upper));
            for (const ModifierKeys &m : kModifiers)
                if (sym == m.left || sym == m.right)
                    modifier |= m.bit;
        }
        m_chord.mapCode(std::uint8_t(first + i), isKey, modifier);
    }
}

void X11KeyWatch::run() {
    pollfd fds[2] = {{xcb_get_file_descriptor(m_connection), POLLIN, 0}, {m_wake, POLLIN, 0}};
    for (;;) {
        while (xcb_generic_event_t *e = xcb_poll_for_event(m_connection)) {
            const auto event = reply(e);
            const std::uint8_t type = e->response_type & 0x7f;
            if (type == XCB_MAPPING_NOTIFY) {
                loadKeyMap();
                continue;
            }
            const auto *ge = reinterpret_cast<const xcb_ge_generic_event_t *>(e);
            if (type != XCB_GE_GENERIC || ge->extension != m_xinput ||
                (ge->event_type != XCB_INPUT_RAW_KEY_PRESS &&
                 ge->event_type != XCB_INPUT_RAW_KEY_RELEASE))
                continue;
            const auto *key = reinterpret_cast<const xcb_input_raw_key_press_event_t *>(e);
            if (m_chord.event(std::uint8_t(key->detail), ge->event_type == XCB_INPUT_RAW_KEY_PRESS))
                m_source.changed(m_chord.down());
        }
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            return;
        if (xcb_connection_has_error(m_connection))
            break;
    }
    m_source.lost(); // the display went away: no let-go would ever come
}

} // namespace zptt
