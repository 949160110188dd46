// The season's views of the dashboard, for managers: performances, gate operators, the venue's
// dashboard accounts, booking files and the audit's exports, over /api/season/. What a role may not do is not offered here, and the
// server refuses it anyway. Uses app.js's call(), $ and state.
'use strict';

const ROLE_TEXT = { viewer: '조회', supervisor: '현장 책임자', manager: '관리자' };
const season = { venues: [], session: null, passwordFor: '', enableFor: '', uploadId: '' };
// The largest booking file the server takes; a larger one is refused here before it is sent.
const MAX_UPLOAD = 64 * 1024 * 1024;

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
  if (name === 'files') loadFiles();
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

function actionBox(row) {
  let box = row.querySelector('td.acts > div');
  if (!box) {
    box = document.createElement('div');
    cell(row, '', 'acts').appendChild(box);
  }
  return box;
}

function actionButton(row, text, handler, className) {
  const box = actionBox(row);
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
    if (!a.self) {
      const role = document.createElement('select');
      role.className = 'role-choice';
      for (const [value, text] of Object.entries(ROLE_TEXT)) role.appendChild(new Option(text, value));
      role.value = a.role;
      actionBox(row).appendChild(role);
      actionButton(row, '역할 변경', async () => {
        if (await seasonPost('accounts/role', { id: a.id, role: role.value }, 'af-message',
          `${a.id} 역할을 ${ROLE_TEXT[role.value]}(으)로 바꿨습니다`)) loadAccounts();
      });
    }
    if (a.disabled) {
      actionButton(row, '사용', () => {
        season.enableFor = a.id;
        $('enable-title').textContent = `${a.id} 다시 사용`;
        $('en-message').textContent = '';
        $('enable-form').hidden = false;
        $('en-password').focus();
      });
    } else {
      const stop = actionButton(row, '중지', retire('disable', `${a.id} 중지했습니다`));
      stop.disabled = a.self;
    }
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

async function submitEnable(event) {
  event.preventDefault();
  const id = season.enableFor;
  const done = await seasonPost('accounts/enable',
    { id, password: $('en-password').value, password2: $('en-password2').value }, 'en-message',
    `${id} 다시 사용하도록 했습니다`);
  clearPasswords('en');
  if (!done) return;
  loadAccounts();
}

// --- booking files and the audit's exports

async function loadFiles() {
  const data = await seasonGet('performances');
  if (!data) return;
  season.venues = data.venues;
  for (const select of document.querySelectorAll('.perf-choice')) {
    const kept = select.value;
    select.replaceChildren();
    for (const p of data.performances) {
      select.appendChild(new Option(`${p.startsAt.slice(0, 4)}/${playTime(p.startsAt)} ${p.goodsName} (${p.bizcode})`, p.bizcode));
    }
    if (kept) select.value = kept;
    if (select.selectedIndex < 0) select.selectedIndex = 0;
  }
}

// A call whose body or answer is no JSON of the page's own: the upload and the downloads.
async function rawCall(method, path, body) {
  const headers = { 'X-CSRF-Token': state.csrf };
  if (body) headers['Content-Type'] = 'application/octet-stream';
  const response = await fetch(path, { method, headers, body, credentials: 'same-origin', cache: 'no-store' });
  if (response.status === 401) {
    showSignIn('다시 로그인하세요');
    throw new SignedOut();
  }
  return response;
}

async function errorOf(response) {
  try {
    const data = await response.json();
    if (data.error) return data.error;
  } catch (e) {
    // not JSON: said below
  }
  return response.status === 413 ? '파일이 너무 큽니다' : '처리하지 못했습니다';
}

function say(id, good, text) {
  $(id).className = `outcome ${good ? 'good' : 'bad'}`;
  $(id).textContent = text;
}

function showDryRun(d) {
  season.uploadId = d.id || '';
  $('dryrun').hidden = false;
  $('dr-title').textContent = d.problems.length ? '미리 보기 · 기록할 수 없습니다' : '미리 보기';
  $('dr-file').textContent = `${d.fileName || '파일'} · ${d.bizcode} · ${d.readAs} · ${number.format(d.read)}건`;
  // With a bad line the file is not compared with the bookings at all.
  const counted = (n) => (d.problems.length ? '-' : number.format(n));
  $('dr-added').textContent = counted(d.added);
  $('dr-changed').textContent = counted(d.changed);
  $('dr-unchanged').textContent = counted(d.unchanged);
  $('dr-bad').textContent = number.format(d.problems.length);
  const notes = [];
  if (d.skippedColumns.length) notes.push(`읽지 않은 열: ${d.skippedColumns.join(', ')}`);
  if (d.admittedCancelled.length) notes.push(`입장한 뒤 취소되는 예매: ${d.admittedCancelled.join(', ')}`);
  if (d.problems.length) notes.push('잘못된 줄을 고친 뒤 파일을 다시 올리세요. 아무것도 기록하지 않았습니다.');
  $('dr-note').textContent = notes.join(' · ');
  const list = $('dr-problems');
  list.replaceChildren();
  for (const p of d.problems) {
    const row = document.createElement('tr');
    cell(row, p.line ? number.format(p.line) : '-', 'num');
    cell(row, p.reason);
    list.appendChild(row);
  }
  $('dr-problems-box').hidden = !d.problems.length;
  $('dr-confirm').hidden = !season.uploadId;
  $('dr-confirm').disabled = false;
  $('dr-progress-box').hidden = true;
  $('dr-result').textContent = '';
}

async function submitImport(event) {
  event.preventDefault();
  const file = $('bi-file').files[0];
  $('dryrun').hidden = true;
  if (!file) return say('bi-message', false, '파일을 고르세요');
  if (file.size > MAX_UPLOAD) return say('bi-message', false, '파일이 64 MiB보다 큽니다');
  say('bi-message', true, '읽는 중…');
  $('bi-submit').disabled = true;
  try {
    const query = new URLSearchParams({ bizcode: $('bi-perf').value, name: file.name });
    const response = await rawCall('POST', `/api/season/bookings/upload?${query}`, file);
    if (!response.ok) return say('bi-message', false, await errorOf(response));
    const d = await response.json();
    say('bi-message', !d.problems.length, d.problems.length ? `잘못된 줄이 ${number.format(d.problems.length)}개 있습니다` : '미리 보기를 확인하고 확정하세요');
    showDryRun(d);
  } catch (e) {
    if (!(e instanceof SignedOut)) say('bi-message', false, '서버에 연결할 수 없습니다');
  } finally {
    $('bi-submit').disabled = false;
  }
}

// Polls the write until it ends; the page stays usable meanwhile.
async function followImport(id) {
  $('dr-progress-box').hidden = false;
  for (;;) {
    const { ok, data } = await call('GET', `/api/season/bookings/progress?id=${encodeURIComponent(id)}`);
    if (!ok) return say('dr-result', false, data.error || '진행 상황을 읽지 못했습니다');
    $('dr-progress').max = Math.max(data.total, 1);
    $('dr-progress').value = data.state === 'done' ? Math.max(data.total, 1) : data.written;
    $('dr-progress-text').textContent = `${number.format(data.written)} / ${number.format(data.total)}건`;
    if (data.state === 'done') {
      return say('dr-result', true, `기록했습니다: 새 예매 ${number.format(data.added)}, 바뀐 예매 ${number.format(data.changed)}, 그대로 ${number.format(data.unchanged)}`);
    }
    if (data.state === 'failed') {
      return say('dr-result', false, `${number.format(data.written)}건을 기록한 뒤 멈췄습니다: ${data.failure}. 같은 파일을 다시 올리면 남은 것만 기록합니다`);
    }
    await new Promise((resolve) => setTimeout(resolve, 400));
  }
}

async function confirmImport() {
  const id = season.uploadId;
  $('dr-confirm').disabled = true;
  try {
    const { status, ok, data } = await call('POST', '/api/season/bookings/confirm', { id });
    if (status === 409 && data.dryRun) {
      showDryRun(data.dryRun);
      return say('dr-result', false, data.error);
    }
    if (!ok) return say('dr-result', false, data.error || '기록하지 못했습니다');
    $('dr-confirm').hidden = true;
    say('dr-result', true, '기록하는 중…');
    await followImport(id);
  } catch (e) {
    if (!(e instanceof SignedOut)) say('dr-result', false, '서버에 연결할 수 없습니다');
  }
}

// The download's name as the server gives it (filename*, UTF-8), else a plain one.
function downloadName(response, fallback) {
  const header = response.headers.get('Content-Disposition') || '';
  const m = /filename\*=UTF-8''([^;]+)/.exec(header);
  return m ? decodeURIComponent(m[1]) : fallback;
}

async function exportAudit(format) {
  const bizcode = $('ax-perf').value;
  try {
    const query = new URLSearchParams({ bizcode, format });
    const response = await rawCall('GET', `/api/season/audit/export?${query}`);
    if (!response.ok) return say('ax-message', false, await errorOf(response));
    const url = URL.createObjectURL(await response.blob());
    const link = document.createElement('a');
    link.href = url;
    link.download = downloadName(response, `audit-${bizcode}.${format}`);
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    say('ax-message', true, `${link.download} 내려받았습니다`);
  } catch (e) {
    if (!(e instanceof SignedOut)) say('ax-message', false, '서버에 연결할 수 없습니다');
  }
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
  $('enable-form').addEventListener('submit', submitEnable);
  $('en-cancel').addEventListener('click', () => {
    $('enable-form').hidden = true;
    clearPasswords('en');
  });
  $('import-form').addEventListener('submit', submitImport);
  $('dr-confirm').addEventListener('click', confirmImport);
  $('ax-csv').addEventListener('click', () => exportAudit('csv'));
  $('ax-xlsx').addEventListener('click', () => exportAudit('xlsx'));
  for (const prefix of ['of', 'pw']) {
    $(`${prefix}-generate`).addEventListener('change', () => togglePasswordPair(prefix));
  }
});
