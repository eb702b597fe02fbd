#!/usr/bin/env bash
# The cost table: the same meeting composite done by the engine (through
# libplenova.so, the raw files pushed in real time by
# bench/system/RawMeetingDriver.cpp), by FFmpeg
# (xstack + amix + libx264 + aac into MP4) and by GStreamer (compositor +
# audiomixer + x264enc + avenc_aac + mp4mux), on the same raw inputs
# (I420 640x360 at 25 fps, PCM 48 kHz stereo), with the engine's x264
# settings (x264_settings below) at the same bit rates. Layouts: 4 -> 720p, 9 -> 720p, 16 -> 1080p
# (every input a 640x360 clip at 25 fps) and a real-looking meeting: one shared
# screen 1920x1080 at 5 fps and six 640x360 cameras at 15 and 30 fps into
# 1920x1080 (the anchors convert rates their usual way: FFmpeg's fps filter
# after xstack, GStreamer's compositor). Prints CPU seconds (user + sys) per
# output second for each, x264 alone on the same canvas (FFmpeg's composite
# encoded with the same settings), the engine's ratio to the better anchor and
# its cost beyond x264 against FFmpeg's, the x264 preset steps the engine
# took, the engine's peak resident memory, and the CPU of an engine that is
# started and gets no frames.
#
#  - quality: PSNR of the libyuv box and bilinear scalers the compositor uses
#    against libswscale's bicubic one, at 2:1, 3:1 and 1.5:1, on testsrc2 and
#    a photo-like picture (bench/video/ScalerQualityBench.cpp).
#  - overload: 20 inputs -> 1920x1080 in real time beside a busy loop that
#    takes one core: canvases per whole second (fewest), the x264 presets the
#    engine stepped through, and push-to-output latency.
#
# After it, the engine alone in real time, publishing to a local nginx RTMP
# server (scripts/rtmp-server.sh) as well as recording:
#  - latency: 9 inputs -> 1280x720 for 60 s; per output (MP4 write, RTMP
#    send) and medium the time from the push of a frame to its sample leaving
#    the engine, p50 / p99 / max, from the engine's own summary log lines;
#  - memory: 9 inputs -> 1280x720 for 10 minutes; resident memory sampled
#    once a second: start, end and the least-squares slope over minutes 1-10;
#  - top: 20 inputs -> 1920x1080 for 60 s; video packets per second of MP4
#    time (min / mean over whole seconds), the queue depths the engine logs
#    (first 10 s against last 10 s) and the latency table.
#
#  - burst: push-to-output latency p50 / p99 before and after one
#    participant's media pause for 600 ms and then arrive at once
#    (bench/system/BurstLatencyBench.cpp); p99 must be back at its baseline
#    within a second;
#  - drift: a client whose clock runs 0.1 % fast, then one 0.1 % slow, for
#    10 minutes each (the media-time test's drift case made long); prints the
#    worst flash-to-beep offset of the recording.
#
#  - meetings: 1, 2 and 4 recorders in one process, 9 inputs -> 1280x720
#    each, in real time; CPU seconds per output second per meeting and, for
#    each meeting, the fewest canvases it composed in a whole second.
#
#   scripts/bench.sh [cost|quality|overload|latency|memory|top|burst|drift|meetings|all] [SECONDS]
#       SECONDS: output length of each cost run, default 20. Default part: all.
#   PLENOVA_BENCH_RTMP_PORT        port of the local RTMP server (default 19370)
#   PLENOVA_BENCH_MEMORY_SECONDS   length of the memory run (default 600)
#   PLENOVA_BENCH_OVERLOAD_SECONDS length of the overload run (default 60)
#   PLENOVA_BENCH_DRIFT_SECONDS    length of each drift run (default 600)
#
# Installs what is missing of the build, test and bench package lists
# (scripts/*-packages.txt), builds bench/system in build-bench (RelWithDebInfo as CI, no sanitizers).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
part=all
case "${1:-}" in
  cost | quality | overload | latency | memory | top | burst | drift | meetings | all) part="$1"; shift ;;
esac
seconds="${1:-20}"
build="$root/build-bench"
want() { [[ "$part" == all || "$part" == "$1" ]]; }

scripts/install-deps.sh build test bench >/dev/null

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target raw_meeting_driver idle_engine_bench burst_latency_bench \
  scaler_quality_bench media_time_test plenova-record plenova tarvane wendrel >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/plenova-bench.XXXXXX")"
