#!/usr/bin/env bash
# The demo: on a fresh Debian machine installs what it needs, builds the camera and
# its tools, registers the camera in a Wine prefix of its own, and shows it working
# the way a capture application sees it:
#   1. the placeholder picture while no host application runs,
#   2. the test pattern of veltrano-feed (the reference host) with rate and latency,
#   3. the placeholder again after the host has stopped,
#   4. the test pattern again, captured as 640 x 480 RGB24 at 15 fps (a mode the
#      probe sets with IAMStreamConfig::SetFormat),
# and, while the test pattern runs, a 32-bit capture application (the 32-bit probe,
# through the 32-bit module registered beside the 64-bit one) receiving the 64-bit
# host's frames; then unregisters both. Snapshots, contact sheets, a timing chart and a
# report end up in one folder, printed at the end.
set -euo pipefail
source "$(dirname "$0")/common.sh"

PROBE_SECONDS=${VELTRANO_DEMO_SECONDS:-6}
OUT="$VELTRANO_BUILD/demo-output"
BIN="$VELTRANO_BUILD/bin"
BIN32="$VELTRANO_BUILD32/bin"

veltrano_install_packages
echo "Building into $VELTRANO_BUILD"
veltrano_build --target VeltranoVirtualCamera veltrano-feed veltrano-probe
echo "Building the 32-bit camera and probe into $VELTRANO_BUILD32"
veltrano_build32 --target VeltranoVirtualCamera veltrano-probe

# A prefix of its own, so that the demo never touches the tests' registrations.
export WINEPREFIX="$VELTRANO_BUILD/demo-prefix"
veltrano_wine_up
rm -rf "$OUT"
mkdir -p "$OUT"

# The 32-bit module is registered by the 32-bit regsvr32, in the 32-bit registry view.
REGSVR32_32='C:\windows\syswow64\regsvr32.exe'

feed_pid=
registered=0
registered32=0
demo_cleanup() {
  [ -n "$feed_pid" ] && veltrano_interrupt "$feed_pid" veltrano-feed.exe && wait "$feed_pid" 2>/dev/null || true
  if [ "$registered" = 1 ]; then
    wine regsvr32 /s /u "$BIN/VeltranoVirtualCamera.dll" >/dev/null 2>&1 || true
  fi
  if [ "$registered32" = 1 ]; then
    wine "$REGSVR32_32" /s /u "$BIN32/VeltranoVirtualCamera.dll" >/dev/null 2>&1 || true
  fi
  veltrano_wine_down
}
trap demo_cleanup EXIT

run_probe() {  # label, extra arguments...
  local label=$1
  shift
  echo
  echo "== veltrano-probe --label $label"
  (cd "$OUT" && timeout 120 wine "$BIN/veltrano-probe.exe" --seconds "$PROBE_SECONDS" --out . --label "$label" "$@" \
     </dev/null)
}

start_feed() {
  echo
  echo "== Starting veltrano-feed (test pattern, 30 fps)"
  # --seconds bounds the feed should the demo be interrupted; it is stopped with
  # Ctrl+C (SIGINT, which Wine turns into the console control event) long before that.
  wine "$BIN/veltrano-feed.exe" --pattern --seconds 120 </dev/null >"$OUT/$1" 2>&1 &
  feed_pid=$!
  for _ in $(seq 50); do
    grep -q "veltrano-feed:" "$OUT/$1" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.5
  cat "$OUT/$1"
}

stop_feed() {
  echo
  echo "== Stopping veltrano-feed (Ctrl+C)"
  veltrano_interrupt "$feed_pid" veltrano-feed.exe
  for _ in $(seq 100); do
    kill -0 "$feed_pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$feed_pid" || { echo "veltrano-feed failed"; exit 1; }
  feed_pid=
  tail -n 1 "$OUT/$1"
}

run_probe32() {  # label: the 32-bit probe, a 32-bit capture application
  echo
  echo "== veltrano-probe (32-bit) --label $1"
  (cd "$OUT" && timeout 120 wine "$BIN32/veltrano-probe.exe" --seconds "$PROBE_SECONDS" --out . --label "$1" \
     </dev/null)
}

