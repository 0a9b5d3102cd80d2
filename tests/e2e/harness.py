"""Drives the real kalu from outside: the stand-in site, the process, its X
window, screenshots and the site's request log.

Python 3 standard library only; the X side goes through xdotool, xwininfo,
xprop and ImageMagick's import, and libX11 (through ctypes) for the one thing
those tools cannot do without a window manager: a polite close request.

A scenario script builds on it like this:

    def scenario(run):
        site = run.start_site()          # switches as arguments: "--missing-banner"
        kalu = run.start_kalu()
        window = run.wait_main_window()
        ...
        run.check(condition, "what it means", "what was seen instead")

    sys.exit(harness.main("startup", scenario))

A check that fails is counted and the scenario goes on; raising Failed ends it.
"""

import argparse
import ctypes
import ctypes.util
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests

CAPTION_PREFIX = ("ポルカミーナ応援隊_番組表閲覧プログラム" + "\u3000" + "ＫＡLU．ｅｘｅ"
                  + "  " + "v1.04" + " " * 81)
MAIN_WINDOW_PATTERN = "^ポルカミーナ応援隊"
GREEN = (0, 128, 0)

# The channel grid: client (8, 0), 26 x 13 cells, items down columns of five.
GRID_LEFT, GRID_TOP, GRID_COLUMN, GRID_ROW, GRID_ROWS = 8, 0, 26, 13, 5
CHANNELS = ([str(n) for n in range(401, 404)] + [str(n) for n in range(405, 439)]
            + [str(n) for n in range(440, 478)] + [str(n) for n in range(489, 497)] + ["498"])


class Failed(Exception):
    """A step the scenario cannot go on without."""


class Skipped(Exception):
    pass


def say(text):
    print(text, flush=True)


def run_tool(*args, timeout=10):
    done = subprocess.run(args, capture_output=True, timeout=timeout)
    if done.returncode != 0:
        raise Failed(f"{args[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace').strip()}")
    return done.stdout


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server binds
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def wait_until(predicate, timeout, interval=0.2):
    """Polls predicate until it returns something true; returns that, or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


# --- the stand-in site ---

class StandIn:
    def __init__(self, python, server, port, log, args=()):
        if not port_is_free(port):
            raise Failed(f"port {port} on 127.0.0.1 is taken: stop whatever listens there first")
        self.port = port
        self.log = Path(log)
        self.stderr = open(self.log.with_suffix(".stderr"), "wb")
        self.proc = subprocess.Popen([python, str(server), "--port", str(port), "--log", str(self.log), *args],
                                     stdout=subprocess.PIPE, stderr=self.stderr)
        ready, _, _ = select.select([self.proc.stdout], [], [], 15)
        line = self.proc.stdout.readline().decode().strip() if ready else ""
        if line != str(port):
            self.stop()
            raise Failed(f"the stand-in site did not come up on port {port}: "
                         + self.log.with_suffix(".stderr").read_text(errors="replace")[-500:])

    def entries(self):
        """The request log so far, control requests left out."""
        if not self.log.exists():
            return []
        out = []
        for line in self.log.read_text(encoding="utf-8").splitlines():
            if line.strip():
                entry = json.loads(line)
                if not entry.get("control"):
                    out.append(entry)
        return out

    def paths(self):
        return [e["path"] for e in self.entries()]

    def count(self, path):
        return self.paths().count(path)

    def wait_for(self, path, timeout, times=1):
        return wait_until(lambda: self.count(path) >= times, timeout)

    def control(self, **switches):
        """Changes the server's switches while it runs (see the site's README)."""
        import urllib.request
        query = "&".join(f"{k.replace('_', '-')}={v}" for k, v in switches.items())
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/__control?{query}", timeout=5) as r:
            return json.loads(r.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()


# --- the program ---

class Kalu:
    def __init__(self, exe, workdir, output):
        env = dict(os.environ)
        env["QT_QPA_PLATFORM"] = "xcb"
        if os.geteuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"  # the engine refuses root otherwise
        self.workdir = Path(workdir)
        self.output = Path(output)
        self.started = time.monotonic()
        with open(self.output, "wb") as out:
            # Its own session, so that the engine's helper processes can be
            # found (and, on failure, stopped) as one group.
            self.proc = subprocess.Popen([str(exe)], cwd=self.workdir, env=env, stdout=out,
                                         stderr=subprocess.STDOUT, start_new_session=True)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        """Exit code, or None when it is still running after timeout seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def group_gone(self, timeout=5):
        def gone():
            try:
                os.killpg(self.proc.pid, 0)
            except ProcessLookupError:
                return True
            return False
        return bool(wait_until(gone, timeout))

    def files(self):
        return sorted(p.name for p in self.workdir.iterdir())

    def tail(self, chars=3000):
        try:
            return self.output.read_text(errors="replace")[-chars:]
        except OSError:
            return ""

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        if self.wait_exit(5) is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()


