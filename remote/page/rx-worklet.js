'use strict';
// The receive player: decoded 48 kHz mono arrives from the page in chunks; this plays it with a
// jitter buffer of about `target`. It starts (and starts again after running dry) only once
// `target` is buffered. The target adapts to the link and to how often this page gets the
// processor: it starts at TARGET, and a dry run that a larger target would have bridged adds GROW
// (up to TOP), since a gap in the sound cuts a DTMF tone in two and the listener hears its digit
// twice; a longer one (a stalled link) only costs lag if waited for. CALM without a dry run
// takes a GROW back. Lag never grows: above MAX it drops straight back to the target. The two
// clocks (the station's capture, this page's sound card) differ by up to a per cent or so: while
// the buffer, averaged over a few hundred milliseconds, sits more than SLACK above the target
// one sample in every STEP is skipped, and while it sits more than SLACK below, one in every
// STEP is played twice (1.6 % either way, inaudible), so it neither creeps up nor runs dry.
const TARGET = 2880, GROW = 960, TOP = 7680, MAX = 12000, SLACK = 480, SIZE = 48000, STEP = 64;
const CALM = 120 * 48000 / 128;  // render quanta: two minutes

class RxPlayer extends AudioWorkletProcessor {
  constructor() {
    super();
    this.buf = new Float32Array(SIZE);
    this.head = 0;   // next sample to play
    this.count = 0;  // samples buffered
    this.playing = false;
    this.gain = 1;
    this.record = false;
    this.stats = { underruns: 0, dropped: 0, stretched: 0 };
    this.target = TARGET;
    this.calm = 0;
    this.clock = 0;     // samples put out
    this.dryFrom = -1;  // the clock when it ran dry, until sound comes again
    this.avg = TARGET;
    this.phase = 0;
    this.tick = 0;
    this.heard = false;
    this.port.onmessage = (e) => {
      const m = e.data;
      if (m.samples) this.push(m.samples);
      if ('gain' in m) this.gain = m.gain;
      if ('record' in m) this.record = m.record;
    };
  }

  push(s) {
    if (this.dryFrom >= 0) {
      if (this.target + this.clock - this.dryFrom <= TOP) this.target += GROW;
      this.dryFrom = -1;
    }
    let from = 0;
    // More than the buffer holds: only the newest counts.
    if (s.length > SIZE) from = s.length - SIZE;
    for (let i = from; i < s.length; i++) {
      this.buf[(this.head + this.count) % SIZE] = s[i];
      if (this.count < SIZE) this.count++;
      else this.head = (this.head + 1) % SIZE;
    }
  }

  drop(n) {
    n = Math.min(n, this.count);
    this.head = (this.head + n) % SIZE;
    this.count -= n;
    this.stats.dropped += n;
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (++this.calm >= CALM) {
      this.calm = 0;
      this.target = Math.max(TARGET, this.target - GROW);
    }
    if (this.count > MAX) {
      this.drop(this.count - this.target);
      this.avg = this.target;
    }
    if (!this.playing && this.count >= this.target) { this.playing = true; this.avg = this.count; }
    this.avg += (this.count - this.avg) / 64;
    const skip = this.avg > this.target + SLACK, stretch = this.avg < this.target - SLACK;
    for (let i = 0; i < out.length; i++) {
      if (this.playing && this.count > 0) {
        out[i] = this.buf[this.head] * this.gain;
        const turn = ++this.phase % STEP === 0;
        if (turn && stretch) { this.stats.stretched++; continue; }
        this.head = (this.head + 1) % SIZE;
        this.count--;
        if (turn && skip && this.count > 0) this.drop(1);
      } else {
        out[i] = 0;
        if (this.playing) {
          this.playing = false;
          this.stats.underruns++;
          this.dryFrom = this.clock + i;
          this.calm = 0;
        }
      }
    }
    this.clock += out.length;
    for (let c = 1; c < outputs[0].length; c++) outputs[0][c].set(out);
    // The onset of sound after silence goes to the page at once (it shows when sound starts).
    let loud = false;
    for (let i = 0; i < out.length && !loud; i++) loud = Math.abs(out[i]) > 0.01;
    const heardNow = loud && !this.heard;
    this.heard = loud;
    if (this.record) this.port.postMessage({ rec: out.slice() });
    if (heardNow || ++this.tick % 38 === 0) {  // about ten times a second
      this.port.postMessage({ heard: heardNow, buffered: this.count, playing: this.playing,
                              underruns: this.stats.underruns, dropped: this.stats.dropped,
                              target: this.target });
    }
    return true;
  }
}

registerProcessor('kanalo-rx', RxPlayer);
