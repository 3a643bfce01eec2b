"""Views: Setup > Hide leaves only the TX button under the menu bar, Setup > Show brings all
rows back; both save every setting."""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def check_saved(s, height):
    def saved():
        st = s.settings().get("Settings", {})
        return set(st) == set(h.SETTING_KEYS) and st.get("Height") == str(height)

    h.wait_until(saved, 5, "all six keys with Height=%d in the file" % height)
    s.ok("all six keys saved, Height=%d" % height)


def strip_settings(s):
    # Only [Ports] left: whatever comes back was written by the command under test.
    ports = s.settings()["Ports"]
    h.write_ini(s.settings_path, {"Ports": ports})


def check_hidden(s, how):
    s.wait_frame_height(h.HEIGHT_HIDDEN // h.TWIPS_PER_PX)
    s.ok("%s: outer height 1635 twips (109 px)" % how)
    s.mouse_away()
    tx, below, lists = s.view_contents()
    s.check(tx and below == 0, "%s: only the TX button under the menu bar" % how,
            "TX drawn %s, %d pixels drawn below it" % (tx, below))
    check_saved(s, h.HEIGHT_HIDDEN)


def check_shown(s, how):
    s.wait_frame_height(h.HEIGHT_FULL // h.TWIPS_PER_PX)
    s.ok("%s: outer height 3090 twips (206 px)" % how)
    s.mouse_away()
    tx, below, lists = s.view_contents()
    s.check(tx and lists > 200, "%s: TX and both lists visible (%d list pixels)" % (how, lists),
            "TX drawn %s" % tx)
    check_saved(s, h.HEIGHT_FULL)


def test(s):
    pty = s.add_pty(1)
    s.write_settings({1: pty})
    s.start_program()
    s.wait_started(pty)
    width = s.frame_geometry()[2]

    s.step("Setup > Hide by keyboard")
    strip_settings(s)
    s.menu("s", "h")
    check_hidden(s, "Hide (keys)")

    s.step("Setup > Show by mouse")
    strip_settings(s)
    s.menu_by_mouse(1, 1)
    check_shown(s, "Show (mouse)")

    s.step("Setup > Hide by mouse, Setup > Show by keyboard")
    strip_settings(s)
    s.menu_by_mouse(1, 0)
    check_hidden(s, "Hide (mouse)")
    strip_settings(s)
    s.menu("s", "s")
    check_shown(s, "Show (keys)")
    s.check(s.frame_geometry()[2] == width, "width unchanged by the views")
    s.check(h.line_state(s.events(pty)) == (True, 0, 0), "port still open, lines low")


if __name__ == "__main__":
    h.run(test)
