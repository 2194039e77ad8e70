#!/usr/bin/env bash
# The real `kanalo --headless` on a network rig: Hamlib's rigctld with its dummy rig, reached as
# model 2. Keyed and released through the station's own rig control, the PTT is seen on rigctld;
# SIGTERM and SIGKILL while keyed leave it unkeyed; a rigctld killed while keyed is said once.
# Usage: rigctld_station.sh KANALO_BINARY
set -euo pipefail
kanalo=$1
command -v rigctld >/dev/null || { echo "rigctld missing (libhamlib-utils)"; exit 1; }
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rigport=$(free_port)
ctlport=$(free_port)
# Waits up to 20 s for a command's output to be $2.
await() {
  local want=$1; shift
  for _ in $(seq 200); do
    [ "$("$@" 2>/dev/null | tr -d '\r')" = "$want" ] && return 0
    sleep 0.1
  done
  echo "timed out waiting for '$want' from: $*"; return 1
}
rig() { timeout 5 rigctl -m 2 -r "127.0.0.1:$rigport" "$@"; }
# One line to the station's rig control over a connection of its own; the answer's first line.
station() {
  { exec 3<>"/dev/tcp/127.0.0.1/$ctlport"; } 2>/dev/null || return 1
  echo "$1" >&3
  timeout 5 head -1 <&3 || true
  exec 3>&-
}
# The connection that keys: a client's hold lasts while its connection does.
key() { echo "T $1" >&4; timeout 5 head -1 <&4 >/dev/null || true; }

rigctld -m 1 -P RIG -T 127.0.0.1 -t "$rigport" &
pids+=($!)
rigd=$!
await 0 rig t

mkdir -p "$dir/.config/kanalo"
cat >"$dir/.config/kanalo/kanalo.conf" <<CONF
radio = hamlib
hamlib.model = 2
hamlib.port = 127.0.0.1:$rigport
rigctl.port = $ctlport
CONF
start() {
  HOME=$dir XDG_CONFIG_HOME=$dir/.config QT_QPA_PLATFORM=offscreen "$kanalo" --headless \
    2>>"$dir/journal" &
  kpid=$!
  pids+=($kpid)
  # Connected: the station's rig control answers, and its channel is the rig's frequency.
  local f=""
  for _ in $(seq 200); do
    f=$(station f || true)
    [ -n "$f" ] && break
    sleep 0.1
  done
  [ -n "$f" ] || { echo "the station's rig control does not answer"; cat "$dir/journal"; exit 1; }
  await "$f" rig f
  exec 4<>"/dev/tcp/127.0.0.1/$ctlport"
}

start
key 1
await 1 rig t
key 0
await 0 rig t
echo "keyed and released through the station: ok"

key 1
await 1 rig t
kill -TERM "$kpid"
wait "$kpid" || true
await 0 rig t
echo "released at SIGTERM: ok"

# SIGKILL while keyed: no handler of the station's runs; the guardian runs kanalo-rig-release,
# which opens the rig anew and sets it to receive.
start
key 1
await 1 rig t
t0=$(date +%s%N)
kill -KILL "$kpid"
wait "$kpid" || true
await 0 rig t
echo "released at SIGKILL by the guardian: ok ($(( ($(date +%s%N) - t0) / 1000000 )) ms, one rigctl poll included)"

start
key 1
await 1 rig t
before=$(grep -c "antwortet nicht" "$dir/journal" || true)
kill -9 "$rigd"
said() { echo $(($(grep -c "antwortet nicht" "$dir/journal" || true) - before)); }
for _ in $(seq 100); do [ "$(said)" -ge 1 ] && break; sleep 0.1; done
sleep 5  # long enough for a second word (the rig is tried again every two seconds)
n=$(said)
[ "$n" = 1 ] || { echo "a dead rig was said $n times"; cat "$dir/journal"; exit 1; }
[ "$(station t)" = 0 ] || { echo "the station still keys a dead rig"; exit 1; }
grep "antwortet nicht" "$dir/journal" | tail -1
echo "a dead rig is said once: ok"
kill -TERM "$kpid"
wait "$kpid" || true
