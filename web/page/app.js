// The service's web page: a thin client of the JSON API. Everything it does is
// an API call a script could make; state, journal lines and power progress
// arrive over one WebSocket, so nothing here polls the network.
'use strict';

(() => {
  const kHoldRepeatMs = 100;
  // Held buttons skip a repeat while this many presses are still unanswered,
  // so a slow line cannot pile up requests.
  const kHoldMaxInFlight = 4;
  const kJournalLimit = 200;
  const kReconnectDelaysMs = [1000, 2000, 4000, 8000, 15000];
  const kAgeTickMs = 1000;
  const kFaults = new Set(['power_fault', 'temperature_fault', 'lamp_failure']);
  const kArrowGlyphs = { up: '▲', down: '▼', left: '◀', right: '▶' };
  const kListTitles = { basic: 'Basic', extended_set: 'Extended set', extended_read: 'Extended read' };
  const kStateFields = [
    ['input', 'Input'],
    ['lamp_hours', 'Lamp hours'],
    ['temperatures_c', 'Temperatures'],
    ['lamp_mode', 'Lamp mode'],
    ['lamp_status', 'Lamp status'],
    ['setting', 'Setting'],
  ];

  const $ = (id) => document.getElementById(id);

  const app = {
    session: null,
    state: null,
    clockOffsetMs: 0, // the service's clock minus ours
    socket: null,
    reconnectStep: 0,
    reconnectTimer: null,
    journalIds: new Set(),
    lastJournalId: 0,
    actions: null,
    panel: null,
    catalogue: null,
    holdStoppers: [],
    pausedUntil: 0,
    pauseTimer: null,
  };

  // ---- Requests ----

  class ApiError extends Error {
    constructor(status, message, data, retryAfter) {
      super(message);
      this.status = status;
      this.data = data;
      this.retryAfter = retryAfter;
    }
  }

  async function api(method, path, body) {
    const init = { method, credentials: 'same-origin', cache: 'no-store', headers: {} };
    if (method !== 'GET') {
      init.headers['Content-Type'] = 'application/json';
      if (app.session) init.headers['X-CSRF-Token'] = app.session.csrf_token;
    }
    if (body !== undefined) init.body = JSON.stringify(body);
    let response;
    try {
      response = await fetch(path, init);
    } catch {
      throw new ApiError(0, 'The service cannot be reached.', null, null);
    }
    let data = null;
    if (response.status !== 204) {
      try {
        data = await response.json();
      } catch {
        data = null;
      }
    }
    if (!response.ok) {
      const message = (data && data.error) || `The service answered ${response.status}.`;
      throw new ApiError(response.status, message, data, response.headers.get('Retry-After'));
    }
    return data;
  }

  // The service unreachable or in trouble: worth trying again later, unlike a refusal.
  function isPassing(error) {
    return error.status === 0 || error.status >= 500;
  }

  // What went wrong, in the alert region; a lost session goes back to sign-in.
  function report(error) {
    if (!(error instanceof ApiError)) {
      showError(String(error));
      return;
    }
    if (error.status === 401 && app.session) {
      showSignIn(error.data, 'Your session has ended: please sign in again.');
      return;
    }
    const prefix = {
      403: 'Not allowed: ',
      409: 'Busy: ',
      503: 'The projector cannot be reached: ',
      504: 'The projector did not answer: ',
    }[error.status] || '';
    showError(prefix + error.message);
  }

  // One call from a control: errors shown, never thrown to the caller.
  function act(method, path, body) {
    return api(method, path, body).then(
      (data) => data,
      (error) => {
        report(error);
        return null;
      },
    );
  }

  function showError(message) {
    const box = $('errors');
    box.replaceChildren();
    const text = document.createElement('p');
    text.textContent = message;
    const dismiss = document.createElement('button');
    dismiss.type = 'button';
    dismiss.textContent = 'Dismiss';
    dismiss.addEventListener('click', () => box.replaceChildren());
    box.append(text, dismiss);
  }

  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  function button(text, label) {
    const made = element('button', 'control', text);
    made.type = 'button';
    if (label) made.setAttribute('aria-label', label);
    return made;
  }

  // ---- Session ----

  async function start() {
    wireForms();
    setInterval(updateAges, kAgeTickMs);
    document.addEventListener('visibilitychange', () => {
      if (document.hidden) stopHolds();
    });
    window.addEventListener('blur', stopHolds);
    try {
      signedIn(await api('GET', '/api/v1/session'));
    } catch (error) {
      if (error.status === 401) showSignIn(error.data);
      else {
        showError(error.message);
        if (isPassing(error)) scheduleReconnect();
      }
    }
  }

  function showSignIn(info, message) {
    app.session = null;
    closeEvents();
    stopHolds();
    clearPrivate();
    $('main').hidden = true;
    $('account').hidden = true;
    $('summary').hidden = true;
    $('sign-in').hidden = false;
    const warning = info && info.warning;
    $('sign-in-warning').hidden = !warning;
    $('sign-in-warning').textContent = warning || '';
    $('sign-in-message').textContent = message || '';
    $('sign-in-password').value = '';
    $('sign-in-name').focus();
  }

  // What one account saw is not left on the page for the next one.
  function clearPrivate() {
    app.journalIds.clear();
    $('alerts-open').replaceChildren();
    $('alerts-events').replaceChildren();
    app.lastJournalId = 0;
    app.state = null;
    $('journal-list').replaceChildren();
    $('token-list').replaceChildren();
    $('user-list').replaceChildren();
    $('token-new').hidden = true;
    $('token-value').value = '';
    $('token-copied').textContent = '';
    $('console-trace').textContent = '';
    $('errors').replaceChildren();
  }

  async function signedIn(session) {
    app.session = session;
    $('sign-in').hidden = true;
    $('sign-in-message').textContent = '';
    $('main').hidden = false;
    $('account').hidden = false;
    $('summary').hidden = false;
    $('account-name').textContent = `${session.name} (${session.role})`;
    // Without accounts there is nothing to sign out of.
    $('sign-out').hidden = !session.accounts;
    const watchOnly = session.role === 'viewer';
    document.body.classList.toggle('watch-only', watchOnly);
    $('viewer-note').hidden = !watchOnly;
    const tokens = session.accounts && session.name !== 'local';
    $('tokens').hidden = !tokens;
    const admin = session.role === 'admin';
    $('accounts').hidden = !admin;
    $('accounts-link').hidden = !admin;
    try {
      await loadOnce();
    } catch (error) {
      report(error);
    }
    applyRole();
    connectEvents();
    loadJournal();
    loadAlerts();
    if (tokens) loadTokens();
    if (admin) loadUsers();
    loadSchedule();
    loadBuilding();
    loadGroupRequests();
  }

  // The panel, the actions and the catalogue do not change while the service runs.
  async function loadOnce() {
    if (!app.actions) {
      const [actions, panel, catalogue] = await Promise.all([
        api('GET', '/api/v1/actions'),
        api('GET', '/api/v1/panel'),
        api('GET', '/api/v1/catalogue'),
      ]);
      app.actions = actions.actions;
      app.panel = panel;
      app.catalogue = catalogue.lists;
      buildLectern();
      buildPanel();
      fillConsole();
    }
  }

  function applyRole() {
    const watchOnly = !app.session || app.session.role === 'viewer';
    for (const control of document.querySelectorAll('[data-operator]')) control.disabled = watchOnly;
    if (watchOnly) stopHolds();
  }

  async function signIn(event) {
    event.preventDefault();
    const message = $('sign-in-message');
    if (Date.now() < app.pausedUntil) return;
    message.textContent = 'Signing in…';
    try {
      const session = await api('POST', '/api/v1/session', {
        name: $('sign-in-name').value,
        password: $('sign-in-password').value,
      });
      $('sign-in-password').value = '';
      await signedIn(session);
    } catch (error) {
      $('sign-in-password').value = '';
      if (error.status === 429) pauseSignIn(Number.parseInt(error.retryAfter, 10) || 30);
      else if (error.status === 401) message.textContent = 'Wrong name or password.';
      else message.textContent = error.message;
    }
  }

  // Counts the pause down locally, once a second.
  function pauseSignIn(seconds) {
    app.pausedUntil = Date.now() + seconds * 1000;
    clearInterval(app.pauseTimer);
    const show = () => {
      const left = Math.ceil((app.pausedUntil - Date.now()) / 1000);
      if (left <= 0) {
        clearInterval(app.pauseTimer);
        $('sign-in-message').textContent = 'You may try again now.';
        return;
      }
      $('sign-in-message').textContent = `Sign-in paused, try again in ${left} s.`;
    };
    show();
    app.pauseTimer = setInterval(show, kAgeTickMs);
  }

  async function signOut() {
    try {
      await api('DELETE', '/api/v1/session');
    } catch (error) {
      if (error.status !== 401) {
        report(error);
        return;
      }
    }
    showSignIn(null, 'Signed out.');
  }

  // ---- Live events ----

  function connectEvents() {
    closeEvents();
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(`${scheme}//${location.host}/api/v1/events`);
    app.socket = socket;
    socket.addEventListener('open', () => {
      const wasLost = app.reconnectStep > 0;
      app.reconnectStep = 0;
      $('connection-banner').hidden = true;
      $('connection-banner').textContent = '';
      if (wasLost) catchUp();
    });
    socket.addEventListener('message', (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;
      }
      handleEvent(message);
    });
    socket.addEventListener('close', () => {
      if (app.socket !== socket) return;
      app.socket = null;
      if (!app.session) return;
      const banner = $('connection-banner');
      banner.textContent = 'Connection to the service lost; reconnecting…';
      banner.hidden = false;
      $('line-state').textContent = 'Service not reached';
      $('line-state').className = 'line-state down';
      scheduleReconnect();
    });
  }

  function closeEvents() {
    clearTimeout(app.reconnectTimer);
    app.reconnectTimer = null;
    const socket = app.socket;
    app.socket = null;
    if (socket) socket.close();
  }

  // After 1 s, 2 s, 4 s ... 15 s: first asks whether the session still
  // holds, so an ended one goes back to sign-in instead of retrying for ever.
  function scheduleReconnect() {
    const delay = kReconnectDelaysMs[Math.min(app.reconnectStep, kReconnectDelaysMs.length - 1)];
    app.reconnectStep += 1;
    clearTimeout(app.reconnectTimer);
    app.reconnectTimer = setTimeout(async () => {
      app.reconnectTimer = null;
      let session;
      try {
        session = await api('GET', '/api/v1/session');
      } catch (error) {
        if (error.status === 401) showSignIn(error.data, 'Your session has ended: please sign in again.');
        else if (isPassing(error)) scheduleReconnect();
        else report(error);
        return;
      }
      if (!app.session) {
        signedIn(session);
        return;
      }
      app.session = session;
      connectEvents();
    }, delay);
  }

  // Once after a reconnect: what happened while the socket was down.
  async function catchUp() {
    try {
      showState(await api('GET', '/api/v1/state'));
    } catch (error) {
      report(error);
    }
    loadJournal(app.lastJournalId);
    loadAlerts();
    loadBuilding();
    loadGroupRequests();
  }

  function handleEvent(message) {
    switch (message.type) {
      case 'state':
        showState(message.state);
        break;
      case 'journal':
        addJournal([message.entry]);
        if (message.entry.who === 'schedule') loadSchedule();
        break;
      case 'schedule':
        loadSchedule();
        break;
      case 'power':
        showPowerProgress(message);
        break;
      case 'alert':
        alertCame();
        break;
      case 'building':
        loadBuilding();
        break;
      case 'group':
        showGroupRequest(message);
        break;
      case 'session_ended':
        showSignIn(null, 'Your session has ended: please sign in again.');
        break;
      default:
        break;
    }
  }

  // ---- State ----

  function showState(state) {
    if (!state) return;
    app.state = state;
    const now = Date.parse(state.now);
    if (!Number.isNaN(now)) app.clockOffsetMs = now - Date.now();
    $('projector-name').textContent = state.service || 'Projector';
    $('projector-description').textContent = state.description || '';
    document.title = `${state.service || 'Projector'}: ${state.power_words || 'Unknown'}`;
    const line = state.line || {};
    const lineState = $('line-state');
    if (line.open) {
      lineState.textContent = 'Projector reached';
      lineState.className = 'line-state up';
    } else {
      lineState.textContent = `Projector not reached${line.down_reason ? `: ${line.down_reason}` : ''}`;
      lineState.className = 'line-state down';
    }
    const power = $('power-words');
    if (power.textContent !== state.power_words) power.textContent = state.power_words || 'Unknown';
    power.className = kFaults.has(state.power) ? 'fault' : '';
    const managed = state.managed_power || {};
    const managedText = managed.running ? `Power ${managed.target}: ${managed.words || 'in progress'}` : '';
    if ($('managed-power').textContent !== managedText) $('managed-power').textContent = managedText;
    showSummary(state);
    showStatusReads(state.status || []);
    markCurrent(state.state || {});
    updateAges();
    // The page is ready once its first state is shown; the benchmark reads this mark.
    if (performance.getEntriesByName('kavo-state').length === 0) performance.mark('kavo-state');
  }

  function showPowerProgress(event) {
    let text;
    if (event.phase === 'done') {
      text = event.reached ? '' : `Power ${event.target} not reached: ${event.words || 'no reason given'}`;
    } else {
      text = `Power ${event.target}: ${event.words || event.phase}`;
    }
    $('managed-power').textContent = text;
  }

  function plain(field, value) {
    if (value === null || value === undefined) return 'not known';
    if (field === 'temperatures_c' && Array.isArray(value)) return value.map((t) => `${t} °C`).join(', ');
    if (field === 'input') return String(value).replace(/^input_/, '').replace('_', ' ');
    return String(value).replaceAll('_', ' ');
  }

  function ageCell(readAt) {
    const cell = element('span', 'age');
    cell.dataset.readAt = readAt || '';
    return cell;
  }

  function showSummary(state) {
    const list = $('status-summary');
    list.replaceChildren();
    const readings = state.state || {};
    const readAt = readings.read_at || {};
    const add = (term, value, when) => {
      list.append(element('dt', '', term));
      const detail = element('dd', '', value);
      if (when !== undefined) detail.append(' ', ageCell(when));
      list.append(detail);
    };
    add('Power', state.power_words || 'Unknown', readAt.power);
    for (const [field, term] of kStateFields) add(term, plain(field, readings[field]), readAt[field]);
    const errors = [];
    if (kFaults.has(state.power)) errors.push(state.power_words);
    if (state.line && !state.line.open) errors.push(`line down${state.line.down_reason ? `: ${state.line.down_reason}` : ''}`);
    add('Errors', errors.length ? errors.join('; ') : 'none');
    const clients = state.clients || [];
    add('Clients', clients.length ? clients.map((client) => client.who).join(', ') : 'none');
  }

  function showStatusReads(reads) {
    const rows = reads.map((read) => {
      const row = element('tr');
      row.append(element('th', '', read.name), element('td', '', read.text || 'not read'));
      const age = element('td');
      age.append(ageCell(read.read_at));
      row.append(age);
      row.firstChild.scope = 'row';
      return row;
    });
    $('status-reads').replaceChildren(...rows);
  }

  function ageWords(readAt) {
    if (!readAt) return 'never read';
    const then = Date.parse(readAt);
    if (Number.isNaN(then)) return 'never read';
    const seconds = Math.max(0, Math.round((Date.now() + app.clockOffsetMs - then) / 1000));
    if (seconds < 120) return `read ${seconds} s ago`;
    if (seconds < 7200) return `read ${Math.floor(seconds / 60)} min ago`;
    return `read ${Math.floor(seconds / 3600)} h ago`;
  }

  function updateAges() {
    for (const cell of document.querySelectorAll('.age')) cell.textContent = ageWords(cell.dataset.readAt);
  }

  // ---- The lectern's controls, from the service's actions ----

  // Each group: which actions it takes and the call that carries them out.
  const kLecternGroups = [
    {
      title: 'Power',
      pattern: /^power (on|off)$/,
      send: (word) => act('POST', '/api/v1/power', { state: word, wait: false }),
    },
    { title: 'Input', pattern: /^input (\S+)$/, send: (word) => act('POST', '/api/v1/input', { input: word }), current: 'input' },
    {
      title: 'Picture mute',
      pattern: /^mute picture (on|off)$/,
      send: (word) => act('POST', '/api/v1/mute', { what: 'picture', on: word === 'on' }),
    },
    {
      title: 'Audio mute',
      pattern: /^mute audio (on|off)$/,
      send: (word) => act('POST', '/api/v1/mute', { what: 'audio', on: word === 'on' }),
    },
    { title: 'Freeze', pattern: /^freeze (on|off)$/, byName: true },
    { title: 'Volume', pattern: /^volume (up|down)$/, hold: true },
    { title: 'Lamp mode', pattern: /^lamp[- ]mode (\S+)$/, byName: true, current: 'lamp_mode' },
  ];

  function capitalised(text) {
    return text.charAt(0).toUpperCase() + text.slice(1);
  }

  function buildLectern() {
    const holder = $('lectern-groups');
    holder.replaceChildren();
    for (const group of kLecternGroups) {
      const members = app.actions
        .map((action) => ({ action, match: group.pattern.exec(action.name) }))
        .filter((member) => member.match);
      if (!members.length) continue;
      const box = element('div', 'lectern-group');
      box.setAttribute('role', 'group');
      const heading = element('h3', '', group.title);
      heading.id = `lectern-${group.title.toLowerCase().replaceAll(' ', '-')}`;
      box.setAttribute('aria-labelledby', heading.id);
      const row = element('div', 'lectern-row');
      for (const { action, match } of members) {
        const word = match[1];
        const control = button(word === 'network' ? 'Network' : capitalised(word), capitalised(action.name.replace('-', ' ')));
        control.id = `action-${action.name.replaceAll(/[^a-z0-9]+/g, '-')}`;
        control.dataset.operator = '';
        control.dataset.action = action.name;
        if (group.current) {
          control.dataset.current = group.current;
          control.dataset.word = word;
          control.setAttribute('aria-pressed', 'false');
        }
        if (group.title === 'Power') control.classList.add(word === 'on' ? 'tint-green' : 'tint-red');
        if (group.hold) {
          control.append(element('span', 'arrow', ` ${kArrowGlyphs[word] || ''}`));
          control.lastChild.setAttribute('aria-hidden', 'true');
          makeHold(control, action.button);
        } else if (group.byName) {
          control.addEventListener('click', () => act('POST', '/api/v1/action', { name: action.name }));
        } else {
          control.addEventListener('click', () => group.send(word));
        }
        row.append(control);
      }
      box.append(heading, row);
      holder.append(box);
    }
  }

  // The input and lamp mode read back from the projector show as pressed.
  function markCurrent(readings) {
    for (const control of document.querySelectorAll('[data-current]')) {
      const value = readings[control.dataset.current];
      const word = control.dataset.word;
      const current =
        typeof value === 'string' &&
        (value === word || value === `input_${word}` || (word === 'network' && value === 'wired') || value === word.replace(/\d+$/, ''));
      control.setAttribute('aria-pressed', current ? 'true' : 'false');
    }
  }

  // ---- Held buttons ----

  // Sends at the press and every 100 ms while held, by pointer, touch or
  // Space/Enter, one POST /api/v1/button/N per repeat.
  function makeHold(control, number) {
    let timer = null;
    let inFlight = 0;
    const fire = () => {
      if (inFlight >= kHoldMaxInFlight || control.disabled) return;
      inFlight += 1;
      act('POST', `/api/v1/button/${number}`).finally(() => {
        inFlight -= 1;
      });
    };
    const begin = () => {
      if (timer !== null || control.disabled) return;
      control.classList.add('held');
      fire();
      timer = setInterval(fire, kHoldRepeatMs);
    };
    const stop = () => {
      if (timer === null) return;
      clearInterval(timer);
      timer = null;
      control.classList.remove('held');
    };
    const isPressKey = (event) => event.key === ' ' || event.key === 'Enter';
    control.classList.add('hold');
    control.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      event.preventDefault();
      begin();
    });
    for (const type of ['pointerup', 'pointercancel', 'pointerleave']) control.addEventListener(type, stop);
    control.addEventListener('keydown', (event) => {
      if (!isPressKey(event)) return;
      event.preventDefault();
      if (!event.repeat) begin();
    });
    control.addEventListener('keyup', (event) => {
      if (!isPressKey(event)) return;
      event.preventDefault();
      stop();
    });
    control.addEventListener('blur', stop);
    control.addEventListener('contextmenu', (event) => event.preventDefault());
    // A screen reader's activation comes as a click without a pointer: one press.
    control.addEventListener('click', (event) => {
      if (event.detail === 0 && timer === null) fire();
    });
    app.holdStoppers.push(stop);
  }

  function stopHolds() {
    for (const stop of app.holdStoppers) stop();
  }

  // ---- The full panel ----

  function position(entry) {
    const frame = entry.frame_rect || { left: 0, top: 0 };
    return { top: frame.top + entry.rect.top, left: frame.left + entry.rect.left };
  }

  function byPlace(a, b) {
    const first = position(a);
    const second = position(b);
    return first.top - second.top || first.left - second.left;
  }

  function buildPanel() {
    const groups = new Map();
    const sendable = app.panel.buttons.filter((entry) => entry.kind === 'click' || entry.kind === 'hold');
    for (const entry of [...sendable].sort(byPlace)) {
      const key = entry.frame ? `frame-${entry.frame}` : entry.group;
      if (!groups.has(key)) groups.set(key, { title: entry.group, entries: [] });
      groups.get(key).entries.push(entry);
    }
    const holder = $('panel-groups');
    holder.replaceChildren();
    let index = 0;
    for (const group of groups.values()) {
      index += 1;
      const box = element('div', 'panel-group');
      box.setAttribute('role', 'group');
      const heading = element('h3', '', group.title);
      heading.id = `panel-group-${index}`;
      box.setAttribute('aria-labelledby', heading.id);
      const row = element('div', 'panel-row');
      const pad = group.entries.some((entry) => entry.arrow === 'left');
      row.classList.toggle('pad', pad);
      for (const entry of group.entries) {
        const glyph = entry.arrow ? kArrowGlyphs[entry.arrow] : '';
        const control = button(glyph || entry.caption, entry.accessible_name);
        control.id = `button-${entry.number}`;
        control.classList.add(`tint-${entry.tint}`);
        if (entry.arrow) control.classList.add('arrow-button', `arrow-${entry.arrow}`);
        else if (pad) control.classList.add('pad-centre');
        control.dataset.operator = '';
        control.title = entry.command;
        if (entry.kind === 'hold') makeHold(control, entry.number);
        else control.addEventListener('click', () => act('POST', `/api/v1/button/${entry.number}`));
        row.append(control);
      }
      box.append(heading, row);
      holder.append(box);
    }
  }

  // ---- Command console ----

  function commandOf(entry) {
    const bracket = entry.indexOf('[');
    return (bracket < 0 ? entry : entry.slice(0, bracket)).trim();
  }

  function fillConsole() {
    const filter = $('console-filter').value.trim().toLowerCase();
    const list = $('console-list');
    const chosen = list.value;
    list.replaceChildren();
    let shown = 0;
    let total = 0;
    for (const { name, entries } of app.catalogue) {
      const group = element('optgroup');
      group.label = kListTitles[name] || name;
      for (const entry of entries) {
        total += 1;
        const words = entry.replaceAll(/\s+/g, ' ');
        if (filter && !words.toLowerCase().includes(filter)) continue;
        const option = element('option', '', words);
        option.value = entry;
        group.append(option);
        shown += 1;
      }
      if (group.childElementCount) list.append(group);
    }
    list.value = chosen;
    $('console-count').textContent = filter ? `${shown} of ${total} commands match.` : `${total} commands.`;
    pickCommand();
  }

  // The command the console would send, or null with the reason in the preview.
  function consoleCommand() {
    const entry = $('console-list').value;
    if (!entry) return { command: null, why: 'Choose a command from the list.' };
    const command = commandOf(entry);
    const holes = (command.match(/%/g) || []).length;
    if (!holes) return { command };
    const digits = $('console-digits').value.trim();
    if (!new RegExp(`^\\d{${holes}}$`).test(digits)) {
      return { command: null, why: `Enter ${holes} digit${holes > 1 ? 's' : ''} for ${command}.` };
    }
    let next = 0;
    return { command: command.replaceAll('%', () => digits[next++]) };
  }

  function pickCommand() {
    const entry = $('console-list').value;
    const holes = entry ? (commandOf(entry).match(/%/g) || []).length : 0;
    $('console-digits-row').hidden = holes === 0;
    $('console-digits-for').textContent = entry ? commandOf(entry) : '';
    $('console-digits').maxLength = Math.max(holes, 1);
    showConsolePreview();
  }

  function showConsolePreview() {
    const { command, why } = consoleCommand();
    $('console-preview').textContent = command ? `Sends: ${command}` : why;
  }

  async function sendConsole(event) {
    event.preventDefault();
    const { command, why } = consoleCommand();
    if (!command) {
      showError(why);
      if (!$('console-digits-row').hidden) $('console-digits').focus();
      return;
    }
    const trace = $('console-trace');
    trace.textContent = `Sending ${command}…`;
    const exchange = await act('POST', '/api/v1/command', { command });
    trace.textContent = exchange ? traceText(exchange) : '';
  }

  // The TxD and RxD lines as the desktop's trace shows them: kavoctl's
  // sent_trace and trace, or a trace object with sent and received.
  function traceText(exchange) {
    const trace = exchange.trace;
    const sent = (trace && trace.sent) || exchange.sent_trace || exchange.command;
    const received = typeof trace === 'string' ? trace : trace && trace.received;
    const lines = [`TxD: ${sent}`];
    if (received) lines.push(`RxD: ${received}`);
    if (exchange.decoded) lines.push(`Decoded: ${exchange.decoded}`);
    lines.push(`Outcome: ${exchange.outcome || (exchange.answered ? 'answered' : 'no answer')}`);
    return lines.join('\n');
  }

  // ---- Journal ----

  async function loadJournal(after) {
    const query = after ? `?after=${encodeURIComponent(after)}` : '';
    try {
      const { entries } = await api('GET', `/api/v1/journal${query}`);
      addJournal(entries);
    } catch (error) {
      report(error);
    }
  }

  function journalTime(iso) {
    const when = new Date(iso);
    return Number.isNaN(when.getTime()) ? iso : when.toLocaleTimeString();
  }

  function addJournal(entries) {
    const list = $('journal-list');
    const stuck = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    const filter = $('journal-filter').value.trim().toLowerCase();
    for (const entry of entries) {
      if (!entry || app.journalIds.has(entry.id)) continue;
      app.journalIds.add(entry.id);
      app.lastJournalId = Math.max(app.lastJournalId, entry.id);
      const item = element('li');
      item.dataset.id = entry.id;
      item.dataset.who = entry.who.toLowerCase();
      const time = element('time', 'when', journalTime(entry.time));
      time.dateTime = entry.time;
      item.append(time, ' ', element('span', 'who', entry.who), ' ', element('span', 'what', entry.what));
      item.hidden = Boolean(filter) && !item.dataset.who.includes(filter);
      // Lines fetched and lines from the socket may cross: kept in id order.
      let before = list.lastElementChild;
      while (before && Number(before.dataset.id) > entry.id) before = before.previousElementSibling;
      if (before) before.after(item);
      else list.prepend(item);
    }
    while (list.childElementCount > kJournalLimit) {
      app.journalIds.delete(Number(list.firstElementChild.dataset.id));
      list.firstElementChild.remove();
    }
    if (stuck) list.scrollTop = list.scrollHeight;
  }

  function filterJournal() {
    const filter = $('journal-filter').value.trim().toLowerCase();
    for (const item of $('journal-list').children) item.hidden = Boolean(filter) && !item.dataset.who.includes(filter);
  }

  // ---- API tokens ----

  async function loadTokens() {
    const data = await act('GET', '/api/v1/tokens');
    if (!data) return;
    const rows = data.tokens.map((token) => {
      const row = element('tr');
      const created = new Date(token.created);
      row.append(
        element('td', '', token.label),
        element('td', 'code', token.id),
        element('td', '', Number.isNaN(created.getTime()) ? token.created : created.toLocaleString()),
      );
      const revoke = button('Revoke', `Revoke token ${token.label}`);
      revoke.addEventListener('click', async () => {
        if (!window.confirm(`Revoke the token “${token.label}”? Scripts using it stop working.`)) return;
        await act('DELETE', `/api/v1/tokens/${encodeURIComponent(token.id)}`);
        loadTokens();
      });
      const cell = element('td');
      cell.append(revoke);
      row.append(cell);
      return row;
    });
    $('token-list').replaceChildren(...rows);
  }

  async function createToken(event) {
    event.preventDefault();
    const label = $('token-label').value.trim();
    if (!label) return;
    const made = await act('POST', '/api/v1/tokens', { label });
    if (!made) return;
    $('token-label').value = '';
    $('token-new').hidden = false;
    const value = $('token-value');
    value.value = made.token;
    $('token-copied').textContent = '';
    value.focus();
    value.select();
    loadTokens();
  }

  // The clipboard API needs a secure context (TLS or loopback); elsewhere
  // the token stays selected for the person to copy.
  async function copyToken() {
    const value = $('token-value');
    value.select();
    try {
      await navigator.clipboard.writeText(value.value);
      $('token-copied').textContent = 'Copied.';
    } catch {
      $('token-copied').textContent = 'Selected: copy it with Ctrl+C (or long-press on a phone).';
    }
  }

  // ---- Accounts ----

  async function loadUsers() {
    const data = await act('GET', '/api/v1/users');
    if (!data) return;
    const rows = data.users.map((user) => {
      const row = element('tr');
      row.append(element('td', '', user.name));
      const role = element('select');
      role.setAttribute('aria-label', `Role of ${user.name}`);
      for (const name of ['viewer', 'operator', 'admin']) {
        const option = element('option', '', name);
        option.value = name;
        role.append(option);
      }
      role.value = user.role;
      role.addEventListener('change', async () => {
        await act('PUT', `/api/v1/users/${encodeURIComponent(user.name)}`, { role: role.value });
        loadUsers();
      });
      const roleCell = element('td');
      roleCell.append(role);
      const remove = button('Remove', `Remove account ${user.name}`);
      remove.addEventListener('click', async () => {
        if (!window.confirm(`Remove the account “${user.name}”?`)) return;
        await act('DELETE', `/api/v1/users/${encodeURIComponent(user.name)}`);
        loadUsers();
      });
      const removeCell = element('td');
      removeCell.append(remove);
      row.append(roleCell, removeCell);
      return row;
    });
    $('user-list').replaceChildren(...rows);
  }

  async function addUser(event) {
    event.preventDefault();
    const name = $('user-name').value.trim();
    const added = await act('PUT', `/api/v1/users/${encodeURIComponent(name)}`, {
      role: $('user-role').value,
      password: $('user-password').value,
    });
    if (!added) return;
    $('user-name').value = '';
    $('user-password').value = '';
    loadUsers();
  }

  // ---- Wiring ----

  function wireForms() {
    $('sign-in-form').addEventListener('submit', signIn);
    $('sign-out').addEventListener('click', signOut);
    $('console-form').addEventListener('submit', sendConsole);
    $('console-filter').addEventListener('input', fillConsole);
    $('console-list').addEventListener('change', pickCommand);
    $('console-digits').addEventListener('input', showConsolePreview);
    $('console-send').dataset.operator = '';
    $('journal-filter').addEventListener('input', filterJournal);
    $('token-form').addEventListener('submit', createToken);
    $('token-copy').addEventListener('click', copyToken);
    $('user-form').addEventListener('submit', addUser);
  }

  // ---- Alerts: the open ones and the last events, read again on each new event ----

  async function loadAlerts() {
    try {
      showAlerts(await api('GET', '/api/v1/alerts'));
    } catch (error) {
      report(error);
    }
  }

  // Events are rare: the list as the service keeps it is simpler than a copy here.
  function alertCame() {
    loadAlerts();
  }

  function alertItem(event) {
    const item = element('li', `alert-${event.state}`);
    const time = element('time', 'when', journalTime(event.time));
    time.dateTime = event.time;
    item.append(time, ' ', element('strong', 'what', event.description), ' ',
      element('span', 'state', event.state), ': ', element('span', 'detail', event.detail));
    return item;
  }

  function showAlerts({ open, events }) {
    $('alerts-none').hidden = open.length > 0;
    $('alerts-open').replaceChildren(...open.map(alertItem));
    // Newest first: the last event matters most.
    $('alerts-events').replaceChildren(...events.slice().reverse().map(alertItem));
  }

  // ---- Schedule ----
  // Shown to everyone signed in with its next runs, in the service's time
  // zone; an admin edits, pauses and resumes it. Hidden when the service
  // runs without one.

  const kWeekdays = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
  let scheduleEdited = false; // unsaved changes in the text are not overwritten

  // "2026-12-09T22:00:00+01:00" as "Wed 2026-12-09 22:00", the service's wall time.
  function scheduleTime(iso) {
    const date = iso.slice(0, 10);
    const [year, month, day] = date.split('-').map(Number);
    return `${kWeekdays[new Date(Date.UTC(year, month - 1, day)).getUTCDay()]} ${date} ${iso.slice(11, 16)}`;
  }

  function showSchedule(data) {
    const admin = app.session && app.session.role === 'admin';
    $('schedule').hidden = false;
    $('schedule-link').hidden = false;
    $('schedule-state').textContent =
      `${data.paused ? 'Paused: nothing runs until it is resumed.' : 'Running.'} ` +
      `Times are ${data.zone} time; what the service or the line missed runs when they are back ` +
      `if at most ${data.catch_up_minutes} min late.` +
      (data.running ? ` Now: ${data.running}.` : '');
    const runs = data.next.map((run) => element('li', '', `${scheduleTime(run.time)}: ${run.action}`));
    if (runs.length === 0) runs.push(element('li', '', 'None.'));
    $('schedule-next').replaceChildren(...runs);
    // How the last runs ended, newest first: "power off at 22:00: standby at 22:00:41".
    const last = (data.last || []).slice().reverse()
      .map((run) => element('li', '', `${scheduleTime(run.time)}: ${run.outcome}`));
    if (last.length === 0) last.push(element('li', '', 'None yet.'));
    $('schedule-last').replaceChildren(...last);
    const text = $('schedule-text');
    if (!scheduleEdited) text.value = data.text;
    text.readOnly = !admin;
    $('schedule-admin').hidden = !admin;
    const pause = $('schedule-pause');
    pause.textContent = data.paused ? 'Resume' : 'Pause';
    pause.dataset.paused = data.paused ? 'yes' : '';
  }

  async function loadSchedule() {
    try {
      showSchedule(await api('GET', '/api/v1/schedule'));
    } catch (error) {
      if (error.status === 404) {
        $('schedule').hidden = true;
        $('schedule-link').hidden = true;
      } else report(error);
    }
  }

  async function saveSchedule(event) {
    event.preventDefault();
    const message = $('schedule-message');
    try {
      const data = await api('PUT', '/api/v1/schedule', { text: $('schedule-text').value });
      scheduleEdited = false;
      message.textContent = 'Saved; the old schedule is kept beside it.';
      showSchedule(data);
    } catch (error) {
      if (error.status === 400) message.textContent = `Not saved: ${error.message}`;
      else report(error);
    }
  }

  async function pauseOrResume() {
    const resume = $('schedule-pause').dataset.paused === 'yes';
    const data = await act('POST', `/api/v1/schedule/${resume ? 'resume' : 'pause'}`);
    if (data) showSchedule(data);
  }

  $('schedule-form').addEventListener('submit', saveSchedule);
  $('schedule-pause').addEventListener('click', pauseOrResume);
  $('schedule-text').addEventListener('input', () => {
    scheduleEdited = true;
    $('schedule-message').textContent = '';
  });

  // ---- Building ----
  // Every projector on the service's MQTT broker under the same base topic,
  // this one's included: shown only when the service is on a broker, fetched
  // again when the event stream says the building changed. Sorted by name or
  // state, filtered by group and by text; each name links to that
  // projector's own page when it announces one.

  const kPowerWords = {
    on: 'On', standby: 'Standby', warming_up: 'Warming up', cooling_down: 'Cooling down',
    power_fault: 'Power fault', temperature_fault: 'Temperature fault', lamp_failure: 'Lamp failure',
  };
  const building = {
    data: null, sort: 'name', ascending: true,
    shown: [], // the names in the table now, as filtered
    selected: new Set(), // the ticked names
    pending: null, // a power off of several, waiting to be confirmed
    request: null, // the group action shown under the table
  };

  function canOperate() {
    return Boolean(app.session) && app.session.role !== 'viewer';
  }

  function setText(id, text) {
    if ($(id).textContent !== text) $(id).textContent = text;
  }

  function hoursText(hours) {
    return Number(hours).toLocaleString();
  }

  // "1,980 h of 2,000", marked in words too once the alert threshold is reached.
  function lampHoursCell(row) {
    const threshold = typeof row.lamp_alert_hours === 'number' ? row.lamp_alert_hours : null;
    if (typeof row.lamp_hours !== 'number') return buildingCell('');
    if (threshold === null) return buildingCell(`${hoursText(row.lamp_hours)} h`);
    const due = row.lamp_hours >= threshold;
    return buildingCell(
      `${hoursText(row.lamp_hours)} h of ${hoursText(threshold)}${due ? ' (lamp due)' : ''}`,
      due ? 'fault' : '');
  }

  function pickCell(row) {
    const cell = element('td', 'pick');
    const label = element('label');
    const box = element('input');
    box.type = 'checkbox';
    box.id = `building-pick-${row.name}`;
    box.setAttribute('aria-label', `Select ${row.name}`);
    box.checked = building.selected.has(row.name);
    box.addEventListener('change', () => {
      if (box.checked) building.selected.add(row.name);
      else building.selected.delete(row.name);
      closeConfirm();
      showChosen();
    });
    label.append(box);
    cell.append(label);
    return cell;
  }

  function buildingPower(row) {
    return kPowerWords[row.power] || 'Unknown';
  }

  // Online first, then by the power's words.
  function buildingStateKey(row) {
    return `${row.availability === 'online' ? 0 : 1} ${buildingPower(row)}`;
  }

  function buildingCell(text, className) {
    return element('td', className || '', text);
  }

  function buildingRow(row, self) {
    const tr = element('tr');
    if (canOperate()) tr.append(pickCell(row));
    const name = element('th');
    name.scope = 'row';
    if (typeof row.url === 'string' && /^https?:\/\//i.test(row.url)) {
      const link = element('a', '', row.name);
      link.href = row.url;
      link.rel = 'noopener noreferrer';
      name.append(link);
    } else name.textContent = row.name;
    if (row.name === self) name.append(' (this one)');
    const availability = row.availability || 'not heard';
    const seen = element('time', '', journalTime(row.last_seen));
    seen.dateTime = row.last_seen;
    const alerts = (row.alerts || []).map((alert) => alert.description || alert.event).join('; ');
    tr.append(name,
      buildingCell(row.description),
      buildingCell(row.groups.join(', ')),
      buildingCell(availability, availability === 'online' ? '' : 'offline'),
      buildingCell(buildingPower(row), kFaults.has(row.power) ? 'fault' : ''),
      buildingCell(row.input || ''),
      lampHoursCell(row),
      buildingCell(alerts || 'None', alerts ? 'fault' : ''),
      element('td'));
    tr.lastChild.append(seen);
    return tr;
  }

  function showBuilding() {
    const data = building.data;
    const group = $('building-group');
    const groups = [...new Set(data.projectors.flatMap((row) => row.groups))].sort();
    const chosen = groups.includes(group.value) ? group.value : '';
    group.replaceChildren(element('option', '', 'All groups'),
      ...groups.map((name) => element('option', '', name)));
    group.firstChild.value = '';
    group.value = chosen;
    const text = $('building-search').value.trim().toLowerCase();
    const shown = data.projectors.filter((row) => (!chosen || row.groups.includes(chosen)) &&
      (!text || [row.name, row.description, ...row.groups, row.input || '', buildingPower(row),
        row.availability || ''].some((word) => word.toLowerCase().includes(text))));
    const key = building.sort === 'name' ? (row) => row.name : buildingStateKey;
    shown.sort((a, b) => {
      const order = key(a).localeCompare(key(b)) || a.name.localeCompare(b.name);
      return building.ascending ? order : -order;
    });
    for (const heading of document.querySelectorAll('.building-table th[data-sort]')) {
      if (heading.dataset.sort === building.sort)
        heading.setAttribute('aria-sort', building.ascending ? 'ascending' : 'descending');
      else heading.removeAttribute('aria-sort');
    }
    $('building-rows').replaceChildren(...shown.map((row) => buildingRow(row, data.self)));
    building.shown = shown.map((row) => row.name);
    $('building-pick-heading').hidden = !canOperate();
    $('building-actions').hidden = !canOperate();
    if (canOperate()) {
      fillGroupInputs();
      showChosen();
    }
    const online = data.projectors.filter((row) => row.availability === 'online').length;
    $('building-summary').textContent =
      `${data.projectors.length} projectors under ${data.base}/, ${online} online; ` +
      `${shown.length} shown.`;
  }

  async function loadBuilding() {
    try {
      building.data = await api('GET', '/api/v1/building');
      $('building').hidden = false;
      $('building-link').hidden = false;
      showBuilding();
    } catch (error) {
      if (error.status === 404) {
        $('building').hidden = true;
        $('building-link').hidden = true;
      } else report(error);
    }
  }

  for (const heading of document.querySelectorAll('.building-table th[data-sort]')) {
    heading.querySelector('button').addEventListener('click', () => {
      building.ascending = building.sort === heading.dataset.sort ? !building.ascending : true;
      building.sort = heading.dataset.sort;
      if (building.data) showBuilding();
    });
  }
  for (const [id, kind] of [['building-group', 'change'], ['building-search', 'input']])
    $(id).addEventListener(kind, () => { if (building.data) showBuilding(); });

  // ---- Group actions ----
  // An operator asks the ticked projectors, or else the group chosen in the
  // filter, through the service and its broker; a power off of more than one
  // waits for a second press. Each projector's answer comes as a group event
  // and is shown under the table, newest request only.

  function fillGroupInputs() {
    const select = $('building-input');
    if (select.options.length || !app.actions) return;
    for (const action of app.actions.filter((known) => known.name.startsWith('input '))) {
      const option = element('option', '', capitalised(action.name));
      option.value = action.name;
      select.append(option);
    }
  }

  // What a press asks: the ticked ones still in the building, else the group filter.
  function groupTarget() {
    const known = new Set(building.data.projectors.map((row) => row.name));
    const names = [...building.selected].filter((name) => known.has(name)).sort();
    if (names.length)
      return { body: { names }, count: names.length,
        words: names.length === 1 ? names[0] : `${names.length} projectors (${names.join(', ')})` };
    const group = $('building-group').value;
    if (!group) return null;
    const count = building.data.projectors.filter((row) => row.groups.includes(group)).length;
    return { body: { group }, count,
      words: `the group ${group} (${count} projector${count === 1 ? '' : 's'})` };
  }

  function showChosen() {
    const target = groupTarget();
    setText('building-chosen', target ? `Chosen: ${target.words}.`
      : 'Tick projectors, or choose a group above, to ask them.');
    for (const control of document.querySelectorAll(
      '#building-actions [data-group-action], #building-input-go')) control.disabled = !target;
  }

  function closeConfirm() {
    building.pending = null;
    $('building-confirm').hidden = true;
  }

  function askGroup(action) {
    const target = groupTarget();
    if (!target) return;
    const body = { action, ...target.body };
    if (action === 'power off' && target.count > 1) {
      building.pending = body;
      $('building-confirm-text').textContent = `Power off ${target.words}?`;
      $('building-confirm-yes').textContent = `Power off ${target.count}`;
      $('building-confirm').hidden = false;
      $('building-confirm-yes').focus();
      return;
    }
    closeConfirm();
    sendGroup(body);
  }

  async function sendGroup(body) {
    $('building-action-message').textContent = '';
    try {
      showGroupRequest(await api('POST', '/api/v1/building/action', body));
    } catch (error) {
      const later = error.retryAfter ? ` Try again in ${error.retryAfter} s.` : '';
      $('building-action-message').textContent = `${error.message}${later}`;
    }
  }

  // Silent so far, with time left to answer.
  function isWaiting(reply) {
    return reply.outcome === 'no answer' && reply.detail === 'waiting for an answer';
  }

  function replyText(reply) {
    if (isWaiting(reply)) return `${reply.name}: waiting for an answer`;
    return `${reply.name}: ${reply.outcome}${reply.detail ? ` (${reply.detail})` : ''}`;
  }

  // Each projector's line is changed in place, so that the live region reads
  // only what changed.
  function showGroupRequest(request) {
    if (building.request && request.id < building.request.id) return;
    const list = $('building-results-list');
    if (!building.request || building.request.id !== request.id) list.replaceChildren();
    building.request = request;
    $('building-results').hidden = false;
    const counts = new Map();
    for (const reply of request.replies) {
      const word = isWaiting(reply) ? 'waiting' : reply.outcome;
      counts.set(word, (counts.get(word) || 0) + 1);
    }
    const tally = [...counts].map(([outcome, count]) => `${count} ${outcome}`).join(', ');
    setText('building-results-summary',
      `${capitalised(request.action)}, asked by ${request.requester} at ` +
      `${journalTime(request.started)}: ${tally}${request.finished ? '; finished.' : '; still running.'}`);
    const items = new Map([...list.children].map((item) => [item.dataset.name, item]));
    for (const reply of request.replies) {
      let item = items.get(reply.name);
      if (!item) {
        item = element('li');
        item.dataset.name = reply.name;
        list.append(item);
      }
      const text = replyText(reply);
      item.className = isWaiting(reply) ? 'outcome-waiting'
        : `outcome-${reply.outcome.replace(' ', '-')}`;
      if (item.textContent !== text) item.textContent = text;
    }
  }

  // The newest request, for a page opened or reconnected while it runs.
  async function loadGroupRequests() {
    try {
      const { actions } = await api('GET', '/api/v1/building/actions');
      if (actions.length) showGroupRequest(actions[0]);
    } catch (error) {
      if (error.status !== 404) report(error);
    }
  }

  for (const control of document.querySelectorAll('[data-group-action]'))
    control.addEventListener('click', () => askGroup(control.dataset.groupAction));
  $('building-input-go').addEventListener('click', () => askGroup($('building-input').value));
  $('building-confirm-yes').addEventListener('click', () => {
    const body = building.pending;
    closeConfirm();
    $('building-power-off').focus();
    if (body) sendGroup(body);
  });
  $('building-confirm-no').addEventListener('click', () => {
    closeConfirm();
    $('building-power-off').focus();
  });
  $('building-group').addEventListener('change', closeConfirm);
  $('building-select-shown').addEventListener('click', () => {
    for (const name of building.shown) building.selected.add(name);
    closeConfirm();
    showBuilding();
  });
  $('building-select-none').addEventListener('click', () => {
    building.selected.clear();
    closeConfirm();
    showBuilding();
  });

  start();
})();
