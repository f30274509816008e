"""The viewer's HTTP server: the page, its assets and the data it asks for.

Safe by default, since a run may hold unpublished work and a local server
is reachable by every page a browser has open:

* it listens on the loopback address unless told otherwise;
* every request carries the random token of the URL printed at start, as
  ``?token=`` or as the cookie the first such request sets (SameSite=Strict,
  so other sites' pages cannot send it); others get 403;
* the Host header must name this server: a DNS name that a hostile page
  rebinds to 127.0.0.1 arrives with its own name and gets 403;
* only GET and HEAD; the paths served are a fixed table (the page, its
  assets by name, the data calls), never joined to the file system, so no
  request can reach another file;
* the page may load scripts and data from this server alone (Content
  Security Policy), and may not be framed by another.

Data answers are binary: a little-endian u32 giving the length of a JSON
header, the header (``meta`` and the list of ``arrays`` with their name,
dtype, length and byte offset), then the arrays, each at an offset that is
a multiple of 8 so that the page views them in place as typed arrays.
"""

from __future__ import annotations

import hmac
import ipaddress
import json
import math
import secrets
import socket
import struct
import sys
import threading
from http import HTTPStatus
from http.cookies import CookieError, SimpleCookie
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit

import numpy as np

from .._extras import require
from .._run import Run
from . import _reduce
from ._data import BadRequest, Reply, Source, Superseded, finite, parse_xic

STATIC = Path(__file__).resolve().parent / "static"
_DTYPES = {np.dtype("<f8"): "f8", np.dtype("<f4"): "f4"}
_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
          ".css": "text/css; charset=utf-8"}
# Scripts from this server only, none inline; plotly.js styles its elements
# inline ('unsafe-inline' for styles only).  The traces the page draws (SVG
# and canvas, no WebGL) need no 'unsafe-eval'.
_CSP = ("default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
        "img-src 'self' data: blob:; connect-src 'self'; font-src 'self' data:; "
        "frame-ancestors 'none'; base-uri 'none'; form-action 'none'")


def assets() -> dict[str, Path]:
    """The files the page may load, by the name it asks for: the package's
    own and plotly.js from the installed plotly package (the 'view' extra)."""
    plotly = require("plotly", "view", "tessmoor view")
    script = Path(plotly.__file__ or ".").resolve().parent / "package_data" / "plotly.min.js"
    if not script.is_file():
        raise ImportError(f"tessmoor view needs plotly.js, which the installed plotly does not ship at {script}: "
                          f"pip install 'tessmoor[view]'")
    table = {p.name: p for p in STATIC.iterdir() if p.is_file() and p.suffix in _TYPES}
    table["plotly.min.js"] = script
    return table


def encode(reply: Reply) -> bytes:
    arrays, blobs, offset = [], [], 0
    for name, array in reply.arrays:
        a = np.ascontiguousarray(array)
        if a.dtype.kind in "iu":
            a = a.astype("<f8")  # scan numbers: exact in a double, and no BigInt on the page
        a = a.astype(a.dtype.newbyteorder("<"), copy=False)
        arrays.append({"name": name, "dtype": _DTYPES[a.dtype], "length": int(a.size), "offset": offset})
        blob = a.tobytes()
        blobs.append(blob + b"\0" * (-len(blob) % 8))
        offset += len(blobs[-1])
    head = _json({"meta": reply.meta, "arrays": arrays})
    # Offsets count from the end of the header, padded to 8 bytes.
    head += b" " * (-(4 + len(head)) % 8)
    return struct.pack("<I", len(head)) + head + b"".join(blobs)


def _json(value: Any) -> bytes:
    return json.dumps(_plain(value), allow_nan=False, separators=(",", ":")).encode()


