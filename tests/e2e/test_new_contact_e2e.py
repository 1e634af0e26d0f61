"""An unknown caller becomes a Holded contact: the whole application from launcher.py with the real
toolkit under Xvfb, the handset stand-in, the Holded and directory emulators, and a person at the
keyboard and mouse (xdotool). Controls are found on the screen by what they look like."""
import struct
import time
import zlib
from collections import Counter

import pytest

from tests.e2e.harness import TRAY_MENU, AppRun

pytestmark = pytest.mark.screen

FORM_TITLE = "^Alta nuevo contacto / empresa$"
NUMBER = "677001122"
SWITCH_ON = (0x34, 0xA8, 0x53)   # the green track of the ON picture
SWITCH_OFF = (0x9A, 0xA0, 0xA6)  # the grey track of the OFF picture
FIELD = (0x37, 0x5F, 0xC0)       # text fields of the DarkBlue16 look the settings ask for


class Shot:
    """A screenshot (as tests.screens writes it: 8-bit RGB, unfiltered rows) read back."""

    def __init__(self, path):
        data = open(path, "rb").read()
        pos, idat = 8, b""
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            if kind == b"IHDR":
                self.width, self.height = struct.unpack(">II", body[:8])
            elif kind == b"IDAT":
                idat += body
            pos += 12 + length
        raw = zlib.decompress(idat)
        stride = 1 + 3 * self.width
        self.rows = [raw[y * stride + 1:(y + 1) * stride] for y in range(self.height)]

    def pixel(self, x, y):
        row = self.rows[y]
        return tuple(row[3 * x:3 * x + 3])

    def find(self, colour, box):
        """The bounding box (x0, y0, x1, y1) of the pixels of `colour` inside box, or None."""
        x, y, width, height = box
        found = [(px, py) for py in range(y, y + height) for px in range(x, x + width) if self.pixel(px, py) == colour]
        if not found:
            return None
        xs, ys = [p[0] for p in found], [p[1] for p in found]
        return min(xs), min(ys), max(xs), max(ys)


def first_field(shot, box):
    """Where to click in the topmost text field of the window (the first name)."""
    x, y, width, height = box
    for py in range(y, y + height):
        xs = [px for px in range(x, x + width) if shot.pixel(px, py) == FIELD]
        if len(xs) > 100:
            return (min(xs) + max(xs)) // 2, py + 6
    raise AssertionError("no text field found in the form")


def widest_control(shot, y, x0, x1):
    """The widest run of one colour other than the background along a line of the window: on
    the button row, above the captions' letters, that is the face of the big OK button."""
    line = [shot.pixel(x, y) for x in range(x0, x1)]
    background = Counter(line).most_common(1)[0][0]
    best, start = (0, 0), None
    for i, colour in enumerate(line + [background]):
        if start is not None and colour != line[start]:
            best = max(best, (i - start, start))
            start = None
        if start is None and colour != background:
            start = i
    width, start = best
    return x0 + start + width // 2, width


@pytest.fixture(params=["v1", "v2"])
def run(request, tmp_path, holded, handset, directory):
    # A v1 key, or a v2 token (pat_...) as Holded's credentials screen makes them now.
    key = holded.key if request.param == "v1" else holded.token
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path, directory_url=directory.url,
                config={"tema": "DarkBlue16", "api_key": key}) as app_run:
        yield app_run


def test_unknown_caller_becomes_a_contact(run, holded, directory):
    run.start()
    run.wait_tray()
    run.ring("622334455")  # a known caller first
    (_, url), = run.wait_pages(1, timeout=15)
    assert url == run.contact_page("5b201ff1d4b57c91bbfaf122")
    run.hangup()
    time.sleep(3)  # the lookup's tray notice
    run.ring(NUMBER)
    form = run.wait_window(FORM_TITLE, timeout=20)
    box = run.geometry(form)
    run.focus(form)

    # Click into the first name, then Tab from field to field as a person would.
    _click(*first_field(Shot(run.screenshot("e2e_new_contact_open.png")), box))
    run.type("Marta")
    run.key("Tab")
    run.type("Ruiz Gil")
    run.key("Tab")
    run.type("marta@ruizgil.es")
    run.key("Tab", "Tab")  # past the contact type, to the company
    run.type("Ruiz Gil Asesores")
    time.sleep(0.5)

    shot = Shot(run.screenshot("e2e_new_contact_typed.png"))
    switch = shot.find(SWITCH_ON, box)
    assert switch is not None, "the switch should start ON"
    sx, sy = (switch[0] + switch[2]) // 2, (switch[1] + switch[3]) // 2
    _click(sx, sy)
    time.sleep(0.5)

    shot = Shot(run.screenshot("e2e_new_contact_form.png"))
    assert shot.find(SWITCH_ON, box) is None and shot.find(SWITCH_OFF, box) is not None, "the switch shows OFF"
    # OK is taller than everything else on its row: look along a line just above the captions.
    ok_x, ok_width = widest_control(shot, sy - 16, box[0], switch[0] - 1)
    assert ok_width > 60, f"no OK button found on the row (widest control {ok_width} px)"
    _click(ok_x, sy)

    (_, url) = run.wait_pages(2, timeout=15)[-1]
    run.wait_gone(form)
    [contact] = [c for c in holded.contacts if c.get("name") == "Ruiz Gil Asesores"]
    assert url == run.contact_page(contact["id"])
    assert (contact["phone"], contact["mobile"]) == (NUMBER, NUMBER) and not contact["isperson"]
    assert contact["email"] == "marta@ruizgil.es"
    [person] = contact["contactPersons"]
    assert (person["name"], person["phone"], person["email"]) == ("Marta Ruiz Gil", NUMBER, "marta@ruizgil.es")
    assert directory.requests == [], "the switch was off: no directory lookup"

    run.hangup()
    run.choose_menu_entry(TRAY_MENU.index("Apagar"))
    assert run.wait_exit() == 0, run.report()
    assert NUMBER in run.output_lines()


def _click(x, y):
    from tests.e2e.harness import xdotool
    xdotool("mousemove", "--sync", x, y)
    time.sleep(0.1)
    xdotool("click", 1)
