// The venue dashboard: signs in, then reads /api/dashboard every two seconds and redraws in place.
'use strict';

const REFRESH_MS = 2000;
const COUNTERS = ['total', 'entered', 'insideNow', 'exited', 'notYet', 'reentered', 'cancelled'];
const STATE_TEXT = { inside: '입장 중', left: '퇴장', notYet: '미입장', cancelled: '취소' };
const MODE_TEXT = { I: '입장', O: '퇴장' };
const WARNING_TEXT = { silent: '응답 없음', slow: '느림', refusing: '거부 많음' };

const state = { csrf: null, bizcode: '', chart: null, timer: null, generation: 0 };
const $ = (id) => document.getElementById(id);
const number = new Intl.NumberFormat('ko-KR');

class SignedOut extends Error {}

// One call to the API. Throws SignedOut after a 401 (the sign-in page is shown), TypeError when
// the server cannot be reached; otherwise returns the status and the JSON body.
async function call(method, path, body) {
  const headers = {};
  if (state.csrf) headers['X-CSRF-Token'] = state.csrf;
  const options = { method, headers, credentials: 'same-origin', cache: 'no-store' };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = {};
  }
  if (response.status === 401 && path !== '/api/admin/sign-in') {
    showSignIn(data.error || '다시 로그인하세요');
    throw new SignedOut();
  }
  return { status: response.status, ok: response.ok, data };
}

