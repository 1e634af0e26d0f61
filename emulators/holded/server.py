"""A local stand-in for the part of Holded's v1 REST API the application uses.

It answers the way the live service was seen to answer (bare JSON arrays for
lists, ``{"status":..,"info":..}`` envelopes for writes and errors, an HTML
page with status 200 for unknown routes), keeps its records in memory, records
every request for inspection, and can be told to misbehave so that the
client's failure handling can be exercised.
"""

from __future__ import annotations

import copy
import html
import http.server
import json
import re
import secrets
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

SEED_PATH = Path(__file__).with_name("seed.json")

# A well-formed v1 key (32 hex digits) accepted when no keys are configured.
DEFAULT_KEY = "3f9a6c1e7b2d4058a1c9e6f03b7d2a84"

# Lists come in fixed slices of this size, driven by ?page=N (1-based).
PAGE_SIZE = 500

RESOURCES = ("contacts", "products")

FAULT_MODES = ("refuse", "stall", "html500", "notjson", "blocked", "noid", "respond")

_ROUTE = re.compile(r"/api/invoicing/v1/(contacts|products)(?:/([^/]+))?\Z")
_APP_CONTACT = re.compile(r"/app/(contacts|products)/([^/]+)\Z")
_OBJECT_ID = re.compile(r"[0-9a-f]{24}\Z")
_WELL_FORMED_KEY = re.compile(r"[0-9a-fA-F]{32}\Z")

_JSON = "application/json; charset=utf-8"
_HTML = "text/html; charset=utf-8"
_TEXT = "text/plain; charset=utf-8"

NOT_FOUND_PAGE = (
    "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\">"
    "<title>404 · Holded</title></head>\n<body><h1>404</h1>"
    "<p>La página que buscas no existe.</p></body></html>\n"
)
SERVER_ERROR_PAGE = (
    "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>\n"
    "<body><h1>Internal Server Error</h1><p>Something went wrong.</p></body></html>\n"
)
# Starts like a JSON answer and breaks off, as a cut connection or a broken
# proxy would leave it; the Content-Type still claims JSON.
BROKEN_JSON = '{"status":1,"info":"Cre'
BLOCKED_TEXT = "Account has been blocked. Reason: Unpaid"


def new_object_id() -> str:
    """A fresh id in the service's shape: 24 lowercase hex digits."""
    return secrets.token_hex(12)


@dataclass
class RecordedRequest:
    """One request as the emulator received it."""

    method: str
    path: str
    query: str  # raw query string, still percent-encoded
    headers: dict  # header names as sent, in the order sent
    body: bytes
    json: object = None  # the body decoded as JSON; None when empty or not JSON
    status: int | None = None  # filled in once the answer is ready
    duration: float | None = None  # server-side handling time in seconds
    fault: str | None = None  # the fault mode that hit this request, if any

    @property
    def params(self) -> dict:
        """The query decoded the way the service decodes it (form rules)."""
        return parse_qs(self.query, keep_blank_values=True)

    @property
    def target(self) -> str:
        return self.path + ("?" + self.query if self.query else "")

    def header(self, name: str, default=None):
        """Case-insensitive header lookup."""
        wanted = name.lower()
        for key, value in self.headers.items():
            if key.lower() == wanted:
                return value
        return default


@dataclass
class _Fault:
    mode: str
    seconds: float = 5.0
    methods: frozenset | None = None
    times: int | None = None
    status: int = 200
    body: bytes = b""
    content_type: str = _JSON
    released: threading.Event = field(default_factory=threading.Event)

    def applies_to(self, method: str) -> bool:
        return self.methods is None or method in self.methods


def _as_text(value) -> str:
    """How a stored field compares against a query value."""
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return json.dumps(value) if isinstance(value, (bool, list, dict)) else str(value)


