# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program on a private display, driven like an operator. A test file is a table of rows
(title, {Instance arguments}, [steps, each a function of the Instance]); a row fails at its first
check that does not hold. Minute rows run in threads beside the others."""
import argparse, atexit, configparser, ctypes, itertools, os, re, shutil, socket, subprocess, sys
import tempfile, threading, time, traceback

APP = "Zorore_PTT"
KEYS = ("Position-Left", "Position-Top", "OnTop", "ComPort", "Height", "Timer")
TWIPS = 15  # a pixel at 96 DPI
FULL, COMPACT = 3090, 1635
# Designed places below the menu bar, in pixels: x, y, width, height.
TX, PORTS, TIMEOUTS, ONTOP = (16, 8, 81, 41), (24, 72, 65, 21), (24, 104, 65, 21), (88, 136, 17, 17)
NOT_AVAILABLE = "COM %d: not available. Check for correct Com Port."
FATAL = "Zorore_PTT met an error and has to close:"
MISSING = "/nonexistent/ttyX"
X = threading.RLock()  # one operator at a time on the display and the accessibility bus
ARGS = None
_emu = []  # the line emulation, loaded here to set terminals' input lines

class Failure(Exception):
    pass

def expect(cond, what):
    if not cond:
        raise Failure(what)

def wait_until(cond, timeout, what, also=Failure, every=0.05):
    """cond()'s first true value; a Failure (or `also`) in cond(), a busy program, is not yet."""
    deadline, last = time.monotonic() + timeout, ""
    while True:
        try:
            if got := cond():
                return got
        except (Failure, also) as e:
            last = " (%s)" % e
        if time.monotonic() > deadline:
            raise Failure("waited %.0f s for %s%s" % (
                timeout, what() if callable(what) else what, last))
        time.sleep(every)

_started = []

def spawn(argv, **kw):
    # Killed with the thread that started it, should the harness be killed.
    p = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + argv, **kw)
    _started.append(p)
    return p

def end(p):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()

atexit.register(lambda: [end(p) for p in reversed(_started)])

def xrun(*argv, check=True):
    r = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    expect(not check or not r.returncode, "%s: %s" % (" ".join(argv), r.stderr.strip()))
    return r.stdout

def _answer(argv):
    """Starts a server that writes one line to the fd in its argv ({fd}); returns the line."""
    r, w = os.pipe()
    p = spawn([a.format(fd=w) for a in argv], pass_fds=(w,), stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL)
    os.close(w)
    line = os.fdopen(r).readline().strip()
    expect(line, "%s did not start" % argv[0])
    return p, line

class Display:
    """Xvfb with openbox, and a session bus that starts the accessibility bus on demand. Another
    display environment is a subclass whose start() fills env (the program's share) likewise."""
    size = (1280, 1024)

    def start(self, workdir):
        self.xvfb, number = _answer(["Xvfb", "-displayfd", "{fd}", "-screen", "0",
                                     "%dx%dx24" % self.size, "-dpi", "96", "-nolisten", "tcp"])
        self.env = {"DISPLAY": ":" + number, "QT_QPA_PLATFORM": "xcb"}
        os.environ.update(self.env)
        self.wm = spawn(["openbox", "--sm-disable"], env=dict(os.environ, HOME=workdir),
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: "window id" in xrun("xprop", "-root", "_NET_SUPPORTING_WM_CHECK",
                                               check=False), 20, "openbox")
        self.start_bus()

    def start_bus(self):
        self.env["DBUS_SESSION_BUS_ADDRESS"] = _answer(
            ["dbus-daemon", "--session", "--nofork", "--print-address={fd}"])[1]
        os.environ.update(self.env)

def atspi():  # on first use: importing the harness needs no accessibility bindings
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
    return Atspi

def find(acc, role, name=None):
    """Accessible objects under acc with that role (and name), in tree order."""
    out, todo = [], [acc]
    while todo:
        a = todo.pop()
        try:
            if a.get_role_name() == role and name in (None, a.get_name()):
                out.append(a)
            todo += [a.get_child_at_index(i) for i in reversed(range(a.get_child_count()))]
        except Exception:  # gone while we looked
            pass
    return [a for a in out if a is not None]

def extents(acc):
    e = acc.get_extents(atspi().CoordType.SCREEN)
    return e.x, e.y, e.width, e.height

