"""A local stand-in for the company directory site, on the standard library only."""

from __future__ import annotations

import re
import sys
import threading
from dataclasses import dataclass
from email.message import Message
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote_to_bytes

from .catalogue import Page, Site

_LISTING = re.compile(r"^/Actividad/([^/]+)/$")
# A relative "Empresa/..." link resolves below the listing's own folder.
_COMPANY = re.compile(r"^/(?:Actividad/[^/]+/)?Empresa/([A-Za-z0-9-]+\.html)$")

_NOT_FOUND = Page(
    '<!DOCTYPE html>\n<html lang="es">\n<head>\n<meta charset="utf-8">\n'
    "<title>Página no encontrada</title>\n</head>\n<body>\n"
    "<h1>Página no encontrada</h1>\n<p>La página que busca no existe.</p>\n"
    "</body>\n</html>\n",
    "utf-8",
)

FAULT_MODES = ("stall", "refuse", "status", "redirect", "trickle", "huge")


@dataclass(frozen=True)
class RecordedRequest:
    method: str
    path: str  # as sent, percent-encoding and query included
    headers: Message  # case-insensitive lookup: headers["user-agent"]

    @property
    def user_agent(self) -> str | None:
        return self.headers.get("User-Agent")


@dataclass(frozen=True)
class Fault:
    mode: str
    seconds: float = 0.0
    status: int = 500
    path: str | None = None  # only requests whose decoded path starts with this
    location: str = ""  # where "redirect" sends the client
    size: int = 0  # bytes of padding "huge" sends

    def applies_to(self, path: str) -> bool:
        return self.path is None or path.startswith(self.path)


def decode_path(raw: str) -> str | None:
    """The request path without its query, percent-decoded as UTF-8; None if undecodable."""
    raw = raw.split("?", 1)[0].split("#", 1)[0]
    try:
        # http.server reads the request line as Latin-1; undo that to get the bytes sent.
        return unquote_to_bytes(raw.encode("latin-1")).decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return None


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"

    def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
        emulator = self.server.emulator
        emulator.requests.append(RecordedRequest(self.command, self.path, self.headers))
        path = decode_path(self.path)
        fault = emulator.fault
        if fault is not None and path is not None and fault.applies_to(path):
            if fault.mode == "stall":
                # Woken early by clear_fault() or stop(), so teardown never waits.
                emulator._wake.wait(fault.seconds)
            elif fault.mode == "status":
                self._send(fault.status, Page(_error_html(fault.status), "utf-8"))
                return
            elif fault.mode == "redirect":
                self.send_response(fault.status)
                self.send_header("Location", fault.location)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            elif fault.mode == "huge":
                self._send_huge(fault.size)
                return
        page = emulator._resolve(path) if path is not None else None
        trickling = fault is not None and fault.mode == "trickle" and path is not None and fault.applies_to(path)
        trickle = fault.seconds if trickling else None
        if page is None:
            self._send(HTTPStatus.NOT_FOUND, _NOT_FOUND, trickle)
        else:
            self._send(HTTPStatus.OK, page, trickle)

    def _send(self, status: int, page: Page, trickle: float | None = None) -> None:
        body = page.encoded()
        self.send_response(status)
        self.send_header("Content-Type", f"text/html; charset={page.charset}")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if trickle is None:
            self.wfile.write(body)
            return
        for index in range(len(body)):
            self.wfile.write(body[index:index + 1])
            self.wfile.flush()
            if self.server.emulator._wake.wait(trickle):  # cleared or stopping: the rest at once
                self.wfile.write(body[index + 1:])
                return

    def _send_huge(self, size: int) -> None:
        # No Content-Length: the page ends when the connection does, as a careless server sends it.
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        piece = b"<p>" + b"relleno " * 8000 + b"</p>\n"
        self.wfile.write(b"<!DOCTYPE html>\n<html><body>\n")
        sent = 0
        while sent < size:
            self.wfile.write(piece)
            sent += len(piece)
        self.wfile.write(b"</body></html>\n")

    def log_message(self, format: str, *args) -> None:  # noqa: A002
        if self.server.emulator.verbose:
            super().log_message(format, *args)