rtmp_prefix=""
cleanup() {
  [[ -z "$rtmp_prefix" ]] || scripts/rtmp-server.sh stop "$rtmp_prefix" || true
  rm -rf "$work"
}
trap cleanup EXIT

# The raw inputs, long enough for the whole run (no looping in any pipeline).
raw_video() {  # SIZE RATE FILE
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$1:rate=$2" -t "$seconds" -pix_fmt yuv420p \
    -f rawvideo "$work/$3"
}
if want cost || want meetings || want overload; then
  raw_video 640x360 25 in.yuv
  ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
    -ac 2 -f s16le "$work/in.pcm"
fi
if want cost; then
  raw_video 1920x1080 5 screen.yuv
  raw_video 640x360 15 camera15.yuv
  raw_video 640x360 30 camera30.yuv
fi

audio_bitrate=96000

# Runs a command and prints "CPU-seconds peak-RSS-KiB" of it and its children.
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >"$work/out.log" 2>&1 || {
    echo "bench: '$1' failed:" >&2
    tail -5 "$work/out.log" >&2
    echo "nan 0"
    return 0
  }
  awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/time"
}

# Grid cell of input i of n on a WxH canvas (same grid as the engine's tool).
cell() {
  local i=$1 n=$2 w=$3 h=$4
  local cols rows
  cols=$(awk -v n="$n" 'BEGIN { c = int(sqrt(n)); if (c * c < n) c++; print c }')
  rows=$(((n + cols - 1) / cols))
  local cw=$((w / cols / 2 * 2)) ch=$((h / rows / 2 * 2))
  echo "$(((i % cols) * cw)) $(((i / cols) * ch)) $cw $ch"
}

# A layout is "N W H" (a grid of N 640x360 clips at 25 fps) or "meeting".
run_engine() {
  local n=$1 w=$2 h=$3 rate=$4 inputs
  if [[ "$n" == meeting ]]; then
    inputs=(--layout meeting --screen "$work/screen.yuv" --camera15 "$work/camera15.yuv"
      --camera30 "$work/camera30.yuv")
  else
    inputs=(--video "$work/in.yuv" --participants "$n" --canvas "${w}x${h}")
  fi
  measure "$build/bin/raw_meeting_driver" "${inputs[@]}" --audio "$work/in.pcm" \
    --seconds "$seconds" --mp4 "$work/engine.mp4" \
    --video-bitrate "$rate" --audio-bitrate "$audio_bitrate" --log-dir "$work"
}

# The meeting layout: each input's file, size, rate and cell "x y w h".
meeting_inputs() {
  echo "screen.yuv 1920x1080 5 0 0 1600 900"
  local i
  for ((i = 0; i < 6; i++)); do
    echo "camera$((i % 2 == 1 ? 30 : 15)).yuv 640x360 $((i % 2 == 1 ? 30 : 15)) $((i * 320)) 900 320 180"
  done
}

# The inputs of a layout, a line each: "FILE SIZE RATE X Y W H".
layout_inputs() {
  local n=$1 w=$2 h=$3 k
  if [[ "$n" == meeting ]]; then
    meeting_inputs
  else
    for ((k = 0; k < n; k++)); do echo "in.yuv 640x360 25 $(cell "$k" "$n" "$w" "$h")"; done
  fi
}

# Sets ff_args (inputs), ff_filter (to [v], the canvas at 25 fps) and
# ff_audio (to [a]) of FFmpeg's composite of a layout.
ffmpeg_graph() {
  local n=$1 w=$2 h=$3 i=0 stack="" layout="" file size fps x y cw ch
  ff_args=() ff_filter="" ff_audio=""
  while read -r file size fps x y cw ch; do
    ff_args+=(-f rawvideo -pix_fmt yuv420p -s "$size" -r "$fps" -i "$work/$file")
    ff_filter+="[$i:v]scale=${cw}:${ch}[v$i];"
    stack+="[v$i]"
    layout+="${layout:+|}${x}_${y}"
    i=$((i + 1))
  done < <(layout_inputs "$n" "$w" "$h")
  local voices=$((i < 5 ? i : 5)) mix="" first=$i
  for ((k = 0; k < voices; k++)); do
    ff_args+=(-f s16le -ar 48000 -ac 2 -i "$work/in.pcm")
    mix+="[$((first + k)):a]"
  done
  ff_filter+="${stack}xstack=inputs=$i:layout=$layout:fill=black,pad=$w:$h,fps=25[v]"
  ff_audio="${mix}amix=inputs=$voices[a]"
}