def load_seed(seed) -> dict:
    """Normalise a seed (path, list of contacts or dict of lists) to fresh lists."""
    if seed is None:
        data = {}
    elif isinstance(seed, (str, Path)):
        with open(seed, encoding="utf-8") as fh:
            data = json.load(fh)
    else:
        data = copy.deepcopy(seed)
    if isinstance(data, list):
        data = {"contacts": data}
    if not isinstance(data, dict):
        raise ValueError("seed must be a list of contacts or an object of lists")
    unknown = set(data) - set(RESOURCES)
    if unknown:
        raise ValueError(f"unknown seed sections: {sorted(unknown)}")
    return {name: list(data.get(name) or []) for name in RESOURCES}


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, emulator):
        self.emulator = emulator
        self.closed = False
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        # Clients that give up (timeouts in fault tests) are expected here.
        if self.emulator.verbose:
            super().handle_error(request, client_address)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "HoldedEmulator/1.0"
    timeout = 60  # idle keep-alive connections do not linger forever

    def do_GET(self):
        self._dispatch()

    do_POST = do_PUT = do_DELETE = do_GET

    def log_message(self, fmt, *args):
        if self.server.emulator.verbose:
            super().log_message(fmt, *args)

    def _dispatch(self):
        started = time.perf_counter()
        emulator = self.server.emulator
        if self.server.closed:
            # Listener gone (stopped or refusing): drop kept-alive connections too.
            self.close_connection = True
            return
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            self.send_error(400, "Bad Content-Length")
            return
        body = self.rfile.read(length) if length > 0 else b""
        split = urlsplit(self.path)
        record = RecordedRequest(
            method=self.command,
            path=split.path,
            query=split.query,
            headers=dict(self.headers.items()),
            body=body,
        )
        if body:
            try:
                record.json = json.loads(body)
            except ValueError:
                record.json = None
        emulator._record(record)
        try:
            status, content_type, payload = emulator._answer(record, self.headers)
        except Exception:  # a bug here must still answer, like a real server would
            if emulator.verbose:
                import traceback

                traceback.print_exc()
            status, content_type, payload = 500, _HTML, SERVER_ERROR_PAGE.encode()
        record.status = status
        record.duration = time.perf_counter() - started
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