def _plain(value: Any) -> Any:
    """JSON-ready: numpy scalars as Python numbers, NaN and infinities as null."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


class _Params:
    """The query of a data request, read with the checks and messages of
    a 400 answer."""

    def __init__(self, query: str) -> None:
        try:
            self._values = {k: v[-1] for k, v in parse_qs(query, keep_blank_values=True, strict_parsing=False,
                                                             max_num_fields=64).items()}
        except ValueError as e:
            raise BadRequest(str(e)) from None

    def has(self, name: str) -> bool:
        return self._values.get(name, "") != ""

    def text(self, name: str, default: str | None = None) -> str:
        value = self._values.get(name, "")
        if value == "":
            if default is None:
                raise BadRequest(f"missing parameter {name!r}")
            return default
        return value

    def integer(self, name: str, default: int | None = None) -> int:
        if not self.has(name) and default is not None:
            return default
        text = self.text(name)
        try:
            return int(text)
        except ValueError:
            raise BadRequest(f"{name}={text!r} is not an integer") from None

    def number(self, name: str) -> float | None:
        if not self.has(name):
            return None
        text = self.text(name)
        try:
            value = float(text)
        except ValueError:
            raise BadRequest(f"{name}={text!r} is not a number") from None
        return finite(value, name)

    def window(self, lo: str, hi: str) -> tuple[float, float] | None:
        a, b = self.number(lo), self.number(hi)
        if a is None and b is None:
            return None
        if a is None or b is None:
            raise BadRequest(f"give both {lo} and {hi}, or neither")
        if not a <= b:
            raise BadRequest(f"{lo}={a!r} is above {hi}={b!r}")
        return a, b

    def pixels(self, default: int = 1000) -> int:
        return max(16, min(self.integer("px", default), _reduce.MAX_PIXELS))

    def flag(self, name: str) -> bool:
        return self._values.get(name, "") in ("1", "true", "on")


class ViewServer(ThreadingHTTPServer):
    """A threading HTTP server for one run; `url` opens its page."""

    daemon_threads = True
    # A port left in TIME_WAIT by a viewer just stopped may be taken again.
    allow_reuse_address = True

    def __init__(self, source: Source, host: str, port: int) -> None:
        try:
            infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
        except socket.gaierror as e:
            raise OSError(f"cannot listen on {host!r}: {e.strerror}") from None
        family, _, _, _, address = infos[0]
        self.address_family = family
        self.source = source
        self.token = secrets.token_urlsafe(32)
        self.assets = assets()
        self.name = Path(source.run.path.rstrip("/\\")).name or source.run.path
        try:
            super().__init__((str(address[0]), int(address[1])), _Handler)
        except OSError as e:
            raise OSError(f"cannot listen on {host} port {port}: {e.strerror or e}") from None
        bound = ipaddress.ip_address(str(self.server_address[0]).split("%")[0])
        self.loopback = bound.is_loopback
        self.port = int(self.server_address[1])
        self.cookie = f"tessmoor_view_{self.port}"
        names = {"localhost"}
        if not self.loopback:
            names |= {host.lower(), socket.gethostname().lower()}
        self._names = names
        shown = "127.0.0.1" if bound.is_unspecified and family == socket.AF_INET else (
            "[::1]" if bound.is_unspecified else (f"[{bound}]" if bound.version == 6 else str(bound)))
        self.url = f"http://{shown}:{self.port}/?token={self.token}"

    def server_bind(self) -> None:
        # HTTPServer's own looks the address up in the DNS (getfqdn), which
        # can stall for seconds on a machine without one: bind only.
        import socketserver

        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = str(self.server_address[0]), int(self.server_address[1])

    def host_allowed(self, header: str | None) -> bool:
        """Whether a Host header names this server: an IP address (which no
        DNS rebinding can produce), localhost, or for a server listening
        beyond the loopback, the name it was given or the machine's, with
        this server's port."""
        if not header:
            return False
        header = header.strip().lower()
        if header.startswith("["):
            name, _, rest = header[1:].partition("]")
            port = rest[1:] if rest.startswith(":") else ""
        else:
            name, _, port = header.rpartition(":") if ":" in header else (header, "", "")
        if port != str(self.port):
            return False
        try:
            address = ipaddress.ip_address(name)
        except ValueError:
            return name in self._names
        return address.is_loopback or not self.loopback

    def token_ok(self, given: str | None) -> bool:
        return given is not None and hmac.compare_digest(given.encode(), self.token.encode())


