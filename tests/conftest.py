"""Shared fixtures: the application folder, the scripted toolkit double, a working folder with a
chosen config.ini, a recording browser, and the real toolkit under Xvfb with a driver that acts
on its windows as a person would (xdotool)."""
import builtins
import os
import re
import subprocess
import sys
import threading
import time
import webbrowser

import pytest

from tests import screens
from tests.toolkit_double import make_toolkit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.environ.get("APP_DIR") or os.path.join(ROOT, "build", "app")
ARTIFACTS = os.path.join(ROOT, "tests", "artifacts")
if APP_DIR not in sys.path:
    sys.path.insert(0, APP_DIR)

pytest_plugins = ["tests.fixtures.holded", "tests.fixtures.directory", "tests.fixtures.handset",
                  "tests.fixtures.tray_host", "tests.fixtures.window_manager"]


@pytest.fixture(scope="session")
def app_dir():
    if not os.path.isdir(APP_DIR):
        pytest.fail(f"no application folder at {APP_DIR}: run `make build` first")
    return APP_DIR


@pytest.fixture(autouse=True)
def _restore_translation():
    """conf installs `_` into builtins; every test starts and ends with the one it found."""
    had = hasattr(builtins, "_")
    saved = getattr(builtins, "_", None)
    yield
    if had:
        builtins._ = saved
    elif hasattr(builtins, "_"):
        del builtins._


@pytest.fixture
def sg(monkeypatch):
    """The scripted toolkit double, in place of FreeSimpleGUI (and PySimpleGUI) for the modules."""
    double = make_toolkit()
    monkeypatch.setitem(sys.modules, "FreeSimpleGUI", double)
    monkeypatch.setitem(sys.modules, "PySimpleGUI", double)
    yield double
    left = [step.event for step in double.steps]
    assert not left, f"scripted events never read: {left!r}"


class WorkDir:
    def __init__(self, path):
        self.path = path

    @property
    def config(self):
        return self.path / "config.ini"

    def write_config(self, text, encoding="utf-8"):
        self.config.write_text(text, encoding=encoding)

    def read_config(self, encoding="utf-8"):
        return self.config.read_text(encoding=encoding)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A temporary working folder, the current directory of the test: config.ini lives here."""
    monkeypatch.chdir(tmp_path)
    return WorkDir(tmp_path)


def config_text(api_key="", idioma="es", autocierre="60", tema="DarkBlue16", appandroid="No", camposlibres="",
                pais="ES", indice_horas="8", dias_registro="90", registrar_llamadas="No"):
    """A complete config.ini as the application writes it."""
    return (f"[api]\napi_key = {api_key}\ncamposlibres = {camposlibres}\n\n"
            f"[windows]\nidioma = {idioma}\nautocierre_tiempo = {autocierre}\ntema = {tema}\n"
            f"appandroid = {appandroid}\npais = {pais}\nindice_horas = {indice_horas}\n"
            f"dias_registro = {dias_registro}\nregistrar_llamadas = {registrar_llamadas}\n\n")


def stand_in_client(holded, workdir, api="v1", **settings):
    """A client built against the Holded stand-in with its v1 key or its v2 token and the given
    settings; the start-up probe's request is forgotten."""
    import crmapi

    workdir.write_config(config_text(api_key=holded.token if api == "v2" else holded.key, **settings))
    client = crmapi.crmapi()
    assert client.estado, client.lasterror
    holded.clear_requests()
    return client


def fake_caller(client, cvariables=None, **attributes):
    """The application object as the lookup and the new-contact form see it: the client, the
    window settings, and notices recorded in `.notices` instead of shown."""
    from types import SimpleNamespace

    notices = []
    return SimpleNamespace(variable=SimpleNamespace(apiteam=client, cvariables={} if cvariables is None else cvariables),
                           avisar=lambda titulo, mensaje: notices.append((titulo, mensaje)), notices=notices,
                           **attributes)


class Browser:
    """Records the pages the application asks the web browser to open."""

    def __init__(self, timeline=None):
        self.opened = []
        self.timeline = timeline

    def open(self, url, new=0, autoraise=True):
        self.opened.append((url, new, autoraise))
        if self.timeline is not None:
            self.timeline.append(("browser", url))
        return True

    def open_new(self, url):
        return self.open(url, 1)

    def open_new_tab(self, url):
        return self.open(url, 2)

    @property
    def urls(self):
        return [url for url, _, _ in self.opened]


@pytest.fixture
def browser(monkeypatch, request):
    """webbrowser.open and friends record instead of starting a browser. When the toolkit double
    is in use, the opened pages also go on its timeline, so their order against popups shows."""
    timeline = None
    if "sg" in request.fixturenames:
        timeline = request.getfixturevalue("sg").timeline
    recorder = Browser(timeline)
    monkeypatch.setattr(webbrowser, "open", recorder.open)
    monkeypatch.setattr(webbrowser, "open_new", recorder.open_new)
    monkeypatch.setattr(webbrowser, "open_new_tab", recorder.open_new_tab)
    return recorder


# The real toolkit ----------------------------------------------------------------------------

# Lines the library prints when it meets a fault in the calling code.
LIBRARY_ERROR = re.compile(r"\*\* Error|Your update is being ignored|Error creating|\*\*\* Warning|"
                           r"Trying to read a closed window|Key Error")


