// tessmoor view: the page.  It asks the server (same origin, the cookie set
// by the first request carries the token) for binary arrays cut to the range
// each plot shows and reduced for its width, and draws them with plotly.js.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const COLOURS = ['#d62728', '#2ca02c', '#9467bd', '#8c564b', '#e377c2', '#17becf', '#bcbd22', '#ff7f0e'];
  const CONFIG = {displaylogo: false, responsive: true, scrollZoom: false,
                  modeBarButtonsToRemove: ['lasso2d', 'autoScale2d', 'toggleSpikelines'],
                  toImageButtonOptions: {format: 'png', scale: 2}};
  const FONT = {family: 'system-ui, sans-serif', size: 12, color: '#1d2330'};

  // What the page shows; tests and the benchmark read it too.
  const state = {
    run: null, func: null, scan: null, scanRt: null, scans: 0,
    chromRange: null, specRange: null, mapRange: null,
    tic: null, bpi: null, channels: new Map(), shownChannels: new Set(),
    xics: [], nextColour: 0, chosenXic: null,
    spectrum: null, ionMap: null, mobilogram: null,
    generation: 0, pending: 0, draws: 0,
  };
  const view = window.tessmoorView = {state, errors: [], timings: {spectrum: [], xic: []}};
  window.addEventListener('error', (e) => view.errors.push(String(e.message)));
  window.addEventListener('unhandledrejection', (e) => view.errors.push(String(e.reason)));

  // -- requests ------------------------------------------------------------------

  function query(params) {
    const q = new URLSearchParams();
    for (const [k, v] of Object.entries(params)) {
      if (v !== null && v !== undefined && v !== '' && v !== false) q.set(k, v === true ? '1' : String(v));
    }
    return q.toString();
  }

  // Options that change what a scan holds, sent with every read of peaks.
  function scanOptions() {
    const lock = state.run && state.run.options.lock_mass ? parseFloat($('lock-mass').value) : NaN;
    return {centroid: $('centroid').checked, lock_mass: Number.isFinite(lock) ? lock : null};
  }

  // A binary answer: u32 header length, JSON header, arrays at 8-byte offsets.
  async function fetchArrays(path, params, signal) {
    state.pending += 1;
    try {
      const response = await fetch(`${path}?${query(params)}`, {signal, credentials: 'same-origin'});
      if (!response.ok) {
        const error = new Error(await errorText(response));
        error.superseded = response.status === 409;  // a later request took its place
        throw error;
      }
      const buffer = await response.arrayBuffer();
      const length = new DataView(buffer).getUint32(0, true);
      const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
      const base = 4 + length;
      const arrays = {};
      for (const a of head.arrays) {
        const Type = a.dtype === 'f8' ? Float64Array : Float32Array;
        arrays[a.name] = new Type(buffer, base + a.offset, a.length);
      }
      return {meta: head.meta, arrays};
    } finally {
      state.pending -= 1;
    }
  }

  async function fetchJson(path) {
    state.pending += 1;
    try {
      const response = await fetch(path, {credentials: 'same-origin'});
      if (!response.ok) throw new Error(await errorText(response));
      return await response.json();
    } finally {
      state.pending -= 1;
    }
  }

  async function errorText(response) {
    try {
      return (await response.json()).error || response.statusText;
    } catch (e) {
      return `${response.status} ${response.statusText}`;
    }
  }

  function status(text, bad) {
    const s = $('status');
    s.textContent = text || '';
    s.classList.toggle('bad', !!bad);
    if (bad) view.errors.push(text);
  }

  function failed(error) {
    if (error && (error.name === 'AbortError' || error.superseded)) return;
    status(String(error && error.message ? error.message : error), true);
  }

  // Width in device pixels of a plot's drawing area: what its data is reduced for.
  function pixels(gd) {
    const size = gd._fullLayout && gd._fullLayout._size;
    const width = size ? size.w : gd.clientWidth;
    return Math.max(16, Math.round(width * (window.devicePixelRatio || 1)));
  }

  function download(path, params) {
    const a = document.createElement('a');
    a.href = `${path}?${query(params)}`;
    a.download = '';
    document.body.appendChild(a);
    a.click();
    a.remove();
  }

  function png(gd, what) {
    const name = `${state.run ? state.run.name : 'run'}-${what}`;
    Plotly.downloadImage(gd, {format: 'png', filename: name, width: gd.clientWidth, height: gd.clientHeight, scale: 2});
  }

  const fmt = (x, digits) => (x === null || x === undefined || !Number.isFinite(x)) ? '–' :
    Number(x).toLocaleString('en-US', {maximumFractionDigits: digits, useGrouping: false});

  // -- the run -------------------------------------------------------------------

  function describe(run) {
    run.name = run.path.replace(/[\\/]+$/, '').split(/[\\/]/).pop() || run.path;
    document.title = `${run.name} · tessmoor view`;
    $('run-name').textContent = run.name;
    $('run-name').title = run.path;
    const select = $('function');
    for (const f of run.functions) {
      const o = document.createElement('option');
      o.value = f.function;
      o.textContent = `${f.function}${f.drift_times ? ' (drift times)' : ''}${f.lock_mass ? ' (lock mass)' : ''}`;
      select.appendChild(o);
    }
    const body = $('about-body');
    body.appendChild(table('header', [['field', 'value'], ...Object.entries(run.header)]));
    body.appendChild(table('instrument', [['constant', 'value'], ...Object.entries(run.instrument)]));
    body.appendChild(table('functions', [
      ['function', 'scans', 'rt (min)', 'm/z', 'scan time (s)', 'drift times', 'lock mass', 'calibration'],
      ...run.functions.map((f) => [f.function, f.scans, f.rt_min ? `${fmt(f.rt_min[0], 4)}–${fmt(f.rt_min[1], 4)}` : '–',
        `${fmt(f.mz[0], 4)}–${fmt(f.mz[1], 4)}`, f.scan_time_s, f.drift_times ? 'yes' : 'no', f.lock_mass ? 'yes' : 'no',
        f.calibration ? `${f.calibration.kind}: ${f.calibration.coefficients.join(', ')}` : '–'])]));
    if (run.channels.length) {
      body.appendChild(table('channels', [['index', 'name', 'units'], ...run.channels.map((c) => [c.index, c.name, c.units])]));
    }
    const toggles = $('channel-toggles');
    for (const c of run.channels) {
      const label = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = c.index < 3;
      if (box.checked) state.shownChannels.add(c.index);
      box.addEventListener('change', () => {
        if (box.checked) state.shownChannels.add(c.index); else state.shownChannels.delete(c.index);
        loadChannels().then(drawChrom).catch(failed);
      });
      label.append(box, ` ${c.name || 'channel ' + c.index}`);
      toggles.appendChild(label);
    }
    $('centroid-option').hidden = !run.options.centroid;
    $('lock-option').hidden = !run.options.lock_mass;
  }

  function table(title, rows) {
    const box = document.createElement('div');
    const h = document.createElement('h3');
    h.textContent = title;
    const t = document.createElement('table');
    rows.forEach((row, i) => {
      const tr = document.createElement('tr');
      for (const cell of row) {
        const td = document.createElement(i === 0 ? 'th' : 'td');
        td.textContent = cell === null || cell === undefined ? '–' : String(cell);
        if (i > 0 && typeof cell === 'number') td.className = 'num';
        tr.appendChild(td);
      }
      t.appendChild(tr);
    });
    box.append(h, t);
    return box;
  }

  function functionInfo() {
    return state.run.functions.find((f) => f.function === state.func);
  }

  // -- chromatograms -------------------------------------------------------------

  let chromAbort = null;

  function chromParams(extra) {
    const range = chromWindow();
    return {f: state.func, x0: range ? range[0] : null, x1: range ? range[1] : null,
            px: pixels($('chrom')), ...extra};
  }

  function xicSpec(x) {
    return x.lo !== undefined ? `${x.lo}:${x.hi}` : `${x.mz}~${x.tol}${x.unit}`;
  }

  // Reads every trace shown for the current range; draws as soon as the TIC is in.
  async function loadChromatograms() {
    if (chromAbort) chromAbort.abort();
    chromAbort = new AbortController();
    const signal = chromAbort.signal;
    const generation = ++state.generation;
    const tic = $('show-tic').checked ? fetchArrays('/api/chromatogram', chromParams({kind: 'tic'}), signal) : null;
    const bpi = $('show-bpi').checked
      ? fetchArrays('/api/chromatogram', chromParams({kind: 'base_peak', ...scanOptions()}), signal) : null;
    const xics = state.xics.map((x) => loadXic(x, signal));
    const channels = loadChannels(signal);
    if (tic) {
      state.tic = await tic;
      if (generation !== state.generation) return;
      await drawChrom();
      if (!view.timings.firstPlot) {
        view.timings.firstPlot = performance.now();
        performance.mark('tessmoor:first-plot');
      }
    } else {
      state.tic = null;
    }
    state.bpi = bpi ? await bpi : null;
    await Promise.all([...xics, channels]);
    if (generation !== state.generation) return;
    await drawChrom();
  }

  async function loadXic(x, signal) {
    x.data = await fetchArrays('/api/chromatogram', chromParams({kind: 'xic', xic: xicSpec(x), ...scanOptions()}), signal);
  }

  async function loadChannels(signal) {
    const wanted = [...state.shownChannels];
    const got = await Promise.all(wanted.map((i) =>
      fetchArrays('/api/chromatogram', {kind: 'channel', channel: i, x0: chromWindow() ? chromWindow()[0] : null,
        x1: chromWindow() ? chromWindow()[1] : null, px: pixels($('chrom'))}, signal)));
    state.channels = new Map(wanted.map((i, k) => [i, got[k]]));
  }

  // The range shown when the user has not zoomed: the function's scans
  // (channels may have been recorded for longer).
  function chromWindow() {
    if (state.chromRange) return state.chromRange;
    const f = functionInfo();
    return f && f.rt_min && f.rt_min[1] > f.rt_min[0] ? f.rt_min : null;
  }

  // Rows from the top, one y axis each, all on the one retention-time axis:
  // TIC and base peak; the XICs; one per channel shown.
  function chromFigure() {
    const traces = [];
    const annotations = [];
    const rows = [{title: 'intensity', height: 300}];
    if (state.xics.some((x) => x.data)) rows.push({title: 'XIC intensity', height: 170});
    const channelRows = [...state.channels.entries()];
    for (const [, c] of channelRows) rows.push({label: c.meta.label, height: 90, channel: true});
    const axis = (k) => (k === 0 ? 'y' : `y${k + 1}`);
    if (state.tic) {
      traces.push({type: 'scatter', mode: 'lines', name: 'TIC', meta: 'scans', x: state.tic.arrays.rt, y: state.tic.arrays.value,
                   line: {color: '#2a5db0', width: 1.2}, yaxis: 'y', hovertemplate: 'TIC %{y:.6g}<extra></extra>'});
    }
    if (state.bpi) {
      const t = {type: 'scatter', mode: 'lines', name: 'base peak', meta: 'scans', x: state.bpi.arrays.rt, y: state.bpi.arrays.value,
                 line: {color: '#e07b00', width: 1}, yaxis: 'y', hovertemplate: 'base peak %{y:.6g}<extra></extra>'};
      if (state.bpi.arrays.mz) {
        t.customdata = state.bpi.arrays.mz;
        t.hovertemplate = 'base peak %{y:.6g} at m/z %{customdata:.4f}<extra></extra>';
      }
      traces.push(t);
    }
    for (const x of state.xics) {
      if (!x.data) continue;
      traces.push({type: 'scatter', mode: 'lines', name: x.label, meta: 'scans', x: x.data.arrays.rt, y: x.data.arrays.value,
                   line: {color: x.colour, width: 1.2}, yaxis: 'y2', hovertemplate: `${x.label}: %{y:.6g}<extra></extra>`});
    }
    channelRows.forEach(([, c], k) => {
      const yaxis = axis(rows.length - channelRows.length + k);
      traces.push({type: 'scatter', mode: 'lines', name: c.meta.label, showlegend: false, x: c.arrays.rt, y: c.arrays.value,
                   line: {color: '#6b7280', width: 1}, yaxis, hovertemplate: `${c.meta.label}: %{y:.6g}<extra></extra>`});
      annotations.push({text: c.meta.label, xref: 'paper', x: 0.005, yref: `${yaxis} domain`, y: 1, xanchor: 'left',
                        yanchor: 'top', showarrow: false, font: {size: 11, color: '#5b6475'}, bgcolor: 'rgba(255,255,255,0.7)'});
    });
    const gapPx = 24;
    const plotHeight = rows.reduce((s, r) => s + r.height, 0) + gapPx * (rows.length - 1);
    const height = plotHeight + 80;
    const shown = chromWindow();
    const layout = {
      font: FONT, height, margin: {l: 70, r: 20, t: 30, b: 50}, showlegend: true, annotations,
      legend: {orientation: 'h', x: 0, y: 1, yanchor: 'bottom'},
      hovermode: 'x', hoverdistance: -1, dragmode: 'zoom',
      xaxis: {title: {text: 'retention time (min)'}, anchor: axis(rows.length - 1), zeroline: false,
              range: shown ? shown.slice() : undefined, autorange: !shown},
      shapes: state.scanRt === null ? [] : [{type: 'line', xref: 'x', yref: 'paper', x0: state.scanRt, x1: state.scanRt,
                                              y0: 0, y1: 1, line: {color: '#b3261e', width: 1, dash: 'dot'}}],
    };
    let top = 1;
    rows.forEach((r, k) => {
      const share = r.height / plotHeight;
      layout[k === 0 ? 'yaxis' : `yaxis${k + 1}`] = {
        domain: [Math.max(0, top - share), top], fixedrange: true, rangemode: r.channel ? 'normal' : 'tozero',
        title: {text: r.title || '', font: {size: 11}}, exponentformat: 'power', automargin: true, nticks: r.channel ? 4 : undefined,
      };
      top -= share + gapPx / plotHeight;
    });
    $('chrom').style.height = `${height}px`;
    return {traces, layout};
  }

  async function drawChrom() {
    const gd = $('chrom');
    const {traces, layout} = chromFigure();
    await Plotly.react(gd, traces, layout, CONFIG);
    state.draws += 1;
    const parts = [state.tic, state.bpi, ...state.xics.map((x) => x.data)].filter(Boolean);
    const reduced = parts.some((p) => p.meta.reduced);
    const main = state.tic || state.bpi;
    $('chrom-note').textContent = (main ? `${main.meta.points.toLocaleString()} scans in range` +
      (reduced ? `, drawn from ${main.meta.shown.toLocaleString()} points (first, last, lowest and highest per pixel column: zoom in for every scan)` : '') + '. ' : '') +
      'Drag to zoom, double-click to zoom out; click a scan (or use the ← → keys) for its spectrum.';
  }

  function chromRangeChanged(ev) {
    let range;
    if (ev['xaxis.autorange']) range = null;
    else if (ev['xaxis.range[0]'] !== undefined) range = [ev['xaxis.range[0]'], ev['xaxis.range[1]']];
    else if (ev['xaxis.range']) range = ev['xaxis.range'].slice();
    else return;
    state.chromRange = range;
    debounce('chrom', () => {
      loadChromatograms().catch(failed);
      if (imsScope() === 'range') loadIms().catch(failed);
    }, 120);
  }

  const timers = {};
  function debounce(key, fn, ms) {
    clearTimeout(timers[key]);
    timers[key] = setTimeout(fn, ms);
  }

  // A click on the chromatogram: the scan under the pointer.  Points of the
  // function's traces are scans, so the nearest one is taken exactly; with
  // only channel traces shown, the retention time under the pointer decides.
  function chromClicked(ev) {
    const t0 = performance.now();
    const point = ev.points && ev.points.find((p) => p.data.meta === 'scans');
    let rt = point ? point.x : null;
    if (rt === null && ev.event) {
      const xa = $('chrom')._fullLayout.xaxis;
      rt = xa.p2l(ev.event.clientX - $('chrom').getBoundingClientRect().left - xa._offset);
    }
    if (rt !== null && Number.isFinite(rt)) showScan({rt}, t0).catch(failed);
  }

  // -- XICs ----------------------------------------------------------------------

  async function addXic(x) {
    const t0 = performance.now();
    x.colour = COLOURS[state.nextColour++ % COLOURS.length];
    x.id = `${Date.now()}-${Math.random()}`;
    x.label = x.lo !== undefined ? `m/z ${fmt(x.lo, 4)}–${fmt(x.hi, 4)}` : `m/z ${x.mz} ± ${x.tol} ${x.unit === 'da' ? 'Da' : 'ppm'}`;
    state.xics.push(x);
    state.chosenXic = x.id;
    drawChips();
    status(`extracting ${x.label}…`);
    try {
      await loadXic(x);
    } catch (e) {
      state.xics = state.xics.filter((y) => y !== x);
      drawChips();
      throw e;
    }
    await drawChrom();
    const ms = performance.now() - t0;
    view.timings.xic.push(ms);
    performance.measure('tessmoor:xic', {start: t0, end: t0 + ms});
    status(`${x.label}: ${ms.toFixed(0)} ms`);
    if (isIms()) loadMobilogram().catch(failed);
  }

  function drawChips() {
    const box = $('xic-list');
    box.replaceChildren();
    for (const x of state.xics) {
      const chip = document.createElement('span');
      chip.className = 'chip' + (x.id === state.chosenXic && isIms() ? ' chosen' : '');
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.background = x.colour;
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = x.label;
      name.title = 'show its mobilogram';
      name.addEventListener('click', () => {
        state.chosenXic = x.id;
        drawChips();
        if (isIms()) loadMobilogram().catch(failed);
      });
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = '×';
      remove.title = 'remove';
      remove.setAttribute('aria-label', `remove ${x.label}`);
      remove.addEventListener('click', () => {
        state.xics = state.xics.filter((y) => y !== x);
        if (state.chosenXic === x.id) state.chosenXic = state.xics.length ? state.xics[state.xics.length - 1].id : null;
        drawChips();
        drawChrom().catch(failed);
        if (isIms()) loadMobilogram().catch(failed);
      });
      chip.append(swatch, name, remove);
      box.appendChild(chip);
    }
  }

  // -- the spectrum --------------------------------------------------------------

  let specAbort = null;

  async function showScan(which, t0) {
    t0 = t0 === undefined ? performance.now() : t0;
    if (specAbort) specAbort.abort();
    specAbort = new AbortController();
    const range = state.specRange;
    const s = await fetchArrays('/api/spectrum', {
      f: state.func, ...which, x0: range ? range[0] : null, x1: range ? range[1] : null, px: pixels($('spec')),
      sticks: !$('spec-line').checked, ...scanOptions()}, specAbort.signal);
    state.spectrum = s;
    state.scan = s.meta.scan;
    state.scanRt = s.meta.rt_min;
    await drawSpectrum();
    const ms = performance.now() - t0;
    view.timings.spectrum.push(ms);
    performance.measure('tessmoor:spectrum', {start: t0, end: t0 + ms});
    await Plotly.relayout($('chrom'), {shapes: chromFigure().layout.shapes});
    if (isIms() && imsScope() === 'scan') loadIms().catch(failed);
  }

  let spectrumDraws = 0;

  async function drawSpectrum() {
    const s = state.spectrum;
    if (!s) return;
    const {mz, intensity} = s.arrays;
    const line = $('spec-line').checked;
    const traces = [];
    const hovertemplate = 'm/z %{x:.5f}<br>intensity %{customdata:.6g}<extra></extra>';
    if (line) {
      traces.push({type: 'scatter', mode: 'lines', name: 'profile', x: mz, y: intensity, customdata: intensity,
                   hovertemplate, line: {color: '#2a5db0', width: 1}});
    } else {
      // Sticks: one segment per peak, from zero to its intensity, in one
      // line trace (a marker per peak would cost a DOM node each).  Both
      // ends of a stick hover with the peak's intensity.
      const n = mz.length;
      const x = new Float64Array(3 * n);
      const y = new Float64Array(3 * n);
      const top = new Float64Array(3 * n);
      for (let i = 0; i < n; i++) {
        x[3 * i] = x[3 * i + 1] = mz[i];
        x[3 * i + 2] = NaN;
        y[3 * i] = 0;
        y[3 * i + 1] = top[3 * i] = top[3 * i + 1] = intensity[i];
        y[3 * i + 2] = top[3 * i + 2] = NaN;
      }
      traces.push({type: 'scatter', mode: 'lines', name: 'sticks', x, y, customdata: top, hovertemplate,
                   line: {color: '#2a5db0', width: 1}});
    }
    const drag = document.querySelector('input[name=spec-drag]:checked').value;
    const layout = {
      font: FONT, margin: {l: 70, r: 20, t: 10, b: 40}, showlegend: false, hovermode: 'x', hoverdistance: 10,
      dragmode: drag, selectdirection: 'h', uirevision: 'spec', selectionrevision: ++spectrumDraws,
      xaxis: {title: {text: 'm/z'}, zeroline: false, range: state.specRange ? state.specRange.slice() : undefined,
              autorange: !state.specRange},
      yaxis: {title: {text: 'intensity'}, fixedrange: true, rangemode: 'tozero', exponentformat: 'power'},
    };
    await Plotly.react($('spec'), traces, layout, CONFIG);
    const m = s.meta;
    $('spec-title').textContent = `Spectrum: function ${m.function}, scan ${m.scan} of ${m.scans}, ${fmt(m.rt_min, 4)} min`;
    $('spec-note').textContent = `${m.peaks.toLocaleString()} peaks${m.ion_mobility_reading ? ' (ion-mobility reading: m/z of every drift time)' : ''}` +
      (m.centroid ? ', centroided' : '') +
      (m.reduced ? `; ${m.points.toLocaleString()} in range, drawn from ${m.shown.toLocaleString()} (` +
        ($('spec-line').checked ? 'first, last, lowest and highest' : 'the tallest') + ' per pixel column: zoom in for every peak)' : '') +
      '. Drag to zoom; choose “add the XIC of an m/z range” above to drag out a mass range instead.';
  }

  function specRangeChanged(ev) {
    let range;
    if (ev['xaxis.autorange']) range = null;
    else if (ev['xaxis.range[0]'] !== undefined) range = [ev['xaxis.range[0]'], ev['xaxis.range[1]']];
    else if (ev['xaxis.range']) range = ev['xaxis.range'].slice();
    else return;
    state.specRange = range;
    if (state.scan !== null) debounce('spec', () => showScan({scan: state.scan}).catch(failed), 100);
  }

  function specSelected(ev) {
    if (!ev || !ev.range || !ev.range.x) return;
    const [a, b] = ev.range.x;
    const lo = Math.min(a, b);
    const hi = Math.max(a, b);
    // The range is taken: its box and the peaks it held go back to normal.
    Plotly.relayout($('spec'), {selections: []}).then(drawSpectrum).catch(failed);
    if (hi > lo) addXic({lo, hi}).catch(failed);
  }

  // -- ion mobility --------------------------------------------------------------

  const isIms = () => !!(state.run && functionInfo() && functionInfo().drift_times);
  const imsScope = () => document.querySelector('input[name=ims-scope]:checked').value;
  let mapAbort = null;
  let mobAbort = null;

  function imsSelection() {
    if (imsScope() === 'scan') return state.scan === null ? null : {scan: state.scan};
    const range = chromWindow() || functionInfo().rt_min;
    return range ? {rt0: range[0], rt1: range[1]} : null;
  }

  async function loadIms() {
    if (!isIms()) return;
    await Promise.all([loadMap(), loadMobilogram()]);
  }

  async function loadMap() {
    const select = imsSelection();
    if (!select) return;
    if (mapAbort) mapAbort.abort();
    mapAbort = new AbortController();
    const gd = $('map');
    const r = state.mapRange;
    const t0 = performance.now();
    status('binning ions…');
    state.ionMap = await fetchArrays('/api/ionmap', {
      f: state.func, ...select, mz0: r ? r.x[0] : null, mz1: r ? r.x[1] : null, dt0: r ? r.y[0] : null,
      dt1: r ? r.y[1] : null, nx: Math.min(2000, pixels(gd)),
      ny: Math.min(400, Math.round((gd.clientHeight || 400) * (window.devicePixelRatio || 1) / 2)),
      ...scanOptions()}, mapAbort.signal);
    await drawMap();
    const ms = performance.now() - t0;
    performance.measure('tessmoor:ion-map', {start: t0, end: t0 + ms});
    status(`ion map: ${state.ionMap.meta.ions.toLocaleString()} ions, ${ms.toFixed(0)} ms`);
  }

  async function drawMap() {
    const m = state.ionMap;
    if (!m) return;
    const {mz_edges: x, drift_edges: y, intensity} = m.arrays;
    const nx = m.meta.nx;
    const log = $('map-log').checked;
    const z = [];
    for (let j = 0; j < m.meta.ny; j++) {
      const row = new Array(nx);
      for (let i = 0; i < nx; i++) {
        const v = intensity[j * nx + i];
        row[i] = v > 0 ? (log ? Math.log10(v) : v) : null;
      }
      z.push(row);
    }
    const where = m.meta.scan !== null ? `scan ${m.meta.scan}` : `${fmt(m.meta.rt[0], 4)}–${fmt(m.meta.rt[1], 4)} min`;
    const trace = {type: 'heatmap', x, y, z, colorscale: 'Viridis', zsmooth: false, hoverongaps: false,
                   colorbar: {title: {text: log ? 'log₁₀ intensity' : 'intensity', side: 'right'}, thickness: 12},
                   hovertemplate: `m/z %{x:.4f}<br>drift %{y:.3f} ms<br>${log ? 'log₁₀ ' : ''}intensity %{z:.4g}<extra></extra>`};
    const layout = {
      font: FONT, margin: {l: 70, r: 10, t: 28, b: 40}, uirevision: `map-${state.func}`,
      title: {text: `m/z × drift time, ${where}`, font: {size: 12}, x: 0, xanchor: 'left'},
      xaxis: {title: {text: 'm/z'}, range: state.mapRange ? state.mapRange.x.slice() : undefined, autorange: !state.mapRange},
      yaxis: {title: {text: 'drift time (ms)'}, range: state.mapRange ? state.mapRange.y.slice() : undefined, autorange: !state.mapRange},
    };
    await Plotly.react($('map'), [trace], layout, CONFIG);
  }

  function mapRangeChanged(ev) {
    if (ev['xaxis.autorange'] || ev['yaxis.autorange']) state.mapRange = null;
    else if (['xaxis.range[0]', 'yaxis.range[0]', 'xaxis.range', 'yaxis.range'].some((k) => ev[k] !== undefined)) {
      const full = $('map')._fullLayout;
      state.mapRange = {x: full.xaxis.range.slice(), y: full.yaxis.range.slice()};
    } else return;
    debounce('map', () => loadMap().catch(failed), 120);
  }

  async function loadMobilogram() {
    const x = state.xics.find((y) => y.id === state.chosenXic);
    const select = imsSelection();
    const gd = $('mob');
    if (!x || !select) {
      state.mobilogram = null;
      const empty = mobLayout('mobilogram');
      empty.xaxis.visible = empty.yaxis.visible = false;
      empty.annotations = [{text: 'Drag out an m/z range on the spectrum (or add an XIC) for its mobilogram',
                            xref: 'paper', yref: 'paper', x: 0.5, y: 0.5, showarrow: false, font: {color: '#5b6475'}}];
      await Plotly.react(gd, [], empty, CONFIG);
      return;
    }
    if (mobAbort) mobAbort.abort();
    mobAbort = new AbortController();
    state.mobilogram = await fetchArrays('/api/mobilogram', {f: state.func, xic: xicSpec(x), ...select,
      lock_mass: scanOptions().lock_mass}, mobAbort.signal);
    const {drift, intensity} = state.mobilogram.arrays;
    await Plotly.react(gd, [{type: 'scatter', mode: 'lines+markers', x: drift, y: intensity, name: x.label,
      line: {color: x.colour, width: 1.2}, marker: {size: 4},
      hovertemplate: 'drift %{x:.4f} ms<br>intensity %{y:.6g}<extra></extra>'}],
    mobLayout(`mobilogram of ${x.label}`), CONFIG);
  }

  function mobLayout(title) {
    return {font: FONT, margin: {l: 70, r: 10, t: 28, b: 40}, showlegend: false, hovermode: 'closest',
            title: {text: title, font: {size: 12}, x: 0, xanchor: 'left'},
            xaxis: {title: {text: 'drift time (ms)'}, zeroline: false},
            yaxis: {title: {text: 'intensity'}, rangemode: 'tozero', exponentformat: 'power'}};
  }

  // -- choosing a function -------------------------------------------------------

  async function chooseFunction(func) {
    state.func = func;
    state.chromRange = null;
    state.specRange = null;
    state.mapRange = null;
    state.scan = null;
    state.scanRt = null;
    state.tic = state.bpi = null;
    for (const x of state.xics) x.data = null;
    const f = functionInfo();
    $('function-facts').textContent = `${f.scans.toLocaleString()} scans` +
      (f.rt_min ? `, ${fmt(f.rt_min[0], 4)}–${fmt(f.rt_min[1], 4)} min` : '') +
      `, m/z ${fmt(f.mz[0], 4)}–${fmt(f.mz[1], 4)}` + (f.drift_times ? ', drift times' : '') + (f.lock_mass ? ', lock mass' : '');
    $('ims-panel').hidden = !f.drift_times;
    if (f.drift_times) {
      // Drawn while hidden, the plots took a default width: fit them now.
      Plotly.Plots.resize($('map'));
      Plotly.Plots.resize($('mob'));
    }
    drawChips();
    await loadChromatograms();
    if (f.scans > 0) {
      // Start at the scan where the TIC peaks, the first one worth a look.
      if (state.tic && state.tic.arrays.value.length) {
        const v = state.tic.arrays.value;
        let best = 0;
        for (let i = 1; i < v.length; i++) if (v[i] > v[best]) best = i;
        await showScan({rt: state.tic.arrays.rt[best]});
      } else {
        await showScan({scan: 0});
      }
    }
    if (f.drift_times) {
      if (imsScope() === 'range') await loadIms();
      else await loadMobilogram();
    }
  }

  function stepScan(by) {
    if (state.scan === null || !state.spectrum) return;
    const next = Math.max(0, Math.min(state.spectrum.meta.scans - 1, state.scan + by));
    if (next !== state.scan) showScan({scan: next}).catch(failed);
  }

  // -- start ---------------------------------------------------------------------

  // plotly.js, run once the first chromatogram is on screen (or the run is
  // slow to give it): its start-up holds the page for a second or more.
  function loadPlotly() {
    return new Promise((resolve, reject) => {
      if (window.Plotly) return resolve();
      const script = document.createElement('script');
      script.src = '/static/plotly.min.js';
      script.onload = () => resolve();
      script.onerror = () => reject(new Error('plotly.js did not load'));
      document.head.appendChild(script);
    });
  }

  // The first TIC as a plain line on a canvas, until plotly.js draws it.
  function preview(tic) {
    const gd = $('chrom');
    const canvas = document.createElement('canvas');
    const ratio = window.devicePixelRatio || 1;
    const width = gd.clientWidth;
    const height = gd.clientHeight;
    canvas.width = width * ratio;
    canvas.height = height * ratio;
    canvas.style.width = `${width}px`;
    canvas.style.height = `${height}px`;
    const g = canvas.getContext('2d');
    g.scale(ratio, ratio);
    const {rt, value} = tic.arrays;
    const left = 70;
    const right = width - 20;
    const top = 30;
    const bottom = height - 40;
    let x0 = rt[0], x1 = rt[rt.length - 1], y1 = 0;
    for (const v of value) y1 = Math.max(y1, v);
    if (!(x1 > x0)) x1 = x0 + 1;
    if (!(y1 > 0)) y1 = 1;
    g.strokeStyle = '#d9dde5';
    g.strokeRect(left, top, right - left, bottom - top);
    g.strokeStyle = '#2a5db0';
    g.lineWidth = 1.2;
    g.beginPath();
    for (let i = 0; i < rt.length; i++) {
      const x = left + (rt[i] - x0) / (x1 - x0) * (right - left);
      const y = bottom - value[i] / y1 * (bottom - top);
      if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
    }
    g.stroke();
    g.fillStyle = '#5b6475';
    g.font = '12px system-ui, sans-serif';
    g.fillText(`TIC, function ${state.func}: ${fmt(x0, 4)}–${fmt(x1, 4)} min, highest ${fmt(y1, 0)}`, left, top - 8);
    g.fillText('loading the interactive plot…', left, bottom + 24);
    gd.replaceChildren(canvas);
  }

  async function start() {
    // The token has done its work (the cookie carries it now): keep it out
    // of the address bar, bookmarks and screenshots.
    if (location.search) history.replaceState(null, '', location.pathname);
    status('reading the run…');
    const run = await fetchJson('/api/run');
    state.run = run;
    describe(run);
    if (!run.functions.length) {
      status('the run has no functions', true);
      return;
    }
    state.func = run.functions[0].function;
    $('function').value = String(state.func);
    status('reading the TIC…');
    const first = fetchArrays('/api/chromatogram', chromParams({kind: 'tic'}));
    const slow = new Promise((resolve) => setTimeout(resolve, 800));
    await Promise.race([first.then((tic) => {
      preview(tic);
      view.timings.firstChromatogram = performance.now();
      performance.mark('tessmoor:first-chromatogram');
    }), slow]);
    await loadPlotly();
    // Everything but the preview canvas is plotly's from here on.
    $('chrom').replaceChildren();
    const chrom = $('chrom');
    const spec = $('spec');
    const map = $('map');
    await Plotly.newPlot(chrom, [], {font: FONT, margin: {l: 70, r: 20, t: 10, b: 40}}, CONFIG);
    chrom.on('plotly_relayout', chromRangeChanged);
    chrom.on('plotly_click', chromClicked);
    await Plotly.newPlot(spec, [], {font: FONT, margin: {l: 70, r: 20, t: 10, b: 40}}, CONFIG);
    spec.on('plotly_relayout', specRangeChanged);
    spec.on('plotly_selected', specSelected);
    await Plotly.newPlot(map, [], {font: FONT}, CONFIG);
    map.on('plotly_relayout', mapRangeChanged);
    await Plotly.newPlot($('mob'), [], mobLayout(''), CONFIG);

    $('function').addEventListener('change', (e) => chooseFunction(Number(e.target.value)).catch(failed));
    $('show-tic').addEventListener('change', () => loadChromatograms().catch(failed));
    $('show-bpi').addEventListener('change', () => loadChromatograms().catch(failed));
    // Sticks and a line are reduced differently: the scan is asked for again.
    $('spec-line').addEventListener('change', () => {
      if (state.scan !== null) showScan({scan: state.scan}).catch(failed);
    });
    for (const r of document.querySelectorAll('input[name=spec-drag]')) {
      r.addEventListener('change', () => Plotly.relayout(spec, {dragmode: r.value}).catch(failed));
    }
    for (const r of document.querySelectorAll('input[name=ims-scope]')) {
      r.addEventListener('change', () => { state.mapRange = null; loadIms().catch(failed); });
    }
    $('map-log').addEventListener('change', () => drawMap().catch(failed));
    const rescan = () => {
      if (state.scan !== null) showScan({scan: state.scan}).catch(failed);
      loadChromatograms().catch(failed);
    };
    $('centroid').addEventListener('change', rescan);
    $('lock-mass').addEventListener('change', rescan);
    $('xic-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const mz = parseFloat($('xic-mz').value);
      const tol = parseFloat($('xic-tol').value);
      if (!(mz > 0) || !(tol >= 0)) {
        status('an XIC needs a positive m/z and a tolerance of at least 0', true);
        return;
      }
      addXic({mz, tol, unit: $('xic-unit').value}).catch(failed);
    });
    document.addEventListener('keydown', (e) => {
      if (e.target.closest && e.target.closest('input, select, textarea')) return;
      if (e.key === 'ArrowLeft') { stepScan(e.shiftKey ? -10 : -1); e.preventDefault(); }
      if (e.key === 'ArrowRight') { stepScan(e.shiftKey ? 10 : 1); e.preventDefault(); }
    });

    const visible = () => (chromWindow() ? {x0: chromWindow()[0], x1: chromWindow()[1]} : {});
    $('chrom-png').addEventListener('click', () => png(chrom, `function${state.func}-chromatograms`));
    $('chrom-csv').addEventListener('click', () => download('/api/scans.csv', {
      f: state.func, ...visible(), xic: state.xics.map(xicSpec).join(';'), ...scanOptions()}));
    $('channels-csv').addEventListener('click', () => download('/api/channels.csv', {
      channels: [...state.shownChannels].join(','), ...visible()}));
    $('spec-png').addEventListener('click', () => png(spec, `function${state.func}-scan${state.scan}`));
    $('spec-csv').addEventListener('click', () => download('/api/spectrum', {
      f: state.func, scan: state.scan, x0: state.specRange ? state.specRange[0] : null,
      x1: state.specRange ? state.specRange[1] : null, format: 'csv', ...scanOptions()}));
    $('map-png').addEventListener('click', () => png(map, `function${state.func}-ion-map`));
    $('map-csv').addEventListener('click', () => {
      const m = state.ionMap;
      if (!m) return;
      const x = m.arrays.mz_edges;
      const y = m.arrays.drift_edges;
      download('/api/ionmap', {f: state.func, ...imsSelection(), mz0: x[0], mz1: x[x.length - 1], dt0: y[0],
        dt1: y[y.length - 1], nx: m.meta.nx, ny: m.meta.ny, format: 'csv', ...scanOptions()});
    });
    $('mob-png').addEventListener('click', () => png($('mob'), `function${state.func}-mobilogram`));
    $('mob-csv').addEventListener('click', () => {
      const x = state.xics.find((y) => y.id === state.chosenXic);
      if (x) download('/api/mobilogram', {f: state.func, xic: xicSpec(x), ...imsSelection(), format: 'csv',
        lock_mass: scanOptions().lock_mass});
    });

    await chooseFunction(state.func);
    if (!view.timings.interactive) view.timings.interactive = performance.now();
    status('');
  }

  view.ready = start().then(() => { view.started = true; }, (e) => { failed(e); view.started = true; });
  view.showScan = (scan) => showScan({scan});
  view.addXic = (lo, hi) => addXic({lo, hi});
  view.chooseFunction = (f) => chooseFunction(f);
})();
