"""The main window: caption, layout, the TX button's look and the DTR line following it."""

import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def first_change(img, bg, points):
    for i, (x, y) in enumerate(points):
        if not h.near(img.pixel(x, y), bg, 6):
            return i
    return None


def check_rows_drawn(s, img):
    """Each list and the check box has its top-left edge where it was designed."""
    bg = img.pixel(img.width - 1, img.height - 1)
    for name, rect in (("Combo1", h.COMBO1_RECT), ("Combo2", h.COMBO2_RECT)):
        x, y, w, hh = s.client_rect(rect)
        top = img.distinct((x + 3, y, w - 6, 1))
        above = img.distinct((x + 3, y - 1, w - 6, 1))
        left = img.distinct((x, y + 3, 1, hh - 6))
        s.check(len(top) == 1 and not h.near(next(iter(top)), bg, 6) and above == {bg},
                "%s: top edge drawn at y=%d below the menu bar" % (name, rect[1]),
                "row colours %s, above %s" % (sorted(top)[:3], sorted(above)[:3]))
        s.check(len(left) == 1 and not h.near(next(iter(left)), bg, 6),
                "%s: left edge drawn at x=%d" % (name, rect[0]), "column %s" % sorted(left)[:3])
    # The check box draws its square at the left of its 17x17 area, centred in height.
    x, y, w, hh = s.client_rect(h.CHKONTOP_RECT)
    mid_y, mid_x = y + hh // 2, x + 7
    # (Label2's last glyphs end just left of x-1.)
    dx = first_change(img, bg, [(x - 1 + i, mid_y) for i in range(w)])
    dy = first_change(img, bg, [(mid_x, y - 3 + i) for i in range(hh + 3)])
    s.check(dx == 1, "chkOnTop: box's left edge at x=%d" % h.CHKONTOP_RECT[0],
            "found at %s" % (None if dx is None else h.CHKONTOP_RECT[0] - 1 + dx))
    s.check(dy is not None and 3 <= dy <= 5, "chkOnTop: box's top edge at y=136..138",
            "found at %s" % (None if dy is None else h.CHKONTOP_RECT[1] - 3 + dy))
    x, y, w, hh = s.client_rect(h.LABEL2_RECT)
    glyphs = img.count(lambda rgb: max(rgb) < 110, (x, y, w, hh))
    s.check(glyphs > 40, "Label2: text drawn in its place (%d dark pixels)" % glyphs)


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})

    s.start_program(wait_ready=False)
    s.find_main_window()
    early = s.screenshot()
    early_geo = s.geometry()
    if not s.events(pty):
        s.step("before activation")
        mb = h.find_menubar_height(early)
        s.menubar_h = mb
        s.check(h.looks_keyed(s.tx_colour(early)), "TX is keyed red before activation",
                "colour %s" % (s.tx_colour(early),))
        s.check(early_geo[2:] == (h.CLIENT_SIZE[0], h.CLIENT_SIZE[1] + mb),
                "designed client area 117x(160+%d menu bar)" % mb,
                "window is %dx%d" % early_geo[2:])
        s.check(not s.events(pty), "port not opened before activation")
    else:
        print("  note: the program opened the port before the first screenshot; the look "
              "before activation was not observed")

    s.activate()
    s.wait_started(pty)
    s.step("after activation")
    s.check(s.title(s.win) == h.APP_NAME, "caption is %r" % h.APP_NAME,
            "caption %r" % s.title(s.win))
    s.menubar_h = None
    mb = s.menubar_height()
    x, y, w, hh = s.geometry()
    fx, fy, fw, fh = s.frame_geometry()
    print("  menu bar %d px; client %dx%d; frame %dx%d at %d,%d" % (mb, w, hh, fw, fh, fx, fy))
    s.check(w == h.CLIENT_SIZE[0], "client area 117 px wide", "width %d" % w)
    s.check(fh * h.TWIPS_PER_PX == h.HEIGHT_FULL, "outer height 3090 twips (206 px)",
            "outer height %d px" % fh)
    s.check(hh - mb >= h.CLIENT_SIZE[1],
            "area below the menu bar holds the designed 160 px (it is %d)" % (hh - mb))

    s.mouse_away()
    img = s.screenshot()
    idle = s.tx_colour(img)
    s.check(h.looks_face(idle), "TX idle in the button face colour %s" % (idle,))
    check_rows_drawn(s, img)

    s.step("keying with the TX button")
    baseline = len(s.events(pty))
    for cycle in (1, 2):
        since = time.monotonic_ns()
        s.click_centre(h.TX_RECT)
        s.wait_line(pty, (True, 1, 0), since_ns=since)
        s.mouse_away()
        keyed = s.wait_tx_look(True)
        s.ok("click %d: DTR high, RTS low, TX red %s" % (cycle, keyed))
        if cycle == 1:
            rect = s.tx_keyed_rect(s.screenshot())
            s.check(rect == h.TX_RECT, "keyed TX covers 81x41 at 16,8 below the menu bar",
                    "red area %s" % (rect,))
        since = time.monotonic_ns()
        s.click_centre(h.TX_RECT)
        s.wait_line(pty, (True, 0, 0), since_ns=since)
        s.mouse_away()
        back = s.wait_tx_look(False)
        s.check(h.near(back, idle, 6), "click %d: DTR low again, TX back to %s" % (cycle, back))
    later = s.events(pty)[baseline:]
    s.check(all(e.rts == 0 for e in later), "RTS stayed low while keying")
    s.check(all(e.event not in ("open", "close") for e in later), "port stayed open")

    s.step("lines at open")
    evs = s.events(pty)
    opens = [i for i, e in enumerate(evs) if e.event == "open"]
    for i in opens:
        low = next((e for e in evs[i + 1:] if e.dtr == 0 and e.rts == 0), None)
        s.check(low is not None, "open #%d is followed by both lines low" % (opens.index(i) + 1))
        gap_ms = (low.t_ns - evs[i].t_ns) / 1e6
        print("  open #%d: lines low %.3f ms after open returned (%s)" % (
            opens.index(i) + 1, gap_ms, low.event))
        s.check(gap_ms < 5.0, "lines low within 5 ms of open", "%.3f ms" % gap_ms)


if __name__ == "__main__":
    # Unfocused at first, to see the window as it is before its first activation.
    h.run(test, focus_new=False)