echo
echo "== Registering the camera (Wine's regsvr32)"
wine regsvr32 "$BIN/VeltranoVirtualCamera.dll"
registered=1
echo
echo "== Registering the 32-bit camera (Wine's 32-bit regsvr32, SysWOW64)"
wine "$REGSVR32_32" "$BIN32/VeltranoVirtualCamera.dll"
registered32=1
echo
echo "== Video input devices"
timeout 60 wine "$BIN/veltrano-probe.exe" --list </dev/null | tee "$OUT/devices.txt"

run_probe placeholder

start_feed feed.log
run_probe pattern
run_probe32 pattern-32bit
stop_feed feed.log

run_probe placeholder-after

# A capture application that asks for another mode: the camera converts and scales
# the host's 1280 x 720 YUY2 frames into it.
start_feed feed-rgb24.log
run_probe rgb24-15fps --size 640x480 --subtype RGB24 --fps 15
stop_feed feed-rgb24.log

echo
echo "== Unregistering the camera"
wine regsvr32 /u "$BIN/VeltranoVirtualCamera.dll"
registered=0
wine "$REGSVR32_32" /u "$BIN32/VeltranoVirtualCamera.dll"
registered32=0

/usr/bin/python3 "$VELTRANO_ROOT/tools/plot_timings.py" "$OUT/pattern-timings.csv" "$OUT/pattern-timings.png" \
  --title "Veltrano Virtual Camera: test pattern through veltrano-feed" >/dev/null

# The report: the probe runs, and whether each showed what it should.
verdict() {  # label, expectation (feed|placeholder|rgb24)
  local report="$OUT/$1-report.txt"
  if [ "$2" = rgb24 ]; then
    # The mode asked for, at 15 fps give or take half a frame per second, and the
    # feed's frames in it (its stamp read back, a picture that is neither the
    # placeholder nor flat grey).
    local rate
    rate=$(sed -n 's/^frame rate: \([0-9.]*\) fps$/\1/p' "$report")
    grep -q "^format: RGB24 640x480, 15.00 fps" "$report" && grep -q "^latency p50" "$report" \
      && grep -q "^picture: other" "$report" && awk -v r="${rate:-0}" 'BEGIN { exit !(r >= 14.5 && r <= 15.5) }' \
      && echo "ok: $1 shows the feed's frames as RGB24 640x480 at ${rate} fps" \
      || echo "FAILED: $1 did not show the feed's frames as RGB24 640x480 at 15 fps (rate ${rate:-none})"
  elif [ "$2" = feed ]; then
    grep -q "^latency p50" "$report" && echo "ok: $1 shows the feed's frames" || echo "FAILED: $1 did not show the feed's frames"
  else
    # No host frames, and the picture itself is the placeholder (not the flat grey of
    # a picture that could not be decoded).
    grep -q "^feed frames: none" "$report" && grep -q "^picture: placeholder" "$report" \
      && echo "ok: $1 shows the placeholder" || echo "FAILED: $1 did not show the placeholder"
  fi
}
{
  echo "Veltrano Virtual Camera demo, $(date -u '+%Y-%m-%d %H:%M UTC'), Wine $(wine --version 2>/dev/null)"
  echo
  for label in placeholder pattern pattern-32bit placeholder-after rgb24-15fps; do
    echo "[$label]"
    cat "$OUT/$label-report.txt"
    echo
  done
  verdict placeholder placeholder
  verdict pattern feed
  verdict pattern-32bit feed
  verdict placeholder-after placeholder
  verdict rgb24-15fps rgb24
} >"$OUT/report.txt"

echo
echo "================================================================"
cat "$OUT/report.txt"
echo
echo "Demo output in $OUT:"
(cd "$OUT" && ls -1 *.png *.txt *.csv | sed 's/^/  /')
! grep -q "^FAILED" "$OUT/report.txt"