function cell(row, text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function timeOf(stamp) {
  return stamp ? stamp.slice(11) : '';
}

function playTime(startsAt) {
  // yyyyMMddhhmm
  return `${startsAt.slice(4, 6)}/${startsAt.slice(6, 8)} ${startsAt.slice(8, 10)}:${startsAt.slice(10, 12)}`;
}

function setConnection(online) {
  const conn = $('conn');
  conn.classList.toggle('online', online);
  conn.classList.toggle('offline', !online);
  conn.textContent = online
    ? `실시간 · ${new Date().toLocaleTimeString('ko-KR', { hour12: false })}`
    : '서버 연결 끊김 · 다시 연결 중';
}

// Drops everything shown of the venue, so a signed-out page keeps nothing on screen.
function clearBoard() {
  for (const key of COUNTERS) $(`c-${key}`).textContent = '-';
  $('gates').replaceChildren();
  $('refusals').replaceChildren();
  $('search-results').replaceChildren();
  $('perf-select').replaceChildren();
  $('perf-title').textContent = '';
  $('search-text').value = '';
  for (const id of ['perf-list', 'op-list', 'acct-list']) $(id).replaceChildren();
  $('shown-value').textContent = '';
  $('shown-password').hidden = true;
  $('tabs').hidden = true;
  if (state.chart) {
    state.chart.destroy();
    state.chart = null;
  }
}

function stopRefresh() {
  state.generation += 1;
  if (state.timer) clearTimeout(state.timer);
  state.timer = null;
}

function showSignIn(message) {
  stopRefresh();
  state.csrf = null;
  clearBoard();
  $('board').hidden = true;
  $('signin').hidden = false;
  $('signin-error').textContent = message || '';
  $('signin-password').value = '';
  $('signin-id').focus();
}

async function showBoard(session) {
  state.csrf = session.csrfToken;
  const role = ROLE_TEXT[session.role] || session.role;
  $('who').textContent = session.placeCode
    ? `${session.admin} · ${role} (공연장 ${session.placeCode})`
    : `${session.admin} · ${role}`;
  $('signin').hidden = true;
  $('board').hidden = false;
  applyRole(session);
  const { ok, data } = await call('GET', '/api/performances');
  if (!ok) {
    $('board-error').textContent = data.error || '공연 목록을 읽지 못했습니다';
    return;
  }
  const select = $('perf-select');
  select.replaceChildren();
  for (const p of data.performances) {
    const option = document.createElement('option');
    option.value = p.bizcode;
    option.textContent = `${playTime(p.startsAt)} ${p.goodsName} · ${p.theaterName}`;
    select.appendChild(option);
  }
  const first = data.performances.length ? data.performances[0].bizcode : '';
  state.bizcode = data.default || first;
  select.value = state.bizcode;
  if (!state.bizcode) $('board-error').textContent = '볼 수 있는 공연이 없습니다';
  startRefresh();
}

function startRefresh() {
  stopRefresh();
  const generation = state.generation;
  const tick = async () => {
    await refresh(generation);
    if (generation === state.generation) state.timer = setTimeout(tick, REFRESH_MS);
  };
  tick();
}

async function refresh(generation) {
  if (!state.bizcode) return;
  try {
    const { ok, data } = await call('GET', `/api/dashboard?bizcode=${encodeURIComponent(state.bizcode)}`);
    if (generation !== state.generation) return;
    setConnection(true);
    if (!ok) {
      $('board-error').textContent = data.error || '현황을 읽지 못했습니다';
      return;
    }
    $('board-error').textContent = '';
    render(data);
  } catch (e) {
    if (e instanceof SignedOut) return;
    if (generation === state.generation) setConnection(false);
  }
}

function render(data) {
  const p = data.performance;
  $('perf-title').textContent = `${p.goodsName} · ${p.theaterName} ${p.placeName} · ${playTime(p.startsAt)}`;
  for (const key of COUNTERS) $(`c-${key}`).textContent = number.format(data.counters[key]);
  renderChart(data.series);

  const gates = $('gates');
  gates.replaceChildren();
  for (const g of data.gates) {
    const row = document.createElement('tr');
    const who = cell(row, g.operator);
    if (g.manual) {
      const tag = document.createElement('span');
      tag.className = 'tag';
      tag.textContent = '수동';
      who.appendChild(tag);
    }
    row.dataset.operator = g.operator;
    const health = cell(row, '', 'health');
    for (const w of g.warnings || []) {
      const badge = document.createElement('span');
      badge.className = `badge warn ${w}`;
      badge.textContent = WARNING_TEXT[w] || w;
      health.appendChild(badge);
    }
    if (!g.manual && !(g.warnings || []).length) {
      const badge = document.createElement('span');
      badge.className = 'badge ok';
      badge.textContent = '정상';
      health.appendChild(badge);
    }
    cell(row, number.format(g.scans), 'num');
    cell(row, number.format(g.accepted), 'num');
    cell(row, number.format(g.refused), 'num');
    cell(row, timeOf(g.lastScanAt));
    cell(row, number.format(g.perMinute), 'num');
    cell(row, g.p95Ms == null ? '-' : `${number.format(Math.round(g.p95Ms))} ms`, 'num');
    if ((g.warnings || []).length) row.classList.add('warn');
    gates.appendChild(row);
  }

  const refusals = $('refusals');
  refusals.replaceChildren();
  for (const r of data.refusals) {
    const row = document.createElement('tr');
    cell(row, timeOf(r.at));
    cell(row, r.ticket);
    cell(row, `${MODE_TEXT[r.mode] || r.mode} · ${r.message}`, 'reason');
    cell(row, r.operator);
    refusals.appendChild(row);
  }
}

function renderChart(series) {
  if (typeof Chart === 'undefined') return;
  if (!state.chart) {
    state.chart = new Chart($('chart'), {
      type: 'bar',
      data: {
        labels: [],
        datasets: [
          { label: '입장', data: [], backgroundColor: '#2459d6' },
          { label: '퇴장', data: [], backgroundColor: '#f29f3d' },
        ],
      },
      options: {
        animation: false,
        responsive: true,
        maintainAspectRatio: false,
        interaction: { mode: 'index', intersect: false },
        scales: {
          x: { ticks: { maxTicksLimit: 12, autoSkip: true }, grid: { display: false } },
          y: { beginAtZero: true, ticks: { precision: 0 } },
        },
      },
    });
  }
  state.chart.data.labels = series.minutes;
  state.chart.data.datasets[0].data = series.entries;
  state.chart.data.datasets[1].data = series.exits;
  state.chart.update('none');
}

function renderBooking(b) {
  const node = $('booking-template').content.firstElementChild.cloneNode(true);
  node.dataset.ticket = b.ticketNo;
  fillBooking(node, b);
  const act = (mode) =>
    actWithReason(node, node.querySelector('.reason'), '수동 처리 사유를 입력하세요',
      '/api/manual-scan', { ticketNo: b.ticketNo, mode }, (data) => data.accepted);
  node.querySelector('.act-in').addEventListener('click', () => act('I'));
  node.querySelector('.act-out').addEventListener('click', () => act('O'));
  node.querySelector('.act-annul').addEventListener('click', () => annul(node, b.ticketNo));
  return node;
}

// Undoes the booking's last entry or exit, the one fillBooking offered.
function annul(node, ticketNo) {
  return actWithReason(node, node.querySelector('.annul-reason'), '취소 사유를 입력하세요',
    '/api/annul', { ticketNo, id: Number(node.dataset.annulId) }, () => true);
}

// Posts an action on one booking that needs a reason, and shows its outcome on the booking.
// done(data) says whether it took effect, which clears the reason.
async function actWithReason(node, input, noReasonText, path, body, done) {
  const reason = input.value.trim();
  const outcome = node.querySelector('.outcome');
  outcome.className = 'outcome';
  if (!reason) {
    outcome.classList.add('bad');
    outcome.textContent = noReasonText;
    return;
  }
  for (const button of node.querySelectorAll('button')) button.disabled = true;
  try {
    const { ok, data } = await call('POST', path, { bizcode: state.bizcode, ...body, reason });
    const tookEffect = ok && done(data);
    outcome.classList.add(tookEffect ? 'good' : 'bad');
    outcome.textContent = ok ? data.message : data.error;
    if (data.booking) fillBooking(node, data.booking);
    if (tookEffect) input.value = '';
    startRefresh();
  } catch (e) {
    if (e instanceof SignedOut) return;
    outcome.classList.add('bad');
    outcome.textContent = '서버에 연결할 수 없습니다';
  } finally {
    for (const button of node.querySelectorAll('button')) button.disabled = false;
  }
}

function fillBooking(node, b) {
  node.querySelector('.ticket').textContent = b.ticketNo;
  node.querySelector('.name').textContent = b.custName;
  const badge = node.querySelector('.state');
  badge.textContent = STATE_TEXT[b.state] || b.state;
  badge.className = `state ${b.state}`;
  node.querySelector('.seat').textContent = `${b.seatGrade} ${b.seatInfo}`;
  const history = node.querySelector('.history');
  history.replaceChildren();
  for (const h of b.history) {
    const item = document.createElement('li');
    const mode = MODE_TEXT[h.mode] || h.mode;
    if (h.kind === 'annul') {
      item.className = 'annul-row';
      item.textContent = `${h.at} ${mode} 취소 · ${h.operator} (사유: ${h.manualReason})`;
    } else {
      const how = h.manualReason ? ` (수동: ${h.manualReason})` : '';
      item.textContent = `${h.at} ${mode} · ${h.operator}${how}`;
      if (h.annulled) item.className = 'annulled';
    }
    history.appendChild(item);
  }
  const annulBox = node.querySelector('.annul');
  annulBox.hidden = !b.annulable;
  if (b.annulable) {
    const mode = MODE_TEXT[b.annulable.mode] || b.annulable.mode;
    node.dataset.annulId = String(b.annulable.id);
    node.querySelector('.annul-what').textContent =
      `마지막 ${mode} ${timeOf(b.annulable.at)} ${b.annulable.operator} · 15분 안에 취소할 수 있습니다`;
    node.querySelector('.act-annul').textContent = `${mode} 취소`;
  }
  if (!b.history.length) {
    const item = document.createElement('li');
    item.className = 'muted';
    item.textContent = '입장·퇴장 기록 없음';
    history.appendChild(item);
  }
}

async function search(event) {
  event.preventDefault();
  const text = $('search-text').value.trim();
  const results = $('search-results');
  $('search-error').textContent = '';
  if (!text) return;
  try {
    const { ok, data } = await call(
      'GET',
      `/api/bookings?bizcode=${encodeURIComponent(state.bizcode)}&q=${encodeURIComponent(text)}`,
    );
    results.replaceChildren();
    if (!ok) {
      $('search-error').textContent = data.error;
      return;
    }
    if (!data.bookings.length) $('search-error').textContent = '찾는 예매가 없습니다';
    for (const b of data.bookings) results.appendChild(renderBooking(b));
  } catch (e) {
    if (!(e instanceof SignedOut)) $('search-error').textContent = '서버에 연결할 수 없습니다';
  }
}

async function signIn(event) {
  event.preventDefault();
  const button = $('signin-submit');
  button.disabled = true;
  try {
    const { ok, data } = await call('POST', '/api/admin/sign-in', {
      id: $('signin-id').value,
      password: $('signin-password').value,
    });
    if (!ok) {
      $('signin-error').textContent = data.error || '로그인하지 못했습니다';
      return;
    }
    $('signin-password').value = '';
    $('signin-error').textContent = '';
    await showBoard(data);
  } catch (e) {
    $('signin-error').textContent = '서버에 연결할 수 없습니다';
  } finally {
    button.disabled = false;
  }
}

async function signOut() {
  try {
    await call('POST', '/api/admin/sign-out');
  } catch (e) {
    // Signed out here either way; the server forgets the session when it is idle.
  }
  showSignIn('로그아웃했습니다');
}

async function start() {
  $('signin-form').addEventListener('submit', signIn);
  $('signout').addEventListener('click', signOut);
  $('search-form').addEventListener('submit', search);
  $('perf-select').addEventListener('change', (event) => {
    state.bizcode = event.target.value;
    $('search-results').replaceChildren();
    startRefresh();
  });
  try {
    const { ok, data } = await call('GET', '/api/admin/session');
    if (ok) await showBoard(data);
  } catch (e) {
    // Not signed in yet is no error worth a word.
    if (e instanceof SignedOut) $('signin-error').textContent = '';
    else showSignIn('서버에 연결할 수 없습니다');
  }
}

document.addEventListener('DOMContentLoaded', start);
