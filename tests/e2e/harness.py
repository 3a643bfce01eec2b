"""End-to-end harness for Zorore_PTT.

Runs the real program on a private Xvfb display under openbox, with the uartemu library
preloaded so that pseudo-terminals behave like UARTs and every modem-line change is logged.
Only the Python standard library is used; the X side goes through the usual command-line
tools (xdotool, xprop, xwininfo, ImageMagick's import).

A test is a function taking a Session; run(test) parses the command line, sets everything
up, calls the test and tears everything down again, also when the test fails.
"""

import argparse
import atexit
import ctypes
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

APP_NAME = "Zorore_PTT"
TWIPS_PER_PX = 15  # at 96 DPI

# Designed layout, relative to the top-left of the area below the menu bar.
CLIENT_SIZE = (117, 160)
TX_RECT = (16, 8, 81, 41)
COMBO1_RECT = (24, 72, 65, 21)
COMBO2_RECT = (24, 104, 65, 21)
LABEL2_RECT = (8, 136, 81, 17)
CHKONTOP_RECT = (88, 136, 17, 17)

KEYED_RED = (192, 0, 0)
SETTING_KEYS = ("Position-Left", "Position-Top", "OnTop", "ComPort", "Height", "Timer")
HEIGHT_FULL = 3090
HEIGHT_HIDDEN = 1635


class Failure(Exception):
    """A check did not hold; the message says what was expected and what was seen."""


# --------------------------------------------------------------------------- processes

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # If the harness itself is killed (CTest time-out), nothing it started may linger.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


_started = []  # every process we started, ended in reverse order at exit


def _spawn(argv, **kw):
    p = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kw)
    _started.append(p)
    return p


def _end(p, grace=3.0):
    if p.poll() is None:
        try:
            p.terminate()
            p.wait(grace)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(5)
        except ProcessLookupError:
            pass


@atexit.register
def _end_all():
    while _started:
        _end(_started.pop())


def wait_until(cond, timeout, what, interval=0.02):
    """Poll cond() until it returns something true; return that, or raise Failure."""
    deadline = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


# --------------------------------------------------------------------------- X display


class Display:
    """A private Xvfb server with openbox managing it."""

    def __init__(self, workdir, width=1280, height=1024):
        self.workdir = workdir
        self.focus_new = True
        self.size = (width, height)
        self.name = None
        self.env = None
        self._xvfb = None
        self._wm = None

    def start(self):
        cookie = secrets.token_hex(16)
        server_auth = os.path.join(self.workdir, "xvfb.auth")
        client_auth = os.path.join(self.workdir, "Xauthority")
        # The server accepts every cookie in its file whatever the display number, so the
        # number Xvfb picks needs to be known only for the clients' file.
        subprocess.run(["xauth", "-q", "-f", server_auth, "add", ":0", ".", cookie], check=True,
                       stderr=subprocess.DEVNULL)
        r, w = os.pipe()
        log = open(os.path.join(self.workdir, "xvfb.log"), "wb")
        self._xvfb = _spawn(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % self.size,
             "-dpi", "96", "-nolisten", "tcp", "-noreset", "-auth", server_auth],
            pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        os.close(w)
        buf = b""
        deadline = time.monotonic() + 20
        os.set_blocking(r, False)
        while not buf.endswith(b"\n"):
            if self._xvfb.poll() is not None or time.monotonic() > deadline:
                os.close(r)
                raise Failure("Xvfb did not start: " + _tail(log.name))
            try:
                chunk = os.read(r, 32)
            except BlockingIOError:
                time.sleep(0.02)
                continue
            if not chunk:
                break
            buf += chunk
        os.close(r)
        self.name = ":" + buf.decode().strip()
        subprocess.run(["xauth", "-q", "-f", client_auth, "add", self.name, ".", cookie],
                       check=True, stderr=subprocess.DEVNULL)
        self.env = {"DISPLAY": self.name, "XAUTHORITY": client_auth}
        os.environ.update(self.env)  # for the selection reader, which talks X itself
        self._start_wm()

    def _start_wm(self):
        home = os.path.join(self.workdir, "wm-home")
        os.makedirs(home, exist_ok=True)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"), **self.env)
        log = open(os.path.join(self.workdir, "openbox.log"), "wb")
        argv = ["openbox", "--sm-disable"]
        if not self.focus_new:
            # Lets a test look at the window before it is first activated.
            with open("/etc/xdg/openbox/rc.xml", encoding="utf-8") as f:
                rc = f.read()
            rc = rc.replace("<focusNew>yes</focusNew>", "<focusNew>no</focusNew>", 1)
            rc_path = os.path.join(self.workdir, "openbox-rc.xml")
            with open(rc_path, "w", encoding="utf-8") as f:
                f.write(rc)
            argv += ["--config-file", rc_path]
        self._wm = _spawn(argv, env=env, stdin=subprocess.DEVNULL,
                          stdout=log, stderr=subprocess.STDOUT)

        def wm_ready():
            if self._wm.poll() is not None:
                raise Failure("openbox exited: " + _tail(log.name))
            return "window id" in self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                           check=False)

        wait_until(wm_ready, 20, "openbox to manage the display", 0.05)

    def run(self, argv, check=True, timeout=15, binary=False):
        env = dict(os.environ, **self.env)
        r = subprocess.run(argv, env=env, capture_output=True, timeout=timeout)
        if check and r.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(argv), r.returncode,
                                                   r.stderr.decode(errors="replace").strip()))
        return r.stdout if binary else r.stdout.decode(errors="replace")

    def stop(self):
        for p in (self._wm, self._xvfb):
            if p is not None:
                _end(p)
                if p in _started:
                    _started.remove(p)


