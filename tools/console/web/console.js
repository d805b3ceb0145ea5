// The console page: polls the console server for the device's state and
// sends the owner's and the world's requests. Everything shown comes from
// the device, the phone's replies and the cloud record; the page keeps only
// where its last reads ended.
'use strict';

const $ = (id) => document.getElementById(id);
const POLL_MS = 700;
const HISTORY_EVERY = 4;  // polls
const FAULT_KINDS = {
  mcu: ['silent', 'late', 'short', 'bad_checksum', 'noise', 'oversize', 'lost'],
  ldcell: ['markerless', 'noise', 'never_ready'],
};
const DAY_ORDER = ['sun', 'mon', 'tue', 'wed', 'thur', 'fri', 'sat'];
const HOPPER_FULL = 2000;  // grams the drawing shows as a full hopper (the world's start)

let utcOffset = 0;  // the device zone's, seconds
let ownerNext = 0;
let eventNext = -1;
let chart = null;
let foodLow = 0;

async function api(path, body) {
  const opts = body === undefined ? {} : {
    method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body),
  };
  try {
    const res = await fetch(path, opts);
    return await res.json();
  } catch (e) {
    return {ok: false, error: 'the console does not answer (' + e.message + ')'};
  }
}

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

// Virtual wall seconds as the device's local time of day.
function clockText(t, seconds = true) {
  const d = new Date((t + utcOffset) * 1000);
  return d.toISOString().substring(11, seconds ? 19 : 16);
}

function realTime(t) {
  return new Date(t * 1000).toLocaleTimeString([], {hour12: false});
}

function prepend(list, item, max) {
  for (const e of list.querySelectorAll('.empty')) e.remove();
  list.prepend(item);
  while (list.children.length > max) list.lastElementChild.remove();
}

// ---- the feeder ----------------------------------------------------------

function drawState(s) {
  utcOffset = s.utc_offset_s || 0;
  foodLow = s.food_low_below;
  $('clock').textContent = s.clock;
  const pos = s.bowl_present ? s.bowl : 'missing';
  const drawing = $('feeder-drawing');
  drawing.dataset.bowl = pos;
  drawing.dataset.grams = s.grams.toFixed(1);

  const grams = Math.max(0, s.grams);
  $('bowl-grams').textContent = s.bowl_present ? grams.toFixed(1) + ' g' : '';
  $('bowl-note').textContent = s.bowl_present ? '' : 'missing';
  const h = grams > 0.05 ? Math.max(2, Math.min(30, grams / 100 * 30)) : 0;
  const y = 184 - h, hw = 26 + 8 * h / 32;
  $('bowl-food').setAttribute('d', h ? `M-26 184 H26 L${hw} ${y} H${-hw} Z` : 'M0 0');

  const full = Math.max(HOPPER_FULL, s.hopper);
  const level = (g) => 112 - Math.min(1, Math.max(0, g / full)) * 99;
  $('hopper-food').setAttribute('y', level(s.hopper));
  $('hopper-food').setAttribute('height', 112 - level(s.hopper));
  $('food-low-line').setAttribute('y1', level(s.food_low_below));
  $('food-low-line').setAttribute('y2', level(s.food_low_below));
  $('food-low-label').setAttribute('y', level(s.food_low_below) + 3);
  $('hopper-label').textContent = Math.round(s.hopper) + ' g';

  $('led-3').classList.toggle('on', s.leds['3'] !== 0);
  $('led-4').classList.toggle('on', s.leds['4'] !== 0);
  for (const b of $('sensor-bits').querySelectorAll('span')) {
    b.classList.toggle('set', (s.sensor & Number(b.dataset.bit)) !== 0);
  }
  $('sensor-byte').textContent = '0x' + s.sensor.toString(16).padStart(2, '0');

  const where = {in: 'in, on the scale', out: 'out, at the pet', moving_in: 'moving in',
                 moving_out: 'moving out'}[s.bowl] || s.bowl;
  $('bowl-text').textContent = s.bowl_present ? where : `missing (the tray is ${s.bowl.replace('_', ' ')})`;
  const w = s.watchdog;
  const kick = w.keepalive_age_s < 0 ? 'never fed' : `fed ${w.keepalive_age_s} s ago (${w.keepalives} times)`;
  $('watchdog-text').replaceChildren(
    `${w.open ? 'open' : 'closed'}, ${w.armed ? 'armed' : 'not armed'}, ${kick}`,
    w.bitten ? el('span', {class: 'bad'}, ' · bitten: the board would reset') : '');
  $('network-text').textContent = s.network_up ? 'up' : 'down';
  $('network-text').className = s.network_up ? '' : 'bad';
  $('motor-text').textContent = s.motor_pending ? `${s.motor_pending} portions to go` : 'idle';
  $('updater-text').textContent = s.updater ? 'running' : 'not running';
}

