#!/usr/bin/env bash
# Decoding speed of the precise DTMF detector against multimon-ng, measured side by side in one
# run: audio-seconds decoded per CPU-second (user + system time of the decoding process alone)
# at each input rate, in alternating rounds, and whether both give the same digits.
#
#   scripts/dtmf-speed.sh [KANALO_DTMF] [MINUTES] [RUNS] [RATES]
#
# The audio: the sixteen keys over and over (100 ms tone, 100 ms pause, -20 dBFS per tone) in
# white noise 20 dB below a tone pair, 16-bit mono, MINUTES long (default 20), made at 44100 Hz
# and converted by sox to each of RATES (default "8000 11025 16000 22050 44100 48000"). The
# precise detector reads each rate as it is (--raw --rate); multimon-ng, which takes 22050 Hz
# only, reads the same audio at 22050 Hz in every round (what converting to that rate would cost
# it is not counted). Needs sox, multimon-ng and GNU time (/usr/bin/time). Prints per rate the
# CPU seconds of each (median over RUNS rounds, default 5) and the throughput ratio precise /
# multimon-ng of each round as min / median / max (GNU time counts in 10 ms steps: a run
# shorter than that counts as 10 ms).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-}
if [[ -z "$tool" ]]; then
  for t in "$root/build/tools/kanalo-dtmf" "$(command -v kanalo-dtmf || true)"; do
    if [[ -n "$t" && -x "$t" ]]; then tool=$t; break; fi
  done
fi
minutes=${2:-20}
runs=${3:-5}
rates=${4:-8000 11025 16000 22050 44100 48000}
[[ -n "$tool" && -x "$tool" ]] || { echo "dtmf-speed: kanalo-dtmf not found; build it or name it" >&2; exit 2; }
for p in sox multimon-ng /usr/bin/time; do
  command -v "$p" >/dev/null || { echo "dtmf-speed: $p is not installed" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dtmf-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT
sx() { sox -R -V1 "$@"; }

# One round of the sixteen keys (3.2 s), repeated to the length asked for.
parts=()
for k in 1 2 3 A 4 5 6 B 7 8 9 C '*' 0 '#' D; do
  case $k in [123A]) r=697 ;; [456B]) r=770 ;; [789C]) r=852 ;; *) r=941 ;; esac
  case $k in [147*]) c=1209 ;; [2580]) c=1336 ;; [369#]) c=1477 ;; *) c=1633 ;; esac
  i=${#parts[@]}
  sx -n -r 44100 -b 16 -c 1 -e signed "$work/t$i.wav" synth 0.1 sine $r sine $c remix 1,2 vol 0.2
  sx -n -r 44100 -b 16 -c 1 -e signed "$work/p$i.wav" trim 0 0.1
  parts+=("$work/t$i.wav" "$work/p$i.wav")
done
sx "${parts[@]}" "$work/round.wav"
rounds=$((minutes * 60 * 10 / 32))
sx "$work/round.wav" "$work/clean.wav" repeat $((rounds - 1))
len=$(soxi -D "$work/clean.wav")
# remix halves each tone: a pair of two tones of peak 0.1 has the power 0.01; uniform noise of
# peak v has v^2 / 3.
sx -n -r 44100 -b 16 -c 1 -e signed "$work/noise.wav" synth "$len" whitenoise vol 0.01732
sx -m -v 1 "$work/clean.wav" -v 1 "$work/noise.wav" -t raw -e signed -b 16 "$work/a44.raw"
sx -t raw -r 44100 -e signed -b 16 -c 1 "$work/a44.raw" -t raw -r 22050 -e signed -b 16 -c 1 \
  "$work/a22.raw"

cpu() { # CPU seconds of one run of a command; its output goes to $work/out
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >"$work/out" 2>/dev/null
  awk '{ printf "%.3f", $1 + $2 }' "$work/time"
}
med() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for rate in $rates; do
  sx -t raw -r 44100 -e signed -b 16 -c 1 "$work/a44.raw" -t raw -r "$rate" -e signed -b 16 -c 1 \
    "$work/in.raw"
  : >"$work/k.list"
  : >"$work/m.list"
  : >"$work/r.list"
  for ((i = 0; i < runs; i++)); do
    tk=$(cpu "$tool" --detector precise --raw --rate "$rate" <"$work/in.raw")
    tr -d '\n' <"$work/out" >"$work/digits.k"
    tm=$(cpu multimon-ng -q -c -a DTMF -t raw "$work/a22.raw")
    awk '/^DTMF: /{ printf "%s", $2 }' "$work/out" >"$work/digits.m"
    echo "$tk" >>"$work/k.list"
    echo "$tm" >>"$work/m.list"
    awk -v k="$tk" -v m="$tm" 'BEGIN { printf "%.3f\n", m / (k > 0.01 ? k : 0.01) }' >>"$work/r.list"
  done
  same=no
  cmp -s "$work/digits.k" "$work/digits.m" && same=yes
  k=$(med <"$work/k.list") m=$(med <"$work/m.list")
  rmin=$(sort -g "$work/r.list" | head -1) rmax=$(sort -g "$work/r.list" | tail -1)
  rmed=$(med <"$work/r.list")
  awk -v rate="$rate" -v len="$len" -v k="$k" -v m="$m" -v n="$(wc -c <"$work/digits.k")" \
    -v same="$same" -v a="$rmin" -v b="$rmed" -v c="$rmax" 'BEGIN {
    printf "%5d Hz: precise %.3f CPU-s (%.0f audio-s per CPU-s), multimon-ng (22050 Hz) %.3f CPU-s (%.0f); ratio min %.2f median %.2f max %.2f; %d digits, same: %s\n",
      rate, k, (k > 0) ? len / k : 0, m, (m > 0) ? len / m : 0, a, b, c, n, same
  }'
done