# --- X windows ---

def window_manager_running():
    out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True)
    return "window id" in out.stdout


def find_windows(pattern):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern], capture_output=True)
    return [int(w) for w in out.stdout.split()]


class Window:
    def __init__(self, wid):
        self.wid = wid

    def geometry(self):
        """(x, y, width, height) of the client area, in screen pixels."""
        text = run_tool("xwininfo", "-id", str(self.wid)).decode(errors="replace")
        def field(name):
            return int(re.search(rf"^\s*{re.escape(name)}:\s*(-?\d+)", text, re.M).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height"))

    def caption(self):
        """_NET_WM_NAME, decoded from its UTF-8 bytes (xprop prints them as numbers)."""
        text = run_tool("xprop", "-id", str(self.wid), "-f", "_NET_WM_NAME", "8c", " $0+", "_NET_WM_NAME").decode()
        numbers = text.split(None, 1)[1] if " " in text.strip() else ""
        data = bytes(int(n) for n in re.findall(r"\d+", numbers))
        return data.decode("utf-8")

    def screen_point(self, client_x, client_y):
        x, y, _, _ = self.geometry()
        return x + client_x, y + client_y

    def click(self, client_x, client_y, button=1):
        x, y = self.screen_point(client_x, client_y)
        run_tool("xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button))

    def close_request(self):
        """What a window manager's close box sends: WM_PROTOCOLS / WM_DELETE_WINDOW.
        (xdotool windowclose destroys the window instead, and wmctrl needs a WM.)"""
        send_delete_window(self.wid)


def grid_cell_centre(channel):
    i = CHANNELS.index(channel)
    return (GRID_LEFT + (i // GRID_ROWS) * GRID_COLUMN + GRID_COLUMN // 2,
            GRID_TOP + (i % GRID_ROWS) * GRID_ROW + GRID_ROW // 2)


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def send_delete_window(wid):
    x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        raise Failed("cannot open the X display")
    try:
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = wid
        event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not x11.XSendEvent(display, wid, 0, 0, ctypes.byref(event)):
            raise Failed("XSendEvent refused the close request")
        x11.XFlush(display)
    finally:
        x11.XCloseDisplay(display)


# --- screenshots ---

class Shot:
    """The whole screen as RGB bytes, read from a binary PPM."""

    def __init__(self, path):
        self.path = Path(path)
        data = self.path.read_bytes()
        tokens, pos = [], 0
        while len(tokens) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos)
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            tokens.append(data[pos:end])
            pos = end
        if tokens[0] != b"P6" or tokens[3] != b"255":
            raise Failed(f"{path}: not an 8-bit binary PPM")
        self.width, self.height = int(tokens[1]), int(tokens[2])
        self.pixels = data[pos + 1:pos + 1 + self.width * self.height * 3]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def region(self, x0, y0, x1, y1):
        """Pixels of the rectangle [x0, x1) x [y0, y1), row by row, as 3-byte values."""
        for y in range(max(0, y0), min(self.height, y1)):
            row = self.pixels[(y * self.width + max(0, x0)) * 3:(y * self.width + min(self.width, x1)) * 3]
            for i in range(0, len(row), 3):
                yield row[i:i + 3]

    def colours(self, x0, y0, x1, y1):
        return len(set(self.region(x0, y0, x1, y1)))

    def differing(self, other, x0, y0, x1, y1):
        return sum(a != b for a, b in zip(self.region(x0, y0, x1, y1), other.region(x0, y0, x1, y1)))


def rendered(rect, min_colours, unlike=None, min_changed=0):
    """A predicate for Run.wait_for_shot: the screen rectangle (x0, y0, x1, y1)
    holds at least min_colours colours, differs from the shot `unlike` in at
    least min_changed pixels, and looks the same as at the previous poll (the
    browser's PDF viewer draws in several passes)."""
    previous = [None]

    def settled(shot):
        now = b"".join(shot.region(*rect))
        same = now == previous[0]
        previous[0] = now
        if not same or shot.colours(*rect) < min_colours:
            return False
        return unlike is None or shot.differing(unlike, *rect) >= min_changed
    return settled


def screenshot(path):
    """The root window through ImageMagick's import; path ends in .ppm (or any format import knows)."""
    run_tool("import", "-window", "root", "-depth", "8", str(path), timeout=30)
    return Shot(path) if str(path).endswith(".ppm") else None


# --- one run of a scenario ---

class Run:
    def __init__(self, name, kalu, python, server, port, keep):
        self.name = name
        self.kalu_exe = Path(kalu).resolve()
        self.python = python
        self.server = Path(server).resolve()
        self.port = port
        self.keep = keep
        self.failures = []
        self.checks = 0
        self.failed_checks = 0
        self.scratch = Path(tempfile.mkdtemp(prefix=f"kalu-e2e-{name}-"))
        self.workdir = self.scratch / "work"
        self.workdir.mkdir()
        self.site = None
        self.kalu = None
        self.shots = 0
        self.skipped = False

    @classmethod
    def from_args(cls, name, argv=None):
        p = argparse.ArgumentParser(description=f"end-to-end scenario '{name}'")
        p.add_argument("--kalu", required=True, help="the kalu executable built against the loopback sites")
        p.add_argument("--server", required=True, help="the stand-in site's server script")
        p.add_argument("--python", default=sys.executable, help="Python that runs the server")
        p.add_argument("--port", type=int, default=int(os.environ.get("KALU_TEST_PORT", "18401")))
        p.add_argument("--keep", action="store_true", help="keep the scratch folder (screenshots, logs)")
        a = p.parse_args(argv)
        return cls(name, a.kalu, a.python, a.server, a.port, a.keep)

    def execute(self, scenario):
        """Runs scenario(run); returns the exit code for CTest (0, 1 or SKIP)."""
        say(f"== scenario {self.name}: scratch {self.scratch}")
        try:
            self._preflight()
            scenario(self)
        except Skipped as skipped:
            say(f"SKIP: {skipped}")
            self.skipped = True
        except Failed as failed:
            self.failures.append(str(failed))
            say(f"FAIL: {failed}")
        except Exception:  # a fault of the scenario itself: report it like a failure
            self.failures.append("the scenario raised")
            traceback.print_exc()
        finally:
            if self.kalu and self.kalu.running():
                say("-- kalu still running; stopping it")
                self.kalu.stop()
            if self.site:
                self.site.stop()
            if self.failures:
                self.keep = True
                if self.kalu:
                    say("-- kalu's output (tail):\n" + self.kalu.tail())
                if self.site:
                    say("-- request log:\n" + "\n".join(self.site.paths()))
            self._cleanup()
        return self.result()

    def _preflight(self):
        if not os.environ.get("DISPLAY"):
            raise Skipped("no DISPLAY: run under xvfb-run -a (scripts/test does)")
        for tool in ("xdotool", "xwininfo", "xprop", "import"):
            if not shutil.which(tool):
                raise Skipped(f"{tool} is not installed (scripts/setup installs it)")
        if not self.kalu_exe.is_file():
            raise Failed(f"{self.kalu_exe} does not exist: build the target kalu-testsites")
        if not self.server.is_file():
            raise Failed(f"{self.server} does not exist: build the target stand_in_site")

    def _cleanup(self):
        if self.keep:
            say(f"-- kept {self.scratch}")
        else:
            shutil.rmtree(self.scratch, ignore_errors=True)

    def result(self):
        if self.skipped:
            return SKIP
        say(f"== {self.name}: {self.checks - self.failed_checks} of {self.checks} checks passed"
            + ("" if len(self.failures) == self.failed_checks else ", then the scenario stopped"))
        return 1 if self.failures else 0

    # steps

    def start_site(self, *switches):
        self.site = StandIn(self.python, self.server, self.port, self.scratch / "site.log", switches)
        say(f"-- stand-in site on 127.0.0.1:{self.port}")
        return self.site

    def start_kalu(self):
        self.kalu = Kalu(self.kalu_exe, self.workdir, self.scratch / "kalu.out")
        say(f"-- kalu started (pid {self.kalu.proc.pid}) in {self.workdir}")
        return self.kalu

    def wait_main_window(self, timeout=45):
        def found():
            if not self.kalu.running():
                raise Failed(f"kalu ended (code {self.kalu.proc.returncode}) before its main window came up")
            windows = find_windows(MAIN_WINDOW_PATTERN)
            return windows[0] if windows else None
        wid = wait_until(found, timeout, 0.25)
        if not wid:
            raise Failed(f"no main window within {timeout} s")
        say(f"-- main window 0x{wid:x} after {time.monotonic() - self.kalu.started:.1f} s")
        return Window(wid)

    def screenshot(self, label):
        self.shots += 1
        return screenshot(self.scratch / f"{self.shots:02d}-{label}.ppm")

    def wait_for_shot(self, label, settled, timeout=20):
        """Screenshots until settled(shot) holds, then keeps one more as label.
        Returns (shot, whether it settled)."""
        poll = self.scratch / "polling.ppm"
        ok = wait_until(lambda: settled(screenshot(poll)), timeout, 0.5)
        poll.unlink(missing_ok=True)
        return self.screenshot(label), bool(ok)

    def check(self, condition, what, detail=""):
        self.checks += 1
        if condition:
            say(f"ok   {what}")
        else:
            self.failed_checks += 1
            self.failures.append(what)
            say(f"FAIL {what}" + (f": {detail}" if detail else ""))
        return condition


def main(name, scenario, argv=None):
    """The scenario script's entry: parses the command line, runs scenario(run)."""
    return Run.from_args(name, argv).execute(scenario)