// ---- the plot ------------------------------------------------------------

function makeChart() {
  if (!window.Chart) return null;
  const line = (label, color, axis, extra = {}) => ({
    label, borderColor: color, backgroundColor: color, yAxisID: axis, data: [],
    pointRadius: 0, borderWidth: 2, tension: 0, ...extra,
  });
  return new Chart($('history-chart'), {
    type: 'line',
    data: {datasets: [
      line('grams in the bowl', '#c98a3c', 'grams', {stepped: true}),
      line('hopper', '#2d6cdf', 'hopper'),
      line('food low', '#c2410c', 'hopper', {borderDash: [5, 3], borderWidth: 1}),
    ]},
    options: {
      animation: false, parsing: false, maintainAspectRatio: false,
      interaction: {mode: 'index', intersect: false},
      scales: {
        x: {type: 'linear', ticks: {callback: (v) => clockText(v, false)}},
        grams: {position: 'left', min: 0, suggestedMax: 40, title: {display: true, text: 'bowl g'}},
        hopper: {position: 'right', min: 0, suggestedMax: 2000, grid: {drawOnChartArea: false},
                 title: {display: true, text: 'hopper g'}},
      },
      plugins: {tooltip: {callbacks: {title: (items) => clockText(items[0].parsed.x)}}},
    },
  });
}

function drawHistory(h) {
  chart = chart || makeChart();
  if (!chart || !h.samples.length) return;
  const [grams, hopper, low] = chart.data.datasets;
  grams.data = h.samples.map(([t, g]) => ({x: t, y: Math.max(0, g)}));
  hopper.data = h.samples.map(([t, , hp]) => ({x: t, y: hp}));
  const first = h.samples[0][0], last = h.samples[h.samples.length - 1][0];
  low.data = [{x: first, y: foodLow}, {x: last, y: foodLow}];
  // Ticks on whole minutes or hours of the device's clock, eight at most.
  const step = [60, 300, 600, 1800, 3600, 7200].find((s) => (last - first) / s <= 8) || 7200;
  const x = chart.options.scales.x;
  x.min = first;
  x.max = last;
  x.afterBuildTicks = (axis) => {
    axis.ticks = [];
    for (let t = Math.ceil(first / step) * step; t <= last; t += step) axis.ticks.push({value: t});
  };
  chart.update('none');
}

// ---- the owner's side ----------------------------------------------------

function showRefusal(id, r) {
  $(id).textContent = r && !r.ok && r.error ? (r.refused ? 'Refused: ' : '') + r.error : '';
}

// One phone round trip as the phone saw it.
function showReply(r) {
  const words = (r.command || []).join(' ');
  const item = el('li', {}, el('time', {}, new Date().toLocaleTimeString([], {hour12: false})),
                  el('b', {}, words || 'phone'), ' ');
  const status = (r.status || []).join(' · ') || r.error || '';
  item.append(el('span', {class: 'status' + (r.ok ? '' : ' failed')}, status));
  if (r.reply) {
    item.append(el('pre', {class: 'reply'}, JSON.stringify(r.reply, null, 1)));
  } else if (r.ok && words.startsWith('feed')) {
    item.append(el('div', {class: 'small'}, 'no reply to a feeding: the owner hears from the cloud'));
  }
  prepend($('replies'), item, 12);
}

function dayText(days) {
  const names = days.map((d) => d.replace('day-', ''));
  return names.length === 7 ? 'every day'
      : DAY_ORDER.filter((d) => names.includes(d)).map((d) => d === 'thur' ? 'thu' : d).join(' ');
}