class _ErrorPopupWatch:
    """Stands for the library's 'suppress error popups' switch: every time the library asks it,
    it is about to report an error, which is kept so the test fails."""

    def __init__(self):
        self.reports = []

    def __bool__(self):
        import traceback
        self.reports.append("".join(traceback.format_stack(limit=8)))
        return True


@pytest.fixture
def real_sg(monkeypatch, capsys):
    """The real FreeSimpleGUI under the virtual screen. Its error popups are turned off, and any
    error it reports (popup attempt or error line) fails the test."""
    if not os.environ.get("DISPLAY"):
        pytest.fail("the real toolkit needs a display: run the tests under xvfb-run (make test)")
    import FreeSimpleGUI
    monkeypatch.setitem(sys.modules, "FreeSimpleGUI", FreeSimpleGUI)
    watch = _ErrorPopupWatch()
    FreeSimpleGUI.set_options(suppress_error_popups=True)
    monkeypatch.setattr(FreeSimpleGUI, "SUPPRESS_ERROR_POPUPS", watch)
    yield FreeSimpleGUI
    printed = capsys.readouterr()
    sys.stdout.write(printed.out)
    sys.stderr.write(printed.err)
    errors = [line for line in printed.out.splitlines() if LIBRARY_ERROR.search(line)]
    assert not watch.reports, "the toolkit reported an error:\n" + "\n".join(watch.reports)
    assert not errors, "the toolkit printed errors:\n" + "\n".join(errors)


class GuiDriver:
    """Acts on real windows of this process from a second thread, as a person would: it waits
    for a window, finds an element's place on the screen and clicks or types with xdotool. Tk
    calls made from the driver thread are carried out by the GUI thread while it reads."""

    def __init__(self, toolkit, monkeypatch):
        self.toolkit = toolkit
        self.windows = []
        self.errors = []
        self.threads = []
        original = toolkit.Window.__init__
        windows = self.windows

        def tracking_init(window, *args, **kwargs):
            original(window, *args, **kwargs)
            windows.append(window)

        monkeypatch.setattr(toolkit.Window, "__init__", tracking_init)

    def run(self, actions):
        """Runs actions(driver) on the driver thread; its failure fails the test."""
        def body():
            try:
                actions(self)
            except BaseException as error:  # reported by check()
                self.errors.append(error)
        thread = threading.Thread(target=body, daemon=True)
        thread.start()
        self.threads.append(thread)
        return thread

    def check(self, timeout=30):
        for thread in self.threads:
            thread.join(timeout)
            assert not thread.is_alive(), "the GUI driver did not finish"
        if self.errors:
            raise self.errors[0]

    def wait_window(self, title, timeout=15):
        """The newest window with this title (a text or a pattern), once it is on the screen."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for window in reversed(self.windows):
                if not re.fullmatch(title, str(window.Title)):
                    continue
                try:
                    if window.TKroot is not None and window.TKroot.winfo_viewable():
                        time.sleep(0.3)  # let the window manager settle the window
                        return window
                except Exception:
                    pass
            time.sleep(0.05)
        raise AssertionError(f"no window titled {title!r} appeared; saw {[w.Title for w in self.windows]!r}")

    def center(self, window, key):
        widget = window[key].Widget
        return (widget.winfo_rootx() + widget.winfo_width() // 2, widget.winfo_rooty() + widget.winfo_height() // 2)

    @staticmethod
    def xdotool(*args):
        subprocess.run(["xdotool", *map(str, args)], check=True, timeout=20)

    def click_at(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", x, y)
        time.sleep(0.1)
        self.xdotool("click", button)
        time.sleep(0.2)

    def click(self, window, key, button=1):
        self.click_at(*self.center(window, key), button=button)

    def click_list_item(self, window, key, text):
        """Clicks the line of a list element that shows `text`."""
        widget = window[key].Widget
        index = list(widget.get(0, "end")).index(text)
        widget.see(index)
        x, y, width, height = widget.bbox(index)
        self.click_at(widget.winfo_rootx() + x + width // 2, widget.winfo_rooty() + y + height // 2)

    def type(self, text):
        self.xdotool("type", "--delay", 40, text)
        time.sleep(0.2)

    def key(self, *keys):
        self.xdotool("key", "--delay", 60, *keys)
        time.sleep(0.2)

    def screenshot(self, name):
        return screens.screenshot(os.path.join(ARTIFACTS, name))


@pytest.fixture
def gui(real_sg, monkeypatch):
    driver = GuiDriver(real_sg, monkeypatch)
    yield driver
    for window in driver.windows:
        try:
            window.close()
        except Exception:
            pass


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" and report.failed and os.environ.get("DISPLAY") and \
            ({"real_sg", "gui"} & set(getattr(item, "fixturenames", ())) or item.get_closest_marker("screen")):
        name = re.sub(r"[^A-Za-z0-9_.-]+", "_", item.nodeid) + ".png"
        try:
            path = screens.screenshot(os.path.join(ARTIFACTS, "failures", name))
            report.sections.append(("screenshot", f"saved {path}"))
        except Exception as error:
            report.sections.append(("screenshot", f"could not be taken: {error}"))


def pytest_configure(config):
    config.addinivalue_line("markers", "screen: take a screenshot of the virtual screen when the test fails")
