// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QKeyCombination>
#include <QString>
#include <bitset>
#include <cstdint>
#include <thread>

struct xcb_connection_t;

namespace zptt {

class KeyingSource;

// Whether one key with its modifiers is down, from the key codes going down and up. It counts
// as down from a press of the key with exactly its modifiers held until the key, or one of
// them, is let go; a press of a key already down (auto-repeat) changes nothing.
class KeyChord {
public:
    // The modifier bits used for modKinds: one per Qt modifier.
    enum Modifier : std::uint8_t { Shift = 1, Control = 2, Alt = 4, Meta = 8 };

    void setRequired(std::uint8_t modifiers) { m_required = modifiers; }
    // What a key code stands for: the watched key, or a modifier (0: neither).
    void mapCode(std::uint8_t code, bool isKey, std::uint8_t modifier);
    // A key code went down or up; true when that changed whether the chord is down.
    bool event(std::uint8_t code, bool down);
    // The key codes down when watching starts.
    void setDown(const std::bitset<256> &down);
    bool down() const { return m_active; }

private:
    std::uint8_t modifiersDown() const;
    bool keyDown() const { return (m_down & m_key).any(); }

    std::bitset<256> m_down, m_key;
    std::uint8_t m_modifier[256] = {};
    std::uint8_t m_required = 0;
    bool m_active = false;
};

// A key or combination watched on the X display whatever window has the focus, through XInput2
// raw key events: every client may have them, and they take the key from no one. (A passive grab
// on the root window would fail for a key another program holds, hide the key from the window
// in front, and need a grab for each NumLock and CapsLock state.) Event-driven on a thread of
// its own; the source hears of the key there.
class X11KeyWatch {
public:
    X11KeyWatch(QKeyCombination key, KeyingSource &source);
    ~X11KeyWatch();
    X11KeyWatch(const X11KeyWatch &) = delete;
    X11KeyWatch &operator=(const X11KeyWatch &) = delete;

    // Why no key is seen (no X display, no XInput2, a key X has no name for); empty: watching.
    const QString &problem() const { return m_problem; }
    // Whether an X display answers with raw key events, or why not (empty: it does).
    static QString displayProblem();
    // The X key symbol for a Qt key; 0 when there is none.
    static std::uint32_t keysym(Qt::Key key);

private:
    void loadKeyMap();
    void run();

    const QKeyCombination m_key;
    KeyingSource &m_source;
    QString m_problem;
    xcb_connection_t *m_connection = nullptr;
    std::uint8_t m_xinput = 0; // the extension's major opcode
    int m_wake = -1;           // an eventfd: stop
    KeyChord m_chord;
    std::thread m_thread;
};

} // namespace zptt
