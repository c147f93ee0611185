// Brindleton Operator Console (demo).
//
// Everything native goes through one call: webkitExternal.command("name:argument"),
// which the brindleton shell answers synchronously with a string or null. Opened in
// an ordinary browser the page still works as a preview and says so.
//
// Text that comes from commands, from reverse look-ups or from the operator is
// put into the page with textContent only; the HTML sent to the notification
// pop-up escapes every value it contains.

'use strict';

(() => {
  const NOT_IN_SHELL = 'not running inside brindleton';
  const SOUND_URL_PATH = '/sounds/alert.wav';
  const MAX_LOG_ENTRIES = 200;

  // Keys in the shell's local store.
  const KEY_NAME = 'displayname';
  const KEY_THEME = 'theme';
  const KEY_SOUND = 'alertsound';

  const SESSIONS = [
    { name: 'Local agent', address: '127.0.0.1', state: 'active' },
    { name: 'Branch office', address: '10.0.0.5', state: 'active' },
    { name: 'Partner gateway', address: '192.0.2.7', state: 'waiting' },
    { name: 'Field laptop', address: '198.51.100.23', state: 'idle' },
  ];

  const params = new URLSearchParams(window.location.search);
  const demoMode = params.get('demo') === '1';

  const $ = (id) => document.getElementById(id);

  // ---------------------------------------------------------------------------
  // The bridge

  function bridge() {
    const ext = window.webkitExternal;
    return ext && typeof ext.command === 'function' ? ext : null;
  }

  // Sends one command, logs it with its result and returns the result
  // (a string or null), or undefined when there is no shell to ask.
  function send(text) {
    const ext = bridge();
    if (!ext) {
      log('cmd', text, { kind: 'absent' });
      return undefined;
    }
    let result;
    try {
      result = ext.command(text);
    } catch (err) {
      log('cmd', text, { kind: 'error', error: err });
      return undefined;
    }
    log('cmd', text, { kind: 'result', value: result });
    return result;
  }

  // ---------------------------------------------------------------------------
  // Activity log

  const logList = $('activity-log');

  function pad2(n) {
    return String(n).padStart(2, '0');
  }

  function clock() {
    const d = new Date();
    return `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
  }

  function shorten(text, max) {
    return text.length > max ? `${text.slice(0, max)}… (${text.length} chars)` : text;
  }

  function describeResult(outcome) {
    switch (outcome.kind) {
      case 'absent':
        return { text: NOT_IN_SHELL, cls: 'log-result--absent' };
      case 'error':
        return { text: `error: ${String(outcome.error && outcome.error.message || outcome.error)}`, cls: 'log-result--error' };
      case 'result': {
        const v = outcome.value;
        if (v === null) return { text: 'null', cls: 'log-result--null' };
        if (v === undefined) return { text: 'undefined', cls: 'log-result--null' };
        if (v === '') return { text: '"" (empty)', cls: 'log-result--empty' };
        return { text: JSON.stringify(String(v)), cls: 'log-result--value' };
      }
      default:
        return null;
    }
  }

  // kind: 'cmd' (a command sent), 'call' (a call from the shell), 'note'.
  function log(kind, text, outcome) {
    const empty = logList.querySelector('.is-empty');
    if (empty) empty.remove();

    const li = document.createElement('li');
    const time = document.createElement('span');
    time.className = 'log-time';
    time.textContent = clock();
    li.append(time);

    const mark = document.createElement('span');
    mark.className = 'log-kind';
    mark.textContent = kind === 'cmd' ? '→' : kind === 'call' ? '←' : '•';
    mark.title = kind === 'cmd' ? 'command sent' : kind === 'call' ? 'call from the shell' : 'note';
    li.append(mark);

    const cmd = document.createElement('span');
    cmd.className = 'log-cmd';
    cmd.textContent = shorten(text, 80);
    cmd.title = shorten(text, 2000);
    li.append(cmd);

    const res = outcome ? describeResult(outcome) : null;
    if (res) {
      const out = document.createElement('span');
      out.className = 'log-out';
      const arrow = document.createElement('span');
      arrow.className = 'log-arrow';
      arrow.textContent = '⇒';
      arrow.setAttribute('aria-label', 'returned');
      const value = document.createElement('span');
      value.className = `log-result ${res.cls}`;
      value.textContent = res.text;
      value.title = res.text;
      out.append(arrow, value);
      li.append(out);
    }

    logList.prepend(li);
    while (logList.children.length > MAX_LOG_ENTRIES) logList.lastElementChild.remove();
  }

  function clearLog() {
    logList.replaceChildren();
    const li = document.createElement('li');
    li.className = 'is-empty';
    li.textContent = 'No activity yet.';
    logList.append(li);
  }

  // ---------------------------------------------------------------------------
  // Preferences

  const root = document.documentElement;
  const nameInput = $('pref-name');
  const soundBox = $('pref-sound');

  function systemTheme() {
    return window.matchMedia && window.matchMedia('(prefers-color-scheme: dark)').matches ? 'dark' : 'light';
  }

  function applyTheme(theme) {
    const t = theme === 'dark' ? 'dark' : 'light';
    root.dataset.theme = t;
    const radio = $(`theme-${t}`);
    if (radio) radio.checked = true;
  }

  function operatorName() {
    const n = nameInput.value.trim();
    return n || 'Operator';
  }

  function applyName(name) {
    nameInput.value = name;
    $('operator-name').textContent = operatorName();
  }

  function loadPreferences() {
    const name = send(`getlocaldata:${KEY_NAME}`);
    const theme = send(`getlocaldata:${KEY_THEME}`);
    const sound = send(`getlocaldata:${KEY_SOUND}`);
    applyName(typeof name === 'string' ? name : '');
    applyTheme(theme === 'dark' || theme === 'light' ? theme : systemTheme());
    // Sound is on unless the operator switched it off.
    soundBox.checked = sound !== '0';
    updateSoundHint();
  }

  function updateSoundHint() {
    $('sound-hint').textContent = soundBox.checked
      ? 'The pop-up appears near the lower right corner of the screen, with the alert sound.'
      : 'The pop-up appears near the lower right corner of the screen; alert sound is off (Preferences).';
  }

  // ---------------------------------------------------------------------------
  // Sessions and reverse look-ups

  const rowsBody = $('session-rows');

  function renderSessions() {
    const tpl = $('session-row');
    for (const s of SESSIONS) {
      const row = tpl.content.firstElementChild.cloneNode(true);
      row.dataset.address = s.address;
      row.querySelector('.dot').classList.add(`dot--${s.state}`);
      row.querySelector('.session-name').textContent = s.name;
      row.querySelector('.cell-session').title = `${s.name}: ${s.state}`;
      row.querySelector('.cell-address code').textContent = s.address;
      const btn = row.querySelector('.resolve');
      btn.setAttribute('aria-label', `Resolve host name of ${s.address}`);
      btn.addEventListener('click', () => resolve(s.address));
      rowsBody.append(row);
    }
    $('session-count').textContent = `(${SESSIONS.length})`;
  }

  function rowsFor(address) {
    return Array.from(rowsBody.rows).filter((r) => r.dataset.address === address);
  }

  function setHost(row, text, cls) {
    const host = row.querySelector('.host');
    host.className = `host ${cls}`;
    host.textContent = text;
    host.title = text;
  }

  function resolve(address) {
    const sent = send(`querydns:${address}`);
    if (sent === undefined) return;
    for (const row of rowsFor(address)) {
      setHost(row, 'resolving…', 'muted');
      row.setAttribute('aria-busy', 'true');
    }
  }

  // Called by the shell when a reverse look-up has finished.
  function HandleQueryDns(address, hostName) {
    const addr = String(address ?? '');
    const name = hostName == null ? '' : String(hostName);
    log('call', `HandleQueryDns(${JSON.stringify(addr)}, ${JSON.stringify(name)})`);
    for (const row of rowsFor(addr)) {
      row.removeAttribute('aria-busy');
      if (name) setHost(row, name, 'host--named');
      else setHost(row, '(no name)', 'host--none');
    }
  }
  window.HandleQueryDns = HandleQueryDns;

  // ---------------------------------------------------------------------------
  // Notifications and sound

  function escapeHtml(text) {
    return String(text).replace(/[&<>"']/g, (c) => ({
      '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
    })[c]);
  }

  // A self-contained page for the 320 x 120 pop-up. The logo is a relative
  // reference: the shell resolves it against this console's address.
  function notificationHtml(title, message) {
    const dark = root.dataset.theme === 'dark';
    const bg = dark ? '#1a1f26' : '#ffffff';
    const fg = dark ? '#e4e9ef' : '#1d2631';
    const muted = dark ? '#9aa6b3' : '#5f6b7a';
    const accent = dark ? '#5b93f0' : '#2563d8';
    const edge = dark ? '#2c343e' : '#d3dae3';
    return '<!DOCTYPE html><html><head><meta charset="utf-8"><style>'
      + `html,body{margin:0;height:100%;overflow:hidden;background:${bg};color:${fg};`
      + 'font:12px/1.35 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",Ubuntu,sans-serif}'
      + `.n{box-sizing:border-box;height:100%;display:flex;align-items:center;gap:10px;padding:10px 12px;border:1px solid ${edge};border-left:4px solid ${accent}}`
      + '.n img{flex:none;width:32px;height:32px}'
      + '.b{min-width:0}'
      + 'h1{margin:0 0 2px;font-size:13px;font-weight:600;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}'
      + `p{margin:0;color:${muted};display:-webkit-box;-webkit-line-clamp:2;-webkit-box-orient:vertical;overflow:hidden}`
      + `small{display:block;margin-top:5px;font-size:11px;color:${muted}}`
      + `small b{color:${accent};font-weight:600}`
      + '</style></head><body><div class="n">'
      + '<img src="images/logo.svg" alt="">'
      + `<div class="b"><h1>${escapeHtml(title)}</h1><p>${escapeHtml(message)}</p>`
      + `<small><b>Brindleton</b> · ${escapeHtml(clock().slice(0, 5))} · for ${escapeHtml(operatorName())}</small>`
      + '</div></div></body></html>';
  }

  function soundUrl() {
    return new URL(SOUND_URL_PATH, window.location.href).href;
  }

  function playAlert() {
    send(`playsound:${soundUrl()}`);
  }

  function showNotification(withSound) {
    const title = $('alert-title').value.trim() || 'Brindleton';
    const message = $('alert-message').value.trim();
    send(`setnotifytitle:${title}`);
    send(`setnotifyhtml:${notificationHtml(title, message)}`);
    send('shownotify');
    if (withSound && soundBox.checked) playAlert();
  }

  // ---------------------------------------------------------------------------
  // Tabs

  function setupTabs() {
    const tabs = Array.from(document.querySelectorAll('[role="tab"]'));
    function select(tab, focus) {
      for (const t of tabs) {
        const on = t === tab;
        t.setAttribute('aria-selected', String(on));
        t.tabIndex = on ? 0 : -1;
        $(t.getAttribute('aria-controls')).hidden = !on;
      }
      if (focus) tab.focus();
    }
    tabs.forEach((tab, i) => {
      tab.addEventListener('click', () => select(tab, false));
      tab.addEventListener('keydown', (e) => {
        let next = null;
        if (e.key === 'ArrowRight') next = tabs[(i + 1) % tabs.length];
        else if (e.key === 'ArrowLeft') next = tabs[(i - 1 + tabs.length) % tabs.length];
        else if (e.key === 'Home') next = tabs[0];
        else if (e.key === 'End') next = tabs[tabs.length - 1];
        if (next) {
          e.preventDefault();
          select(next, true);
        }
      });
    });
  }

  // ---------------------------------------------------------------------------
  // Wiring

  function wire() {
    $('resolve-all').addEventListener('click', () => {
      for (const s of SESSIONS) resolve(s.address);
    });

    $('alert-form').addEventListener('submit', (e) => {
      e.preventDefault();
      showNotification(true);
    });
    $('notify-hide').addEventListener('click', () => send('hidenotify'));
    $('sound-test').addEventListener('click', playAlert);

    $('prefs-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const name = nameInput.value.trim();
      send(`setlocaldata:${KEY_NAME}:${name}`);
      applyName(name);
    });
    for (const radio of document.querySelectorAll('input[name="theme"]')) {
      radio.addEventListener('change', () => {
        if (!radio.checked) return;
        applyTheme(radio.value);
        send(`setlocaldata:${KEY_THEME}:${radio.value}`);
      });
    }
    soundBox.addEventListener('change', () => {
      send(`setlocaldata:${KEY_SOUND}:${soundBox.checked ? '1' : '0'}`);
      updateSoundHint();
    });
    $('prefs-reload').addEventListener('click', loadPreferences);

    $('open-form').addEventListener('submit', (e) => {
      e.preventDefault();
      const input = $('open-url');
      if (!input.checkValidity() || !input.value.trim()) {
        input.reportValidity();
        return;
      }
      send(`open:${input.value.trim()}`);
    });
    $('win-maximize').addEventListener('click', () => send('maximize'));
    $('win-quit').addEventListener('click', () => send('close'));

    $('activity-clear').addEventListener('click', clearLog);
  }

  function showShellState() {
    const inShell = bridge() !== null;
    const pill = $('shell-status');
    pill.textContent = inShell ? 'Connected' : 'Browser preview';
    pill.className = `pill ${inShell ? 'pill--ok' : 'pill--warn'}`;
    pill.title = inShell ? 'Running inside the brindleton shell' : NOT_IN_SHELL;
    $('browser-banner').hidden = inShell;
    log('note', inShell ? 'console loaded inside brindleton' : `console loaded: ${NOT_IN_SHELL}`);
  }

  // With ?demo=1 the console shows off a little once it has loaded: it resolves
  // the local session's name and pops up a notification (without sound).
  function runDemo() {
    window.setTimeout(() => resolve('127.0.0.1'), 200);
    window.setTimeout(() => showNotification(false), 500);
  }

  clearLog();
  renderSessions();
  setupTabs();
  wire();
  showShellState();
  loadPreferences();
  if (demoMode) {
    if (document.readyState === 'complete') runDemo();
    else window.addEventListener('load', runDemo, { once: true });
  }
})();
