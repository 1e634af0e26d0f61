"""A scripted stand-in for the GUI toolkit, for testing the logic of event loops.

It records every window (title, options, layout, element updates), every popup and every tray
notice on one timeline, and replays the events a test scripts: each `read` of a window or tray
takes the next scripted step. A read with nothing left to replay raises ScriptExhausted, which
derives from BaseException so that code catching Exception cannot swallow it.
"""
import time
import types

TIMEOUT = "__TIMEOUT__"


class ScriptExhausted(BaseException):
    pass


class Step:
    """One scripted read: the event, values to type into the window first, and optionally the
    title the reading window must have (checked, so a test fails when the wrong window reads)."""

    def __init__(self, event, values=None, on=None):
        self.event, self.values, self.on = event, dict(values or {}), on


CLOSE = Step(None)  # the user closes the window with X: read gives (None, None)


class Until(Step):
    """Tray reads that answer __TIMEOUT__, so the tray loop goes round, until `condition()` holds
    (work of other threads shows on the GUI thread only between reads). `before` runs once, at
    the first read. Waiting more than `timeout` seconds fails the test."""

    def __init__(self, condition, what, before=None, timeout=10):
        super().__init__(TIMEOUT)
        self.condition, self.what, self.before, self.timeout = condition, what, before, timeout
        self.deadline = None


def _as_step(item):
    if isinstance(item, Step):
        return item
    if isinstance(item, tuple):
        return Step(*item)
    return Step(item)


class Element:
    VALUED = {"Input", "Combo", "Listbox", "Slider", "Multiline", "Menu", "Table", "Checkbox"}

    def __init__(self, kind, args, kwargs, toolkit):
        self.kind, self.args, self.kwargs = kind, args, kwargs
        self.key = kwargs.get("key", kwargs.get("k"))
        if self.key is None and kind == "Button":
            self.key = args[0] if args else kwargs.get("button_text", "")
        self.updates = []
        self.window = None
        self._toolkit = toolkit
        self.children = []
        if kind in ("Frame", "Column"):
            self.children = args[1] if kind == "Frame" else args[0]

    @property
    def text(self):
        return self.args[0] if self.args else None

    def initial_value(self):
        kw = self.kwargs
        if self.kind == "Input":
            return kw.get("default_text", self.args[0] if self.args else "")
        if self.kind == "Multiline":
            return kw.get("default_text", self.args[0] if self.args else "")
        if self.kind == "Combo":
            return kw.get("default_value", "")
        if self.kind == "Listbox":
            return list(kw.get("default_values") or [])
        if self.kind == "Table":
            return []  # the selected rows' positions
        if self.kind == "Checkbox":
            return bool(kw.get("default", False))
        if self.kind == "Slider":
            low, high = kw.get("range", (1, 10))
            try:
                value = float(kw.get("default_value", low))
            except (TypeError, ValueError):
                value = float(low)
            return float(min(max(value, low), high))
        return None

    def update(self, *args, **kwargs):
        self.updates.append((args, kwargs))
        self._toolkit.timeline.append(("update", self.key, kwargs or args))
        window = self.window
        if window is None:
            return
        if self.kind in ("Input", "Multiline") and (args or "value" in kwargs):
            window._values[self.key] = args[0] if args else kwargs["value"]
        if self.kind in ("Listbox", "Table") and "values" in kwargs:
            self.kwargs["values"] = kwargs["values"]
            window._values[self.key] = []

    def get(self):
        return self.window._values.get(self.key) if self.window else None

    def bind(self, bind_string, key_modifier, propagate=True):
        """An element's binding gives the event <key><modifier>, which a test scripts."""
        self.__dict__.setdefault("bindings", {})[bind_string] = key_modifier

    def set_focus(self, force=False):
        self._toolkit.timeline.append(("focus", self.key))

    Update = update

    def __repr__(self):
        return f"<{self.kind} key={self.key!r} args={self.args!r}>"


