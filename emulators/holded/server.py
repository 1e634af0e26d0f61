"""A local stand-in for the part of Holded's REST API the application uses.

v1 answers the way the live service was seen to answer (bare JSON arrays for
lists, ``{"status":..,"info":..}`` envelopes for writes and errors, an HTML
page with status 200 for unknown routes); v2 (Bearer tokens, snake_case
fields, cursor pages, problem+json errors) serves the same contacts beside it.
Both also take CRM events, the way a call is logged in Holded.
Records are kept in memory, every request is recorded for inspection, and the
server can be told to misbehave (faults, latency, a rate limit, TLS) so that
the client's failure handling can be exercised.
"""

from __future__ import annotations

import bisect
import copy
import html
import http.server
import ipaddress
import json
import re
import secrets
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

from . import v2

SEED_PATH = Path(__file__).with_name("seed.json")

# A well-formed v1 key (32 hex digits) accepted when no keys are configured.
DEFAULT_KEY = "3f9a6c1e7b2d4058a1c9e6f03b7d2a84"

# A v2 token (pat_ and letters and digits) accepted when no tokens are configured.
DEFAULT_TOKEN = "pat_Hk7Qm2Xc9LpR4vT8nB1sK6wZ3yD5fG0aJe"

# Lists come in fixed slices of this size, driven by ?page=N (1-based).
PAGE_SIZE = 500

# v2 pages: the size when ``limit`` is not given, and the most one page holds.
V2_LIMIT = 50
V2_MAX_LIMIT = 100

RESOURCES = ("contacts", "products", "events")

FAULT_MODES = ("refuse", "stall", "html500", "notjson", "blocked", "noid", "respond",
               "trickle", "redirect")

_ROUTE = re.compile(r"/api/invoicing/v1/(contacts|products)(?:/([^/]+))?\Z")
_V2_ROUTE = re.compile(r"/api/v2/contacts(?:/([^/]+))?\Z")
_EVENTS_ROUTE = re.compile(r"/api/crm/v1/events\Z")
_V2_EVENTS_ROUTE = re.compile(r"/api/v2/events\Z")

# What v1 keeps of an event; other fields are dropped, as v2 drops what it does not write.
V1_EVENT_FIELDS = ("name", "contactId", "kind", "desc", "startDate", "duration", "status", "tags",
                   "userId", "leadId", "funnelId", "locationDesc")
_APP_CONTACT = re.compile(r"/app/(contacts|products)/([^/]+)\Z")
_OBJECT_ID = re.compile(r"[0-9a-f]{24}\Z")
_WELL_FORMED_KEY = re.compile(r"[0-9a-fA-F]{32}\Z")

_JSON = "application/json; charset=utf-8"
_PROBLEM = "application/problem+json; charset=utf-8"
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
    content_type: str | None = _JSON
    location: str = ""
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


@dataclass
class _RateLimit:
    per_window: int
    retry_after: int
    window: float
    accepted: deque = field(default_factory=deque)  # arrival times, oldest first


@dataclass
class _Answer:
    status: int
    content_type: str | None
    payload: bytes
    headers: dict = field(default_factory=dict)
    trickle: _Fault | None = None  # send it byte by byte, as this fault says


def load_seed(seed) -> dict:
    """Normalise a seed (path, list of contacts, dict of lists, or a generated
    book with ``.contacts``) to fresh lists."""
    if seed is None:
        data = {}
    elif hasattr(seed, "contacts") and not isinstance(seed, (dict, list)):
        data = {"contacts": copy.deepcopy(list(seed.contacts))}
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

    def __init__(self, address, emulator, tls_context=None):
        self.emulator = emulator
        self.closed = False
        self.tls_context = tls_context
        super().__init__(address, _Handler)

    def get_request(self):
        connection, address = super().get_request()
        if self.tls_context is not None:
            # The handshake happens in the handler's thread, so a client that
            # never completes it cannot hold up the accepting loop.
            connection = self.tls_context.wrap_socket(
                connection, server_side=True, do_handshake_on_connect=False)
        return connection, address

    def handle_error(self, request, client_address):
        # Clients that give up (timeouts in fault tests) are expected here.
        if self.emulator.verbose:
            super().handle_error(request, client_address)