# --------------------------------------------------------------------------- pixels


class Image:
    """An RGB picture; pixel(x, y) -> (r, g, b)."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    @classmethod
    def from_ppm(cls, blob):
        # P6 header: magic, width, height, maxval, each separated by whitespace, '#' comments.
        fields, pos = [], 0
        while len(fields) < 4:
            while blob[pos:pos + 1].isspace():
                pos += 1
            if blob[pos:pos + 1] == b"#":
                pos = blob.index(b"\n", pos) + 1
                continue
            start = pos
            while not blob[pos:pos + 1].isspace():
                pos += 1
            fields.append(blob[start:pos])
        if fields[0] != b"P6":
            raise Failure("screenshot is not a P6 picture")
        w, h, maxval = int(fields[1]), int(fields[2]), int(fields[3])
        pos += 1  # the single whitespace byte after maxval
        if maxval > 255:  # 16 bits a sample, big-endian: keep the high byte
            raw = blob[pos:pos + w * h * 6]
            data = bytes(raw[i] for i in range(0, len(raw), 2))
        else:
            data = blob[pos:pos + w * h * 3]
        if len(data) != w * h * 3:
            raise Failure("screenshot truncated")
        return cls(w, h, data)

    def pixel(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise Failure("pixel %d,%d outside the %dx%d picture" % (x, y, self.width,
                                                                      self.height))
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def bbox(self, match, region=None):
        """Bounding box (x, y, w, h) of the pixels for which match(rgb) holds, or None."""
        x0, y0, w, h = region or (0, 0, self.width, self.height)
        xs, ys = [], []
        for y in range(max(0, y0), min(self.height, y0 + h)):
            for x in range(max(0, x0), min(self.width, x0 + w)):
                if match(self.pixel(x, y)):
                    xs.append(x)
                    ys.append(y)
        if not xs:
            return None
        return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)

    def count(self, match, region):
        x0, y0, w, h = region
        return sum(1 for y in range(y0, y0 + h) for x in range(x0, x0 + w)
                   if match(self.pixel(x, y)))

    def distinct(self, region):
        x0, y0, w, h = region
        return {self.pixel(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)}

    def save_ppm(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height))
            f.write(self.data)


def near(a, b, tol=24):
    return all(abs(int(p) - int(q)) <= tol for p, q in zip(a, b))


# --------------------------------------------------------------------------- X selections


class _XSelectionEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("requestor", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("target", ctypes.c_ulong),
                ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


class _XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xselection", _XSelectionEvent),
                ("pad", ctypes.c_long * 24)]


_SELECTION_NOTIFY = 31
_X11 = None


def _x11():
    global _X11
    if _X11 is None:
        import ctypes.util
        X = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        vp, ul, ci = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
        X.XOpenDisplay.restype, X.XOpenDisplay.argtypes = vp, [ctypes.c_char_p]
        X.XDefaultRootWindow.restype, X.XDefaultRootWindow.argtypes = ul, [vp]
        X.XCreateSimpleWindow.restype = ul
        X.XCreateSimpleWindow.argtypes = [vp, ul, ci, ci, ctypes.c_uint, ctypes.c_uint,
                                          ctypes.c_uint, ul, ul]
        X.XInternAtom.restype, X.XInternAtom.argtypes = ul, [vp, ctypes.c_char_p, ci]
        X.XConvertSelection.argtypes = [vp, ul, ul, ul, ul, ul]
        X.XFlush.argtypes = X.XPending.argtypes = X.XCloseDisplay.argtypes = [vp]
        X.XNextEvent.argtypes = [vp, ctypes.POINTER(_XEvent)]
        X.XGetWindowProperty.argtypes = [
            vp, ul, ul, ctypes.c_long, ctypes.c_long, ci, ul, ctypes.POINTER(ul),
            ctypes.POINTER(ci), ctypes.POINTER(ul), ctypes.POINTER(ul), ctypes.POINTER(vp)]
        X.XFree.argtypes = [vp]
        _X11 = X
    return _X11


def read_selection(display, selection="PRIMARY", timeout=3.0):
    """The text the owner of an X selection hands out as UTF8_STRING, or None."""
    X = _x11()
    dpy = X.XOpenDisplay(display.encode())
    if not dpy:
        raise Failure("cannot connect to display %s" % display)
    try:
        win = X.XCreateSimpleWindow(dpy, X.XDefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0)
        sel = X.XInternAtom(dpy, selection.encode(), 0)
        utf8 = X.XInternAtom(dpy, b"UTF8_STRING", 0)
        prop = X.XInternAtom(dpy, b"ZPTT_E2E_SELECTION", 0)
        X.XConvertSelection(dpy, sel, utf8, prop, win, 0)
        X.XFlush(dpy)
        ev = _XEvent()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not X.XPending(dpy):
                time.sleep(0.01)
                continue
            X.XNextEvent(dpy, ctypes.byref(ev))
            if ev.type != _SELECTION_NOTIFY:
                continue
            if ev.xselection.property == 0:
                return None
            kind, fmt = ctypes.c_ulong(), ctypes.c_int()
            n, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
            X.XGetWindowProperty(dpy, win, prop, 0, 1 << 20, 1, 0, ctypes.byref(kind),
                                 ctypes.byref(fmt), ctypes.byref(n), ctypes.byref(after),
                                 ctypes.byref(data))
            if not data:
                return None
            raw = ctypes.string_at(data, n.value * (fmt.value // 8))
            X.XFree(data)
            return raw.decode("utf-8", errors="replace")
        return None
    finally:
        X.XCloseDisplay(dpy)


# --------------------------------------------------------------------------- line log


class LineEvent:
    __slots__ = ("t_ns", "pid", "fd", "path", "event", "dtr", "rts", "extra", "line")

    def __init__(self, line):
        parts = line.split()
        if len(parts) < 7:
            raise ValueError("short line")
        self.line = line
        self.t_ns = int(parts[0])
        self.pid = int(parts[1])
        self.fd = int(parts[2])
        self.path = parts[3]
        self.event = parts[4]
        fields = dict(p.split("=", 1) for p in parts[5:] if "=" in p)
        self.dtr = int(fields.pop("DTR"))
        self.rts = int(fields.pop("RTS"))
        self.extra = fields

    def __repr__(self):
        return self.line


class LineLog:
    """The uartemu event log: one line per modem-line event."""

    def __init__(self, path):
        self.path = path
        self.bad = []

    def events(self, path=None, since_ns=None):
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out, self.bad = [], []
        for line in lines:
            if not line.strip() or line.startswith("#"):
                continue
            try:
                ev = LineEvent(line)
            except (ValueError, KeyError):
                self.bad.append(line)
                continue
            if path is not None and ev.path != path:
                continue
            if since_ns is not None and ev.t_ns < since_ns:
                continue
            out.append(ev)
        return out

    def tail(self, n=20):
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()[-n:]
        except FileNotFoundError:
            return ["(no line log)"]


def line_state(events):
    """(open, dtr, rts) after the given events of one device."""
    if not events:
        return (False, 0, 0)
    last = events[-1]
    return (last.event != "close", last.dtr, last.rts)


def opens_and_closes(events):
    return [e.event for e in events if e.event in ("open", "close")]


# --------------------------------------------------------------------------- settings


def read_ini(path):
    """{section: {key: value}} keeping the file's order; None when there is no file."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    sections, cur = {}, None
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line[0] in ";#":
            continue
        if line.startswith("[") and line.endswith("]"):
            cur = sections.setdefault(line[1:-1], {})
            continue
        if "=" in line and cur is not None:
            k, v = line.split("=", 1)
            cur[k.strip()] = v.strip()
    return sections


