// The viewer page: fetches decoded frames one after the other (each request waits for a frame
// newer than the last one shown), colours and draws them, polls the statistics and sends the
// controls. window.lumoxView exposes what the browser test reads.
'use strict';

const $ = id => document.getElementById(id);
const CODE_FILTERED = 65300, CODE_SATURATED = 65400, CODE_INVALID = 65500;

const state = {
  seq: 0,
  shown: 0,
  notShown: 0,          // frames the server had that this page skipped (it was busier)
  palette: null,        // [r, g, b] per step, near to far as the library maps them
  codes: {},
  lut: null,            // Uint32 RGBA per millimetre value for the current range
  rangeMin: 0, rangeMax: 5,
  rays: null, raysKey: '',
  frame: null,          // last frame: width, height, dist, gray
  points: null, colors: null, count: 0,
  latencies: [],        // ms from the frame's arrival at the server to its display here
  stages: [],           // per frame: [decode, transfer, draw, paint] ms, adding up to the latency
  stats: null,
  capturing: true,
};

const now = () => performance.timeOrigin + performance.now();
const rgba = c => (0xFF000000 | ((c >>> 16) & 0xFF) << 16 | ((c >>> 8) & 0xFF) << 8 | (c & 0xFF)) >>> 0;
const css = c => `rgb(${c & 0xFF},${(c >>> 8) & 0xFF},${(c >>> 16) & 0xFF})`;
const nextPaint = () => new Promise(r => requestAnimationFrame(() => r()));

// ---- colours -----------------------------------------------------------------------------

function buildLut() {
  const steps = state.palette.length;
  const lut = new Uint32Array(65536);
  const lo = Math.round(state.rangeMin * 1000), hi = Math.round(state.rangeMax * 1000);
  const black = 0xFF000000;
  for (let mm = 0; mm < 65536; ++mm) {
    if (mm <= lo || mm > hi || hi <= lo) { lut[mm] = black; continue; }
    const i = Math.min(steps - 1, Math.ceil((mm - lo) / (hi - lo) * steps) - 1);
    lut[mm] = rgba(state.palette[i]);
  }
  lut[CODE_FILTERED] = rgba(state.codes[CODE_FILTERED] || 0);
  lut[CODE_SATURATED] = rgba(state.codes[CODE_SATURATED]);
  lut[CODE_INVALID] = rgba(state.codes[CODE_INVALID]);
  state.lut = lut;
  drawLegend();
}

function drawLegend() {
  const c = $('legend'), g = c.getContext('2d');
  const steps = state.palette.length;
  for (let x = 0; x < c.width; ++x) {
    g.fillStyle = css(state.palette[Math.min(steps - 1, Math.floor(x / c.width * steps))]);
    g.fillRect(x, 0, 1, c.height);
  }
  $('tick-min').textContent = `${state.rangeMin.toFixed(2)} m`;
  $('tick-mid').textContent = `${((state.rangeMin + state.rangeMax) / 2).toFixed(2)} m`;
  $('tick-max').textContent = `${state.rangeMax.toFixed(2)} m`;
  for (const code of [CODE_FILTERED, CODE_SATURATED, CODE_INVALID])
    $(`code-${code}`).style.background = css(state.codes[code] || 0);
}

function setRange(lo, hi) {
  if (!(hi > lo) || lo < 0) return;
  state.rangeMin = lo;
  state.rangeMax = hi;
  $('range-min').value = lo.toFixed(2);
  $('range-max').value = hi.toFixed(2);
  buildLut();
  if (state.frame) render(state.frame);
}

// ---- frames ------------------------------------------------------------------------------

function parseFrame(buf) {
  const dv = new DataView(buf);
  if (dv.getUint32(0, true) !== 0x4656584C) throw new Error('not a frame message');
  const hs = dv.getUint32(4, true);
  const f = {
    seq: dv.getUint32(8, true), index: dv.getUint16(12, true), format: dv.getUint16(14, true),
    width: dv.getUint16(16, true), height: dv.getUint16(18, true),
    tempSensor: dv.getInt16(20, true) / 10, tempBoard: dv.getInt16(22, true) / 10,
    arrival: dv.getFloat64(24, true), ready: dv.getFloat64(32, true),
    decodeUs: dv.getUint32(40, true),
  };
  const n = f.width * f.height;
  f.dist = new Uint16Array(buf, hs, n);
  f.gray = new Uint16Array(buf, hs + 2 * n, n);
  return f;
}