class HoldedEmulator:
    """An in-memory Holded v1 API served over HTTP on 127.0.0.1.

    ``seed`` is a path to a JSON file, a list of contacts, or a dict with
    ``contacts`` and ``products`` lists; None starts empty. ``keys`` are the
    API keys accepted in the ``key`` header (any text); by default only
    ``DEFAULT_KEY``.
    """

    def __init__(self, seed=SEED_PATH, keys=None, host="127.0.0.1",
                 page_size=PAGE_SIZE, verbose=False):
        self.host = host
        self.page_size = page_size
        self.verbose = verbose
        self.keys = list(keys) if keys else [DEFAULT_KEY]
        self._lock = threading.RLock()
        self._store = {name: {} for name in RESOURCES}
        self._requests: list[RecordedRequest] = []
        self._fault: _Fault | None = None
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._port: int | None = None
        self._running = False
        data = load_seed(seed)
        for name in RESOURCES:
            for item in data[name]:
                self._add(name, item)

    # -- life cycle -------------------------------------------------------

    def start(self, port: int = 0) -> "HoldedEmulator":
        if self._running:
            raise RuntimeError("emulator already running")
        self._listen(port)
        self._running = True
        return self

    def stop(self) -> None:
        if not self._running:
            return
        self.clear_fault(_relisten=False)
        self._unlisten()
        self._running = False

    def __enter__(self):
        if not self._running:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _listen(self, port):
        server = _Server((self.host, port), self)
        thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.05},
            name=f"holded-emulator:{server.server_address[1]}", daemon=True)
        thread.start()
        self._server, self._thread = server, thread
        self._port = server.server_address[1]

    def _unlisten(self):
        server, thread = self._server, self._thread
        if server is None:
            return
        server.closed = True
        server.shutdown()
        server.server_close()
        thread.join()
        self._server = self._thread = None

    # -- addresses ---------------------------------------------------------

    @property
    def port(self) -> int | None:
        return self._port

    @property
    def base_url(self) -> str:
        if self._port is None:
            raise RuntimeError("emulator not started")
        return f"http://{self.host}:{self._port}/"

    @property
    def api_url(self) -> str:
        """The value for HOLDED_API_URL: the API root, ending in /api/."""
        return self.base_url + "api/"

    @property
    def app_url(self) -> str:
        """The value for HOLDED_APP_URL: the web-app root, ending in /app/."""
        return self.base_url + "app/"

    @property
    def key(self) -> str:
        return self.keys[0]

    # -- inspection --------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        """A snapshot of the requests received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    @property
    def contacts(self) -> list[dict]:
        """A copy of the stored contacts, in creation order."""
        with self._lock:
            return copy.deepcopy(list(self._store["contacts"].values()))

    @property
    def products(self) -> list[dict]:
        with self._lock:
            return copy.deepcopy(list(self._store["products"].values()))

    def contact(self, id: str) -> dict | None:
        with self._lock:
            return copy.deepcopy(self._store["contacts"].get(id))

    def product(self, id: str) -> dict | None:
        with self._lock:
            return copy.deepcopy(self._store["products"].get(id))

    def add_contact(self, record: dict) -> str:
        """Store a contact as given (an id is assigned when it has none)."""
        return self._add("contacts", record)

    def add_product(self, record: dict) -> str:
        return self._add("products", record)

    def _add(self, resource, record):
        record = copy.deepcopy(record)
        with self._lock:
            if not record.get("id"):
                record = {"id": self._new_id(resource), **record}
            self._store[resource][record["id"]] = record
            return record["id"]

    def _new_id(self, resource):
        while True:
            candidate = new_object_id()
            if candidate not in self._store[resource]:
                return candidate

    def _record(self, record):
        with self._lock:
            self._requests.append(record)

    # -- faults ------------------------------------------------------------

    @property
    def fault(self) -> str | None:
        with self._lock:
            return self._fault.mode if self._fault else None

    def set_fault(self, mode: str, *, seconds: float = 5.0, methods=None,
                  times: int | None = None, status: int = 200, body=None,
                  content_type: str | None = None) -> None:
        """Make the API misbehave until ``clear_fault`` (or ``times`` requests).

        refuse   close the listening socket: connections are refused
        stall    wait ``seconds`` before answering normally
        html500  answer 500 with an HTML page
        notjson  answer 200 with a body that does not parse as JSON
        blocked  answer 402 "Account has been blocked. Reason: Unpaid"
        noid     creates/updates succeed but the answer lacks "id"
        respond  answer ``status`` with ``body`` (dict/list → JSON) as given

        ``methods`` limits the fault to those HTTP methods (noid defaults to
        POST and PUT); ``times`` ends it after that many hit requests.
        """
        if mode not in FAULT_MODES:
            raise ValueError(f"unknown fault mode {mode!r}; choose from {FAULT_MODES}")
        self.clear_fault()
        if mode == "noid" and methods is None:
            methods = ("POST", "PUT")
        fault = _Fault(mode=mode, seconds=float(seconds),
                       methods=frozenset(m.upper() for m in methods) if methods else None,
                       times=times)
        if mode == "notjson":
            fault.body = BROKEN_JSON.encode() if body is None else _as_bytes(body)
            fault.content_type = _JSON
        elif mode == "respond":
            fault.status = status
            if isinstance(body, (dict, list)):
                fault.body, fault.content_type = _dump(body), _JSON
            else:
                fault.body, fault.content_type = _as_bytes(body or b""), _TEXT
        if content_type is not None:
            fault.content_type = content_type
        with self._lock:
            self._fault = fault
        if mode == "refuse" and self._running:
            self._unlisten()

    def clear_fault(self, _relisten: bool = True) -> None:
        """Back to normal service; stalled requests are released at once."""
        with self._lock:
            fault, self._fault = self._fault, None
        if fault is None:
            return
        fault.released.set()
        if fault.mode == "refuse" and _relisten and self._running and self._server is None:
            # Same port again so the client's configured address keeps working.
            self._listen(self._port)

    def _take_fault(self, method):
        with self._lock:
            fault = self._fault
            if fault is None or fault.mode == "refuse" or not fault.applies_to(method):
                return None
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    self._fault = None
            return fault

    # -- answering ---------------------------------------------------------

    def _answer(self, record: RecordedRequest, headers):
        method, path = record.method, record.path
        if path == "/app" or path.startswith("/app/"):
            return self._app_page(method, path)
        fault = self._take_fault(method) if path.startswith("/api/") else None
        omit_id = False
        if fault is not None:
            record.fault = fault.mode
            if fault.mode == "stall":
                fault.released.wait(fault.seconds)
            elif fault.mode == "html500":
                return 500, _HTML, SERVER_ERROR_PAGE.encode()
            elif fault.mode == "blocked":
                return 402, _TEXT, BLOCKED_TEXT.encode()
            elif fault.mode in ("notjson", "respond"):
                return fault.status, fault.content_type, fault.body
            elif fault.mode == "noid":
                omit_id = True

        route = _ROUTE.match(path)
        if route is None:
            return _not_found_page()
        resource, item_id = route.groups()
        if item_id is None and method not in ("GET", "POST"):
            return _not_found_page()
        if item_id is not None and method not in ("GET", "PUT", "DELETE"):
            return _not_found_page()

        denied = self._check_key(headers.get("key"))
        if denied:
            return denied

        if item_id is None and method == "GET":
            return 200, _JSON, _dump(self._list(resource, record.params))
        if item_id is None:
            return self._create(resource, record, omit_id)
        with self._lock:
            found = _OBJECT_ID.match(item_id) and item_id in self._store[resource]
            if not found:
                return _error("not found")
            if method == "GET":
                return 200, _JSON, _dump(self._store[resource][item_id])
            if method == "DELETE":
                del self._store[resource][item_id]
                return 200, _JSON, _dump(
                    {"status": 1, "info": "Successfully deleted", "id": item_id})
            return self._update(resource, item_id, record, omit_id)

    def _check_key(self, key):
        # An empty header counts as no key at all.
        if not key:
            return 401, _JSON, _dump({"status": 401})
        if key in self.keys:
            return None
        if _WELL_FORMED_KEY.match(key):
            return 401, _JSON, _dump({"status": 401})
        return _error("Invalid key")

    def _list(self, resource, params):
        with self._lock:
            items = list(self._store[resource].values())
            if resource == "contacts":
                # Exact text comparison, no normalisation; when a filter is
                # repeated the last value wins. "?phone=" asks for an empty phone
                # (a contact without the field counts as empty).
                for name in ("phone", "mobile"):
                    if name in params:
                        wanted = params[name][-1]
                        items = [c for c in items if _as_text(c.get(name)) == wanted]
                if "customId" in params:
                    wanted = {part for value in params["customId"] for part in value.split(",")}
                    items = [c for c in items if _as_text(c.get("customId")) in wanted]
            try:
                page = int(params.get("page", ["1"])[-1])
            except ValueError:
                page = 1
            page = max(page, 1)
            start = (page - 1) * self.page_size
            return copy.deepcopy(items[start:start + self.page_size])

    def _create(self, resource, record, omit_id):
        fields = _body_object(record)
        if fields is None:
            return _error("Invalid body")
        with self._lock:
            new_id = self._new_id(resource)
            stored = {"id": new_id}
            _merge(resource, stored, fields)
            self._store[resource][new_id] = stored
        answer = {"status": 1, "info": "Created"}
        if not omit_id:
            answer["id"] = new_id
        return 201, _JSON, _dump(answer)

    def _update(self, resource, item_id, record, omit_id):
        fields = _body_object(record)
        if fields is None:
            return _error("Invalid body")
        _merge(resource, self._store[resource][item_id], fields)
        answer = {"status": 1, "info": "Updated"}
        if not omit_id:
            answer["id"] = item_id
        return 200, _JSON, _dump(answer)

    def _app_page(self, method, path):
        """A minimal web app, so an opened contact page shows something real."""
        match = _APP_CONTACT.match(path)
        if method != "GET" or match is None:
            if method == "GET" and path in ("/app", "/app/"):
                return 200, _HTML, _page("Holded", "<h1>Holded</h1>")
            return _not_found_page()
        resource, item_id = match.groups()
        item = self.contact(item_id) if resource == "contacts" else self.product(item_id)
        if item is None:
            return _not_found_page()
        name = html.escape(_as_text(item.get("name")))
        rows = "".join(
            f"<tr><th>{html.escape(k)}</th><td>{html.escape(_as_text(item.get(k)))}</td></tr>"
            for k in ("code", "email", "phone", "mobile") if item.get(k))
        return 200, _HTML, _page(f"{name} · Holded",
                                 f'<h1 id="{item_id}">{name}</h1><table>{rows}</table>')