def click_at(x, y, w, h, dx=None):
    """A click amid a rectangle on the screen (or dx from its left), then the pointer away."""
    xrun("xdotool", "mousemove", str(x + (w // 2 if dx is None else dx)), str(y + h // 2),
         "click", "1", "mousemove", "0", "0")

class Event:
    """A line of the emulation's log: <ns> <pid> <fd> <path> <kind> DTR=<0|1> RTS=<0|1> [k=v]"""
    def __init__(self, line):
        f, self.line = line.split(), line
        self.t, self.pid, self.fd, self.path, self.kind = int(f[0]), int(f[1]), int(f[2]), *f[3:5]
        self.extra = dict(x.split("=", 1) for x in f[5:])
        self.dtr, self.rts = int(self.extra["DTR"]), int(self.extra["RTS"])
        if "GPIO" in self.extra:  # a stand-in sound interface: its GPIO3 stands for DTR
            self.dtr = int(self.extra["GPIO"][2] == "1")

    def __repr__(self): return self.line

class Pty:
    """An adapter; closing the master unplugs it. The slave stays open: its number goes to no other
    terminal while the file runs, which an unplugged program would take."""
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def unplug(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

class Session:
    """One display and one line log for all the rows of a test file."""
    def __init__(self, name, display):
        self.workdir = tempfile.mkdtemp(prefix="zptt-%s-" % name)
        self.log, self.state = (os.path.join(self.workdir, n) for n in ("lines.log", "lines"))
        os.makedirs(self.state)
        open(self.log, "w").close()
        self.display = display
        display.start(self.workdir)
        self.numbers = itertools.count(1)  # next() is atomic: minute rows start in threads

    def events(self, paths=None, since=0):
        lines = [line for line in open(self.log, errors="replace").read().splitlines()
                 if line and line[0] != "#"]
        return [e for e in map(Event, lines) if (paths is None or e.path in paths) and e.t >= since]

class Instance:
    """One program with its own settings, lock and control files, and its ports."""
    def __init__(self, s, ports=(1,), settings=None, missing=(), env=None, remote=False, hid={}):
        with socket.socket() as sock:  # a free port for remote keying
            sock.bind(("127.0.0.1", 0))
            self.port = remote and sock.getsockname()[1]  # remote: True, or an address
        self.address = remote if isinstance(remote, str) else "127.0.0.1"
        self.s, self.proc, self.runs, self.extra_env = s, None, 0, env or {}
        self.dir = os.path.join(s.workdir, "i%d" % next(s.numbers))
        self.conf = os.path.join(self.dir, "config", APP, APP + ".conf")
        self.control = os.path.join(self.dir, "control")
        os.makedirs(os.path.dirname(self.conf))
        for d in ("lock", "runtime"):
            os.makedirs(os.path.join(self.dir, d), mode=0o700)
        self.ptys = {n: Pty() for n in ports}
        # Ports keyed on GPIO3 of a stand-in sound interface with these ids, and two terminals
        # more with COM1's ids to plug in again.
        self.hid, self.spares = hid, [Pty() for _ in range(2 * (1 in hid))]
        self.hid_env = " ".join("%s=%s" % (p.path, ids) for p, ids in [
            (self.ptys[n], ids) for n, ids in hid.items()] + [(p, hid.get(1)) for p in self.spares])
        self.ports = {n: MISSING for n in missing} | {n: p.path for n, p in self.ptys.items()}
        self.write(settings)
        self.born = time.monotonic_ns()  # a pty's number comes back once it is closed

    def write(self, settings=None):
        """[Settings] from a dict, or any text, then the [Ports] map (and [Remote])."""
        if isinstance(settings, dict):
            settings = "[Settings]\n" + "".join("%s=%s\n" % kv for kv in settings.items())
        with open(self.conf, "w", encoding="utf-8") as f:
            f.write((settings or "") + "\n[Ports]\n" +
                    "".join("COM%d=%s\n" % kv for kv in sorted(self.ports.items())) +
                    "".join("COM%d-Line=GPIO3\n" % n for n in self.hid) +
                    ("[Remote]\nEnabled=1\nPort=%d\nAddress=%s\n" % (self.port, self.address)
                     if self.port else ""))

    def text(self):
        return open(self.conf, errors="replace").read() if os.path.isfile(self.conf) else ""

    def settings(self):
        c = configparser.ConfigParser(interpolation=None, strict=False)
        c.optionxform = str
        c.read_string(self.text())
        return dict(c["Settings"]) if "Settings" in c else {}

    def rules(self, *rules):
        """The emulation's fault rules, replaced at once."""
        with open(self.control + ".new", "w") as f:
            f.write("".join(r + "\n" for r in rules))
        os.replace(self.control + ".new", self.control)
        return time.monotonic_ns()

    def inputs(self, n, *lines):
        """COMn's input lines (CTS, DSR, DCD, RI) set through the line emulation, as a foot
        switch would; the time it was done."""
        if not _emu:  # the session's registers and log
            os.environ.update(UARTEMU_STATE=self.s.state, UARTEMU_LOG=self.s.log)
            _emu.append(ctypes.CDLL(os.path.abspath(ARGS.emu)))
        bits = sum({"CTS": 0x20, "DCD": 0x40, "RI": 0x80, "DSR": 0x100}[x] for x in lines)
        expect(_emu[0].uartemu_set_inputs(self.ports[n].encode(), bits) == 0, "COM%d: no pty" % n)
        return time.monotonic_ns()

    def stderr(self): return open(self.err, errors="replace").read()

    def env(self):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "XDG_", "LD_PRELOAD", "UARTEMU_", "WAYLAND"))}
        env.update(self.s.display.env, LD_PRELOAD=os.path.abspath(ARGS.emu),
                   UARTEMU_LOG=self.s.log, UARTEMU_STATE=self.s.state, UARTEMU_CONTROL=self.control,
                   XDG_CONFIG_HOME=self.dir + "/config", XDG_RUNTIME_DIR=self.dir + "/runtime",
                   HOME=self.dir, ZORORE_LOCK_DIR=os.path.join(self.dir, "lock"),
                   UARTEMU_HIDRAW=self.hid_env or None,
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.update(self.extra_env)
        return {k: v for k, v in env.items() if v is not None}

    def start(self, wait=True):
        self.runs += 1
        self.err = os.path.join(self.dir, "stderr-%d" % self.runs)
        with open(self.err, "wb") as err:
            self.proc = spawn([getattr(self, "bin", os.path.abspath(ARGS.bin))], env=self.env(), cwd=self.dir,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        if wait:  # the window, then the port open with its lines at rest, or a message box
            wait_until(lambda: self.alive() and self.find("check box", "TX"), 20, "the window")
            wait_until(lambda: self.boxes() or (lambda mine: mine and mine[-1].kind in (
                "TIOCMBIC", "TIOCMBIS", "report") and time.monotonic_ns() - mine[-1].t > 3e8)(
                self.own_events()), 10, "the port or a box")
        return self

    def own_events(self):
        """The program's line events, less the closes of copies it never opened (a watch's)."""
        mine = [e for e in self.s.events() if e.pid == self.proc.pid]
        opened = {e.fd for e in mine if e.kind == "open"}
        return [e for e in mine if e.kind != "close" or e.fd in opened]

    def alive(self):
        expect(self.proc.poll() is None, "the program ended (status %s)" % self.proc.returncode)
        return True

    def wait_exit(self, timeout=15):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program still runs %d s later" % timeout)

    def stop(self):
        if self.proc is not None:
            end(self.proc)

    def find(self, role, name=None):
        with X:
            desk = atspi().get_desktop(0)
            for a in (desk.get_child_at_index(i) for i in range(desk.get_child_count())):
                try:
                    if a is not None and a.get_process_id() == self.proc.pid:
                        return find(a, role, name)
                except Exception:  # a program that has just ended
                    pass
            return []

    def win(self):
        """The main window's X id (a loaded window manager may show it a moment late)."""
        def mains():
            ids = xrun("xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.proc.pid),
                       "--name", "^%s$" % APP, check=False).split()
            return [w for w in ids if "window id" not in xrun("xprop", "-id", w, "WM_TRANSIENT_FOR")]
        return wait_until(mains, 5, "the main window")[0]

    def origin(self):
        """The top left of the area below the menu bar, on the screen."""
        x, y, w, h = extents(wait_until(lambda: self.find("menu bar"), 5, "the menu bar")[0])
        return x, y + h

    def click(self, rect, dx=None):
        """A click at a designed place (its centre, or dx from its left)."""
        with X:
            ox, oy = self.origin()
            click_at(ox + rect[0], oy + rect[1], *rect[2:], dx)

    def choose(self, rect, item):
        """A list dropped down with a click on its arrow, and an item clicked."""
        with X:
            self.click(rect, rect[2] - 8)
            shown = lambda: [a for a in self.find("list item", item)  # noqa: E731
                             if a.get_state_set().contains(atspi().StateType.SHOWING)]
            click_at(*extents(wait_until(shown, 5, "the list")[0]))
            wait_until(lambda: self.find("combo box", item), 5, "the list to show " + item)

    def key(self, *keys):
        with X:
            xrun("xdotool", "windowactivate", "--sync", self.win(), "key", *keys)

    def menu(self, keys):
        """A menu command by its access keys: "sh" is Setup > Hide."""
        self.key("alt+" + keys[0], "sleep", "0.3", "key", keys[1])

    def boxes(self):
        """The texts of the message boxes shown."""
        return ["\n".join(label.get_name() for label in find(box, "label") if label.get_name())
                for box in self.find("alert") + self.find("dialog")]

    def box(self, timeout=10):
        return wait_until(lambda: self.alive() and self.boxes(), timeout, "a message box")[0]

    def ok(self):
        with X:
            click_at(*extents(self.find("push button", "OK")[0]))
        wait_until(lambda: not self.boxes(), 5, "the box to close")

    def tx_red(self):
        with X:
            ox, oy = self.origin()
            out = xrun("import", "-window", "root", "-crop", "8x20+%d+%d" % (ox + 20, oy + 18),
                       "-depth", "8", "txt:-")
        px = [tuple(map(int, m)) for m in re.findall(r"\((\d+),(\d+),(\d+)", out)]
        return sum(r - max(g, b) for r, g, b in px) / len(px) >= 80

    def texts(self, role): return [a.get_name() for a in self.find(role)]

    def frame(self):
        """The outer window on the screen: x, y, width, height."""
        w = self.win()
        info = xrun("xwininfo", "-id", w)
        x, y, cw, ch = (int(re.search(r + r":\s+(-?\d+)", info).group(1)) for r in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        left, right, top, bottom = map(int, re.findall(r"\d+", xrun(
            "xprop", "-id", w, "_NET_FRAME_EXTENTS").split("=")[1]))
        return x - left, y - top, cw + left + right, ch + top + bottom

    def on_top(self): return "_STATE_ABOVE" in xrun("xprop", "-id", self.win(), "_NET_WM_STATE")

    def events(self, n=None, since=0):
        paths = {self.ports[n]} if n else set(self.ports.values())
        return self.s.events(paths, max(since, self.born))

    def lines(self, n=1):
        """(open, DTR, RTS) of COMn's terminal as its last event left them: open while an fd opened
        is open; a copy's close ends it only from a process with none open (the guardian's)."""
        evs, live = self.events(n), set()
        for e in (e for e in evs if e.kind in ("open", "close")):
            if e.kind == "open":
                live.add((e.pid, e.fd))
            elif (e.pid, e.fd) in live:
                live.discard((e.pid, e.fd))
            elif e.pid not in {pid for pid, _ in live}:
                live.clear()
        return (bool(live), evs[-1].dtr, evs[-1].rts) if evs else (False, 0, 0)

    def wait_lines(self, want, n=1, timeout=5):
        wait_until(lambda: self.lines(n) == tuple(want), timeout,
                   lambda: "COM%d to be (open, DTR, RTS) %s; it is %s" % (n, want, self.lines(n)))

    def diagnostics(self):
        return "\n  ".join(["folder %s, status %s" % (self.dir, self.proc and self.proc.poll())] +
                           [e.line for e in self.events()[-12:]] + ["stderr:"] +
                           (self.stderr().splitlines()[-10:] if self.proc else []) + ["settings:"]
                           + self.text().splitlines())

class Client:
    """A client of Hamlib's network protocol on the program's port."""
    def __init__(self, i):
        self.sock = wait_until(lambda: socket.create_connection(("127.0.0.1", i.port), 5), 5,
                               "the program to listen", ConnectionRefusedError)

    def ask(self, line):
        self.sock.sendall(line.encode() + b"\n")
        return self.sock.recv(4096).decode().strip()

def tx(dtr, n=1):
    """Click TX; the line follows."""
    def step(i):
        i.click(TX)
        i.wait_lines((True, dtr, 0), n)
    return step

def look(keyed):
    return lambda i: wait_until(lambda: i.tx_red() == keyed, 5,
                                "TX to look %s" % ("keyed" if keyed else "idle"))

def box(text):
    """A message box with this text (or starting with it, for a text ending in ':'), then OK."""
    def step(i):
        got = i.box()
        expect(got == text or (text.endswith(":") and got.startswith(text)),
               "message %r, expected %r" % (got, text))
        i.ok()
    return step

def saved(**values):
    want = {k.replace("_", "-"): str(v) for k, v in values.items()}
    return lambda i: wait_until(lambda: all(i.settings().get(k) == v for k, v in want.items()), 5,
                                lambda: "%s in the file; it has %s" % (want, i.settings()))

def exits(status, within=None):
    """The end with this status (within that many seconds of the signal sent)."""
    def step(i):
        got, took = i.wait_exit(), (time.monotonic_ns() - getattr(i, "sent", 0)) / 1e9
        expect(got == status and (within is None or took < within),
               "status %s %.2f s after the signal, expected %s" % (got, took, status))
    return step

def on_gpio(rows, *starts):
    """The rows whose title starts so, again on a stand-in CM108's GPIO3 in place of DTR."""
    return [(t + " [CM108 GPIO3]", dict(s, hid={1: "0d8c:000c"}), st) for t, s, st in rows
            if t.startswith(starts)]

def menu(keys): return lambda i: i.menu(keys)
def lines(want, n=1): return lambda i: i.wait_lines(want, n)
def send(sig): return lambda i: setattr(i, "sent", time.monotonic_ns()) or i.proc.send_signal(sig)
def pause(seconds): return lambda i: time.sleep(seconds)
def check(cond, what): return lambda i: expect(cond(i), what)

def moved(i):
    """The window moved elsewhere; where it went is i.place."""
    before = i.frame()[:2]
    xrun("xdotool", "windowmove", "--sync", i.win(), "300", "200")
    i.place = wait_until(lambda: (lambda f: f[:2] if f[:2] != before else None)(i.frame()), 5,
                         "the window to move")

def ended_well(i):
    """After a way out while keyed: the place it was moved to saved with the other keys, both
    lines lowered before the port closed."""
    st, evs = i.settings(), i.events(1)
    expect(set(KEYS) <= set(st) and [st["Position-Left"], st["Position-Top"]] == [
        str(v * TWIPS) for v in i.place], "saved %s" % st)
    expect(evs[-1].kind == "close" and (evs[-1].dtr, evs[-1].rts) == (0, 0), "closed %s" % evs)
    keyed = max(k for k, e in enumerate(evs) if e.dtr)
    expect([e for e in evs[keyed:-1] if e.kind == "TIOCMBIC" and not e.dtr and not e.rts],
           "the lines lowered before the close: %s" % evs[keyed:])

def run(rows, minute_rows=(), display=Display):
    """Runs every row (minute rows alongside the others) and exits 0 when all held."""
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--emu", required=True)
    ap.add_argument("--only", default="", help="rows whose title holds this text")
    ARGS = ap.parse_args()
    s = Session(os.path.splitext(os.path.basename(sys.argv[0]))[0], display())
    rows, minute_rows = ([r for r in t if ARGS.only in r[0]] for t in (rows, minute_rows))
    failed = []

    def one(row):
        (title, setup, steps), t0 = row, time.monotonic()
        setup = dict(setup)  # "before": steps before the start; "start": False, none
        before, start = setup.pop("before", []), setup.pop("start", True)
        i = Instance(s, **setup)
        try:
            for step in before + ([lambda i: i.start()] if start else []) + steps:
                step(i)
            print("ok   %s (%.1f s)" % (title, time.monotonic() - t0), flush=True)
        except Exception as e:
            failed.append(title)
            why = str(e) if isinstance(e, Failure) else traceback.format_exc()
            print("FAIL %s: %s\n%s" % (title, why, i.diagnostics()), flush=True)
        finally:
            i.stop()
            for p in i.ptys.values():
                p.unplug()

    threads = [threading.Thread(target=one, args=(row,)) for row in minute_rows]
    for t in threads:
        t.start()
    for row in rows:
        one(row)
    for t in threads:
        t.join()
    print("%d passed, %d failed" % (len(rows) + len(minute_rows) - len(failed), len(failed)))
    if not failed:
        shutil.rmtree(s.workdir, ignore_errors=True)
    sys.exit(1 if failed else 0)
