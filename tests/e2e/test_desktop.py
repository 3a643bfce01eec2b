"""A Wayland session (weston with XWayland): the program goes to X11 by itself, where it can place
its window, and honours a Wayland platform asked for, saying once what that costs."""
import os, sys
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F403

NOTICE = "Zorore_PTT: window placement and Always On Top are not available in this Wayland session"
PLACE = {"Position-Left": 3000, "Position-Top": 2250}


def on_x(i):
    """At the stored place, give or take the frame weston draws (it tells no frame extents)."""
    x, y = (int(v) for v in re.findall(r"Absolute upper-left [XY]:\s+(-?\d+)",
                                       xrun("xwininfo", "-id", i.win())))
    expect(0 <= x - 200 <= 40 and 0 <= y - 150 <= 40, "the window at %d, %d" % (x, y))
    expect(NOTICE not in i.stderr(), "the notice on X11")


def on_wayland(i):
    r = subprocess.run(["xdotool", "search", "--all", "--pid", str(i.proc.pid)],
                       capture_output=True, text=True, timeout=30)
    expect(r.returncode == 1 and not r.stdout + r.stderr, "X windows: %s" % (r.stdout + r.stderr))
    expect(i.stderr().count(NOTICE) == 1, "stderr %r" % i.stderr())


ROWS = [
    ("QT_QPA_PLATFORM unset: an X window of its own, at the stored place", {"settings": PLACE},
     [on_x]),
    ("QT_QPA_PLATFORM=wayland honoured: no X window, the notice once", {
        "settings": PLACE, "env": {"QT_QPA_PLATFORM": "wayland"}}, [on_wayland]),
]

if __name__ == "__main__":
    run(ROWS, display=Weston)
