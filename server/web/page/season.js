// The season's views of the dashboard, for managers: performances, gate operators and the venue's
// dashboard accounts, over /api/season/. What a role may not do is not offered here, and the
// server refuses it anyway. Uses app.js's call(), $ and state.
'use strict';

const ROLE_TEXT = { viewer: '조회', supervisor: '현장 책임자', manager: '관리자' };
const season = { venues: [], session: null, passwordFor: '' };

// Shows what a role may use: the tabs for managers, the buttons of a booking for supervisors.
function applyRole(session) {
  season.session = session;
  const manager = session.role === 'manager';
  $('tabs').hidden = !manager;
  document.body.classList.toggle('viewer', session.role === 'viewer');
  showView('live');
}

function showView(name) {
  for (const tab of document.querySelectorAll('#tabs .tab')) {
    tab.classList.toggle('active', tab.dataset.view === name);
  }
  for (const view of document.querySelectorAll('.view')) view.hidden = view.id !== `view-${name}`;
  if (name === 'live') {
    if (state.bizcode && !state.timer) startRefresh();
    return;
  }
  stopRefresh();
  if (name === 'performances') loadPerformances();
  if (name === 'operators') loadOperators();
  if (name === 'accounts') loadAccounts();
}

// A POST of the season; shows its outcome in the message element and returns the data when it
// took effect, else null.
async function seasonPost(path, body, messageId, doneText) {
  const message = $(messageId);
  message.className = 'outcome';
  try {
    const { ok, data } = await call('POST', `/api/season/${path}`, body);
    message.classList.add(ok ? 'good' : 'bad');
    message.textContent = ok ? doneText : data.error || '처리하지 못했습니다';
    return ok ? data : null;
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      message.classList.add('bad');
      message.textContent = '서버에 연결할 수 없습니다';
    }
    return null;
  }
}

async function seasonGet(path) {
  try {
    const { ok, data } = await call('GET', `/api/season/${path}`);
    if (!ok) $('board-error').textContent = data.error || '목록을 읽지 못했습니다';
    return ok ? data : null;
  } catch (e) {
    if (!(e instanceof SignedOut)) $('board-error').textContent = '서버에 연결할 수 없습니다';
    return null;
  }
}

function venueName(code) {
  const v = season.venues.find((x) => x.placeCode === code);
  return v ? `${v.theaterName} (${code})` : code;
}

function fillVenues(select, withEvery) {
  const kept = select.value;
  select.replaceChildren();
  if (withEvery) select.appendChild(new Option('모든 공연장', ''));
  for (const v of season.venues) select.appendChild(new Option(venueName(v.placeCode), v.placeCode));
  if (kept !== '' || withEvery) select.value = kept;
  if (select.selectedIndex < 0) select.selectedIndex = 0;
}

function actionButton(row, text, handler, className) {
  let box = row.querySelector('td.acts > div');
  if (!box) {
    box = document.createElement('div');
    cell(row, '', 'acts').appendChild(box);
  }
  const button = document.createElement('button');
  button.type = 'button';
  button.textContent = text;
  button.className = className || 'secondary';
  button.addEventListener('click', handler);
  box.appendChild(button);
  return button;
}

// A button that acts only on its second click, so a slip of the finger removes nothing.
function armedButton(row, text, armedText, handler) {
  const button = actionButton(row, text, () => {
    if (button.dataset.armed) return handler();
    button.dataset.armed = '1';
    button.textContent = armedText;
  }, 'danger');
  return button;
}

// --- performances

function localInput(startsAt) {
  // yyyyMMddhhmm -> yyyy-MM-ddThh:mm
  return `${startsAt.slice(0, 4)}-${startsAt.slice(4, 6)}-${startsAt.slice(6, 8)}T${startsAt.slice(8, 10)}:${startsAt.slice(10, 12)}`;
}

function editPerformance(p) {
  $('perf-form').dataset.mode = 'change';
  $('perf-form-title').textContent = `공연 변경 · ${p.bizcode}`;
  $('pf-bizcode').value = p.bizcode;
  $('pf-bizcode').readOnly = true;
  $('pf-venue').value = p.placeCode;
  $('pf-goods').value = p.goodsName;
  $('pf-starts').value = localInput(p.startsAt);
  $('pf-hall').value = p.placeName;
  $('pf-submit').textContent = '변경 저장';
  $('pf-cancel').hidden = false;
  $('pf-message').textContent = '';
  $('perf-form').scrollIntoView({ block: 'nearest' });
}