# The engine's x264 settings: veryfast, zero latency, high profile, an
# average bit rate capped by a one-second VBV, an IDR picture every 2 s and
# no scene cuts.
x264_settings() {
  echo "-c:v libx264 -preset veryfast -tune zerolatency -profile:v high -b:v $1 -maxrate $1 -bufsize $1" \
    "-g 50 -keyint_min 50 -sc_threshold 0 -bf 0"
}

run_ffmpeg() {
  local n=$1 w=$2 h=$3 rate=$4
  ffmpeg_graph "$n" "$w" "$h"
  # shellcheck disable=SC2046
  measure ffmpeg -nostdin -y -v error "${ff_args[@]}" -filter_complex "$ff_filter;$ff_audio" -map "[v]" -map "[a]" \
    $(x264_settings "$rate") -c:a aac -b:a "$audio_bitrate" -t "$seconds" "$work/ffmpeg.mp4"
}

# x264 alone: FFmpeg's composite canvas, made by another process, encoded
# with the same settings; only the encoding process is measured.
run_x264_alone() {
  local n=$1 w=$2 h=$3 rate=$4
  ffmpeg_graph "$n" "$w" "$h"
  # shellcheck disable=SC2046
  ffmpeg -nostdin -v error "${ff_args[@]}" -filter_complex "$ff_filter" -map "[v]" -t "$seconds" \
    -f rawvideo -pix_fmt yuv420p - |
    measure ffmpeg -nostdin -y -v error -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -r 25 -i - \
      $(x264_settings "$rate") -f null -
}

run_gstreamer() {
  local n=$1 w=$2 h=$3 rate=$4 i=0 file size fps x y cw ch
  command -v gst-launch-1.0 >/dev/null || { echo "nan 0"; return 0; }
  local pipe=(compositor name=c background=black) sources=()
  while read -r file size fps x y cw ch; do
    pipe+=("sink_$i::xpos=$x" "sink_$i::ypos=$y" "sink_$i::width=$cw" "sink_$i::height=$ch")
    sources+=(filesrc "location=$work/$file" ! rawvideoparse "width=${size%x*}" "height=${size#*x}"
      format=i420 "framerate=$fps/1" ! queue ! c.)
    i=$((i + 1))
  done < <(layout_inputs "$n" "$w" "$h")
  local voices=$((i < 5 ? i : 5))
  pipe+=(! "video/x-raw,width=$w,height=$h,framerate=25/1" ! x264enc speed-preset=veryfast
    tune=zerolatency "bitrate=$((rate / 1000))" key-int-max=50 vbv-buf-capacity=1000
    "option-string=vbv-maxrate=$((rate / 1000)):min-keyint=50:scenecut=0" ! video/x-h264,profile=high
    ! h264parse ! queue ! mp4mux name=m ! filesink "location=$work/gst.mp4")
  pipe+=(audiomixer name=a ! audioconvert ! avenc_aac "bitrate=$audio_bitrate" ! aacparse ! queue ! m.)
  pipe+=("${sources[@]}")
  for ((k = 0; k < voices; k++)); do
    pipe+=(filesrc "location=$work/in.pcm" ! rawaudioparse format=pcm pcm-format=s16le
      sample-rate=48000 num-channels=2 ! queue ! a.)
  done
  measure gst-launch-1.0 -q -e "${pipe[@]}"
}

# The engine's latency summary lines of a run (logs under $work/NAME) as a
# table; targets p50 <= P50 (default 120) and p99 <= P99 ms (default 250).
latency_table() {
  local p99="${2:-250}" p50="${3:-120}"
  grep -rhoa --include='*.log' "_Plenova_ latency [a-z0-9]* [a-z]*: .*" "$work/$1" |
    awk -v p99="$p99" -v p50="$p50" '{
      split($0, f, /[ :=]+/)  # _Plenova_ latency OUT MEDIA n N p50 A p99 B max C ms
      met = (f[8] <= p50 && f[10] <= p99) ? "yes" : "no"
      printf "  %-7s %-6s %7s %6s %6s %6s   %s\n", f[3], f[4], f[6], f[8], f[10], f[12], met
    }'
}

