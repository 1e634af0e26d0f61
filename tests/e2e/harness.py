"""Runs the whole application as a user would and acts on it from outside (xdotool).

`AppRun` makes a private application folder (links to the built one, with the handset
stand-in in its dll/), a working folder with config.ini, and a recording web browser; it
starts launcher.py (or, given `executable`, a one-file bundle) as a child process, rings the
simulated handset, reads the pages the application opened, finds its windows, clicks the tray
and chooses menu entries.

    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as run:
        run.start()
        tray = run.wait_tray()
        run.ring("622334455")
        run.wait_pages(1)
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0

Only the standard library and X11 command-line tools; nothing here imports the application.
"""
import ctypes
import ctypes.util
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from emulators.handset import control
from tests import screens
from tests.conftest import APP_DIR, ARTIFACTS, config_text

ROOT = Path(__file__).resolve().parents[2]
PYTHON = ROOT / ".venv" / "bin" / "python"
if not PYTHON.exists():
    PYTHON = Path(sys.executable)

SPEC = ROOT / "callcompanion.spec"

# The tray is a small borderless window of the toolkit with this fixed title.
TRAY_TITLE = "Window Title"
# Command entries of the tray menu, in order (separators are skipped by the keyboard).
TRAY_MENU = ["Buscar", "Ultimo Telefono", "Llamadas recientes", "Configurar", "Aspecto", "Acerca de", "Apagar"]

# A web browser that writes "<epoch seconds> <url>" to the log named in its own file.
BROWSER_SCRIPT = """#!/bin/sh
printf '%s %s\\n' "$(date +%s.%N)" "$1" >> "{log}"
"""


def build_bundle(dist, work, app_dir=APP_DIR, dlls=()):
    """Builds the one-file bundle of `app_dir` as `make bundle` does, with `dlls` added to its dll/
    (the handset stand-in, for tests); returns the executable's path."""
    env = dict(os.environ, APP_DIR=str(app_dir), BUNDLE_DLLS=os.pathsep.join(map(str, dlls)))
    done = subprocess.run([str(PYTHON), "-m", "PyInstaller", "--noconfirm", "--log-level", "WARN",
                           "--distpath", str(dist), "--workpath", str(work), str(SPEC)],
                          env=env, capture_output=True, text=True, timeout=900)
    if done.returncode != 0:
        raise RuntimeError(f"building the bundle failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}")
    return Path(dist) / "callcompanion"


def xdotool(*args, check=True, timeout=20):
    done = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise RuntimeError(f"xdotool {' '.join(map(str, args))} failed: {done.stderr.strip()}")
    return done.stdout


