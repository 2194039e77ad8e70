'use strict';
// The microphone side of PTT: while on, gathers the input into 20 ms frames (960 samples at
// 48 kHz) and hands each to the page with its peak level and the audio clock's time of its first
// sample; the page encodes and sends them. "flush" hands on a last partial frame, padded with
// silence, so the end of the last word goes out too.
const FRAME = 960;

class TxTap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.buf = new Float32Array(FRAME);
    this.n = 0;
    this.on = false;
    this.quiet = true;
    this.port.onmessage = (e) => {
      const m = e.data;
      if (m.flush && this.n > 0) { this.buf.fill(0, this.n); this.emit(); }
      if ('on' in m) { this.on = m.on; this.n = 0; }
    };
  }

  emit() {
    const f = this.buf;
    let peak = 0, onset = -1;
    for (let i = 0; i < FRAME; i++) {
      const a = Math.abs(f[i]);
      if (a > 0.05 && onset < 0 && this.quiet) onset = i;
      peak = Math.max(peak, a);
    }
    this.quiet = peak <= 0.05;
    const at = currentTime - this.n / sampleRate;
    // `onset`: where sound starts after a quiet frame (for measuring the way to the station).
    this.port.postMessage({ frame: f, peak, at, onset }, [f.buffer]);
    this.buf = new Float32Array(FRAME);
    this.n = 0;
  }

  process(inputs) {
    const input = inputs[0] && inputs[0][0];
    if (!this.on || !input) return true;
    for (let i = 0; i < input.length; i++) {
      this.buf[this.n++] = input[i];
      if (this.n === FRAME) this.emit();
    }
    return true;
  }
}

registerProcessor('kanalo-tx', TxTap);
