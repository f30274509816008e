"""`tessmoor view`: the server's gate and data calls, and the page in headless
Chromium on the sample run (screenshots of each step in the test's tmp
folder)."""

import http.client
import json
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import tessmoor_bulk
from tessmoor_bulk import cli

pytest.importorskip("plotly", reason="the 'view' extra is not installed")
from tessmoor_bulk.view import _reduce, open_server  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.raw"


@pytest.fixture(scope="module")
def run():
    return tessmoor_bulk.Run(SAMPLE)


@pytest.fixture(scope="module")
def server():
    server = open_server(str(SAMPLE))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


def request(server, path, *, host=None, cookie=None, method="GET"):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    headers = {"Host": host or f"127.0.0.1:{server.port}"}
    if cookie:
        headers["Cookie"] = cookie
    conn.request(method, path, headers=headers)  # the path goes out as written, `..` and all
    response = conn.getresponse()
    body = response.read()
    conn.close()
    return response.status, dict(response.getheaders()), body


def arrays(body):
    length = struct.unpack_from("<I", body)[0]
    head = json.loads(body[4:4 + length])
    out = {a["name"]: np.frombuffer(body, dtype="<" + a["dtype"], count=a["length"], offset=4 + length + a["offset"])
           for a in head["arrays"]}
    return head["meta"], out


# -- the gate ------------------------------------------------------------------

def test_gate(server):
    t = server.token
    status, headers, _ = request(server, f"/?token={t}")
    assert status == 200 and "SameSite=Strict" in headers["Set-Cookie"] and "HttpOnly" in headers["Set-Cookie"]
    cookie = headers["Set-Cookie"].split(";")[0]
    refused = [
        ("/", None, None, "GET"),                                  # no token
        ("/api/run?token=" + t[:-1] + "x", None, None, "GET"),     # a wrong one
        ("/", None, cookie.replace(t, "x" * len(t)), "GET"),       # a wrong cookie
        (f"/?token={t}", f"evil.example:{server.port}", None, "GET"),   # DNS rebinding
        (f"/?token={t}", f"localhost:{server.port + 1}", None, "GET"),  # another port
        (f"/?token={t}", f"192.0.2.1:{server.port}", None, "GET"),      # not this loopback server
    ]
    for path, host, jar, method in refused:
        assert request(server, path, host=host, cookie=jar, method=method)[0] == 403, (path, host, jar)
    missing = [f"/static/../../../etc/passwd?token={t}", f"/static/..%2f..%2fview%2f_server.py?token={t}",
               f"/../_HEADER.TXT?token={t}", f"/static/%2e%2e/_data.py?token={t}", f"/api/../../etc/passwd?token={t}"]
    for path in missing:
        assert request(server, path)[0] == 404, path
    assert request(server, "/api/run", cookie=cookie)[0] == 200
    for asset in ("plotly.min.js", "view.js", "view.css"):  # installed with the package
        assert request(server, f"/static/{asset}", cookie=cookie)[0] == 200
    assert request(server, "/api/run", cookie=cookie, method="POST")[0] == 405
    assert request(server, f"/?token={t}", host=f"[::1]:{server.port}")[0] == 200


# -- the data calls ------------------------------------------------------------

def test_data_calls_give_the_run_s_values(server, run):
    t = server.token
    status, _, body = request(server, f"/api/chromatogram?token={t}&f=2&kind=tic")
    meta, got = arrays(body)
    assert status == 200 and not meta["reduced"]
    assert np.array_equal(got["rt"], run.tic(2).rt_min) and np.array_equal(got["value"], run.tic(2).intensity)
    # A window [lo, hi] is the XIC of its centre, da = half its width.
    _, _, body = request(server, f"/api/chromatogram?token={t}&f=3&kind=xic&xic=359.99:360.04")
    assert np.array_equal(arrays(body)[1]["value"], run.xic(3, (359.99 + 360.04) / 2, da=(360.04 - 359.99) / 2).intensity)
    _, _, body = request(server, f"/api/chromatogram?token={t}&f=1&kind=xic&xic=524.26~20ppm")
    assert np.array_equal(arrays(body)[1]["value"], run.xic(1, 524.26, ppm=20).intensity)
    # An ion-mobility function is read with its drift times: its m/z come right only so.
    _, _, body = request(server, f"/api/spectrum?token={t}&f=2&rt=0.05")
    meta, got = arrays(body)
    spec = run.spectrum(2, 2, ims=True)
    order = np.argsort(spec.mz, kind="stable")
    assert meta["scan"] == 2 and np.array_equal(got["mz"], spec.mz[order])
    assert np.array_equal(got["intensity"], spec.intensity[order])
    # The mobilogram of a window: per distinct drift time, the intensities summed.
    _, _, body = request(server, f"/api/mobilogram?token={t}&f=2&rt0=0&rt1=1&xic=100:600")
    _, got = arrays(body)
    peaks = run.spectra(2, mz=(100, 600), ims=True)
    drift, where = np.unique(peaks.drift_time_ms, return_inverse=True)
    assert np.array_equal(got["drift"], drift)
    assert np.array_equal(got["intensity"], np.bincount(where, weights=peaks.intensity))
    _, _, body = request(server, f"/api/ionmap?token={t}&f=2&rt0=0&rt1=1")
    assert np.isclose(arrays(body)[1]["intensity"].sum(), run.tic(2).intensity.sum(), rtol=1e-6)
    status, headers, body = request(server, f"/api/spectrum?token={t}&f=1&scan=3&format=csv")
    assert "attachment" in headers["Content-Disposition"]
    rows = np.loadtxt(body.decode().splitlines()[1:], delimiter=",")
    assert np.array_equal(rows[:, 0], run.spectrum(1, 3).mz) and np.array_equal(rows[:, 1], run.spectrum(1, 3).intensity)