class Window:
    def __init__(self, title, layout=None, **kwargs):
        tk = self._toolkit
        self.title, self.layout, self.kwargs = title, layout or [], kwargs
        self.closed = False
        self.elements = {}
        self._values = {}
        for element in self.walk():
            element.window = self
            if element.key is not None:
                self.elements[element.key] = element
                if element.kind in Element.VALUED:
                    self._values[element.key] = element.initial_value()
        tk.windows.append(self)
        tk.timeline.append(("window", title))

    def walk(self, rows=None):
        for row in self.layout if rows is None else rows:
            for element in row if isinstance(row, (list, tuple)) else [row]:
                if isinstance(element, (list, tuple)):  # the real toolkit splices nested rows
                    yield from self.walk([element])
                    continue
                yield element
                if element.children:
                    yield from self.walk(element.children)

    def find(self, kind):
        return [e for e in self.walk() if e.kind == kind]

    def read(self, timeout=None, **_):
        tk = self._toolkit
        step = tk._next_step(self)
        if step.on is not None and step.on not in str(self.title):
            raise AssertionError(f"step {step.event!r} was meant for {step.on!r} but {self.title!r} read it")
        if step.event is None and not step.values:
            return None, None
        for key, value in step.values.items():
            if key not in self._values:
                raise AssertionError(f"window {self.title!r} has no value element {key!r}")
            self._values[key] = value
        if step.event is not None and str(step.event).endswith("::") is False:
            pass
        return step.event, dict(self._values)

    __call__ = read

    def __getitem__(self, key):
        if key not in self.elements:
            raise KeyError(f"window {self.title!r} has no element {key!r}")
        return self.elements[key]

    find_element = __getitem__

    def close(self):
        self.closed = True
        self._toolkit.timeline.append(("close", self.title))

    def finalize(self):
        return self

    def refresh(self):
        return self

    def is_closed(self, quick_check=None):
        return self.closed

    def bind(self, bind_string, key, propagate=True):
        """Records a key binding: a test scripts the bound key as the event the key gives."""
        self.__dict__.setdefault("bindings", {})[bind_string] = key

    Finalize = finalize
    Close = close
    Read = read


class SystemTray:
    def __init__(self, menu=None, filename=None, data=None, data_base64=None, tooltip=None, metadata=None):
        tk = self._toolkit
        self.menu, self.data_base64, self.filename = menu, data_base64, filename
        self.messages, self.pictures = [], []
        self.tooltip = tooltip
        self.closed = False
        tk.trays.append(self)
        tk.timeline.append(("tray", menu))

    def read(self, timeout=None):
        step = self._toolkit._next_step(self)
        return step.event

    def show_message(self, title, message, filename=None, data=None, data_base64=None, messageicon=None, time=(1000, 3000)):
        self.messages.append((title, message, messageicon))
        self._toolkit.timeline.append(("message", title, message))
        return TIMEOUT

    def update(self, menu=None, tooltip=None, filename=None, data=None, data_base64=None):
        if menu is not None:
            self.menu = menu
        if tooltip is not None:
            self.tooltip = tooltip
        if filename is not None or data_base64 is not None:
            self.pictures.append(filename or data_base64)

    def close(self):
        self.closed = True

    ShowMessage = show_message
    Read = read