def wait_until(condition, timeout, interval=0.05, what="condition"):
    """condition() until it gives something true; that value, or AssertionError at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def _close_output():
    os.close(1)
    os.close(2)


class _X11:
    """Just enough Xlib (through ctypes) to ask a window to close the way a window manager's
    close button does: a WM_DELETE_WINDOW message. Xvfb runs no window manager."""

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        pass

    Event._fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
    CLIENT_MESSAGE = 33

    def __init__(self):
        name = ctypes.util.find_library("X11")
        if not name:
            raise RuntimeError("libX11 not found")
        lib = ctypes.cdll.LoadLibrary(name)
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def delete_window(self, wid):
        lib = self.lib
        display = lib.XOpenDisplay(None)
        if not display:
            raise RuntimeError("cannot open the X display")
        try:
            event = self.Event()
            message = event.xclient
            message.type = self.CLIENT_MESSAGE
            message.window = int(wid)
            message.message_type = lib.XInternAtom(display, b"WM_PROTOCOLS", False)
            message.format = 32
            message.data[0] = lib.XInternAtom(display, b"WM_DELETE_WINDOW", False)
            message.data[1] = 0  # CurrentTime
            lib.XSendEvent(display, int(wid), False, 0, ctypes.byref(event))
            lib.XFlush(display)
        finally:
            lib.XCloseDisplay(display)


class AppRun:
    """One run of launcher.py in folders of its own under `root`."""

    def __init__(self, root, holded=None, handset_dll=None, directory_url=None, app_dir=APP_DIR,
                 config=None, env=None, executable=None):
        self.root = Path(root)
        self.executable = Path(executable) if executable is not None else None
        self.source = Path(app_dir)
        self.app = self.root / "app"
        self.work = self.root / "work"
        self.browser_log = self.root / "browser.log"
        self.stdout_path = self.root / "stdout.txt"
        self.stderr_path = self.root / "stderr.txt"
        self.holded = holded
        self.process = None
        self._files = []
        self.known_windows = set()
        self.tray = None
        if self.executable is None:
            self._make_app_folder(handset_dll)
        else:
            # A bundle brings its own dll/, unpacked afresh at each start: the handset stand-in
            # in it is told where its state file is (HANDSET_STATE, set below).
            self.state_path = self.root / "handset.state"
        self.work.mkdir(parents=True, exist_ok=True)
        self.write_config(**(config or {}))
        self.env = self._environment(directory_url, env or {})

    # -- folders ----------------------------------------------------------------------------

    def _make_app_folder(self, handset_dll):
        """Links to everything of the built application except dll/, which gets the handset
        stand-in; the launcher is copied so the folder it finds itself in is this one."""
        if not (self.source / "launcher.py").exists():
            raise RuntimeError(f"no built application at {self.source}: run make build")
        self.app.mkdir(parents=True)
        for entry in self.source.iterdir():
            if entry.name in ("dll", "launcher.py", "__pycache__"):
                continue
            (self.app / entry.name).symlink_to(entry)
        shutil.copy2(self.source / "launcher.py", self.app / "launcher.py")
        (self.app / "dll").mkdir()
        if handset_dll is not None:
            shutil.copy2(handset_dll, self.app / "dll" / control.DLL_NAME)
        self.state_path = control.state_path_for(self.app / "dll")

    def write_config(self, api_key=None, **options):
        options.setdefault("appandroid", "Si")
        options.setdefault("idioma", "es")
        if api_key is None:
            api_key = self.holded.key if self.holded is not None else "0" * 32
        (self.work / "config.ini").write_text(config_text(api_key=api_key, **options), encoding="utf-8")

    def _environment(self, directory_url, extra):
        browser = self.root / "browser.sh"
        browser.write_text(BROWSER_SCRIPT.format(log=self.browser_log))
        browser.chmod(0o755)
        env = dict(os.environ)
        env.pop(control.STATE_ENV, None)
        env.update(BROWSER=str(browser), PYTHONUNBUFFERED="1")
        # The single-instance lock (and a bundle's unpacked files) stay in this run's folders.
        runtime = self.root / "runtime"
        runtime.mkdir(mode=0o700, exist_ok=True)
        env["XDG_RUNTIME_DIR"] = str(runtime)
        if self.executable is not None:
            env[control.STATE_ENV] = str(self.state_path)
            env["TMPDIR"] = str(runtime)
        if self.holded is not None:
            env.update(HOLDED_API_URL=self.holded.api_url, HOLDED_APP_URL=self.holded.app_url)
        if directory_url:
            env["DIRECTORY_URL"] = directory_url
        env.update(extra)
        return env

    # -- the process --------------------------------------------------------------------------

    def start(self, *args, wrapper=None, without_output=False):
        """Starts the application; returns the time (epoch seconds) just before it started.
        `wrapper`, a Python script, is run instead with the launcher's path and `args` after it
        (for measurements that need hooks inside the process). `without_output` starts it with
        standard output and error closed, as a windowed Windows bundle runs."""
        if not os.environ.get("DISPLAY"):
            raise RuntimeError("the application needs a display: run under xvfb-run")
        self.known_windows = set(self._visible_toplevels())
        self._close_files()
        out = open(self.stdout_path, "w")
        err = open(self.stderr_path, "w")
        self._files = [out, err]
        started = time.time()
        command = self.command(*args)
        if wrapper is not None:
            command.insert(1, str(wrapper))
        self.process = subprocess.Popen(command,
                                        cwd=self.work, env=self.env, stdout=out, stderr=err,
                                        stdin=subprocess.DEVNULL, start_new_session=True,
                                        preexec_fn=_close_output if without_output else None)
        return started

    def command(self, *args):
        """The command line that starts the application with `args`."""
        if self.executable is not None:
            return [str(self.executable), *map(str, args)]
        return [str(PYTHON), str(self.app / "launcher.py"), *map(str, args)]

    def running(self):
        return self.process is not None and self.process.poll() is None

    def wait_exit(self, timeout=20):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the application did not end within {timeout} s;\n{self.report()}") from None

    def stop(self):
        """Ends the process if it still runs (TERM, then KILL)."""
        if self.process is not None and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(5)
            except (subprocess.TimeoutExpired, ProcessLookupError):
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.process.wait(5)
        self._close_files()

    def kill(self):
        """Ends the application at once, as a crash would (SIGKILL to its whole process group)."""
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(5)

    def _close_files(self):
        for handle in self._files:
            handle.close()
        self._files = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def output(self):
        return self.stdout_path.read_text() if self.stdout_path.exists() else ""

    def errors(self):
        return self.stderr_path.read_text() if self.stderr_path.exists() else ""

    def output_lines(self):
        return self.output().splitlines()

    def wait_output(self, line, timeout=10, count=1):
        """Waits until standard output holds `line` (a whole line) `count` times."""
        wait_until(lambda: self.output_lines().count(line) >= count, timeout,
                   what=f"{line!r} on standard output ({self.output_lines()!r})")

    def report(self):
        return f"--- stdout ---\n{self.output()[-3000:]}\n--- stderr ---\n{self.errors()[-3000:]}"

    # -- the handset and the browser ------------------------------------------------------------

    def ring(self, number):
        """A call from `number`; returns the time it started ringing."""
        when = time.time()
        control.ring(self.state_path, number)
        return when

    def hangup(self):
        control.hangup(self.state_path)

    def unreachable(self):
        control.unreachable(self.state_path)

    def pages(self):
        """[(epoch seconds, url)] in the order the application opened them."""
        if not self.browser_log.exists():
            return []
        found = []
        for line in self.browser_log.read_text().splitlines():
            when, _, url = line.partition(" ")
            found.append((float(when), url))
        return found

    def urls(self):
        return [url for _, url in self.pages()]

    def wait_pages(self, count, timeout=10):
        """Waits until `count` pages in all have been opened; returns them all."""
        return wait_until(lambda: len(self.pages()) >= count and self.pages(), timeout,
                          what=f"{count} opened pages (have {self.urls()!r})")

    def contact_page(self, contact_id):
        return self.holded.app_url + "contacts/" + contact_id

    # -- windows ------------------------------------------------------------------------------------

    def _visible_toplevels(self):
        """Visible toolkit windows: Tk names each toplevel's instance "!toplevel…"."""
        return xdotool("search", "--onlyvisible", "--classname", "^!toplevel", check=False).split()

    def windows(self, name):
        """Visible windows whose title matches the regular expression `name`."""
        return xdotool("search", "--onlyvisible", "--name", name, check=False).split()

    def wait_window(self, name, timeout=15):
        return wait_until(lambda: (self.windows(name) or [None])[-1], timeout,
                          what=f"a window named {name!r}")

    def wait_gone(self, wid, timeout=15):
        wait_until(lambda: wid not in self._visible_toplevels(), timeout, what=f"window {wid} to close")

    def wait_tray(self, timeout=15):
        """The tray icon's window, once it is on the screen."""
        self.tray = self.wait_window(f"^{re.escape(TRAY_TITLE)}$", timeout)
        return self.tray

    def wait_new_window(self, timeout=15, ignore=()):
        """A toolkit window that appeared after the start and is not the tray (untitled windows
        such as the search window are found this way)."""
        skip = set(self.known_windows) | set(self.windows(f"^{re.escape(TRAY_TITLE)}$")) | set(ignore)
        return wait_until(lambda: ([w for w in self._visible_toplevels() if w not in skip] or [None])[-1],
                          timeout, what="a new window")

    def geometry(self, wid):
        text = xdotool("getwindowgeometry", "--shell", wid)
        values = dict(line.split("=", 1) for line in text.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click_window(self, wid, button=1):
        x, y, width, height = self.geometry(wid)
        xdotool("mousemove", "--sync", x + width // 2, y + height // 2)
        time.sleep(0.1)
        xdotool("click", button)

    def click_tray(self, button=1):
        self.click_window(self.tray or self.wait_tray(), button)

    def choose_menu_entry(self, position, entries=len(TRAY_MENU)):
        """Opens the tray menu with a right click and chooses its `position`-th command entry
        with the keyboard (the posted menu holds the keyboard grab)."""
        # The posted menu takes the keyboard only while the application holds the input focus
        # (a window that had it may have gone away since).
        self.focus(self.tray or self.wait_tray())
        self.click_tray(button=3)
        time.sleep(0.5)
        # The menu may open under the pointer and light up the entry there; away from it, no
        # entry is active and the keys below count from the top.
        xdotool("mousemove", "--sync", 0, 0)
        time.sleep(0.3)
        # The first Down selects the first entry; Up from there wraps round to the last.
        keys = ["Down", "Up"] if position == entries - 1 else ["Down"] * (position + 1)
        xdotool("key", "--delay", 80, *keys, "Return")

    def choose_icon_menu_entry(self, entry):
        """Right-clicks the application's icon in a notification area (tests.fixtures.tray_host)
        and chooses the command `entry` of the menu it shows, by keyboard, with the pointer on the
        menu's first line (the status line, not a choice)."""
        from tests.fixtures.tray_host import docked_windows
        wid = wait_until(lambda: [w for w, name in docked_windows() if name.startswith("Holded: ")], 15,
                         what="the icon in the notification area")[-1]
        x, y, width, height = self.geometry(wid)
        xdotool("mousemove", "--sync", x + width // 2, y + height // 2)
        xdotool("click", 3)
        menu = wait_until(lambda: xdotool("search", "--onlyvisible", "--class", "^Menu$", check=False).split(), 5,
                          what="the icon's menu")[-1]
        x, y, _, _ = self.geometry(menu)
        xdotool("mousemove", "--sync", x + 5, y + 5)
        time.sleep(0.2)
        xdotool("key", "--delay", 80, *["Down"] * (TRAY_MENU.index(entry) + 1), "Return")

    def focus(self, wid):
        xdotool("windowfocus", "--sync", wid)
        time.sleep(0.2)

    def type(self, text):
        xdotool("type", "--delay", 40, text)

    def key(self, *keys):
        xdotool("key", "--delay", 60, *keys)

    def close_window(self, wid):
        """Closes a window as its title bar's close button would."""
        _X11().delete_window(wid)

    def screenshot(self, name):
        return screens.screenshot(os.path.join(ARTIFACTS, name))