def _error_html(status: int) -> str:
    return (
        '<!DOCTYPE html>\n<html lang="es">\n<head>\n<meta charset="utf-8">\n'
        f"<title>Error {status}</title>\n</head>\n<body>\n<h1>Error {status}</h1>\n</body>\n</html>\n"
    )


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, emulator: "DirectoryEmulator") -> None:
        self.emulator = emulator
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address) -> None:
        # A client that gave up (time-out tests) is expected; anything else is reported.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class DirectoryEmulator:
    """The directory site on 127.0.0.1.

    ``url`` is the base address (ending in "/") to put into DIRECTORY_URL;
    ``requests`` records every request received, in order.
    """

    def __init__(self, host: str = "127.0.0.1", verbose: bool = False) -> None:
        self.host = host
        self.verbose = verbose
        self.requests: list[RecordedRequest] = []
        self.fault: Fault | None = None
        self.port: int | None = None
        self._site: Site | None = None
        self._httpd: _Server | None = None
        self._thread: threading.Thread | None = None
        self._wake = threading.Event()
        self._lock = threading.Lock()

    # -- life cycle -------------------------------------------------------

    def start(self, port: int = 0) -> "DirectoryEmulator":
        if self.port is not None:
            raise RuntimeError("the directory emulator is already started")
        self._site = Site.load()
        self._listen(port)
        return self

    def stop(self) -> None:
        self._wake.set()
        with self._lock:
            self._close()
        self.port = None

    def __enter__(self) -> "DirectoryEmulator":
        if self.port is None:
            self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def url(self) -> str:
        if self.port is None:
            raise RuntimeError("the directory emulator is not started")
        host = "127.0.0.1" if self.host in ("", "0.0.0.0") else self.host
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{self.port}/"

    # -- faults -----------------------------------------------------------

    def set_fault(
        self, mode: str, *, seconds: float = 30.0, status: int | None = None, path: str | None = None,
        location: str = "", size: int = 6 * 1024 * 1024,
    ) -> None:
        """Misbehave until clear_fault().

        "stall": wait ``seconds`` before answering; "status": answer ``status``
        (500) with a small HTML page; "refuse": close the listening socket, so
        that connections are refused; "redirect": answer ``status`` (302) with
        ``Location: location``; "trickle": send the page one byte every
        ``seconds``; "huge": answer 200 with a page of about ``size`` bytes and
        no Content-Length. ``path`` limits the others to requests whose decoded
        path starts with it (for example "/Empresa/").
        """
        if mode not in FAULT_MODES:
            raise ValueError(f"unknown fault mode {mode!r}; expected one of {FAULT_MODES}")
        if mode == "refuse" and path is not None:
            raise ValueError("a refused connection cannot depend on the path")
        if mode == "redirect" and not location:
            raise ValueError("a redirect needs the address to send the client to (location=)")
        if status is None:
            status = 302 if mode == "redirect" else 500
        self.clear_fault()
        if mode == "refuse":
            with self._lock:
                self._close()
        self._wake.clear()
        self.fault = Fault(mode, seconds, status, path, location, size)

    def clear_fault(self) -> None:
        self.fault = None
        self._wake.set()
        with self._lock:
            if self._httpd is None and self.port is not None:
                # Back on the same port, so the address the client holds works again.
                self._listen(self.port)

    # -- internals --------------------------------------------------------

    def _listen(self, port: int) -> None:
        self._httpd = _Server((self.host, port), self)
        self.port = self._httpd.server_address[1]
        # A short poll keeps stop() and "refuse" quick (shutdown waits for one poll).
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, args=(0.05,), name=f"directory-emulator:{self.port}", daemon=True
        )
        self._thread.start()

    def _close(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._httpd = None
            self._thread = None

    def _resolve(self, path: str) -> Page | None:
        site = self._site
        match = _LISTING.match(path)
        if match:
            listing = site.listings.get(match.group(1))
            return site.render_listing(listing, self.url) if listing else None
        match = _COMPANY.match(path)
        if match:
            return site.companies.get(match.group(1))
        return None
