'use strict';
// The live front: state pushed from the station over one WebSocket, commands back over it.
// PTT is held only while the button (or the space bar) is down and this page is visible; while
// held, a heartbeat goes out every 100 ms, and the station lets go when they stop. The page's
// microphone goes out with it (see tx below).
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
    $('callsign').classList.toggle('hidden', !s.calling);
    $('callsend').disabled = !!s.calling;
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

  // A release goes out once the voice before it has: the last frames, then "let go", in order on
  // the one socket. A press in between withdraws it.
  let holdGen = 0;
  function startHold() {
    if (holding || listener) return;
    holding = true;
    ++holdGen;
    $('ptt').classList.add('holding');
    send({ c: 'ptt', v: true });
    clearInterval(hbTimer);
    hbTimer = setInterval(() => send({ c: 'hb' }), 100);
    tx.start();
  }
  function stopHold() {
    if (!holding) return;
    holding = false;
    const gen = ++holdGen;
    $('ptt').classList.remove('holding');
    tx.stop().then(() => {
      if (gen !== holdGen) return;
      clearInterval(hbTimer);
      send({ c: 'ptt', v: false });
    });
  }

  // Receive audio: binary frames (see the station's Audio.h for the header), decoded with
  // WebCodecs and played by the jitter buffer in rx-worklet.js. A browser without WebCodecs'
  // Opus decoder gets the WebAssembly one the station serves with the page (/opus-decoder.min.js,
  // from npm, built into the station; nothing is fetched from elsewhere). Without AudioWorklet
  // the page says so and stays silent.
  const rx = (function () {
    const r = { frames: 0, lost: 0, underruns: 0, buffered: 0, openAt: 0, heardAt: 0,
                recorded: [], ok: false, dropped: 0, silentRun: 0 };
    let ctx = null, node = null, dec = null, next = -1, signUntil = 0, signText = '';
    let muted = localStorage.getItem('rxmute') === '1';
    const vol = $('rxvol'), mute = $('rxmute'), sign = $('rxsign');
    vol.value = localStorage.getItem('rxvol') || '100';

    function show(text) {
      if (text) { signText = text; signUntil = performance.now() + 2000; }
      const on = signText && performance.now() < signUntil;
      sign.textContent = on ? signText : '';
      sign.classList.toggle('hidden', !on);
    }
    function gain() {
      mute.textContent = muted ? 'Ton ein' : 'Stumm';
      mute.classList.toggle('holding', muted);
      if (node) node.port.postMessage({ gain: muted ? 0 : Math.pow(+vol.value / 100, 2) });
    }
    function none() {
      signText = 'Kein Empfangston in diesem Browser'; signUntil = Infinity; show();
      vol.disabled = mute.disabled = true;
    }
    // The WebAssembly decoder behind the same face as WebCodecs' (decode, state), synchronous.
    let Wasm = null;
    function loadWasm() {
      return new Promise((resolve, reject) => {
        const el = document.createElement('script');
        el.src = '/opus-decoder.min.js';
        el.onload = () => resolve(globalThis['opus-decoder'].OpusDecoder);
        el.onerror = () => reject(new Error('no decoder'));
        document.head.appendChild(el);
      });
    }
    function wasmDecoder() {
      const w = new Wasm({ channels: 1, streamCount: 1, coupledStreamCount: 0,
                           channelMappingTable: [0] });
      const d = { state: 'configured', kind: 'wasm', ready: w.ready };
      d.decode = (bytes) => {
        try {
          const out = w.decodeFrame(bytes);
          if (out.samplesDecoded) node.port.postMessage({ samples: out.channelData[0] });
        } catch (e) { show('Empfangston gestört'); }
      };
      return d;
    }
    function decoder() {
      if (Wasm) return wasmDecoder();
      const d = new AudioDecoder({
        output: (data) => {
          const a = new Float32Array(data.numberOfFrames);
          data.copyTo(a, { planeIndex: 0, format: 'f32-planar' });
          data.close();
          node.port.postMessage({ samples: a }, [a.buffer]);
        },
        error: () => { show('Empfangston gestört'); },
      });
      d.configure({ codec: 'opus', sampleRate: 48000, numberOfChannels: 1 });
      return d;
    }
    async function start() {
      if (typeof AudioWorkletNode === 'undefined') return none();
      try {
        const c = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1 };
        // localStorage "rxdecoder" = "wasm" takes the bundled decoder anyway (for trying it).
        const native = typeof AudioDecoder !== 'undefined' &&
                       localStorage.getItem('rxdecoder') !== 'wasm' &&
                       (await AudioDecoder.isConfigSupported(c)).supported;
        if (!native) Wasm = await loadWasm();
        r.decoder = native ? 'webcodecs' : 'wasm';
        ctx = new AudioContext({ sampleRate: 48000, latencyHint: 'interactive' });
        await ctx.audioWorklet.addModule('/rx-worklet.js');
        node = new AudioWorkletNode(ctx, 'kanalo-rx', { numberOfInputs: 0, outputChannelCount: [1] });
        node.connect(ctx.destination);
        node.port.onmessage = (e) => {
          const m = e.data;
          if (m.rec) { r.recorded.push(m.rec); return; }
          if (m.heard && !r.heardAt) r.heardAt = performance.now();
          if (m.underruns > r.underruns && r.frames) show('Empfangston verspätet');
          r.underruns = m.underruns; r.buffered = m.buffered; r.dropped = m.dropped;
          r.target = m.target;
          show();
        };
        dec = decoder();
        if (dec.ready) await dec.ready;
        r.ok = true;
        gain();
        if (ctx.state !== 'running') {
          signText = 'Zum Hören auf die Seite tippen'; signUntil = Infinity; show();
          const resume = () => ctx.resume().then(() => { signUntil = 0; show(); });
          document.addEventListener('pointerdown', resume, { once: true });
          document.addEventListener('keydown', resume, { once: true });
        }
      } catch (e) { none(); }
    }
    r.frame = (buf) => {
      if (!dec || buf.byteLength <= 16) return;
      const v = new DataView(buf);
      if (v.getUint8(0) !== 0x4b || v.getUint8(1) !== 0x41 || v.getUint8(2) !== 1) return;
      const n = v.getUint32(4, true);
      const gap = next < 0 ? 0 : (n - next) >>> 0;
      if (gap > 0 && gap < 3000) { r.lost += gap; show('Empfangston lückenhaft'); }
      next = (n + 1) >>> 0;
      r.frames++;
      r.silentRun = (v.getUint8(3) & 1) ? r.silentRun + 1 : 0;  // frames with the squelch shut
      if (dec.state === 'closed') dec = decoder();
      if (dec.kind === 'wasm') { dec.decode(new Uint8Array(buf, 16)); return; }
      dec.decode(new EncodedAudioChunk({ type: 'key', timestamp: n * 20000,
                                         data: new Uint8Array(buf, 16) }));
    };
    r.context = () => ctx;
    r.stats = () => ({ frames: r.frames, lost: r.lost, underruns: r.underruns, dropped: r.dropped,
                       buffered: r.buffered, target: r.target });
    r.opened = () => { next = -1; if (!r.openAt) r.openAt = performance.now(); };
    // For the tests: what the player put out, as 16-bit little-endian samples in base64.
    r.record = (on) => { r.recorded = []; if (node) node.port.postMessage({ record: on }); };
    r.take = () => {
      let n = 0; for (const b of r.recorded) n += b.length;
      const pcm = new Int16Array(n); let at = 0;
      for (const b of r.recorded) for (const x of b) pcm[at++] = Math.max(-32768, Math.min(32767, Math.round(x * 32767)));
      r.recorded = [];
      let s = ''; const u8 = new Uint8Array(pcm.buffer);
      for (let i = 0; i < u8.length; i += 8192) s += String.fromCharCode.apply(null, u8.subarray(i, i + 8192));
      return btoa(s);
    };
    vol.addEventListener('input', () => { localStorage.setItem('rxvol', vol.value); gain(); });
    mute.addEventListener('click', () => { muted = !muted; localStorage.setItem('rxmute', muted ? '1' : '0'); gain(); });
    setInterval(show, 500);
    start();
    return r;
  })();
  window.kanaloRx = rx;

  // Transmit audio: while PTT holds, the microphone (asked for at the first press) is encoded
  // with WebCodecs (Opus, 48 kHz mono, 20 ms, 24 kbit/s) and sent as binary frames with the
  // receive frames' header, numbered from 0 at each press. The microphone stays open for a
  // minute after the last release, so that the next press does not lose its first syllable to
  // the device starting. A socket that cannot keep up loses frames rather than falling behind.
  const tx = (function () {
    const t = { frames: 0, sent: 0, dropped: 0, ok: false, peak: 0, error: '', onsets: [] };
    let ctx = null, stream = null, src = null, node = null, enc = null, opening = null;
    let on = false, sending = false, num = 0, closeTimer = 0, signUntil = 0, signText = '';
    const meter = $('txlevel'), bar = $('txbar'), sign = $('txsign');

    function show(text) {
      if (text) { signText = text; signUntil = performance.now() + 2000; }
      const vis = signText && performance.now() < signUntil;
      sign.textContent = vis ? signText : '';
      sign.classList.toggle('hidden', !vis);
    }
    function packet(chunk) {
      if (!sending || !ws || ws.readyState !== 1) return;
      // About a second queued on the socket (some 50 frames): the link has stalled, and newer
      // voice is worth more than older.
      if (ws.bufferedAmount > 4096) { t.dropped++; show('Sendeton lückenhaft'); return; }
      const b = new Uint8Array(16 + chunk.byteLength);
      chunk.copyTo(b.subarray(16));
      const v = new DataView(b.buffer);
      b[0] = 0x4b; b[1] = 0x41; b[2] = 1; b[3] = 0;
      v.setUint32(4, num, true);
      num = (num + 1) >>> 0;
      v.setBigInt64(8, BigInt(Math.round(chunk.timestamp)), true);
      ws.send(b.buffer);
      t.sent++;
    }
    async function encoder() {
      const base = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1, bitrate: 24000 };
      const tuned = Object.assign({ opus: { frameDuration: 20000, useinbandfec: true,
                                            packetlossperc: 10 } }, base);
      const e = new AudioEncoder({ output: packet, error: () => show('Sendeton gestört') });
      e.configure((await AudioEncoder.isConfigSupported(tuned)).supported ? tuned : base);
      return e;
    }
    async function open() {
      if (typeof AudioEncoder === 'undefined' || typeof AudioWorkletNode === 'undefined' ||
          !navigator.mediaDevices) throw new Error('Kein Sendeton in diesem Browser');
      ctx = rx.context() || new AudioContext({ sampleRate: 48000, latencyHint: 'interactive' });
      if (ctx.state !== 'running') await ctx.resume();
      stream = await navigator.mediaDevices.getUserMedia({ audio: {
        channelCount: 1, echoCancellation: false, noiseSuppression: false, autoGainControl: false } });
      await ctx.audioWorklet.addModule('/tx-worklet.js');
      src = ctx.createMediaStreamSource(stream);
      node = new AudioWorkletNode(ctx, 'kanalo-tx', { numberOfInputs: 1, numberOfOutputs: 1 });
      // Pulled by the graph through the output, which stays silent.
      src.connect(node).connect(ctx.destination);
      node.port.onmessage = (e) => frame(e.data);
      if (!enc || enc.state === 'closed') enc = await encoder();
      t.ok = true;
    }
    function frame(m) {
      t.frames++;
      if (m.onset >= 0 && t.onsets.length < 1000) {
        // The onset on the epoch's clock (ms): the frame is here now, the onset sample was
        // captured the rest of the frame earlier (at the latest).
        const rest = (m.frame.length - m.onset) / ctx.sampleRate * 1000;
        t.onsets.push(performance.timeOrigin + performance.now() - rest);
      }
      t.peak = Math.max(t.peak * 0.8, m.peak);
      bar.style.width = Math.min(100, Math.round(100 * Math.sqrt(t.peak))) + '%';
      bar.classList.toggle('clip', m.peak > 0.98);
      if (!enc || enc.state !== 'configured' || !sending) return;
      const data = new AudioData({ format: 'f32-planar', sampleRate: ctx.sampleRate,
                                   numberOfFrames: m.frame.length, numberOfChannels: 1,
                                   timestamp: Math.round(m.at * 1e6), data: m.frame });
      enc.encode(data);
      data.close();
    }
    function close() {
      if (on) return;
      if (stream) for (const track of stream.getTracks()) track.stop();
      if (src) src.disconnect();
      if (node) node.disconnect();
      stream = src = node = null;
      t.ok = false;
    }
    t.start = () => {
      on = sending = true;
      num = 0;
      clearTimeout(closeTimer);
      meter.classList.remove('hidden');
      if (!opening) opening = open().catch((x) => { opening = null; show(x.message || 'Kein Mikrofon'); });
      opening.then(() => { if (node && on) node.port.postMessage({ on: true }); });
    };
    // Resolves once the last frame is out (or after 150 ms, whatever holds it up).
    t.stop = () => {
      on = false;
      meter.classList.add('hidden');
      closeTimer = setTimeout(() => { if (!on) { opening = null; close(); } }, 60000);
      if (!node || !enc) { sending = false; return Promise.resolve(); }
      node.port.postMessage({ flush: true, on: false });
      const flushed = new Promise((done) => {
        setTimeout(() => enc.flush().then(done, done), 30);
      });
      const bound = new Promise((done) => setTimeout(done, 150));
      return Promise.race([flushed, bound]).then(() => { if (!on) sending = false; });
    };
    // Closes the microphone now (the next press opens it again).
    t.reopen = () => { clearTimeout(closeTimer); opening = null; close(); };
    setInterval(show, 500);
    return t;
  })();
  window.kanaloTx = tx;

  function connect() {
    ws = new WebSocket('wss://' + location.host + '/ws');
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => rx.opened();
    ws.onmessage = (ev) => {
      if (typeof ev.data !== 'string') { rx.frame(ev.data); return; }
      let m;
      try { m = JSON.parse(ev.data); } catch (e) { return; }
      if (m.t === 'state') render(m);
      else if (m.t === 'hello') {
        me = m.session; listener = m.role === 'listener';
        $('role').textContent = listener ? 'Nur Zuhören' : 'Bediener';
        $('ptt').disabled = listener;
        for (const id of ['com1', 'com2', 'unlink']) $(id).disabled = listener;
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
  click('com1', { c: 'connect', v: 'COM1' }); click('com2', { c: 'connect', v: 'COM2' });
  click('unlink', { c: 'disconnect' });
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