per_second() { awk -v c="$1" -v s="$seconds" 'BEGIN { if (c == "nan") print "n/a"; else printf "%.3f", c / s }'; }

if want cost; then
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "n/a" || b == "n/a" || b <= 0) print "n/a"; else printf "%.2f", a / b }'; }
printf "%-20s %7s %7s %9s %7s %9s %12s %8s %8s\n" "layout" "engine" "ffmpeg" "gstreamer" "x264" \
  "engine/" "beyond x264" "presets" "engine"
printf "%-20s %7s %7s %9s %7s %9s %12s %8s %8s\n" "" "" "" "" "alone" "better" "engine/ffmpeg" "stepped" "RSS"
for spec in "4 1280 720 1500000" "9 1280 720 1500000" "16 1920 1080 3000000" "meeting 1920 1080 3000000"; do
  read -r n w h rate <<<"$spec"
  read -r ec er < <(run_engine "$n" "$w" "$h" "$rate")
  steps=$(sed -n 's/.*encoder preset changes \([0-9]*\).*/\1/p' "$work/out.log")
  read -r fc _ < <(run_ffmpeg "$n" "$w" "$h" "$rate")
  read -r gc _ < <(run_gstreamer "$n" "$w" "$h" "$rate")
  read -r xc _ < <(run_x264_alone "$n" "$w" "$h" "$rate")
  e=$(per_second "$ec") f=$(per_second "$fc") g=$(per_second "$gc") x=$(per_second "$xc")
  better=$(awk -v f="$f" -v g="$g" 'BEGIN { b = "n/a"; if (f != "n/a") b = f; if (g != "n/a" && (b == "n/a" || g < b)) b = g; print b }')
  beyond=$(awk -v e="$e" -v f="$f" -v x="$x" 'BEGIN {
    if (e == "n/a" || f == "n/a" || x == "n/a" || f - x <= 0) print "n/a"; else printf "%.2f", (e - x) / (f - x) }')
  name="$n -> ${w}x${h}"
  [[ "$n" == meeting ]] && name="meeting -> ${w}x${h}"
  printf "%-20s %7s %7s %9s %7s %9s %12s %8s %5d MB\n" "$name" "$e" "$f" "$g" "$x" "$(ratio "$e" "$better")" \
    "$beyond" "${steps:-n/a}" $((er / 1024))
done
echo "(CPU seconds, user + sys, per output second; $seconds s outputs; one run each. Targets: engine/better"
echo " <= 0.85 on the grids, <= 0.60 on the meeting; beyond x264 engine/ffmpeg <= 0.50; presets stepped 0)"

# An engine that is started (outputs on, layout declared) and receives no
# frames (bench/system/IdleEngineBench.cpp).
idle=$("$build/bin/idle_engine_bench" 2>/dev/null | sed -n 's/.*core_percent=\([0-9.]*\).*/\1/p')
echo "idle engine, no frames: ${idle:-n/a} % of a core (target < 0.3)"
fi

if want quality; then
  echo "== quality: the compositor's libyuv scalers against libswscale bicubic (PSNR dB, target > 40)"
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=1" -frames:v 1 -pix_fmt yuv420p \
    -f rawvideo "$work/testsrc2.yuv"
  "$build/bin/scaler_quality_bench" "$work/testsrc2.yuv"
fi

if want overload; then
  overload_seconds="${PLENOVA_BENCH_OVERLOAD_SECONDS:-60}"
  echo "== overload: 20 inputs -> 1920x1080, $overload_seconds s real time, one core kept busy by a loop"
  sh -c 'while :; do :; done' &
  hog=$!
  mkdir -p "$work/overload"
  "$build/bin/raw_meeting_driver" --video "$work/in.yuv" --audio "$work/in.pcm" --participants 20 \
    --canvas 1920x1080 --seconds "$overload_seconds" --mp4 "$work/overload/out.mp4" --video-bitrate 3000000 \
    --audio-bitrate "$audio_bitrate" --log-dir "$work/overload" >"$work/overload/stdout.log" 2>&1 || true
  kill "$hog"
  sed -n 's/.*fewest in a second \([0-9]*\).*/  canvases per whole second (after the first two): fewest \1 (target >= 24)/p' \
    "$work/overload/stdout.log"
  presets=$(grep -rhoa --include='*.log' "x264 preset [a-z]*" "$work/overload" | awk '{ print $3 }' | tr '\n' ' ' || true)
  echo "  x264 presets stepped to, in order: ${presets:-none (veryfast throughout)}"
  printf "  %-7s %-6s %7s %6s %6s %6s   %s\n" output media n p50 p99 max "p99<=300"
  latency_table overload 300 100000