def write_ini(path, sections):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        for name, kv in sections.items():
            f.write("[%s]\n" % name)
            for k, v in kv.items():
                f.write("%s=%s\n" % (k, v))
            f.write("\n")


# --------------------------------------------------------------------------- session


class Pty:
    """A pseudo-terminal standing in for a serial adapter. Closing the master unplugs it."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def unplug(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None


class Session:
    """One test's world: display, pseudo-terminals, settings and the program."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.workdir = tempfile.mkdtemp(prefix="zptt-e2e-%s-" % name)
        self.display = Display(self.workdir)
        self.config_home = os.path.join(self.workdir, "config")
        self.settings_path = os.path.join(self.config_home, APP_NAME, APP_NAME + ".conf")
        self.log = LineLog(os.path.join(self.workdir, "lines.log"))
        self.ptys = {}
        self.proc = None
        self.runs = 0
        self.win = None
        self.menubar_h = None
        self.checks = 0

    # ---- reporting

    def ok(self, what):
        self.checks += 1
        print("  ok   %s" % what, flush=True)

    def check(self, cond, what, detail=""):
        if not cond:
            raise Failure(what + (": " + detail if detail else ""))
        self.ok(what)

    def step(self, what):
        print("--- %s" % what, flush=True)

    def diagnostics(self):
        out = ["work folder: " + self.workdir, "last line-log entries:"]
        out += ["    " + line for line in self.log.tail()]
        if self.log.bad:
            out.append("unparsed line-log entries: %r" % self.log.bad[:5])
        if self.proc is not None:
            out.append("program status: %s" % self.proc.poll())
            for stream in ("stdout", "stderr"):
                out.append("program %s (tail):" % stream)
                out += ["    " + line for line in _tail(self._out(stream), 25).splitlines()]
        settings = self.settings_text()
        out.append("settings file:")
        out += ["    " + line for line in (settings or "(none)").splitlines()]
        return "\n".join(out)

    def settings_text(self):
        try:
            with open(self.settings_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return None

    # ---- set-up

    def start_display(self):
        self.display.start()
        self.step("display %s with openbox" % self.display.name)

    def add_pty(self, port):
        pty = Pty()
        self.ptys[port] = pty
        return pty

    def write_settings(self, ports, settings=None):
        """ports: {n: pty-or-path}. Every port the test may touch must be listed."""
        sections = {}
        if settings:
            sections["Settings"] = dict(settings)
        sections["Ports"] = {"COM%d" % n: (p.path if isinstance(p, Pty) else p)
                             for n, p in sorted(ports.items())}
        write_ini(self.settings_path, sections)

    def settings(self):
        return read_ini(self.settings_path) or {}

    def _out(self, stream):
        return os.path.join(self.workdir, "program-%d.%s" % (self.runs, stream))

    def _program_env(self):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "WAYLAND", "XDG_", "LD_PRELOAD", "UARTEMU_"))
               and k not in ("DISPLAY", "XAUTHORITY", "SESSION_MANAGER", "DESKTOP_SESSION")}
        runtime = os.path.join(self.workdir, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        preload = [os.path.abspath(self.args.emu)]
        asan = _sanitizer_runtime(self.args.bin)
        if asan:
            # The sanitizer's runtime has to come first among the loaded libraries.
            preload.insert(0, asan)
        env.update(self.display.env)
        env.update({
            "LD_PRELOAD": ":".join(preload),
            "UARTEMU_LOG": self.log.path,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_RUNTIME_DIR": runtime,
            "HOME": self.workdir,
            "QT_QPA_PLATFORM": "xcb",
            "QT_ACCESSIBILITY": "0",
        })
        return env

    def start_program(self, wait_ready=True):
        settings = self.settings()
        if "Ports" not in settings or "COM1" not in settings["Ports"]:
            raise Failure("harness misuse: COM1 must be mapped before starting the program")
        self.runs += 1
        self.win = None
        self.menubar_h = None
        self.start_ns = time.monotonic_ns()
        self.proc = _spawn([os.path.abspath(self.args.bin)], env=self._program_env(),
                           cwd=self.workdir, stdin=subprocess.DEVNULL,
                           stdout=open(self._out("stdout"), "wb"),
                           stderr=open(self._out("stderr"), "wb"))
        self.step("program started (pid %d, run %d)" % (self.proc.pid, self.runs))
        if wait_ready:
            self.find_main_window()
        return self.proc

    # ---- windows

    def xrun(self, *argv, check=True, binary=False):
        return self.display.run(list(argv), check=check, binary=binary)

    def visible_named(self, name=APP_NAME):
        out = self.xrun("xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(name),
                        check=False)
        return [int(w) for w in out.split()]

    def is_transient(self, win):
        return "window id" in self.xrun("xprop", "-id", str(win), "WM_TRANSIENT_FOR",
                                        check=False)

    def window_pid(self, win):
        m = re.search(r"= (\d+)", self.xrun("xprop", "-id", str(win), "_NET_WM_PID",
                                             check=False))
        return int(m.group(1)) if m else None

    def alive(self):
        if self.proc.poll() is not None:
            raise Failure("program exited early with status %s" % self.proc.returncode)
        return True

    def find_main_window(self, timeout=20):
        def found():
            self.alive()
            mains = [w for w in self.visible_named() if not self.is_transient(w)]
            return mains[0] if mains else None

        self.win = wait_until(found, timeout, "the main window '%s'" % APP_NAME, 0.05)
        return self.win

    def dialogs(self, name=APP_NAME):
        """Visible windows with the given caption other than the main window."""
        return [w for w in self.visible_named(name) if w != self.win]

    def wait_dialog(self, timeout=10):
        return wait_until(lambda: self.alive() and self.dialogs(), timeout,
                          "a message box '%s'" % APP_NAME, 0.02)[0]

    def wait_no_dialog(self, timeout=10):
        wait_until(lambda: not self.dialogs(), timeout, "the message box to go away")

    def message_text(self, box, attempts=3):
        """The text of a message box. Its label lets the mouse select text, and a selection
        made with the mouse becomes X's PRIMARY selection: a drag from the first character to
        past the end of the last line selects it all, which is then read back."""
        img = self.screenshot(box)
        dark = lambda rgb: max(rgb) < 110
        # Text sits above the button row, right of the icon if there is one.
        x0, y0, w, h = 4, 4, img.width - 8, max(1, img.height - 48)
        cols = _runs([any(dark(img.pixel(x, y)) for y in range(y0, y0 + h))
                      for x in range(x0, x0 + w)], gap=10)
        if not cols:
            self.save_screenshot("box", img)
            raise Failure("no text found in the message box")
        left, right = x0 + cols[-1][0], x0 + cols[-1][1]
        rows = _runs([any(dark(img.pixel(x, y)) for x in range(left, right + 1))
                      for y in range(y0, y0 + h)], gap=0)
        first, last = rows[0], rows[-1]
        start = (left + 1, y0 + (first[0] + first[1]) // 2)
        end = (right + 4, y0 + (last[0] + last[1]) // 2)
        for _ in range(attempts):
            self.xrun("xdotool", "mousemove", "--window", str(box), str(start[0]), str(start[1]),
                      "mousedown", "1", "mousemove", "--window", str(box), str(end[0]),
                      str(end[1]), "sleep", "0.1", "mouseup", "1")
            text = read_selection(self.display.name, "PRIMARY")
            if text:
                return text
            time.sleep(0.2)
        self.save_screenshot("box", img)
        raise Failure("could not select the message box's text")

    def title(self, win):
        return self.xrun("xdotool", "getwindowname", str(win)).rstrip("\n")

    def geometry(self, win=None):
        """(x, y, w, h) of the window itself (the program's client window) on the screen."""
        out = self.xrun("xwininfo", "-id", str(win or self.win))
        get = lambda label: int(re.search(label + r":\s+(-?\d+)", out).group(1))
        return (get("Absolute upper-left X"), get("Absolute upper-left Y"), get("Width"),
                get("Height"))

    def frame_extents(self, win=None):
        out = self.xrun("xprop", "-id", str(win or self.win), "_NET_FRAME_EXTENTS")
        m = re.search(r"=\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+)", out)
        if not m:
            raise Failure("no _NET_FRAME_EXTENTS on the window: " + out.strip())
        return tuple(int(v) for v in m.groups())  # left, right, top, bottom

    def frame_geometry(self, win=None):
        x, y, w, h = self.geometry(win)
        left, right, top, bottom = self.frame_extents(win)
        return (x - left, y - top, w + left + right, h + top + bottom)

    def net_wm_state(self, win=None):
        out = self.xrun("xprop", "-id", str(win or self.win), "_NET_WM_STATE")
        return set(re.findall(r"_NET_WM_STATE_\w+", out))

    def activate(self, win=None):
        self.xrun("xdotool", "windowactivate", "--sync", str(win or self.win))

    def wait_active(self, timeout=10):
        """Wait until the window manager reports the main window as the active one."""
        def active():
            out = self.xrun("xdotool", "getactivewindow", check=False).strip()
            return out == str(self.win)

        wait_until(active, timeout, "the main window to become active", 0.05)

    def screenshot(self, win=None):
        blob = self.xrun("import", "-silent", "-window", str(win or self.win), "ppm:-",
                         binary=True)
        return Image.from_ppm(blob)

    def save_screenshot(self, tag, img=None):
        img = img or self.screenshot()
        path = os.path.join(self.workdir, "shot-%s.ppm" % tag)
        img.save_ppm(path)
        return path

    # ---- the area below the menu bar

    def menubar_height(self):
        """Height of the menu bar, from where the idle TX button's top edge is drawn."""
        if self.menubar_h is None:
            self.menubar_h = find_menubar_height(self.screenshot())
        return self.menubar_h

    def client_point(self, x, y):
        return (x, y + self.menubar_height())

    def client_pixel(self, img, x, y):
        cx, cy = self.client_point(x, y)
        return img.pixel(cx, cy)

    def client_rect(self, rect):
        x, y, w, h = rect
        return (x, y + self.menubar_height(), w, h)

    def tx_colour(self, img=None):
        """Mean colour of a strip inside the TX button, left of its caption."""
        img = img or self.screenshot()
        x, y, w, h = self.client_rect(TX_RECT)
        return mean_colour(img, (x + 3, y + 5, 10, h - 10))

    def tx_keyed_rect(self, img):
        """The keyed button's extent in client coordinates: the red fill plus its outline."""
        box = img.bbox(lambda rgb: redness(rgb) >= 60)
        if box is None:
            return None
        x, y, w, h = box
        return (x - 1, y - 1 - self.menubar_height(), w + 2, h + 2)

    def wait_tx_look(self, keyed, timeout=5):
        want = looks_keyed if keyed else looks_face
        seen = []

        def ok():
            seen.append(self.tx_colour())
            return want(seen[-1])

        try:
            wait_until(ok, timeout, "the TX button to look %s" % ("keyed" if keyed else "idle"),
                       0.1)
        except Failure as e:
            self.save_screenshot("tx")
            raise Failure("%s (last colour %s)" % (e, seen[-1] if seen else None))
        return seen[-1]

    def mouse_away(self):
        # Off every window, so no hover highlight changes the colours under test.
        self.xrun("xdotool", "mousemove", "0", "0")

    def click_window(self, x, y, button=1):
        self.xrun("xdotool", "mousemove", "--window", str(self.win), str(x), str(y),
                  "click", str(button))

    def click_client(self, x, y, button=1):
        cx, cy = self.client_point(x, y)
        self.click_window(cx, cy, button)

    def click_centre(self, rect):
        x, y, w, h = rect
        self.click_client(x + w // 2, y + h // 2)

    def new_windows(self, before, timeout=5):
        """Wait for visible windows that were not in `before` (e.g. a drop-down list)."""
        def fresh():
            self.alive()
            return [w for w in self.visible_any() if w not in before]

        return wait_until(fresh, timeout, "a new window to appear", 0.05)

    def visible_any(self):
        out = self.xrun("xdotool", "search", "--onlyvisible", "--name", ".*", check=False)
        return [int(w) for w in out.split()]

    def open_list(self, rect):
        """Drop a list down with a click on its arrow; returns the list's window."""
        before = set(self.visible_any())
        x, y, w, h = rect
        self.click_client(x + w - 8, y + h // 2)
        popup = self.new_windows(before)[0]
        time.sleep(0.3)  # the drop-down may still be sliding open
        return popup

    def choose_from_list(self, popup, index, count):
        """Click item `index` of a list of `count` rows shown in `popup`."""
        x, y, w, h = self.geometry(popup)
        row = (h - 2) / count
        self.xrun("xdotool", "mousemove", "--window", str(popup), str(w // 2),
                  str(int(1 + row * (index + 0.5))), "click", "1")
        wait_until(lambda: popup not in self.visible_any(), 5, "the list to close")

    def field_text(self, rect):
        """Text shown in a list's edit field: a triple click selects it all, and a mouse
        selection becomes X's PRIMARY selection."""
        x, y, w, h = rect
        cx, cy = self.client_point(x + 12, y + h // 2)
        self.xrun("xdotool", "mousemove", "--window", str(self.win), str(cx), str(cy), "click",
                  "--repeat", "3", "--delay", "40", "1")
        return read_selection(self.display.name, "PRIMARY")

    def key(self, *keys, delay_ms=60):
        """Keys to whatever has the keyboard (the active window or an open popup)."""
        self.xrun("xdotool", "key", "--delay", str(delay_ms), *keys)

    def key_to_window(self, *keys):
        self.xrun("xdotool", "key", "--window", str(self.win), *keys)

    def menu(self, menu_key, item_key):
        """A menu command by keyboard, e.g. menu('s', 'h') for Setup > Hide."""
        self.activate()
        self.key("alt+" + menu_key)
        time.sleep(0.3)
        self.key(item_key)

    def wait_frame_height(self, px, timeout=5):
        def reached():
            return self.frame_geometry()[3] == px

        try:
            wait_until(reached, timeout, "the outer height to become %d px" % px, 0.05)
        except Failure as e:
            raise Failure("%s (it is %d)" % (e, self.frame_geometry()[3]))

    def view_contents(self, img=None):
        """(TX drawn, number of non-background pixels below the TX button's row,
        pixels drawn in the two lists' places)."""
        img = img or self.screenshot()
        bg = img.pixel(img.width - 1, img.height - 1)
        mb = self.menubar_height()
        x, y, w, h = TX_RECT
        tx_drawn = not near(img.pixel(x + w // 2, mb + y), bg, 6)
        below_top = mb + y + h + 2
        below = img.count(lambda rgb: not near(rgb, bg, 6),
                          (0, below_top, img.width, max(0, img.height - below_top)))
        lists = 0
        for rect in (COMBO1_RECT, COMBO2_RECT):
            rx, ry, rw, rh = self.client_rect(rect)
            if ry + rh <= img.height:
                lists += img.count(lambda rgb: not near(rgb, bg, 6), (rx, ry, rw, rh))
        return tx_drawn, below, lists

    def menu_by_mouse(self, title_index, item_index):
        """Click the title_index-th menu title on the menu bar, then the item_index-th item
        of the menu that drops down. Titles and items are found by where text is drawn."""
        img = self.screenshot()
        mb = self.menubar_height()
        titles = _runs([any(max(img.pixel(x, y)) < 110 for y in range(1, mb - 2))
                        for x in range(img.width)], gap=6)
        if len(titles) <= title_index:
            self.save_screenshot("menubar", img)
            raise Failure("menu bar shows %d titles, wanted #%d" % (len(titles), title_index))
        x0, x1 = titles[title_index]
        before = set(self.visible_any())
        self.click_window((x0 + x1) // 2, mb // 2)
        popup = self.new_windows(before)[0]
        time.sleep(0.3)
        pimg = self.screenshot(popup)
        items = _runs([any(max(pimg.pixel(x, y)) < 110 for x in range(pimg.width))
                       for y in range(pimg.height)], gap=4)
        if len(items) <= item_index:
            self.save_screenshot("menu", pimg)
            raise Failure("menu shows %d items, wanted #%d" % (len(items), item_index))
        y0, y1 = items[item_index]
        self.xrun("xdotool", "mousemove", "--window", str(popup), str(pimg.width // 2),
                  str((y0 + y1) // 2), "click", "1")

    # ---- the program's lines

    def events(self, path=None, since_ns=None):
        if isinstance(path, Pty):
            path = path.path
        return self.log.events(path, since_ns)

    def wait_line(self, pty, want, timeout=5, since_ns=None):
        """Wait until the device's latest state is want=(open, dtr, rts)."""
        def reached():
            st = line_state(self.events(pty, since_ns))
            return st == tuple(want)

        wait_until(reached, timeout, "%s to be open=%s DTR=%d RTS=%d (now %s)" % (
            pty.path, want[0], want[1], want[2], line_state(self.events(pty))))
        return self.events(pty, since_ns)

    def wait_event(self, pty, pred, timeout=5, since_ns=None, what="a line event"):
        def found():
            for e in self.events(pty, since_ns):
                if pred(e):
                    return e
            return None

        return wait_until(found, timeout, what + " on " + pty.path)

    def wait_idle(self, pty, quiet=0.3, timeout=10):
        """Wait until the device's log has had no new event for `quiet` seconds."""
        last = [len(self.events(pty)), time.monotonic()]

        def settled():
            n = len(self.events(pty))
            if n != last[0]:
                last[0], last[1] = n, time.monotonic()
            return time.monotonic() - last[1] >= quiet

        wait_until(settled, timeout, "the lines of %s to settle" % pty.path)

    # ---- start-up as the user sees it

    def wait_started(self, pty, timeout=20):
        """Main window shown, activated and the port open with both lines low."""
        if self.win is None:
            self.find_main_window()
        self.wait_line(pty, (True, 0, 0), timeout)
        self.wait_idle(pty)

    def start_on_com1(self):
        """COM1 mapped to a fresh pseudo-terminal, the program started on it; returns the pty."""
        pty = self.add_pty(1)
        self.write_settings({1: pty})
        self.start_program()
        self.wait_started(pty)
        return pty

    def click_tx(self, pty, dtr):
        """Click TX, wait for DTR to follow; returns the line event that changed it."""
        since = time.monotonic_ns()
        self.click_centre(TX_RECT)
        self.wait_line(pty, (True, dtr, 0), since_ns=since)
        self.mouse_away()
        return [e for e in self.events(pty, since_ns=since) if e.dtr == dtr][0]

    # ---- ending

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait_exit(self, timeout=15):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("program still running %.0f s later" % timeout)

    def sanitizer_reports(self):
        """Sanitizer findings in any run's error output."""
        found = []
        for run in range(1, self.runs + 1):
            path = os.path.join(self.workdir, "program-%d.stderr" % run)
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    for line in f:
                        if ("ERROR: AddressSanitizer" in line or "ERROR: LeakSanitizer" in line
                                or "runtime error:" in line):
                            found.append("run %d: %s" % (run, line.strip()))
            except FileNotFoundError:
                pass
        return found

    def stop_program(self):
        if self.proc is not None and self.proc.poll() is None:
            _end(self.proc, grace=10)

    def close(self, success):
        self.stop_program()
        self.display.stop()
        for pty in self.ptys.values():
            pty.unplug()
        if success and not self.args.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)


def find_menubar_height(img):
    """Fusion closes the menu bar with a one-pixel line across the whole width: the first row
    that is one colour from edge to edge but not the window's colour."""
    background = img.pixel(img.width - 1, img.height - 1)
    for y in range(8, min(img.height, 60)):
        row = img.distinct((0, y, img.width, 1))
        if len(row) == 1 and not near(next(iter(row)), background, 6):
            return y + 1
    raise Failure("cannot find the bottom line of the menu bar")


def redness(rgb):
    r, g, b = rgb
    return r - max(g, b)


def mean_colour(img, region):
    x0, y0, w, h = region
    px = [img.pixel(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)]
    return tuple(round(sum(p[i] for p in px) / len(px)) for i in range(3))


def looks_keyed(rgb):
    # Fusion shades the palette colour into a gradient, so the fill is never exactly 192,0,0;
    # what stays is a face far redder than it is green or blue.
    return redness(rgb) >= 80 and abs(rgb[1] - rgb[2]) <= 12


def looks_face(rgb):
    return max(rgb) - min(rgb) <= 8 and min(rgb) >= 200


def _runs(flags, gap):
    """[(first, last)] of the stretches of true flags, bridging gaps shorter than `gap`."""
    runs, start, last = [], None, None
    for i, f in enumerate(flags):
        if not f:
            continue
        if start is not None and i - last > gap:
            runs.append((start, last))
            start = None
        if start is None:
            start = i
        last = i
    if start is not None:
        runs.append((start, last))
    return runs


def _sanitizer_runtime(binary):
    try:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    except OSError:
        return None
    m = re.search(r"libasan\.so\S*\s+=>\s+(\S+)", out)
    return m.group(1) if m else None


def _tail(path, n=15):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "\n".join(f.read().splitlines()[-n:])
    except OSError:
        return ""


# --------------------------------------------------------------------------- entry


def parse_args(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True, help="the zorore-ptt program")
    ap.add_argument("--emu", required=True, help="the uartemu preload library")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--limit", type=float, default=85.0, help="seconds before giving up")
    return ap.parse_args(argv)


def run(test, limit=None, focus_new=True):
    """Run test(session) with a fresh display; exit 0 when every check held. With
    focus_new=False the window manager leaves new windows unfocused."""
    args = parse_args()
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    for what, path in (("program", args.bin), ("preload library", args.emu)):
        if not os.path.exists(path):
            print("FAIL %s: %s %s does not exist" % (name, what, path))
            sys.exit(1)

    def out_of_time(signum, frame):
        raise Failure("test ran out of time (%.0f s)" % (limit or args.limit))

    signal.signal(signal.SIGALRM, out_of_time)
    signal.setitimer(signal.ITIMER_REAL, limit or args.limit)
    s = Session(args, name)
    s.display.focus_new = focus_new
    success = False
    t0 = time.monotonic()
    try:
        s.start_display()
        test(s)
        s.stop_program()
        reports = s.sanitizer_reports()
        if reports:
            raise Failure("sanitizer reports:\n    " + "\n    ".join(reports[:10]))
        success = True
    except Failure as e:
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("FAIL %s: %s" % (name, e), flush=True)
        print(s.diagnostics(), flush=True)
    except Exception:
        signal.setitimer(signal.ITIMER_REAL, 0)
        import traceback
        traceback.print_exc()
        print(s.diagnostics(), flush=True)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        s.close(success)
        _end_all()
    if success:
        print("PASS %s: %d checks in %.1f s" % (name, s.checks, time.monotonic() - t0))
    sys.exit(0 if success else 1)
