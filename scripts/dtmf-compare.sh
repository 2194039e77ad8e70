#!/usr/bin/env bash
# Runs kanalo-dtmf (the station's block decoder and the precise detector) and multimon-ng (an
# independent DTMF decoder) on the same synthetic DTMF signals and on speech, and writes the
# results as a Markdown table, with what the ITU-T Q.24 figures demand of each signal.
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

kanalo() { "$tool" "$@" 2>/dev/null | tr -d '\n' || true; }
multimon() {
  sx "$1" -t raw -r 22050 -e signed -b 16 -c 1 - |
    multimon-ng -q -c -a DTMF -t raw - 2>/dev/null | awk '/^DTMF: /{ printf "%s", $2 }' || true
}

rows=()
kanalo_ok=0 precise_ok=0 multimon_ok=0 total=0
required=0 required_ok=0 behind=0 speech_false=0 speech_seconds=0
show() { [[ -n "$1" ]] && printf '`%s`' "$1" || printf '(none)'; }
# row GROUP SIGNAL EXPECTED FILE [REQUIRED]
# REQUIRED is what the ITU-T Q.24 figures demand of a receiver for this signal: "-" when they
# demand nothing (the precise detector is then held to the sent digits), "none" for a
# rejection, else the digits.
row() {
  local g=$1 s=$2 want=$3 file=$4 req=${5:--}
  local k p m mk mp mm target qtext
  [[ -n "${DTMF_COMPARE_ONLY:-}" && ! "$g" =~ $DTMF_COMPARE_ONLY ]] && return 0
  k=$(kanalo "$file")
  p=$(kanalo --detector precise "$file")
  m=$(multimon "$file")
  total=$((total + 1))
  if [[ "$k" == "$want" ]]; then mk=ok; kanalo_ok=$((kanalo_ok + 1)); else mk=differs; fi
  if [[ "$m" == "$want" ]]; then mm=ok; multimon_ok=$((multimon_ok + 1)); else mm=differs; fi
  case $req in
    -) target=$want; qtext="" ;;
    none) target=""; qtext="reject"; required=$((required + 1)) ;;
    *) target=$req; qtext="accept"; required=$((required + 1)) ;;
  esac
  if [[ "$p" == "$target" ]]; then
    mp=ok; precise_ok=$((precise_ok + 1))
    [[ "$req" != - ]] && required_ok=$((required_ok + 1))
  else
    mp=differs
    # multimon-ng got it and Q.24 does not ask for the opposite: the precise detector is behind.
    [[ "$mm" == ok && "$target" == "$want" ]] && behind=$((behind + 1))
  fi
  if [[ "$g" == Speech ]]; then
    speech_false=$((speech_false + ${#p}))
    speech_seconds=$(calc "$speech_seconds + $(soxi -D "$file")")
  fi
  rows+=("| $g | $s | $(show "$want") | $qtext | $(show "$k") $mk | $(show "$p") $mp | $(show "$m") $mm |")
  echo "$g: $s: kanalo '$k' precise '$p' multimon '$m'" >&2
}

n=0
case_dtmf() { # GROUP SIGNAL DIGITS REQUIRED make_dtmf-args...
  local g=$1 s=$2 digits=$3 req=$4
  shift 4
  # DTMF_COMPARE_ONLY=REGEX limits the run to matching groups (for a quick look; the table is
  # then partial).
  [[ -n "${DTMF_COMPARE_ONLY:-}" && ! "$g" =~ $DTMF_COMPARE_ONLY ]] && return 0
  n=$((n + 1))
  make_dtmf "$work/s$n.wav" "$digits" "$@"
  row "$g" "$s" "$digits" "$work/s$n.wav" "$req"
}

# Levels: dBFS of each tone's peak; 100 ms tones, 100 ms pauses.
for l in -7 -20 -30 -40 -50 -60; do
  case_dtmf "Level" "$l dBFS per tone" "$all_keys" - 100 100 "$l"
done
# Tone and pause durations at -20 dBFS. Q.24: tones and pauses from 40 ms are taken, tones of
# 20 ms or less are not.
for tp in 100/100 70/70 50/50 40/40 30/30 20/20 100/40 100/20 100/10 500/500; do
  t=${tp%/*} p=${tp#*/} req=-
  ((t <= 20)) && req=none
  ((t >= 40 && p >= 40)) && req=$all_keys
  case_dtmf "Timing" "tone $t ms, pause $p ms" "$all_keys" "$req" "$t" "$p" -20
done
for tp in 100/100 100/30 100/10; do
  t=${tp%/*} p=${tp#*/} req=-
  ((p >= 40)) && req=5555
  case_dtmf "Timing" "repeated key, tone $t ms, pause $p ms" "5555" "$req" "$t" "$p" -20
done
for t in 20 25 30 35 40 50 60 80 100; do
  req=-
  ((t <= 20)) && req=none
  ((t >= 40)) && req=$all_keys
  case_dtmf "Tone length" "tone $t ms, pause 60 ms" "$all_keys" "$req" "$t" 60 -20
done
for p in 20 25 30 35 40 50 60 80 100; do
  req=-
  ((p >= 40)) && req=55555555
  case_dtmf "Pause length" "repeated key, tone 60 ms, pause $p ms" "55555555" "$req" 60 "$p" -20
done
# Frequency offsets of both tones, and row and column apart. Q.24: 1.5 % taken, 3.5 % not.
for o in 1.5 -1.5 2.5 -2.5 3 -3 3.5 -3.5; do
  req=-
  [[ $o == 1.5 || $o == -1.5 ]] && req=$all_keys
  [[ $o == 3.5 || $o == -3.5 ]] && req=none
  case_dtmf "Offset" "both tones ${o} %" "$all_keys" "$req" 100 100 -20 "$o" "$o"
done
case_dtmf "Offset" "row +1.5 %, column -1.5 %" "$all_keys" "$all_keys" 100 100 -20 1.5 -1.5
case_dtmf "Offset" "row -1.5 %, column +1.5 %" "$all_keys" "$all_keys" 100 100 -20 -1.5 1.5
case_dtmf "Offset" "row +3 %, column -3 %" "$all_keys" - 100 100 -20 3 -3
case_dtmf "Offset" "row -3 %, column +3 %" "$all_keys" - 100 100 -20 -3 3
case_dtmf "Offset" "row +3.5 %, column 0 %" "$all_keys" none 100 100 -20 3.5 0
case_dtmf "Offset" "row 0 %, column -3.5 %" "$all_keys" none 100 100 -20 0 -3.5
# Twist: the column tone's level against the row tone's. Q.24: taken from the column 8 dB weaker
# to 4 dB stronger; we hold a receiver to rejecting from 4 dB beyond those limits.
for t in -15 -12 -10 -8 -6 -4 -2 0 2 4 6 8 10 15; do
  req=-
  ((t >= -8 && t <= 4)) && req=$all_keys
  ((t <= -12 || t >= 8)) && req=none
  case_dtmf "Twist" "column ${t} dB against row" "$all_keys" "$req" 100 100 -20 0 0 "$t"
done
# White noise over the whole signal, ratio to a tone pair's power.
for s in 30 20 15 10 6 3 0 -3; do
  case_dtmf "Noise" "white noise, SNR ${s} dB" "$all_keys" - 100 100 -20 0 0 0 "$s"
done

# Nothing to find: silence, noise alone, speech.
n=$((n + 1))
sx -n -r $rate -b 16 -c 1 -e signed "$work/s$n.wav" trim 0 5
row "None" "5 s silence" "" "$work/s$n.wav" none
n=$((n + 1))
sx -n -r $rate -b 16 -c 1 -e signed "$work/s$n.wav" synth 10 whitenoise vol 0.3
row "None" "10 s white noise" "" "$work/s$n.wav" none
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
  row "Speech" "espeak-ng (${entry%%|*}): \"${entry#*|}\"" "" "$work/s$n.wav" none
  n=$((n + 1))
  espeak-ng -v "${entry%%|*}" -p 80 -s 220 -w "$work/s$n.wav" "${entry#*|}" 2>/dev/null
  row "Speech" "same, high pitch and fast" "" "$work/s$n.wav" none
done
# Longer talk in several voices, pitches and rates, for talk-off over minutes rather than
# sentences.
talk_en="Good evening from the mobile station on channel nine. We are parked near the old \
bridge and the signal is clear, about five by nine. The weather is getting worse, with rain \
coming in from the west and a strong wind over the hills. Could you please relay a message to \
the base station: the convoy will arrive at eight thirty, two trucks and one van, and we need \
fuel for all three. If anybody hears this call, answer on channel nineteen. Over."
talk_de="Guten Abend, hier ist die Feststation auf Kanal neun. Wir hören Sie laut und deutlich. \
Der Verkehr auf der Autobahn staut sich zwischen Köln und Bonn, bitte fahren Sie über die \
Bundesstraße. Die Wetterlage: Regen, später Gewitter, Temperaturen um zwölf Grad. Wer die \
Mailbox abhören möchte, ruft bitte die Nummer drei vier fünf sechs. Ende und aus."
first_talk=$((n + 1))
for v in "en-us|$talk_en|-s 175" "en-gb+f3|$talk_en|-s 150 -p 70" "en-us+m3|$talk_en|-s 260" \
         "en-gb-scotland+f2|$talk_en|-s 120 -p 90" "de|$talk_de|-s 175" "de+f4|$talk_de|-s 140 -p 75" \
         "de+m7|$talk_de|-s 240 -p 30" "de+klatt|$talk_de|-s 160" "en-us+klatt4|$talk_en|-s 190" \
         "de+f1|$talk_de|-s 120 -p 95"; do
  voice=${v%%|*} rest=${v#*|}
  text=${rest%%|*} opts=${rest#*|}
  n=$((n + 1))
  # shellcheck disable=SC2086
  espeak-ng -v "$voice" $opts -w "$work/s$n.wav" "$text" 2>/dev/null
  row "Speech" "espeak-ng $voice $opts, $(soxi -D "$work/s$n.wav" | cut -d. -f1) s of talk" "" \
    "$work/s$n.wav" none
done

# Speech with white noise under it (CB audio is rarely clean): the first long talk files again,
# noise at the given ratio of the speech's power.
for snr in 20 10 3 0; do
  for src in 1 5; do
    f=$work/s$((first_talk + src - 1)).wav
    [[ -f "$f" ]] || continue
    n=$((n + 1))
    len=$(soxi -D "$f")
    rms=$(sx "$f" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
    nv=$(calc "sqrt(3) * $rms / sqrt(10^($snr/10))")
    sx -n -r "$(soxi -r "$f")" -b 16 -c 1 -e signed "$work/noise$n.wav" synth "$len" whitenoise vol "$nv"
    sx -m -v 1 "$f" -v 1 "$work/noise$n.wav" -r $rate "$work/s$n.wav"
    row "Speech" "talk $src plus white noise, speech $snr dB above it" "" "$work/s$n.wav" none
  done
done

# Noise over many calls: one call's digits say little at a ratio where keys are lost now and
# then. Here each ratio is 20 calls of the sixteen keys, each with its own stretch of noise,
# and the table counts the keys each decoder took in order (a key taken twice or out of place
# counts once as extra).
noise_rows=()
count_keys() { # DIGITS -> "found extra" against all_keys in order
  awk -v got="$1" -v want="$all_keys" 'BEGIN {
    j = 1; h = 0; x = 0
    for (i = 1; i <= length(got); i++) {
      c = substr(got, i, 1); p = index(substr(want, j), c)
      if (p > 0) { h++; j += p } else x++
    }
    print h, x
  }'
}
if [[ -z "${DTMF_COMPARE_ONLY:-}" || "Noise" =~ $DTMF_COMPARE_ONLY ]]; then
  calls=20
  make_dtmf "$work/clean.wav" "$all_keys" 100 100 -20
  clen=$(soxi -D "$work/clean.wav")
  a=$(calc "10^(-20/20)")
  sx -n -r $rate -b 16 -c 1 -e signed "$work/longnoise.wav" synth "$(calc "$clen * ($calls + 1)")" whitenoise
  for snr in 6 3 0 -3; do
    nv=$(calc "sqrt(3 * $a^2 / 10^($snr/10))")
    kh=0 kx=0 ph=0 px=0 mh=0 mx=0
    for ((c = 0; c < calls; c++)); do
      sx "$work/longnoise.wav" "$work/nc.wav" trim "$(calc "$c * $clen")" "$clen" vol "$nv"
      sx -m -v 1 "$work/clean.wav" -v 1 "$work/nc.wav" "$work/call.wav"
      read -r h x < <(count_keys "$(kanalo "$work/call.wav")"); kh=$((kh + h)) kx=$((kx + x))
      read -r h x < <(count_keys "$(kanalo --detector precise "$work/call.wav")"); ph=$((ph + h)) px=$((px + x))
      read -r h x < <(count_keys "$(multimon "$work/call.wav")"); mh=$((mh + h)) mx=$((mx + x))
    done
    pct() { calc "100 * $1 / ($calls * 16)" | awk '{ printf "%.1f %%", $1 }'; }
    noise_rows+=("| $snr dB | $(pct $kh) ($kx extra) | $(pct $ph) ($px extra) | $(pct $mh) ($mx extra) |")
    echo "Noise over $calls calls, SNR $snr dB: kanalo $kh/$kx precise $ph/$px multimon $mh/$mx" >&2
  done
fi

# Noise as a radio's audio has it: confined to the voice band (300-3400 Hz, sox's sinc filter on
# white noise), at a ratio of a tone pair's power to the noise's power in that band. Each row:
# 20 calls of the sixteen keys (pauses 100 ms, -20 dBFS) in one stretch of noise, for each tone
# length; counted as the keys taken in order (the longest common subsequence with the keys sent),
# and the digits beyond them.
vb_rows=()
lcs() { # GOT WANT -> "common extra"
  awk -v a="$1" -v b="$2" 'BEGIN {
    n = length(a); m = length(b)
    for (j = 0; j <= m; j++) prev[j] = 0
    for (i = 1; i <= n; i++) {
      cur[0] = 0; ca = substr(a, i, 1)
      for (j = 1; j <= m; j++)
        cur[j] = ca == substr(b, j, 1) ? prev[j - 1] + 1 : (prev[j] > cur[j - 1] ? prev[j] : cur[j - 1])
      for (j = 0; j <= m; j++) prev[j] = cur[j]
    }
    print prev[m], n - prev[m]
  }'
}
if [[ -z "${DTMF_COMPARE_ONLY:-}" || "Voice band" =~ $DTMF_COMPARE_ONLY ]]; then
  vb_calls=20
  vb_want=$(for ((c = 0; c < vb_calls; c++)); do printf '%s' "$all_keys"; done)
  a=$(calc "10^(-20/20)")
  for t in 25 30 40 50 100; do
    make_dtmf "$work/vbcall.wav" "$all_keys" "$t" 100 -20
    sx "$work/vbcall.wav" "$work/vbclean.wav" repeat $((vb_calls - 1))
    sx -n -r $rate -b 16 -c 1 -e signed "$work/vbwhite.wav" synth "$(soxi -D "$work/vbclean.wav")" whitenoise vol 0.5
    sx "$work/vbwhite.wav" "$work/vbnoise.wav" sinc 300-3400
    rms=$(sx "$work/vbnoise.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
    for snr in 6 3 0 -3; do
      # A pair of two tones of peak a has the power a^2.
      sx -m -v 1 "$work/vbclean.wav" -v "$(calc "sqrt($a^2 / 10^($snr/10)) / $rms")" "$work/vbnoise.wav" "$work/vb.wav"
      read -r ph px < <(lcs "$(kanalo --detector precise "$work/vb.wav")" "$vb_want")
      read -r mh mx < <(lcs "$(multimon "$work/vb.wav")" "$vb_want")
      read -r kh kx < <(lcs "$(kanalo "$work/vb.wav")" "$vb_want")
      mark=""
      ((ph < mh)) && mark=" (behind)"
      vb_rows+=("| $t ms | $snr dB | $kh ($kx extra) | $ph ($px extra)$mark | $mh ($mx extra) |")
      echo "Voice band, tone $t ms, SNR $snr dB: kanalo $kh/$kx precise $ph/$px multimon $mh/$mx" >&2
    done
  done
fi

mkdir -p "$(dirname "$out")"
{
  echo "# DTMF decoding: kanalo-dtmf against multimon-ng"
  echo
  echo "Written by \`scripts/dtmf-compare.sh\`; run it again to refresh. Each signal is decoded by"
  echo "\`kanalo-dtmf\` with the station's block decoder (the station's receive chain: 2048-point"
  echo "Gaussian-windowed spectrum per 4096-byte capture buffer at 44100 Hz, decoder step once per"
  echo "millisecond of audio, sensitivity 50), by \`kanalo-dtmf --detector precise\` (the precise"
  echo "detector the operator can choose, on the same 44100 Hz samples; speech at espeak-ng's own 22050 Hz) and by"
  echo "\`multimon-ng -a DTMF\` (the same file resampled to 22050 Hz). The block decoder is used as"
  echo "it is; the table shows where it stands and is not a target it was tuned to."
  echo
  echo "Signals are made with \`sox\`: each key a row and a column sine, the level given as the"
  echo "peak of each tone in dBFS (twist raises or lowers the column tone), 300 ms of silence"
  echo "before the first key and 700 ms after the last. Unless a row says otherwise: tones 100 ms,"
  echo "pauses 100 ms, -20 dBFS, exact frequencies, no twist, no noise. The noise SNR is the"
  echo "power of a tone pair against the power of the white noise over the whole band. Speech is"
  echo "made by \`espeak-ng\` in several voices, pitches and rates ($(calc "$speech_seconds / 60" | cut -c1-4) minutes in all)."
  echo
  echo "The column \"Q.24\" says what the ITU-T Q.24 acceptance figures demand of a receiver for"
  echo "the signal: accept (all keys) or reject (no digit); empty where they demand nothing. The"
  echo "figures: a frequency deviation of 1.5 % is accepted, 3.5 % rejected; twist is accepted"
  echo "from the column tone 8 dB weaker than the row tone to 4 dB stronger (we count 4 dB beyond"
  echo "either limit as \"well beyond\", to be rejected); tones and pauses of 40 ms are taken,"
  echo "tones of 20 ms or less are not; speech gives no digit. The precise detector is marked"
  echo "\"ok\" when it meets the demand, and where there is none when it gives the keys sent; the"
  echo "two others are marked against the keys sent."
  echo
  echo "Result: of $total signals, kanalo-dtmf matched $kanalo_ok, the precise detector $precise_ok and"
  echo "multimon-ng $multimon_ok. The precise detector meets $required_ok of the $required demands of"
  echo "Q.24, misses $behind signal(s) that multimon-ng decodes where Q.24 does not demand the"
  echo "opposite, and took $speech_false false digit(s) from all the speech."
  echo
  echo "| group | signal | sent | Q.24 | kanalo-dtmf | precise | multimon-ng |"
  echo "|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  if ((${#noise_rows[@]} > 0)); then
    echo "## White noise over many calls"
    echo
    echo "Each row: 20 calls of the sixteen keys (tones and pauses 100 ms, -20 dBFS), each with its"
    echo "own stretch of white noise at the given ratio to a tone pair's power; the share of the"
    echo "320 keys each decoder took in order, and the digits it took beyond them."
    echo
    echo "| SNR | kanalo-dtmf | precise | multimon-ng |"
    echo "|---|---|---|---|"
    printf '%s\n' "${noise_rows[@]}"
    echo
  fi
  if ((${#vb_rows[@]} > 0)); then
    echo "## Noise in the voice band"
    echo
    echo "Noise as a radio's audio has it: white noise through a 300-3400 Hz band-pass, at the"
    echo "given ratio of a tone pair's power to the noise's power. Each row: 20 calls of the sixteen"
    echo "keys (pauses 100 ms, -20 dBFS per tone, tones as long as the row says) in one stretch of"
    echo "noise; the keys each decoder took in order out of 320 (the longest common subsequence"
    echo "with the keys sent) and the digits it took beyond them."
    echo
    echo "| tone | SNR | kanalo-dtmf | precise | multimon-ng |"
    echo "|---|---|---|---|---|"
    printf '%s\n' "${vb_rows[@]}"
    echo
  fi
  echo "## Reading the table"
  echo
  echo "- The station's block decoder sees one spectrum per 2048 samples (46.4 ms). A tone pair"
  echo "  is taken when a whole block, or most of one, holds it, and a key repeats only after a"
  echo "  block without the pair: tones or pauses near or below one block are merged or lost."
  echo "- It reads each frequency from a single bin, the one below it (bins by truncation,"
  echo "  21.5 Hz wide). A tone that moves by a few percent lands in a neighbouring bin, and the"
  echo "  bins sit at different distances from the nominal frequencies, so offsets and twist"
  echo "  lose different keys."
  echo "- Its threshold is relative: twice the mean of the eight bins plus the sensitivity"
  echo "  margin, with no absolute floor and no check of the other bins of the spectrum. So the"
  echo "  level makes no difference down to very quiet tones, while noise alone or speech that"
  echo "  happens to put two of the eight bins well above the other six gives a digit."
  echo "- The precise detector takes the capture down to about 11 kHz behind a short low-pass,"
  echo "  then runs Goertzel filters on the eight tones and eleven bins in the gaps below, between"
  echo "  and above them over 2.5 ms sub-blocks, summed into"
  echo "  15 ms windows every 2.5 ms. A window only has to show the pair: one row and one column"
  echo "  3 dB above the rest of their groups within 5 % of nominal. Windows that show the same"
  echo "  pair make a run, judged on its windows' summed powers: the pair 6 dB above the rest of"
  echo "  its groups, a mean deviation within 2 %, the twist between -10 and +6 dB, a fifth of all"
  echo "  the energy and three tenths of that between about 200 and 2200 Hz, and the gap bins"
  echo "  (less what the tones leave there) 9 dB below"
  echo "  the weaker tone on average, with none of them near it alone: speech that puts"
  echo "  harmonics on a row and a column has its neighbouring harmonics in the gaps, noise fills"
  echo "  them evenly. A digit is taken after seven windows within 3 dB of the run's strongest, so"
  echo "  the limit lies near 24 ms; a repeated key needs seven windows with the pair 6 dB down or"
  echo "  gone (a pause of 20 ms gives eight, an interruption of 10 ms is bridged); half a second"
  echo "  without tones ends the line."
  echo "- multimon-ng checks the tone frequencies closely, so it drops tones that are off by"
  echo "  1.5 % or more and pairs with a large twist, and it takes keys from tones of 20 ms that"
  echo "  Q.24 wants ignored."
} >"$out"
echo "dtmf-compare: wrote $out (kanalo-dtmf $kanalo_ok/$total, precise $precise_ok/$total, multimon-ng $multimon_ok/$total; Q.24 $required_ok/$required, behind multimon-ng $behind, speech false $speech_false)" >&2