function resetPerformanceForm() {
  $('perf-form').reset();
  $('perf-form').dataset.mode = 'add';
  $('perf-form-title').textContent = '공연 추가';
  $('pf-bizcode').readOnly = false;
  $('pf-submit').textContent = '공연 추가';
  $('pf-cancel').hidden = true;
  fillVenues($('pf-venue'), false);
}

async function loadPerformances() {
  const data = await seasonGet('performances');
  if (!data) return;
  season.venues = data.venues;
  fillVenues($('pf-venue'), false);
  fillVenues($('of-venue'), false);
  const list = $('perf-list');
  list.replaceChildren();
  for (const p of data.performances) {
    const row = document.createElement('tr');
    row.dataset.bizcode = p.bizcode;
    cell(row, `${p.startsAt.slice(0, 4)}/${playTime(p.startsAt)}`);
    cell(row, p.bizcode);
    cell(row, p.goodsName);
    cell(row, `${venueName(p.placeCode)} ${p.placeName}`);
    cell(row, number.format(p.scans), 'num');
    actionButton(row, '변경', () => editPerformance(p));
    const remove = armedButton(row, '삭제', '정말 삭제', async () => {
      if (await seasonPost('performances/remove', { bizcode: p.bizcode }, 'pf-message', `${p.bizcode} 삭제했습니다`)) loadPerformances();
    });
    remove.disabled = p.scans > 0;
    if (p.scans > 0) remove.title = '스캔 기록이 있어 삭제할 수 없습니다';
    list.appendChild(row);
  }
}

async function submitPerformance(event) {
  event.preventDefault();
  const change = $('perf-form').dataset.mode === 'change';
  const body = {
    bizcode: $('pf-bizcode').value.trim(),
    placeCode: $('pf-venue').value,
    goodsName: $('pf-goods').value.trim(),
    startsAt: $('pf-starts').value,
    placeName: $('pf-hall').value.trim(),
  };
  const done = await seasonPost(change ? 'performances/change' : 'performances/add', body, 'pf-message',
    change ? `${body.bizcode} 변경했습니다` : `${body.bizcode} 추가했습니다`);
  if (!done) return;
  const text = $('pf-message').textContent;
  resetPerformanceForm();
  $('pf-message').textContent = text;
  loadPerformances();
}

// --- operators

function showPassword(who, password) {
  $('shown-who').textContent = who;
  $('shown-value').textContent = password;
  $('shown-password').hidden = false;
  $('shown-password').scrollIntoView({ block: 'nearest' });
}

function hidePassword() {
  $('shown-value').textContent = '';
  $('shown-password').hidden = true;
}

function passwordBody(prefix) {
  if ($(`${prefix}-generate`).checked) return { generate: true };
  return { password: $(`${prefix}-password`).value, password2: $(`${prefix}-password2`).value };
}

function clearPasswords(prefix) {
  $(`${prefix}-password`).value = '';
  $(`${prefix}-password2`).value = '';
}

async function loadOperators() {
  if (!season.venues.length) {
    const data = await seasonGet('performances');
    if (data) season.venues = data.venues;
    fillVenues($('of-venue'), false);
  }
  const data = await seasonGet('operators');
  if (!data) return;
  const list = $('op-list');
  list.replaceChildren();
  for (const op of data.operators) {
    const row = document.createElement('tr');
    row.dataset.operator = op.id;
    cell(row, op.id);
    cell(row, op.placeCode);
    const status = cell(row, '');
    const badge = document.createElement('span');
    badge.className = op.disabled ? 'state off' : 'state inside';
    badge.textContent = op.disabled ? '중지' : '사용';
    status.appendChild(badge);
    cell(row, number.format(op.sessions), 'num');
    cell(row, op.lastSignInAt ? `${op.lastSignInAt} · ${op.lastSignInFrom}` : '-');
    const change = (path, text) => async () => {
      if (await seasonPost(`operators/${path}`, { id: op.id }, 'of-message', text)) loadOperators();
    };
    if (op.disabled) actionButton(row, '사용', change('enable', `${op.id} 사용하도록 했습니다`));
    else actionButton(row, '사용 중지', change('disable', `${op.id} 사용을 중지했습니다`));
    actionButton(row, '새 비밀번호', () => {
      season.passwordFor = op.id;
      $('pw-title').textContent = `${op.id}의 새 비밀번호`;
      $('pw-message').textContent = '';
      $('pw-form').hidden = false;
      $('pw-password').focus();
    });
    const end = actionButton(row, '세션 종료', change('end-sessions', `${op.id} 세션을 종료했습니다`));
    end.disabled = op.sessions === 0;
    list.appendChild(row);
  }
}

