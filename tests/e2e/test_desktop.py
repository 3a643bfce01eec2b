# SPDX-License-Identifier: GPL-3.0-or-later
"""A Wayland session (weston with XWayland): the program goes to X11 by itself, where it can place
its window, and honours a Wayland platform asked for, saying once what that costs."""
import os
from harness import *  # noqa: F403

NOTICE = "Zorore_PTT: window placement and Always On Top are not available in this Wayland session"

class Weston(Display):
    """Headless weston with XWayland; its socket a path, as each program has its own runtime."""
    def start(self, workdir):
        run, log = os.path.join(workdir, "wayland"), os.path.join(workdir, "weston.log")
        os.makedirs(run, mode=0o700)
        spawn(["weston", "--backend=headless-backend.so", "--xwayland", "--socket=wl",
               "--width=1280", "--height=800", "--log=" + log], stdout=subprocess.DEVNULL,
              env=dict(os.environ, XDG_RUNTIME_DIR=run), stderr=subprocess.DEVNULL)
        x = wait_until(lambda: os.path.exists(log) and re.findall(
            r"xserver listening on display (:\d+)", open(log).read()), 20, "weston")[0]
        self.env = {"DISPLAY": x, "WAYLAND_DISPLAY": os.path.join(run, "wl")}
        os.environ.update(self.env)
        self.start_bus()

def on_x(i):
    """At the stored place, give or take the frame weston draws (it tells no frame extents)."""
    info = xrun("xwininfo", "-id", i.win())
    x, y = map(int, re.findall(r"Absolute upper-left [XY]:\s+(-?\d+)", info))
    expect(0 <= x - 200 <= 40 and 0 <= y - 150 <= 40 and NOTICE not in i.stderr(),
           "at %d, %d; stderr %r" % (x, y, i.stderr()))

def on_wayland(i):
    """No X window (X itself answering), and the notice once."""
    r = subprocess.run(["xdotool", "search", "--all", "--pid", str(i.proc.pid)],
                       capture_output=True, text=True, timeout=30)
    expect(r.returncode == 1 and not r.stdout + r.stderr and i.stderr().count(NOTICE) == 1,
           "X windows %r, stderr %r" % (r.stdout + r.stderr, i.stderr()))

PLACE = {"Position-Left": 3000, "Position-Top": 2250}
ROWS = [
    ("QT_QPA_PLATFORM unset: an X window of its own, at the stored place", {"settings": PLACE},
     [on_x]),
    ("QT_QPA_PLATFORM=wayland honoured: no X window, the notice once", {
        "settings": PLACE, "env": {"QT_QPA_PLATFORM": "wayland"}}, [on_wayland]),
]

if __name__ == "__main__":
    run(ROWS, display=Weston)