def make_toolkit():
    """A fresh toolkit module double. Script reads with `sg.script(...)`."""
    sg = types.ModuleType("FreeSimpleGUI")
    sg.__file__ = "<toolkit double>"
    sg.windows, sg.trays, sg.popups, sg.timeline, sg.options = [], [], [], [], {}
    sg.steps = []
    sg.popup_answers = []
    sg.current_theme = "DarkBlue3"

    sg.WIN_CLOSED = sg.WINDOW_CLOSED = None
    sg.TIMEOUT_KEY = sg.TIMEOUT_EVENT = sg.EVENT_TIMEOUT = TIMEOUT
    sg.EVENT_SYSTEM_TRAY_ICON_ACTIVATED = "__ACTIVATED__"
    sg.EVENT_SYSTEM_TRAY_ICON_DOUBLE_CLICKED = "__DOUBLE_CLICKED__"
    sg.SYSTEM_TRAY_MESSAGE_ICON_INFORMATION = b"icon-information"
    sg.SYSTEM_TRAY_MESSAGE_ICON_WARNING = b"icon-warning"
    sg.SYSTEM_TRAY_MESSAGE_ICON_CRITICAL = b"icon-critical"
    sg.SYSTEM_TRAY_MESSAGE_ICON_NOICON = None
    sg.ICON_BUY_ME_A_COFFEE = b"icon-coffee"
    sg.LISTBOX_SELECT_MODE_MULTIPLE = sg.SELECT_MODE_MULTIPLE = "multiple"
    sg.LISTBOX_SELECT_MODE_SINGLE = "single"
    sg.THEMES = ["DarkBlue3", "DarkBlue16", "DarkGrey13", "LightGreen", "SystemDefault", "Topanga"]

    def script(*items):
        sg.steps.extend(_as_step(item) for item in items)

    def _next_step(reader):
        if sg.steps and isinstance(sg.steps[0], Until) and isinstance(reader, SystemTray):
            return _wait(sg.steps[0])
        if not sg.steps:
            what = getattr(reader, "title", "the tray")
            raise ScriptExhausted(f"{what!r} read once more than the test scripted")
        return sg.steps.pop(0)

    def _wait(until):
        if until.deadline is None:
            until.deadline = time.monotonic() + until.timeout
            if until.before is not None:
                until.before()
        if until.condition():
            sg.steps.pop(0)
        elif time.monotonic() > until.deadline:
            raise AssertionError(f"waited {until.timeout} s in vain for {until.what}")
        else:
            time.sleep(0.01)
        return Step(TIMEOUT)

    sg.script, sg._next_step = script, _next_step

    def element_factory(kind):
        def make(*args, **kwargs):
            return Element(kind, args, kwargs, sg)
        make.__name__ = kind
        return make

    aliases = {
        "Text": ["Text", "T", "Txt"], "Input": ["Input", "InputText", "In", "I"],
        "Button": ["Button", "B", "Btn"], "Combo": ["Combo", "InputCombo", "DropDown"],
        "Listbox": ["Listbox", "LBox", "LB"], "Slider": ["Slider", "Sl"], "Table": ["Table"],
        "Checkbox": ["Checkbox", "CBox", "CB", "Check"],
        "Multiline": ["Multiline", "ML"], "Frame": ["Frame", "Fr"], "Column": ["Column", "Col"],
        "Menu": ["Menu", "MenuBar"], "StatusBar": ["StatusBar", "SBar"], "Image": ["Image"],
        "HSeparator": ["HorizontalSeparator", "HSeparator", "HSep"],
        "VSeparator": ["VerticalSeparator", "VSeparator", "VSep", "VSeperator"],
    }
    for kind, names in aliases.items():
        for name in names:
            setattr(sg, name, element_factory(kind))

    sg.Window = type("Window", (Window,), {"_toolkit": sg})
    sg.SystemTray = type("SystemTray", (SystemTray,), {"_toolkit": sg})

    def popup_factory(name, default_answer):
        def popup(*args, **kwargs):
            sg.popups.append((name, args, kwargs))
            sg.timeline.append(("popup", name, args))
            return sg.popup_answers.pop(0) if sg.popup_answers else default_answer
        popup.__name__ = name
        return popup

    for name, answer in [("popup", "OK"), ("popup_error", "Error"), ("popup_auto_close", TIMEOUT),
                         ("popup_ok", "OK"), ("popup_yes_no", "Yes")]:
        fn = popup_factory(name, answer)
        setattr(sg, name, fn)
    sg.Popup, sg.PopupError, sg.PopupAutoClose = sg.popup, sg.popup_error, sg.popup_auto_close

    def theme(new_theme=None):
        if new_theme is not None:
            sg.current_theme = new_theme
            sg.timeline.append(("theme", new_theme))
        return sg.current_theme

    sg.theme = theme
    sg.clipboard = []
    sg.clipboard_set = lambda text: sg.clipboard.append(text)
    sg.theme_list = lambda: list(sg.THEMES)
    sg.theme_background_color = lambda color=None: "#1c44ac"
    sg.set_options = lambda **kw: sg.options.update(kw)

    def popups_named(name):
        return [p for p in sg.popups if p[0] == name]

    sg.popups_named = popups_named
    return sg