class _Trickle:
    """Writes what it is given one byte at a time, waiting between bytes."""

    def __init__(self, raw, fault):
        self.raw = raw
        self.fault = fault

    def write(self, data):
        data = bytes(data)
        for index in range(len(data)):
            if self.fault.released.is_set():  # cleared or stopping: the rest at once
                self.raw.write(data[index:])
                break
            self.raw.write(data[index:index + 1])
            self.fault.released.wait(self.fault.seconds)
        return len(data)

    def flush(self):
        self.raw.flush()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "HoldedEmulator/1.0"
    timeout = 60  # idle keep-alive connections do not linger forever

    def setup(self):
        super().setup()
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.do_handshake()

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
            answer = emulator._answer(record, self.headers)
        except Exception:  # a bug here must still answer, like a real server would
            if emulator.verbose:
                import traceback

                traceback.print_exc()
            answer = _Answer(500, _HTML, SERVER_ERROR_PAGE.encode())
        latency = emulator.latency_ms
        if latency and record.path.startswith("/api/"):
            time.sleep(latency / 1000)
        record.status = answer.status
        record.duration = time.perf_counter() - started
        raw = self.wfile
        if answer.trickle is not None:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.wfile = _Trickle(raw, answer.trickle)
        try:
            self.send_response(answer.status)
            if answer.content_type:
                self.send_header("Content-Type", answer.content_type)
            for name, value in answer.headers.items():
                self.send_header(name, value)
            if answer.status != 204:
                self.send_header("Content-Length", str(len(answer.payload)))
            self.end_headers()
            if answer.payload:
                self.wfile.write(answer.payload)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            self.wfile = raw


