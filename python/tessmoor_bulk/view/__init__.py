"""``tessmoor view``: a run in the browser, served by a local web server.

The page (``static/``) draws with plotly.js, which the ``view`` extra
installs as part of the plotly package and the server hands out from there:
nothing is fetched from the network.  The server (`_server`) answers the
page's requests from the run (`_data`), cut to the range shown and reduced
for the pixels that show it (`_reduce`).
"""

from __future__ import annotations

import sys
import threading
import webbrowser
from typing import TextIO

from ._server import ViewServer, open_server, start_prefetch

__all__ = ["ViewServer", "open_server", "serve"]


def serve(path: str, *, host: str = "127.0.0.1", port: int = 0, open_browser: bool = True,
          out: TextIO | None = None, err: TextIO | None = None) -> int:
    """Serves the run at `path` until interrupted (Ctrl-C); returns 0.

    The URL of the page, with its token, goes to `out` (standard output) on
    a line of its own; a warning goes to `err` (standard error) when the
    server listens beyond the loopback address."""
    out = out or sys.stdout
    err = err or sys.stderr
    server = open_server(path, host, port)
    prefetch = None
    try:
        if not server.loopback:
            print(f"tessmoor view: warning: listening on {host} port {server.port}, not only on this machine's "
                  f"loopback address: whoever reaches it with the URL's token can read the run", file=err)
        print(server.url, file=out, flush=True)
        prefetch = start_prefetch(server)
        if open_browser:
            threading.Thread(target=_open, args=(server.url, err), name="tessmoor-view-browser", daemon=True).start()
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    # A read still running when the viewer stops ends first (briefly), so
    # that the interpreter does not exit under it.
    if prefetch is not None:
        prefetch.join(timeout=5)
    return 0


def _open(url: str, err: TextIO) -> None:
    try:
        opened = webbrowser.open(url)
    except Exception:
        opened = False
    if not opened:
        print("tessmoor view: no browser found: open the URL above in one", file=err, flush=True)