@pytest.mark.parametrize("query, status, says", [
    ("/api/spectrum?f=9&scan=0", 404, "no function 9"),
    ("/api/spectrum?f=1&scan=99", 404, "out of range"),
    ("/api/spectrum?f=1", 400, "scan or rt"),
    ("/api/spectrum?f=x&scan=0", 400, "not an integer"),
    ("/api/spectrum?f=1&scan=0&x0=5&x1=nan", 400, "finite"),
    ("/api/chromatogram?f=1&kind=xic&xic=5:4", 400, "lo:hi"),
    ("/api/chromatogram?f=1&kind=nope", 400, "unknown chromatogram"),
    ("/api/ionmap?f=1&scan=0", 400, "no drift times"),
    ("/api/chromatogram?kind=channel&channel=7", 404, "no channel 7"),
])
def test_bad_requests_say_what_is_wrong(server, query, status, says):
    got, _, body = request(server, f"{query}&token={server.token}")
    assert got == status and says in json.loads(body)["error"]


def test_m4_draws_what_every_point_draws():
    rng = np.random.default_rng(5)
    x = np.sort(rng.uniform(0, 100, 200_000))
    y = rng.exponential(1.0, x.size)
    keep = _reduce.m4(x, y, 500, 0.0, 100.0)
    assert len(keep) <= 4 * 500
    column = np.clip((x * 5).astype(int), 0, 499)
    for c in rng.choice(500, 20, replace=False):
        inside = np.flatnonzero(column == c)
        kept = np.intersect1d(keep, inside)
        assert {inside[0], inside[-1], inside[np.argmin(y[inside])], inside[np.argmax(y[inside])]} <= set(kept)
    # Sticks from zero: the tallest of each column hides the others.
    keep = _reduce.tallest(x, y, 500, 0.0, 100.0)
    assert len(keep) == 500 and np.array_equal(y[keep], [y[column == c].max() for c in range(500)])
    # A whole trace of a million points answers in well under 1 MB.
    from tessmoor_bulk.view._data import Source, Trace
    from tessmoor_bulk.view._server import encode

    big = Trace(np.arange(1e6), rng.random(1_000_000), None, rng.random(1_000_000))
    assert len(encode(Source.chromatogram(big, None, None, _reduce.MAX_PIXELS))) < 1_000_000


# -- the command line ----------------------------------------------------------