def _body_object(record):
    """The JSON object a write carries; None when it is not one."""
    if not record.body.strip():
        return {}
    return record.json if isinstance(record.json, dict) else None


def _merge(resource, stored, fields):
    """Apply written fields to a record: shallow, only the fields sent change.

    Writes spell the contact's own reference "CustomId" while reads give
    "customId", and a written "note" becomes an entry of the "notes" list.
    The id is the server's and cannot be written.
    """
    for key, value in fields.items():
        if key == "id":
            continue
        if resource == "contacts" and key == "CustomId":
            stored["customId"] = value
        elif resource == "contacts" and key == "note":
            if value in (None, ""):
                continue
            notes = stored.get("notes")
            if not isinstance(notes, list):
                notes = stored["notes"] = []
            notes.append({"noteId": new_object_id(), "name": "",
                          "description": value if isinstance(value, str) else _as_text(value),
                          "color": "", "updatedAt": int(time.time()), "userId": ""})
        else:
            stored[key] = copy.deepcopy(value)


def _as_bytes(body) -> bytes:
    return body.encode("utf-8") if isinstance(body, str) else bytes(body)


def _dump(obj) -> bytes:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _error(info):
    return 400, _JSON, _dump({"status": 0, "info": info})


def _page(title, body_html):
    return (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{title}</title>"
            f"</head>\n<body>{body_html}</body></html>\n").encode("utf-8")


def _not_found_page():
    return 200, _HTML, NOT_FOUND_PAGE.encode("utf-8")