class HoldedEmulator:
    """An in-memory Holded API (v1 and v2) served over HTTP on 127.0.0.1.

    ``seed`` is a path to a JSON file, a list of contacts, a dict with
    ``contacts``, ``products`` and ``events`` lists, or a generated book (``book.make_book``);
    None starts empty. ``keys`` are the API keys accepted in v1's ``key``
    header (any text); by default only ``DEFAULT_KEY``. ``tokens`` are the v2
    tokens accepted as ``Authorization: Bearer <token>``; by default only
    ``DEFAULT_TOKEN``.

    ``latency_ms`` delays every API answer; ``ignore_page`` makes the v1 list
    answer its first page whatever ``page`` asks for; ``blank_pages`` are v1
    list pages answered ``[]`` as if lost on the way; ``endless`` fills every v1
    list page past the stored contacts with made-up ones, so that the list never
    ends; ``tls`` serves HTTPS with a self-signed certificate made at start
    (``cert_path``). All but ``tls`` may be changed while running.
    """

    def __init__(self, seed=SEED_PATH, keys=None, host="127.0.0.1",
                 page_size=PAGE_SIZE, verbose=False, tokens=None, latency_ms=0,
                 ignore_page=False, tls=False, blank_pages=(), endless=False):
        self.host = host
        self.page_size = page_size
        self.verbose = verbose
        self.keys = list(keys) if keys else [DEFAULT_KEY]
        self.tokens = list(tokens) if tokens else [DEFAULT_TOKEN]
        self.latency_ms = latency_ms
        self.ignore_page = ignore_page
        self.blank_pages = set(blank_pages)
        self.endless = endless
        self.tls = tls
        self._lock = threading.RLock()
        self._store = {name: {} for name in RESOURCES}
        # Insertion number of every id ever stored, deleted ones too, so that
        # a v2 cursor naming a since-deleted contact still knows where it was.
        self._order = {name: {} for name in RESOURCES}
        self._inserted = 0
        self._requests: list[RecordedRequest] = []
        self._fault: _Fault | None = None
        self._rate: _RateLimit | None = None
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._port: int | None = None
        self._running = False
        self._tls_folder: str | None = None
        self._tls_context: ssl.SSLContext | None = None
        data = load_seed(seed)  # already fresh objects: stored without copying again
        for name in RESOURCES:
            for item in data[name]:
                self._add(name, item, fresh=True)

    # -- life cycle -------------------------------------------------------

    def start(self, port: int = 0) -> "HoldedEmulator":
        if self._running:
            raise RuntimeError("emulator already running")
        if self.tls:
            self._make_certificate()
        try:
            self._listen(port)
        except BaseException:
            self._forget_certificate()
            raise
        self._running = True
        return self

    def stop(self) -> None:
        if not self._running:
            return
        self.clear_fault(_relisten=False)
        self._unlisten()
        self._running = False
        self._forget_certificate()

    def __enter__(self):
        if not self._running:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _listen(self, port):
        server = _Server((self.host, port), self, self._tls_context)
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

    def _make_certificate(self):
        """A self-signed certificate for ``host``, made with the openssl command."""
        folder = tempfile.mkdtemp(prefix="holded-emulator-tls-")
        cert, key = Path(folder, "cert.pem"), Path(folder, "key.pem")
        try:
            ipaddress.ip_address(self.host)
            alt_name = f"IP:{self.host}"
        except ValueError:
            alt_name = f"DNS:{self.host}"
        command = ["openssl", "req", "-x509", "-newkey", "ec",
                   "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "7",
                   "-subj", f"/CN={self.host}", "-addext", f"subjectAltName={alt_name}",
                   "-keyout", str(key), "-out", str(cert)]
        try:
            subprocess.run(command, check=True, capture_output=True, timeout=60)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        except (OSError, subprocess.SubprocessError, ssl.SSLError) as exc:
            shutil.rmtree(folder, ignore_errors=True)
            detail = getattr(exc, "stderr", None) or b""
            raise RuntimeError(
                "could not make the emulator's self-signed TLS certificate with "
                f"`openssl req`: {exc} {detail.decode(errors='replace').strip()}".strip()
            ) from exc
        self._tls_folder, self._tls_context = folder, context

    def _forget_certificate(self):
        if self._tls_folder:
            shutil.rmtree(self._tls_folder, ignore_errors=True)
        self._tls_folder = self._tls_context = None

    # -- addresses ---------------------------------------------------------

    @property
    def port(self) -> int | None:
        return self._port

    @property
    def base_url(self) -> str:
        if self._port is None:
            raise RuntimeError("emulator not started")
        scheme = "https" if self._tls_context is not None else "http"
        return f"{scheme}://{self.host}:{self._port}/"

    @property
    def api_url(self) -> str:
        """The value for HOLDED_API_URL: the API root, ending in /api/."""
        return self.base_url + "api/"

    @property
    def app_url(self) -> str:
        """The value for HOLDED_APP_URL: the web-app root, ending in /app/."""
        return self.base_url + "app/"

    @property
    def cert_path(self) -> str | None:
        """The PEM certificate a TLS client must trust (``verify=``); None without TLS."""
        return str(Path(self._tls_folder, "cert.pem")) if self._tls_folder else None

    @property
    def key(self) -> str:
        return self.keys[0]

    @property
    def token(self) -> str:
        return self.tokens[0]

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

    @property
    def events(self) -> list[dict]:
        """A copy of the stored CRM events (v1's field names, ``startDate`` in Unix seconds), in
        creation order."""
        with self._lock:
            return copy.deepcopy(list(self._store["events"].values()))

    def product(self, id: str) -> dict | None:
        with self._lock:
            return copy.deepcopy(self._store["products"].get(id))

    def add_contact(self, record: dict) -> str:
        """Store a contact as given (an id is assigned when it has none)."""
        return self._add("contacts", record)

    def remove_contact(self, id: str) -> None:
        """Delete a contact, as deleting it in the web app would."""
        with self._lock:
            self._store["contacts"].pop(id, None)

    def add_product(self, record: dict) -> str:
        return self._add("products", record)

    def _add(self, resource, record, fresh=False):
        if not fresh:
            record = copy.deepcopy(record)
        with self._lock:
            if not record.get("id"):
                record = {"id": self._new_id(resource), **record}
            self._insert(resource, record)
            return record["id"]

    def _insert(self, resource, record):
        """Store a record; a new one goes last in list order (and cursor order)."""
        store = self._store[resource]
        if record["id"] not in store:
            self._inserted += 1
            self._order[resource][record["id"]] = self._inserted
        store[record["id"]] = record

    def _new_id(self, resource):
        while True:
            candidate = new_object_id()
            if candidate not in self._order[resource]:  # never reuse a deleted one's either
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
                  times: int | None = None, status: int | None = None, body=None,
                  content_type: str | None = None, location: str = "") -> None:
        """Make the API misbehave until ``clear_fault`` (or ``times`` requests).

        refuse   close the listening socket: connections are refused
        stall    wait ``seconds`` before answering normally
        html500  answer 500 with an HTML page
        notjson  answer 200 with a body that does not parse as JSON
        blocked  answer 402 "Account has been blocked. Reason: Unpaid"
        noid     creates/updates succeed but the answer lacks "id"
        respond  answer ``status`` (200) with ``body`` (dict/list → JSON) as given
        trickle  answer normally, but send it one byte every ``seconds``, so a
                 per-read time-out never fires while the whole answer takes long
        redirect answer ``status`` (302) with an empty body and ``Location:
                 location`` (another origin's address, say)

        ``methods`` limits the fault to those HTTP methods (noid defaults to
        POST and PUT); ``times`` ends it after that many hit requests.
        """
        if mode not in FAULT_MODES:
            raise ValueError(f"unknown fault mode {mode!r}; choose from {FAULT_MODES}")
        if mode == "redirect" and not location:
            raise ValueError("a redirect needs the address to send the client to (location=)")
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
            fault.status = 200 if status is None else status
            if isinstance(body, (dict, list)):
                fault.body, fault.content_type = _dump(body), _JSON
            else:
                fault.body, fault.content_type = _as_bytes(body or b""), _TEXT
        elif mode == "redirect":
            fault.status = 302 if status is None else status
            fault.location, fault.content_type = location, None
        if content_type is not None:
            fault.content_type = content_type
        with self._lock:
            self._fault = fault
        if mode == "refuse" and self._running:
            self._unlisten()

    def clear_fault(self, _relisten: bool = True, *, release: bool = True) -> None:
        """Back to normal service; stalled and trickling answers are released at once, unless
        ``release`` is False: then they go on as they were, as a server's stuck answers would."""
        with self._lock:
            fault, self._fault = self._fault, None
        if fault is None:
            return
        if release:
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

    # -- rate limit --------------------------------------------------------

    def rate_limit(self, per_minute: int, retry_after: int = 60, *,
                   window: float = 60.0) -> None:
        """Answer 429 (``Retry-After: retry_after``) to an API request that
        arrives when ``per_minute`` requests were already served within the
        last ``window`` seconds (a sliding minute unless told otherwise).
        Refused requests do not count towards the limit."""
        if per_minute < 0 or window <= 0:
            raise ValueError("the limit must be 0 or more requests in a window of some length")
        with self._lock:
            self._rate = _RateLimit(int(per_minute), int(retry_after), float(window))

    def clear_rate_limit(self) -> None:
        with self._lock:
            self._rate = None

    def _over_rate_limit(self, is_v2):
        with self._lock:
            limit = self._rate
            if limit is None:
                return None
            now = time.monotonic()
            while limit.accepted and now - limit.accepted[0] >= limit.window:
                limit.accepted.popleft()
            if len(limit.accepted) < limit.per_window:
                limit.accepted.append(now)
                return None
            headers = {"Retry-After": str(limit.retry_after)}
        if is_v2:
            return _Answer(429, _PROBLEM, _dump(v2.Problem(429, "Too many requests.").body()),
                           headers)
        # v1's 429 body was never recorded; this shape follows its other errors.
        return _Answer(429, _JSON, _dump({"status": 429, "info": "Too many requests"}), headers)

    # -- answering ---------------------------------------------------------

    def _answer(self, record: RecordedRequest, headers) -> _Answer:
        method, path = record.method, record.path
        if path == "/app" or path.startswith("/app/"):
            return _Answer(*self._app_page(method, path))
        is_api = path.startswith("/api/")
        is_v2 = path.startswith("/api/v2/")
        if is_api:
            limited = self._over_rate_limit(is_v2)
            if limited is not None:
                return limited
        fault = self._take_fault(method) if is_api else None
        omit_id = False
        if fault is not None:
            record.fault = fault.mode
            if fault.mode == "stall":
                fault.released.wait(fault.seconds)
            elif fault.mode == "html500":
                return _Answer(500, _HTML, SERVER_ERROR_PAGE.encode())
            elif fault.mode == "blocked":
                return _Answer(402, _TEXT, BLOCKED_TEXT.encode())
            elif fault.mode in ("notjson", "respond"):
                return _Answer(fault.status, fault.content_type, fault.body)
            elif fault.mode == "redirect":
                return _Answer(fault.status, fault.content_type, b"",
                               {"Location": fault.location})
            elif fault.mode == "noid":
                omit_id = True
        if is_v2:
            answer = _Answer(*self._answer_v2(record, headers, omit_id))
        else:
            answer = _Answer(*self._answer_v1(record, headers, omit_id))
        if fault is not None and fault.mode == "trickle":
            answer.trickle = fault
        return answer

    def _answer_v1(self, record, headers, omit_id):
        method, path = record.method, record.path
        if _EVENTS_ROUTE.match(path):
            return self._v1_events(record, headers, omit_id)
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

    def _v1_events(self, record, headers, omit_id):
        if record.method not in ("GET", "POST"):
            return _not_found_page()
        denied = self._check_key(headers.get("key"))
        if denied:
            return denied
        if record.method == "GET":
            return 200, _JSON, _dump(self.events)
        fields = _body_object(record)
        if fields is None:
            return _error("Invalid body")
        new_id = self._store_event({k: v for k, v in fields.items() if k in V1_EVENT_FIELDS})
        answer = {"status": 1, "info": "Created"}
        if not omit_id:
            answer["id"] = new_id
        return 201, _JSON, _dump(answer)

    def _store_event(self, fields):
        with self._lock:
            new_id = self._new_id("events")
            self._insert("events", {"id": new_id, **copy.deepcopy(fields)})
        return new_id

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
                items = _matching(items, params, _V1_FILTERS)
                if "customId" in params:
                    wanted = {part for value in params["customId"] for part in value.split(",")}
                    items = [c for c in items if _as_text(c.get("customId")) in wanted]
            try:
                page = int(params.get("page", ["1"])[-1])
            except ValueError:
                page = 1
            page = 1 if self.ignore_page else max(page, 1)
            if page in self.blank_pages:
                return []
            start = (page - 1) * self.page_size
            answer = copy.deepcopy(items[start:start + self.page_size])
            if self.endless:
                answer += [{"id": f"{page:012x}{n:012x}", "name": f"Sin fin {page}.{n}"}
                           for n in range(len(answer), self.page_size)]
            return answer

    def _create(self, resource, record, omit_id):
        fields = _body_object(record)
        if fields is None:
            return _error("Invalid body")
        with self._lock:
            new_id = self._new_id(resource)
            stored = {"id": new_id}
            _merge(resource, stored, fields)
            self._insert(resource, stored)
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

    # -- API v2 ------------------------------------------------------------

    def _answer_v2(self, record, headers, omit_id):
        try:
            self._check_token(headers.get("Authorization"))
            if _V2_EVENTS_ROUTE.match(record.path):
                return self._v2_events(record, omit_id)
            route = _V2_ROUTE.match(record.path)
            if route is None:
                raise v2.Problem(404, "No such resource.")
            item_id, method = route.group(1), record.method
            if item_id is None and method == "GET":
                return 200, _JSON, _dump(self._v2_list(record.params))
            if item_id is None and method == "POST":
                return self._v2_create(record, omit_id)
            if item_id is None:
                raise v2.Problem(404, "No such resource.")
            with self._lock:
                stored = (self._store["contacts"].get(item_id)
                          if _OBJECT_ID.match(item_id) else None)
                if stored is None or method not in ("GET", "PUT", "DELETE"):
                    raise v2.Problem(404, f"Contact {item_id} not found.")
                if method == "GET":
                    return 200, _JSON, _dump(v2.to_v2(stored))
                if method == "DELETE":
                    del self._store["contacts"][item_id]
                    return 204, None, b""
                return self._v2_replace(stored, record)
        except v2.Problem as problem:
            return problem.status, _PROBLEM, _dump(problem.body())

    def _check_token(self, authorization):
        if not authorization or not authorization.strip():
            raise v2.Problem(401, "Invalid or missing API key.")
        scheme, _, token = authorization.strip().partition(" ")
        if scheme.lower() != "bearer" or token.strip() not in self.tokens:
            raise v2.Problem(403, "Access denied.")

    def _v2_list(self, params):
        with self._lock:
            items = _matching(self._store["contacts"].values(), params, _V2_FILTERS)
            return self._v2_page("contacts", items, params, v2.to_v2)

    def _v2_page(self, resource, items, params, view):
        """One page of ``items`` (stored records of ``resource``, in store order) as v2 lists them."""
        limit = V2_LIMIT
        if "limit" in params:
            try:
                limit = int(params["limit"][-1])
            except ValueError:
                limit = 0
            if limit < 1:
                raise v2.Problem(400, "limit: must be a whole number from 1.")
            limit = min(limit, V2_MAX_LIMIT)
        if "cursor" in params:
            cursor = params["cursor"][-1]
            if cursor == "":
                return {"items": [], "cursor": None, "has_more": False}
            order = self._order[resource]
            if cursor not in order:
                raise v2.Problem(400, f"cursor: {cursor!r} is not a valid cursor.")
            # The store keeps insertion order, so the items are sorted by it.
            start = bisect.bisect_right(items, order[cursor], key=lambda c: order[c["id"]])
            items = items[start:]
        page = items[:limit]
        return {"items": [view(c) for c in page],
                "cursor": page[-1]["id"] if page else None,
                "has_more": len(items) > limit}

    def _v2_events(self, record, omit_id):
        if record.method == "GET":
            with self._lock:
                items = list(self._store["events"].values())
                return 200, _JSON, _dump(self._v2_page("events", items, record.params,
                                                       v2.event_to_v2))
        if record.method != "POST":
            raise v2.Problem(404, "No such resource.")
        new_id = self._store_event(v2.event_fields(_v2_body(record)))
        return 201, _JSON, _dump({} if omit_id else {"id": new_id})

    def _v2_create(self, record, omit_id):
        fields, website = v2.written_fields(_v2_body(record))
        now = int(time.time())
        with self._lock:
            new_id = self._new_id("contacts")
            self._insert("contacts", {
                "id": new_id, "customId": "", **copy.deepcopy(fields),
                "iban": "", "swift": "", "clientRecord": 0, "supplierRecord": 0,
                "socialNetworks": {"website": website}, "tags": [], "notes": [],
                "shippingAddresses": [], "createdAt": now, "updatedAt": now})
        return 201, _JSON, _dump({} if omit_id else {"id": new_id})

    def _v2_replace(self, stored, record):
        fields, website = v2.written_fields(_v2_body(record),
                                            find_contact=self._store["contacts"].get)
        stored.update(copy.deepcopy(fields))
        social = stored.get("socialNetworks")
        stored["socialNetworks"] = {**(social if isinstance(social, dict) else {}),
                                    "website": website}
        stored["updatedAt"] = int(time.time())
        return 200, _JSON, _dump({"status": 1})

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