async function submitOperator(event) {
  event.preventDefault();
  hidePassword();
  const id = $('of-id').value.trim();
  const body = { id, placeCode: $('of-venue').value, ...passwordBody('of') };
  const data = await seasonPost('operators/add', body, 'of-message', `${id} 추가했습니다`);
  clearPasswords('of');
  if (!data) return;
  $('of-id').value = '';
  if (data.password) showPassword(id, data.password);
  loadOperators();
}

async function submitOperatorPassword(event) {
  event.preventDefault();
  hidePassword();
  const id = season.passwordFor;
  const data = await seasonPost('operators/password', { id, ...passwordBody('pw') }, 'pw-message',
    `${id} 비밀번호를 바꿨습니다. 열린 세션은 종료되었습니다`);
  clearPasswords('pw');
  if (!data) return;
  if (data.password) showPassword(id, data.password);
  loadOperators();
}

// --- dashboard accounts

async function loadAccounts() {
  const every = !season.session.placeCode;
  if (!season.venues.length) {
    const data = await seasonGet('performances');
    if (data) season.venues = data.venues;
  }
  fillVenues($('af-venue'), every);
  $('af-venue').disabled = !every;
  const data = await seasonGet('accounts');
  if (!data) return;
  const list = $('acct-list');
  list.replaceChildren();
  for (const a of data.accounts) {
    const row = document.createElement('tr');
    row.dataset.account = a.id;
    cell(row, a.self ? `${a.id} (나)` : a.id);
    cell(row, ROLE_TEXT[a.role] || a.role);
    cell(row, a.placeCode ? venueName(a.placeCode) : '모든 공연장');
    cell(row, a.disabled ? '중지' : '사용');
    const retire = (path, text) => async () => {
      if (await seasonPost(`accounts/${path}`, { id: a.id }, 'af-message', text)) loadAccounts();
    };
    const stop = actionButton(row, '중지', retire('disable', `${a.id} 중지했습니다`));
    stop.disabled = a.self || a.disabled;
    const remove = armedButton(row, '삭제', '정말 삭제', retire('remove', `${a.id} 삭제했습니다`));
    remove.disabled = a.self;
    list.appendChild(row);
  }
}

async function submitAccount(event) {
  event.preventDefault();
  const id = $('af-id').value.trim();
  const body = {
    id,
    role: $('af-role').value,
    placeCode: $('af-venue').value,
    password: $('af-password').value,
    password2: $('af-password2').value,
  };
  const data = await seasonPost('accounts/add', body, 'af-message', `${id} 추가했습니다`);
  clearPasswords('af');
  if (!data) return;
  $('af-id').value = '';
  loadAccounts();
}

function togglePasswordPair(prefix) {
  const made = $(`${prefix}-generate`).checked;
  $(`${prefix}-generate`).closest('form').querySelector('.password-pair').hidden = made;
}

document.addEventListener('DOMContentLoaded', () => {
  for (const tab of document.querySelectorAll('#tabs .tab')) {
    tab.addEventListener('click', () => showView(tab.dataset.view));
  }
  $('perf-form').addEventListener('submit', submitPerformance);
  $('pf-cancel').addEventListener('click', resetPerformanceForm);
  $('op-form').addEventListener('submit', submitOperator);
  $('pw-form').addEventListener('submit', submitOperatorPassword);
  $('pw-cancel').addEventListener('click', () => {
    $('pw-form').hidden = true;
    clearPasswords('pw');
  });
  $('shown-close').addEventListener('click', hidePassword);
  $('acct-form').addEventListener('submit', submitAccount);
  for (const prefix of ['of', 'pw']) {
    $(`${prefix}-generate`).addEventListener('change', () => togglePasswordPair(prefix));
  }
});
