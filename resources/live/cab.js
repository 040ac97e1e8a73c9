/* Kestrel live cab page: talks to the server's /live/v1 WebSocket. Plain script, no build step. */
(function () {
  'use strict';

  const CODE_KEY = 'kestrel.controlCode';
  const SEND_MS = 100;            // at most ~10 set messages a second while dragging
  const HOLD_MS = 700;            // after a release, let the server catch up before following it again
  const SVGNS = 'http://www.w3.org/2000/svg';
  const CODE_WHY = 'Driving from this page needs the control code: it is in the Kestrel window\'s log, ' +
    'or printed by kestreld when it starts.';
  const $ = (id) => document.getElementById(id);

  let ws = null;
  let live = false, everLive = false;
  let retryDelay = 500, retryTimer = 0, failures = 0;
  let heartbeat = 10, timeout = 30, lastRx = 0, lastTx = 0;
  let seq = 0, updates = 0;
  let controllers = [];
  let byIndex = new Map();
  let views = new Map();          // controller index -> functions that redraw it
  let resetters = [];             // called when the controller list is rebuilt or the link drops
  const pendingSets = new Map();  // set id -> the code it was sent with
  let memoryCode = '';
  let pairToken = takePairToken(); // from a pairing link, until traded for the code

  // ---- small helpers -------------------------------------------------------

  const fmt = (v) => (Number.isFinite(v) ? String(Number(v.toPrecision(6))) : '–');
  const clamp = (v, c) => Math.min(c.max, Math.max(c.min, v));
  const span = (c) => (c.max - c.min) || 1;
  const frac = (v, c) => (Number.isFinite(v) ? Math.min(1, Math.max(0, (v - c.min) / span(c))) : 0);

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function svg(tag, attrs, text) {
    const e = document.createElementNS(SVGNS, tag);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function setText(e, t) { if (e.textContent !== t) e.textContent = t; }

  const UNIT_RE = /(MPH|KPH|KMH|BAR|PSI|INHG|KPA|RPM)$/;
  const unitOf = (name) => { const m = UNIT_RE.exec(name); return m ? m[1] : ''; };

  // "TrainBrakeCylinderPressureBAR" -> "Train brake cyl."
  function labelOf(name) {
    const words = name.replace(UNIT_RE, '').replace(/Pressure/, '')
      .replace(/([a-z0-9])([A-Z])/g, '$1 $2').replace(/Cylinder/, 'cyl.').trim().split(/\s+/);
    const s = words.map((w, i) => (i && !/^[A-Z0-9]+$/.test(w) ? w.toLowerCase() : w)).join(' ');
    return s || name;
  }

  // Readouts need fewer decimals the wider their range is.
  function readout(v, c) {
    if (!Number.isFinite(v)) return '–';
    const s = span(c);
    return v.toFixed(s >= 50 ? 0 : s >= 2 ? 2 : 3);
  }

  let toastTimer = 0;
  function toast(text, kind) {
    const t = $('toast');
    t.textContent = text;
    t.className = 'toast show' + (kind ? ' ' + kind : '');
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { t.className = 'toast'; }, 4000);
  }

  // ---- control code --------------------------------------------------------

  // A pairing link ends in "#pair=<token>": the token is taken, and the address bar shows the page's own
  // address again, so that a bookmark or a screenshot of it carries nothing.
  function takePairToken() {
    const m = /^#pair=([A-Za-z0-9_-]+)$/.exec(location.hash);
    if (!m) return '';
    try { history.replaceState(null, '', location.pathname + location.search); } catch (e) { location.hash = ''; }
    return m[1];
  }

  function getCode() {
    try { return localStorage.getItem(CODE_KEY) || ''; } catch (e) { return memoryCode; }
  }

  function storeCode(code) {
    memoryCode = code;
    try {
      if (code) localStorage.setItem(CODE_KEY, code); else localStorage.removeItem(CODE_KEY);
    } catch (e) { /* private mode: keep it for this page only */ }
  }

  function askCode(why) {
    const dlg = $('code-dialog');
    if (dlg.open) return;
    if (typeof dlg.showModal !== 'function') {
      const code = window.prompt(why || 'Control code', getCode());
      if (code !== null) storeCode(code.trim());
      return;
    }
    dlg.querySelector('p').textContent = why || CODE_WHY;
    $('code-input').value = getCode();
    dlg.returnValue = '';
    dlg.showModal();
    $('code-input').focus();
  }

  // True if a code is stored; otherwise asks for one and the touch is ignored.
  function haveCode() {
    if (getCode()) return true;
    askCode();
    return false;
  }

  // ---- talking to the server ----------------------------------------------

  function send(msg) {
    if (!ws || ws.readyState !== WebSocket.OPEN) return false;
    ws.send(JSON.stringify(msg));
    lastTx = Date.now();
    return true;
  }

  function sendSet(c, value) {
    const code = getCode();
    if (!code) { askCode(); return; }
    if (!live) { toast('Not connected', 'error'); return; }
    const id = 'x' + (++seq);
    pendingSets.set(id, code);
    send({ type: 'set', id: id, controller: c.name, value: clamp(value, c), code: code });
  }

  // Sends a dragged value at most every SEND_MS, always ending with the last one.
  function makeSender(c) {
    let last = 0, timer = 0, pending = null;
    function flush() {
      timer = 0;
      if (pending === null) return;
      sendSet(c, pending);
      pending = null;
      last = performance.now();
    }
    return {
      push(v) {
        pending = v;
        if (timer) return;
        const wait = SEND_MS - (performance.now() - last);
        if (wait <= 0) flush(); else timer = setTimeout(flush, wait);
      },
      final(v) { clearTimeout(timer); pending = v; flush(); },
    };
  }

  function isReadout(c) { return /speed|pressure|amm?eter|amps|rpm|volt|temp|gauge/i.test(c.name); }

  // Subscribe by name so the subscriptions survive a change of locomotive.
  // Controls get every change; instruments jitter, and a thousandth of their range is below
  // what anyone can read off a dial, so that is their deadband.
  function subscribe() {
    const groups = new Map();   // deadband -> names
    for (const c of controllers) {
      const db = isReadout(c) ? Number((span(c) / 1000).toPrecision(2)) : 0;
      if (!groups.has(db)) groups.set(db, []);
      groups.get(db).push(c.name);
    }
    for (const [db, names] of groups) {
      send({ type: 'subscribe', id: 's' + (++seq), controllers: names, period: 100, deadband: db });
    }
  }

  function setConn(state, delay) {
    const box = $('connection');
    box.dataset.state = state;
    box.title = delay ? 'next try in ' + (delay / 1000).toFixed(1) + ' s' : '';
    setText(box.querySelector('.conn-text'), state);
  }

  function connect() {
    clearTimeout(retryTimer);
    if (ws) return;
    setConn(everLive ? 'reconnecting' : 'connecting');
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live/v1';
    let sock;
    try { sock = new WebSocket(url); } catch (e) { scheduleReconnect(); return; }
    ws = sock;
    sock.onopen = () => { lastRx = Date.now(); };
    sock.onmessage = (ev) => {
      if (sock !== ws) return;
      lastRx = Date.now();
      let m;
      try { m = JSON.parse(ev.data); } catch (e) { return; }
      if (m && typeof m === 'object') handle(m);
    };
    sock.onclose = () => { if (sock === ws) dropped(); };
  }

  function dropped() {
    if (ws) {
      ws.onclose = ws.onmessage = null;
      try { ws.close(); } catch (e) { /* already gone */ }
    }
    ws = null;
    live = false;
    pendingSets.clear();
    resetters.forEach((f) => f());
    scheduleReconnect();
  }

  function scheduleReconnect() {
    clearTimeout(retryTimer);
    const d = retryDelay;
    retryDelay = Math.min(5000, retryDelay * 2);
    failures++;
    setConn(navigator.onLine === false || failures > 8 ? 'offline' : 'reconnecting', d);
    retryTimer = setTimeout(connect, d);
  }

  function reconnectNow() {
    if (ws) return;
    retryDelay = 500;
    connect();
  }

  function handle(m) {
    switch (m.type) {
      case 'hello':
        if (Number(m.heartbeat) > 0) heartbeat = Number(m.heartbeat);
        if (Number(m.timeout) > 0) timeout = Number(m.timeout);
        $('footer').textContent = (m.server || 'Kestrel') + (m.version ? ' ' + m.version : '') +
          ' · live protocol ' + (m.protocol || 1);
        showLoco(m.loco);
        build(m.controllers);
        live = everLive = true;
        retryDelay = 500;
        failures = 0;
        setConn('live');
        subscribe();
        if (pairToken) send({ type: 'pair', id: 'pair', token: pairToken });
        break;
      case 'paired':
        pairToken = '';
        storeCode(String(m.code || ''));
        toast('Paired: this device may drive');
        break;
      case 'loco':
        showLoco(m.loco);
        build(m.controllers);
        // Drop names the new locomotive may lack, then ask again for the ones it has.
        send({ type: 'unsubscribe', id: 'u' + (++seq) });
        subscribe();
        break;
      case 'values':
        for (const k in m.values || {}) {
          const c = byIndex.get(Number(k));
          if (c) { update(c, Number(m.values[k])); updates++; }
        }
        break;
      case 'set': {
        pendingSets.delete(m.id);
        const c = byIndex.get(Number(m.controller));
        if (m.ok && c && Number.isFinite(Number(m.value))) update(c, Number(m.value));
        break;
      }
      case 'error':
        onError(m);
        break;
      default:
        break;   // subscribed, unsubscribed, pong: nothing to do
    }
  }

  function onError(m) {
    if (m.id === 'pair') {
      pairToken = '';
      toast(m.message || 'This pairing link is no longer valid', 'error');
      askCode('This pairing link is no longer valid. ' + CODE_WHY);
      return;
    }
    const usedCode = pendingSets.get(m.id);
    pendingSets.delete(m.id);
    if (m.error === 'not-allowed') {
      // Only forget the code if this answer is about the code we still hold, not an older one.
      if (usedCode === undefined || usedCode === getCode()) {
        storeCode('');
        toast('The control code was not accepted', 'error');
        askCode('That code was not accepted. ' + CODE_WHY);
      }
    } else if (m.error === 'too-many-codes') {
      toast(m.message || 'Too many wrong codes: wait a minute and try again', 'error');
    } else {
      toast(m.message || m.error || 'Server error', 'error');
    }
  }

  // ---- display ---------------------------------------------------------------

  function showLoco(full) {
    full = String(full || '');
    const parts = full.split('.:.').map((s) => s.trim()).filter(Boolean);
    const engine = parts.length ? parts[parts.length - 1] : 'Unknown locomotive';
    const name = $('loco-name');
    name.textContent = engine;
    name.dataset.full = full;
    $('loco-sub').textContent = parts.slice(0, -1).join(' · ');
    document.title = engine + ' · Kestrel';
  }

  function update(c, v) {
    c.value = v;
    const fns = views.get(c.index);
    if (fns) for (const f of fns) f(v);
  }

  function addView(c, f) {
    if (!views.has(c.index)) views.set(c.index, []);
    views.get(c.index).push(f);
  }

  function niceStep(range, n) {
    const raw = range / n;
    const p = Math.pow(10, Math.floor(Math.log10(raw)));
    const f = raw / p;
    return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 2.5 ? 2.5 : f <= 5 ? 5 : 10) * p;
  }

  // A round dial: 270 degrees of arc from bottom left, clockwise, to bottom right.
  function makeDial(c, big) {
    const fig = el('figure', big ? 'dial dial-big' : 'dial');
    const unit = unitOf(c.name);
    const s = svg('svg', { viewBox: '0 0 200 200', role: 'img', 'aria-label': labelOf(c.name) });
    const angle = (v) => 135 + 270 * frac(v, c);
    const pt = (a, r) => {
      const rad = a * Math.PI / 180;
      return (100 + r * Math.cos(rad)).toFixed(2) + ' ' + (100 + r * Math.sin(rad)).toFixed(2);
    };
    const arcPath = 'M' + pt(135, 86) + ' A86 86 0 1 1 ' + pt(45, 86);
    s.append(svg('path', { d: arcPath, class: 'arc' }));
    const valueArc = svg('path', { d: arcPath, class: 'arc-value', pathLength: 100 });
    s.append(valueArc);

    let step = niceStep(span(c), big ? 10 : 5);
    // Long numbers need more room round the dial: fewer of them if there are many.
    const longLabels = (st) => {
      let n = 0;
      for (let k = Math.ceil(c.min / st - 1e-9); k * st <= c.max + 1e-9; k++) if (fmt(k * st).length > 2) n++;
      return n;
    };
    if (big && longLabels(step) > 4) step = niceStep(span(c), 6);
    const minor = step / (big ? 5 : 2);
    for (let k = Math.ceil(c.min / minor - 1e-9); k * minor <= c.max + 1e-9; k++) {
      const v = k * minor;
      const major = Math.abs(v / step - Math.round(v / step)) < 1e-6;
      const a = angle(v);
      s.append(svg('path', { d: 'M' + pt(a, 86) + ' L' + pt(a, major ? 72 : 79), class: major ? 'tick major' : 'tick' }));
      if (major) {
        const p = pt(a, big ? 59 : 56).split(' ');
        s.append(svg('text', { x: p[0], y: p[1], class: 'num', 'dominant-baseline': 'central' }, fmt(v)));
      }
    }
    // The readout sits in the gap at the bottom of the arc, clear of the needle's sweep.
    const value = svg('text', { x: 100, y: big ? 176 : 178, class: 'readout' }, '–');
    s.append(value);
    if (unit) s.append(svg('text', { x: 100, y: big ? 74 : 76, class: 'unit' }, unit));
    const needle = svg('g', { class: 'needle' });
    needle.append(svg('path', { d: 'M86 100 L100 95.5 L182 100 L100 104.5 Z' }));
    needle.append(svg('circle', { cx: 100, cy: 100, r: 8, class: 'hub' }));
    s.append(needle);

    fig.append(s, el('figcaption', '', labelOf(c.name)));
    const draw = (v) => {
      needle.style.transform = 'rotate(' + angle(v).toFixed(2) + 'deg)';
      valueArc.style.strokeDasharray = (frac(v, c) * 100).toFixed(2) + ' 100';
      setText(value, readout(v, c));
    };
    draw(c.min);
    setText(value, '–');
    addView(c, draw);
    return fig;
  }

  // A vertical lever for the finger: drag the handle, or touch the track to jump there.
  function makeLever(c, label, kind) {
    const box = el('div', 'lever lever-' + kind);
    const track = el('div', 'lever-track');
    const fill = el('div', 'lever-fill');
    const thumb = el('div', 'lever-thumb');
    const val = el('div', 'lever-value', '–');
    track.append(fill);
    for (let i = 1; i < 10; i++) {
      const n = el('i', i === 5 ? 'notch mid' : 'notch');
      n.style.bottom = 'calc(var(--thumb) / 2 + (100% - var(--thumb)) * ' + i / 10 + ')';
      track.append(n);
    }
    track.append(thumb);
    track.tabIndex = 0;
    track.setAttribute('role', 'slider');
    track.setAttribute('aria-label', label);
    track.setAttribute('aria-orientation', 'vertical');
    track.setAttribute('aria-valuemin', c.min);
    track.setAttribute('aria-valuemax', c.max);
    box.append(el('div', 'lever-label', label), track, val);

    const percent = c.min === 0 && c.max === 1;
    const sender = makeSender(c);
    let drag = null, holdUntil = 0, holdTimer = 0, shown = NaN;

    function show(v) {
      shown = v;
      track.style.setProperty('--f', frac(v, c).toFixed(4));
      setText(val, !Number.isFinite(v) ? '–' : percent ? Math.round(v * 100) + '%' : readout(v, c));
      track.setAttribute('aria-valuenow', Number.isFinite(v) ? fmt(v) : '');
    }
    function valueAt(f) {
      return clamp(c.min + Math.round(Math.min(1, Math.max(0, f)) * 1000) / 1000 * span(c), c);
    }
    function fracAt(y) {
      const r = track.getBoundingClientRect(), th = thumb.offsetHeight;
      return 1 - (y - r.top - th / 2) / Math.max(1, r.height - th);
    }
    function release(sendFinal) {
      if (!drag) return;
      if (sendFinal) sender.final(shown);
      drag = null;
      box.classList.remove('active');
      holdUntil = performance.now() + HOLD_MS;
      clearTimeout(holdTimer);
      holdTimer = setTimeout(() => show(c.value), HOLD_MS + 50);
    }

    track.addEventListener('pointerdown', (e) => {
      if (e.button > 0 || !haveCode()) return;
      e.preventDefault();
      track.focus({ preventScroll: true });
      const r = thumb.getBoundingClientRect();
      const onThumb = e.clientY >= r.top - 8 && e.clientY <= r.bottom + 8;
      const start = onThumb && Number.isFinite(shown) ? frac(shown, c) : fracAt(e.clientY);
      drag = { id: e.pointerId, y: e.clientY, f: start, usable: Math.max(1, track.clientHeight - thumb.offsetHeight) };
      track.setPointerCapture(e.pointerId);
      box.classList.add('active');
      if (!onThumb) { show(valueAt(start)); sender.push(shown); }
    });
    track.addEventListener('pointermove', (e) => {
      if (!drag || e.pointerId !== drag.id) return;
      const v = valueAt(drag.f - (e.clientY - drag.y) / drag.usable);
      if (v !== shown) { show(v); sender.push(v); }
    });
    track.addEventListener('pointerup', () => release(true));
    track.addEventListener('pointercancel', () => release(true));
    track.addEventListener('lostpointercapture', () => release(true));
    track.addEventListener('keydown', (e) => {
      const steps = { ArrowUp: 0.05, ArrowRight: 0.05, ArrowDown: -0.05, ArrowLeft: -0.05, PageUp: 0.2, PageDown: -0.2, Home: -1, End: 1 };
      if (!(e.key in steps)) return;
      e.preventDefault();
      if (!haveCode()) return;
      const base = Number.isFinite(shown) ? frac(shown, c) : 0;
      show(valueAt(base + steps[e.key]));
      sender.final(shown);
      holdUntil = performance.now() + HOLD_MS;
    });

    addView(c, (v) => { if (!drag && performance.now() >= holdUntil) show(v); });
    resetters.push(() => { drag = null; box.classList.remove('active'); });
    show(NaN);
    return box;
  }

  function setupReverser(c) {
    const box = $('reverser');
    box.hidden = !c;
    if (!c) return;
    const mid = (c.min + c.max) / 2;
    const targets = [c.min, mid, c.max];
    const buttons = Array.from(box.querySelectorAll('button'));
    buttons.forEach((b, i) => { b.onclick = () => { if (haveCode()) sendSet(c, targets[i]); }; });
    addView(c, (v) => {
      const q = span(c) / 4;
      const pos = v < mid - q ? 0 : v > mid + q ? 2 : 1;
      buttons.forEach((b, i) => b.classList.toggle('on', i === pos));
    });
  }

  // The horn sounds while held: max on press, min on any kind of release.
  let hornCtl = null, hornDown = false;
  function hornPress(on) {
    if (on === hornDown || !hornCtl) return;
    hornDown = on;
    $('horn').classList.toggle('pressed', on);
    sendSet(hornCtl, on ? hornCtl.max : hornCtl.min);
  }

  function setupHorn(c) {
    const b = $('horn');
    hornCtl = c;
    hornDown = false;
    b.classList.remove('pressed');
    b.hidden = !c;
    if (!c) return;
    addView(c, (v) => b.classList.toggle('sounding', v > (c.min + c.max) / 2));
    resetters.push(() => { hornDown = false; b.classList.remove('pressed'); });
  }

  function setupEmergency(c) {
    const b = $('emergency');
    b.hidden = !c;
    if (!c) return;
    const mid = (c.min + c.max) / 2;
    b.onclick = () => { if (haveCode()) sendSet(c, c.value > mid ? c.min : c.max); };
    addView(c, (v) => {
      b.classList.toggle('on', v > mid);
      b.textContent = v > mid ? 'Release emergency' : 'Emergency';
    });
  }

  function makeListItem(c) {
    const li = el('li', 'item');
    li.dataset.controller = c.name;
    const value = el('span', 'value', '–');
    const bar = el('span', 'bar');
    const name = el('span', 'name');
    // Let long CamelCase names break between words on a narrow screen.
    c.name.split(/(?=[A-Z][a-z])/).forEach((w, i) => { if (i) name.append(el('wbr')); name.append(w); });
    li.append(name, value, el('span', 'range', fmt(c.min) + ' – ' + fmt(c.max)), bar);
    addView(c, (v) => {
      setText(value, fmt(v));
      bar.style.setProperty('--f', frac(v, c).toFixed(4));
    });
    return li;
  }

  function build(list) {
    controllers = (Array.isArray(list) ? list : []).map((c) => ({
      index: Number(c.index), name: String(c.name), min: Number(c.min), max: Number(c.max), value: NaN,
    })).filter((c) => Number.isFinite(c.index) && c.name);
    byIndex = new Map(controllers.map((c) => [c.index, c]));
    views = new Map();
    resetters = [];
    ['speedo', 'gauges', 'levers', 'list'].forEach((id) => $(id).replaceChildren());

    // Each controller gets at most one special place; all of them also go in the list.
    const taken = new Set();
    const pick = (exact, re, not) => {
      let c = controllers.find((x) => x.name === exact && !taken.has(x));
      if (!c && re) c = controllers.find((x) => !taken.has(x) && re.test(x.name) && !(not && not.test(x.name)));
      if (c) taken.add(c);
      return c;
    };
    const gaugesOnly = /pressure|cylinder|reservoir/i;

    const speed = pick('SpeedometerMPH') || pick('SpeedometerKPH') || pick(null, /speed/i);
    if (speed) $('speedo').append(makeDial(speed, true));
    for (const c of controllers.filter((x) => !taken.has(x) && /pressure/i.test(x.name))) {
      taken.add(c);
      $('gauges').append(makeDial(c, false));
    }
    $('speedo').parentNode.hidden = !$('speedo').firstChild && !$('gauges').firstChild;

    const levers = [
      [pick('Regulator', /throttle/i, gaugesOnly), 'Throttle', 'throttle'],
      [pick('TrainBrakeControl', /trainbrake/i, gaugesOnly), 'Train brake', 'brake'],
      [pick('EngineBrakeControl', /enginebrake|locobrake|independent/i, gaugesOnly), 'Loco brake', 'small loco'],
      [pick('DynamicBrake', /dynamic/i, gaugesOnly), 'Dynamic', 'small dynamic'],
    ];
    for (const [c, label, kind] of levers) if (c) $('levers').append(makeLever(c, label, kind));
    setupReverser(pick('Reverser', /reverser/i));
    setupHorn(pick('Horn', /horn/i));
    setupEmergency(pick('EmergencyBrake', /emergency/i));

    for (const c of controllers) $('list').append(makeListItem(c));
  }

  // ---- wiring --------------------------------------------------------------

  function init() {
    const horn = $('horn');
    horn.addEventListener('pointerdown', (e) => {
      e.preventDefault();
      if (!haveCode()) return;
      try { horn.setPointerCapture(e.pointerId); } catch (err) { /* pointer already gone */ }
      hornPress(true);
    });
    for (const t of ['pointerup', 'pointercancel', 'lostpointercapture', 'touchend', 'touchcancel']) {
      horn.addEventListener(t, () => hornPress(false));
    }
    horn.addEventListener('keydown', (e) => {
      if ((e.key === ' ' || e.key === 'Enter') && !e.repeat) { e.preventDefault(); if (haveCode()) hornPress(true); }
    });
    horn.addEventListener('keyup', (e) => { if (e.key === ' ' || e.key === 'Enter') hornPress(false); });
    horn.addEventListener('contextmenu', (e) => e.preventDefault());
    window.addEventListener('blur', () => hornPress(false));
    document.addEventListener('visibilitychange', () => {
      if (document.hidden) hornPress(false); else reconnectNow();
    });
    window.addEventListener('online', reconnectNow);

    $('code-btn').addEventListener('click', () => askCode());
    $('code-cancel').addEventListener('click', () => $('code-dialog').close('cancel'));
    $('code-dialog').addEventListener('close', () => {
      if ($('code-dialog').returnValue === 'ok') {
        storeCode($('code-input').value.trim());
        toast(getCode() ? 'Control code saved' : 'Control code cleared');
      }
    });

    // Once a second: update rate, keep-alive ping, and drop a link that has gone quiet.
    setInterval(() => {
      setText($('rate'), updates + ' upd/s');
      updates = 0;
      if (!ws || ws.readyState !== WebSocket.OPEN) return;
      const now = Date.now();
      if (now - lastTx >= heartbeat * 1000) send({ type: 'ping', id: 'p' + (++seq) });
      if (now - lastRx > timeout * 1000) dropped();
    }, 1000);

    connect();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', init);
  else init();
})();
