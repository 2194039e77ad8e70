#!/usr/bin/env bash
# Runs the sound suites against real sound servers: a private PulseAudio, then a private PipeWire
# with WirePlumber, each with a null sink whose monitor is the capture. The tests reach the server
# through ALSA's default device, set by an .asoundrc in a HOME of their own.
#
#   scripts/sound-servers.sh [BUILD_DIR]
#   KANALO_SOUND_BENCH=1 scripts/sound-servers.sh build   # also the station benchmarks on each
#                                                         # server (CPU, wake-ups)
#
# A server that cannot be started is reported and skipped; the tests themselves skip with a
# printed reason when no server is there (KANALO_SOUND_SERVER unset).
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
work=$(mktemp -d /tmp/kanalo-sound-XXXXXX)
failed=0
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local end=$(($(date +%s) + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -ge "$end" ] && return 1
    sleep 0.2
  done
}

start_pulse() {
  local home=$1
  mkdir -p "$home/run" "$home/state"
  cat >"$home/default.pa" <<EOF
load-module module-null-sink sink_name=kanalo_null rate=44100 channels=1
load-module module-native-protocol-unix socket=$home/native auth-anonymous=1
set-default-sink kanalo_null
set-default-source kanalo_null.monitor
EOF
  cat >"$home/.asoundrc" <<EOF
pcm.!default { type pulse server "unix:$home/native" }
ctl.!default { type pulse server "unix:$home/native" }
EOF
  # Without its CPU watchdog: on a loaded test machine the server must not end itself mid-suite
  # (it quits when it used 70 % of a core over ten seconds).
  HOME=$home PULSE_RUNTIME_PATH=$home/run PULSE_STATE_PATH=$home/state \
    pulseaudio -n -F "$home/default.pa" --exit-idle-time=-1 --daemonize=no --no-cpu-limit \
    --log-target=file:"$home/server.log" >/dev/null 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_for 10 test -S "$home/native"
}

start_pipewire() {
  local home=$1
  local plugins=$home/pipewire-alsa
  mkdir -p "$home/run" "$plugins"
  # pipewire-alsa conflicts with pulseaudio in Debian 12, so its ALSA plugin is only unpacked.
  (cd "$home" && apt-get download pipewire-alsa >/dev/null 2>&1 && dpkg-deb -x pipewire-alsa_*.deb "$plugins") ||
    return 1
  local lib
  lib=$(dirname "$(find "$plugins" -name libasound_module_pcm_pipewire.so | head -n 1)")
  [ -n "$lib" ] || return 1
  cat >"$home/.asoundrc" <<EOF
pcm_type.pipewire { lib "$lib/libasound_module_pcm_pipewire.so" }
ctl_type.pipewire { lib "$lib/libasound_module_ctl_pipewire.so" }
pcm.!default { type pipewire playback_node "-1" capture_node "-1" }
ctl.!default { type pipewire }
EOF
  # The graph at the null node's own rate: no resampler between the station and the recorder.
  mkdir -p "$home/.config/pipewire/pipewire.conf.d"
  cat >"$home/.config/pipewire/pipewire.conf.d/kanalo.conf" <<EOF
context.properties = { default.clock.rate = 44100 default.clock.allowed-rates = [ 44100 ] }
EOF
  export XDG_RUNTIME_DIR=$home/run
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$home/run/bus
  pids+=("$(dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid)")
  HOME=$home pipewire >"$home/server.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_for 10 test -S "$home/run/pipewire-0" || return 1
  HOME=$home wireplumber >"$home/wireplumber.log" 2>&1 &
  pids+=("$!")
  sleep 1
  # A duplex null node: the station plays into it and records what it played.
  HOME=$home pw-cli create-node adapter '{ factory.name=support.null-audio-sink
    node.name=kanalo_null media.class=Audio/Duplex object.linger=true audio.rate=44100
    audio.position=[MONO] }' >/dev/null || return 1
  wait_for 10 sh -c "HOME=$home pw-cli ls Node | grep -q kanalo_null"
}

run_suites() {  # run_suites NAME HOME; 0 when every suite passed
  local name=$1 home=$2 rc=0
  echo "== Sound server: $name"
  export HOME=$home KANALO_SOUND_SERVER=$name KANALO_SOUND_SERVER_PID=$server_pid
  # The monitor's latency on the server's own clock first; then every other suite with PipeWire's
  # graph held at 1024 frames or more (23 ms): on a loaded machine without real-time scheduling the
  # small cycles a 5 ms client asks for miss their deadlines, and a missed cycle takes a period out
  # of whatever the recorder hears, which no station can be blamed for. PulseAudio buffers per
  # client and needs no such hold.
  "$build/tests/audio/test_audio" --gtest_filter="SoundServer*Monitor*" || rc=1
  [ "$name" = pipewire ] && HOME=$home pw-metadata -n settings 0 clock.min-quantum 1024 >/dev/null
  "$build/tests/audio/test_audio" --gtest_filter="SoundServer*:-*ServerKilled*:*Monitor*" || rc=1
  # Also the built station keyed over rig control (SoundServerStationKeyed*), its sink recorded by
  # parec or pw-record; it keeps this HOME for the .asoundrc.
  QT_QPA_PLATFORM=offscreen "$build/tests/app/test_app" --gtest_filter='*SoundServerStation*' || rc=1
  # The benchmark on this server when asked for (KANALO_SOUND_BENCH=1, a build with benchmarks).
  if [ -n "${KANALO_SOUND_BENCH:-}" ] && [ -x "$build/bench/bench_station_cpu" ]; then
    "$build/bench/bench_station_cpu" || rc=1
    "$build/bench/bench_station_wakeups" || rc=1
  fi
  # Last: this one ends the server.
  "$build/tests/audio/test_audio" --gtest_filter='SoundServer*ServerKilled*' || rc=1
  unset KANALO_SOUND_SERVER KANALO_SOUND_SERVER_PID
  return $rc
}

if start_pulse "$work/pulse"; then
  if ! run_suites pulseaudio "$work/pulse"; then
    failed=1
    echo "== PulseAudio's log, its end:" && tail -n 40 "$work/pulse/server.log"
  fi
else
  echo "PulseAudio could not be started (see $work/pulse/server.log); its pass failed" >&2
  failed=1
fi

if start_pipewire "$work/pipewire"; then
  if ! run_suites pipewire "$work/pipewire"; then
    failed=1
    echo "== PipeWire's log, its end:" && tail -n 40 "$work/pipewire/server.log"
  fi
else
  echo "PipeWire could not be started; its pass failed" >&2
  failed=1
fi
exit $failed