def test_command_prints_its_url_warns_beyond_loopback_and_stops_on_ctrl_c():
    proc = subprocess.Popen([sys.executable, "-m", "tessmoor_bulk", "view", str(SAMPLE), "--no-browser",
                             "--host", "0.0.0.0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:") and "/?token=" in url
        port = int(url.split(":")[2].split("/")[0])
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", url[url.index("/?"):])
        assert conn.getresponse().status == 200
        conn.close()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(10) == 0
        assert "warning: listening on 0.0.0.0" in proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()


def test_command_names_the_extra_it_needs(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "plotly", None)
    assert cli.main(["view", str(SAMPLE), "--no-browser"]) == 1
    assert "pip install 'tessmoor[view]'" in capsys.readouterr().err


# -- the page in a browser -----------------------------------------------------

@pytest.fixture(scope="module")
def page(server, tmp_path_factory):
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (browser and driver):
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1800"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    d = webdriver.Chrome(service=Service(driver), options=options)
    d.shots = tmp_path_factory.mktemp("screenshots")
    d.get(server.url)
    settle(d)
    yield d
    d.quit()


def settle(d, timeout=30):
    """Waits until the page has started and no request is in flight."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if d.execute_script("const v = window.tessmoorView; return !!(v && v.started && v.state.pending === 0)"):
            time.sleep(0.2)
            if d.execute_script("return tessmoorView.state.pending === 0"):
                return
        time.sleep(0.05)
    raise AssertionError("the page did not settle")


def trace(d, plot, name):
    return d.execute_script(
        "const t = document.getElementById(arguments[0]).data.find((t) => t.name === arguments[1]);"
        "return t ? [Array.from(t.x), Array.from(t.y)] : null;", plot, name)


def pixel(d, plot, x, y=None):
    """The offset from the plot's centre of data point (x, y)."""
    return d.execute_script("""
        const gd = document.getElementById(arguments[0]), xa = gd._fullLayout.xaxis, ya = gd._fullLayout.yaxis;
        const px = xa._offset + xa.l2p(arguments[1]);
        const py = arguments[2] === null ? ya._offset + ya._length / 2 : ya._offset + ya.l2p(arguments[2]);
        return [px - gd.clientWidth / 2, py - gd.clientHeight / 2];""", plot, x, y)


def peaks(d):
    """The spectrum's sticks, (m/z, intensity) of each."""
    x, y = trace(d, "spec", "sticks")
    return x[0::3], y[1::3]


def errors(d):
    logged = [e["message"] for e in d.get_log("browser") if e["level"] == "SEVERE"]
    return logged + d.execute_script("return tessmoorView.errors")


def test_page_loads_and_draws_the_tic(page, run):
    page.save_screenshot(page.shots / "1-loaded.png")
    assert errors(page) == []
    rt, tic = trace(page, "chrom", "TIC")
    assert rt == run.tic(1).rt_min.tolist() and tic == run.tic(1).intensity.tolist()
    assert trace(page, "chrom", "base peak")[1] == run.base_peak(1).intensity.tolist()
    assert "Pump pressure" in page.find_element("id", "chrom").text


def test_a_click_on_scan_k_shows_its_spectrum(page, run):
    from selenium.webdriver import ActionChains, Keys

    k = 2
    dx, dy = pixel(page, "chrom", float(run.rt(1)[k]))
    ActionChains(page).move_to_element_with_offset(page.find_element("id", "chrom"), dx, dy).pause(0.3).click().perform()
    settle(page)
    page.save_screenshot(page.shots / "2-spectrum.png")
    assert page.execute_script("return tessmoorView.state.scan") == k
    mz, intensity = peaks(page)
    assert mz == run.spectrum(1, k).mz.tolist() and intensity == run.spectrum(1, k).intensity.tolist()
    ActionChains(page).send_keys(Keys.ARROW_RIGHT).perform()
    settle(page)
    assert page.execute_script("return tessmoorView.state.scan") == k + 1
    assert peaks(page)[0] == run.spectrum(1, k + 1).mz.tolist()


def test_a_range_dragged_on_the_spectrum_adds_its_xic(page, run):
    from selenium.webdriver import ActionChains

    page.find_element("css selector", "input[name=spec-drag][value=select]").click()
    spec = page.find_element("id", "spec")
    (x0, _), (x1, _) = pixel(page, "spec", 500.0), pixel(page, "spec", 900.0)
    ActionChains(page).move_to_element_with_offset(spec, x0, 0).click_and_hold().move_by_offset(10, 0) \
        .move_by_offset(x1 - x0 - 10, 0).release().perform()
    settle(page)
    page.save_screenshot(page.shots / "3-xic.png")
    xics = page.execute_script("return tessmoorView.state.xics.map((x) => [x.lo, x.hi, x.label])")
    assert len(xics) == 1
    lo, hi, label = xics[0]
    assert 495 < lo < 505 and 895 < hi < 905
    rt, value = trace(page, "chrom", label)
    want = run.xic(1, (lo + hi) / 2, da=(hi - lo) / 2)
    assert rt == want.rt_min.tolist() and value == want.intensity.tolist() and max(value) > 0
    page.find_element("css selector", "#xic-list .chip button").click()
    settle(page)
    assert trace(page, "chrom", label) is None
    assert errors(page) == []


def test_a_drift_time_function_shows_its_ion_map_and_mobilogram(page, run):
    from selenium.webdriver.support.ui import Select

    Select(page.find_element("id", "function")).select_by_value("2")
    settle(page)
    page.execute_script("tessmoorView.addXic(100, 600)")
    settle(page)
    page.save_screenshot(page.shots / "4-ion-mobility.png")
    assert page.find_element("id", "ims-panel").is_displayed()
    z = page.execute_script("const t = document.getElementById('map').data[0];"
                            "return t.type === 'heatmap' ? t.z.flat().filter((v) => v !== null).length : 0")
    assert z > 0
    k = page.execute_script("return tessmoorView.state.scan")
    peaks = run.spectra(2, [k], mz=(100, 600), ims=True)
    drift, where = np.unique(peaks.drift_time_ms, return_inverse=True)
    got = page.execute_script("const t = document.getElementById('mob').data[0]; return [Array.from(t.x), Array.from(t.y)]")
    assert got == [drift.tolist(), np.bincount(where, weights=peaks.intensity).tolist()]
    assert errors(page) == []