async function ensureRays(w, h) {
  const key = `${w}x${h}`;
  if (state.raysKey === key) return;
  let r = await fetch(`/rays?w=${w}&h=${h}`);
  while (r.status === 503) {  // other pages are fetching theirs: ask again shortly
    await new Promise(res => setTimeout(res, 500));
    r = await fetch(`/rays?w=${w}&h=${h}`);
  }
  if (!r.ok) throw new Error(`rays: HTTP ${r.status}`);
  state.rays = new Float32Array(await r.arrayBuffer());
  state.raysKey = key;
  state.points = new Float32Array(3 * w * h);
  state.colors = new Uint8Array(4 * w * h);
  for (const id of ['distance', 'gray']) { $(id).width = w; $(id).height = h; }
  $('legend').width = 320;
  drawLegend();
}

function render(f) {
  const n = f.width * f.height;
  if (n === 0) return;
  const lut = state.lut;
  // Distance image.
  const dctx = $('distance').getContext('2d');
  const dimg = dctx.createImageData(f.width, f.height);
  const dpx = new Uint32Array(dimg.data.buffer);
  for (let i = 0; i < n; ++i) dpx[i] = lut[f.dist[i]];
  dctx.putImageData(dimg, 0, 0);
  // Gray image, scaled to its 99th percentile.
  const hist = new Uint32Array(4096);
  for (let i = 0; i < n; ++i) hist[Math.min(4095, f.gray[i])]++;
  let top = 4095;
  for (let acc = 0, v = 0; v < 4096; ++v) { acc += hist[v]; if (acc >= 0.99 * n) { top = Math.max(1, v); break; } }
  const gctx = $('gray').getContext('2d');
  const gimg = gctx.createImageData(f.width, f.height);
  const gpx = new Uint32Array(gimg.data.buffer);
  for (let i = 0; i < n; ++i) {
    const g = Math.min(255, (f.gray[i] * 255 / top) | 0);
    gpx[i] = (0xFF000000 | g << 16 | g << 8 | g) >>> 0;
  }
  gctx.putImageData(gimg, 0, 0);
  // Point cloud: every pixel with a distance, along its ray.
  const rays = state.rays, pts = state.points, cols = new Uint32Array(state.colors.buffer);
  let count = 0;
  const depths = [];
  for (let i = 0; i < n; ++i) {
    const d = f.dist[i];
    if (d === 0 || d >= 60000) continue;
    const m = d / 1000;
    pts[3 * count] = rays[3 * i] * m;
    pts[3 * count + 1] = rays[3 * i + 1] * m;
    pts[3 * count + 2] = rays[3 * i + 2] * m;
    cols[count] = lut[d] === 0xFF000000 ? 0xFF808080 : lut[d];
    if ((i & 63) === 0) depths.push(pts[3 * count + 2]);
    ++count;
  }
  depths.sort((a, b) => a - b);
  state.count = count;
  cloud.update(pts, state.colors, count, depths.length ? depths[depths.length >> 1] : 2);
}

async function frameLoop() {
  for (;;) {
    let f, received;
    try {
      const r = await fetch(`/frame?after=${state.seq}`, { cache: 'no-store' });
      if (r.status === 204) continue;
      if (r.status === 503) {  // other pages hold the server's frame slots: ask again shortly
        await new Promise(res => setTimeout(res, 500));
        continue;
      }
      if (!r.ok) throw new Error(`HTTP ${r.status}`);
      f = parseFrame(await r.arrayBuffer());
      received = now();
    } catch (e) {
      $('status').textContent = 'server lost';
      $('status').className = 'badge lost';
      await new Promise(r => setTimeout(r, 1000));
      continue;
    }
    if (state.seq && f.seq > state.seq + 1) state.notShown += f.seq - state.seq - 1;
    state.seq = f.seq;
    if (f.width && f.height) {
      await ensureRays(f.width, f.height);
      state.frame = f;
      render(f);
      const drawn = now();
      await nextPaint();
      const shown = now();
      state.latencies.push(shown - f.arrival);
      state.stages.push([f.ready - f.arrival, received - f.ready, drawn - received, shown - drawn]);
      if (state.latencies.length > 600) { state.latencies.shift(); state.stages.shift(); }
    }
    state.shown += 1;
    state.lastFrame = f;
  }
}

