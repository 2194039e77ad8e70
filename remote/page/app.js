'use strict';
// The live front: state pushed from the station over one WebSocket, commands back over it.
// PTT is held only while the button (or the space bar) is down and this page is visible; while
// held, a heartbeat goes out every 100 ms, and the station lets go when they stop.
(function () {
  const $ = (id) => document.getElementById(id);
  let ws = null, me = 0, listener = false, holding = false, hbTimer = 0, state = null;

  function send(o) { if (ws && ws.readyState === 1) ws.send(JSON.stringify(o)); }
  function status(t) { $('status').textContent = t || ''; }
  function lamp(id, on, colour) {
    const el = $(id);
    el.className = 'lamp' + (on ? ' on' : '') + (colour ? ' ' + colour : '');
  }

  function render(s) {
    state = s;
    $('channel').textContent = String(s.channel).padStart(2, '0');
    $('frequency').textContent = (s.frequency || '').trim() || '--.---';
    $('link').textContent = s.link;
    lamp('linklamp', s.linked, 'green');
    $('sbar').style.width = Math.max(0, Math.min(100, s.s)) + '%';
    $('sqmark').style.left = Math.max(0, Math.min(100, s.squelch)) + '%';
    lamp('txlamp', s.tx, 'red');
    lamp('sqlamp', s.squelchOpen, 'green');
    lamp('calllamp', s.callLamp !== 'off', s.callLamp === 'off' ? '' : s.callLamp);
    lamp('maillamp', s.mailbox || s.recording, s.recording ? 'red' : 'yellow');
    $('lm').textContent = s.lm || '----';
    $('la').textContent = s.la || '----';
    $('scanmode').textContent = (['Scan aus', 'Scan', 'Free'][s.scan] || '') + (s.auto ? ' Auto' : '');
    $('mode').textContent = s.first + '-' + s.last;
    if (document.activeElement !== $('squelch')) $('squelch').value = s.squelch;
    if (document.activeElement !== $('freelevel')) $('freelevel').value = s.freeLevel;
    $('armcall').checked = s.callArmed;
    $('armmailbox').checked = s.mailbox;
    const other = s.tx && s.holder !== me && (s.holder !== 0 || s.txBy !== '');
    $('held').classList.toggle('hidden', !other);
    $('held').textContent = other ? 'Kanal belegt: ' + (s.txBy || 'sendet') : '';
    const band = $('band');
    while (band.children.length > s.band.length) band.lastChild.remove();
    while (band.children.length < s.band.length) band.appendChild(document.createElement('div'));
    s.band.forEach((v, i) => {
      band.children[i].style.height = Math.max(1, v) + '%';
      band.children[i].className = s.first + i === s.channel ? 'cur' : '';
    });
  }

  function startHold() {
    if (holding || listener) return;
    holding = true;
    $('ptt').classList.add('holding');
    send({ c: 'ptt', v: true });
    hbTimer = setInterval(() => send({ c: 'hb' }), 100);
  }
  function stopHold() {
    if (!holding) return;
    holding = false;
    clearInterval(hbTimer);
    $('ptt').classList.remove('holding');
    send({ c: 'ptt', v: false });
  }

  function connect() {
    ws = new WebSocket('wss://' + location.host + '/ws');
    ws.onmessage = (ev) => {
      let m;
      try { m = JSON.parse(ev.data); } catch (e) { return; }
      if (m.t === 'state') render(m);
      else if (m.t === 'hello') {
        me = m.session; listener = m.role === 'listener';
        $('role').textContent = listener ? 'Nur Zuhören' : 'Bediener';
        $('ptt').disabled = listener;
        $('fingerprint').textContent = 'Zertifikat SHA-256: ' + m.fingerprint;
        status('');
      } else if (m.t === 'error') { status(m.text); if (holding) stopHold(); }
      else if (m.t === 'recordings') showRecordings(m.items);
      else if (m.t === 'log') showLog(m.lines);
    };
    ws.onclose = () => {
      stopHold();
      lamp('linklamp', false);
      $('link').textContent = 'Keine Verbindung zur Station';
      setTimeout(() => { fetch('/app.js', { method: 'GET', cache: 'no-store' })
        .then((r) => { if (r.status === 401) location.href = '/login'; else connect(); })
        .catch(() => setTimeout(connect, 2000)); }, 1000);
    };
  }

  let player = null;
  function showRecordings(items) {
    const ul = $('recordings');
    ul.textContent = '';
    if (!items.length) { ul.innerHTML = '<li>Keine Aufnahmen</li>'; return; }
    for (const r of items) {
      const li = document.createElement('li');
      const a = document.createElement('a');
      a.href = '/rec/' + encodeURIComponent(r.name);
      a.textContent = r.name + ' (' + r.when + ', ' + Math.round(r.bytes / 1024) + ' KB)';
      const b = document.createElement('button');
      b.className = 'key small'; b.textContent = 'Anhören';
      // Heard here, in the browser: the recording is private and never goes on the air.
      b.onclick = () => {
        if (player) player.pause();
        player = new Audio(a.href);
        player.play().catch(() => {});
      };
      li.append(a, b); ul.appendChild(li);
    }
  }
  function showLog(lines) {
    const ul = $('log');
    ul.textContent = '';
    for (const l of lines) { const li = document.createElement('li'); li.textContent = l; ul.appendChild(li); }
  }

  const click = (id, o) => $(id).addEventListener('click', () => send(o));
  click('up', { c: 'up' }); click('dn', { c: 'dn' });
  click('m15', { c: 'mode', v: 15 }); click('m40', { c: 'mode', v: 40 }); click('m80', { c: 'mode', v: 80 });
  click('scan', { c: 'scan' }); click('free', { c: 'free' }); click('auto', { c: 'auto' }); click('skip', { c: 'skip' });
  $('squelch').addEventListener('change', (e) => send({ c: 'squelch', v: +e.target.value }));
  $('freelevel').addEventListener('change', (e) => send({ c: 'freelevel', v: +e.target.value }));
  $('armcall').addEventListener('change', (e) => send({ c: 'armcall', v: e.target.checked }));
  $('armmailbox').addEventListener('change', (e) => send({ c: 'armmailbox', v: e.target.checked }));
  $('callsend').addEventListener('click', () => send({ c: 'call', v: $('calldigits').value.trim().toUpperCase() }));
  $('recpanel').addEventListener('toggle', (e) => { if (e.target.open) send({ c: 'recordings' }); });
  $('logpanel').addEventListener('toggle', (e) => { if (e.target.open) send({ c: 'log' }); });

  const ptt = $('ptt');
  ptt.addEventListener('pointerdown', (e) => { e.preventDefault(); ptt.setPointerCapture(e.pointerId); startHold(); });
  for (const ev of ['pointerup', 'pointercancel', 'lostpointercapture']) ptt.addEventListener(ev, stopHold);
  ptt.addEventListener('contextmenu', (e) => e.preventDefault());
  document.addEventListener('keydown', (e) => {
    if (e.code !== 'Space' || e.target.tagName === 'INPUT') return;
    e.preventDefault();
    if (!e.repeat) startHold();
  });
  document.addEventListener('keyup', (e) => { if (e.code === 'Space') { e.preventDefault(); stopHold(); } });
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) { stopHold(); send({ c: 'hidden' }); }
  });
  window.addEventListener('blur', stopHold);
  window.addEventListener('pagehide', stopHold);
  connect();
})();