_V1_FILTERS = {"phone": "phone", "mobile": "mobile"}
_V2_FILTERS = {"phone": "phone", "mobile": "mobile", "email": "email", "code": "code",
               "custom_id": "customId"}


def _matching(items, params, filters):
    """The items whose fields equal the query's values exactly, as text.

    ``filters`` maps query names to field names; a repeated filter's last value wins.
    """
    items = list(items)
    for name, key in filters.items():
        if name in params:
            wanted = params[name][-1]
            items = [item for item in items if _as_text(item.get(key)) == wanted]
    return items


def _v2_body(record):
    """A v2 write's decoded body; an empty one counts as an empty object."""
    if not record.body.strip():
        return {}
    if record.json is None:
        raise v2.Problem(400, "The request body is not valid JSON.")
    return record.json


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
    try:
        return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    except UnicodeEncodeError:
        # Half a character (a lone surrogate) stored in a record: sent as its escape, as JSON allows.
        return json.dumps(obj, separators=(",", ":")).encode("ascii")


def _error(info):
    return 400, _JSON, _dump({"status": 0, "info": info})


def _page(title, body_html):
    return (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{title}</title>"
            f"</head>\n<body>{body_html}</body></html>\n").encode("utf-8")


def _not_found_page():
    return 200, _HTML, NOT_FOUND_PAGE.encode("utf-8")