function drawSchedule(list) {
  const body = $('schedule-table').tBodies[0];
  body.replaceChildren();
  if (!list.length) {
    body.append(el('tr', {class: 'empty'}, el('td', {colspan: 6}, 'no feedings scheduled')));
    return;
  }
  for (const e of [...list].sort((a, b) => a.feedTime.localeCompare(b.feedTime))) {
    const change = el('button', {class: 'quiet', type: 'button'}, 'change');
    const del = el('button', {class: 'quiet', type: 'button'}, 'delete');
    change.onclick = () => editEntry(e);
    del.onclick = () => deleteEntry(e.uuid);
    body.append(el('tr', {'data-uuid': e.uuid},
        el('td', {}, e.feedTime), el('td', {}, e.feedAmount), el('td', {}, dayText(e.feedDaysOfTheWeek)),
        el('td', {}, e.melody), el('td', {}, e.weight), el('td', {class: 'actions'}, change, del)));
  }
}

async function refreshSchedule() {
  const r = await api('/api/schedule');
  if (r.command) showReply(r);
  const list = r.reply && r.reply.feedingSchedules;
  if (list) drawSchedule(list);
  return Boolean(list);
}

// The device may still be starting: ask again until it answers.
async function firstSchedule() {
  if (!(await refreshSchedule())) setTimeout(firstSchedule, 3000);
}

function editEntry(e) {
  $('entry-uuid').value = e.uuid;
  $('entry-time').value = e.feedTime;
  $('entry-amount').value = e.feedAmount;
  $('entry-melody').value = e.melody;
  $('entry-weight').value = e.weight;
  const days = e.feedDaysOfTheWeek.map((d) => d.replace('day-', ''));
  for (const c of $('entry-days').querySelectorAll('input')) c.checked = days.includes(c.value);
  $('entry-submit').textContent = 'Save change';
  $('entry-cancel').hidden = false;
  $('entry-editing').textContent = 'changing ' + e.uuid;
}

function endEdit() {
  $('entry-form').reset();
  $('entry-uuid').value = '';
  $('entry-submit').textContent = 'Add';
  $('entry-cancel').hidden = true;
  $('entry-editing').textContent = '';
}

async function deleteEntry(uuid) {
  const r = await api('/api/schedule/delete', {uuid});
  showRefusal('entry-refusal', r);
  if (r.command) showReply(r);
  if (r.ok) await refreshSchedule();
}

// A button stays pressed until its request is answered.
function busy(button, work) {
  return async (ev) => {
    if (ev) ev.preventDefault();
    button.disabled = true;
    try { await work(); } finally { button.disabled = false; }
  };
}

// ---- the world's side ----------------------------------------------------

async function world(body) {
  const r = await api('/api/world', body);
  showRefusal('world-refusal', r);
  $('world-result').textContent = r.request ? `${r.request} → ${r.ok ? 'done' : r.error}` : '';
  poll.soon();
}

