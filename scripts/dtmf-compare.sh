#!/usr/bin/env bash
# Runs kanalo-dtmf and multimon-ng (an independent DTMF decoder) on the same synthetic DTMF
# signals and on speech, and writes the results as a Markdown table.
#
#   scripts/dtmf-compare.sh [KANALO_DTMF [OUTPUT.md]]
#
# KANALO_DTMF defaults to the first kanalo-dtmf found in build-tools/, build/ or on PATH;
# OUTPUT.md defaults to docs/dtmf-comparison.md. Needs sox, multimon-ng and espeak-ng.
# Everything is generated in a temporary directory that is removed at the end. Noise is made
# with sox's repeatable random numbers, so a run gives the same table every time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-}
if [[ -z "$tool" ]]; then
  for t in "$root/build-tools/tools/kanalo-dtmf" "$root/build/tools/kanalo-dtmf" \
           "$(command -v kanalo-dtmf || true)"; do
    if [[ -n "$t" && -x "$t" ]]; then tool=$t; break; fi
  done
fi
out=${2:-$root/docs/dtmf-comparison.md}
[[ -n "$tool" && -x "$tool" ]] || { echo "dtmf-compare: kanalo-dtmf not found; build it or name it" >&2; exit 2; }
for p in sox multimon-ng espeak-ng awk; do
  command -v "$p" >/dev/null || { echo "dtmf-compare: $p is not installed" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dtmf-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

rate=44100
all_keys='123A456B789C*0#D'
sx() { sox -R -V1 "$@"; }

# Row and column frequency of a key.
row_of() { case $1 in [123A]) echo 697 ;; [456B]) echo 770 ;; [789C]) echo 852 ;; *) echo 941 ;; esac; }
col_of() { case $1 in [147*]) echo 1209 ;; [2580]) echo 1336 ;; [369#]) echo 1477 ;; *) echo 1633 ;; esac; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# make_dtmf FILE DIGITS TONE_MS PAUSE_MS LEVEL_DBFS [ROW_OFFSET_PCT COL_OFFSET_PCT TWIST_DB SNR_DB]
# LEVEL_DBFS is the level of the row tone's peak; the column tone is TWIST_DB above it. With an
# SNR, white noise of that ratio to the power of a tone pair runs through the whole signal.
make_dtmf() {
  local file=$1 digits=$2 tone=$3 pause=$4 level=$5 roff=${6:-0} coff=${7:-0} twist=${8:-0} snr=${9:-}
  local d=$work/parts.$$ i=0 parts=()
  rm -rf "$d"; mkdir -p "$d"
  local ar ac
  ar=$(calc "10^($level/20)")
  ac=$(calc "10^(($level+$twist)/20)")
  sx -n -r $rate -b 16 -c 1 -e signed "$d/lead.wav" trim 0 0.3
  sx -n -r $rate -b 16 -c 1 -e signed "$d/pause.wav" trim 0 "$(calc "$pause/1000")"
  sx -n -r $rate -b 16 -c 1 -e signed "$d/tail.wav" trim 0 0.7
  parts+=("$d/lead.wav")
  local k
  for ((i = 0; i < ${#digits}; i++)); do
    k=${digits:i:1}
    local fr fc secs
    fr=$(calc "$(row_of "$k") * (1 + $roff/100)")
    fc=$(calc "$(col_of "$k") * (1 + $coff/100)")
    secs=$(calc "$tone/1000")
    sx -n -r $rate -b 16 -c 1 -e signed "$d/r$i.wav" synth "$secs" sine "$fr" vol "$ar"
    sx -n -r $rate -b 16 -c 1 -e signed "$d/c$i.wav" synth "$secs" sine "$fc" vol "$ac"
    sx -m -v 1 "$d/r$i.wav" -v 1 "$d/c$i.wav" "$d/p$i.wav"
    parts+=("$d/p$i.wav" "$d/pause.wav")
  done
  parts+=("$d/tail.wav")
  if [[ -z "$snr" ]]; then
    sx "${parts[@]}" "$file"
  else
    sx "${parts[@]}" "$d/clean.wav"
    local len nv
    len=$(soxi -D "$d/clean.wav")
    # A pair has the power (ar^2 + ac^2) / 2; sox's white noise is uniform, power vol^2 / 3.
    nv=$(calc "sqrt(3 * ($ar^2 + $ac^2) / 2 / 10^($snr/10))")
    sx -n -r $rate -b 16 -c 1 -e signed "$d/noise.wav" synth "$len" whitenoise vol "$nv"
    sx -m -v 1 "$d/clean.wav" -v 1 "$d/noise.wav" "$file"
  fi
  rm -rf "$d"
}

kanalo() { "$tool" "$1" 2>/dev/null | tr -d '\n' || true; }
multimon() {
  sx "$1" -t raw -r 22050 -e signed -b 16 -c 1 - |
    multimon-ng -q -c -a DTMF -t raw - 2>/dev/null | awk '/^DTMF: /{ printf "%s", $2 }' || true
}

rows=()
kanalo_ok=0 multimon_ok=0 total=0
show() { [[ -n "$1" ]] && printf '`%s`' "$1" || printf '(none)'; }
# row GROUP SIGNAL EXPECTED FILE
row() {
  local k m mk mm
  k=$(kanalo "$4")
  m=$(multimon "$4")
  total=$((total + 1))
  if [[ "$k" == "$3" ]]; then mk=ok; kanalo_ok=$((kanalo_ok + 1)); else mk=differs; fi
  if [[ "$m" == "$3" ]]; then mm=ok; multimon_ok=$((multimon_ok + 1)); else mm=differs; fi
  rows+=("| $1 | $2 | $(show "$3") | $(show "$k") $mk | $(show "$m") $mm |")
  echo "$1: $2: kanalo '$k' multimon '$m'" >&2
}

n=0
case_dtmf() { # GROUP SIGNAL DIGITS make_dtmf-args...
  local g=$1 s=$2 digits=$3
  shift 3
  n=$((n + 1))
  make_dtmf "$work/s$n.wav" "$digits" "$@"
  row "$g" "$s" "$digits" "$work/s$n.wav"
}

# Levels: dBFS of each tone's peak; 100 ms tones, 100 ms pauses.
for l in -7 -20 -30 -40 -50 -60; do
  case_dtmf "Level" "$l dBFS per tone" "$all_keys" 100 100 "$l"
done
# Tone and pause durations at -20 dBFS.
for tp in 100/100 70/70 50/50 40/40 30/30 20/20 100/40 100/20 100/10 500/500; do
  case_dtmf "Timing" "tone ${tp%/*} ms, pause ${tp#*/} ms" "$all_keys" "${tp%/*}" "${tp#*/}" -20
done
for tp in 100/100 100/30 100/10; do
  case_dtmf "Timing" "repeated key, tone ${tp%/*} ms, pause ${tp#*/} ms" "5555" "${tp%/*}" "${tp#*/}" -20
done
# Frequency offsets of both tones, and row and column apart.
for o in 1.5 -1.5 3 -3; do
  case_dtmf "Offset" "both tones ${o} %" "$all_keys" 100 100 -20 "$o" "$o"
done
case_dtmf "Offset" "row +3 %, column -3 %" "$all_keys" 100 100 -20 3 -3
case_dtmf "Offset" "row -3 %, column +3 %" "$all_keys" 100 100 -20 -3 3
# Twist: the column tone's level against the row tone's.
for t in 3 6 -6 10 -10 15; do
  case_dtmf "Twist" "column ${t} dB against row" "$all_keys" 100 100 -20 0 0 "$t"
done
# White noise over the whole signal, ratio to a tone pair's power.
for s in 30 20 15 10 6 3 0 -3; do
  case_dtmf "Noise" "white noise, SNR ${s} dB" "$all_keys" 100 100 -20 0 0 0 "$s"
done

# Nothing to find: silence, noise alone, speech.
n=$((n + 1))
sx -n -r $rate -b 16 -c 1 -e signed "$work/s$n.wav" trim 0 5
row "None" "5 s silence" "" "$work/s$n.wav"
n=$((n + 1))
sx -n -r $rate -b 16 -c 1 -e signed "$work/s$n.wav" synth 10 whitenoise vol 0.3
row "None" "10 s white noise" "" "$work/s$n.wav"
speech=(
  "en|Hello, this is a test of the selective call. Please answer on channel nine."
  "en|The quick brown fox jumps over the lazy dog, while the radio keeps calling."
  "de|Hallo, hier spricht die Funkstation. Bitte kommen, wir hören Sie."
  "de|Achtung, Achtung! Die Sprach-Mailbox zeichnet jetzt Ihre Nachricht auf."
  "de|Eins, zwei, drei, vier, fünf, sechs, sieben, acht, neun, null."
  "en|One two three four five six seven eight nine zero, star, hash."
)
for entry in "${speech[@]}"; do
  n=$((n + 1))
  espeak-ng -v "${entry%%|*}" -w "$work/s$n.wav" "${entry#*|}" 2>/dev/null
  row "Speech" "espeak-ng (${entry%%|*}): \"${entry#*|}\"" "" "$work/s$n.wav"
  n=$((n + 1))
  espeak-ng -v "${entry%%|*}" -p 80 -s 220 -w "$work/s$n.wav" "${entry#*|}" 2>/dev/null
  row "Speech" "same, high pitch and fast" "" "$work/s$n.wav"
done

mkdir -p "$(dirname "$out")"
{
  echo "# DTMF decoding: kanalo-dtmf against multimon-ng"
  echo
  echo "Written by \`scripts/dtmf-compare.sh\`; run it again to refresh. Each signal is decoded by"
  echo "\`kanalo-dtmf\` (the station's receive chain: 2048-point Gaussian-windowed spectrum per"
  echo "4096-byte capture buffer at 44100 Hz, decoder step once per millisecond of audio,"
  echo "sensitivity 50) and by \`multimon-ng -a DTMF\` (the same file resampled to 22050 Hz)."
  echo "The station's decoder is used as it is; the table shows where it stands and is not a"
  echo "target it was tuned to."
  echo
  echo "Signals are made with \`sox\`: each key a row and a column sine, the level given as the"
  echo "peak of each tone in dBFS (twist raises or lowers the column tone), 300 ms of silence"
  echo "before the first key and 700 ms after the last. Unless a row says otherwise: tones 100 ms,"
  echo "pauses 100 ms, -20 dBFS, exact frequencies, no twist, no noise. The noise SNR is the"
  echo "power of a tone pair against the power of the white noise over the whole band."
  echo
  echo "Result: kanalo-dtmf matched $kanalo_ok of $total signals, multimon-ng $multimon_ok of $total."
  echo
  echo "| group | signal | expected | kanalo-dtmf | multimon-ng |"
  echo "|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "## Reading the table"
  echo
  echo "- The station sees one spectrum per 2048 samples (46.4 ms). A tone pair is taken when"
  echo "  a whole block, or most of one, holds it, and a key repeats only after a block without"
  echo "  the pair: tones or pauses near or below one block are merged or lost."
  echo "- Each frequency is read from a single bin, the one below it (bins by truncation,"
  echo "  21.5 Hz wide). A tone that moves by a few percent lands in a neighbouring bin, and the"
  echo "  bins sit at different distances from the nominal frequencies, so offsets and twist"
  echo "  lose different keys."
  echo "- The threshold is relative: twice the mean of the eight bins plus the sensitivity"
  echo "  margin, with no absolute floor and no check of the other bins of the spectrum. So the"
  echo "  level makes no difference down to very quiet tones, while noise alone or speech that"
  echo "  happens to put two of the eight bins well above the other six gives a digit."
  echo "- multimon-ng checks the tone frequencies closely, so it drops tones that are off by"
  echo "  1.5 % or more and pairs with a large twist, and it takes keys from short tones and"
  echo "  pauses that the station's blocks do not resolve."
} >"$out"
echo "dtmf-compare: wrote $out (kanalo-dtmf $kanalo_ok/$total, multimon-ng $multimon_ok/$total)" >&2
