#!/usr/bin/env bash
# Benchmarks, one command. Prints figures, never passes or fails on a timing:
#   1. the frame channel: WriteFrame and the reader's copy against memcpy
#      (benchmarks/channel_benchmark.exe, when built), and the camera's pixel
#      conversions and scaling against memcpy (benchmarks/imaging_benchmark.exe);
#   2. end-to-end latency and interval spread, veltrano-feed at 29.97 fps into
#      veltrano-probe, so that the feed's phase drifts across the camera's ticks
#      (a full cycle of the 0.03 fps difference takes about 33 s);
#   3. CPU seconds of the capture process per streamed second at 1280x720 30 fps
#      with 1, 2, 4 and 8 probes reading one feed at once;
#   4. the same per capture mode (1920x1080 NV12, 640x480 RGB24, 1280x720 YUY2, all
#      at 30 fps) with the feed's 1280x720 pattern, where the camera converts and
#      scales every frame; target: 1920x1080 NV12 under 5% of one core.
# Output also goes to build/bench-output/. The camera is registered in a Wine prefix
# of the benchmark's own and unregistered at the end.
set -euo pipefail
source "$(dirname "$0")/common.sh"

LATENCY_SECONDS=${VELTRANO_BENCH_LATENCY_SECONDS:-40}
FANOUT_SECONDS=${VELTRANO_BENCH_FANOUT_SECONDS:-10}
MODE_SECONDS=${VELTRANO_BENCH_MODE_SECONDS:-10}
OUT="$VELTRANO_BUILD/bench-output"
BIN="$VELTRANO_BUILD/bin"

veltrano_install_packages
targets=(VeltranoVirtualCamera veltrano-feed veltrano-probe)
[ -f "$VELTRANO_ROOT/benchmarks/CMakeLists.txt" ] && targets+=(channel_benchmark imaging_benchmark)
veltrano_build --target "${targets[@]}"

export WINEPREFIX="$VELTRANO_BUILD/bench-prefix"
veltrano_wine_up
rm -rf "$OUT"
mkdir -p "$OUT"

feed_pid=
bench_cleanup() {
  [ -n "$feed_pid" ] && veltrano_interrupt "$feed_pid" veltrano-feed.exe && wait "$feed_pid" 2>/dev/null || true
  wine regsvr32 /s /u "$BIN/VeltranoVirtualCamera.dll" >/dev/null 2>&1 || true
  veltrano_wine_down
}
trap bench_cleanup EXIT

start_feed() {  # fps
  wine "$BIN/veltrano-feed.exe" --pattern --fps "$1" --seconds 600 </dev/null >"$OUT/feed-$1.log" 2>&1 &
  feed_pid=$!
  for _ in $(seq 50); do
    grep -q "veltrano-feed:" "$OUT/feed-$1.log" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.5
}

stop_feed() {
  veltrano_interrupt "$feed_pid" veltrano-feed.exe
  wait "$feed_pid" || true
  feed_pid=
}

field() {  # report file, line prefix -> the rest of the line
  sed -n "s/^$2: //p" "$1"
}

echo "== 1. Frame channel"
if [ -x "$BIN/channel_benchmark.exe" ]; then
  timeout 600 wine "$BIN/channel_benchmark.exe" </dev/null | tee "$OUT/channel.txt"
else
  echo "benchmarks/channel_benchmark.exe is not part of this build; skipped" | tee "$OUT/channel.txt"
fi
echo
echo "== 1b. Pixel conversion and scaling"
if [ -x "$BIN/imaging_benchmark.exe" ]; then
  timeout 600 wine "$BIN/imaging_benchmark.exe" </dev/null | tee "$OUT/imaging.txt"
else
  echo "benchmarks/imaging_benchmark.exe is not part of this build; skipped" | tee "$OUT/imaging.txt"
fi

wine regsvr32 /s "$BIN/VeltranoVirtualCamera.dll"

echo
echo "== 2. End-to-end latency: feed at 29.97 fps, probe ${LATENCY_SECONDS} s"
start_feed 29.97
(cd "$OUT" && timeout $((LATENCY_SECONDS + 120)) wine "$BIN/veltrano-probe.exe" --seconds "$LATENCY_SECONDS" \
   --no-images --out . --label latency </dev/null >/dev/null)