fi

if want meetings; then
  echo "== meetings in one process: 9 -> 1280x720 each, $seconds s, real time"
  printf "%-9s %22s  %s\n" "meetings" "CPU s / s per meeting" "fewest canvases in a second, per meeting"
  for m in 1 2 4; do
    read -r mc _ < <(measure "$build/bin/raw_meeting_driver" --video "$work/in.yuv" --audio "$work/in.pcm" \
      --participants 9 --canvas 1280x720 --seconds "$seconds" --mp4 "$work/meeting.mp4" \
      --video-bitrate 1500000 --audio-bitrate "$audio_bitrate" --log-dir "$work" --meetings "$m")
    fewest=$(sed -n 's/.*fewest in a second \([0-9]*\).*/\1/p' "$work/out.log" | tr '\n' ' ')
    printf "%-9s %22s  %s\n" "$m" "$(awk -v c="$mc" -v s="$seconds" -v m="$m" 'BEGIN { if (c == "nan") print "n/a"; else printf "%.3f", c / s / m }')" "$fewest"
  done
fi

if want burst; then
  echo "== burst: one participant's media held 600 ms, then all at once"
  "$build/bin/burst_latency_bench" 10 || echo "  p99 did not come back within a second"
fi

if want drift; then
  echo "== drift: 10 minutes of a client clock 0.1 % fast and 0.1 % slow (MP4 flash-to-beep offsets)"
  PLENOVA_DRIFT_SECONDS="${PLENOVA_BENCH_DRIFT_SECONDS:-600}" \
    "$build/bin/media_time_test" --gtest_filter='Clocks/MediaClockTest.*' |
    grep -E "worst|OK|FAILED" || true
fi

want latency || want memory || want top || exit 0
rtmp_port="${PLENOVA_BENCH_RTMP_PORT:-19370}"
rtmp_prefix="$(scripts/rtmp-server.sh start "$rtmp_port" "$work/rtmp-records")"

# Records N synthetic participants (640x360 pushed in real time) onto a WxH
# canvas for S seconds, into $work/NAME/out.mp4 and to the local RTMP server;
# the engine log lands under $work/NAME. Extra arguments go to plenova-record.
record() {
  local name=$1 n=$2 size=$3 secs=$4
  shift 4
  mkdir -p "$work/$name"
  "$build/bin/plenova-record" --participants "$n" --canvas "$size" --source-size 640x360 \
    --duration "$secs" --mp4 "$work/$name/out.mp4" --rtmp "rtmp://127.0.0.1:$rtmp_port/live/$name" \
    --log-dir "$work/$name" "$@" >"$work/$name/stdout.log" 2>&1 || {
    echo "bench: the $name run failed:" >&2
    tail -5 "$work/$name/stdout.log" >&2
    return 1
  }
}

# Mean of the queue depths ("...ElementsNums=N") the engine logs on lines
# matching PATTERN, over the first and the last 10 s in which they appear.
queue_trend() {
  grep -rha --include='*.log' "$2" "$work/$1" |
    awk '{
      split(substr($2, 1, 12), t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
      if (match($0, /ElementsNums=[0-9]+/)) { n++; ts[n] = s; v[n] = substr($0, RSTART + 13, RLENGTH - 13) }
    } END {
      if (n == 0) { print "n/a"; exit }
      for (i = 1; i <= n; i++) {
        if (ts[i] < ts[1] + 10) { a += v[i]; na++ }
        if (ts[i] > ts[n] - 10) { b += v[i]; nb++ }
      }
      printf "%.1f -> %.1f", a / na, b / nb
    }'
}

