'use strict';
// The page's receive player (remote/page/rx-worklet.js) in node, on simulated time: ten minutes
// of 20 ms frames that reach the page with seeded network jitter, while the page's audio clock
// runs 1 % fast and then 1 % slow against the station's, and once more with the same clocks but
// the way stalling for 300 ms now and then, and once with the page's own thread late by up to
// 120 ms every two seconds or so. Every sample carries its frame's number, so the lag is read off
// what the player puts out: it must stay under 250 ms (after the first second), the sound must
// keep its order (never an old frame after a newer one), without stalls or hiccups it must never
// run dry, and hiccups must teach its jitter buffer to bridge them.
//   node jitter_test.js PATH/rx-worklet.js
const fs = require('fs');
const vm = require('vm');

function load(path) {
  let Processor = null;
  const sandbox = {
    AudioWorkletProcessor: class { constructor() { this.port = { postMessage() {}, onmessage: null }; } },
    registerProcessor: (name, cls) => { Processor = cls; },
    Float32Array, Math,
  };
  vm.runInNewContext(fs.readFileSync(path, 'utf8'), sandbox, { filename: path });
  return Processor;
}

// A small seeded generator (mulberry32): the same run every time.
function rng(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function run(Processor, pageRate, seed, stalls, hiccups) {
  const p = new Processor();
  const random = rng(seed);
  const FRAME = 960, QUANTUM = 128, SECONDS = 600;
  const framePeriod = 0.02;                    // station seconds
  const quantum = QUANTUM / 48000 / pageRate;  // station seconds per page quantum
  // Arrival times: a base delay and up to 60 ms of jitter, in order (one TCP stream); now and
  // then (1 in 500) a stall of 300 ms that then delivers everything at once.
  const arrivals = [];
  let last = 0;
  for (let n = 0; n * framePeriod < SECONDS; n++) {
    let at = (n + 1) * framePeriod + 0.005 + 0.06 * random();
    if (stalls && random() < 0.002) at += 0.3;
    // A page whose own thread is late now and then (a busy machine): 40 to 120 ms.
    if (hiccups && random() < 0.01) at += 0.04 + 0.08 * random();
    last = Math.max(last, at);
    arrivals.push(last);
  }
  let next = 0, worst = 0, lastFrame = -1, disorder = 0, played = 0;
  const out = new Float32Array(QUANTUM);
  for (let t = 0; t < SECONDS; t += quantum) {
    while (next < arrivals.length && arrivals[next] <= t) {
      p.port.onmessage({ data: { samples: new Float32Array(FRAME).fill(next + 1) } });
      next++;
    }
    p.process([], [[out]]);
    for (let i = 0; i < QUANTUM; i++) {
      if (out[i] === 0) continue;
      const frame = out[i] - 1;
      if (frame < lastFrame) disorder++;
      lastFrame = frame;
      played++;
      // The frame's capture ended at (frame + 1) * 20 ms; a sample is at most that old plus 20.
      const lag = t - (frame + 1) * framePeriod;
      if (t > 1) worst = Math.max(worst, lag);
    }
  }
  return { worst, disorder, played, underruns: p.stats.underruns, dropped: p.stats.dropped };
}

const Processor = load(process.argv[2]);
let failed = 0;
const cases = [[1.01, 1, false, false], [0.99, 2, false, false], [1.0, 3, false, false],
               [1.0, 4, true, false], [1.0, 5, false, true]];
for (const [rate, seed, stalls, hiccups] of cases) {
  const r = run(Processor, rate, seed, stalls, hiccups);
  const line = `page clock x${rate}: worst lag ${(r.worst * 1000).toFixed(1)} ms, ` +
               `${r.underruns} underruns, ${r.dropped} samples dropped, ${r.disorder} out of order`;
  // Without stalls on the way the clocks' difference never lets it run dry either; hiccups do,
  // until the jitter buffer has grown to bridge them, then seldom (after it shrinks again).
  const ok = r.worst < 0.25 && r.disorder === 0 && r.played > 48000 * 500 &&
             (stalls || r.underruns <= (hiccups ? 12 : 0));
  console.log((ok ? 'ok   ' : 'FAIL ') + line);
  if (!ok) failed++;
}
process.exit(failed ? 1 : 0);