stop_feed
cat "$OUT/latency-report.txt"
/usr/bin/python3 "$VELTRANO_ROOT/tools/plot_timings.py" "$OUT/latency-timings.csv" "$OUT/latency-timings.png" \
  --title "feed 29.97 fps -> camera 30 fps -> probe" >/dev/null

echo
echo "== 3. Capture CPU and rate with 1, 2, 4 and 8 probes on one feed (30 fps, ${FANOUT_SECONDS} s each)"
start_feed 30
printf '%-7s %-6s %-12s %-26s %-24s %s\n' probes probe "rate (fps)" "interval p50/p99/worst ms" "latency p50/p99 ms" \
  "CPU s per streamed s" | tee "$OUT/fanout.txt"
for count in 1 2 4 8; do
  pids=()
  for index in $(seq "$count"); do
    (cd "$OUT" && timeout $((FANOUT_SECONDS + 120)) wine "$BIN/veltrano-probe.exe" --seconds "$FANOUT_SECONDS" \
       --no-images --out . --label "fanout-$count-$index" </dev/null >/dev/null) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  for index in $(seq "$count"); do
    report="$OUT/fanout-$count-$index-report.txt"
    if [ ! -f "$report" ]; then
      printf '%-7s %-6s %s\n' "$count" "$index" "no report (probe failed)" | tee -a "$OUT/fanout.txt"
      continue
    fi
    latency=$(field "$report" "latency p50 \/ p99 \/ worst" | awk -F' / ' '{print $1" / "$2}')
    printf '%-7s %-6s %-12s %-26s %-24s %s\n' "$count" "$index" "$(field "$report" "frame rate" | cut -d' ' -f1)" \
      "$(field "$report" "interval p50 \/ p99 \/ worst" | sed 's/ ms$//')" "${latency:-n/a}" \
      "$(field "$report" "capture CPU" | cut -d' ' -f1)" | tee -a "$OUT/fanout.txt"
  done
done
stop_feed
tail -n 1 "$OUT/feed-30.log"

echo
echo "== 4. Capture CPU per mode: feed 1280x720 YUY2 at 30 fps, probe at 30 fps, ${MODE_SECONDS} s each"
start_feed 30
printf '%-18s %-12s %-22s %-16s %s\n' mode "rate (fps)" "CPU s per streamed s" "% of one core" \
  "vs YUY2 1280x720" | tee "$OUT/modes.txt"
declare -A mode_cpu=()
for mode in 1280x720:YUY2 1920x1080:NV12 640x480:RGB24; do
  size=${mode%%:*}
  subtype=${mode##*:}
  label="mode-$subtype-$size"
  (cd "$OUT" && timeout $((MODE_SECONDS + 120)) wine "$BIN/veltrano-probe.exe" --seconds "$MODE_SECONDS" \
     --size "$size" --subtype "$subtype" --fps 30 --no-images --out . --label "$label" </dev/null >/dev/null) || true
  report="$OUT/$label-report.txt"
  if [ ! -f "$report" ]; then
    printf '%-18s %s\n' "$subtype $size" "no report (probe failed)" | tee -a "$OUT/modes.txt"
    continue
  fi
  cpu=$(field "$report" "capture CPU" | cut -d' ' -f1)
  mode_cpu[$mode]=$cpu
  baseline=${mode_cpu[1280x720:YUY2]:-}
  printf '%-18s %-12s %-22s %-16s %s\n' "$subtype $size" "$(field "$report" "frame rate" | cut -d' ' -f1)" "$cpu" \
    "$(awk -v c="$cpu" 'BEGIN { printf "%.1f", c * 100 }')" \
    "$(awk -v c="$cpu" -v b="${baseline:-0}" 'BEGIN { if (b > 0) printf "%.2f", c / b; else print "n/a" }')" \
    | tee -a "$OUT/modes.txt"
done
nv12=${mode_cpu[1920x1080:NV12]:-}
if [ -n "$nv12" ]; then
  awk -v c="$nv12" 'BEGIN { printf "target: 1920x1080 NV12 under 5%% of one core -> %.1f%%, %s\n", c * 100, c < 0.05 ? "met" : "NOT met" }' \
    | tee -a "$OUT/modes.txt"
fi
stop_feed
tail -n 1 "$OUT/feed-30.log"

echo
echo "Figures and per-frame CSVs in $OUT"