function setupForms() {
  // A refusal is about the text that was sent: editing it again clears it.
  for (const [form, refusal] of [['feed-form', 'feed-refusal'], ['entry-form', 'entry-refusal'],
                                 ['world', 'world-refusal']]) {
    $(form).addEventListener('input', () => { $(refusal).textContent = ''; });
  }
  $('feed-form').onsubmit = busy($('feed-button'), async () => {
    const r = await api('/api/feed', {amount: $('feed-amount').value, melody: $('feed-melody').value});
    showRefusal('feed-refusal', r);
    if (r.command) showReply(r);
  });
  $('entry-form').onsubmit = busy($('entry-submit'), async () => {
    const uuid = $('entry-uuid').value;
    const body = {
      time: $('entry-time').value, amount: $('entry-amount').value,
      melody: $('entry-melody').value, weight: $('entry-weight').value,
      days: [...$('entry-days').querySelectorAll('input:checked')].map((c) => c.value),
    };
    if (uuid) body.uuid = uuid;
    const r = await api(uuid ? '/api/schedule/modify' : '/api/schedule/append', body);
    showRefusal('entry-refusal', r);
    if (r.command) showReply(r);
    if (r.ok) {
      endEdit();
      await refreshSchedule();
    }
  });
  $('entry-cancel').onclick = endEdit;
  $('schedule-refresh').onclick = busy($('schedule-refresh'), refreshSchedule);

  $('bowl-away').onclick = () => world({action: 'bowl', present: false});
  $('bowl-back').onclick = () => world({action: 'bowl', present: true});
  $('network-down').onclick = () => world({action: 'network', up: false});
  $('network-up').onclick = () => world({action: 'network', up: true});
  $('faults-clear').onclick = () => world({action: 'clear_faults'});
  $('hopper-form').onsubmit = (ev) => {
    ev.preventDefault();
    world({action: 'hopper', grams: $('hopper-grams').value});
  };
  $('button-form').onsubmit = (ev) => {
    ev.preventDefault();
    world({action: 'button', line: $('button-line').value, seconds: $('button-seconds').value});
  };
  const kinds = () => $('fault-kind').replaceChildren(
      ...FAULT_KINDS[$('fault-target').value].map((k) => el('option', {value: k}, k.replace('_', ' '))));
  $('fault-target').onchange = kinds;
  kinds();
  $('fault-form').onsubmit = (ev) => {
    ev.preventDefault();
    world({action: 'fault', target: $('fault-target').value, kind: $('fault-kind').value,
           count: $('fault-count').value});
  };
  $('clock-form').onsubmit = (ev) => {
    ev.preventDefault();
    world({action: 'clock', time: $('clock-time').value});
  };
  $('control-form').onsubmit = async (ev) => {
    ev.preventDefault();
    const res = await fetch('/api/control', {
      method: 'POST', headers: {'Content-Type': 'application/json'}, body: $('control-line').value,
    });
    const r = await res.json().catch(() => ({ok: false, error: 'HTTP ' + res.status}));
    showRefusal('world-refusal', r);
    $('world-result').textContent = r.refused ? '' : JSON.stringify(r);
    poll.soon();
  };
}

// ---- the feeds -----------------------------------------------------------

function drawOwner(r) {
  ownerNext = r.next;
  for (const m of r.items) {
    prepend($('owner-feed'), el('li', {class: m.kind}, el('time', {}, realTime(m.t)),
                                el('span', {class: 'tag'}, m.kind === 'message' ? 'message' : 'log'),
                                m.message), 100);
  }
}

function drawEvents(r) {
  eventNext = r.next;
  for (const e of r.events) {
    prepend($('event-list'), el('li', {}, el('time', {}, clockText(e.t)),
                                el('span', {class: 'tag'}, e.kind), e.text), 60);
  }
}

function drawLog(r) {
  const pre = $('device-log');
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
  pre.textContent = r.lines.join('\n');
  if (atEnd) pre.scrollTop = pre.scrollHeight;
}

// ---- polling -------------------------------------------------------------

// One round at a time: a round that starts while another reads would show
// the same messages twice.
const poll = {
  timer: null, round: 0, running: false, again: false,
  soon() {
    if (this.running) {
      this.again = true;
      return;
    }
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.run(), 50);
  },
  async run() {
    this.running = true;
    try {
      await this.once();
    } finally {
      this.running = false;
      this.timer = setTimeout(() => this.run(), this.again ? 50 : POLL_MS);
      this.again = false;
    }
  },
  async once() {
    const since = eventNext < 0 ? '' : `?since=${eventNext}`;
    const [s, owner, events, log] = await Promise.all([
      api('/api/state'), api(`/api/owner?since=${ownerNext}`), api('/api/events' + since),
      api('/api/log?lines=60'),
    ]);
    const link = $('link-status');
    link.textContent = s.ok ? 'device up' : s.error;
    link.classList.toggle('down', !s.ok);
    if (s.ok) drawState(s);
    if (owner.ok) drawOwner(owner);
    if (events.ok) drawEvents(events);
    if (log.ok) drawLog(log);
    if (s.ok && this.round++ % HISTORY_EVERY === 0) {
      const h = await api('/api/history');
      if (h.ok) drawHistory(h);
    }
  },
};

setupForms();
poll.run();
firstSchedule();