# The queue depths of a run, where the time between push and output waits.
queue_report() {
  echo "  queue depths (frames), mean over the first 10 s -> the last 10 s:"
  echo "    compositor input, per stream:  $(queue_trend "$1" "VideoMixBuffer (")"
  echo "    H.264 encoder input:           $(queue_trend "$1" "VideoEncodeBuffer GetData")"
  echo "    audio mixer input, per stream: $(queue_trend "$1" "AudioMixBuffer (")"
  echo "    AAC encoder input:             $(queue_trend "$1" "AudioEncodeBuffer Total")"
}

if want latency; then
  echo
  echo "latency, 9 inputs -> 1280x720, MP4 + RTMP to local nginx, 60 s real time"
  if record latency 9 1280x720 60 --video-bitrate 1500000; then
    printf "  %-7s %-6s %7s %6s %6s %6s   %s\n" output media n p50 p99 max "p50<=120 p99<=250"
    latency_table latency
    echo "  (ms from PushVideoFrame/PushAudioFrame to the MP4 write / RTMP send call)"
    queue_report latency
  fi
fi

if want top; then
  echo
  echo "top, 20 inputs -> 1920x1080, MP4 + RTMP to local nginx, 60 s real time"
  if record top 20 1920x1080 60 --video-bitrate 3000000; then
    ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$work/top/out.mp4" |
      awk -F, '$1 != "" { c[int($1)]++; if (int($1) > last) last = int($1) }
        END {
          min = -1
          for (s = 1; s < last; s++) { sum += c[s]; if (min < 0 || c[s] < min) min = c[s]; n++ }
          if (n == 0) print "  video packets per second: n/a"
          else printf "  video packets per second of MP4 time (seconds 1-%d): min %d, mean %.2f (target 25)\n", last - 1, min, sum / n
        }'
    queue_report top
    printf "  %-7s %-6s %7s %6s %6s %6s   %s\n" output media n p50 p99 max "p50<=120 p99<=250"
    latency_table top
  fi
fi

if want memory; then
  memory_seconds="${PLENOVA_BENCH_MEMORY_SECONDS:-600}"
  echo
  echo "memory, 9 inputs -> 1280x720, MP4 + RTMP to local nginx, $memory_seconds s real time"
  record memory 9 1280x720 "$memory_seconds" --video-bitrate 1500000 &
  recorder=$!
  # The recorder's own process: the child of the subshell running record().
  pid=""
  for _ in $(seq 50); do
    pid="$(pgrep -n -P "$recorder" -f plenova-record || true)"
    [[ -n "$pid" ]] && break
    sleep 0.1
  done
  t=0
  while [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; do
    rss="$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)"
    # Minor page faults so far: field 10 of /proc/PID/stat (after the name).
    faults="$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{ print $8 }' || true)"
    [[ -n "$rss" ]] && echo "$t $rss ${faults:-0}" >>"$work/rss.txt"
    sleep 1
    t=$((t + 1))
  done
  wait "$recorder" || true
  if [[ -s "$work/rss.txt" ]]; then
    # Start is the first sample after the first minute (pools and encoders
    # warmed up); the slope is fitted from there on, and over the second half
    # alone, which tells a leak (both slopes alike) from settling (the second
    # near zero).
    # Samples from the recorder's shutdown (after the run's length) are left out.
    awk -v until="$memory_seconds" '
      $1 > until { next }
      function slope(from, to,   i, n, sx, sy, sxx, sxy) {
        for (i = 1; i <= count; i++) {
          if (x[i] < from || x[i] > to) continue
          n++; sx += x[i]; sy += y[i]; sxx += x[i] * x[i]; sxy += x[i] * y[i]
        }
        return (n > 1 && n * sxx - sx * sx > 0) ? sprintf("%+.3f", (n * sxy - sx * sy) / (n * sxx - sx * sx)) : "n/a"
      }
      {
        count++; x[count] = $1 / 60; y[count] = $2 / 1024
        if ($1 % 60 == 0) minutes = minutes sprintf(" %.1f", y[count])
        if (first == "" && x[count] >= 1) { first = y[count]; faults1 = $3; t1 = $1 }
        faults = $3; tn = $1
      }
      END {
        end = x[count]
        printf "  RSS at each minute (MB):%s\n", minutes
        printf "  RSS start (minute 1) %.1f MB, end %.1f MB\n", first, y[count]
        printf "  slope, minutes 1-%.0f: %s MB/min; minutes %.0f-%.0f: %s MB/min\n",
          end, slope(1, end), (1 + end) / 2, end, slope((1 + end) / 2, end)
        if (tn > t1) printf "  minor page faults after the first minute: %.1f per second\n", (faults - faults1) / (tn - t1)
      }' "$work/rss.txt"
  else
    echo "  no RSS samples (the recorder did not start)"
  fi
fi
