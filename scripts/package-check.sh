#!/usr/bin/env bash
# CI: builds the .deb, checks its metadata, installs it with apt, runs the installed programs
# (kanalo --version, kanalo-dtmf on a generated WAVE file, the station offscreen against the
# simulator for a few seconds) and removes it again. Needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

deb=$(bash scripts/package.sh | tail -n 1)
desktop-file-validate packaging/org.kanalo.Kanalo.desktop
appstreamcli validate --no-net packaging/org.kanalo.Kanalo.metainfo.xml
lintian --fail-on error "$deb"

$SUDO apt-get install -y -q "./$deb" >/dev/null
trap '$SUDO apt-get remove -y -q kanalo >/dev/null' EXIT
test "$(command -v kanalo)" = /usr/bin/kanalo
kanalo --version
kanalo-dtmf --version
test -s /usr/share/kanalo/S_Meter.bmp
man -w kanalo >/dev/null 2>&1 || test -f /usr/share/man/man1/kanalo.1.gz

scratch=$(mktemp -d)
sox -n -r 44100 -b 16 -c 1 "$scratch/key5.wav" synth 0.1 sin 770 sin 1336 gain -6
test "$(kanalo-dtmf "$scratch/key5.wav")" = 5

# The station from its installed path, offscreen against the simulator, in a home of its own; it
# must still be running when the time is up (timeout's 124) and must have set up its data.
set +e
HOME=$scratch QT_QPA_PLATFORM=offscreen timeout 5 kanalo --simulator >"$scratch/out" 2>&1
rc=$?
set -e
if [ $rc -ne 124 ]; then
  cat "$scratch/out"
  echo "kanalo ended with $rc before its time" >&2
  exit 1
fi
test -s "$scratch/Kanalo/Roger.Wav"
# The installed station found its guardian (../libexec/kanalo/kanalo-guard from /usr/bin).
test -x /usr/libexec/kanalo/kanalo-guard
test -x /usr/libexec/kanalo/kanalo-rig-release
if grep -q "kanalo-guard" "$scratch/out"; then
  cat "$scratch/out"
  echo "the installed station runs without its guardian" >&2
  exit 1
fi
# And without a window: `kanalo --headless` runs the installed kanalo-headless (the same process,
# found in ../libexec/kanalo/), which must map neither Qt Widgets nor Qt Gui and must find the
# guardian beside it.
test -x /usr/libexec/kanalo/kanalo-headless
mkdir -p "$scratch/headless"
HOME=$scratch/headless kanalo --headless --simulator >"$scratch/headless.out" 2>&1 &
pid=$!
for _ in $(seq 50); do
  [ "$(cat /proc/$pid/comm 2>/dev/null)" = kanalo-headless ] && [ -s "$scratch/headless/Kanalo/Roger.Wav" ] && break
  sleep 0.2
done
maps=$(cat /proc/$pid/maps 2>/dev/null || true)
kill -TERM $pid
wait $pid || true
if [ -z "$maps" ] || grep -qE "libQt6(Widgets|Gui)" <<<"$maps"; then
  cat "$scratch/headless.out"
  echo "the installed headless station did not run, or runs with Qt Widgets or Gui" >&2
  exit 1
fi
if grep -q "kanalo-guard" "$scratch/headless.out"; then
  cat "$scratch/headless.out"
  echo "the installed headless station runs without its guardian" >&2
  exit 1
fi
rm -rf "$scratch"
echo "package checks passed"