class _Handler(BaseHTTPRequestHandler):
    server: ViewServer
    protocol_version = "HTTP/1.1"
    server_version = "tessmoor-view"
    sys_version = ""

    # -- the gate ------------------------------------------------------------

    def do_GET(self) -> None:
        self._answer(head=False)

    def do_HEAD(self) -> None:
        self._answer(head=True)

    def _refuse_method(self) -> None:
        self._send(HTTPStatus.METHOD_NOT_ALLOWED, b"read-only: GET and HEAD only\n", "text/plain; charset=utf-8",
                   extra={"Allow": "GET, HEAD"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method

    def _answer(self, head: bool) -> None:
        self._head = head
        server = self.server
        if not server.host_allowed(self.headers.get("Host")):
            self._send(HTTPStatus.FORBIDDEN, b"forbidden: unknown Host\n", "text/plain; charset=utf-8")
            return
        url = urlsplit(self.path)
        token = parse_qs(url.query).get("token", [None])[-1]
        set_cookie = False
        if server.token_ok(token):
            set_cookie = True
        elif not server.token_ok(self._cookie()):
            self._send(HTTPStatus.FORBIDDEN, b"forbidden: open the URL that tessmoor view printed\n",
                       "text/plain; charset=utf-8")
            return
        self._set_cookie = set_cookie
        path = url.path
        try:
            if path in ("/", "/index.html"):
                self._file(server.assets["index.html"])
            elif path.startswith("/static/") and path[len("/static/"):] in server.assets:
                self._file(server.assets[path[len("/static/"):]], cache=True)
            elif path in _ROUTES:
                self._data(_ROUTES[path], _Params(url.query))
            else:
                self._send(HTTPStatus.NOT_FOUND, b"not found\n", "text/plain; charset=utf-8")
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _cookie(self) -> str | None:
        try:
            jar = SimpleCookie(self.headers.get("Cookie", ""))
        except CookieError:
            return None
        morsel = jar.get(self.server.cookie)
        return None if morsel is None else morsel.value

    # -- answers -------------------------------------------------------------

    def _file(self, path: Path, cache: bool = False) -> None:
        body = path.read_bytes()
        self._send(HTTPStatus.OK, body, _TYPES.get(path.suffix, "application/octet-stream"),
                   cache="private, max-age=86400" if cache else "no-store")

    def _data(self, route: Callable[[Source, _Params], Any], params: _Params) -> None:
        source = self.server.source
        try:
            result = route(source, params)
        except BadRequest as e:
            return self._error(HTTPStatus.BAD_REQUEST, str(e))
        except Superseded as e:
            return self._error(HTTPStatus.CONFLICT, str(e))
        except LookupError as e:  # IndexError too: a function, scan or channel that does not exist
            return self._error(HTTPStatus.NOT_FOUND, str(e.args[0]) if e.args else str(e))
        except ValueError as e:
            return self._error(HTTPStatus.BAD_REQUEST, str(e))
        except (OSError, RuntimeError) as e:  # FormatError is a RuntimeError: a damaged run
            text = f"{e.strerror}: {e.filename}" if isinstance(e, OSError) and e.strerror and e.filename else str(e)
            print(f"tessmoor view: {' '.join(text.splitlines())}", file=sys.stderr)
            return self._error(HTTPStatus.INTERNAL_SERVER_ERROR, text)
        except Exception as e:  # a fault of the viewer itself: said, not a dropped connection
            text = f"internal error: {type(e).__name__}: {e}"
            print(f"tessmoor view: {' '.join(text.splitlines())}", file=sys.stderr)
            return self._error(HTTPStatus.INTERNAL_SERVER_ERROR, text)
        if isinstance(result, Reply):
            self._send(HTTPStatus.OK, encode(result), "application/octet-stream")
        elif isinstance(result, _Csv):
            self._send(HTTPStatus.OK, result.text.encode(), "text/csv; charset=utf-8",
                       extra={"Content-Disposition": f'attachment; filename="{_safe(self.server.name)}-'
                                                     f'{result.name}.csv"'})
        else:
            self._send(HTTPStatus.OK, _json(result), "application/json")

    def _error(self, status: HTTPStatus, message: str) -> None:
        self._send(status, _json({"error": message}), "application/json")

    def _send(self, status: HTTPStatus, body: bytes, kind: str, cache: str = "no-store",
              extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", cache)
        self.send_header("Content-Security-Policy", _CSP)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Cross-Origin-Resource-Policy", "same-origin")
        if getattr(self, "_set_cookie", False):
            self.send_header("Set-Cookie", f"{self.server.cookie}={self.server.token}; Path=/; HttpOnly; "
                                           f"SameSite=Strict")
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if not getattr(self, "_head", False):
            self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # quiet: failures of the data calls are reported on stderr by _data


def _safe(name: str) -> str:
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in name) or "run"


# -- the data calls ------------------------------------------------------------

class _Csv:
    """A CSV download: `name` goes into the file's name."""

    def __init__(self, name: str, header: list[str], columns: list[list[str]]) -> None:
        self.name = name
        self.text = "\n".join([",".join(header), *(",".join(row) for row in zip(*columns))]) + "\n"


def _csv_wanted(p: _Params) -> bool:
    kind = p.text("format", "bin")
    if kind not in ("bin", "csv"):
        raise BadRequest(f"format={kind!r}: bin or csv")
    return kind == "csv"


def _inside(x: np.ndarray, window: tuple[float, float] | None) -> np.ndarray:
    return np.ones(len(x), dtype=bool) if window is None else (x >= window[0]) & (x <= window[1])


def _scan_options(p: _Params) -> dict[str, Any]:
    return {"lock_mass": p.number("lock_mass"), "centroid": p.flag("centroid")}


def _route_run(source: Source, p: _Params) -> Any:
    return source.describe()


def _route_chromatogram(source: Source, p: _Params) -> Reply:
    kind = p.text("kind")
    label = None
    if kind == "channel":
        trace, label = source.channel(p.integer("channel"))
    else:
        xic = parse_xic(p.text("xic")) if kind == "xic" else None
        trace = source.trace(p.integer("f"), kind, xic=xic, **_scan_options(p))
    lo, hi = p.window("x0", "x1") or (None, None)
    reply = source.chromatogram(trace, lo, hi, p.pixels())
    reply.meta.update(kind=kind, label=label)
    return reply


def _route_scans_csv(source: Source, p: _Params) -> _Csv:
    """The function's traces over the scans of a retention-time range, one
    row per scan: TIC, base peak (and its m/z) and the XICs of `xic`
    (``lo:hi`` m/z windows joined by ``;``)."""
    from ..cli import _floats, _floats32, _ints  # the command line's exact number forms

    func, options, window = p.integer("f"), _scan_options(p), p.window("x0", "x1")
    tic = source.trace(func, "tic")
    keep = _inside(tic.rt, window)
    assert tic.scans is not None
    header, columns = ["scan", "rt_min", "tic"], [_ints(tic.scans[keep]), _floats32(tic.rt[keep]),
                                                  _floats(tic.value[keep])]
    base = source.trace(func, "base_peak", **options)
    header.append("base_peak")
    columns.append(_floats(base.value[keep]))
    if base.mz is not None:
        header.append("base_peak_mz")
        columns.append(_floats(base.mz[keep]))
    for part in filter(None, p.text("xic", "").split(";")):
        header.append(f"xic_{part}")
        columns.append(_floats(source.trace(func, "xic", xic=parse_xic(part), **options).value[keep]))
    return _Csv(f"function{func}-chromatograms", header, columns)


def _route_channels_csv(source: Source, p: _Params) -> _Csv:
    from ..cli import _floats, _floats32

    window = p.window("x0", "x1")
    names, rts, values = [], [], []
    for part in filter(None, p.text("channels", "").split(",")):
        try:
            index = int(part)
        except ValueError:
            raise BadRequest(f"channels={part!r} is not a channel number") from None
        trace, label = source.channel(index)
        keep = _inside(trace.rt, window)
        names += [_quote(label)] * int(keep.sum())
        rts += _floats32(trace.rt[keep])
        values += _floats32(trace.value[keep])
    return _Csv("channels", ["channel", "rt_min", "value"], [names, rts, values])


def _quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n\r') else text


def _scan(source: Source, p: _Params, func: int) -> int:
    if p.has("scan"):
        return p.integer("scan")
    rt = p.number("rt")
    if rt is None:
        raise BadRequest("give scan or rt")
    return source.nearest_scan(func, rt)


def _route_spectrum(source: Source, p: _Params) -> Reply | _Csv:
    func = source.function(p.integer("f"))
    scan = _scan(source, p, func)
    window = p.window("x0", "x1")
    lo, hi = window or (None, None)
    if _csv_wanted(p):
        from ..cli import _floats, _floats32

        reply = source.spectrum(func, scan, lo, hi, None, **_scan_options(p))
        mz, intensity = (a for _, a in reply.arrays)
        keep = _inside(mz, window)
        return _Csv(f"function{func}-scan{reply.meta['scan']}", ["mz", "intensity"],
                    [_floats(mz[keep]), _floats32(intensity[keep])])
    return source.spectrum(func, scan, lo, hi, p.pixels(), sticks=p.flag("sticks"), **_scan_options(p))


def _ion_selection(source: Source, p: _Params) -> tuple[int | None, tuple[float, float] | None]:
    rt = p.window("rt0", "rt1")
    return (None, rt) if rt is not None else (p.integer("scan"), None)


def _route_ion_map(source: Source, p: _Params) -> Reply | _Csv:
    func = source.function(p.integer("f"))
    scan, rt = _ion_selection(source, p)
    nx = max(8, min(p.integer("nx", 600), 2000))
    ny = max(8, min(p.integer("ny", 200), 1000))
    reply = source.ion_map(func, scan, rt, p.window("mz0", "mz1"), p.window("dt0", "dt1"), (nx, ny),
                           **_scan_options(p))
    if not _csv_wanted(p):
        return reply
    from ..cli import _floats

    x, y, z = (a for _, a in reply.arrays)
    nx, ny = len(x) - 1, len(y) - 1
    cells = np.flatnonzero(z)
    iy, ix = np.divmod(cells, nx)
    return _Csv(f"function{func}-ion-map", ["mz_from", "mz_to", "drift_from_ms", "drift_to_ms", "intensity"],
                [_floats(x[ix]), _floats(x[ix + 1]), _floats(y[iy]), _floats(y[iy + 1]),
                 _floats(z[cells])])


def _route_mobilogram(source: Source, p: _Params) -> Reply | _Csv:
    func = source.function(p.integer("f"))
    scan, rt = _ion_selection(source, p)
    reply = source.mobilogram(func, parse_xic(p.text("xic")), scan, rt, lock_mass=p.number("lock_mass"))
    if not _csv_wanted(p):
        return reply
    from ..cli import _floats

    drift, intensity = (a for _, a in reply.arrays)
    return _Csv(f"function{func}-mobilogram", ["drift_time_ms", "intensity"], [_floats(drift), _floats(intensity)])


_ROUTES: dict[str, Callable[[Source, _Params], Any]] = {
    "/api/run": _route_run,
    "/api/chromatogram": _route_chromatogram,
    "/api/scans.csv": _route_scans_csv,
    "/api/channels.csv": _route_channels_csv,
    "/api/spectrum": _route_spectrum,
    "/api/ionmap": _route_ion_map,
    "/api/mobilogram": _route_mobilogram,
}


def open_server(path: str, host: str = "127.0.0.1", port: int = 0) -> ViewServer:
    """A server for the run at `path`, listening, not yet serving."""
    assets()  # the 'view' extra, before the run is opened
    return ViewServer(Source(Run(path)), host, port)


def start_prefetch(server: ViewServer) -> threading.Thread:
    """Reads the first function's chromatograms while the browser starts."""
    def work() -> None:
        try:
            server.source.prefetch()
        except Exception:  # the page's own request reports it
            pass
    thread = threading.Thread(target=work, name="tessmoor-view-prefetch", daemon=True)
    thread.start()
    return thread