// ---- statistics --------------------------------------------------------------------------

function latencySummary() {
  const l = state.latencies.slice().sort((a, b) => a - b);
  if (!l.length) return null;
  const q = p => l[Math.min(l.length - 1, Math.floor(p * l.length))];
  const median = k => { const v = state.stages.map(s => s[k]).sort((a, b) => a - b); return v[v.length >> 1]; };
  return {
    count: l.length, mean: l.reduce((a, b) => a + b, 0) / l.length, p50: q(0.5), p95: q(0.95), max: l[l.length - 1],
    stages: { decode: median(0), transfer: median(1), draw: median(2), paint: median(3) },
  };
}

function row(label, value) { return `<tr><td>${label}</td><td>${value}</td></tr>`; }
const esc = s => String(s).replace(/[&<>"]/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c]));

function showStats(s) {
  const f = state.lastFrame;
  const lat = latencySummary();
  const lost = s.lost;
  const errors = s.errors.length
    ? s.errors.map(e => `${esc(e.name)} ×${e.count}: ${esc(e.why)}`).join('<br>') : 'none';
  const cal = s.calibration;
  const calText = [
    cal.reason ? `correction: ${esc(cal.reason)}` : (cal.drnu ? 'DRNU on' : 'DRNU off'),
    cal.undistort ? 'undistortion on' : 'undistortion off',
    cal.files === undefined ? '' : (!cal.files ? 'no calibration files'
      : cal.files_match === false ? 'calibration files found, not this camera\'s' : 'this camera\'s calibration files found'),
    cal.camera_valid ? `camera package v${cal.camera_version} (${cal.camera_size} bytes)` : 'camera holds no package',
    cal.path ? `path ${esc(cal.path)}` : '',
  ].filter(Boolean).join('<br>');
  const t = s.temperature;
  $('stats').tBodies[0].innerHTML = [
    row('frame rate', `${s.fps.toFixed(1)} frames/s (camera set to ${s.settings.frame_rate ?? '?'})`),
    row('frames', `${s.frames} received, ${state.shown} shown`),
    row('frame', f ? `#${f.index}, ${f.width}×${f.height}, format ${f.format}` : '—'),
    row('frames lost', [
      `${lost.discarded} incomplete (order, checksum, lost headers)`,
      `${lost.overflowed} overflowed (viewer slower than the camera)`,
      `${lost.index_gaps} never arrived (gaps in the frame index)`,
      `${state.notShown} not shown (browser slower than the stream)`,
      `${lost.bytes_dropped} bytes dropped`].join('<br>')),
    row('capture errors', errors + (s.last_error ? `<br><span class="dim">last: ${esc(s.last_error)}</span>` : '')),
    row('temperatures', `sensor ${t.sensor.toFixed(1)} °C, board ${t.board.toFixed(1)} °C` +
      (t.readings.length ? `<br><span class="dim">readings ${t.readings.map(v => v.toFixed(1)).join(', ')} °C</span>` : '')),
    row('calibration', calText),
    row('latency', lat ? `${lat.p50.toFixed(1)} ms median, ${lat.p95.toFixed(1)} ms p95 (arrival to display)` : '—'),
    row('viewer CPU', s.cpu_ms_per_frame == null ? '—' : `${s.cpu_ms_per_frame.toFixed(2)} ms per frame (decode ${s.decode_ms.toFixed(2)} ms)`),
    ...(s.recording.available ? [row('recording', s.recording.active || s.recording.path
      ? `${s.recording.active ? 'recording' : 'recorded'} ${s.recording.frames} frames to ${esc(s.recording.path)}` : 'not recording')
      + (s.recording.error ? `<br><span class="refused">${esc(s.recording.error)}</span>` : '')] : []),
    row('camera', `${esc(s.camera.product)} at ${esc(s.camera.location)}, driver ${esc(s.camera.driver)}` +
      `<br>serial ${esc(s.camera.serial)}, ${esc(s.camera.state)}` +
      (s.camera.reconnects ? `, reconnected ${s.camera.reconnects}× (last gap ${s.camera.last_gap_s.toFixed(1)} s)` : '') +
      (s.camera.recording ? `<br>playing ${esc(s.camera.recording)}` : '')),
  ].join('');
  $('camera').textContent = `${s.camera.product} (${s.camera.location})`;
  // After an unplug the server waits for the camera (its serial) to come back.
  const gone = { waiting: `unplugged: waiting for ${s.camera.serial}`, lost: `${s.camera.serial} did not come back` }[s.camera.state];
  $('status').textContent = gone ?? (s.capturing ? 'live' : 'stopped');
  $('status').className = `badge ${gone ? 'stopped' : s.capturing ? 'live' : 'stopped'}`;
  state.capturing = s.capturing;
  $('capture').textContent = s.capturing ? 'Stop' : 'Start';
  const rec = s.recording;
  $('record').hidden = !rec.available;
  $('record').textContent = rec.active ? `Stop recording (${rec.frames} frames)` : 'Record';
  $('record').classList.toggle('recording', rec.active);
  state.recording = rec.active;
  showSettings(s);
}

function showSettings(s) {
  const set = s.settings;
  for (const name of ['frame_rate', 'integration_time']) {
    if (set[name] == null) continue;
    if (document.activeElement !== $(name) && !$(name).dataset.edited) $(name).value = set[name];
    $(`rb-${name}`).textContent = `camera: ${set[name]}`;
  }
  const sel = $('modulation');
  if (set.modulation_choices) {
    if (sel.options.length !== set.modulation_choices.length) {
      sel.innerHTML = set.modulation_choices.map((khz, i) => `<option value="${i}">${i}: ${(khz / 1000).toFixed(3)} MHz</option>`).join('');
    }
    if (document.activeElement !== sel) sel.value = String(set.modulation_index);
    $('rb-modulation').textContent = `sensor: ${(set.modulation_khz / 1000).toFixed(3)} MHz` +
      (set.modulation_divider !== undefined ? `, divider ${set.modulation_divider}` : '');
  } else {
    sel.disabled = true;
    $('rb-modulation').textContent = 'not available for this driver';
  }
  if (!$('filters').childElementCount) buildFilters(s.filters);
  for (const f of s.filters) {
    const box = $(`filter-${f.id}`);
    if (document.activeElement !== box) box.checked = f.enabled;
    const rb = $(`rb-filter-${f.id}`);
    if (f.touched && !rb.dataset.detail) {
      rb.textContent = f.accepted ? (f.enabled ? 'on' : 'off') : 'refused';
      rb.className = `readback${f.accepted ? '' : ' refused'}`;
    }
  }
}

function buildFilters(filters) {
  $('filters').innerHTML = filters.map(f => `<div class="control">
      <label><input type="checkbox" id="filter-${f.id}"> ${esc(f.name)}</label>
      ${f.arg_size ? `<input type="number" id="filter-value-${f.id}" min="0" max="${f.max}" value="${f.value}">` : ''}
      <span class="readback" id="rb-filter-${f.id}"></span></div>`).join('');
  for (const f of filters) {
    const send = async () => {
      const box = $(`filter-${f.id}`), value = $(`filter-value-${f.id}`);
      const r = await control(`filter_${f.id}`, box.checked ? (value ? value.value : 'on') : 'off');
      const rb = $(`rb-filter-${f.id}`);
      rb.dataset.detail = '1';
      rb.textContent = r.ok ? (r.enabled ? `driver: on${f.arg_size ? `, ${r.value}` : ''}` : 'driver: off')
        : (r.error || 'refused');
      rb.className = `readback${r.ok ? '' : ' refused'}`;
      box.checked = !!r.enabled;
    };
    $(`filter-${f.id}`).addEventListener('change', send);
    const v = $(`filter-value-${f.id}`);
    if (v) v.addEventListener('change', () => { if ($(`filter-${f.id}`).checked) send(); });
  }
}

async function statsLoop() {
  for (;;) {
    try {
      const r = await fetch('/stats', { cache: 'no-store' });
      state.stats = await r.json();
      showStats(state.stats);
    } catch (e) { /* the frame loop shows the lost server */ }
    await new Promise(r => setTimeout(r, 500));
  }
}

async function control(name, value) {
  const r = await fetch(`/control?name=${encodeURIComponent(name)}&value=${encodeURIComponent(value)}`, { method: 'POST', headers: { 'X-Lumox-View': '1' } });
  const body = await r.json();
  $('message').textContent = body.ok ? '' : `${name}: ${body.error}`;
  return body;
}

// ---- snapshots ---------------------------------------------------------------------------

function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

function stamp() {
  const f = state.lastFrame;
  return `lumox_${new Date().toISOString().replace(/[:.]/g, '-')}${f ? `_${f.index}` : ''}`;
}

function snapshotPng() {
  const d = $('distance'), g = $('gray'), c = $('cloud');
  const h = d.height, cw = Math.round(c.width * h / c.height);
  const out = document.createElement('canvas');
  out.width = d.width + g.width + cw;
  out.height = h;
  const x = out.getContext('2d');
  x.drawImage(d, 0, 0);
  x.drawImage(g, d.width, 0);
  cloud.draw();
  x.drawImage(c, d.width + g.width, 0, cw, h);
  out.toBlob(b => download(b, `${stamp()}.png`), 'image/png');
}

function snapshotPly() {
  const n = state.count;
  const head = `ply\nformat binary_little_endian 1.0\ncomment lumox view, metres, camera frame\n` +
    `element vertex ${n}\nproperty float x\nproperty float y\nproperty float z\n` +
    `property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n`;
  const headBytes = new TextEncoder().encode(head);
  const body = new DataView(new ArrayBuffer(15 * n));
  for (let i = 0; i < n; ++i) {
    for (let k = 0; k < 3; ++k) body.setFloat32(15 * i + 4 * k, state.points[3 * i + k], true);
    for (let k = 0; k < 3; ++k) body.setUint8(15 * i + 12 + k, state.colors[4 * i + k]);
  }
  download(new Blob([headBytes, body.buffer], { type: 'application/octet-stream' }), `${stamp()}.ply`);
}

// ---- set-up ------------------------------------------------------------------------------

const cloud = new PointCloudView($('cloud'));

async function main() {
  const p = await (await fetch('/palette')).json();
  state.palette = p.colors;
  state.codes = p.codes;
  buildLut();
  if (!cloud.available) $('cloud-panel').querySelector('h2 .dim').textContent = 'WebGL is not available in this browser';

  $('range-min').addEventListener('change', () => setRange(+$('range-min').value, +$('range-max').value));
  $('range-max').addEventListener('change', () => setRange(+$('range-min').value, +$('range-max').value));
  $('range-auto').addEventListener('click', () => {
    const f = state.frame;
    if (!f) return;
    const v = Array.from(f.dist).filter(d => d > 0 && d < 60000).sort((a, b) => a - b);
    if (v.length > 10) setRange(v[Math.floor(v.length * 0.02)] / 1000 * 0.95, v[Math.floor(v.length * 0.98)] / 1000 * 1.05);
  });
  $('capture').addEventListener('click', async () => {
    await control('capture', state.capturing ? 0 : 1);
  });
  for (const b of document.querySelectorAll('button[data-set]')) {
    const name = b.dataset.set;
    const apply = async () => {
      const r = await control(name, $(name).value);
      delete $(name).dataset.edited;
      const rb = $(`rb-${name}`);
      rb.textContent = r.ok ? `camera: ${r.read_back}` : r.error;
      rb.className = `readback${r.ok ? '' : ' refused'}`;
    };
    b.addEventListener('click', apply);
    $(name).addEventListener('input', () => { $(name).dataset.edited = '1'; });
    $(name).addEventListener('keydown', e => { if (e.key === 'Enter') apply(); });
  }
  $('modulation').addEventListener('change', async () => {
    const r = await control('modulation', $('modulation').value);
    $('rb-modulation').textContent = r.ok ? `sensor: ${(r.read_back / 1000).toFixed(3)} MHz, divider ${r.divider}` : r.error;
  });
  $('record').addEventListener('click', () => control('record', state.recording ? 0 : 1));
  $('snap-png').addEventListener('click', snapshotPng);
  $('snap-ply').addEventListener('click', snapshotPly);
  $('distance').addEventListener('mousemove', e => {
    const f = state.frame;
    if (!f) return;
    const r = e.target.getBoundingClientRect();
    const x = Math.floor((e.clientX - r.left) / r.width * f.width), y = Math.floor((e.clientY - r.top) / r.height * f.height);
    const d = f.dist[y * f.width + x];
    const what = d === CODE_SATURATED ? 'saturated' : d === CODE_INVALID ? 'invalid' : d === CODE_FILTERED ? 'filtered' : `${(d / 1000).toFixed(3)} m`;
    $('hover').textContent = `(${x}, ${y}) ${what}, amplitude ${f.gray[y * f.width + x]}`;
  });
  statsLoop();
  frameLoop();
}

window.lumoxView = { state, cloud, latencySummary, control };
main();
