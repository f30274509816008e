"""`tessmoor view` on the ~1.25 GiB synthetic run, timed in the browser.

Starts `tessmoor view RUN --no-browser` as a user does, opens its URL at once
in a fresh headless Chromium (Debian's chromium and chromium-driver, through
selenium; a new profile, so plotly.js is fetched and compiled cold), and
reads the page's own Performance API measures:

  first chromatogram   opening the page -> the TIC of function 1 on screen
                       (drawn on a canvas while plotly.js starts)
  interactive          opening the page -> the plotly figures drawn and live
  spectrum             a real click on the chromatogram -> that scan's
                       spectrum drawn (several scans, each asked once)
  XIC                  an m/z range chosen -> its XIC over the whole function
                       drawn (new ranges, so none is served from memory)
  ion map              one scan's m/z x drift-time map drawn

It also reports the largest data response the page received.

    PYTHONPATH=build/rel python bench/bench_view.py [RUN]
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

TARGETS = {"first chromatogram": 1500, "spectrum": 150, "XIC": 1000}


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1800",
                f"--user-data-dir={tempfile.mkdtemp(prefix='tessmoor-bench-view-')}"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                            options=options)


def wait(d, script, timeout=120):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = d.execute_script(script)
        if value:
            return value
        time.sleep(0.02)
    raise TimeoutError(script)


def settled(d):
    wait(d, "return window.tessmoorView && tessmoorView.started && tessmoorView.state.pending === 0")


def main() -> None:
    from selenium.webdriver import ActionChains

    run = Path(sys.argv[1]) if len(sys.argv) > 1 else synthetic.large_run()
    dat = sum(p.stat().st_size for p in run.glob("_FUNC*.DAT"))
    # The run's files in the page cache, as after any first look at them.
    for p in run.glob("_FUNC*.DAT"):
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass
    server = subprocess.Popen([sys.executable, "-m", "tessmoor_bulk", "view", str(run), "--no-browser"],
                              stdout=subprocess.PIPE, text=True, env=os.environ.copy())
    d = None
    try:
        url = server.stdout.readline().strip()
        d = browser()
        d.get(url)
        first = wait(d, "return tessmoorView.timings.firstChromatogram")
        settled(d)
        interactive = d.execute_script("return tessmoorView.timings.interactive")

        chrom = d.find_element("id", "chrom")
        spectra = []
        for k in (1000, 2500, 4000, 5500, 7000, 8500, 10_000, 10_900):
            dx, dy = d.execute_script("""
                const gd = document.getElementById('chrom'), xa = gd._fullLayout.xaxis, ya = gd._fullLayout.yaxis;
                return [xa._offset + xa.l2p(arguments[0]) - gd.clientWidth / 2,
                        ya._offset + ya._length / 2 - gd.clientHeight / 2];""", 0.01 + 0.0166 * k)
            before = d.execute_script("return tessmoorView.timings.spectrum.length")
            ActionChains(d).move_to_element_with_offset(chrom, dx, dy).pause(0.2).click().perform()
            wait(d, f"return tessmoorView.timings.spectrum.length > {before}")
            settled(d)
            spectra.append(d.execute_script("return tessmoorView.timings.spectrum.at(-1)"))
        scan_peaks = d.execute_script("return tessmoorView.state.spectrum.meta.peaks")

        xics = []
        for lo in (400.0, 612.5, 833.25):
            before = d.execute_script("return tessmoorView.timings.xic.length")
            d.execute_script("tessmoorView.addXic(arguments[0], arguments[1])", lo, lo + 0.5)
            wait(d, f"return tessmoorView.timings.xic.length > {before}")
            xics.append(d.execute_script("return tessmoorView.timings.xic.at(-1)"))
        settled(d)
        ion_map = d.execute_script(
            "return performance.getEntriesByName('tessmoor:ion-map').map((m) => m.duration)")
        largest = d.execute_script("""
            return Math.max(...performance.getEntriesByType('resource')
              .filter((r) => r.name.includes('/api/')).map((r) => r.encodedBodySize))""")
        errors = d.execute_script("return tessmoorView.errors")
    finally:
        if d is not None:
            d.quit()
        server.terminate()
        server.wait()

    print(f"run: {run} ({dat / 2**30:.2f} GiB of scan data); function 1: 11,000 scans, {scan_peaks:,} peaks "
          f"in the last scan clicked")
    rows = [("first chromatogram", first, "opening the page -> TIC drawn"),
            ("interactive", interactive, "opening the page -> plotly figures live"),
            ("spectrum", statistics.median(spectra), f"click -> drawn, median of {len(spectra)} "
                                                     f"(max {max(spectra):.0f} ms)"),
            ("XIC", statistics.median(xics), f"whole function, median of {len(xics)} "
                                            f"(max {max(xics):.0f} ms)"),
            ("ion map", statistics.median(ion_map) if ion_map else float("nan"), "one scan, request -> drawn")]
    for name, ms, what in rows:
        target = TARGETS.get(name)
        verdict = "" if target is None else f"  target {target} ms: {'met' if ms <= target else 'MISSED'} " \
                                            f"({ms / target:.2f} of it)"
        print(f"  {name:<19} {ms:8.0f} ms   {what}{verdict}")
    print(f"  largest data response: {largest / 1e6:.3f} MB")
    if errors:
        print(f"  page errors: {errors}")


if __name__ == "__main__":
    main()
