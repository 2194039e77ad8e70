#!/usr/bin/env python3
"""Audio latency of the browser front on loopback, in Debian's chromium (headless) against the
fake station, with the browser tests' harness:

  receive: a DTMF tone injected into the fake station's band -> the page's AudioWorklet putting
           out its onset (the player's "heard" report, performance clock);
  transmit: a tone's onset in the fake microphone (the capture worklet's frame, through the audio
           context's clock) -> the fake station holding the decoded voice ("VOICEON").

Both ends are read on the same host's epoch clock. The station's own output stage (its
cushion and the card's queue) is measured by bench_remote_voice. Prints median and 99th
percentile in milliseconds.

  KANALO_REMOTE_FAKE=build/remote/kanalo-remote-fake bench/remote_audio_latency.py [N]
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "remote"))
import browser_test as bt  # noqa: E402


def stats(name, v):
    v = sorted(v)
    if not v:
        print("%s: no samples" % name)
        return
    med = v[len(v) // 2]
    p99 = v[min(len(v) - 1, len(v) * 99 // 100)]
    print("%s: n=%d median %.1f ms, p99 %.1f ms, min %.1f, max %.1f"
          % (name, len(v), med, p99, v[0], v[-1]))


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    workdir = bt.tempfile.mkdtemp(prefix="kanalo-bench-")
    station = bt.Station(workdir)
    base = "https://127.0.0.1:%d" % station.port
    b = bt.Browser()
    # Epoch time of a monotonic reading: the station's lines are stamped with time.monotonic().
    to_epoch = time.time() - time.monotonic()
    try:
        b.login(base, bt.PASSWORD)
        bt.wait_for(lambda: b.js("return !!(window.kanaloRx && kanaloRx.ok && "
                                 "kanaloRx.frames > 20)"), 20, "receive audio")
        rx = []
        for _ in range(n):
            bt.wait_for(lambda: b.js("return kanaloRx.silentRun") > 10, 10, "a quiet line")
            b.js("kanaloRx.heardAt = 0")
            t0 = time.time()
            station.send("dtmf 5")
            bt.wait_for(lambda: b.js("return kanaloRx.heardAt > 0"), 5, "the tone heard")
            heard = b.js("return performance.timeOrigin + kanaloRx.heardAt")
            rx.append(heard - t0 * 1000)
        stats("band -> page worklet", rx)

        # Transmit: hold PTT for the whole fake microphone file (six tone onsets) a few times.
        tx = []
        rounds = max(1, n // len(bt.SPOKEN))
        for _ in range(rounds):
            b.js("kanaloTx.reopen(); kanaloTx.onsets = []")
            mark = station.mark()
            b.pointer("#ptt", True)
            station.wait_line("KEYED 1", mark)
            time.sleep(bt.MIC_SECONDS - bt.MIC_TAIL + 0.7)
            b.pointer("#ptt", False)
            station.wait_line("KEYED 0", mark)
            page = b.js("return kanaloTx.onsets")
            with station.lock:
                heard = [t + to_epoch for t, l in station.lines[mark:] if l == "VOICEON"]
            # Pair each station onset with the latest page onset before it.
            for h in heard:
                before = [p for p in page if p <= h * 1000]
                if before:
                    tx.append(h * 1000 - before[-1])
            time.sleep(0.3)
        stats("fake microphone -> station (decoded)", tx)
    finally:
        b.close()
        station.stop()


if __name__ == "__main__":
    if not bt.FAKE:
        sys.exit("KANALO_REMOTE_FAKE not set")
    main()
